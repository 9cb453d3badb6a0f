"""respgrid_cy: response matrices interpolated region by region."""

import math
import sys
import traceback
import warnings

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

from reference.respgrid import respgrid as reference_respgrid
from support import INTERPOLATE, REGIONS, RESPGRID_CY, our_frames
from synthetic_response import synthetic_response
from vantor.utils.numerics.accel import respgrid

respgrid_cy = respgrid.respgrid_cy


def a(*values):
    return np.array(values, dtype=float)


def assert_same_csr(got, expected):
    assert [x.dtype for x in got] == [np.int64, np.int32, np.float64]
    for g, e in zip(got, expected):
        assert g.tobytes() == e.tobytes()


@pytest.fixture
def detector():
    """Reference energies, their axis and matrix, and a finer requested axis."""
    ref_indices = a(100, 300, 661.7, 1000, 1400, 2000, 2600)
    ref_E_axis = np.linspace(1.0, 3000.0, 600)
    matrix = synthetic_response(ref_indices, ref_E_axis)
    requested_E_axis = np.linspace(2.0, 3000.0, 900)
    return matrix, ref_indices, ref_E_axis, requested_E_axis


def test_worked_example():
    """Two reference rows ref_E_axis / 1000 and twice that: an extra column
    gives both rows the sum 21, so the rows the driver interpolates are the
    example's divided by 21, and the normalised result is the example's
    normalised."""
    ref_E_axis = np.arange(50.0, 1001.0, 50.0)
    matrix = np.zeros((2, 21))
    matrix[0, :20] = ref_E_axis / 1000
    matrix[0, 20] = 10.5
    matrix[1, :20] = 2 * ref_E_axis / 1000
    indptr, cols, values = respgrid_cy(matrix, a(600, 800), ref_E_axis, a(700),
                                       a(100, 650, 700, 1000))
    example = a(0.151938984594369, 1.0241804439587, 1.1, 1.5)
    assert indptr.tolist() == [0, 4] and cols.tolist() == [0, 1, 2, 3]
    np.testing.assert_allclose(values, example / example.sum(), rtol=1e-13)


def test_matches_the_literal_algorithm(detector):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    requested = a(150, 661.7, 700, 1022.0, 1022.5, 1500, 2600, 300)
    got = respgrid_cy(matrix, ref_indices, ref_E_axis, requested, requested_E_axis)
    assert_same_csr(got, reference_respgrid(matrix, ref_indices, ref_E_axis, requested,
                                            requested_E_axis))


def test_csr_invariants_and_scipy(detector):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    requested = np.linspace(120, 2600, 40)
    indptr, cols, values = respgrid_cy(matrix, ref_indices, ref_E_axis, requested,
                                       requested_E_axis)
    assert indptr[0] == 0 and len(indptr) == len(requested) + 1
    assert np.all(np.diff(indptr) >= 0) and indptr[-1] == len(cols) == len(values)
    for i in range(len(requested)):
        row_cols = cols[indptr[i]:indptr[i + 1]]
        assert np.all(np.diff(row_cols) > 0)
    assert np.all(values > 1e-12)
    csr = scipy.sparse.csr_array((values, cols, indptr),
                                 shape=(len(requested), len(requested_E_axis)))
    # Each row is normalised to unit sum over its stored entries.
    np.testing.assert_allclose(csr.sum(axis=1), 1.0, rtol=1e-12)
    assert 0.2 < csr.nnz / (len(requested) * len(requested_E_axis)) < 0.9


def test_rows_follow_the_order_of_the_requests(detector):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    requested = a(2000, 150, 1500, 700)
    indptr, cols, values = respgrid_cy(matrix, ref_indices, ref_E_axis, requested,
                                       requested_E_axis)
    for i, v in enumerate(requested):
        one = respgrid_cy(matrix, ref_indices, ref_E_axis, a(v), requested_E_axis)
        assert cols[indptr[i]:indptr[i + 1]].tolist() == one[1].tolist()
        assert values[indptr[i]:indptr[i + 1]].tolist() == one[2].tolist()


