#!/usr/bin/env python3
"""Generates the NMEA recordings in testdata/ (deterministic: same output on every run).

Each epoch is one second of receiver output, starting with $GPRMC: RMC, GGA, GSA, the GSV
groups and the receiver's proprietary $PSTM status and dead-reckoning sentences.

  drive_short.nmea  ~2 minutes: cold start, a 2D stretch, 3D driving, a short stop.
  drive_long.nmea   12 minutes: cold start, town, motorway, a one-minute tunnel, headings
                    through north, GPS + GLONASS + Galileo sky, and a few bursts of garbage,
                    binary noise and truncated sentences.

Receivers other than the device's own (no $PSTM unless said):
  handheld_2d.nmea      ~1.5 minutes of a walker whose handheld only ever has a 2D fix: RMC,
                        GGA without altitude, GSA mode 2.
  lagging_gga.nmea      2 minutes of a chartplotter feed whose GGA is that of the epoch before
                        (it follows the next RMC).
  multi_gnss_410.nmea   ~1.5 minutes of an NMEA 4.10 module: $GN RMC/GGA, a GSA per system,
                        $GP/$GL/$GA/$GB GSV groups ending in a signal ID.
  dual_freq_411.nmea    ~1.5 minutes of an NMEA 4.11 dual-frequency module with $PSTM output:
                        per epoch a GPS L1 C/A group, then an L5 group of the two satellites
                        that send L5, likewise Galileo E1 then E5a.
  fast_10hz.nmea        1 minute of a 10 Hz module: RMC, GGA and GSA every tenth of a second
                        (times with fractions), the GSV group once a second.

Usage: scripts/make_recordings.py [OUTPUT_DIR]   (default: testdata/ next to this script)
"""

import datetime
import math
import os
import random
import sys

KNOTS_PER_KMH = 1 / 1.852
EARTH_M_PER_DEG = 111320.0


def checksum(body):
    c = 0
    for ch in body.encode("ascii"):
        c ^= ch
    return c


def sentence(body):
    return "$%s*%02X" % (body, checksum(body))


def nmea_lat(lat):
    hemi = "N" if lat >= 0 else "S"
    lat = abs(lat)
    deg = int(lat)
    return "%02d%08.5f" % (deg, (lat - deg) * 60), hemi


def nmea_lon(lon):
    hemi = "E" if lon >= 0 else "W"
    lon = abs(lon)
    deg = int(lon)
    return "%03d%08.5f" % (deg, (lon - deg) * 60), hemi


class Sat:
    def __init__(self, prn, el, az, snr):
        self.prn, self.el, self.az, self.snr = prn, el, az, snr


def gsv_group(talker, sats, signal_id=None):
    """One satellites-in-view group, four satellites per sentence; since NMEA 4.10 each
    sentence ends with the signal ID of the group."""
    tail = [] if signal_id is None else ["%X" % signal_id]
    if not sats:
        return [sentence(",".join(["%sGSV,1,1,00" % talker] + tail))]
    total = (len(sats) + 3) // 4
    out = []
    for n in range(total):
        fields = ["%sGSV" % talker, str(total), str(n + 1), "%02d" % len(sats)]
        for s in sats[n * 4:(n + 1) * 4]:
            snr = "" if s.snr is None else "%02d" % s.snr
            fields += ["%02d" % s.prn, "%02d" % s.el, "%03d" % s.az, snr]
        out.append(sentence(",".join(fields + tail)))
    return out


def gsa(talker, fix_type, prns, pdop, hdop, vdop, system_id=None):
    slots = ["%02d" % p for p in prns[:12]] + [""] * (12 - min(len(prns), 12))
    fields = ["%sGSA" % talker, "A", str(fix_type)] + slots
    fields += ["%.2f" % pdop, "%.2f" % hdop, "%.2f" % vdop]
    if system_id is not None:
        fields.append(str(system_id))
    return sentence(",".join(fields))


