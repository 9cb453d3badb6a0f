"""What the package's kernels are measured against.

literal: the kernels written straightforwardly in C (bench/native/literal.c:
the rebinning sweep; the channel loop with linear scans from position 0 for
every channel), driven from Python with the NumPy calls that define a row
of respgrid_cy.

numpy: what a user would otherwise write in NumPy: rebinning by interpolating
the cumulative counts at the new edges; each response row vectorised, with
np.searchsorted over running maxima in place of the scans and the same
arithmetic.
"""

import importlib.machinery
import importlib.util
import os
import subprocess
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

from vantor.utils.numerics.accel.respgrid import calculate_regions

NATIVE = Path(__file__).parent / "native"


def load_literal():
    """Compiles bench/native/literal.c for this interpreter and imports it."""
    out_dir = Path(tempfile.mkdtemp(prefix="accel-bench-"))
    out = out_dir / ("literal" + importlib.machinery.EXTENSION_SUFFIXES[0])
    subprocess.run(
        [os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O2", "-ffp-contract=off",
         "-I", sysconfig.get_paths()["include"], str(NATIVE / "literal.c"), "-o", str(out)],
        check=True,
    )
    spec = importlib.util.spec_from_file_location("literal", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


literal = load_literal()


def rebin_literal(energy_axis, count_axis, new_energy_axis):
    new_counts = np.zeros(len(new_energy_axis) - 1, dtype=np.float64)
    literal.rebin(energy_axis, count_axis, new_energy_axis, new_counts)
    return new_counts


def rebin_numpy(energy_axis, count_axis, new_energy_axis):
    cumulative = np.concatenate(([0.0], np.cumsum(count_axis)))
    return np.diff(np.interp(new_energy_axis, energy_axis, cumulative))


def _boundaries(E_requested, requested_E_axis, E_lo, E_hi, axis_for_max=None):
    """The boundaries of E_lo, E_hi and E_requested. `axis_for_max` is what
    np.max is given (respgrid_cy hands NumPy a buffer object, not the array)."""
    axis_for_max = requested_E_axis if axis_for_max is None else axis_for_max
    escape = bool(E_lo > 1022.0)
    max_value = float(np.max(axis_for_max))
    regions_lo = np.asarray(calculate_regions(E_lo, max_value, escape), dtype=np.float64)
    max_value = float(np.max(axis_for_max))
    regions_hi = np.asarray(calculate_regions(E_hi, max_value, escape), dtype=np.float64)
    weight = (E_requested - E_lo) / (E_hi - E_lo)
    return regions_lo, regions_hi, weight * (regions_hi - regions_lo) + regions_lo


def _bracket(v, ref_indices):
    for j, ref in enumerate(ref_indices):
        if not v > ref:
            return j
    return -1


def respgrid_literal(response_matrix, ref_indices, ref_E_axis, requested_indices,
                     requested_E_axis):
    indptr, col_indices, values = [0], [], []
    out_row = np.empty(requested_E_axis.shape[0], dtype=np.float64)
    ref_list = ref_indices.tolist()
    for v in requested_indices.tolist():
        idx_hi = _bracket(v, ref_list)
        E_hi, E_lo = ref_list[idx_hi], ref_list[idx_hi - 1]
        row_hi = response_matrix[idx_hi] / np.sum(response_matrix[idx_hi])
        row_lo = response_matrix[idx_hi - 1] / np.sum(response_matrix[idx_hi - 1])
        regions_lo, regions_hi, regions = _boundaries(v, requested_E_axis, E_lo, E_hi,
                                                      memoryview(requested_E_axis))
        literal.fill_row(v, requested_E_axis, ref_E_axis, E_lo, row_lo, E_hi, row_hi,
                         regions_lo, regions_hi, regions, out_row)
        out_row /= np.nansum(out_row)
        literal.extract(out_row, col_indices, values)
        indptr.append(len(values))
    return (np.asarray(indptr, dtype=np.int64), np.asarray(col_indices, dtype=np.int32),
            np.asarray(values, dtype=np.float64))


def _first_not_below(a, x):
    """First position not below each x, for arrays without NaN; -1 past the end."""
    found = np.searchsorted(np.maximum.accumulate(a), x, side="left")
    return np.where(found < len(a), found, -1)


def _on_axis(y, ref_E_axis, row):
    m = _first_not_below(ref_E_axis, y)
    placed = m >= 1
    m = np.where(placed, m, 1)
    value = (row[m] - row[m - 1]) * (y - ref_E_axis[m - 1]) / (ref_E_axis[m] - ref_E_axis[m - 1])
    return np.where(placed, value + row[m - 1], np.nan)


def numpy_row(E_requested, requested_E_axis, ref_E_axis, E_lo, row_lo, E_hi, row_hi):
    """One interpolated row, vectorised, normalised and in sparse form."""
    regions_lo, regions_hi, regions = _boundaries(E_requested, requested_E_axis, E_lo, E_hi)
    x = requested_E_axis
    k = _first_not_below(regions, x)
    placed = k >= 1
    k = np.where(placed, k, 1)
    frac = (x - regions[k - 1]) / (regions[k] - regions[k - 1])
    y_hi = (regions_hi[k] - regions_hi[k - 1]) * frac + regions_hi[k - 1]
    y_lo = (regions_lo[k] - regions_lo[k - 1]) * frac + regions_lo[k - 1]
    v_hi = _on_axis(y_hi, ref_E_axis, row_hi)
    v_lo = _on_axis(y_lo, ref_E_axis, row_lo)
    out = np.where(placed, (E_requested - E_lo) * (v_hi - v_lo) / (E_hi - E_lo) + v_lo, np.nan)
    out /= np.nansum(out)
    columns = np.flatnonzero(out > 1e-12)
    return columns, out[columns]


def respgrid_numpy(response_matrix, ref_indices, ref_E_axis, requested_indices,
                   requested_E_axis):
    idx_hi = np.searchsorted(ref_indices, requested_indices, side="left")
    rows = []
    for v, hi in zip(requested_indices, idx_hi):
        row_hi = response_matrix[hi] / np.sum(response_matrix[hi])
        row_lo = response_matrix[hi - 1] / np.sum(response_matrix[hi - 1])
        rows.append(numpy_row(v, requested_E_axis, ref_E_axis, ref_indices[hi - 1], row_lo,
                              ref_indices[hi], row_hi))
    indptr = np.concatenate(([0], np.cumsum([len(c) for c, _ in rows])))
    return (indptr.astype(np.int64), np.concatenate([c for c, _ in rows]).astype(np.int32),
            np.concatenate([v for _, v in rows]))
