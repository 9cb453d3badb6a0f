"""rebin_histogram_cy: counts of a histogram redistributed onto new edges."""

import builtins
import inspect
import math
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from reference.rebin import rebin_histogram
from support import REBIN, our_frames
from vantor.utils.numerics.accel import rebin

rebin_histogram_cy = rebin.rebin_histogram_cy
nan = math.nan


def a(*values):
    return np.array(values, dtype=float)


@pytest.mark.parametrize(
    ("old_edges", "counts", "new_edges", "expected"),
    [
        pytest.param(a(0, 2), a(10), a(0, 1, 2), [5, 5], id="split"),
        pytest.param(a(0, 1, 2), a(3, 4), a(0, 2), [7], id="merge"),
        pytest.param(a(0, 1, 1, 2), a(1, 5, 1), a(0, 2), [2], id="zero-width-dropped"),
        pytest.param(a(0, 2, 1, 3), a(1, 5, 1), a(0, 3), [2], id="reversed-dropped"),
        pytest.param(a(0, 4), a(8), a(1, 2, 3), [2, 2], id="outside-lost"),
        pytest.param(a(0, 1, 2), a(3, 4), a(0, 1, 2, 3), [3, 4, 0], id="edges-touch"),
        pytest.param(a(1, 2), a(6), a(-1, 0, 1, 2, 3, 4), [0, 0, 6, 0, 0], id="outside-0"),
        pytest.param(a(0, 1, 2, 3), a(1, 2, 3), a(0.5), [], id="one-edge"),
        pytest.param(None, None, a(0, 1, 2), [0, 0], id="no-counts"),
        pytest.param(a(), a(), a(0, 1, 2), [0, 0], id="empty-counts"),
        pytest.param(a(0, 1, 2, 3, 99), a(1, 2, 3), a(0, 3), [6], id="extra-edges"),
        pytest.param(a(3, 2, 1, 0), a(1, 2, 3), a(0, 3), [0], id="descending"),
        pytest.param(a(0, nan, 2, 3), a(1, 2, 4), a(0, 3), [4], id="nan-edge"),
        pytest.param(a(0, 1, 2, 3), a(1, nan, 4), a(0, 1.5, 3), [nan, nan], id="nan-count"),
        pytest.param(a(0, 1, 2, 3), a(1, nan, 4), a(0, 1, 3), [1, nan], id="nan-count-one"),
        pytest.param(a(0, 1, 2), a(1, 1), a(0, nan, 2), [2, 0], id="nan-new-edge"),
        pytest.param(a(0, math.inf), a(1), a(0, 1), [0], id="infinite-width"),
        pytest.param(a(-0.0, 1), a(2), a(0.0, 0.5, 1), [1, 1], id="signed-zero"),
    ],
)
def test_rebinning(old_edges, counts, new_edges, expected):
    result = rebin_histogram_cy(old_edges, counts, new_edges)
    assert result.dtype == np.float64 and result.ndim == 1
    np.testing.assert_array_equal(result, np.array(expected, dtype=float))


def test_identical_edges_give_the_counts_back_exactly():
    rng = np.random.default_rng(1)
    edges = np.cumsum(rng.uniform(0.1, 3.0, 1001))
    counts = rng.uniform(0, 1e6, 1000)
    assert np.array_equal(rebin_histogram_cy(edges, counts, edges), counts)


def test_strided_and_reversed_inputs_are_read_in_place():
    rng = np.random.default_rng(2)
    edges = np.cumsum(rng.uniform(0.1, 3.0, 51))
    counts = rng.uniform(0, 10, 50)
    new_edges = np.linspace(edges[0] - 1, edges[-1] + 1, 17)
    expected = rebin_histogram_cy(edges, counts, new_edges)
    wide = np.zeros((51, 3))
    wide[:, 2] = edges
    result = rebin_histogram_cy(wide[:, 2], np.repeat(counts, 2)[::2],
                                new_edges[::-1].copy()[::-1])
    assert np.array_equal(result, expected)


def test_result_owns_fresh_memory():
    edges, counts, new_edges = a(0, 1, 2), a(3, 4), a(0, 1, 2)
    result = rebin_histogram_cy(edges, counts, new_edges)
    assert result.flags.writeable
    result[:] = -1
    assert np.array_equal(counts, a(3, 4)) and np.array_equal(new_edges, a(0, 1, 2))
    assert not any(np.shares_memory(result, x) for x in (edges, counts, new_edges))


