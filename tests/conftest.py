"""Fixtures shared by the tests."""

import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

NATIVE = Path(__file__).parent / "native"

# The examples' synthetic detector response serves the tests too.
sys.path.insert(0, str(Path(__file__).parent.parent / "examples"))


@pytest.fixture(scope="session")
def oddbuffer(tmp_path_factory):
    """The test-only exporter of tests/native/oddbuffer.c, compiled for this
    interpreter."""
    out = tmp_path_factory.mktemp("native") / (
        "oddbuffer" + importlib.machinery.EXTENSION_SUFFIXES[0])
    compiler = os.environ.get("CC", "cc")
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-I", sysconfig.get_paths()["include"],
         str(NATIVE / "oddbuffer.c"), "-o", str(out)],
        check=True,
    )
    spec = importlib.util.spec_from_file_location("oddbuffer", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["oddbuffer"] = module
    return module
