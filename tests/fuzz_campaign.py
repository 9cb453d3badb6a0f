"""A hypothesis campaign against one public function, run in a child
interpreter by test_fuzz.py so that a crash ends this process, not the test
run.

    python -X faulthandler fuzz_campaign.py TARGET --examples N
           [--oddbuffer PATH] [--last-input PATH]

TARGET is rebin, respgrid or regions. Arguments come with random dtypes,
shapes, strides (negative and non-contiguous ones too), exporters, None,
NaNs, infinities, signed zeros, unsorted and repeated edges, huge and tiny
values, and calls with keywords, missing or extra arguments. Every call must
return or raise an ordinary exception (SystemError means a result and an
exception disagreed), must leave the memory behind every argument as it was,
and, where the arguments are what the function documents, must agree exactly
with the straightforward Python versions in reference/. How the arguments
about to be passed were made is written to --last-input before each call, so
that a crash can be traced to its input. On success it prints "calls: N"
and how many calls each kind of check covered.
"""

import argparse
import array
import importlib.util
import math
import sys
import warnings
from collections import Counter
from typing import NamedTuple

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from reference.rebin import rebin_histogram
from reference.respgrid import calculate_regions as reference_regions
from reference.respgrid import respgrid as reference_respgrid
from vantor.utils.numerics.accel import rebin, respgrid

nan, inf = math.nan, math.inf
SPECIAL = [nan, -nan, inf, -inf, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300, 255.5, -255.5,
           511.0, 1022.0, 1022.5]
SENTINEL = 4321.5   # fills the gaps between strided elements

calls = 0
outcomes = Counter()   # what each call was checked against
oddbuffer = None
last_input = None


# Floats and their orderings.

floats = st.one_of(st.floats(), st.sampled_from(SPECIAL), st.sampled_from(SPECIAL),
                   st.floats(-100, 3100), st.integers(-3, 3).map(float))


@st.composite
def float_lists(draw, min_size=0, max_size=12, elements=floats):
    if draw(st.integers(0, 3)) == 0:
        elements = st.sampled_from(SPECIAL)
    values = draw(st.lists(elements, min_size=min_size, max_size=max_size))
    order = draw(st.sampled_from(["drawn", "sorted", "reversed", "ties"]))
    if order == "sorted":
        values.sort()
    elif order == "reversed":
        values.sort(reverse=True)
    elif order == "ties" and values:
        for _ in range(draw(st.integers(1, 3))):
            i = draw(st.integers(0, len(values) - 1))
            values.insert(i, values[i])
        values.sort()
    return values


# Arguments: an object, the memory behind it (compared before and after the
# call), and what it is as a buffer.

class Arg(NamedTuple):
    obj: object
    backing: object   # None for immutable objects
    kind: str
    spec: str         # how it was made, for the record of the last input


VALID_1D = ["ndarray", "strided", "array_d", "memoryview_d", "none"]
INVALID_1D = ["bigendian", "dtype", "two_d", "zero_d", "array_f", "bytes", "bytearray",
              "list", "scalar", "text", "object"]
UNKNOWN_1D = ["readonly", "oddbuffer", "masked"]
DTYPES = [np.float32, np.float16, np.int64, np.int32, np.uint8, np.bool_, np.complex128,
          np.longdouble, object, "U4", "M8[s]", [("a", "f8")], [("a", "f8", (2,))]]
FORMAT_CHARS = "dfgiqlLQPBbcsp?eZT{}():x@=<>!^ 0123456789"


def strided_view(values, step, offset):
    """values as a window of a larger array, every step-th element from offset
    (counted from the end for negative steps); the gaps hold SENTINEL."""
    n = len(values)
    base = np.full(n * abs(step) + offset + 1, SENTINEL)
    view = base[offset::step][:n] if step > 0 else base[::-1][offset::-step][:n]
    view[...] = values
    return view, base


