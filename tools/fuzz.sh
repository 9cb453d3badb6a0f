#!/usr/bin/env bash
# fuzz.sh: a long fuzzing campaign (called by `./dev fuzz [pytest args]`, which
# has already installed the package into $VENV).
#
# Runs tests/test_fuzz.py with ACCEL_FUZZ_EXAMPLES examples per function
# (default 20000; the test suite itself runs 300). Each function's campaign
# runs in its own child interpreter and prints how many calls it made and how
# each was checked. Failing examples are kept in .hypothesis/ and tried first
# the next time.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
: "${VENV:?set by ./dev fuzz}"

export ACCEL_FUZZ_EXAMPLES=${ACCEL_FUZZ_EXAMPLES:-20000}
echo "fuzz: $ACCEL_FUZZ_EXAMPLES examples per function"
exec "$VENV/bin/python" -m pytest -p no:cacheprovider -s tests/test_fuzz.py "$@"
