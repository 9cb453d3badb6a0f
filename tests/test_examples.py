"""The demo and the short examples run and say what they should."""

import ast
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from vantor.utils.numerics.accel import respgrid

EXAMPLES = Path(__file__).parent.parent / "examples"


def run_example(name, *args, cwd):
    """Runs examples/<name> with warnings as errors; returns the process."""
    proc = subprocess.run([sys.executable, "-W", "error", str(EXAMPLES / name), *args],
                          capture_output=True, text=True, cwd=cwd, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


def field(text, pattern):
    match = re.search(pattern, text, re.MULTILINE)
    assert match, f"{pattern!r} not in:\n{text}"
    return match.groups()


def test_demo_writes_its_figure_and_a_sane_summary(tmp_path):
    png = tmp_path / "figures" / "demo.png"
    proc = run_example("demo.py", "--ref-energies", "8", "--ref-channels", "256",
                       "--energies", "70", "--channels", "310", "--coarse-channels", "40",
                       "--chunk-rows", "16", "--workers", "2", "--output", str(png),
                       cwd=tmp_path)
    out = proc.stdout

    header = png.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    width, height = struct.unpack(">II", header[16:24])
    assert width > 1000 and height > 800
    assert field(out, r"^figure: +(\S+)") == (str(png),)

    assert field(out, r"^reference response: (\d+) energies .* x (\d+) channels") == (
        "8", "256")
    assert field(out, r"^requested grid: +(\d+) energies .* x (\d+) channels") == (
        "70", "310")
    stored, percent = field(out, r"(\d+) stored entries \(([\d.]+) % of the matrix\)")
    assert 0 < int(stored) < 70 * 310
    assert float(percent) == pytest.approx(100 * int(stored) / (70 * 310), abs=0.05)
    assert float(field(out, r"^rows sum to 1: +max deviation (\S+)")[0]) < 1e-9
    before, after = field(out, r"^rebinning: .* 310 -> 40 channels, counts (\d+) -> (\d+)")
    assert int(before) == int(after) > 0
    seconds = re.findall(r"(\d+\.\d+) s\b", out)
    assert len(seconds) >= 4 and all(float(s) >= 0 for s in seconds)
    # Five chunks of up to 16 rows: the bar ends complete on stderr.
    assert re.search(r"\] +\d+\.\d s 70/70$", proc.stderr.rstrip()), proc.stderr


def parse_calculate_regions(out):
    rows = [line.split(None, 2) for line in out.splitlines()[1:6]]
    for E_p, escape, boundaries in rows:
        expected = respgrid.calculate_regions(float(E_p), 3000.0, escape == "True")
        assert [float(x) for x in boundaries.split(", ")] == [
            round(x, 1) for x in expected]
    assert [escape for _, escape, _ in rows] == ["False", "False", "True", "True", "True"]
    assert "first item: 0 (int)" in out
    assert "an int switch is refused: Argument 'has_escape_peaks'" in out


def parse_respgrid_cy(out):
    given, inferred = field(out, r"shape given: (\(.*?\)); shape inferred without it: (\(.*?\))")
    given, inferred = ast.literal_eval(given), ast.literal_eval(inferred)
    assert given[0] == inferred[0] and inferred[1] < given[1]
    rows = [line.split() for line in out.splitlines()[2:]]
    energies = [float(r[0]) for r in rows]
    assert [float(r[2]) for r in rows] == pytest.approx([1.0] * len(rows))
    # The photopeak is the largest entry of each row: it moves with the energy.
    assert [float(r[3]) for r in rows] == pytest.approx(energies, abs=2.0)


def parse_rebin_histogram_cy(out):
    lines = out.splitlines()
    assert len(lines) == 3
    before, after = field(lines[0], r"counts (\S+) -> (\S+)")
    assert before == after
    kept, dropped = field(lines[1], r"counts (\S+) -> (\S+)")
    assert 0 < float(dropped) < float(kept) == float(before)
    assert field(lines[2], r"counts (\S+)") == (before,)


def parse_parallel_respgrid(out):
    assert "identical to the single call: True" in out
    assert int(field(out, r"^rows: (\d+)")[0]) == 50


@pytest.mark.parametrize(
    ("script", "args", "check"),
    [
        ("calculate_regions.py", [], parse_calculate_regions),
        ("respgrid_cy.py", [], parse_respgrid_cy),
        ("rebin_histogram_cy.py", [], parse_rebin_histogram_cy),
        ("parallel_respgrid.py", ["--energies", "50", "--channels", "400",
                                  "--chunk-rows", "8", "--workers", "2"],
         parse_parallel_respgrid),
    ],
)
def test_short_examples(tmp_path, script, args, check):
    check(run_example(script, *args, cwd=tmp_path).stdout)