@st.composite
def one_d(draw, kinds, values):
    kind = draw(st.sampled_from(kinds))
    spec = f"{kind}({values!r}"
    x = np.array(values, dtype=np.float64)
    if kind == "ndarray":
        return Arg(x, x, kind, spec + ")")
    if kind == "strided":
        step = draw(st.sampled_from([2, 3, -1, -2, -3]))
        offset = draw(st.integers(0, 2))
        view, base = strided_view(values, step, offset)
        return Arg(view, base, kind, f"{spec}, step={step}, offset={offset})")
    if kind == "readonly":
        x.flags.writeable = False
        return Arg(x, x, kind, spec + ")")
    if kind == "array_d":
        a = array.array("d", values)
        return Arg(a, a, kind, spec + ")")
    if kind == "memoryview_d":
        memory = bytearray(x.tobytes())
        return Arg(memoryview(memory).cast("d"), memory, kind, spec + ")")
    if kind == "none":
        return Arg(None, None, kind, "None")
    if kind == "bigendian":
        b = x.astype(">f8")
        return Arg(b, b, kind, spec + ")")
    if kind == "dtype":
        dtype = draw(st.sampled_from(DTYPES))
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            try:
                d = x.astype(dtype)
            except (TypeError, ValueError):
                d = np.zeros(len(values), dtype)
        return Arg(d, d, kind, f"{spec}, dtype={dtype!r})")
    if kind == "two_d":
        d = x.reshape((-1, 1) if draw(st.booleans()) else (1, -1))
        return Arg(d, x, kind, spec + ")")
    if kind == "zero_d":
        d = np.array(values[0] if values else 0.0)
        return Arg(d, d, kind, spec + ")")
    if kind == "array_f":
        a = array.array("f", [v if abs(v) < 1e38 or v != v else 0.0 for v in values])
        return Arg(a, a, kind, spec + ")")
    if kind == "bytes":
        return Arg(x.tobytes(), None, kind, spec + ")")
    if kind == "bytearray":
        memory = bytearray(x.tobytes())
        return Arg(memory, memory, kind, spec + ")")
    if kind == "list":
        return Arg(list(values), None, kind, spec + ")")
    if kind == "scalar":
        return Arg(values[0] if values else 1.0, None, kind, spec + ")")
    if kind == "text":
        return Arg("0.5 1.5", None, kind, "text")
    if kind == "object":
        return Arg(object(), None, kind, "object")
    if kind == "masked":
        mask = draw(st.lists(st.booleans(), min_size=len(values), max_size=len(values)))
        m = np.ma.masked_array(x, mask=mask)
        return Arg(m, x, kind, f"{spec}, mask={mask})")
    assert kind == "oddbuffer"
    return draw(odd_buffer(values))


@st.composite
def odd_buffer(draw, values):
    """The test-only exporter with a random format string and item size over
    a layout that stays inside its memory, forwards or backwards."""
    if oddbuffer is None:
        x = np.array(values, dtype=np.float64)
        return Arg(x, x, "ndarray", f"ndarray({values!r})")
    memory = bytearray(np.array(values, dtype=np.float64).tobytes())
    fmt = draw(st.one_of(st.sampled_from(["d", "<d", "=d", "@d", ">d", "Zd", "dd", "T{d}"]),
                         st.text(FORMAT_CHARS, max_size=6)))
    itemsize = draw(st.sampled_from([8, 8, 1, 2, 4, 16]))
    n = len(memory) // itemsize
    reverse = draw(st.booleans()) and n > 0
    strides = [-itemsize if reverse else itemsize]
    offset = (n - 1) * itemsize if reverse else 0
    suboffsets = draw(st.sampled_from([None, [-1]]))
    readonly = draw(st.booleans())
    obj = oddbuffer.OddBuffer(memory, fmt, itemsize, [n], strides, suboffsets, readonly,
                              offset)
    spec = (f"oddbuffer({values!r}, format={fmt!r}, itemsize={itemsize}, shape=[{n}], "
            f"strides={strides}, suboffsets={suboffsets}, readonly={readonly}, "
            f"offset={offset})")
    return Arg(obj, memory, "oddbuffer", spec)


VALID_2D = ["ndarray", "fortran", "strided", "transposed", "readonly"]
INVALID_2D = ["flat", "three_d", "dtype", "list", "none"]
UNKNOWN_2D = ["masked", "matrix"]


