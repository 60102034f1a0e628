"""The pace of the passes through a real gpsd: at 1 Hz one pass a receiver epoch, each TPV in
exactly one; at 10 Hz, and under a storm of TPVs whose times race ahead, one pass a second."""

import datetime
import json
import signal
import sqlite3
import threading
import time

import pytest


class Passes(threading.Thread):
    """Polls the fix batch every 5 ms as another service would: (when seen, TPV time) of each
    pass's commit."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.seen, self.quit = path, [], False
        self.start()

    def run(self):
        last = None
        while not self.quit:
            try:
                with sqlite3.connect("file:%s?mode=ro" % self.path, uri=True, timeout=0.2) as c:
                    raw = c.execute("SELECT value FROM kv WHERE db='GPS' AND key='GPS_DATA_RAW'"
                                    ).fetchone()
                snapshot = json.loads(raw[0]) if raw else None
            except (sqlite3.Error, ValueError):
                snapshot = None
            if snapshot and snapshot.get("ts") != last:
                last = snapshot["ts"]
                self.seen.append((time.monotonic(), snapshot.get("TPV", {}).get("time")))
            time.sleep(0.005)


def seconds(tpv_time):
    return datetime.datetime.strptime(tpv_time, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()


@pytest.mark.parametrize("recording,rate,epoch", [("drive_short.nmea", 1, 30),
                                                  ("fast_10hz.nmea", 10, 0),
                                                  ("drive_short.nmea", 10, 30)])
def test_one_pass_an_epoch_and_never_more_than_one_a_second(navmon, gpsd_for, recording, rate,
                                                            epoch):
    gpsd_for(recording, rate=rate, start_epoch=epoch, loop=False, start=True)
    navmon.start()
    navmon.signal(signal.SIGUSR1)
    assert navmon.wait_db("GPS", "GPS_VALID", 1, 20)
    watch = Passes(navmon.db_path)
    time.sleep(20)
    watch.quit = True
    watch.join()
    at = [t for t, _ in watch.seen[1:]]
    rx = [seconds(tpv) for _, tpv in watch.seen[1:]]
    assert 18 <= len(at) <= 21, watch.seen
    assert min(b - a for a, b in zip(at, at[1:])) > 0.7, watch.seen
    if rate == 1 or recording == "fast_10hz.nmea":
        # One pass for each receiver second: the first TPV of each, none left out.
        assert [b - a for a, b in zip(rx, rx[1:])] == [1.0] * (len(rx) - 1), watch.seen