def test_keywords_in_any_order():
    edges, counts, new_edges = a(0, 1, 2), a(3, 4), a(0, 0.5, 2)
    assert np.array_equal(
        rebin_histogram_cy(new_energy_axis=new_edges, count_axis=counts, energy_axis=edges),
        rebin_histogram_cy(edges, counts, new_edges))


def test_code_object():
    code = rebin_histogram_cy.__code__
    assert code.co_firstlineno == 3 and code.co_argcount == 3
    assert code.co_varnames == (
        "energy_axis", "count_axis", "new_energy_axis", "old_n", "new_n", "new_counts",
        "i", "j", "k", "old_left", "old_right", "new_left", "new_right", "overlap",
        "old_width")
    assert str(inspect.signature(rebin_histogram_cy)) == (
        "(energy_axis, count_axis, new_energy_axis)")


@pytest.mark.parametrize(
    ("args", "exc_type", "message", "line"),
    [
        ((a(0, 1),), TypeError,
         "rebin_histogram_cy() takes exactly 3 positional arguments (1 given)", 3),
        ((a(0, 1), a(1), np.zeros(2, np.float32)), ValueError,
         "Buffer dtype mismatch, expected 'double' but got 'float'", 6),
        ((a(0, 1), [1.0], None), TypeError, "a bytes-like object is required, not 'list'", 5),
        ((a(0, 1), a(1), None), ValueError, "negative dimensions are not allowed", 12),
        ((a(0, 1), a(1), a()), ValueError, "negative dimensions are not allowed", 12),
        ((a(0, 1, 2), a(1, 2, 3), a(0, 3)), IndexError,
         "Out of bounds on buffer access (axis 0)", 23),
        ((a(), a(1), a(0, 3)), IndexError, "Out of bounds on buffer access (axis 0)", 22),
        ((None, a(1), a(0, 3)), IndexError, "Out of bounds on buffer access (axis 0)", 22),
    ],
)
def test_errors(args, exc_type, message, line):
    with pytest.raises(exc_type) as exc:
        rebin_histogram_cy(*args)
    assert str(exc.value) == message
    assert our_frames(exc) == [(REBIN, line)]


class RecordingNumPy:
    """Stands in for `np`: NumPy itself, recording the arrays zeros() made."""

    def __init__(self, fail_asarray=False):
        self.made = []
        self.fail_asarray = fail_asarray

    def __getattr__(self, name):
        return getattr(np, name)

    def zeros(self, *args, **kwargs):
        self.made.append(np.zeros(*args, **kwargs))
        return self.made[-1]

    def asarray(self, obj):
        if self.fail_asarray:
            raise RuntimeError("asarray refused")
        return np.asarray(obj)


@pytest.fixture
def restore_np():
    yield
    rebin.np = np
    if hasattr(builtins, "np"):
        del builtins.np


def test_np_is_looked_up_at_each_call(restore_np):
    recorder = RecordingNumPy()
    rebin.np = recorder
    result = rebin_histogram_cy(a(0, 2), a(10), a(0, 1, 2))
    assert len(recorder.made) == 1
    # The result shares the memory of the array that zeros() allocated.
    assert np.shares_memory(result, recorder.made[0])
    result[0] = 42.0
    assert recorder.made[0][0] == 42.0

    rebin.np = RecordingNumPy(fail_asarray=True)
    with pytest.raises(RuntimeError, match="asarray refused") as exc:
        rebin_histogram_cy(a(0, 2), a(10), a(0, 1, 2))
    assert our_frames(exc) == [(REBIN, 47)]


@pytest.mark.parametrize("bins", [3, 3000])
def test_shares_are_added_to_what_zeros_gave(restore_np, bins):
    """With `np` rebound, zeros() may hand back anything: -0.0, NaN and other
    values stay as they are where nothing is added, and are added to where
    something is."""
    class FilledZeros(RecordingNumPy):
        def zeros(self, n, dtype):
            self.made.append(np.resize(a(-0.0, 1.5, nan, -0.0, 0.0, -2.0), n))
            return self.made[-1]

    rng = np.random.default_rng(bins)
    old = np.cumsum(rng.uniform(0.1, 1.0, bins + 1))
    new = np.sort(rng.uniform(old[0] - 2, old[-1] + 2, bins))
    counts = rng.uniform(0, 10, bins)
    rebin.np = FilledZeros()
    result = rebin_histogram_cy(old, counts, new)
    start = np.resize(a(-0.0, 1.5, nan, -0.0, 0.0, -2.0), len(new) - 1)
    assert result.tobytes() == np.array(rebin_histogram(old, counts, new, start)).tobytes()


