"""navmon, sysdb and nmea_replay against a private mosquitto and a real gpsd on loopback ports."""

import contextlib
import json
import os
import shlex
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time
from functools import reduce

import paho.mqtt.client as mqtt
import pytest

SOURCE_DIR = os.environ.get("NAVMON_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
LAUNCHER = shlex.split(os.environ.get("NAVMON_LAUNCHER", ""))
# Emulated programs are slow to start: every wait scales with this.
SLOW = float(os.environ.get("NAVMON_TEST_SLOWDOWN", "3" if LAUNCHER else "1"))
# Programs built with sanitizers hold freed memory back.
SANITIZED = bool(os.environ.get("NAVMON_SANITIZED"))
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def program(name):
    path = os.environ.get(name.upper() + "_BIN") or pytest.skip("run through ctest")
    return LAUNCHER + [path]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(cond, timeout=5.0, step=0.02):
    """Polls cond until it returns something true; returns that, or None after timeout."""
    deadline = time.monotonic() + timeout * SLOW
    while not (v := cond()) and time.monotonic() < deadline:
        time.sleep(step)
    return v or None


def nmea(body):  # the checksum worked out here, independently of the code under test
    return "%s*%02X\r\n" % (body, reduce(lambda a, b: a ^ b, body[1:].encode(), 0))


def stop_process(proc, grace=5.0):
    """SIGTERM, then SIGKILL after grace seconds; the exit status (negative: signal)."""
    proc.send_signal(signal.SIGTERM)  # none once reaped
    try:
        return proc.wait(grace * SLOW)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def db_read(path, db, key=None):
    """One value (None when missing), or every key of db as a dict, with JSON parsed."""
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=2.0) as con:
            rows = con.execute("SELECT key, type, value FROM kv WHERE db = ?", (db,)).fetchall()
    except sqlite3.Error:
        rows = []
    found = {k: json.loads(v) if t == 4 else (float("nan") if t == 3 and v is None else v)
             for k, t, v in rows}
    return found if key is None else found.get(key)


class Broker:
    def __init__(self, workdir):
        self.conf, self.port, self.proc = os.path.join(workdir, "mosquitto.conf"), free_port(), None

    def start(self):  # same port on every start
        write(self.conf, "listener %d 127.0.0.1\nallow_anonymous true\n" % self.port)
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.conf], **QUIET)
        assert wait_for(lambda: listening(self.port)), "mosquitto did not come up"
        return self

    def stop(self):
        self.proc and stop_process(self.proc)


class Mqtt:
    """A client of the private broker that records every message it hears."""

    def __init__(self, port, topics=()):
        self.messages, self.client = [], mqtt.Client()  # (topic, payload text, retained)
        self.client.on_connect = lambda c, u, f, rc: [c.subscribe(t) for t in topics]
        self.client.on_message = lambda c, u, m: self.messages.append(
            (m.topic, m.payload.decode(errors="replace"), m.retain))  # atomic under the GIL
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def publish(self, topic, payload):
        self.client.publish(topic, payload).wait_for_publish()

    def heard(self, topic=None):
        return [m for m in list(self.messages) if topic in (None, m[0])]

    def wait(self, topic, timeout=5.0, after=0):  # the first on topic after the first `after`
        return wait_for(lambda: (self.heard(topic)[after:] or [None])[0], timeout)