def test_requested_energy_equal_to_a_reference_energy(detector):
    """It is bracketed by the rows before it and at it, with weight 1: on the
    reference axis the result is that reference row, normalised."""
    matrix, ref_indices, ref_E_axis, _ = detector
    indptr, cols, values = respgrid_cy(matrix, ref_indices, ref_E_axis, a(ref_indices[3]),
                                       ref_E_axis[1:])
    expected = matrix[3, 1:] / matrix[3].sum()
    expected /= expected.sum()
    dense = np.zeros(len(ref_E_axis) - 1)
    dense[cols] = values
    np.testing.assert_allclose(dense, expected, rtol=1e-9, atol=1e-15)


class RecordingNumPy:
    """Stands in for `np`: NumPy itself, recording what some functions get."""

    def __init__(self, **overrides):
        self.calls = []
        self.overrides = overrides

    def __getattr__(self, name):
        if name in self.overrides:
            return self.overrides[name]
        attr = getattr(np, name)
        if not callable(attr) or isinstance(attr, type):
            return attr

        def recorded(*args, **kwargs):
            self.calls.append((name, args))
            return attr(*args, **kwargs)

        return recorded


@pytest.fixture
def restore_np():
    yield
    respgrid.np = np


@pytest.mark.parametrize(("E_lo", "length"), [(1022.0, 6), (1022.5, 8)])
def test_escape_peaks_above_1022_keV(detector, restore_np, E_lo, length):
    matrix, _, ref_E_axis, requested_E_axis = detector
    recorder = RecordingNumPy()
    respgrid.np = recorder
    respgrid_cy(matrix[:2], a(E_lo, 1400), ref_E_axis, a(1200), requested_E_axis)
    boundary_lists = [args[0] for name, args in recorder.calls
                      if name == "asarray" and len(args[0]) in (6, 8)]
    assert [len(x) for x in boundary_lists] == [length, length]


def test_np_is_looked_up_at_each_use(detector, restore_np):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    expected = respgrid_cy(matrix, ref_indices, ref_E_axis, a(500, 700), requested_E_axis)
    recorder = RecordingNumPy()
    respgrid.np = recorder
    got = respgrid_cy(matrix, ref_indices, ref_E_axis, a(500, 700), requested_E_axis)
    names = [name for name, _ in recorder.calls]
    assert names[0] == "empty" and names[-3:] == ["asarray"] * 3
    assert names.count("sum") == 4 and names.count("nansum") == 2 and names.count("max") == 4
    # The result is np.asarray of three lists: offsets and columns as ints,
    # values as floats; the same result as with NumPy itself.
    indptr, cols, values = (args[0] for _, args in recorder.calls[-3:])
    assert indptr[0] == 0 and len(indptr) == 3
    assert {type(x) for x in indptr + cols} == {int} and {type(x) for x in values} == {float}
    assert_same_csr(got, expected)


@pytest.mark.parametrize("name", ["sum", "max"])
def test_reductions_replaced_on_numpy_itself_are_called(detector, monkeypatch, name):
    """`np` is NumPy, but with its own sum or max replaced: the driver calls
    the replacement, each time."""
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    expected = respgrid_cy(matrix, ref_indices, ref_E_axis, a(500, 700), requested_E_axis)
    original, seen = getattr(np, name), []

    def replacement(values, *args, **kwargs):
        seen.append(values)
        return original(values, *args, **kwargs)

    monkeypatch.setattr(np, name, replacement)
    got = respgrid_cy(matrix, ref_indices, ref_E_axis, a(500, 700), requested_E_axis)
    # Two reference rows per requested row for sum (np.nansum sums through it
    # too), the requested axis twice per row for max.
    length = matrix.shape[1] if name == "sum" else len(requested_E_axis)
    assert [np.asarray(values).size for values in seen].count(length) == 4
    assert_same_csr(got, expected)


@pytest.mark.parametrize(
    "row",
    [
        pytest.param([1e308, 1e308, 1.0, 0.0], id="overflow"),
        pytest.param([6e307, 6e307, 1.0, 0.0], id="large"),
        pytest.param([math.inf, -math.inf, 1.0, 0.0], id="infinities"),
        pytest.param([math.nan, 1.0, 1.0, 0.0], id="nan"),
        pytest.param([5e-324, 5e-324, 0.0, 0.0], id="subnormal"),
        pytest.param([1.0, 2.0, 3.0, 4.0], id="plain"),
    ],
)
@pytest.mark.parametrize("setting", ["warn", "raise"])
def test_reference_row_sums_warn_and_fail_as_np_sum_does(row, setting):
    """The warnings a reference row's sum gives ("... in reduce"), with where
    they are reported from, and the first error under NumPy's "raise": as
    np.sum gives them."""
    matrix = np.array([[1.0, 2.0, 3.0, 4.0], row])
    args = (matrix, a(100, 300), a(10, 20, 30, 40), a(200), a(12, 18, 25, 35))

    def outcome(function):
        with warnings.catch_warnings(record=True) as caught, np.errstate(all=setting):
            warnings.simplefilter("always")
            try:
                function(*args)
                error = None
            except FloatingPointError as exc:
                error = str(exc)
        return error, [(w.category, str(w.message), w.filename) for w in caught
                       if "in reduce" in str(w.message)]

    assert outcome(respgrid_cy) == outcome(reference_respgrid)


