"""The demo's picture: scripts/demo_plot.py render, on samples made here."""

import csv
import os
import struct
import subprocess

import pytest

SCRIPT = os.path.join(os.environ.get("NAVMON_SOURCE_DIR", "../.."), "scripts", "demo_plot.py")
GSV = ("$GPGSV,2,1,05,02,67,112,41,05,43,250,,07,12,045,33,09,55,300,28*70\r\n"
       "$GPGSV,2,2,05,13,30,160,36,00,00,000,,00,00,000,,00,00,000,*4A\r\n")


def render(tmp_path, rows):
    path = tmp_path / "samples.csv"
    if rows is not None:
        with open(path, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["t", "valid", "lat", "lon", "sqi", "used", "view", "gpgsv"])
            w.writerows(rows)
    png = tmp_path / "drive.png"
    run = subprocess.run(["/usr/bin/python3", SCRIPT, "render", str(path), str(png)],
                         capture_output=True, text=True, timeout=60)
    return run, png


def test_a_drive_with_a_gap_is_drawn(tmp_path):
    # Valid fixes, three passes without one (the last position repeated), valid again; the
    # cold start before the first fix has no position; one row cut short by the sampler.
    rows = [[0, "", "", "", 0, 0, 0, ""]]
    rows += [[t, 1 if not 4 <= t < 7 else 0, 48.1 + 1e-4 * min(t, 3), 11.5 + 2e-4 * t, 55, 6, 11,
              GSV if t == 8 else ""] for t in range(1, 10)]
    rows.append([10, 1, 48.2])
    run, png = render(tmp_path, rows)
    assert run.returncode == 0, run.stderr
    head = png.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", head[16:24]) == (960, 600)


@pytest.mark.parametrize("rows, message", [
    ([[0, 0, 48.1, 11.5, 0, 0, 3, GSV], [1, "", "", "", 0, 0, 0, ""]], "no valid fix"),
    (None, "cannot read"),
])
def test_nothing_to_draw_fails_with_a_message(tmp_path, rows, message):
    run, png = render(tmp_path, rows)
    assert run.returncode != 0 and message in run.stderr
    assert not png.exists()