def test_deleted_np_raises_name_error_then_builtins_are_tried(restore_np):
    del rebin.np
    with pytest.raises(NameError) as exc:
        rebin_histogram_cy(a(0, 2), a(10), a(0, 1, 2))
    assert str(exc.value) == "name 'np' is not defined"
    assert our_frames(exc) == [(REBIN, 12)]
    builtins.np = np
    assert np.array_equal(rebin_histogram_cy(a(0, 2), a(10), a(0, 1, 2)), a(5, 5))


def test_np_returning_a_short_array_is_refused(restore_np):
    class ShortZeros(RecordingNumPy):
        def zeros(self, n, dtype):
            return np.zeros(max(n - 1, 0), dtype)

    rebin.np = ShortZeros()
    with pytest.raises(ValueError) as exc:
        rebin_histogram_cy(a(0, 2), a(10), a(0, 1, 2))
    assert our_frames(exc) == [(REBIN, 12)]


def test_failed_call_gives_back_its_arguments():
    edges, counts, new_edges = a(0, 1, 2), a(3, 4), a(0, 3)
    before = [sys.getrefcount(x) for x in (edges, counts, new_edges)]
    with pytest.raises(IndexError):
        rebin_histogram_cy(edges[:2], counts, new_edges)
    assert [sys.getrefcount(x) for x in (edges, counts, new_edges)] == before
    edges.resize(5, refcheck=True)    # refused while a buffer is still exported


edges_strategy = st.lists(
    st.floats(-1e6, 1e6, allow_nan=False), min_size=1, max_size=40, unique=True
).map(sorted)


@settings(max_examples=300, deadline=None)
@given(old=edges_strategy, new=edges_strategy,
       data=st.data())
def test_matches_reference_and_conserves_counts(old, new, data):
    counts = data.draw(st.lists(st.floats(0, 1e6), min_size=len(old) - 1,
                                max_size=len(old) - 1))
    result = rebin_histogram_cy(a(*old), a(*counts), a(*new))
    assert result.tolist() == rebin_histogram(old, counts, new)
    # Old bins inside the new range keep all their counts; those that only
    # reach into it keep part of theirs.
    bins = list(zip(counts, old, old[1:]))
    inside = math.fsum(c for c, lo, hi in bins if new[0] <= lo and hi <= new[-1])
    touched = math.fsum(c for c, lo, hi in bins if hi > new[0] and lo < new[-1])
    total = math.fsum(result)
    tolerance = 1e-9 * touched + 1e-6
    assert inside - tolerance <= total <= touched + tolerance


tied_edges = st.lists(st.integers(0, 12).map(float), min_size=1, max_size=30).map(sorted)


@settings(max_examples=300, deadline=None)
@given(old=tied_edges, new=tied_edges, data=st.data())
def test_shared_edges_and_empty_bins_match_reference(old, new, data):
    """Edges drawn from a few values: old and new edges coincide, and bins of
    zero width appear on both sides. Compared bit for bit, signed zeros and
    NaN counts included."""
    counts = data.draw(st.lists(st.floats(-1e3, 1e3) | st.sampled_from([-0.0, math.nan]),
                                min_size=len(old) - 1, max_size=len(old) - 1))
    result = rebin_histogram_cy(a(*old), a(*counts), a(*new))
    assert result.tobytes() == np.array(rebin_histogram(old, counts, new)).tobytes()


