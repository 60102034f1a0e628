"""The pace of the passes through a real gpsd: at 1 Hz one pass a receiver epoch, each TPV in
exactly one; at 10 Hz, and under a storm of TPVs whose times race ahead, one pass a second."""

import datetime
import time

import pytest

from conftest import Batches


@pytest.mark.parametrize("recording,rate,epoch", [("drive_short.nmea", 1, 30),
                                                  ("fast_10hz.nmea", 10, 0),
                                                  ("drive_short.nmea", 10, 30)])
def test_one_pass_an_epoch_and_never_more_than_one_a_second(navmon, session, recording, rate,
                                                            epoch):
    session(recording, 20, rate=rate, start_epoch=epoch, loop=False, start=True)
    watch = Batches(navmon.db_path)
    time.sleep(20)
    assert watch.stop() == []
    seen = watch.commits[1:]  # (ts, when seen, TPV time); the first was there before the watch
    at = [t for _, t, _ in seen]
    rx = [datetime.datetime.strptime(tpv, "%Y-%m-%dT%H:%M:%S.%fZ").timestamp() for *_, tpv in seen]
    assert 18 <= len(at) <= 21, seen
    assert min(b - a for a, b in zip(at, at[1:])) > 0.7, seen
    if rate == 1 or recording == "fast_10hz.nmea":
        # One pass for each receiver second: the first TPV of each, none left out.
        assert [b - a for a, b in zip(rx, rx[1:])] == [1.0] * (len(rx) - 1), seen
