"""Histogram counts redistributed onto new bin edges."""

from collections.abc import Buffer

import numpy as np
import numpy.typing as npt

__test__: dict[str, object]

def rebin_histogram_cy(
    energy_axis: Buffer | None,
    count_axis: Buffer | None,
    new_energy_axis: Buffer | None,
) -> npt.NDArray[np.float64]:
    """The counts of the bins between `energy_axis` edges shared among the bins
    between `new_energy_axis` edges in proportion to their overlap."""
