"""The demo's picture: scripts/demo_plot.py render, on samples made here."""

import csv
import os
import struct
import subprocess

import pytest

from conftest import SOURCE_DIR

SCRIPT = os.path.join(SOURCE_DIR, "scripts/demo_plot.py")
GSV = ("$GPGSV,2,1,05,02,67,112,41,05,43,250,,07,12,045,33,09,55,300,28*70\r\n"
       "$GPGSV,2,2,05,13,30,160,36,00,00,000,,00,00,000,,00,00,000,*4A\r\n")
# No position yet; fixes; three passes without (the last position kept); sky groups; a short row.
DRIVE = ([[0, "", "", "", 0, 0, 0, ""]] +
         [[t, int(not 4 <= t < 7), 48.1 + 1e-4 * min(t, 3), 11.5 + 2e-4 * t, 55, 6, 11,
           {8: GSV, 9: "$GPGSV,1,1,00*79\r\n"}.get(t, "")] for t in range(1, 10)] +
         [[10, 1, 48.2]])


@pytest.mark.parametrize("rows, failure", [(DRIVE, None), (None, "cannot read"), (
    [[0, 0, 48.1, 11.5, 0, 0, 3, GSV], [1, "", "", "", 0, 0, 0, ""]], "no valid fix")])
def test_render(tmp_path, rows, failure):
    path, png = tmp_path / "samples.csv", tmp_path / "drive.png"
    if rows is not None:
        with open(path, "w", newline="") as f:
            csv.writer(f).writerows(["t valid lat lon sqi used view gpgsv".split()] + rows)
    run = subprocess.run(["/usr/bin/python3", SCRIPT, "render", str(path), str(png)],
                         capture_output=True, text=True, timeout=60)
    if failure:  # fails cleanly, with a clear message and no picture
        assert run.returncode != 0 and failure in run.stderr and not png.exists()
    else:
        assert run.returncode == 0, run.stderr
        head = png.read_bytes()[:24]  # a PNG of the expected size
        assert head[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", head[16:24]) == (960, 600)
