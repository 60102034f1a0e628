"""navmon under faults, end to end, with a real gpsd and broker; a BatchWatch polls the fix batch
throughout as another service would, and no reader may ever see it torn."""

import json
import os
import signal
import sqlite3
import subprocess
import threading
import time

import pytest

from conftest import program, wait_for

TPV = "v1/device/gps/location/tpv/update"
LOCKED = "failed: database is locked"


class BatchWatch(threading.Thread):
    """Reads "GPS_DATA_TS", GPS_DATA's "ts" and GPS_DATA_RAW's "ts" every 5 ms in one read
    transaction, as another service would: they must always come from one batch. Records each
    distinct commit as (ts, when first seen)."""

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
                if row != (None, None, None) and any(json.loads(v)["ts"] != row[0]
                                                     for v in row[1:]):
                    self.torn.append("batch ts differ: %r" % (row,))
                elif row[0] is not None and self.last_ts() != row[0]:
                    self.commits.append((row[0], time.monotonic()))
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
def rig(navmon, broker, gpsd_for):
    """A session with gpsd already running, switched on by SIGUSR1; the watch runs throughout,
    and the end is an orderly stop with no torn batch ever seen."""
    def start(start_epoch=60, valid=True, raw_watch=False):
        rig.gpsd = gpsd_for("drive_long.nmea", start_epoch=start_epoch, start=True)
        rig.raw = rig.gpsd.pipe("-r") if raw_watch else None
        navmon.env["MQTT_PORT"] = str(broker.port)
        navmon.start()
        navmon.signal(signal.SIGUSR1)
        assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE")
        if valid:
            assert navmon.wait_db("GPS", "GPS_VALID", 1, 40)
            assert rig.watch.commit_after(-1.0, 5)

    def orderly_stop(send=True):
        navmon.signal(signal.SIGTERM) if send else None
        assert navmon.proc.wait(20) == 255
        assert not os.path.exists(navmon.path("/var/run/navmon.pid"))
        assert navmon.db("GPS", "GPS_STATUS") == "INACTIVE"
        time.sleep(0.05)
        assert rig.watch.stop() == []

    rig.start, rig.orderly_stop = start, orderly_stop
    rig.watch = BatchWatch(navmon.db_path)
    yield rig
    rig.watch.quit = True


def test_gpsd_killed_twice_then_firmware_flashing(navmon, rig, clients, broker):
    rig.start()
    for _ in range(2):
        starts, fix_time = rig.gpsd.start_count(), navmon.db("GPS", "GPS_ISO8601")
        pid = rig.gpsd.kill_gpsd()
        assert pid
        assert navmon.wait_log("gpsd (%d) exited! Restarting gpsd!" % pid)
        assert wait_for(lambda: rig.gpsd.start_count() > starts, 10)
        # A valid fix again, newer than the last one before the kill.
        assert wait_for(lambda: navmon.db("GPS", "GPS_ISO8601") > fix_time and
                        navmon.db("GPS", "GPS_VALID") == 1, 30), fix_time
    assert len(rig.watch.commits) >= 3

    # The firmware-flashing marker: the session ends and gpsd is stopped.
    marker, ack = navmon.path("/tmp/gps-flashing"), navmon.path("/tmp/gps-flashing-navmon-ack")
    open(marker, "w").close()
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE")
    assert navmon.db("GPS", "GPS_VALID") is None
    assert wait_for(lambda: rig.gpsd.pid() == 0, 10)
    assert wait_for(lambda: os.path.exists(ack))

    # While the module is flashed: no passes, no gpsd, the acknowledgement touched every 10 s.
    stood_aside, starts, first = rig.watch.last_ts(), rig.gpsd.start_count(), os.stat(ack).st_mtime
    assert wait_for(lambda: os.stat(ack).st_mtime > first, 13)
    assert abs(os.stat(ack).st_mtime - first - 10.5) < 1.5
    assert rig.watch.last_ts() == stood_aside and rig.gpsd.start_count() == starts

    # Flashing over: the daemon re-enters a session by itself.
    sub = clients(broker.port, [TPV])
    os.unlink(marker)
    assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE", 13)
    assert wait_for(lambda: rig.gpsd.start_count() > starts, 10)
    assert sub.wait(TPV, 20)
    assert rig.watch.commit_after(stood_aside, 20)
    assert navmon.wait_db("GPS", "GPS_VALID", 1, 30)
    rig.orderly_stop()


