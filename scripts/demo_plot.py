#!/usr/bin/env python3
"""The demo's picture of a drive.

  demo_plot.py sample DB CSV    once a second, append what navmon published to CSV, reading the
                                system database read-only as another device service would;
                                runs until stopped
  demo_plot.py render CSV PNG   draw the track (valid fixes and the passes without one), the
                                signal quality index and satellite counts over time, and a sky
                                plot of the last satellites-in-view group

Exit status of render: 0 drawn, 1 nothing to draw or an unreadable CSV, 3 no matplotlib.
"""
import csv
import math
import sqlite3
import sys
import time

FIELDS = ["t", "valid", "lat", "lon", "sqi", "used", "view", "gpgsv"]
KEYS = {"GPS_VALID": "valid", "GPS_LAT": "lat", "GPS_LON": "lon", "GPS_SQI": "sqi",
        "GPS_SATS_INUSE": "used", "GPS_SATS": "view", "GPS_NMEA_GPGSV": "gpgsv"}
WIDTH, HEIGHT, DPI = 960, 600, 80  # pixels of the picture


def read_published(path):
    """The sampled keys of database "GPS" in one read transaction; {} while there is no file."""
    try:
        con = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=1.0)
    except sqlite3.Error:
        return {}
    try:
        marks = ",".join("?" * len(KEYS))
        rows = con.execute("SELECT key, value FROM kv WHERE db = 'GPS' AND key IN (%s)" % marks,
                           list(KEYS))
        return {KEYS[k]: v for k, v in rows}
    except sqlite3.Error:
        return {}
    finally:
        con.close()


def sample(db, out):
    start = time.monotonic()
    with open(out, "w", newline="") as f:
        w = csv.DictWriter(f, FIELDS)
        w.writeheader()
        try:
            while True:
                row = read_published(db)
                row["t"] = "%.1f" % (time.monotonic() - start)
                w.writerow(row)
                f.flush()
                time.sleep(1.0 - (time.monotonic() - start) % 1.0)
        except KeyboardInterrupt:
            pass


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def sky(group):
    """(prn, elevation, azimuth, snr or nan) of each satellite of a $GPGSV group."""
    sats = []
    for line in (group or "").splitlines():
        fields = line.split("*")[0].split(",")
        for i in range(4, len(fields) - 3, 4):
            prn, el, az, snr = fields[i:i + 4]
            el, az = number(el), number(az)
            if prn.strip("0") and not math.isnan(el) and not math.isnan(az):
                sats.append((prn, el, az, number(snr)))
    return sats


