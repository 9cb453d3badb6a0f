"""No call leaks: each function is called about 10^5 times, on success and on
every kind of failure, and the interpreter's allocated blocks, the memory that
tracemalloc traces, the process's resident set and the reference counts of the
arguments all stay where they were."""

import array
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from synthetic_response import synthetic_response
from vantor.utils.numerics.accel import rebin, respgrid

CALLS = 100_000
WARM_UP_ROUNDS = 20

# Per 10^5 calls. A leaked object per call would be 10^5 blocks and several
# MiB; what remains is the interpreter's own caching and allocator slack.
MAX_BLOCKS = 100
MAX_TRACED = 16 * 1024
MAX_RSS = 1024 * 1024


def resident_bytes():
    """The process's resident set, or None where /proc is not there or where
    AddressSanitizer keeps freed memory in quarantine."""
    if os.environ.get("ACCEL_SANITIZED"):
        return None
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


class RaisingNumPy:
    """Stands in for `np`: the attributes in `refused` raise, the others are
    NumPy's."""

    def __init__(self, *refused):
        self.refused = set(refused)

    def __getattr__(self, name):
        if not self.refused or name in self.refused:
            raise RuntimeError(f"np.{name} refused")
        return getattr(np, name)


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


def with_np(module, replacement, call):
    def run():
        module.np = replacement
        try:
            call()
        finally:
            module.np = np
    return run


def with_errstate(call, **state):
    def run():
        with np.errstate(**state):
            call()
    return run


def a(*values):
    return np.array(values, dtype=float)


def regions_cases():
    f = respgrid.calculate_regions
    big = 10 ** 400
    bad = BadFloat()
    held = [bad]
    return held, [
        (lambda: f(661.7, 3000.0, True), None),
        (lambda: f(E_p=661.7, max_value=3000.0, has_escape_peaks=False), None),
        (lambda: f(661.7, 3000.0), TypeError),                          # binding
        (lambda: f(661.7, 3000.0, True, E_p=1.0), TypeError),
        (lambda: f(661.7, 3000.0, bogus=True), TypeError),
        (lambda: f("661.7", 3000.0, True), TypeError),                  # conversion
        (lambda: f(661.7, big, True), OverflowError),
        (lambda: f(bad, 3000.0, True), ArithmeticError),
        (lambda: f(661.7, 3000.0, 1), TypeError),                       # flag type
    ]


def rebin_cases():
    f = rebin.rebin_histogram_cy
    edges, counts, new_edges = a(0, 1, 2, 3), a(1, 2, 3), a(0, 1.5, 3)
    strided = np.repeat(edges, 2)[::2]
    as_array = array.array("d", [0.0, 1.0, 2.0, 3.0])
    floats32 = np.zeros(4, np.float32)
    frozen = edges.copy()
    frozen.flags.writeable = False
    flat = np.zeros((4, 1))
    short = edges[:2]
    held = [edges, counts, new_edges, strided, as_array, floats32, frozen, flat, short]
    return held, [
        (lambda: f(edges, counts, new_edges), None),
        (lambda: f(strided, counts, as_array), None),
        (lambda: f(None, None, new_edges), None),
        (lambda: f(edges, counts), TypeError),                          # binding
        (lambda: f(edges, counts, new_edges, energy_axis=edges), TypeError),
        (lambda: f(floats32, counts, new_edges), ValueError),           # acceptance
        (lambda: f(edges, [1.0, 2.0], new_edges), TypeError),
        (lambda: f(edges, counts, frozen), ValueError),
        (lambda: f(edges, flat, new_edges), ValueError),
        (lambda: f(short, counts, new_edges), IndexError),              # kernel
        (lambda: f(edges, counts, None), ValueError),
        (with_np(rebin, RaisingNumPy(), lambda: f(edges, counts, new_edges)), RuntimeError),
        (with_np(rebin, RaisingNumPy("asarray"), lambda: f(edges, counts, new_edges)),
         RuntimeError),
    ]