def test_broker_outage_then_reconnect_and_enable_command(navmon, rig, broker, clients):
    rig.start()
    broker.stop()
    before = rig.watch.last_ts()
    time.sleep(30)
    assert rig.watch.last_ts() > before + 20.0, "passes stopped without the broker"
    broker.start()  # same port
    sub = clients(broker.port, [TPV, "v1/device/gps/enable/ack"])
    assert sub.wait(TPV, 20), "broadcasts did not resume"

    # The request topic was subscribed again: the enable command answers both ways (sent again
    # while the daemon's reconnect lags the broker's restart by a retry interval).
    for on, session in ((False, 31), (True, 32)):
        seen = len(sub.heard("v1/device/gps/enable/ack"))
        ack = wait_for(lambda: sub.publish("v1/device/gps/enable/apply", json.dumps(
            {"value": on, "session": session})) or sub.wait("v1/device/gps/enable/ack", 8, seen),
            80)
        reply = json.loads(ack[1])
        assert reply["rc"] == 200 and reply["session"] == session, ack
        assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE" if on else "INACTIVE")
    # Back on: gpsd started again by the session, broadcasts flow.
    assert sub.wait(TPV, 20, after=len(sub.heard(TPV)))
    rig.orderly_stop()


def test_database_held_by_another_writer_then_sigterm_while_held(navmon, rig):
    rig.start()
    failures = navmon.log().count(LOCKED)
    lock = sqlite3.connect(navmon.db_path, timeout=5, isolation_level=None)
    lock.execute("BEGIN IMMEDIATE")
    held_from = time.monotonic()
    time.sleep(2.5)
    before = rig.watch.last_ts()  # readers still see the last commit
    held_to = time.monotonic()
    lock.execute("COMMIT")
    # Writers gave up after the busy timeout and said so; batches land again afterwards.
    assert navmon.log().count(LOCKED) > failures
    assert rig.watch.commit_after(before, 4)
    assert rig.watch.commit_after(rig.watch.last_ts(), 3)
    # Nothing committed during the hold, and nothing queued behind it: those passes are gone.
    commits = list(rig.watch.commits)
    assert not [c for c in commits if held_from + 0.05 < c[1] < held_to - 0.05]
    assert all(b[0] - a[0] > 0.5 for a, b in zip(commits, commits[1:])), commits
    assert navmon.db("GPS", "GPS_VALID") == 1

    # Held again past the busy timeout: every pass is stuck behind the lock, and SIGTERM lands
    # in one. That pass lands whole or not at all.
    lock.execute("BEGIN IMMEDIATE")
    time.sleep(1.5)
    committed = rig.watch.last_ts()
    navmon.signal(signal.SIGTERM)
    time.sleep(0.3)
    lock.execute("COMMIT")
    lock.close()
    rig.orderly_stop(send=False)
    assert rig.watch.last_ts() >= committed
    assert navmon.db("GPS", "GPS_DATA")["ts"] == rig.watch.last_ts()


# gpsd drops lines with a wrong checksum or no sentence shape but passes lines without a
# checksum: at epoch 330, in the tunnel, a truncated dead-reckoning sentence reaches navmon.
def test_noise_in_the_recording_then_good_data_is_used(navmon, rig):
    rig.start(320, valid=False, raw_watch=True)
    noise = "$PSTMDRPVA,28800.0,12345,48.1"
    assert wait_for(lambda: noise in rig.raw(), 30), "the recording's noise did not come through"
    value, ts = navmon.db("DR", "DR_LAT"), rig.watch.last_ts()
    assert wait_for(lambda: navmon.db("DR", "DR_LAT") != value, 5), "DR_LAT stayed %r" % value
    assert rig.watch.commit_after(ts, 3)
    rig.orderly_stop()


def test_database_removed_then_replaced_under_a_running_navmon(navmon, rig):
    """Each time, the next passes go to the file now at the path: a new one after a removal (as
    another service recreates it), the moved-in one after a replacement, keeping its keys."""
    rig.start()
    db = navmon.db_path
    for suffix in ("-wal", "-shm", ""):
        os.unlink(db + suffix)
    assert navmon.wait_db("GPS", "GPS_DATA", timeout=5)
    assert navmon.wait_db("GPS", "GPS_NMEA_GPGSV", timeout=5)  # the receiver's writes too
    moved_in = db + ".new"
    subprocess.run(program("sysdb") + ["set", "SYS", "KEPT", "1"], check=True,
                   env=dict(os.environ, SYSDB_PATH=moved_in))
    for suffix in ("-wal", "-shm"):  # as a careful replacer does: a WAL replays into any file
        os.unlink(db + suffix)
    os.rename(moved_in, db)
    assert navmon.wait_db("GPS", "GPS_DATA", timeout=5) and navmon.db("SYS", "KEPT") == "1"
    assert navmon.log().count("was removed or replaced while open") == 2
    rig.orderly_stop()