def test_read_only_and_strided_inputs(detector):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    requested = a(500, 1300)
    expected = respgrid_cy(matrix, ref_indices, ref_E_axis, requested, requested_E_axis)

    frozen_matrix, frozen_requested = matrix.copy(), requested.copy()
    frozen_matrix.flags.writeable = frozen_requested.flags.writeable = False
    assert_same_csr(respgrid_cy(frozen_matrix, ref_indices, ref_E_axis, frozen_requested,
                                requested_E_axis), expected)

    def strided(x):
        wide = np.zeros((len(x), 2) + x.shape[1:])
        wide[:, 1] = x
        return wide[:, 1]

    def reversed_twice(x):
        return x[::-1].copy()[::-1]

    assert_same_csr(respgrid_cy(np.asfortranarray(matrix), strided(ref_indices),
                                reversed_twice(ref_E_axis), strided(requested),
                                reversed_twice(requested_E_axis)), expected)


@pytest.mark.parametrize(("frozen", "line"),
                         [(1, 209), (2, 215), (4, 215)])
def test_read_only_arrays_refused_once_a_row_is_built(detector, frozen, line):
    args = list(detector[:3]) + [a(500), detector[3]]
    args[frozen] = args[frozen].copy()
    args[frozen].flags.writeable = False
    with pytest.raises(ValueError, match="^buffer source array is read-only$") as exc:
        respgrid_cy(*args)
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, line)]
    args[3] = a()
    indptr, cols, values = respgrid_cy(*args)
    assert indptr.tolist() == [0] and cols.dtype == np.int32 and values.dtype == np.float64
    assert len(cols) == len(values) == 0


@pytest.mark.parametrize(
    ("requested", "ref_indices"),
    [
        (a(500, 100), a(100, 300, 661.7)),     # at the first reference energy
        (a(500, 50), a(100, 300, 661.7)),      # below it
        (a(500, 700), a(100, 300, 661.7)),     # above the last one
        (a(500, math.nan), a(100, 300, 661.7)),
        (a(500), a(math.nan, 300, 661.7)),
        (a(500), a()),
    ],
)
def test_unbracketed_energies_are_refused_before_any_row(detector, restore_np, requested,
                                                         ref_indices):
    matrix, _, ref_E_axis, requested_E_axis = detector
    recorder = RecordingNumPy()
    respgrid.np = recorder
    with pytest.raises(ValueError, match="is not bracketed by ref_indices") as exc:
        respgrid_cy(matrix[:3], ref_indices, ref_E_axis, requested, requested_E_axis)
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, 209)]
    assert [name for name, _ in recorder.calls] == ["empty"]


@pytest.mark.parametrize("position", range(5))
def test_none_is_refused_for_every_array(detector, position):
    args = list(detector[:3]) + [a(), detector[3]]
    name = respgrid_cy.__code__.co_varnames[position]
    args[position] = None
    with pytest.raises(TypeError) as exc:
        respgrid_cy(*args)
    assert str(exc.value) == (
        f"Argument '{name}' has incorrect type (expected numpy.ndarray, got NoneType)")
    assert our_frames(exc) == []


def test_matrix_narrower_than_its_axis(detector):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    with pytest.raises(ValueError) as exc:
        respgrid_cy(matrix[:, :-1], ref_indices, ref_E_axis, a(500), requested_E_axis)
    assert str(exc.value) == (
        "response_matrix has 599 columns, fewer than the 600 entries of ref_E_axis")
    assert our_frames(exc) == [(RESPGRID_CY, 162)]
    # No rows: nothing is read, nothing refused.
    assert respgrid_cy(matrix[:, :-1], ref_indices, ref_E_axis, a(),
                       requested_E_axis)[0].tolist() == [0]


