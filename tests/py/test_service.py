"""A whole session as the service manager runs navmon, confined by the unit where the machine
allows, with readiness, watchdog and status on the notification socket."""

import ctypes
import json
import math
import os
import re
import shlex
import signal
import socket
import subprocess
import threading
import time

import conftest
from conftest import Gpsd, nmea, wait_for, write

UNIT = os.path.join(conftest.SOURCE_DIR, "deploy/navmon.service")
FIX = re.compile(r"^([23]D fix), (\d+)/(\d+) satellites, HDOP \d+\.\d, SQI (\d+)$")
SENTENCES = ("GPRMC_V2", "GPRMC_V3", "GPGGA", "GPGSA", "PGPS", "BTVEG")
ENABLE, ACK = "v1/device/gps/enable/apply", "v1/device/gps/enable/ack"
TPV, SKY = "v1/device/gps/location/tpv/update", "v1/device/gps/location/sat/update"


def confinement(root):
    """argv prefix that confines a program as the unit does, the unit's paths below root."""
    d = {}
    for key, value in (line.rstrip("\n").split("=", 1) for line in open(UNIT)
                       if "=" in line and not line.startswith(("#", "["))):
        d.setdefault(key, []).append(value)
    assert d["ProtectSystem"] == ["strict"] and d["ProtectHome"] == ["yes"]
    inside = lambda p: root + ("/var/run" if p == "/run" else p)  # its /run: $NAVMON_ROOT/var/run
    writable = [inside(p.lstrip("-")) for p in " ".join(d["ReadWritePaths"]).split()
                if p[0] != "-" or os.path.exists(inside(p[1:]))]
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
    return ["unshare", "--mount", "/bin/sh", "-c", script, "confined"]


def service_manager(gpsd, root):
    """Stands in for systemd: navmon's systemctl asks it over a socket to run the gpsd fixture's
    own systemctl outside the confinement."""
    real = gpsd.systemctl + ".manager"
    os.rename(gpsd.systemctl, real)
    gpsd.systemctl, path, sock = real, root + "/var/run/manager.sock", socket.socket(socket.AF_UNIX)
    sock.bind(path)
    sock.listen()
    write(root + "/bin/systemctl", "#!/usr/bin/python3\nimport socket, sys\n"
          "s = socket.socket(socket.AF_UNIX)\ns.connect(%r)\ns.sendall(' '.join(sys.argv[1:])"
          ".encode() + b'\\n')\nsys.exit(int(s.makefile().readline() or 1))\n" % path)
    os.chmod(root + "/bin/systemctl", 0o755)

    def serve():
        while True:
            try:
                conn = sock.accept()[0]
            except OSError:
                return  # closed
            with conn:
                args = conn.makefile().readline().split()
                conn.sendall(b"%d\n" % subprocess.call([real] + args))
    threading.Thread(target=serve, daemon=True).start()


class NotifySocket:
    """The datagram socket a service manager gives in NOTIFY_SOCKET; keeps every line sent."""

    def __init__(self, path):
        self.path, self.lines = path, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)

    def received(self):
        try:
            while True:
                self.lines += self.sock.recv(4096, socket.MSG_DONTWAIT).decode().split("\n")
        except BlockingIOError:
            return self.lines

    def statuses(self):
        return [line[7:] for line in self.received() if line.startswith("STATUS=")]

    def wait_status(self, want, timeout=10.0):  # the latest status once it is want or want(it)
        test = want if callable(want) else want.__eq__
        return wait_for(lambda: next(filter(test, self.statuses()[-1:]), None), timeout, 0.05)


