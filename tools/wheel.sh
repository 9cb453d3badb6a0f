#!/usr/bin/env bash
# wheel.sh: build a wheel into dist/ and run the test suite against it
# (called by `./dev wheel [pytest args]`, which has already installed the
# build requirements into $VENV).
#
# The wheel is built without build isolation, by the build backend already in
# $VENV, so a rebuild reuses the CMake build directory. It is then installed
# with its `test` extra into a fresh virtual environment, and the tests and
# examples run from a copy outside the source tree: nothing can import the
# package from the checkout, only from the installed wheel.
#
# ACCEL_BUILD_DIR    scikit-build-core build directory (default: its own)
# ACCEL_WHEEL_VENV   the fresh environment (default: a temporary directory)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
: "${VENV:?set by ./dev wheel}"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/accel-wheel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
WHEEL_VENV=${ACCEL_WHEEL_VENV:-$WORK/venv}

# 1. The wheel. A sanitizer build may have shared the build directory: the
#    option is reset explicitly, so the wheel is always the optimised build.
mkdir -p dist
rm -f dist/vantor_accel-*.whl
"$VENV/bin/python" -m pip wheel . -w dist/ --no-deps --no-build-isolation \
    --quiet --disable-pip-version-check \
    --config-settings=cmake.define.ACCEL_SANITIZE=OFF \
    ${ACCEL_BUILD_DIR:+--config-settings=build-dir="$ACCEL_BUILD_DIR"}
wheels=(dist/vantor_accel-*.whl)
if [ "${#wheels[@]}" -ne 1 ] || [ ! -f "${wheels[0]}" ]; then
    echo "wheel: expected one wheel in dist/, found: ${wheels[*]}" >&2
    exit 1
fi
wheel=$ROOT/${wheels[0]}
echo "wheel: built ${wheels[0]}"

# 2. A fresh environment with the wheel and the test dependencies it declares.
base_python=$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)')
if [ -e "$WHEEL_VENV" ] && [ ! -f "$WHEEL_VENV/pyvenv.cfg" ]; then
    echo "wheel: $WHEEL_VENV exists and is not a virtual environment" >&2
    exit 1
fi
rm -rf "$WHEEL_VENV"
"$base_python" -m venv "$WHEEL_VENV"
"$WHEEL_VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
    "$wheel[test]"

# 3. The tests, from a copy that has no package source next to it.
STAGE=$WORK/stage
mkdir -p "$STAGE"
cp -r tests examples pyproject.toml "$STAGE/"
find "$STAGE" -name __pycache__ -prune -exec rm -rf {} +
cd "$STAGE"
"$WHEEL_VENV/bin/python" - "$WHEEL_VENV" <<'EOF'
import sys
from pathlib import Path

from vantor.utils.numerics.accel import rebin, respgrid

venv = Path(sys.argv[1]).resolve()
for module in (respgrid, rebin):
    where = Path(module.__file__).resolve()
    if venv not in where.parents:
        sys.exit(f"wheel: {module.__name__} imported from {where}, not from {venv}")
print(f"wheel: testing {Path(respgrid.__file__).parent}")
EOF
"$WHEEL_VENV/bin/python" -m pytest -p no:cacheprovider "$@"