@st.composite
def two_d(draw, kinds, rows):
    kind = draw(st.sampled_from(kinds))
    x = np.array(rows, dtype=np.float64).reshape(len(rows), len(rows[0]) if rows else 0)
    spec = f"{kind}({rows!r}"
    if kind == "ndarray":
        return Arg(x, x, kind, spec + ")")
    if kind == "fortran":
        f = np.asfortranarray(x)
        return Arg(f, f, kind, spec + ")")
    if kind == "strided":
        s0 = draw(st.sampled_from([1, 2, -1, -2]))
        s1 = draw(st.sampled_from([1, 2, 3, -1, -2]))
        base = np.full((x.shape[0] * abs(s0) + 1, x.shape[1] * abs(s1) + 1), SENTINEL)
        view = base[::s0, ::s1][:x.shape[0], :x.shape[1]]
        view[...] = x
        return Arg(view, base, kind, f"{spec}, steps=({s0}, {s1}))")
    if kind == "transposed":
        t = np.ascontiguousarray(x.T).T
        return Arg(t, t, kind, spec + ")")
    if kind == "readonly":
        x.flags.writeable = False
        return Arg(x, x, kind, spec + ")")
    if kind == "flat":
        return Arg(x.reshape(-1), x, kind, spec + ")")
    if kind == "three_d":
        return Arg(x[..., None], x, kind, spec + ")")
    if kind == "dtype":
        with np.errstate(all="ignore"):
            d = x.astype(draw(st.sampled_from([np.float32, np.int64, ">f8", np.complex128])))
        return Arg(d, d, kind, spec + f", dtype={d.dtype})")
    if kind == "list":
        return Arg(list(rows), None, kind, spec + ")")
    if kind == "none":
        return Arg(None, None, kind, "None")
    if kind == "masked":
        m = np.ma.masked_array(x, mask=x > 5)
        return Arg(m, x, kind, spec + ")")
    assert kind == "matrix"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = np.asmatrix(x)
    return Arg(m, x, kind, spec + ")")


# Calls: positional, by keyword in any order, or malformed.

@st.composite
def call_shapes(draw, names):
    """(style, keyword order, number of positional arguments for 'mixed',
    defect of a 'malformed' call)"""
    style = draw(st.sampled_from(["positional", "positional", "keywords", "mixed",
                                  "malformed"]))
    order = draw(st.permutations(range(len(names))))
    cut = draw(st.integers(0, len(names)))
    defect = draw(st.sampled_from(["missing", "extra", "unknown", "twice"]))
    return style, order, cut, defect


def make_call(fn, names, values, shape):
    """fn called with `values` in the given shape; returns (call, well_formed)."""
    style, order, cut, defect = shape
    if style == "positional":
        return (lambda: fn(*values)), True
    if style == "keywords":
        kwargs = {names[i]: values[i] for i in order}
        return (lambda: fn(**kwargs)), True
    if style == "mixed":
        kwargs = {names[i]: values[i] for i in range(cut, len(names))}
        return (lambda: fn(*values[:cut], **kwargs)), True
    if defect == "missing":
        return (lambda: fn(*values[:cut - 1] if cut else values[1:])), False
    if defect == "extra":
        return (lambda: fn(*values, values[0])), False
    if defect == "unknown":
        return (lambda: fn(*values[:cut], bogus=1,
                           **{names[i]: values[i] for i in range(cut, len(names))})), False
    first = names[0]
    return (lambda: fn(*values, **{first: values[0]})), False


# Checks shared by every call.

def snapshot(args):
    """The bytes behind each argument (None for immutable ones)."""
    return [None if a.backing is None
            else a.backing.tobytes() if isinstance(a.backing, np.ndarray)
            else bytes(memoryview(a.backing).cast("B")) for a in args]


def invoke(call, args, target):
    """Runs call(); returns (result, None) or (None, exception). Fails on
    SystemError and on any change to the arguments' memory."""
    global calls
    if last_input:
        with open(last_input, "w") as f:
            f.write(f"{target}: " + "\n    ".join(a.spec for a in args) + "\n")
    before = snapshot(args)
    calls += 1
    try:
        result, error = call(), None
    except SystemError:
        raise
    except Exception as e:   # any ordinary exception is an answer
        result, error = None, e
    assert snapshot(args) == before, "an argument's memory changed"
    return result, error