def test_whole_session_as_the_service_manager_runs_it(navmon, broker, clients, gpsd_for,
                                                      monkeypatch):
    # Past the cold start: a 2D stretch, then 3D fixes. navmon's session starts gpsd itself.
    gpsd = gpsd_for("drive_short.nmea", start_epoch=20)
    os.makedirs(navmon.path("/var/lib/sysdb"))
    navmon.db_path = navmon.env["SYSDB_PATH"] = navmon.path("/var/lib/sysdb/sysdb.sqlite")
    navmon.log_path = navmon.path("/tmp/navmon.log")
    navmon.env["MQTT_PORT"] = str(broker.port)
    notify = NotifySocket(os.path.join(navmon.root, "notify.sock"))
    sub = clients(broker.port, ["v1/device/gps/location/#", "v1/device/gps/enable/#"])
    if subprocess.call(["unshare", "--mount", "true"], stderr=subprocess.DEVNULL) == 0:
        service_manager(gpsd, navmon.root)  # else the session runs unconfined
        monkeypatch.setattr(conftest, "LAUNCHER", confinement(navmon.root) + conftest.LAUNCHER)
    navmon.start(env={"NOTIFY_SOCKET": notify.path})
    began = time.monotonic()
    assert notify.wait_status("idle: GPS processing off") and "READY=1" in notify.received()
    assert navmon.wait_log("KVT GPS Daemon connected")
    assert os.stat(navmon.path("/var/run/navmon.pid")).st_mode & 0o777 == 0o640

    sub.publish(ENABLE, '{"value":true,"session":7}')
    assert json.loads(sub.wait(ACK, 8)[1]).items() >= {"rc": 200, "session": 7}.items()
    assert navmon.wait_log("Restarting gpsd!") and notify.wait_status("no fix")
    # gpsd's reports are broadcast with their reception time.
    assert isinstance(json.loads(sub.wait(TPV, 20)[1])["ts"], float) and sub.wait(SKY, 20)

    fix = FIX.match(notify.wait_status(FIX.match, 40) or "")
    assert fix and int(fix.group(2)) <= int(fix.group(3)) and int(fix.group(4)) <= 100
    assert navmon.wait_db("GPS", "GPS_VALID", 1) and wait_for(lambda: navmon.led() == "255")
    gps = navmon.db("GPS")
    assert gps["GPS_STATUS"] == "ACTIVE" and gps["GPS_DATA"]["lat_dd"] > 40.0
    assert "GPS_TTFF_UPTIME" in gps and all(s[0] == "$" and s == nmea(s[:s.index("*")])
                                            for s in (gps["GPS_NMEA_" + k] for k in SENTENCES))
    assert gps["GPS_TAIP_PV"].startswith(">RPV") and gps["GPS_SQI"] is not None
    assert navmon.wait_db("GPS", "GPS_NMEA_GPGSV", lambda v: v and v.startswith("$GPGSV,"), 5)
    assert navmon.db("DR", "DR_LAT") is not None
    round_trip(navmon.db("GPS"), os.path.join(os.path.dirname(navmon.root), "round-trip"))

    # The flashing marker ends the session (its records: the fault test) and holds the daemon.
    write(marker := navmon.path("/tmp/gps-flashing"), "")
    assert notify.wait_status("waiting: module firmware update", 15)
    assert wait_for(lambda: gpsd.pid() == 0)
    assert wait_for(lambda: os.path.exists(navmon.path("/tmp/gps-flashing-navmon-ack")))
    os.unlink(marker)
    navmon.signal(signal.SIGCONT)  # cuts the wait's sleep short
    sub.publish(ENABLE, '{"value":false}')
    assert sub.wait(ACK, 10, after=1) and notify.wait_status("idle: GPS processing off", 20)
    assert navmon.stop() == 255

    # Each change is sent once; the watchdog is kicked once a minute of uptime at most.
    seen = notify.statuses()
    assert all(a != b for a, b in zip(seen, seen[1:])), seen
    assert seen[:2] == ["idle: GPS processing off", "no fix"], seen
    assert 1 <= notify.received().count("WATCHDOG=1") <= 1 + (time.monotonic() - began) // 60


def round_trip(batch, root):
    """The batch's $GPRMC, $GPGGA and $GPGSA fed into a real gpsd decode as the batch's time,
    position (minutes truncated to four decimals), speed, course and altitude (truncated)."""
    def truncated(v):
        d = math.trunc(abs(v))
        return math.copysign(d + math.trunc((abs(v) - d) * 600000.0) / 600000.0, v)
    os.makedirs(root)
    write(root + "/stored.nmea", "".join(batch[k] for k in ("GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGGA",
                                                            "GPS_NMEA_GPGSA")))
    gpsd = Gpsd(root, root + "/stored.nmea", rate=5, start=True)
    reports = gpsd.pipe("-w")
    try:
        tpv = wait_for(lambda: next((r for r in map(json.loads, reports())
                                     if r["class"] == "TPV" and r.get("mode") == 3), None), 10)
    finally:
        gpsd.stop()
    assert tpv, batch["GPS_NMEA_GPRMC_V3"]
    assert tpv["time"][:19] == batch["GPS_DATA_RAW"]["iso8601"][:19]
    assert abs(tpv["lat"] - truncated(batch["GPS_LAT"])) < 1e-9
    assert abs(tpv["lon"] - truncated(batch["GPS_LON"])) < 1e-9
    assert abs(tpv["speed"] - batch["GPS_VEL"]) < 0.06  # tenths of a knot, truncated
    assert tpv["track"] == math.trunc(ctypes.c_float(batch["GPS_HDG"]).value)
    assert tpv["altMSL"] == math.trunc(ctypes.c_float(batch["GPS_ALT"]).value)
