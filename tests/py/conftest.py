"""Fixtures for process-level tests: navmon, sysdb and nmea_replay run as processes against a
private mosquitto and a real gpsd fed from a recording, all on free loopback ports. Each fixture
stops exactly the processes it started.

Programs come from the build tree (NAVMON_BIN, SYSDB_BIN, NMEA_REPLAY_BIN, set by ctest). With
NAVMON_LAUNCHER set (e.g. "qemu-arm"), the project's own programs run through it; the servers
stay native.
"""

import json
import os
import shlex
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time

import paho.mqtt.client as mqtt
import pytest

SOURCE_DIR = os.environ.get("NAVMON_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(__file__))))
LAUNCHER = shlex.split(os.environ.get("NAVMON_LAUNCHER", ""))
# Emulated programs start slowly: every wait below scales with this.
SLOW = float(os.environ.get("NAVMON_TEST_SLOWDOWN", "3" if LAUNCHER else "1"))
# Programs built with sanitizers: slower, and holding freed memory back.
SANITIZED = bool(os.environ.get("NAVMON_SANITIZED"))


def program(name):
    """argv prefix of one of the project's programs: "navmon", "sysdb" or "nmea_replay"."""
    path = os.environ.get(name.upper() + "_BIN")
    if not path:
        pytest.skip(name.upper() + "_BIN is not set (run through ctest)")
    return LAUNCHER + [path]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def wait_for(cond, timeout=5.0, step=0.02):
    """Polls cond until it returns something true; returns that, or None after timeout."""
    deadline = time.monotonic() + timeout * SLOW
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


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


# ---- System database ------------------------------------------------------------------------

TEXT, INT, DBL, JSON = 1, 2, 3, 4


def db_read(path, db, key=None):
    """One value (None when missing), or with key=None a dict of every key of db, read in one
    transaction as another service would. JSON values come back parsed."""
    def value(t, v):
        return json.loads(v) if t == JSON else (float("nan") if t == DBL and v is None else v)
    try:
        con = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=2.0)
    except sqlite3.Error:
        return None if key else {}
    try:
        if key is None:
            rows = con.execute("SELECT key, type, value FROM kv WHERE db = ?", (db,))
            return {k: value(t, v) for k, t, v in rows}
        row = con.execute("SELECT type, value FROM kv WHERE db = ? AND key = ?",
                          (db, key)).fetchone()
        return value(*row) if row else None
    except sqlite3.Error:
        return None if key else {}
    finally:
        con.close()


# ---- Broker and MQTT client -----------------------------------------------------------------

class Broker:
    def __init__(self, workdir):
        self.dir = workdir
        self.port = free_port()
        self.proc = None

    def start(self):
        conf = os.path.join(self.dir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "log_dest stderr\n" % self.port)
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf],
                                     stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.dir, "mosquitto.log"), "a"))
        assert wait_for(lambda: listening(self.port)), "mosquitto did not come up"

    def stop(self):
        if self.proc:
            stop_process(self.proc)
            self.proc = None


class Mqtt:
    """A client of the private broker that records every message it hears."""

    def __init__(self, port, topics=()):
        self.port = port
        self.messages = []  # (topic, payload text, retained)
        self.lock = threading.Lock()
        self.client = mqtt.Client()
        self.client.on_connect = lambda c, u, f, rc: [c.subscribe(t) for t in topics]
        self.client.on_message = self._on_message
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def _on_message(self, client, userdata, msg):
        with self.lock:
            self.messages.append((msg.topic, msg.payload.decode("utf-8", "replace"),
                                  bool(msg.retain)))

    def publish(self, topic, payload, retain=False):
        info = self.client.publish(topic, payload, retain=retain)
        info.wait_for_publish()

    def heard(self, topic=None):
        with self.lock:
            return [m for m in self.messages if topic is None or m[0] == topic]

    def wait(self, topic, timeout=5.0, where=lambda m: True, after=0):
        """The first message on topic (after the first `after` of them) that satisfies where."""
        def find():
            for m in self.heard(topic)[after:]:
                if where(m):
                    return m
            return None
        return wait_for(find, timeout)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


# ---- gpsd fed from a recording --------------------------------------------------------------

