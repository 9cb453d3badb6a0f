"""The response-matrix driver and row interpolation with literal scans from
position 0, NumPy float64 scalars for every operation (so a zero divisor
gives inf or NaN), and the same NumPy calls in the same order."""

import numpy as np

f64 = np.float64


def find_first_not_below(x, a):
    for i in range(len(a)):
        if not (x > a[i]):
            return i
    return -1


def calculate_regions(E_p, max_value, has_escape_peaks):
    E_p = f64(E_p)
    B = E_p / (((E_p + E_p) / f64(511.0)) + f64(1.0))
    if not has_escape_peaks:
        return [0, float(B), float(E_p - B), float(E_p - 10.0), float(E_p + 10.0),
                float(max_value)]
    return sorted([0, float(B), float(E_p - B), float(E_p - 10.0), float(E_p + 10.0),
                   float(E_p - 511.0), float(E_p - 1022.0), float(max_value)])


def interpolate_on_axis(y, ref_E_axis, row):
    m = find_first_not_below(y, ref_E_axis)
    if m <= 0:
        return f64(np.nan)
    return ((row[m] - row[m - 1]) * (y - ref_E_axis[m - 1])
            / (ref_E_axis[m] - ref_E_axis[m - 1]) + row[m - 1])


def interpolate_response_row(E_requested, requested_E_axis, ref_E_axis, E_lo, row_lo,
                             E_hi, row_hi, out_row):
    E_requested, E_lo, E_hi = f64(E_requested), f64(E_lo), f64(E_hi)
    escape = bool(E_lo > 1022.0)
    max_value = float(np.max(requested_E_axis))
    regions_lo = np.asarray(calculate_regions(E_lo, max_value, escape), dtype=np.float64)
    max_value = float(np.max(requested_E_axis))
    regions_hi = np.asarray(calculate_regions(E_hi, max_value, escape), dtype=np.float64)
    weight = float((E_requested - E_lo) / (E_hi - E_lo))
    regions = weight * (regions_hi - regions_lo) + regions_lo
    for i, x in enumerate(requested_E_axis):
        k = find_first_not_below(x, regions)
        if k < 1:
            out_row[i] = np.nan
            continue
        frac = (x - regions[k - 1]) / (regions[k] - regions[k - 1])
        y_hi = (regions_hi[k] - regions_hi[k - 1]) * frac + regions_hi[k - 1]
        y_lo = (regions_lo[k] - regions_lo[k - 1]) * frac + regions_lo[k - 1]
        v_hi = interpolate_on_axis(y_hi, ref_E_axis, row_hi)
        v_lo = interpolate_on_axis(y_lo, ref_E_axis, row_lo)
        out_row[i] = (E_requested - E_lo) * (v_hi - v_lo) / (E_hi - E_lo) + v_lo


def respgrid(response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis):
    indptr, col_indices, values = [0], [], []
    out_row = np.empty(requested_E_axis.shape[0], dtype=np.float64)
    for v in requested_indices:
        idx_hi = find_first_not_below(v, ref_indices)
        assert idx_hi >= 1, "outside the reference energies"
        idx_lo = idx_hi - 1
        E_hi, E_lo = ref_indices[idx_hi], ref_indices[idx_lo]
        row_hi = response_matrix[idx_hi] / np.sum(response_matrix[idx_hi])
        row_lo = response_matrix[idx_lo] / np.sum(response_matrix[idx_lo])
        interpolate_response_row(v, requested_E_axis, ref_E_axis, E_lo, row_lo, E_hi, row_hi,
                                 out_row)
        out_row /= np.nansum(out_row)
        for k, entry in enumerate(out_row):
            if entry > 1e-12:
                col_indices.append(k)
                values.append(float(entry))
        indptr.append(len(values))
    return (np.asarray(indptr, dtype=np.int64), np.asarray(col_indices, dtype=np.int32),
            np.asarray(values, dtype=np.float64))