class Drive:
    """Vehicle state and the receiver's output for one epoch at a time."""

    def __init__(self, start, lat, lon, alt, seed, multi_gnss, proprietary=True):
        self.proprietary = proprietary
        self.t = start
        self.lat, self.lon, self.alt = lat, lon, alt
        self.speed_kmh = 0.0
        self.heading = 0.0
        self.rng = random.Random(seed)
        self.multi_gnss = multi_gnss
        self.cputime = 1000000
        self.gps_sats = [Sat(p, e, a, 0) for p, e, a in [
            (2, 67, 112), (5, 43, 250), (7, 12, 45), (9, 55, 300), (13, 30, 160),
            (15, 22, 80), (18, 71, 20), (20, 8, 200), (25, 35, 330), (29, 48, 135)]]
        self.glo_sats = [Sat(p, e, a, 0) for p, e, a in [
            (65, 40, 60), (66, 62, 140), (72, 25, 220), (73, 15, 300), (81, 50, 10),
            (82, 33, 280)]]
        self.gal_sats = [Sat(p, e, a, 0) for p, e, a in [
            (3, 45, 95), (8, 28, 175), (13, 60, 255), (26, 19, 35), (31, 52, 320)]]

    def sky(self, sats, state):
        for s in sats:
            if state == "nofix":
                s.snr = None if self.rng.random() < 0.5 else self.rng.randint(12, 24)
            else:
                base = 20 + s.el // 3
                s.snr = max(10, min(50, base + self.rng.randint(-3, 3)))
        if state == "tunnel":
            return []
        return sats

    def advance(self, dt=1.0):
        v = self.speed_kmh / 3.6
        h = math.radians(self.heading)
        self.lat += v * math.cos(h) * dt / EARTH_M_PER_DEG
        self.lon += v * math.sin(h) * dt / (EARTH_M_PER_DEG * math.cos(math.radians(self.lat)))
        self.alt += self.rng.uniform(-0.3, 0.3)
        self.t += datetime.timedelta(seconds=dt)
        self.cputime += 1000

    def epoch(self, state):
        """state: nofix, fix2d, fix3d or tunnel. Returns the epoch's lines."""
        hms = self.t.strftime("%H%M%S") + ".00"
        dmy = self.t.strftime("%d%m%y")
        la, ns = nmea_lat(self.lat)
        lo, ew = nmea_lon(self.lon)
        fix = state in ("fix2d", "fix3d")
        lines = []
        spd_kn = self.speed_kmh * KNOTS_PER_KMH
        if fix:
            lines.append(sentence("GPRMC,%s,A,%s,%s,%s,%s,%.2f,%.2f,%s,,,A" %
                                  (hms, la, ns, lo, ew, spd_kn, self.heading, dmy)))
        else:
            lines.append(sentence("GPRMC,%s,V,,,,,,,%s,,,N" % (hms, dmy)))

        gps = self.sky(self.gps_sats, state)
        glo = self.sky(self.glo_sats, state) if self.multi_gnss else []
        gal = self.sky(self.gal_sats, state) if self.multi_gnss else []
        used_gps = [s.prn for s in gps if fix and s.snr and s.snr >= 25][:12]
        used_glo = [s.prn for s in glo if fix and s.snr and s.snr >= 25][:12]
        used_gal = [s.prn for s in gal if fix and s.snr and s.snr >= 25][:12]
        nused = len(used_gps) + len(used_glo) + len(used_gal)
        hdop = 0.8 + 6.0 / max(nused, 1) if fix else 99.99
        vdop = hdop * 1.4 if fix else 99.99
        pdop = math.hypot(hdop, vdop) if fix else 99.99

        if state == "fix3d":
            lines.append(sentence("GPGGA,%s,%s,%s,%s,%s,1,%02d,%.2f,%.1f,M,47.0,M,," %
                                  (hms, la, ns, lo, ew, nused, hdop, self.alt)))
        elif state == "fix2d":
            # No altitude in a 2D fix.
            lines.append(sentence("GPGGA,%s,%s,%s,%s,%s,1,%02d,%.2f,,M,,M,," %
                                  (hms, la, ns, lo, ew, nused, hdop)))
        else:
            lines.append(sentence("GPGGA,%s,,,,,0,00,99.99,,,,,," % hms))

        fix_type = {"fix3d": 3, "fix2d": 2}.get(state, 1)
        if self.multi_gnss:
            lines.append(gsa("GN", fix_type, used_gps, pdop, hdop, vdop, 1))
            lines.append(gsa("GN", fix_type, used_glo, pdop, hdop, vdop, 2))
            lines.append(gsa("GN", fix_type, used_gal, pdop, hdop, vdop, 3))
        else:
            lines.append(gsa("GP", fix_type, used_gps, pdop, hdop, vdop))
        lines += gsv_group("GP", gps)
        if self.multi_gnss:
            lines += gsv_group("GL", glo)
            lines += gsv_group("GA", gal)
        if self.proprietary:
            lines += self.pstm(state, pdop, hdop, vdop)
        return lines

    def pstm(self, state, pdop, hdop, vdop):
        r = self.rng
        v = self.speed_kmh / 3.6
        h = math.radians(self.heading)
        vn, ve = v * math.cos(h), v * math.sin(h)
        sec = self.t.second
        out = []
        if sec % 10 == 0:
            out.append(sentence("PSTMANTENNASTATUS,0,0,0,1"))
            out.append(sentence("PSTMAGPSSTATUS,%d" % (0 if state == "nofix" else 1)))
            out.append(sentence("PSTMDRSTYPE,2,1,0"))
        calibrated = 0 if state == "nofix" else 1
        if sec % 5 == 0:
            out.append(sentence("PSTMDRCAL,%d,%d,%d,%d,%X,1,1,%s" %
                                (calibrated, calibrated, calibrated, 1, 0x1F if calibrated else 0x03,
                                 "C" if calibrated else "N")))
        out.append(sentence("PSTMDRPVA,%.1f,%d,%.6f,%.6f,%.1f,%.2f,%.2f,%.2f,%.1f,%.1f,%.1f" %
                            (self.t.hour * 3600 + self.t.minute * 60 + sec, self.cputime,
                             self.lat, self.lon, self.alt, vn, ve, r.uniform(-0.1, 0.1),
                             r.uniform(-2, 2), r.uniform(-1, 1), self.heading)))
        out.append(sentence("PSTMDRSENMSG,14,%d,%.2f" % (self.cputime, v)))
        out.append(sentence("PSTMDRSENMSG,15,%d,%d" % (self.cputime, r.randint(0, 255))))
        std = 2.0 if state != "tunnel" else 6.0 + r.uniform(0, 3)
        out.append(sentence("PSTMDRCONFID,%.1f,%.1f,%.2f,0.0,%.3f,%.3f,0.0,%.2f,%.1f,%.1f,%.1f,%.0f,%.2f" %
                            (std, std * 1.1, 0.5, 0.01, 0.002, 0.05, std * 1.5, std * 1.3,
                             std * 0.8, self.heading, 0.1)))
        if state in ("fix2d", "fix3d"):
            out.append(sentence("PSTMDRGPS,%.6f,%.6f,%.2f,%.2f,%.1f,%.1f,%.1f,%.1f,%.1f,%.2f,%.1f" %
                                (self.lat, self.lon, vn, ve, pdop, hdop, vdop, r.uniform(0.5, 2),
                                 r.uniform(0.1, 0.5), r.uniform(-0.1, 0.1), self.alt)))
        out.append(sentence("PSTMDRAHRS,%.2f,%.2f,%.1f,%.2f,%.2f" %
                            (r.uniform(-1, 1), r.uniform(-1, 1), self.heading, r.uniform(-2, 2),
                             r.uniform(0, 0.2))))
        out.append(sentence("PSTMDRDEBUG,%.2f,%.2f,%.2f,%.2f,%.2f,%.2f" %
                            (r.uniform(0, 3), r.uniform(0, 3), r.uniform(0, 1), r.uniform(0, 0.5),
                             r.uniform(0, 2), r.uniform(0, 0.2))))
        if sec % 30 == 0:
            out.append(sentence("PSTMDRUPD,%d,%d" % (self.cputime, calibrated)))
        return out