# Stands in for /bin/systemctl: "start gpsd" runs a gpsd of this root in the foreground under a
# subshell that stays to reap it (a killed gpsd is gone at once, not a zombie answering kill 0).
SYSTEMCTL = r"""#!/bin/sh
ROOT='@ROOT@'
PIDFILE="$ROOT/var/run/gpsd.pid"
echo "$*" >> "$ROOT/var/log/systemctl.log"
[ "${2%.service}" = gpsd ] || { echo "Unit $2 not found." >&2; exit 5; }
ours() {
    pid=$(cat "$PIDFILE" 2>/dev/null)
    case "$pid" in ''|*[!0-9]*) return 1;; esac
    tr '\000' ' ' 2>/dev/null < "/proc/$pid/cmdline" | grep -q -F -- "-P $PIDFILE " && echo "$pid"
}
case "$1" in
start)
    ours > /dev/null && exit 0
    rm -f "$PIDFILE"
    ( GPSD_SHM_KEY=@SHM_KEY@ /usr/sbin/gpsd -N -n -S @GPSD_PORT@ -P "$PIDFILE" \
        "tcp://127.0.0.1:@FEED_PORT@" < /dev/null >> "$ROOT/var/log/gpsd.log" 2>&1
    ) < /dev/null > /dev/null 2>&1 &
    i=0
    while [ $i -lt 150 ]; do
        ours > /dev/null && exit 0
        kill -0 $! 2>/dev/null || exit 1
        sleep 0.02; i=$((i + 1))
    done
    exit 1;;
stop)
    if pid=$(ours); then
        kill -TERM "$pid"; i=0
        while [ $i -lt 150 ] && kill -0 "$pid" 2>/dev/null; do sleep 0.02; i=$((i + 1)); done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
    fi
    rm -f "$PIDFILE";;
*) echo "Unknown command $1." >&2; exit 1;;
esac
"""


class Watch(threading.Thread):
    def __init__(self, port, raw):
        super().__init__(daemon=True)
        self.lines, self.quit = [], False
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=0.2)
        self.sock.sendall(b'?WATCH={"enable":true,"raw":1};\n' if raw
                          else b'?WATCH={"enable":true,"json":true};\n')
        self.start()

    def run(self):
        pending = b""
        while not self.quit:
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            *done, pending = (pending + chunk).split(b"\n")
            self.lines += [d.decode("ascii", "replace").rstrip("\r") for d in done]

    def close(self):
        self.quit = True
        self.join()
        self.sock.close()


class Gpsd:
    """nmea_replay serving a recording on one loopback port and, through $ROOT/bin/systemctl,
    a real gpsd reading it and listening on another."""

    def __init__(self, root, recording, rate=1.0, loop=True, start_epoch=0, start=False):
        self.root = root
        path = recording if recording.startswith("/") else os.path.join(SOURCE_DIR, "testdata",
                                                                         recording)
        for d in ("bin", "var/run", "var/log"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        os.chmod(os.path.join(root, "var/run"), 0o777)  # gpsd drops to its own user
        self.feed_port = free_port()
        self.port = free_port()
        self.shm_key = "0x4E4D%04X" % (self.port & 0xFFFF)
        self.systemctl = os.path.join(root, "bin/systemctl")
        script = (SYSTEMCTL.replace("@ROOT@", root).replace("@GPSD_PORT@", str(self.port))
                  .replace("@FEED_PORT@", str(self.feed_port)).replace("@SHM_KEY@", self.shm_key))
        with open(self.systemctl, "w") as f:
            f.write(script)
        os.chmod(self.systemctl, 0o755)
        argv = program("nmea_replay") + ["--port", str(self.feed_port), "--file", path,
                                         "--rate", str(rate), "--start-epoch", str(start_epoch)]
        if loop:
            argv.append("--loop")
        self.replay = subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                                       stderr=open(os.path.join(root, "var/log/replay.log"), "a"))
        assert wait_for(lambda: listening(self.feed_port)), "nmea_replay did not come up"
        if start:
            self.start_gpsd()

    def env(self):
        return {"NAVMON_ROOT": self.root, "GPSD_HOST": "127.0.0.1", "GPSD_PORT": str(self.port)}

    def start_gpsd(self):
        assert subprocess.call([self.systemctl, "start", "gpsd"]) == 0, "gpsd did not start"
        assert wait_for(lambda: listening(self.port)), "gpsd does not listen"

    def pid(self):
        try:
            with open(os.path.join(self.root, "var/run/gpsd.pid")) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return 0

    def kill_gpsd(self, sig=signal.SIGKILL):
        """Sends sig to our gpsd and waits until it is gone; its pid, or 0 if none ran."""
        pid = self.pid()
        if pid <= 0:
            return 0
        os.kill(pid, sig)
        wait_for(lambda: not os.path.exists("/proc/%d" % pid))
        return pid

    def start_count(self):
        try:
            with open(os.path.join(self.root, "var/log/systemctl.log")) as f:
                return sum(1 for line in f if line.startswith("start gpsd"))
        except OSError:
            return 0

    def watch(self, raw=False):
        """A plain gpsd client collecting, in the background, every line gpsd sends it (raw:
        the receiver's own lines) into .lines until .close()."""
        return Watch(self.port, raw)

    def stop(self):
        subprocess.call([self.systemctl, "stop", "gpsd"], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)
        stop_process(self.replay)
        subprocess.call(["ipcrm", "-M", self.shm_key], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL)


# ---- navmon as a process ----------------------------------------------------------------------