def layout(name, rng):
    """Old and new edges, ascending, in one of several arrangements."""
    old = np.cumsum(rng.uniform(0.1, 1.0, 3001))
    span = old[0], old[-1]
    if name == "interleaved":
        new = np.sort(rng.uniform(span[0] - 5, span[1] + 5, 2501))
    elif name == "new-inside-old":
        new = np.sort(rng.uniform(span[0] + 400, span[1] - 900, 2001))
    elif name == "old-inside-new":
        new = np.sort(rng.uniform(span[0] - 900, span[1] + 400, 2001))
    elif name == "coarse-new":
        new = np.sort(rng.uniform(span[0], span[1], 41))
    elif name == "fine-new":
        new = np.sort(rng.uniform(span[0], span[0] + 30, 4001))
    elif name == "new-above-old":
        new = np.sort(rng.uniform(span[1] - 10, span[1] + 1000, 2001))
    elif name == "shared-grid":
        # Both on one grid of whole numbers: most edges coincide, and bins of
        # zero width appear on both sides.
        old = np.sort(rng.integers(-200, 800, 3001)).astype(float)
        new = np.sort(rng.integers(-300, 700, 2001)).astype(float)
    else:   # around zero, with signed zeros among the edges
        old = np.sort(rng.integers(-30, 30, 1001)).astype(float)
        new = np.sort(rng.integers(-40, 20, 801)).astype(float)
        old[old == 0] = -0.0
        new[new == 0] = np.where(rng.random((new == 0).sum()) < 0.5, 0.0, -0.0)
    return old, new


@pytest.mark.parametrize("name", ["interleaved", "new-inside-old", "old-inside-new",
                                  "coarse-new", "fine-new", "new-above-old", "shared-grid",
                                  "signed-zeros"])
def test_long_ascending_edges_match_reference(name):
    """Thousands of ascending edges, so that the walk over old and new bins
    runs in several interleaved lanes: bit for bit the straightforward sweep,
    with negative, -0.0 and NaN counts among the rest."""
    rng = np.random.default_rng(len(name))
    old, new = layout(name, rng)
    counts = rng.uniform(-10, 100, len(old) - 1)
    counts[rng.integers(0, len(counts), 20)] = -0.0
    counts[rng.integers(0, len(counts), 3)] = math.nan
    result = rebin_histogram_cy(old, counts, new)
    assert result.tobytes() == np.array(rebin_histogram(old, counts, new)).tobytes()


@settings(max_examples=100, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), values=st.integers(1, 100))
def test_many_tied_edges_match_reference(seed, values):
    """Enough edges for the interleaved walk, drawn from few values, so that
    old and new edges coincide and bins of zero width abound on both sides."""
    rng = np.random.default_rng(seed)
    old = np.sort(rng.integers(0, values, rng.integers(520, 900))).astype(float)
    new = np.sort(rng.integers(0, values, rng.integers(520, 900))).astype(float)
    counts = rng.choice(a(-0.0, nan, 1.5, -3.0, 1e3, 0.25), len(old) - 1)
    result = rebin_histogram_cy(old, counts, new)
    assert result.tobytes() == np.array(rebin_histogram(old, counts, new)).tobytes()


@pytest.mark.parametrize("where", ["old", "new"])
@pytest.mark.parametrize("bad", [math.nan, math.inf, -1.0])
def test_one_odd_edge_far_inside(where, bad):
    """Ascending edges but for one NaN, infinite or out-of-order edge deep
    inside either array, many thousand edges on: the same result as the
    straightforward sweep."""
    rng = np.random.default_rng(5)
    edges = np.cumsum(rng.uniform(0.1, 1.0, 12001))
    new_edges = np.sort(rng.uniform(edges[0] - 1, edges[-1] + 1, 9001))
    counts = rng.uniform(0, 10, 12000)
    (edges if where == "old" else new_edges)[int(rng.integers(4500, 8500))] = bad
    result = rebin_histogram_cy(edges, counts, new_edges)
    assert result.tobytes() == np.array(rebin_histogram(edges, counts, new_edges)).tobytes()


@pytest.mark.parametrize("end", [*range(4085, 4100), *range(8182, 8196)])
def test_old_edges_going_back_after_the_new_range_ends(end):
    """The new bins end at old edge `end`, the next three old bins are empty,
    and then the old axis jumps back into the new range: the old bin after
    the jump still reaches the last new bins, as the sweep never passed them."""
    rng = np.random.default_rng(end)
    edges = np.cumsum(rng.uniform(0.1, 1.0, 12001))
    edges[end + 1:end + 4] = edges[end]
    new_edges = np.sort(rng.uniform(edges[0], edges[end], 301))
    new_edges[-1] = edges[end]
    edges[end + 4] = new_edges[-3]
    counts = rng.uniform(0, 10, 12000)
    result = rebin_histogram_cy(edges, counts, new_edges)
    assert result.tobytes() == np.array(rebin_histogram(edges, counts, new_edges)).tobytes()