def render(csv_path, png_path):
    try:
        with open(csv_path, newline="") as f:
            rows = [r for r in csv.DictReader(f) if r.get("gpgsv") is not None]
    except (OSError, csv.Error) as e:
        sys.exit("demo_plot: cannot read %s: %s" % (csv_path, e))
    t = [number(r["t"]) for r in rows]
    valid = [r["valid"] == "1" for r in rows]
    lat = [number(r["lat"]) for r in rows]
    lon = [number(r["lon"]) for r in rows]
    fixes = [i for i, ok in enumerate(valid) if ok and not math.isnan(lat[i] + lon[i])]
    fixed = set(fixes)
    if not fixes:
        sys.exit("demo_plot: no valid fix in %s: nothing to draw" % csv_path)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        print("demo_plot: matplotlib is missing: apt-get install python3-matplotlib",
              file=sys.stderr)
        sys.exit(3)

    fig = plt.figure(figsize=(WIDTH / DPI, HEIGHT / DPI), dpi=DPI)
    grid = fig.add_gridspec(2, 2, width_ratios=[1.2, 1])

    ax = fig.add_subplot(grid[:, 0])
    # Valid fixes as one line broken wherever a pass had none, so an outage shows as a gap.
    ax.plot([lon[i] if i in fixed else math.nan for i in range(len(rows))],
            [lat[i] if i in fixed else math.nan for i in range(len(rows))],
            "-", color="tab:blue", lw=2, label="valid fix")
    coast = [i for i, ok in enumerate(valid) if not ok and not math.isnan(lat[i] + lon[i])]
    if coast:
        ax.plot([lon[i] for i in coast], [lat[i] for i in coast], "x", color="tab:orange",
                label="no valid fix (last position)")
    ax.plot(lon[fixes[0]], lat[fixes[0]], "^", color="tab:green", ms=11, label="start")
    ax.plot(lon[fixes[-1]], lat[fixes[-1]], "s", color="tab:red", ms=10, label="end")
    # A degree of longitude is cos(latitude) of a degree of latitude: equal distances look equal.
    ax.set_aspect(1.0 / max(math.cos(math.radians(lat[fixes[0]])), 0.01), adjustable="datalim")
    ax.set_xlabel("longitude (deg)")
    ax.set_ylabel("latitude (deg)")
    ax.ticklabel_format(useOffset=False)
    ax.xaxis.set_major_locator(matplotlib.ticker.MaxNLocator(4))
    ax.set_title("Track: %d samples, %d with a valid fix" % (len(rows), len(fixes)))
    ax.legend(loc="best", fontsize="small")
    ax.grid(alpha=0.3)

    tq = fig.add_subplot(grid[0, 1])
    tq.step(t, [number(r["sqi"]) for r in rows], where="post", color="tab:purple", label="GPS_SQI")
    tq.set_ylim(0, 100)
    tq.set_ylabel("signal quality index")
    tq.set_xlabel("seconds")
    ts = tq.twinx()
    ts.step(t, [number(r["used"]) for r in rows], where="post", color="tab:green", label="used (GPS)")
    ts.step(t, [number(r["view"]) for r in rows], where="post", color="tab:gray", label="in view (all)")
    ts.set_ylabel("satellites")
    ts.set_ylim(bottom=0)
    for i, ok in enumerate(valid):
        if not ok and i + 1 < len(t):
            tq.axvspan(t[i], t[i + 1], color="tab:orange", alpha=0.15, lw=0)
    lines = tq.get_lines() + ts.get_lines()
    tq.legend(lines, [line.get_label() for line in lines], loc="lower right", fontsize="small")
    tq.set_title("Signal quality and satellites (shaded: no valid fix)")

    sp = fig.add_subplot(grid[1, 1], projection="polar")
    sp.set_theta_zero_location("N")
    sp.set_theta_direction(-1)
    sp.set_rlim(0, 90)
    sp.set_yticks([0, 30, 60, 90])
    sp.set_yticklabels(["90", "60", "30", "0"], fontsize="x-small")
    # The last group with satellites: in a tunnel the receiver's groups are empty.
    at, sats = next(((r["t"], sky(r["gpgsv"])) for r in reversed(rows) if sky(r["gpgsv"])),
                    ("", []))
    heard = [s for s in sats if not math.isnan(s[3])]
    if heard:
        dots = sp.scatter([math.radians(s[2]) for s in heard], [90 - s[1] for s in heard],
                          s=[20 + 5 * s[3] for s in heard], c=[s[3] for s in heard],
                          cmap="viridis", vmin=0, vmax=50, edgecolors="black", zorder=3)
        fig.colorbar(dots, ax=sp, pad=0.12, shrink=0.8, label="SNR (dB-Hz)")
    silent = [s for s in sats if math.isnan(s[3])]
    if silent:
        sp.scatter([math.radians(s[2]) for s in silent], [90 - s[1] for s in silent], s=30,
                   facecolors="none", edgecolors="gray", zorder=3)
    for prn, el, az, _ in sats:
        sp.annotate(prn, (math.radians(az), 90 - el), fontsize="x-small", xytext=(4, 4),
                    textcoords="offset points")
    sp.set_title("Sky: last GPS_NMEA_GPGSV group with satellites (%d, at %s s)" % (len(sats), at),
                 fontsize="medium")

    fig.tight_layout()
    fig.savefig(png_path, dpi=DPI, pil_kwargs={"optimize": True})
    print(png_path)


def main(argv):
    if len(argv) == 4 and argv[1] == "sample":
        sample(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "render":
        render(argv[2], argv[3])
    else:
        sys.exit(__doc__.strip())


if __name__ == "__main__":
    main(sys.argv)
