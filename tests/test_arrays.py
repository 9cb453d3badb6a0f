"""Array acceptance: which buffers the kernels take, and the messages for the
others. Views are reached through rebin_histogram_cy's first argument."""

import array
import ctypes
import sys

import numpy as np
import pytest

from support import REBIN, our_frames
from vantor.utils.numerics.accel import rebin

NEW_EDGES = np.array([0.0, 1.5, 3.0])


def take_as_view(obj):
    """rebin_histogram_cy with `obj` as its old edges and ones as counts."""
    counts = np.ones(max(len(memoryview(obj)) - 1, 0)) if obj is not None else None
    return rebin.rebin_histogram_cy(obj, counts, NEW_EDGES)


def expected_for(values):
    return rebin.rebin_histogram_cy(np.array(values, dtype=float),
                                    np.ones(len(values) - 1), NEW_EDGES)


class Point(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double)]


MISMATCH = "Buffer dtype mismatch, expected 'double' but got {}"
BIG_ENDIAN = "Big-endian buffer not supported on little-endian compiler"

REFUSED = [
    (lambda: np.zeros(3, np.float32), ValueError, MISMATCH.format("'float'")),
    (lambda: np.zeros(3, np.int64), ValueError, MISMATCH.format("'long'")),
    (lambda: np.zeros(3, np.complex128), ValueError, MISMATCH.format("'complex double'")),
    (lambda: np.zeros(3, np.longdouble), ValueError, MISMATCH.format("'long double'")),
    (lambda: np.zeros(3, bool), ValueError, MISMATCH.format("'bool'")),
    (lambda: np.zeros(3, object), ValueError, MISMATCH.format("Python object")),
    (lambda: np.zeros(3, ">f8"), ValueError, BIG_ENDIAN),
    (lambda: np.zeros((3, 1)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: np.zeros(3, [("a", "f8")]), ValueError, MISMATCH.format("a struct")),
    (lambda: np.zeros(3, [("a", "f8", (2,))]), ValueError, MISMATCH.format("a struct")),
    (lambda: np.zeros(3, "U1"), ValueError,
     "Does not understand character buffer dtype format string ('w')"),
    (lambda: array.array("f", [0, 1, 2]), ValueError, MISMATCH.format("'float'")),
    (lambda: array.array("q", [0, 1, 2]), ValueError, MISMATCH.format("'long long'")),
    (lambda: memoryview(bytearray(24)), ValueError, MISMATCH.format("'unsigned char'")),
    (lambda: memoryview(bytearray(24)).cast("i"), ValueError, MISMATCH.format("'int'")),
    (lambda: (ctypes.c_float * 3)(), ValueError, MISMATCH.format("'float'")),
    (lambda: (ctypes.c_double.__ctype_be__ * 3)(), ValueError, BIG_ENDIAN),
    (lambda: (ctypes.c_longdouble * 3)(), ValueError,
     "Python does not define a standard format string size for long double ('g').."),
    (lambda: (Point * 3)(), ValueError, MISMATCH.format("a struct")),
    (lambda: [0.0, 1.0], TypeError, "a bytes-like object is required, not 'list'"),
    (lambda: np.zeros(3)[None, :].T.T, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
]


@pytest.mark.parametrize(("make", "exc_type", "message"), REFUSED)
def test_refused_exporters(make, exc_type, message):
    obj = make()
    with pytest.raises(exc_type) as exc:
        rebin.rebin_histogram_cy(obj, None, NEW_EDGES)
    assert str(exc.value) == message
    assert our_frames(exc) == [(REBIN, 4)]


def test_read_only_buffers_are_refused_as_writable_views():
    frozen = np.arange(3.0)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="^buffer source array is read-only$"):
        rebin.rebin_histogram_cy(frozen, None, NEW_EDGES)
    with pytest.raises(BufferError):
        rebin.rebin_histogram_cy(memoryview(bytes(24)).cast("d"), None, NEW_EDGES)


@pytest.mark.parametrize(
    "make",
    [
        lambda v: array.array("d", v),
        lambda v: memoryview(bytearray(np.array(v).tobytes())).cast("d"),
        lambda v: (ctypes.c_double * len(v))(*v),
        lambda v: np.array(v),
        # Strided, reversed and offset windows are read in place.
        lambda v: np.repeat(np.array(v), 3)[::3],
        lambda v: np.array(v[::-1])[::-1],
        lambda v: np.stack([np.array(v), np.array(v)], axis=1)[:, 1],
    ],
)
def test_accepted_exporters(make):
    values = [0.0, 0.5, 2.0, 3.5]
    assert np.array_equal(take_as_view(make(values)), expected_for(values))


def test_none_and_empty_arrays_are_views_of_length_zero():
    for empty in (None, np.zeros(0), np.zeros(0)[::-1], array.array("d")):
        result = rebin.rebin_histogram_cy(empty, empty, NEW_EDGES)
        assert np.array_equal(result, np.zeros(2))


def test_failed_acceptance_gives_back_what_it_took():
    taken = array.array("d", [0.0, 1.0, 2.0])
    refused = array.array("f", [1.0, 2.0])
    before = sys.getrefcount(taken), sys.getrefcount(refused)
    with pytest.raises(ValueError):
        rebin.rebin_histogram_cy(taken, refused, NEW_EDGES)
    assert (sys.getrefcount(taken), sys.getrefcount(refused)) == before
    taken.append(3.0)     # BufferError if a buffer were still exported
    refused.append(3.0)


# Format strings and layouts that common exporters never produce, through the
# test-only exporter of tests/native/oddbuffer.c.

def odd(oddbuffer, fmt, itemsize=8, shape=(3,), strides=None, suboffsets=None, values=None):
    memory = bytearray(np.asarray(values if values is not None else [0.0, 1.0, 2.0],
                                  dtype=float).tobytes())
    if strides is None and shape is not None:
        strides = [itemsize] * len(shape)
    elif strides == "none":
        strides = None
    return oddbuffer.OddBuffer(memory, fmt, itemsize, shape, strides, suboffsets)


@pytest.mark.parametrize(
    ("fmt", "itemsize", "message"),
    [
        ("d", 8, None), ("<d", 8, None), ("=d", 8, None), ("@d", 8, None), ("^d", 8, None),
        (" d\n", 8, None), (":x:d", 8, None), ("d:x:", 8, None), ("=:a b:d", 8, None),
        ("1d", 8, None), ("0xd", 8, None),
        (">d", 8, BIG_ENDIAN), ("!d", 8, BIG_ENDIAN),
        ("", 8, MISMATCH.format("end")),
        (":x:", 8, MISMATCH.format("end")),
        ("f", 8, MISMATCH.format("'float'")),
        ("Zd", 8, MISMATCH.format("'complex double'")),
        ("Zf", 8, MISMATCH.format("'complex float'")),
        ("Zg", 8, MISMATCH.format("'complex long double'")),
        ("Zi", 8, "Unexpected format string character: 'Z'"),
        ("=l", 8, MISMATCH.format("'long'")),
        ("Q", 8, MISMATCH.format("'unsigned long long'")),
        ("P", 8, MISMATCH.format("a pointer")),
        ("8s", 8, MISMATCH.format("a string")),
        ("c", 8, MISMATCH.format("'char'")),
        ("e", 8, MISMATCH.format("unparsable format string")),
        ("<g", 8, "Python does not define a standard format string size for long double ('g').."),
        ("dd", 8, "Buffer dtype mismatch, expected end but got 'double'"),
        ("2d", 8, "Buffer dtype mismatch, expected end but got 'double'"),
        ("di", 8, "Buffer dtype mismatch, expected end but got 'int'"),
        ("T{d:x:}", 8, MISMATCH.format("a struct")),
        ("Td", 8, "Buffer acquisition: Expected '{' after 'T'"),
        ("(2)d", 8, "Expected 0 dimension(s), got 1"),
        ("(2, 3)d", 8, "Expected 0 dimension(s), got 2"),
        ("(2", 8, "Unexpected end of format string, expected ')'"),
        ("(2;3)d", 8, "Expected a comma in format string, got ';'"),
        ("y", 8, "Does not understand character buffer dtype format string ('y')"),
        ("d", 4, "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"),
        ("d", 1, "Item size of buffer (1 byte) does not match size of 'double' (8 bytes)"),
    ],
)
def test_format_strings(oddbuffer, fmt, itemsize, message):
    obj = odd(oddbuffer, fmt, itemsize)
    if message is None:
        assert np.array_equal(take_as_view(obj), expected_for([0.0, 1.0, 2.0]))
        return
    with pytest.raises(ValueError) as exc:
        rebin.rebin_histogram_cy(obj, None, NEW_EDGES)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    ("shape", "strides", "suboffsets", "message"),
    [
        # Exporters that fill in no strides are read as C-contiguous, and one
        # with no shape as len / itemsize elements.
        ((3,), "none", None, None),
        (None, "none", None, None),
        ((3,), None, [-1], None),
        ((3,), None, [0], "Buffer not compatible with direct access in dimension 0."),
        ((3,), "none", [-1], "Buffer exposes suboffsets but no strides"),
        ((0,), None, [0], "empty"),
    ],
)
def test_layouts(oddbuffer, shape, strides, suboffsets, message):
    obj = odd(oddbuffer, "d", shape=shape, strides=strides, suboffsets=suboffsets)
    if message is None:
        assert np.array_equal(take_as_view(obj), expected_for([0.0, 1.0, 2.0]))
    elif message == "empty":
        assert np.array_equal(rebin.rebin_histogram_cy(obj, obj, NEW_EDGES), np.zeros(2))
    else:
        with pytest.raises(ValueError) as exc:
            rebin.rebin_histogram_cy(obj, None, NEW_EDGES)
        assert str(exc.value) == message
