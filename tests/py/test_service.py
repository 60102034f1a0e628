"""navmon as the service manager runs it: confined as deploy/navmon.service confines it, with
the readiness and one-line status it reports on the notification socket, through a whole
session against a real gpsd and broker.

Without systemd the confinement is rebuilt from the unit's own directives: a private mount
namespace (read-only file system but the unit's writable paths, private /dev, hidden home
directories, /proc with other users' processes hidden, read-only kernel tunables), the unit's
capability bounding set with no_new_privs, its umask, and a seccomp filter made from systemd's
own system call groups (SystemCallFilter=, RestrictAddressFamilies=, MemoryDenyWriteExecute=,
RestrictNamespaces=, LockPersonality=, SystemCallErrorNumber=). systemctl talks, as it does on
the device, to a service manager outside the confinement, which starts and stops gpsd."""

import errno
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import threading

import pytest

import conftest
from conftest import wait_for

UNIT = os.path.join(conftest.SOURCE_DIR, "deploy/navmon.service")
FIX = re.compile(r"^([23]D fix), (\d+)/(\d+) satellites, HDOP \d+\.\d, SQI (\d+)$")

# Runs inside the confinement: loads the seccomp filter, then becomes navmon.
SECCOMP_EXEC = r"""
import errno, json, os, sys, seccomp as s
spec = json.loads(sys.argv[1])
f = s.SyscallFilter(s.ERRNO(spec["errno"]))
special = {"socket", "mmap", "mprotect", "pkey_mprotect", "clone", "clone3", "unshare", "setns",
           "personality"}
for name in set(spec["allow"]) - special:
    try:
        f.add_rule(s.ALLOW, name)
    except (RuntimeError, ValueError, OSError):
        pass  # not a system call of this architecture
for family in spec["families"]:
    f.add_rule(s.ALLOW, "socket", s.Arg(0, s.EQ, family))
W, X = 2, 4  # never writable and executable at once, never made executable later
for prot in (0, W, X):
    f.add_rule(s.ALLOW, "mmap", s.Arg(2, s.MASKED_EQ, W | X, prot))
for name in ("mprotect", "pkey_mprotect"):
    f.add_rule(s.ALLOW, name, s.Arg(2, s.MASKED_EQ, X, 0))
for name in ("clone", "unshare"):  # no namespace flags; setns not at all
    f.add_rule(s.ALLOW, name, s.Arg(0, s.MASKED_EQ, 0x7E020000, 0))
f.add_rule(s.ERRNO(errno.ENOSYS), "clone3")  # glibc falls back to clone, as under systemd
f.add_rule(s.ALLOW, "personality", s.Arg(0, s.EQ, 0xFFFFFFFF))  # query only
f.load()
os.execv(sys.argv[2], sys.argv[2:])
"""


def unit_directives():
    out = {}
    with open(UNIT) as f:
        for line in f:
            if "=" in line and not line.startswith(("#", "[")):
                key, value = line.rstrip("\n").split("=", 1)
                out.setdefault(key, []).append(value)
    return out


def syscall_groups():
    """systemd's system call groups, as `systemd-analyze syscall-filter` lists them."""
    groups, current = {}, None
    for line in subprocess.run(["systemd-analyze", "syscall-filter", "--no-pager"],
                               capture_output=True, text=True, check=True).stdout.splitlines():
        item = line.strip()
        if line.startswith("@"):
            current = groups.setdefault(item, [])
        elif item and not item.startswith("#") and current is not None:
            current.append(item)
        elif not item:
            current = None
    return groups


def expand(names, groups):
    out = set()
    for name in names:
        out |= expand(groups[name], groups) if name.startswith("@") else {name}
    return out


def confinement(root, seccomp):
    """argv prefix that runs a program under the unit's confinement, with the unit's absolute
    paths taken below navmon's root (its /run is $NAVMON_ROOT/var/run)."""
    d = unit_directives()
    assert d["ProtectSystem"] == ["strict"] and d["ProtectHome"] == ["yes"]
    writable = []
    for path in " ".join(d["ReadWritePaths"]).split():
        inside = root + ("/var/run" if path.strip("-") == "/run" else path.strip("-"))
        if not path.startswith("-") or os.path.exists(inside):
            writable.append(inside)
    caps = ",".join("+" + c[4:].lower() for c in " ".join(d["CapabilityBoundingSet"]).split())
    script = """set -e
umask {umask}
for p in {writable}; do mount --bind "$p" "$p"; done
mount -t proc -o hidepid=invisible proc /proc
mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys
mount -t tmpfs -o mode=755 tmpfs /dev
mknod -m 666 /dev/null c 1 3; mknod -m 666 /dev/zero c 1 5; mknod -m 666 /dev/full c 1 7
mknod -m 666 /dev/random c 1 8; mknod -m 666 /dev/urandom c 1 9; mknod -m 666 /dev/tty c 5 0
for h in /home /root /run/user; do [ ! -d $h ] || mount -t tmpfs -o mode=0 tmpfs $h; done
findmnt -rn -O rw -o TARGET | while read -r m; do
    case " {writable} " in *" $m "*) continue;; esac
    case "$m" in /dev|/dev/*|/proc) ;; *) mount -o remount,bind,ro "$m";; esac
done
exec setpriv --no-new-privs --bounding-set=-all{caps} --inh-caps=-all "$@"
""".format(umask=d["UMask"][0], writable=" ".join(map(shlex.quote, writable)), caps=caps and
           "," + caps)
    prefix = ["unshare", "--mount", "/bin/sh", "-c", script, "confined"]
    if seccomp:
        allow, deny = [], []
        for value in d["SystemCallFilter"]:
            (deny if value.startswith("~") else allow).extend(value.lstrip("~").split())
        groups = syscall_groups()
        spec = {"allow": sorted(expand(allow, groups) - expand(deny, groups)),
                "errno": getattr(errno, d["SystemCallErrorNumber"][0]),
                "families": [getattr(socket, f) for f in d["RestrictAddressFamilies"][0].split()]}
        prefix += ["/usr/bin/python3", "-c", SECCOMP_EXEC, json.dumps(spec)]
    return prefix


