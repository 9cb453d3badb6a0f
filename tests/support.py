"""Helpers shared by the tests."""

import subprocess
import sys
import textwrap
import traceback

RESPGRID_PATH = "vantor/utils/numerics/accel/respgrid"
REBIN_PATH = "vantor/utils/numerics/accel/rebin"
REGIONS = "vantor.utils.numerics.accel.respgrid.calculate_regions"
RESPGRID_CY = "vantor.utils.numerics.accel.respgrid.respgrid_cy"
INTERPOLATE = "vantor.utils.numerics.accel.respgrid.interpolate_response_row"
REBIN = "vantor.utils.numerics.accel.rebin.rebin_histogram_cy"


def our_frames(exc_info):
    """(function, line) of the traceback entries that the modules added."""
    tb = exc_info.tb if hasattr(exc_info, "tb") else exc_info.__traceback__
    return [
        (frame.name, frame.lineno)
        for frame in traceback.extract_tb(tb)
        if frame.filename.startswith("vantor/utils/numerics/accel/")
    ]


def our_entries(exc_info):
    """(file, function, line) of the entries that the modules added."""
    tb = exc_info.tb if hasattr(exc_info, "tb") else exc_info.__traceback__
    return [
        (frame.filename, frame.name, frame.lineno)
        for frame in traceback.extract_tb(tb)
        if frame.filename.startswith("vantor/utils/numerics/accel/")
    ]


def run_python(code, *args, check=True):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\n"
            f"stderr:\n{proc.stderr}"
        )
    return proc

