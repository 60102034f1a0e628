"""navmon under faults with a real gpsd and broker, its fix batch never seen torn by a reader."""

import json
import os
import signal
import sqlite3
import time

import pytest

from conftest import Batches, sysdb, wait_for

TPV, APPLY, ACK = ("v1/device/gps/" + t for t in ("location/tpv/update", "enable/apply",
                                                  "enable/ack"))
LOCKED = "failed: database is locked"


@pytest.fixture
def rig(navmon, broker, session):
    navmon.env["MQTT_PORT"] = str(broker.port)
    rig.watch = Batches(navmon.db_path)

    def start(start_epoch=60, valid=40, raw=False):  # with gpsd already running
        rig.gpsd = session("drive_long.nmea", valid, raw, start_epoch=start_epoch, start=True)
        assert not valid or rig.watch.commit_after(-1.0, 5)

    def orderly_stop(send=True):  # and no torn batch ever seen
        navmon.signal(signal.SIGTERM) if send else None
        assert navmon.proc.wait(20) == 255 and navmon.db("GPS", "GPS_STATUS") == "INACTIVE"
        assert not os.path.exists(navmon.path("/var/run/navmon.pid"))
        time.sleep(0.05)
        assert rig.watch.stop() == []

    rig.start, rig.orderly_stop = start, orderly_stop
    yield rig
    rig.watch.quit = True


def test_gpsd_killed_twice_then_firmware_flashing(navmon, rig):
    rig.start()
    for _ in range(2):
        starts, fix_time = rig.gpsd.start_count(), navmon.db("GPS", "GPS_ISO8601")
        pid = rig.gpsd.kill_gpsd()
        assert pid and navmon.wait_log("gpsd (%d) exited! Restarting gpsd!" % pid)
        assert wait_for(lambda: rig.gpsd.start_count() > starts, 10)
        assert wait_for(lambda: navmon.db("GPS", "GPS_ISO8601") > fix_time and
                        navmon.db("GPS", "GPS_VALID") == 1, 30), fix_time
    assert len(rig.watch.commits) >= 3

    # The flashing marker: the session ends and gpsd is stopped before the acknowledgement.
    marker, ack = navmon.path("/tmp/gps-flashing"), navmon.path("/tmp/gps-flashing-navmon-ack")
    open(marker, "w").close()
    assert wait_for(lambda: os.path.exists(ack), 15) and rig.gpsd.pid() == 0
    assert navmon.db("GPS", "GPS_STATUS") == "INACTIVE" and navmon.db("GPS", "GPS_VALID") is None
    # While the module is flashed: no passes, no gpsd, the acknowledgement touched every 10 s.
    stood_aside, starts, first = rig.watch.last_ts(), rig.gpsd.start_count(), os.stat(ack).st_mtime
    assert wait_for(lambda: os.stat(ack).st_mtime > first, 13)
    assert abs(os.stat(ack).st_mtime - first - 10.5) < 1.5
    assert rig.watch.last_ts() == stood_aside and rig.gpsd.start_count() == starts
    # Flashing over: the daemon re-enters a session by itself (its broadcasts: the broker test).
    os.unlink(marker)
    assert navmon.wait_db("GPS", "GPS_STATUS", "ACTIVE", 13)
    assert wait_for(lambda: rig.gpsd.start_count() > starts, 10)
    assert rig.watch.commit_after(stood_aside, 20) and navmon.wait_db("GPS", "GPS_VALID", 1, 30)
    rig.orderly_stop()


def test_broker_outage_then_reconnect_and_enable_command(navmon, rig, broker, clients):
    rig.start()
    broker.stop()
    before = rig.watch.last_ts()
    time.sleep(30)
    assert rig.watch.last_ts() > before + 20.0, "passes stopped without the broker"
    broker.start()  # same port
    sub = clients(broker.port, [TPV, ACK])
    assert sub.wait(TPV, 20), "broadcasts did not resume"

    # Requests subscribed again: sent again while navmon's reconnect lags by a retry interval.
    for on, session in ((False, 31), (True, 32)):
        seen, request = len(sub.heard(ACK)), json.dumps({"value": on, "session": session})
        ack = wait_for(lambda: sub.publish(APPLY, request) or sub.wait(ACK, 8, seen), 80)
        assert json.loads(ack[1]).items() >= {"rc": 200, "session": session}.items(), ack
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
    assert rig.watch.commit_after(before, 4) and rig.watch.commit_after(rig.watch.last_ts(), 3)
    # Nothing committed during the hold, and nothing queued behind it: those passes are gone.
    commits = list(rig.watch.commits)
    assert not [c for c in commits if held_from + 0.05 < c[1] < held_to - 0.05]
    assert all(b[0] - a[0] > 0.5 for a, b in zip(commits, commits[1:])), commits
    assert navmon.db("GPS", "GPS_VALID") == 1

    # Held past the busy timeout, SIGTERM lands in a stuck pass: it lands whole or not at all.
    lock.execute("BEGIN IMMEDIATE")
    time.sleep(1.5)
    committed = rig.watch.last_ts()
    navmon.signal(signal.SIGTERM)
    time.sleep(0.3)
    lock.close()  # rolls back: the lock is released
    rig.orderly_stop(send=False)
    assert navmon.db("GPS", "GPS_DATA")["ts"] == rig.watch.last_ts() >= committed


# gpsd passes lines without a checksum: at epoch 330, a truncated dead-reckoning sentence.
def test_noise_in_the_recording_then_good_data_is_used(navmon, rig):
    rig.start(320, valid=None, raw=True)
    noise = "$PSTMDRPVA,28800.0,12345,48.1"
    assert wait_for(lambda: noise in rig.gpsd.raw(), 30), "the noise did not come through"
    value, ts = navmon.db("DR", "DR_LAT"), rig.watch.last_ts()
    assert wait_for(lambda: navmon.db("DR", "DR_LAT") != value, 5), "DR_LAT stayed %r" % value
    assert rig.watch.commit_after(ts, 3)
    rig.orderly_stop()


def test_database_removed_then_replaced_under_a_running_navmon(navmon, rig):
    # The next passes go to the file now at the path: a new one, then a moved-in one with its keys.
    rig.start()
    db = navmon.db_path
    for suffix in ("-wal", "-shm", ""):
        os.unlink(db + suffix)
    assert navmon.wait_db("GPS", "GPS_DATA", timeout=5)
    assert navmon.wait_db("GPS", "GPS_NMEA_GPGSV", timeout=5)  # the receiver's writes too
    moved_in = db + ".new"
    assert sysdb(moved_in, "set", "SYS", "KEPT", "1").returncode == 0
    for suffix in ("-wal", "-shm"):  # as a careful replacer does: a WAL replays into any file
        os.unlink(db + suffix)
    os.rename(moved_in, db)
    assert navmon.wait_db("GPS", "GPS_DATA", timeout=5) and navmon.db("SYS", "KEPT") == "1"
    assert navmon.log().count("was removed or replaced while open") == 2
    rig.orderly_stop()