class ServiceManager:
    """Stands in for systemd: the systemctl navmon runs is a client of this manager, which runs
    the gpsd fixture's own systemctl outside the confinement."""

    def __init__(self, gpsd, root):
        self.real = gpsd.systemctl + ".manager"
        os.rename(gpsd.systemctl, self.real)
        gpsd.systemctl = self.real
        path = root + "/var/run/manager.sock"
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.bind(path)
        self.sock.listen()
        with open(root + "/bin/systemctl", "w") as f:
            f.write("#!/usr/bin/python3\nimport socket, sys\ns = socket.socket(socket.AF_UNIX)\n"
                    "s.connect(%r)\ns.sendall(' '.join(sys.argv[1:]).encode() + b'\\n')\n"
                    "sys.exit(int(s.makefile().readline() or 1))\n" % path)
        os.chmod(root + "/bin/systemctl", 0o755)
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        try:
            while True:
                conn, _ = self.sock.accept()
                with conn:
                    args = conn.makefile().readline().split()
                    conn.sendall(b"%d\n" % subprocess.call([self.real] + args))
        except OSError:
            pass  # closed

    def close(self):
        self.sock.close()


class NotifySocket:
    """The datagram socket a service manager gives in NOTIFY_SOCKET; keeps every line sent."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.setblocking(False)
        self.lines = []

    def received(self):
        try:
            while True:
                self.lines += self.sock.recv(4096).decode().split("\n")
        except BlockingIOError:
            return self.lines

    def statuses(self):
        return [l[len("STATUS="):] for l in self.received() if l.startswith("STATUS=")]

    def wait_status(self, want, timeout=10.0):
        """The latest status, once it is want (or want(status) holds)."""
        test = want if callable(want) else (lambda s: s == want)

        def latest():
            seen = self.statuses()
            return seen[-1] if seen and test(seen[-1]) else None
        return wait_for(latest, timeout, 0.05)


def test_confined_session_and_its_status(navmon, broker, clients, gpsd_for, monkeypatch):
    if subprocess.call(["unshare", "--mount", "true"], stderr=subprocess.DEVNULL) != 0:
        pytest.skip("no mount namespaces here")
    gpsd = gpsd_for("drive_short.nmea", start_epoch=20)
    manager = ServiceManager(gpsd, navmon.root)
    os.makedirs(navmon.path("/var/lib/sysdb"))
    navmon.db_path = navmon.env["SYSDB_PATH"] = navmon.path("/var/lib/sysdb/sysdb.sqlite")
    navmon.log_path = navmon.path("/tmp/navmon.log")
    navmon.env["MQTT_PORT"] = str(broker.port)
    notify = NotifySocket(os.path.join(navmon.root, "notify.sock"))
    mqtt = clients(broker.port, ["v1/device/gps/enable/ack"])
    # Under an emulator the filter would judge the emulator's system calls, not navmon's.
    monkeypatch.setattr(conftest, "LAUNCHER",
                        confinement(navmon.root, not conftest.LAUNCHER) + conftest.LAUNCHER)
    navmon.start(env={"NOTIFY_SOCKET": notify.path})
    try:
        assert notify.wait_status("idle: GPS processing off")
        assert "READY=1" in notify.received()
        assert navmon.wait_log("KVT GPS Daemon connected")
        assert os.stat(navmon.path("/var/run/navmon.pid")).st_mode & 0o777 == 0o640

        mqtt.publish("v1/device/gps/enable/apply", '{"value":true}')
        assert notify.wait_status("no fix")
        fix = FIX.match(notify.wait_status(FIX.match, 40) or "")
        assert fix and int(fix.group(2)) <= int(fix.group(3)) and int(fix.group(4)) <= 100
        assert navmon.wait_db("GPS", "GPS_VALID", 1) and wait_for(lambda: navmon.led() == "255")

        # The flashing marker ends the session and holds the daemon until it is gone.
        marker = navmon.path("/tmp/gps-flashing")
        open(marker, "w").close()
        assert notify.wait_status("waiting: module firmware update", 15)
        assert wait_for(lambda: gpsd.pid() == 0)
        assert os.path.exists(navmon.path("/tmp/gps-flashing-navmon-ack"))
        os.unlink(marker)
        navmon.signal(signal.SIGCONT)  # cuts the wait's sleep short
        mqtt.publish("v1/device/gps/enable/apply", '{"value":false}')
        assert mqtt.wait("v1/device/gps/enable/ack", 10, after=1)
        assert notify.wait_status("idle: GPS processing off", 20)
        assert navmon.stop() == 255
    finally:
        manager.close()

    # Each change is sent once: no status repeats the one before it.
    seen = notify.statuses()
    assert all(a != b for a, b in zip(seen, seen[1:])), seen
    assert seen[:2] == ["idle: GPS processing off", "no fix"], seen
