"""Random arguments for every public function, in a child interpreter: a crash
fails one test instead of ending the run. See fuzz_campaign.py for what each
call is checked against.

ACCEL_FUZZ_EXAMPLES sets the number of examples per function (tools/fuzz.sh
raises it for a long campaign)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

CAMPAIGN = Path(__file__).with_name("fuzz_campaign.py")
EXAMPLES = int(os.environ.get("ACCEL_FUZZ_EXAMPLES", "300"))


@pytest.mark.fuzz
@pytest.mark.parametrize("target", ["rebin", "respgrid", "regions"])
def test_fuzz_campaign(target, oddbuffer, tmp_path):
    last_input = tmp_path / "last-input.txt"
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", str(CAMPAIGN), target,
         "--examples", str(EXAMPLES), "--oddbuffer", oddbuffer.__file__,
         "--last-input", str(last_input)],
        capture_output=True, text=True)
    if proc.returncode != 0:
        last = last_input.read_text() if last_input.exists() else "(none)"
        pytest.fail(f"campaign exited with {proc.returncode}\nlast input: {last}\n"
                    f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}", pytrace=False)
    print(proc.stdout)
    assert proc.stdout.startswith("calls: ")
    # Every example made one call, and some were compared with the reference.
    assert int(proc.stdout.split()[1]) >= EXAMPLES
    assert "equal to the reference" in proc.stdout