GPS, GLONASS, GALILEO, BEIDOU = 1, 2, 3, 4  # the system IDs of GSA since NMEA 4.10
GSV_TALKER = {GPS: "GP", GLONASS: "GL", GALILEO: "GA", BEIDOU: "GB"}


class ModernReceiver(Drive):
    """An NMEA 4.10/4.11 multi-constellation module with a 3D fix: $GN position sentences,
    a GSA per system with its system ID, and one GSV group per system and signal, each
    sentence ending with the signal ID."""

    def __init__(self, start, lat, lon, alt, seed, signals, proprietary):
        """signals: (system, signal ID, PRNs or None for all) per GSV group, in output order;
        the first group of a system is its primary signal."""
        Drive.__init__(self, start, lat, lon, alt, seed, True, proprietary)
        skies = {GPS: self.gps_sats, GLONASS: self.glo_sats, GALILEO: self.gal_sats,
                 BEIDOU: [Sat(p, e, a, 0) for p, e, a in [
                     (6, 58, 120), (14, 37, 210), (24, 22, 310), (33, 64, 30)]]}
        self.signals = [(system, signal_id, [Sat(s.prn, s.el, s.az, 0) for s in skies[system]
                                             if prns is None or s.prn in prns])
                        for system, signal_id, prns in signals]

    def epoch(self, state="fix3d"):
        hms = self.t.strftime("%H%M%S") + ".00"
        la, ns = nmea_lat(self.lat)
        lo, ew = nmea_lon(self.lon)
        lines = [sentence("GNRMC,%s,A,%s,%s,%s,%s,%.2f,%.2f,%s,,,A,V" %
                          (hms, la, ns, lo, ew, self.speed_kmh * KNOTS_PER_KMH, self.heading,
                           self.t.strftime("%d%m%y")))]
        used = {}
        for system, _, sats in self.signals:
            self.sky(sats, state)
            used.setdefault(system, [s.prn for s in sats if s.snr >= 25][:12])
        nused = sum(len(u) for u in used.values())
        hdop = 0.6 + 4.0 / max(nused, 1)
        vdop = hdop * 1.4
        pdop = math.hypot(hdop, vdop)
        lines.append(sentence("GNGGA,%s,%s,%s,%s,%s,1,%02d,%.2f,%.1f,M,47.0,M,," %
                              (hms, la, ns, lo, ew, min(nused, 99), hdop, self.alt)))
        for system, prns in used.items():
            lines.append(gsa("GN", 3, prns, pdop, hdop, vdop, system))
        for system, signal_id, sats in self.signals:
            lines += gsv_group(GSV_TALKER[system], sats, signal_id)
        if self.proprietary:
            lines += self.pstm(state, pdop, hdop, vdop)
        return lines