class Gpsd:
    """nmea_replay serving a recording and, through $ROOT/bin/systemctl, a real gpsd reading it."""

    def __init__(self, root, recording, rate=1.0, loop=True, start_epoch=0, start=False):
        self.root, self.feed, self.port, self.pipes = root, free_port(), free_port(), []
        [os.makedirs(os.path.join(root, d), exist_ok=True) for d in ("bin", "var/run", "var/log")]
        os.chmod(os.path.join(root, "var/run"), 0o777)  # gpsd drops to its own user
        self.shm_key = "0x4E4D%04X" % (self.port & 0xFFFF)
        # systemd's stand-in, shared with the demo: gpsd on this rig's ports.
        self.systemctl = os.path.join(root, "bin/systemctl")
        shutil.copy(os.path.join(SOURCE_DIR, "scripts/systemctl-gpsd.sh"), self.systemctl)
        write(os.path.join(root, "bin/rig.env"), "ROOT=%s\nGPSD_PORT=%d\nFEED_PORT=%d\nSHM_KEY=%s\n"
              % (shlex.quote(root), self.port, self.feed, self.shm_key))
        self.replay = subprocess.Popen(program("nmea_replay") + [
            "--port", str(self.feed), "--rate", str(rate), "--start-epoch", str(start_epoch),
            "--file", os.path.join(SOURCE_DIR, "testdata", recording)] + ["--loop"] * loop, **QUIET)
        assert wait_for(lambda: listening(self.feed)), "nmea_replay did not come up"
        if start:
            assert subprocess.call([self.systemctl, "start", "gpsd"]) == 0, "no gpsd"
            assert wait_for(lambda: listening(self.port)), "gpsd does not listen"

    def pid(self):
        try:
            return int(open(os.path.join(self.root, "var/run/gpsd.pid")).read().strip() or 0)
        except (OSError, ValueError):  # none, or removed while read
            return 0

    def kill_gpsd(self):
        """Kills our gpsd and waits until it is gone; its pid, or 0 if none ran."""
        pid = self.pid()
        if pid > 0:
            os.kill(pid, signal.SIGKILL)
            wait_for(lambda: not os.path.exists("/proc/%d" % pid))
        return pid

    def start_count(self):
        return open(os.path.join(self.root, "var/log/systemctl.log")).read().count("start gpsd")

    def pipe(self, flag):
        """gpspipe -w (reports) or -r (receiver lines) until stop(); a function of its lines."""
        path = os.path.join(self.root, "var/log/gpspipe%s.txt" % flag)
        self.pipes.append(subprocess.Popen(["gpspipe", flag, "-o", path,
                                            "127.0.0.1:%d" % self.port], **QUIET))
        return lambda: open(path, errors="replace").read().splitlines() \
            if os.path.exists(path) else []

    def stop(self):
        for p in self.pipes + [self.replay]:
            stop_process(p)
        subprocess.call([self.systemctl, "stop", "gpsd"], **QUIET)
        # Any gpsd of this root that outlived its pid file (a restart racing the stop).
        mark = ("-P\0%s/var/run/gpsd.pid\0" % self.root).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError):  # gone meanwhile
                if mark in open("/proc/%s/cmdline" % pid, "rb").read():
                    os.kill(int(pid), signal.SIGKILL)
        subprocess.call(["ipcrm", "-M", self.shm_key], **QUIET)


class Navmon:
    """navmon in a private root; until told otherwise no MQTT, no gpsd, systemctl only logged."""

    def __init__(self, root):
        self.root, self.proc = root, None
        [os.makedirs(self.path(d), exist_ok=True)
         for d in ("/var/run", "/tmp", "/bin", "/data/xtra", "/sys/class/leds/gps")]
        os.chmod(self.path("/var/run"), 0o777)
        for name, text in (("brightness", "0"), ("max_brightness", "255"), ("trigger", "none")):
            write(self.led_path(name), text + "\n")
        self.db_path, self.log_path = self.path("/sysdb.sqlite"), self.path("/navmon.log")
        self.config = {"hardware": {"wireless": {"gps": {"module": "GNSS-DR"}},
                                    "leds": {"gps": "/sys/class/leds/gps"}},
                       "gps": {"deadreckon": {"enable": True}}}
        self.config_text = None  # written instead of config when set (malformed files)
        self.env = {"NAVMON_ROOT": root, "SYSDB_PATH": self.db_path, "MQTT_HOST": "127.0.0.1",
                    "PLATFORM_CONFIG": self.path("/config.json"), "MQTT_PORT": str(free_port()),
                    "GPSD_HOST": "127.0.0.1", "GPSD_PORT": str(free_port())}
        write(self.path("/bin/systemctl"),
              "#!/bin/sh\necho \"$*\" >> %s\n" % shlex.quote(self.path("/systemctl.calls")))
        os.chmod(self.path("/bin/systemctl"), 0o755)

    def path(self, absolute):
        return self.root + absolute

    def led_path(self, name):
        return self.path("/sys/class/leds/gps/" + name)

    def led(self, name="brightness"):
        return open(self.led_path(name)).read().strip()

    def start(self, env=None):
        """Returns once the signal handlers are in place (an earlier SIGUSR1 would end navmon)."""
        write(self.env["PLATFORM_CONFIG"], self.config_text or json.dumps(self.config))
        environ = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        environ.update(self.env, **(env or {}))
        self.proc = subprocess.Popen(program("navmon") + ["-v", "-l", self.log_path], env=environ,
                                     stdout=open(self.path("/navmon.out"), "a"),
                                     stderr=subprocess.STDOUT)
        assert self.wait_log("Enabled:"), "navmon did not start"
        return self.proc

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, grace=15.0):
        return stop_process(self.proc, grace) if self.proc else None

    def log(self):
        return open(self.log_path, errors="replace").read() if os.path.exists(self.log_path) else ""

    def wait_log(self, text, timeout=10.0, count=1):
        return wait_for(lambda: self.log().count(text) >= count, timeout, 0.05)

    def db(self, db, key=None):
        return db_read(self.db_path, db, key)

    def wait_db(self, db, key, want=lambda v: v is not None, timeout=10.0):
        """The value once want(value) holds (want may also be a plain value to equal)."""
        test = want if callable(want) else (lambda v: v == want)
        found = wait_for(lambda: (lambda v: test(v) and [v])(self.db(db, key)), timeout, 0.05)
        return found[0] if found else None


