"""navmon end to end: a real gpsd replaying a recording, a real mosquitto, navmon as a process.
What is checked is what a reader of the system database and a subscriber on the broker see."""

import json
import math
import os
import signal
import struct

from conftest import Gpsd, nmea, wait_for

SENTENCE_KEYS = ("GPS_NMEA_GPRMC_V2", "GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGGA", "GPS_NMEA_GPGSA",
                 "GPS_NMEA_PGPS", "GPS_NMEA_BTVEG")


def valid_nmea(s):
    """"$...*HH\\r\\n" with the right checksum."""
    return s.startswith("$") and "*" in s and s == nmea(s[:s.index("*")])


def test_drive_is_published_in_the_database_and_on_the_broker(navmon, broker, clients, gpsd_for):
    # Past the cold start: a 2D stretch, then 3D fixes. navmon's session starts gpsd itself.
    gpsd = gpsd_for("drive_short.nmea", start_epoch=20)
    navmon.env["MQTT_PORT"] = str(broker.port)
    sub = clients(broker.port, ["v1/device/gps/location/#", "v1/device/gps/enable/#"])
    navmon.start()
    assert navmon.wait_log("KVT GPS Daemon connected")

    sub.publish("v1/device/gps/enable/apply", '{"value":true,"session":7}')
    ack = sub.wait("v1/device/gps/enable/ack", 8)
    assert ack
    reply = json.loads(ack[1])
    assert reply["rc"] == 200 and reply["session"] == 7
    assert navmon.wait_log("Restarting gpsd!")

    # gpsd's reports are broadcast with their reception time.
    tpv = sub.wait("v1/device/gps/location/tpv/update", 20)
    sky = sub.wait("v1/device/gps/location/sat/update", 20)
    assert tpv and sky
    tpv, sky = json.loads(tpv[1]), json.loads(sky[1])
    assert tpv["class"] == "TPV" and isinstance(tpv["ts"], float)
    assert sky["class"] == "SKY" and isinstance(sky["satellites"], list)

    # The fix becomes valid and the batch carries it.
    assert navmon.wait_db("GPS", "GPS_VALID", 1, 40)
    assert navmon.db("GPS", "GPS_STATUS") == "ACTIVE"
    assert navmon.db("GPS", "GPS_TTFF_UPTIME") is not None
    fix = navmon.db("GPS", "GPS_DATA")
    assert fix["statusCode"] == 0 and fix["lat_dd"] > 40.0
    for key in SENTENCE_KEYS:
        assert valid_nmea(navmon.db("GPS", key)), key
    pv = navmon.db("GPS", "GPS_TAIP_PV")
    assert pv.startswith(">RPV") and pv.endswith("<")
    # Satellites in view and the receiver's dead-reckoning values.
    assert navmon.wait_db("GPS", "GPS_NMEA_GPGSV", lambda v: v and v.startswith("$GPGSV,"), 5)
    assert navmon.db("GPS", "GPS_SQI") is not None
    assert navmon.db("DR", "DR_LAT") is not None

    round_trip(navmon.db("GPS"), os.path.join(os.path.dirname(navmon.root), "round-trip"))

    # Switched off by signal: the loop ends and gpsd is stopped.
    navmon.signal(signal.SIGUSR2)
    assert navmon.wait_log("Parsing loop exited (need_to_quit=0 svc_req=0)", 15)
    assert navmon.wait_db("GPS", "GPS_STATUS", "INACTIVE")
    assert wait_for(lambda: gpsd.pid() == 0, 10)
    assert navmon.db("GPS", "GPS_VALID") is None
    assert navmon.stop() == 255


def single(v):
    return struct.unpack("f", struct.pack("f", v))[0]


def truncated(v):
    """What a ddmm.mmmm field carries of a coordinate: minutes truncated to four decimals."""
    d = math.trunc(abs(v))
    return math.copysign(d + math.trunc((abs(v) - d) * 600000.0) / 600000.0, v)


def round_trip(batch, root):
    """The stored $GPRMC, $GPGGA and $GPGSA of one batch fed back into a real gpsd as if a
    receiver sent them: gpsd must decode the position, speed, course, altitude and time the
    batch was made from."""
    os.makedirs(root)
    recording = os.path.join(root, "stored.nmea")
    with open(recording, "w", newline="") as f:
        f.write("".join(batch[k] for k in ("GPS_NMEA_GPRMC_V3", "GPS_NMEA_GPGGA",
                                           "GPS_NMEA_GPGSA")))
    gpsd = Gpsd(root, recording, rate=5, start=True)
    watch = gpsd.watch()
    try:
        tpv = wait_for(lambda: next((r for r in map(json.loads, watch.lines)
                                     if r["class"] == "TPV" and r.get("mode") == 3), None), 10)
    finally:
        watch.close()
        gpsd.stop()
    assert tpv, open(recording).read()
    assert tpv["time"][:19] == batch["GPS_DATA_RAW"]["iso8601"][:19]
    assert abs(tpv["lat"] - truncated(batch["GPS_LAT"])) < 1e-9
    assert abs(tpv["lon"] - truncated(batch["GPS_LON"])) < 1e-9
    assert abs(tpv["speed"] - batch["GPS_VEL"]) < 0.06  # tenths of a knot, truncated
    assert tpv["track"] == math.trunc(single(batch["GPS_HDG"]))
    assert tpv["altMSL"] == math.trunc(single(batch["GPS_ALT"]))