def lerp(a, b, f):
    return a + (b - a) * f


def write(path, header, epochs):
    data = bytearray()
    for h in header:
        data += ("# " + h + "\r\n").encode("ascii")
    for lines in epochs:
        for line in lines:
            data += (line.encode("latin-1") if isinstance(line, str) else line) + b"\r\n"
    with open(path, "wb") as f:
        f.write(data)
    print("%s: %d epochs, %d bytes" % (path, len(epochs), len(data)))


def drive_short():
    d = Drive(datetime.datetime(2026, 3, 14, 8, 0, 0), 48.137154, 11.576124, 519.0, 1, False)
    epochs = []
    for i in range(120):
        if i < 10:
            state, d.speed_kmh, d.heading = "nofix", 0.0, 0.0
        elif i < 25:
            state, d.speed_kmh, d.heading = "fix2d", lerp(0, 20, (i - 10) / 15), 45.0
        elif i < 110:
            state = "fix3d"
            d.speed_kmh = min(60.0, 20 + (i - 25) * 1.5)
            d.heading = (45.0 + (i - 25) * 1.2) % 360
        else:
            state, d.speed_kmh = "fix3d", 0.0
        epochs.append(d.epoch(state))
        d.advance()
    write(os.path.join(OUT, "drive_short.nmea"),
          ["drive_short: 10 s cold start, 15 s 2D, 85 s 3D driving, 10 s stopped",
           "generated by scripts/make_recordings.py"], epochs)


