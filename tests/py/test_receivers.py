"""Receivers through a real gpsd: a 2D-only handheld, a GGA an epoch late, NMEA 4.10 and 4.11
modules whose GSV sentences end in a signal ID (4.11: an L1 and an L5 group, and $PSTM)."""

import os
import signal

import pytest

from conftest import SOURCE_DIR, nmea, wait_for


def start_session(navmon, gpsd_for, recording, start_epoch=0):
    gpsd_for(recording, start_epoch=start_epoch)
    navmon.start()
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE")
    navmon.signal(signal.SIGUSR1)
    assert navmon.wait_db("GPS", "GPS_VALID", 1, 30)


def test_2d_fix_is_valid_and_leaves_altitude_alone(navmon, gpsd_for):
    start_session(navmon, gpsd_for, "handheld_2d.nmea", start_epoch=5)
    assert navmon.wait_db("GPS", "GPS_LAT", lambda v: v and abs(v - 47.377) < 0.01)
    assert abs(navmon.db("GPS", "GPS_LON") - 8.542) < 0.01
    assert navmon.db("GPS", "GPS_DATA")["gpsdMode"] == 2
    assert navmon.db("GPS", "GPS_ALT") is None


def test_fix_holds_on_every_pass_when_gga_lags_rmc(navmon, gpsd_for):
    start_session(navmon, gpsd_for, "lagging_gga.nmea", start_epoch=8)
    assert navmon.wait_log("Setting gps valid:1", 30, count=10)
    after_fix = navmon.log().split("Setting gps valid:1", 1)[1]
    assert "Setting gps valid:0" not in after_fix


def l1_groups(recording):
    """Stored text -> signal quality index of every GPS L1 C/A group of the recording, worked
    out here: the signal ID dropped, four satellite blocks a line, a fresh checksum."""
    groups, text, snrs = {}, "", []
    for line in open(os.path.join(SOURCE_DIR, "testdata", recording)):
        fields = line[:line.find("*")].split(",")
        if fields[0] != "$GPGSV":
            continue
        text, snrs = ("", []) if fields[2] == "1" else (text, snrs)
        sats, signal_id = fields[4:-1], fields[-1]
        snrs += [int(s or 0) for s in sats[3::4]]
        text += nmea(",".join(fields[:4] + sats + ["00", "00", "000", ""] * (4 - len(sats) // 4)))
        if fields[1] == fields[2] and signal_id == "1":
            best = sorted(snrs + [0] * 4)[-4:]
            groups[text] = int(min(100.0, max(0.0, (sum(best) / 4 - 20) * 100 / 30)))
    return groups


@pytest.mark.parametrize("recording", ["multi_gnss_410.nmea", "dual_freq_411.nmea"])
def test_satellites_in_view_are_the_l1_group(navmon, gpsd_for, recording):
    groups = l1_groups(recording)
    assert len(groups) > 10 and max(groups.values()) > 0
    start_session(navmon, gpsd_for, recording)

    def stored():
        text = navmon.db("GPS", "GPS_NMEA_GPGSV")
        return text in groups and navmon.db("GPS", "GPS_SQI") == groups[text] and text
    text = wait_for(stored, 20)
    assert text, (navmon.db("GPS", "GPS_NMEA_GPGSV"), navmon.db("GPS", "GPS_SQI"))
    assert all(line.count(",") == 19 for line in text.splitlines())
    if recording.startswith("dual_freq"):
        assert navmon.db("DR", "DR_LAT") is not None