def same_floats(got, expected):
    """Equal element for element: NaN matches NaN, and 0.0 does not match -0.0."""
    got = np.asarray(got, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    if got.shape != expected.shape:
        return False
    nans = np.isnan(got)
    return bool(np.array_equal(nans, np.isnan(expected))
                and np.array_equal(got[~nans].view(np.int64), expected[~nans].view(np.int64)))


def values_of(arg):
    """The doubles a native float64 one-dimensional argument holds."""
    return [] if arg.obj is None else np.asarray(arg.obj, dtype=np.float64).tolist()


# rebin_histogram_cy

REBIN_NAMES = ["energy_axis", "count_axis", "new_energy_axis"]


def some_kinds(draw):
    """Mostly the kinds a function takes, sometimes any kind."""
    if draw(st.integers(0, 4)) == 0:
        return VALID_1D + INVALID_1D + UNKNOWN_1D
    return ["ndarray", "ndarray", "strided", "strided", "array_d", "memoryview_d", "none"]


@st.composite
def long_ascending(draw, size):
    """`size` finite edges that never decrease: ties, signed zeros,
    subnormals and magnitudes near the largest double among them."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    finite = [x for x in SPECIAL if math.isfinite(x)]
    pool = np.concatenate([rng.uniform(-1e3, 1e3, 400), rng.integers(-5, 5, 100), finite])
    return sorted(rng.choice(pool, size).tolist())


@st.composite
def rebin_args(draw):
    """Edges, counts (one fewer than the edges, or not) and new edges; now and
    then over a thousand ascending edges in all, for the interleaved walk."""
    if draw(st.integers(0, 3)) == 0:
        edges = draw(long_ascending(draw(st.integers(500, 700))))
        new_edges = draw(long_ascending(draw(st.integers(500, 700))))
        rng = np.random.default_rng(len(edges) * len(new_edges))
        counts = rng.choice(SPECIAL + [1.0, -2.5, 100.0], len(edges) - 1).tolist()
    else:
        edges = draw(float_lists(max_size=10))
        counts_n = draw(st.sampled_from([len(edges) - 1, len(edges) - 1, len(edges),
                                         len(edges) - 2]))
        counts = draw(float_lists(min_size=max(counts_n, 0), max_size=max(counts_n, 0)))
        new_edges = draw(float_lists(min_size=draw(st.integers(0, 7)) > 0, max_size=10))
    return [draw(one_d(some_kinds(draw), v)) for v in (edges, counts, new_edges)]


@given(args=rebin_args(), shape=call_shapes(REBIN_NAMES))
def fuzz_rebin(args, shape):
    call, well_formed = make_call(rebin.rebin_histogram_cy, REBIN_NAMES,
                                  [a.obj for a in args], shape)
    result, error = invoke(call, args, "rebin_histogram_cy")
    if not well_formed:
        outcomes["malformed call refused"] += 1
        assert isinstance(error, TypeError), error
        return
    if any(a.kind in INVALID_1D or a.kind == "readonly" for a in args):
        outcomes["argument refused"] += 1
        assert error is not None, "an invalid argument was accepted"
        return
    if any(a.kind not in VALID_1D for a in args):
        outcomes["odd exporter, memory checked"] += 1
        return
    edges, counts, new_edges = map(values_of, args)
    if len(new_edges) < 1:
        outcomes["no new bins refused"] += 1
        assert isinstance(error, ValueError), error
    elif counts and len(edges) <= len(counts):
        outcomes["too few edges refused"] += 1
        assert isinstance(error, IndexError), error
    else:
        outcomes["equal to the reference"] += 1
        assert error is None, error
        assert type(result) is np.ndarray and result.dtype == np.float64
        assert same_floats(result, rebin_histogram(edges, counts, new_edges))
        assert not any(isinstance(a.obj, np.ndarray) and np.shares_memory(result, a.obj)
                       for a in args)


# respgrid_cy

RESPGRID_NAMES = ["response_matrix", "ref_indices", "ref_E_axis", "requested_indices",
                  "requested_E_axis"]
energies = st.floats(-50, 3200)


@st.composite
def respgrid_problem(draw):
    """Lists for the five arguments: mostly a problem whose requested
    energies lie between reference energies, sometimes anything."""
    if draw(st.integers(0, 7)) == 0:
        ref_indices = draw(float_lists(max_size=5))
        requested = draw(float_lists(max_size=3))
    else:
        ref_indices = sorted(draw(st.lists(st.floats(20, 3000), min_size=2, max_size=5,
                                           unique=True)))
        inside = st.one_of(st.sampled_from(ref_indices[1:]),
                           st.floats(ref_indices[0], ref_indices[-1], exclude_min=True))
        stray = st.integers(0, 15).flatmap(lambda k: floats if k == 0 else inside)
        requested = draw(st.lists(stray, max_size=3))
    axis_values = st.one_of(energies, energies, energies, floats)
    ref_E_axis = draw(float_lists(max_size=12, elements=axis_values))
    requested_E_axis = draw(float_lists(min_size=draw(st.sampled_from([0, 1, 1, 1])),
                                        max_size=16, elements=axis_values))
    n_rows = max(len(ref_indices) + draw(st.sampled_from([0, 0, 0, -1, 1])), 0)
    n_cols = max(len(ref_E_axis) + draw(st.sampled_from([0, 0, 1, 2, -1])), 0)
    cell = st.one_of(st.floats(0, 10), st.floats(0, 10), floats)
    matrix = [draw(st.lists(cell, min_size=n_cols, max_size=n_cols)) for _ in range(n_rows)]
    return matrix, ref_indices, ref_E_axis, requested, requested_E_axis


@st.composite
def respgrid_args(draw):
    """Each argument mostly of a kind the function takes, sometimes any."""
    matrix, *vectors = draw(respgrid_problem())
    taken = ["ndarray", "fortran", "strided", "transposed", "readonly"]
    args = [draw(two_d(VALID_2D + INVALID_2D + UNKNOWN_2D if draw(st.integers(0, 7)) == 0
                       else taken, matrix))]
    for values in vectors:
        kinds = (VALID_1D + INVALID_1D + UNKNOWN_1D if draw(st.integers(0, 7)) == 0
                 else ["ndarray", "strided", "ndarray"])
        args.append(draw(one_d(kinds, values)))
    return args


def surely_refused(obj, ndim):
    """Not an ndarray, or not native float64 of `ndim` dimensions."""
    return (not isinstance(obj, np.ndarray) or obj.dtype != np.dtype(np.float64)
            or obj.ndim != ndim)


def respgrid_valid(args):
    """Exact float64 ndarrays of the documented dimensions, writable where the
    function takes a writable view."""
    return all(type(a.obj) is np.ndarray and not surely_refused(a.obj, 2 if i == 0 else 1)
               and (a.obj.flags.writeable or i in (0, 3)) for i, a in enumerate(args))


@given(args=respgrid_args(), shape=call_shapes(RESPGRID_NAMES))
def fuzz_respgrid(args, shape):
    call, well_formed = make_call(respgrid.respgrid_cy, RESPGRID_NAMES,
                                  [a.obj for a in args], shape)
    with np.errstate(all="ignore"):
        result, error = invoke(call, args, "respgrid_cy")
    if not well_formed:
        outcomes["malformed call refused"] += 1
        assert isinstance(error, TypeError), error
        return
    if any(surely_refused(a.obj, 2 if i == 0 else 1) for i, a in enumerate(args)):
        outcomes["argument refused"] += 1
        assert error is not None, "an invalid argument was accepted"
        return
    if not respgrid_valid(args):
        outcomes["subclass or read-only, memory checked"] += 1
        return
    objs = [a.obj for a in args]
    with np.errstate(all="ignore"):
        try:
            expected = reference_respgrid(*objs)
        except Exception as e:
            outcomes["refused with the reference"] += 1
            assert error is not None, f"the reference raised {e!r}, the call returned"
            return
    if error is not None:
        # The one refusal that the literal algorithm does not make: columns
        # the channel loop would read past.
        outcomes["narrow matrix refused"] += 1
        matrix, _, ref_E_axis, requested, _ = objs
        assert (isinstance(error, ValueError) and len(requested) > 0
                and matrix.shape[1] < len(ref_E_axis)), error
        return
    outcomes["equal to the reference"] += 1
    assert [x.dtype for x in result] == [np.int64, np.int32, np.float64]
    assert [x.tobytes() for x in result] == [x.tobytes() for x in expected]


# calculate_regions

REGIONS_NAMES = ["E_p", "max_value", "has_escape_peaks"]


class BadFloat:
    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, Exception):
            raise self.outcome
        return self.outcome

    def __repr__(self):
        return f"BadFloat({self.outcome!r})"


numbers = st.one_of(floats, floats, floats, st.integers(-2 ** 70, 2 ** 70),
                    st.sampled_from([10 ** 400, -10 ** 400, True, False]),
                    floats.map(np.float64), st.floats(width=32).map(np.float32),
                    st.integers(-2 ** 63, 2 ** 63 - 1).map(np.int64))
non_numbers = st.one_of(st.sampled_from([None, "661.7", b"1", 1j, [1.0], object()]),
                        st.sampled_from([1.0, "x", 2, ArithmeticError("no float"),
                                         KeyError("k")]).map(BadFloat))
flags = st.sampled_from([True, False, None, True, False, 1, 0, "yes", np.bool_(True)])


def converted(x):
    """float(x) as the function converts its energies: the value, or the type
    of the exception it must raise."""
    if isinstance(x, BadFloat):
        if isinstance(x.outcome, Exception):
            return type(x.outcome)
        return x.outcome if type(x.outcome) is float else TypeError
    if not isinstance(x, (bool, int, float, np.floating, np.integer)):
        return TypeError
    try:
        return float(x)
    except OverflowError:
        return OverflowError


@given(E_p=st.one_of(numbers, numbers, numbers, non_numbers),
       max_value=st.one_of(numbers, numbers, numbers, non_numbers),
       flag=flags, shape=call_shapes(REGIONS_NAMES))
def fuzz_regions(E_p, max_value, flag, shape):
    values = [E_p, max_value, flag]
    call, well_formed = make_call(respgrid.calculate_regions, REGIONS_NAMES, values, shape)
    spec = Arg(None, None, "scalar", repr(values))
    result, error = invoke(call, [spec], "calculate_regions")
    if not well_formed:
        outcomes["malformed call refused"] += 1
        assert isinstance(error, TypeError), error
        return
    # Converted in order: E_p, max_value, then the flag must be a bool or None.
    E_p, max_value = converted(E_p), converted(max_value)
    flag_error = None if flag is True or flag is False or flag is None else TypeError
    for outcome in (E_p, max_value, flag_error):
        if isinstance(outcome, type):
            outcomes["argument refused"] += 1
            assert type(error) is outcome, error
            return
    outcomes["equal to the reference"] += 1
    assert error is None, error
    with np.errstate(all="ignore"):
        expected = reference_regions(E_p, max_value, flag)
    assert [type(x) for x in result] == [type(x) for x in expected]
    assert same_floats(result, expected)


TARGETS = {"rebin": fuzz_rebin, "respgrid": fuzz_respgrid, "regions": fuzz_regions}


def main():
    global oddbuffer, last_input
    parser = argparse.ArgumentParser()
    parser.add_argument("target", choices=TARGETS)
    parser.add_argument("--examples", type=int, default=100)
    parser.add_argument("--oddbuffer")
    parser.add_argument("--last-input")
    options = parser.parse_args()
    if options.oddbuffer:
        spec = importlib.util.spec_from_file_location("oddbuffer", options.oddbuffer)
        oddbuffer = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(oddbuffer)
    last_input = options.last_input
    test = settings(max_examples=options.examples, deadline=None,
                    suppress_health_check=list(HealthCheck))(TARGETS[options.target])
    test()
    print(f"calls: {calls}")
    for name, count in sorted(outcomes.items()):
        print(f"  {name}: {count}")


if __name__ == "__main__":
    sys.exit(main())