@pytest.mark.parametrize(
    ("axis", "stored"),
    [
        # Channels at or below 0 keV, the lowest boundary.
        (a(-5, 0, 10, 500, 1000), [2, 3, 4]),
        # A NaN channel; it also makes max_value NaN, and with it the top
        # boundary, so the top region cannot be placed either.
        (a(-5, 0, math.nan, 10, 500, 1000), [3, 4]),
    ],
)
def test_channels_that_cannot_be_placed_are_dropped(detector, axis, stored):
    """Such channels get NaN, which the normalisation ignores and the
    extraction drops."""
    matrix, ref_indices, ref_E_axis, _ = detector
    got = respgrid_cy(matrix, ref_indices, ref_E_axis, a(700), axis)
    assert_same_csr(got, reference_respgrid(matrix, ref_indices, ref_E_axis, a(700), axis))
    assert got[1].tolist() == stored
    assert math.isclose(got[2].sum(), 1.0, rel_tol=1e-12)


class OddRows(np.ndarray):
    """A matrix whose rows come out one entry short."""

    def __getitem__(self, index):
        return np.asarray(self)[index][:-1]


def test_arrays_too_short_for_the_channel_loop(detector, restore_np):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    with pytest.raises(ValueError) as exc:
        respgrid_cy(matrix.view(OddRows), ref_indices, ref_E_axis, a(500), requested_E_axis)
    assert str(exc.value) == (
        "interpolate_response_row: row_lo has 599 entries, fewer than the 600 of ref_E_axis")
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, 215), (INTERPOLATE, 156)]

    respgrid.np = RecordingNumPy(empty=lambda n, dtype: np.empty(n - 1, dtype))
    with pytest.raises(ValueError, match="out_row has 899 entries, fewer than the 900"):
        respgrid_cy(matrix, ref_indices, ref_E_axis, a(500), requested_E_axis)


def test_extraction_threshold(detector, restore_np):
    """Only entries strictly above 1e-12 are stored; NaN, zero and negative
    entries are not, +inf is."""
    matrix, ref_indices, ref_E_axis, _ = detector
    entries = a(1e-12, np.nextafter(1e-12, 1), 0, -1, math.nan, math.inf)

    def nansum(row):
        row[:] = entries
        return 1.0

    respgrid.np = RecordingNumPy(nansum=nansum)
    indptr, cols, values = respgrid_cy(matrix, ref_indices, ref_E_axis, a(500, 700),
                                       np.linspace(10, 1000, 6))
    assert indptr.tolist() == [0, 2, 4]
    assert cols.tolist() == [1, 5, 1, 5]
    assert values.tolist() == [np.nextafter(1e-12, 1), math.inf] * 2


def test_row_without_stored_entries_repeats_the_offset(detector):
    """An out_row whose entries are all NaN has a NaN-ignoring sum of 0 and
    stays all NaN: nothing is stored for it."""
    matrix, ref_indices, ref_E_axis, _ = detector
    with np.errstate(invalid="ignore"):
        indptr, cols, values = respgrid_cy(matrix, ref_indices, ref_E_axis, a(500, 700),
                                           a(-3, -2, 0))
    assert indptr.tolist() == [0, 0, 0] and len(cols) == 0


@pytest.mark.parametrize(
    ("setup", "exc_type", "lines"),
    [
        # A reference row with a zero sum, under NumPy's "raise" setting.
        (lambda m, r: (m.__setitem__((2, slice(None)), 0.0), np.seterr(invalid="raise")),
         FloatingPointError, [212]),
        (lambda m, r: (m.__setitem__((1, slice(None)), 0.0), np.seterr(invalid="raise")),
         FloatingPointError, [213]),
        # More reference energies than matrix rows.
        (lambda m, r: r.resize(8, refcheck=False) or r.__setitem__(7, 3000.0),
         IndexError, [212]),
    ],
)
def test_numpy_failures(detector, setup, exc_type, lines):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    matrix, ref_indices = matrix.copy(), ref_indices.copy()
    saved = np.geterr()
    try:
        setup(matrix, ref_indices)
        with pytest.raises(exc_type) as exc:
            respgrid_cy(matrix, ref_indices, ref_E_axis,
                        a(2700) if exc_type is IndexError else a(500), requested_E_axis)
    finally:
        np.seterr(**saved)
    assert our_frames(exc) == [(RESPGRID_CY, 162)] + [(RESPGRID_CY, x) for x in lines]