class Navmon:
    """navmon with a private root ($NAVMON_ROOT), database, configuration, log and fake LED.
    MQTT and gpsd point at free ports where nothing listens until a test says otherwise."""

    def __init__(self, root):
        self.root = root
        for d in ("var/run", "tmp", "bin", "data/xtra", "sys/class/leds/gps"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        os.chmod(os.path.join(root, "var/run"), 0o777)
        for name, text in (("brightness", "0\n"), ("max_brightness", "255\n"),
                           ("trigger", "none\n")):
            with open(self.led_path(name), "w") as f:
                f.write(text)
        self.db_path = os.path.join(root, "sysdb.sqlite")
        self.log_path = os.path.join(root, "navmon.log")
        self.config_path = os.path.join(root, "config.json")
        self.config = {"hardware": {"wireless": {"gps": {"module": "GNSS-DR"}},
                                    "leds": {"gps": "/sys/class/leds/gps"}},
                       "gps": {"deadreckon": {"enable": True}}}
        self.config_text = None  # written instead of config when set (malformed files)
        self.env = {"NAVMON_ROOT": root, "SYSDB_PATH": self.db_path,
                    "PLATFORM_CONFIG": self.config_path, "MQTT_HOST": "127.0.0.1",
                    "MQTT_PORT": str(free_port()), "GPSD_HOST": "127.0.0.1",
                    "GPSD_PORT": str(free_port())}
        self.proc = None
        # Without gpsd, systemctl only records its calls.
        calls = os.path.join(root, "systemctl.calls")
        with open(os.path.join(root, "bin/systemctl"), "w") as f:
            f.write("#!/bin/sh\necho \"$*\" >> %s\nexit 0\n" % shlex.quote(calls))
        os.chmod(os.path.join(root, "bin/systemctl"), 0o755)

    def path(self, absolute):
        return self.root + absolute

    def led_path(self, name):
        return os.path.join(self.root, "sys/class/leds/gps", name)

    def led(self, name="brightness"):
        with open(self.led_path(name)) as f:
            return f.read().strip()

    def start(self, *args, env=None, wait=True):
        """Starts navmon; with wait, returns once its signal handlers are in place (a signal
        that comes earlier would end it: SIGUSR1's default action)."""
        with open(self.config_path, "w") as f:
            f.write(self.config_text if self.config_text is not None else json.dumps(self.config))
        environ = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        environ.update(self.env)
        environ.update(env or {})
        args = list(args) or ["-v"]
        if "-l" not in args:
            args += ["-l", self.log_path]
        self.proc = subprocess.Popen(program("navmon") + args, env=environ,
                                     stdout=open(os.path.join(self.root, "navmon.out"), "a"),
                                     stderr=subprocess.STDOUT)
        if wait:
            assert self.wait_log("Enabled:"), "navmon did not start"
        return self.proc

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, grace=15.0):
        """SIGTERM and the exit status (255 for an orderly stop)."""
        return stop_process(self.proc, grace) if self.proc else None

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_log(self, text, timeout=10.0, count=1):
        return wait_for(lambda: self.log().count(text) >= count, timeout, 0.05)

    def db(self, db, key=None):
        return db_read(self.db_path, db, key)

    def wait_db(self, db, key, want=lambda v: v is not None, timeout=10.0):
        """The value once want(value) holds (want may also be a plain value to equal)."""
        test = want if callable(want) else (lambda v: v == want)
        box = []

        def check():
            v = self.db(db, key)
            if test(v):
                box.append(v)
                return True
            return False
        return box[-1] if wait_for(check, timeout, 0.05) else None

    def sysdb(self, *args, check=True):
        """Runs the sysdb tool on this database; (exit status, stdout)."""
        env = dict(os.environ, SYSDB_PATH=self.db_path)
        r = subprocess.run(program("sysdb") + list(args), env=env, capture_output=True,
                           timeout=30 * SLOW)
        r.stdout, r.stderr = r.stdout.decode(), r.stderr.decode()  # keeps "\r\n" as stored
        if check and r.returncode != 0:
            raise AssertionError("sysdb %s: %d %s" % (args, r.returncode, r.stderr))
        return r.returncode, r.stdout


# ---- pytest fixtures ----------------------------------------------------------------------------

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
    if getattr(request.node, "rep_call", None) is not None and request.node.rep_call.failed:
        print("---- navmon log (tail) ----\n" + n.log()[-12000:])


@pytest.fixture
def clients():
    made = []

    def make(port, topics=()):
        c = Mqtt(port, topics)
        made.append(c)
        return c
    yield make
    for c in made:
        c.close()


@pytest.fixture
def gpsd_for(navmon):
    """gpsd_for(recording, **options): a replay and gpsd behind navmon's systemctl."""
    made = []

    def make(recording, **options):
        g = Gpsd(navmon.root, recording, **options)
        made.append(g)
        navmon.env.update(g.env())
        return g
    yield make
    for g in made:
        g.stop()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)