def noise(rng, kind):
    if kind == "text":
        return "GARBAGE from a confused receiver: %d" % rng.randint(0, 99999)
    if kind == "binary":
        # Arbitrary bytes, NUL and high bytes included; never a line break.
        return bytes(b for b in (rng.randint(0, 255) for _ in range(rng.randint(20, 60)))
                     if b not in (0x0A, 0x0D))
    if kind == "cut":
        # A sentence cut off by the next one on the same line.
        return "$GPGGA,1234" + sentence("GPTXT,01,01,02,ANTENNA OK")
    if kind == "badsum":
        return "$GPGSV,3,1,11,02,67,112,40,05,43,250,38*00"
    if kind == "truncated_gsv":
        return "$GPGSV,3,2,1"
    if kind == "truncated_pstm":
        return "$PSTMDRPVA,28800.0,12345,48.1"
    raise ValueError(kind)


def drive_long():
    d = Drive(datetime.datetime(2025, 9, 21, 16, 30, 0), 48.091300, 11.520400, 545.0, 7, True)
    rng = random.Random(99)
    garbage_at = {100: ["text", "binary", "cut"], 250: ["badsum", "truncated_gsv", "binary"],
                  330: ["truncated_pstm", "text"], 600: ["binary", "cut", "truncated_gsv"]}
    epochs = []
    for i in range(720):
        if i < 30:
            state, d.speed_kmh, d.heading = "nofix", 0.0, 0.0
        elif i < 60:
            state, d.speed_kmh, d.heading = "fix3d", 0.0, 340.0
        elif i < 180:
            # Town: up to 50 km/h, turning from 340 through north to 20.
            state = "fix3d"
            d.speed_kmh = min(50.0, (i - 60) * 1.0)
            d.heading = lerp(340.0, 380.0, (i - 60) / 120) % 360
        elif i < 300:
            state = "fix3d"
            d.speed_kmh = min(130.0, 50 + (i - 180) * 1.2)
            d.heading = 20.0 - (i - 180) * 0.05
        elif i < 360:
            state = "tunnel"  # fix lost for a minute; dead reckoning goes on
            d.speed_kmh = 125.0
        elif i < 540:
            state = "fix3d"
            d.speed_kmh = 130.0 - (1 if i % 7 == 0 else 0)
            d.heading = lerp(14.0, -8.0, (i - 360) / 180) % 360
        elif i < 660:
            state = "fix3d"
            d.speed_kmh = max(0.0, 130.0 - (i - 540) * 1.3)
            d.heading = (352.0 + (i - 540) * 0.5) % 360
        else:
            state, d.speed_kmh = "fix3d", 0.0
        lines = d.epoch(state)
        if i in garbage_at:
            bad = [noise(rng, k) for k in garbage_at[i]]
            lines = lines[:2] + bad + lines[2:]
        epochs.append(lines)
        d.advance()
    write(os.path.join(OUT, "drive_long.nmea"),
          ["drive_long: 30 s cold start, town, motorway to 130 km/h, 60 s tunnel at epoch 300,",
           "headings through north, GPS+GLONASS+Galileo, garbage at epochs 100, 250, 330, 600",
           "generated by scripts/make_recordings.py"], epochs)


def handheld_2d():
    d = Drive(datetime.datetime(2026, 5, 2, 10, 15, 0), 47.376887, 8.541694, 408.0, 11, False,
              proprietary=False)
    epochs = []
    for i in range(90):
        state = "nofix" if i < 5 else "fix2d"
        d.speed_kmh = 0.0 if i < 5 else 4.8
        d.heading = (110.0 + i * 0.7) % 360
        epochs.append(d.epoch(state))
        d.advance()
    write(os.path.join(OUT, "handheld_2d.nmea"),
          ["handheld_2d: 5 s without a fix, then a walk with a 2D fix only (no altitude)",
           "generated by scripts/make_recordings.py"], epochs)


