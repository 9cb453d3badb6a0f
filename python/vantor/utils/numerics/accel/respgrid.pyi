"""Detector response matrices interpolated region by region."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex
_F64Array = npt.NDArray[np.float64]

__test__: dict[str, object]

def calculate_regions(
    E_p: _Float, max_value: _Float, has_escape_peaks: bool | None
) -> list[float]:
    """[0, backscatter peak, Compton edge, E_p - 10, E_p + 10, max_value];
    with escape peaks also E_p - 511 and E_p - 1022, and sorted. The first
    item is the int 0."""

def respgrid_cy(
    response_matrix: _F64Array,
    ref_indices: _F64Array,
    ref_E_axis: _F64Array,
    requested_indices: _F64Array,
    requested_E_axis: _F64Array,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], _F64Array]:
    """The response matrix for `requested_indices` on `requested_E_axis` in CSR
    form: (indptr, col_indices, values)."""
