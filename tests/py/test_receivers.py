"""Receivers through gpsd: 2D only, a GGA an epoch late, GSV with a signal ID (NMEA 4.10, 4.11)."""

import os

import pytest

from conftest import SOURCE_DIR, nmea, wait_for


def test_2d_fix_is_valid_and_leaves_altitude_alone(navmon, session):
    session("handheld_2d.nmea", start_epoch=5)
    assert navmon.wait_db("GPS", "GPS_LAT", lambda v: v and abs(v - 47.377) < 0.01)
    assert abs(navmon.db("GPS", "GPS_LON") - 8.542) < 0.01 and navmon.db("GPS", "GPS_ALT") is None
    assert navmon.db("GPS", "GPS_DATA")["gpsdMode"] == 2


def test_fix_holds_on_every_pass_when_gga_lags_rmc(navmon, session):
    session("lagging_gga.nmea", start_epoch=8)
    assert navmon.wait_log("Setting gps valid:1", 30, count=10)
    assert "Setting gps valid:0" not in navmon.log().split("Setting gps valid:1", 1)[1]


def l1_groups(recording):
    """Stored text -> SQI of each GPS L1 C/A group: signal ID dropped, padded, fresh checksum."""
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
def test_satellites_in_view_are_the_l1_group(navmon, session, recording):
    groups = l1_groups(recording)
    assert len(groups) > 10 and max(groups.values()) > 0
    session(recording)

    def stored():
        text = navmon.db("GPS", "GPS_NMEA_GPGSV")
        return text in groups and navmon.db("GPS", "GPS_SQI") == groups[text] and text
    text = wait_for(stored, 20)
    assert text, (navmon.db("GPS", "GPS_NMEA_GPGSV"), navmon.db("GPS", "GPS_SQI"))
    assert all(line.count(",") == 19 for line in text.splitlines())
    if recording.startswith("dual_freq"):
        assert navmon.db("DR", "DR_LAT") is not None