def lagging_gga():
    d = Drive(datetime.datetime(2026, 6, 20, 14, 0, 0), 54.323293, 10.139555, 0.0, 13, False,
              proprietary=False)
    epochs = []
    for i in range(120):
        state = "nofix" if i < 5 else "fix3d"
        d.speed_kmh = 0.0 if i < 5 else min(22.0, (i - 5) * 0.5)
        d.heading = lerp(20.0, 75.0, i / 120)
        epochs.append(d.epoch(state))
        d.advance()
    # Each epoch's GGA goes out after the next epoch's RMC.
    ggas = [lines.pop(1) for lines in epochs]
    for lines, gga in zip(epochs[1:], ggas):
        lines.insert(1, gga)
    write(os.path.join(OUT, "lagging_gga.nmea"),
          ["lagging_gga: 5 s without a fix, then 3D fixes; each GGA one epoch late",
           "generated by scripts/make_recordings.py"], epochs)


def multi_gnss_410():
    d = ModernReceiver(datetime.datetime(2026, 7, 8, 6, 45, 0), 52.520008, 13.404954, 34.0, 17,
                       [(GPS, 1, None), (GLONASS, 1, None), (GALILEO, 7, None),
                        (BEIDOU, 1, None)], proprietary=False)
    epochs = []
    for i in range(90):
        d.speed_kmh = min(40.0, i * 1.0)
        d.heading = (300.0 + i * 0.8) % 360
        epochs.append(d.epoch())
        d.advance()
    write(os.path.join(OUT, "multi_gnss_410.nmea"),
          ["multi_gnss_410: NMEA 4.10, GPS+GLONASS+Galileo+BeiDou, 3D fix, GSV with signal IDs",
           "generated by scripts/make_recordings.py"], epochs)


def dual_freq_411():
    # GPS L1 C/A (1) then L5-Q (8) of the two L5 satellites; Galileo E1 (7) then E5a (1).
    d = ModernReceiver(datetime.datetime(2026, 8, 30, 18, 20, 0), 45.464203, 9.189982, 122.0, 19,
                       [(GPS, 1, None), (GPS, 8, (5, 25)), (GALILEO, 7, None),
                        (GALILEO, 1, None)], proprietary=True)
    epochs = []
    for i in range(90):
        d.speed_kmh = min(70.0, i * 2.0)
        d.heading = (180.0 - i * 0.5) % 360
        epochs.append(d.epoch())
        d.advance()
    write(os.path.join(OUT, "dual_freq_411.nmea"),
          ["dual_freq_411: NMEA 4.11 dual frequency with $PSTM, 3D fix, L1 then L5 GSV groups",
           "generated by scripts/make_recordings.py"], epochs)


class FastReceiver(Drive):
    """A 10 Hz module: a position epoch every tenth of a second, the sky once a second."""

    def epoch(self, state="fix3d"):
        lines = Drive.epoch(self, state)
        tenth = self.t.microsecond // 100000
        stamp = self.t.strftime("%H%M%S")
        # The epoch's time with its fraction, and the GSV group only at the full second.
        lines = [sentence(line[1:line.rindex("*")].replace(stamp + ".00", "%s.%d0" % (stamp, tenth)))
                 for line in lines if tenth == 0 or "GSV" not in line]
        return lines


def fast_10hz():
    d = FastReceiver(datetime.datetime(2026, 9, 12, 7, 30, 0), 51.507351, -0.127758, 11.0, 23,
                     False, proprietary=False)
    epochs = []
    for i in range(600):
        d.speed_kmh = min(50.0, i * 0.2)
        d.heading = (90.0 + i * 0.05) % 360
        epochs.append(d.epoch())
        d.advance(0.1)
    write(os.path.join(OUT, "fast_10hz.nmea"),
          ["fast_10hz: a 10 Hz module, 3D fix, GSV once a second",
           "generated by scripts/make_recordings.py"], epochs)


if __name__ == "__main__":
    OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "testdata")
    drive_short()
    drive_long()
    handheld_2d()
    lagging_gga()
    multi_gnss_410()
    dual_freq_411()
    fast_10hz()