def test_zero_sum_output_row_under_raise(detector):
    """Far above the photopeak both reference rows are 0: so is out_row and
    its sum, and 0 / 0 is an invalid operation."""
    matrix, ref_indices, ref_E_axis, _ = detector
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError) as exc:
        respgrid_cy(matrix, ref_indices, ref_E_axis, a(500), a(2800, 2900))
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, 216)]


def test_empty_requested_axis_fails_in_the_row(detector):
    matrix, ref_indices, ref_E_axis, _ = detector
    with pytest.raises(ValueError, match="zero-size array") as exc:
        respgrid_cy(matrix, ref_indices, ref_E_axis, a(500), a())
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, 215), (INTERPOLATE, 149)]
    # NumPy's own frames follow, as when np.max is called from Python.
    with pytest.raises(ValueError) as direct:
        np.max(memoryview(a()))

    def numpy_frames(info):
        return [(f.name, f.filename) for f in traceback.extract_tb(info.tb)
                if "numpy" in f.filename]

    assert numpy_frames(exc) == numpy_frames(direct) != []


@pytest.mark.parametrize(
    ("override", "lines"),
    [
        ({"empty": None}, [(RESPGRID_CY, 196)]),
        ({"max": lambda x: "max"}, [(RESPGRID_CY, 215), (INTERPOLATE, 149)]),
        ({"asarray": lambda x, dtype: [1.0]}, [(RESPGRID_CY, 215), (INTERPOLATE, 149)]),
        ({"int32": "no such dtype"}, [(RESPGRID_CY, 227)]),
    ],
)
def test_np_rebound_failures(detector, restore_np, override, lines):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    respgrid.np = RecordingNumPy(**override)
    with pytest.raises(Exception) as exc:
        respgrid_cy(matrix, ref_indices, ref_E_axis, a(500), requested_E_axis)
    assert our_frames(exc) == [(RESPGRID_CY, 162)] + lines


def test_np_deleted(detector, restore_np):
    del respgrid.np
    with pytest.raises(NameError, match="^name 'np' is not defined$") as exc:
        respgrid_cy(*detector[:3], a(500), detector[3])
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, 196)]


def test_bound_value_not_an_ndarray(detector, restore_np):
    respgrid.np = RecordingNumPy(asarray=lambda x, dtype: list(x))
    with pytest.raises(TypeError) as exc:
        respgrid_cy(*detector[:3], a(500), detector[3])
    assert str(exc.value) == "Cannot convert list to numpy.ndarray"
    assert our_frames(exc)[-1] == (INTERPOLATE, 149)


def test_binding_and_acceptance_messages(detector):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    with pytest.raises(TypeError) as exc:
        respgrid_cy(matrix, ref_indices, ref_E_axis, a(500))
    assert str(exc.value) == "respgrid_cy() takes exactly 5 positional arguments (4 given)"
    assert our_frames(exc) == [(RESPGRID_CY, 162)]
    with pytest.raises(TypeError) as exc:
        respgrid_cy(matrix, list(ref_indices), ref_E_axis, a(500), requested_E_axis)
    assert str(exc.value) == (
        "Argument 'ref_indices' has incorrect type (expected numpy.ndarray, got list)")
    assert our_frames(exc) == []


