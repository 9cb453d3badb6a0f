"""Chunked, parallel builds (examples/parallel_respgrid.py) give what one call gives."""

import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest
import scipy.sparse

from parallel_respgrid import respgrid_chunked, stitch_csr
from synthetic_response import synthetic_response
from vantor.utils.numerics.accel import respgrid


@pytest.fixture(scope="module")
def problem():
    """A reference matrix and 150 requested energies in no particular order,
    some equal to reference energies, some with escape peaks."""
    ref_indices = np.array([60.0, 200.0, 500.0, 900.0, 1100.0, 1600.0, 2300.0, 3000.0])
    ref_E_axis = np.linspace(1.0, 3100.0, 700)
    matrix = synthetic_response(ref_indices, ref_E_axis)
    requested = np.random.default_rng(3).uniform(60.5, 3000.0, 150)
    requested[10:17] = ref_indices[1:]
    requested_E_axis = np.linspace(0.5, 3099.5, 800)
    return matrix, ref_indices, ref_E_axis, requested, requested_E_axis


def assert_identical(got, expected):
    assert [x.dtype for x in got] == [x.dtype for x in expected]
    for g, e in zip(got, expected):
        assert g.shape == e.shape and g.tobytes() == e.tobytes()


@pytest.mark.parametrize(
    ("workers", "chunk_rows"),
    [(1, 1), (2, 7), (3, 64), (2, 149), (2, 150), (2, 1000)],
)
def test_chunked_build_is_identical_to_one_call(problem, workers, chunk_rows):
    expected = respgrid.respgrid_cy(*problem)
    assert_identical(respgrid_chunked(*problem, workers=workers, chunk_rows=chunk_rows),
                     expected)


@pytest.mark.parametrize(
    "view",
    [lambda a: a[::-1], lambda a: a[::3], lambda a: a[:0], "read-only"],
    ids=["reversed", "strided", "empty", "read-only"],
)
def test_requested_energies_of_any_layout(problem, view):
    matrix, ref_indices, ref_E_axis, requested, requested_E_axis = problem
    if view == "read-only":
        requested = requested.copy()
        requested.flags.writeable = False
    else:
        requested = view(requested)
    inputs = (matrix, ref_indices, ref_E_axis, requested, requested_E_axis)
    assert_identical(respgrid_chunked(*inputs, workers=2, chunk_rows=9),
                     respgrid.respgrid_cy(*inputs))


def test_process_pool(problem):
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(2, mp_context=context) as pool:
        got = respgrid_chunked(*problem, chunk_rows=40, executor=pool)
    assert_identical(got, respgrid.respgrid_cy(*problem))


def test_progress_is_reported_per_chunk_in_row_order(problem):
    calls = []
    respgrid_chunked(*problem, workers=2, chunk_rows=40,
                     progress=lambda done, total: calls.append((done, total)))
    assert calls == [(40, 150), (80, 150), (120, 150), (150, 150)]


def test_stitching_row_blocks_with_empty_rows_and_blocks():
    rng = np.random.default_rng(5)
    dense = rng.random((40, 30)) * (rng.random((40, 30)) < 0.15)
    dense[[3, 4, 20, 21, 22, 23]] = 0.0   # empty rows, and the empty block 20:24
    whole = scipy.sparse.csr_array(dense)
    cuts = [0, 5, 20, 24, 24, 39, 40]
    pieces = []
    for start, stop in zip(cuts, cuts[1:]):
        block = whole[start:stop]
        pieces.append((block.indptr.astype(np.int64), block.indices.astype(np.int32),
                       block.data))
    indptr, cols, values = stitch_csr(pieces)
    assert (indptr.dtype, cols.dtype, values.dtype) == (np.int64, np.int32, np.float64)
    assert indptr.tolist() == whole.indptr.tolist()
    assert cols.tolist() == whole.indices.tolist()
    assert values.tolist() == whole.data.tolist()


@pytest.mark.parametrize(
    ("position", "value", "exc_type", "in_chunks"),
    [
        (3, "unbracketed", ValueError, True),   # row 100 of requested_indices
        (0, None, TypeError, True),
        (3, None, TypeError, False),            # not an ndarray: one call
    ],
)
def test_errors_are_the_module_errors(problem, position, value, exc_type, in_chunks):
    inputs = list(problem)
    if value == "unbracketed":
        inputs[3] = inputs[3].copy()
        inputs[3][[100, 140]] = [3000.5, np.nan]   # the first one is reported
    else:
        inputs[position] = value
    with pytest.raises(exc_type) as single:
        respgrid.respgrid_cy(*inputs)
    with pytest.raises(exc_type) as chunked:
        respgrid_chunked(*inputs, workers=2, chunk_rows=32)
    if not in_chunks:
        assert str(chunked.value) == str(single.value)
        assert not hasattr(chunked.value, "__notes__")
        return
    failing = slice(96, 128) if value == "unbracketed" else slice(0, 32)
    inputs[3] = inputs[3][failing]
    with pytest.raises(exc_type) as chunk_alone:
        respgrid.respgrid_cy(*inputs)
    assert str(chunked.value) == str(chunk_alone.value)
    assert chunked.value.__notes__ == [
        f"in the chunk of requested_indices[{failing.start}:{failing.stop}]"]


def test_chunk_rows_must_be_positive(problem):
    with pytest.raises(ValueError, match="chunk_rows must be at least 1"):
        respgrid_chunked(*problem, chunk_rows=0)
