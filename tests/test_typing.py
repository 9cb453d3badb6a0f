"""The stubs describe the built modules, and type checkers accept their use."""

import subprocess
import sys
import textwrap

MODULES = ["vantor.utils.numerics.accel.respgrid", "vantor.utils.numerics.accel.rebin"]


def test_stubs_match_the_built_modules():
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_use_checks(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""
        import numpy as np
        from vantor.utils.numerics.accel import rebin, respgrid

        regions: list[float] = respgrid.calculate_regions(661.7, 3000, False)
        indptr, cols, values = respgrid.respgrid_cy(
            np.ones((2, 3)), np.ones(2), np.ones(3), np.ones(1), np.ones(3))
        counts = rebin.rebin_histogram_cy(np.ones(3), np.ones(2), None)
        total: float = float(counts.sum() + values.sum())
        bad = respgrid.calculate_regions("661.7", 3000, 1)
    """))
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", str(script)],
                          capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    # Only the last line is wrong: a str energy and an int flag.
    last = len(script.read_text().rstrip().splitlines())
    assert len(errors) == 2 and all(f":{last}:" in line for line in errors), proc.stdout