@pytest.mark.parametrize(
    ("position", "value", "message"),
    [
        (0, np.zeros(5), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (1, np.zeros(5, np.float32),
         "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        (2, np.zeros(5, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
        (3, np.zeros(5, np.int64), "Buffer dtype mismatch, expected 'float64_t' but got 'long'"),
        (4, np.zeros((5, 1)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (4, np.zeros(5, np.complex128),
         "Buffer dtype mismatch, expected 'float64_t' but got 'complex double'"),
    ],
)
def test_ndarray_acceptance(detector, position, value, message):
    args = list(detector[:3]) + [a(500), detector[3]]
    args[position] = value
    before = [sys.getrefcount(x) for x in args]
    with pytest.raises(ValueError) as exc:
        respgrid_cy(*args)
    assert str(exc.value) == message
    assert our_frames(exc) == [(RESPGRID_CY, 162)]
    assert [sys.getrefcount(x) for x in args] == before


def test_calculate_regions_failure_inside_a_row(detector, restore_np):
    """The entries of calculate_regions' computing entry come last."""
    _testcapi = pytest.importorskip("_testcapi")
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    seen = set()
    for k in range(400):
        _testcapi.set_nomemory(k, k + 1)
        try:
            respgrid_cy(matrix, ref_indices, ref_E_axis, a(500), requested_E_axis)
        except MemoryError as e:
            seen.add(tuple(our_frames(e)))
        except Exception:   # NumPy may turn a failed allocation into another error
            pass
        else:
            break
        finally:
            _testcapi.remove_mem_hooks()
    assert ((RESPGRID_CY, 162), (RESPGRID_CY, 215), (INTERPOLATE, 149), (REGIONS, 83)) in seen


# Random inputs, compared bit for bit with the literal algorithm: axes with
# NaNs, ties, unsorted stretches, signed zeros and infinities exercise the
# searches, which must stop at the very positions the literal scans do.

special = st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0])
energy = st.floats(-50, 3200, allow_nan=False, allow_infinity=False)


@st.composite
def axes(draw, min_size=1, max_size=24):
    values = sorted(draw(st.lists(energy, min_size=min_size, max_size=max_size)))
    for _ in range(draw(st.integers(0, 3))):
        values.insert(draw(st.integers(0, len(values))),
                      draw(st.one_of(special, energy)))
    if draw(st.booleans()):
        values = values[:len(values) // 2] + values[len(values) // 2:][::-1]
    return np.array(values)


@st.composite
def problems(draw):
    ref_indices = np.array(sorted(draw(st.lists(st.floats(20, 3000), min_size=2, max_size=5,
                                                unique=True))))
    ref_E_axis = draw(axes(min_size=2))
    matrix = np.array(draw(st.lists(
        st.lists(st.floats(0, 10), min_size=len(ref_E_axis) + 2, max_size=len(ref_E_axis) + 2),
        min_size=len(ref_indices), max_size=len(ref_indices))))[:, :len(ref_E_axis)
                                                                  + draw(st.integers(0, 2))]
    requested = np.array(draw(st.lists(
        st.one_of(st.sampled_from(list(ref_indices[1:])),
                  st.floats(ref_indices[0], ref_indices[-1], exclude_min=True)),
        min_size=1, max_size=3)))
    requested_E_axis = draw(axes())
    return matrix, ref_indices, ref_E_axis, requested, requested_E_axis


@settings(max_examples=300, deadline=None)
@given(problems())
def test_random_problems_match_the_literal_algorithm(problem):
    with np.errstate(all="ignore"):
        try:
            expected = reference_respgrid(*problem)
        except ValueError as e:   # np.max of an empty axis, say
            with pytest.raises(type(e)):
                respgrid_cy(*problem)
            return
        got = respgrid_cy(*problem)
    assert_same_csr(got, expected)


class Normalised(np.ndarray):
    """out_row whose in-place division hands back another array: float32, a
    buffer the float64 variable cannot take. With `refuse`, its own buffer is
    refused from then on as well."""

    refuse = False
    divided = False

    def __itruediv__(self, other):
        type(self).divided = True
        return np.zeros(len(self), np.float32)

    def __buffer__(self, flags):
        if self.refuse and self.divided:
            raise BufferError("no more buffers")
        return np.asarray(self).__buffer__(flags)


@pytest.mark.parametrize(
    ("refuse", "message"),
    [
        # The old buffer is taken back and the new array's error propagates.
        (False, "Buffer dtype mismatch, expected 'float64_t' but got 'float'"),
        # Taking the old buffer back fails too.
        (True, "Buffer acquisition failed on assignment; and then reacquiring the old "
               "buffer failed too!"),
    ],
)
def test_out_row_rebinding_failures(detector, restore_np, refuse, message):
    matrix, ref_indices, ref_E_axis, requested_E_axis = detector
    Normalised.refuse, Normalised.divided = refuse, False
    respgrid.np = RecordingNumPy(
        empty=lambda n, dtype: np.empty(n, dtype).view(Normalised))
    with pytest.raises(ValueError) as exc:
        respgrid_cy(matrix, ref_indices, ref_E_axis, a(500), requested_E_axis)
    assert str(exc.value) == message
    assert our_frames(exc) == [(RESPGRID_CY, 162), (RESPGRID_CY, 216)]
