#!/usr/bin/env bash
# sanitize.sh: the test suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (called by `./dev sanitize [pytest args]`, which
# has already installed the ACCEL_SANITIZE=ON build, unstripped, into $VENV).
#
# The interpreter itself is not instrumented, so the sanitizer runtimes that
# g++ links against are preloaded into it and into every interpreter the tests
# start. PYTHONMALLOC=malloc routes Python's allocations through the
# intercepted malloc, so that the kernels' reads and writes past an array end
# are seen. Leak detection stays off: the interpreter keeps much of what it
# allocates until exit. Every report ends the process that made it (pytest
# itself, or a child interpreter whose exit status its test checks). ASan's
# reports also go to files under $REPORTS, so that one from a child whose
# status nobody looks at still fails the run; UBSan writes to standard error
# only (it ignores log_path next to ASan), which pytest passes through here
# (--capture=sys) instead of swallowing it with the aborted process.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
: "${VENV:?set by ./dev sanitize}"
CXX=${CXX:-g++}

runtime() {
    local path
    path=$("$CXX" -print-file-name="$1")
    if [ "$path" = "$1" ] || [ ! -e "$path" ]; then
        echo "sanitize: $CXX has no $1" >&2
        return 1
    fi
    realpath "$path"
}
libasan=$(runtime libasan.so)
libubsan=$(runtime libubsan.so)

# The modules must really be instrumented: a build that lost its flags would
# pass every test without checking anything.
for so in "$VENV"/lib/python3.12/site-packages/vantor/utils/numerics/accel/*.so; do
    if ! grep -q __asan_report "$so" || ! grep -q __ubsan_handle "$so"; then
        echo "sanitize: $so is not instrumented" >&2
        exit 1
    fi
done

REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/accel-sanitize.XXXXXX")
export LD_PRELOAD="$libasan $libubsan${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:\
halt_on_error=1:detect_stack_use_after_return=1:\
check_initialization_order=1:log_path=$REPORTS/asan:log_exe_name=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
# Tests that measure the process (its resident set) know ASan's quarantine.
export ACCEL_SANITIZED=1

status=0
"$VENV/bin/python" -m pytest -p no:cacheprovider --capture=sys "$@" || status=$?

if compgen -G "$REPORTS/*" >/dev/null; then
    echo "sanitize: sanitizer reports (kept in $REPORTS):" >&2
    for report in "$REPORTS"/*; do
        echo "==== $report" >&2
        cat "$report" >&2
    done
    exit 1
fi
rmdir "$REPORTS"
if [ "$status" -ne 0 ]; then
    echo "sanitize: the test run failed with status $status" >&2
fi
exit "$status"