def sysdb(path, *args):
    r = subprocess.run(program("sysdb") + list(args), env=dict(os.environ, SYSDB_PATH=path),
                       capture_output=True, timeout=30 * SLOW)
    # By hand: text mode would turn a stored "\r\n" into "\n".
    r.stdout, r.stderr = r.stdout.decode(), r.stderr.decode()
    return r


class Batches(threading.Thread):
    """Reads the fix batch every 5 ms in one read transaction, as another service would: records
    each commit as (ts, when seen, TPV time), and in torn any read mixing batches."""

    QUERY = "SELECT " + ", ".join("(SELECT value FROM kv WHERE db='GPS' AND key='%s')" % k
                                  for k in ("GPS_DATA_TS", "GPS_DATA", "GPS_DATA_RAW"))

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.torn, self.commits, self.quit = path, [], [], False
        self.start()

    def run(self):
        con = None
        while not self.quit:
            try:
                con = con or sqlite3.connect("file:%s?mode=ro" % self.path, uri=True, timeout=0.2)
                row = con.execute(self.QUERY).fetchone()
                batch = [json.loads(v) for v in row[1:]] if row != (None, None, None) else None
                if batch and any(b["ts"] != row[0] for b in batch):
                    self.torn.append("batch ts differ: %r" % (row,))
                elif row[0] is not None and self.last_ts() != row[0]:
                    tpv = batch[1].get("TPV", {}).get("time")
                    self.commits.append((row[0], time.monotonic(), tpv))
            except sqlite3.Error:
                pass  # busy, or no file or table yet: not a fault by itself
            except (TypeError, ValueError, KeyError):
                self.torn.append("batch keys missing or unreadable: %r" % (row,))
            time.sleep(0.005)

    def last_ts(self):
        return self.commits[-1][0] if self.commits else -1.0

    def commit_after(self, ts, timeout):
        return wait_for(lambda: self.last_ts() > ts, timeout)

    def stop(self):
        self.quit = True
        return self.join() or self.torn


@pytest.fixture
def workdir():
    with tempfile.TemporaryDirectory(prefix="navmon-test-") as d:
        os.chmod(d, 0o755)
        yield d


@pytest.fixture
def broker(workdir):
    b = Broker(workdir).start()
    yield b
    b.stop()


@pytest.fixture
def navmon(workdir, request):
    n, failed = Navmon(os.path.join(workdir, "root")), request.session.testsfailed
    yield n
    n.stop()
    if request.session.testsfailed > failed:  # the daemon's account: the quickest way to a cause
        print("---- navmon log (tail) ----\n" + n.log()[-12000:])


@pytest.fixture
def clients():
    made = []
    yield lambda port, topics=(): made.append(Mqtt(port, topics)) or made[-1]
    for c in made:
        c.client.loop_stop()
        c.client.disconnect()


@pytest.fixture
def gpsd_for(navmon):
    """gpsd_for(recording, **options): a replay and gpsd behind navmon's systemctl."""
    made = []

    def make(recording, **options):
        made.append(Gpsd(navmon.root, recording, **options))
        navmon.env["GPSD_PORT"] = str(made[-1].port)
        return made[-1]
    yield make
    navmon.stop()  # first: a running session would start gpsd again
    for g in made:
        g.stop()


@pytest.fixture
def session(navmon, gpsd_for):
    """session(recording, valid within s or None, raw: gpspipe -r, **Gpsd options), by SIGUSR1."""
    def start(recording, valid=30, raw=False, **options):
        gpsd = gpsd_for(recording, **options)
        gpsd.raw = raw and gpsd.pipe("-r")
        navmon.start()
        navmon.signal(signal.SIGUSR1)
        assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE")
        assert not valid or navmon.wait_db("GPS", "GPS_VALID", 1, valid)
        return gpsd
    return start
