"""A synthetic detector response, for the demo, the benchmarks and the tests.

Each row is the response of a detector to photons of one incident energy E
(keV) on an energy axis: a Gaussian photopeak at E, a Compton continuum that
rises towards the Compton edge and stops there, a backscatter peak, and above
1022 keV the single and double escape peaks at E - 511 and E - 1022. Far
above the photopeak a row is exactly zero, so about half of an interpolated
row is stored in sparse form.
"""

import numpy as np


def synthetic_response(ref_energies, axis):
    """One row per incident energy in `ref_energies`, one column per entry of
    `axis`, as a float64 array."""
    axis = np.asarray(axis, dtype=float)
    rows = []
    for E in np.asarray(ref_energies, dtype=float):
        sigma = 1.0 + 0.03 * np.sqrt(E)   # resolution grows with energy
        backscatter = E / (2.0 * E / 511.0 + 1.0)
        edge = E - backscatter

        def peak(centre, width):
            return np.exp(-0.5 * ((axis - centre) / width) ** 2)

        row = peak(E, sigma)
        row += 0.4 * np.where(axis < edge, 0.5 + 0.5 * axis / edge, 0.0)
        row += 0.1 * peak(backscatter, 3 * sigma)
        if E > 1022.0:
            row += 0.2 * peak(E - 511.0, sigma) + 0.1 * peak(E - 1022.0, sigma)
        rows.append(row)
    return np.array(rows)