def respgrid_cases():
    f = respgrid.respgrid_cy
    ref_indices = a(100, 300, 661.7, 1000)
    ref_E_axis = np.linspace(1.0, 1500.0, 16)
    matrix = synthetic_response(ref_indices, ref_E_axis)
    requested = a(500)
    axis = np.linspace(2.0, 1500.0, 16)
    unbracketed = a(500, 50)
    narrow = matrix[:, :-1]
    frozen_axis = axis.copy()
    frozen_axis.flags.writeable = False
    floats32 = axis.astype(np.float32)
    zero_rows = matrix.copy()
    zero_rows[1:3] = 0.0
    held = [ref_indices, ref_E_axis, matrix, requested, axis, unbracketed, narrow,
            frozen_axis, floats32, zero_rows]
    call = (lambda: f(matrix, ref_indices, ref_E_axis, requested, axis))
    return held, [
        (call, None),
        (lambda: f(matrix, ref_indices, ref_E_axis, a(), axis), None),
        (lambda: f(matrix, ref_indices, ref_E_axis, requested), TypeError),     # binding
        (lambda: f(matrix, ref_indices, ref_E_axis, requested, axis, bogus=1), TypeError),
        (lambda: f(matrix, list(ref_indices), ref_E_axis, requested, axis), TypeError),
        (lambda: f(matrix, ref_indices, None, requested, axis), TypeError),
        (lambda: f(matrix, ref_indices, ref_E_axis, requested, floats32), ValueError),
        (lambda: f(ref_E_axis, ref_indices, ref_E_axis, requested, axis), ValueError),
        (lambda: f(matrix, ref_indices, ref_E_axis, unbracketed, axis), ValueError),
        (lambda: f(narrow, ref_indices, ref_E_axis, requested, axis), ValueError),
        # Refused once the reference rows are made: their arrays go too.
        (lambda: f(matrix, ref_indices, ref_E_axis, requested, frozen_axis), ValueError),
        (with_errstate(lambda: f(zero_rows, ref_indices, ref_E_axis, requested, axis),
                       invalid="raise"), FloatingPointError),
        (with_np(respgrid, RaisingNumPy(), call), RuntimeError),
        # Fails inside the row, with boundary arrays and views held.
        (with_np(respgrid, RaisingNumPy("asarray"), call), RuntimeError),
        (with_np(respgrid, RaisingNumPy("nansum"), call), RuntimeError),
    ]


def call_all(cases, rounds):
    for _ in range(rounds):
        for call, error in cases:
            if error is None:
                call()
                continue
            try:
                call()
            except error:
                pass
            else:
                raise AssertionError(f"{call} did not raise {error.__name__}")


def measure():
    gc.collect()
    return sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0], resident_bytes()


@pytest.mark.parametrize("make_cases", [regions_cases, rebin_cases, respgrid_cases])
def test_calls_leak_nothing(make_cases):
    held, cases = make_cases()
    refcounts = [sys.getrefcount(x) for x in held]
    rounds = CALLS // len(cases)
    tracemalloc.start()
    try:
        call_all(cases, WARM_UP_ROUNDS)
        before = measure()
        call_all(cases, rounds)
        after = measure()
    finally:
        tracemalloc.stop()
    made = rounds * len(cases)
    blocks, traced, rss = (None if start is None else (end - start) * CALLS // made
                           for start, end in zip(before, after))
    growth = f"per 10^5 calls: {blocks} blocks, {traced} traced bytes, {rss} bytes resident"
    print(growth)
    assert blocks <= MAX_BLOCKS, growth
    assert traced <= MAX_TRACED, growth
    assert rss is None or rss <= MAX_RSS, growth
    # An exported buffer holds a reference to its exporter: none is left.
    assert [sys.getrefcount(x) for x in held] == refcounts
