"""Process-level fixtures: navmon, sysdb and nmea_replay as processes (from the build tree, set by
ctest; through $NAVMON_LAUNCHER, e.g. qemu-arm, when given) against a private mosquitto and a
real gpsd fed from a recording, on free loopback ports. Each stops exactly what it started."""

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
    """argv prefix of one of the project's programs: "navmon", "sysdb" or "nmea_replay"."""
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


def nmea(body):
    """A sentence with its checksum, worked out here independently of the code under test."""
    s = 0
    for c in body[1:].encode():
        s ^= c
    return "%s*%02X\r\n" % (body, s)


def stop_process(proc, grace=5.0):
    """SIGTERM, then SIGKILL after grace seconds; the exit status (negative: signal)."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace * SLOW)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


def db_read(path, db, key=None):
    """One value (None when missing), or with key=None a dict of every key of db, read in one
    transaction as another service would. JSON values come back parsed."""
    def value(t, v):
        return json.loads(v) if t == 4 else (float("nan") if t == 3 and v is None else v)
    try:
        with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=2.0) as con:
            if key is None:
                rows = con.execute("SELECT key, type, value FROM kv WHERE db = ?", (db,))
                return {k: value(t, v) for k, t, v in rows}
            row = con.execute("SELECT type, value FROM kv WHERE db = ? AND key = ?",
                              (db, key)).fetchone()
            return value(*row) if row else None
    except sqlite3.Error:
        return None if key else {}


class Broker:
    def __init__(self, workdir):
        self.conf, self.port, self.proc = os.path.join(workdir, "mosquitto.conf"), free_port(), None

    def start(self):  # same port on every start
        with open(self.conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % self.port)
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.conf], **QUIET)
        assert wait_for(lambda: listening(self.port)), "mosquitto did not come up"

    def stop(self):
        if self.proc:
            stop_process(self.proc)


class Mqtt:
    """A client of the private broker that records every message it hears."""

    def __init__(self, port, topics=()):
        self.messages, self.lock = [], threading.Lock()  # (topic, payload text, retained)
        self.client = mqtt.Client()
        self.client.on_connect = lambda c, u, f, rc: [c.subscribe(t) for t in topics]
        self.client.on_message = self.on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append((msg.topic, msg.payload.decode(errors="replace"), msg.retain))

    def publish(self, topic, payload, retain=False):
        self.client.publish(topic, payload, retain=retain).wait_for_publish()

    def heard(self, topic=None):
        with self.lock:
            return [m for m in self.messages if topic in (None, m[0])]

    def wait(self, topic, timeout=5.0, after=0):
        """The first message on topic after the first `after` of them."""
        return wait_for(lambda: (self.heard(topic)[after:] or [None])[0], timeout)


class Gpsd:
    """nmea_replay serving a recording on a loopback port and, through $ROOT/bin/systemctl, a
    real gpsd reading it and listening on another."""

    def __init__(self, root, recording, rate=1.0, loop=True, start_epoch=0, start=False):
        self.root, self.feed, self.port, self.pipes = root, free_port(), free_port(), []
        for d in ("bin", "var/run", "var/log"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        os.chmod(os.path.join(root, "var/run"), 0o777)  # gpsd drops to its own user
        self.shm_key = "0x4E4D%04X" % (self.port & 0xFFFF)
        # systemd's stand-in, shared with the demo: gpsd on this rig's ports.
        self.systemctl = os.path.join(root, "bin/systemctl")
        shutil.copy(os.path.join(SOURCE_DIR, "scripts/systemctl-gpsd.sh"), self.systemctl)
        with open(os.path.join(root, "bin/rig.env"), "w") as f:
            f.write("ROOT=%s\nGPSD_PORT=%d\nFEED_PORT=%d\nSHM_KEY=%s\n" %
                    (shlex.quote(root), self.port, self.feed, self.shm_key))
        self.replay = subprocess.Popen(
            program("nmea_replay") + ["--port", str(self.feed), "--rate", str(rate),
                                      "--file", os.path.join(SOURCE_DIR, "testdata", recording),
                                      "--start-epoch", str(start_epoch)] + ["--loop"] * loop,
            **QUIET)
        assert wait_for(lambda: listening(self.feed)), "nmea_replay did not come up"
        if start:
            assert subprocess.call([self.systemctl, "start", "gpsd"]) == 0, "no gpsd"
            assert wait_for(lambda: listening(self.port)), "gpsd does not listen"

    def env(self):
        return {"NAVMON_ROOT": self.root, "GPSD_HOST": "127.0.0.1", "GPSD_PORT": str(self.port)}

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
        with open(os.path.join(self.root, "var/log/systemctl.log")) as f:
            return f.read().count("start gpsd")

    def pipe(self, flag):
        """gpspipe, gpsd's own client, writing what gpsd sends (-w: reports, -r: the receiver's
        lines) to a file until stop(); a function giving the lines so far."""
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
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if mark in f.read():
                        os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass
        subprocess.call(["ipcrm", "-M", self.shm_key], **QUIET)


class Navmon:
    """navmon with a private root ($NAVMON_ROOT), database, configuration, log and fake LED.
    MQTT and gpsd point at free ports where nothing listens until a test says otherwise; without
    gpsd, $ROOT/bin/systemctl only records its calls."""

    def __init__(self, root):
        self.root, self.proc = root, None
        for d in ("var/run", "tmp", "bin", "data/xtra", "sys/class/leds/gps"):
            os.makedirs(self.path("/" + d), exist_ok=True)
        os.chmod(self.path("/var/run"), 0o777)
        for name, text in (("brightness", "0"), ("max_brightness", "255"), ("trigger", "none")):
            self.write(self.led_path(name), text + "\n")
        self.db_path, self.log_path = self.path("/sysdb.sqlite"), self.path("/navmon.log")
        self.config = {"hardware": {"wireless": {"gps": {"module": "GNSS-DR"}},
                                    "leds": {"gps": "/sys/class/leds/gps"}},
                       "gps": {"deadreckon": {"enable": True}}}
        self.config_text = None  # written instead of config when set (malformed files)
        self.env = {"NAVMON_ROOT": root, "SYSDB_PATH": self.db_path,
                    "PLATFORM_CONFIG": self.path("/config.json"), "MQTT_HOST": "127.0.0.1",
                    "MQTT_PORT": str(free_port()), "GPSD_HOST": "127.0.0.1",
                    "GPSD_PORT": str(free_port())}
        self.write(self.path("/bin/systemctl"),
                   "#!/bin/sh\necho \"$*\" >> %s\n" % shlex.quote(self.path("/systemctl.calls")))
        os.chmod(self.path("/bin/systemctl"), 0o755)

    def path(self, absolute):
        return self.root + absolute

    @staticmethod
    def write(path, text):
        with open(path, "w") as f:
            f.write(text)

    def led_path(self, name):
        return self.path("/sys/class/leds/gps/" + name)

    def led(self, name="brightness"):
        return open(self.led_path(name)).read().strip()

    def start(self, *args, env=None):
        """Starts navmon, and returns once its signal handlers are in place (an earlier SIGUSR1
        would end it: its default action)."""
        self.write(self.env["PLATFORM_CONFIG"], self.config_text or json.dumps(self.config))
        environ = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        environ.update(self.env, **(env or {}))
        args = list(args or ["-v"]) + ([] if "-l" in args else ["-l", self.log_path])
        self.proc = subprocess.Popen(program("navmon") + args, env=environ,
                                     stdout=open(self.path("/navmon.out"), "a"),
                                     stderr=subprocess.STDOUT)
        assert self.wait_log("Enabled:"), "navmon did not start"
        return self.proc

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, grace=15.0):
        """SIGTERM and the exit status (255 for an orderly stop)."""
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

    def sysdb(self, *args, check=True):
        """Runs the sysdb tool on this database; (exit status, stdout)."""
        r = subprocess.run(program("sysdb") + list(args), capture_output=True, timeout=30 * SLOW,
                           env=dict(os.environ, SYSDB_PATH=self.db_path))
        out = r.stdout.decode()  # by hand: text mode would turn a stored "\r\n" into "\n"
        assert not check or r.returncode == 0, (args, r.stderr)
        return r.returncode, out


@pytest.fixture
def workdir():
    with tempfile.TemporaryDirectory(prefix="navmon-test-") as d:
        os.chmod(d, 0o755)
        yield d


@pytest.fixture
def broker(workdir):
    b = Broker(workdir)
    b.start()
    yield b
    b.stop()


@pytest.fixture
def navmon(workdir, request):
    n = Navmon(os.path.join(workdir, "root"))
    yield n
    n.stop()
    # The daemon's own account is the quickest way to a cause when a test fails.
    if getattr(request.node, "rep_call", None) and request.node.rep_call.failed:
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
        navmon.env.update(made[-1].env())
        return made[-1]
    yield make
    navmon.stop()  # first: a running session would start gpsd again
    for g in made:
        g.stop()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    rep = (yield).get_result()
    setattr(item, "rep_" + rep.when, rep)
