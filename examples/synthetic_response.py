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


def fwhm_keV(E):
    """Energy resolution (full width at half maximum, keV) at energy E (keV)
    of the detector that `detector_response` models: electronic noise plus
    charge-carrier statistics, as for a germanium detector."""
    return np.sqrt(1.5**2 + 0.004 * np.asarray(E, dtype=float))


def detector_response(ref_energies, channel_edges):
    """A more physical response: one row per incident energy (keV) in
    `ref_energies`, one column per channel between consecutive
    `channel_edges` (keV), each value the mean density of the channel.

    Per row: a Gaussian photopeak whose share of the row falls with energy;
    a Klein-Nishina Compton continuum from 0 to the Compton edge, the edge
    blurred by the resolution; a plateau of multiple scattering between the
    edge and the photopeak; a broad backscatter peak; and above 1022 keV
    single and double escape peaks that grow with the energy above the pair
    threshold. Rows are not normalised.
    """
    from scipy.special import erf, expit

    edges = np.asarray(channel_edges, dtype=float)
    lo, hi = edges[:-1], edges[1:]
    centre, width = 0.5 * (lo + hi), hi - lo

    def gaussian(mean, sigma):
        """Mean density over each channel of a unit-area Gaussian."""
        z_hi = (hi - mean) / (np.sqrt(2.0) * sigma)
        z_lo = (lo - mean) / (np.sqrt(2.0) * sigma)
        return 0.5 * (erf(z_hi) - erf(z_lo)) / width

    def falling(at, sigma):
        """1 well below `at`, 0 well above, a blurred step between."""
        return expit(-1.702 * (centre - at) / sigma)

    rows = []
    for E in np.asarray(ref_energies, dtype=float):
        sigma = fwhm_keV(E) / 2.3548
        eps = E / 511.0
        backscatter = E / (2.0 * eps + 1.0)
        edge = E - backscatter

        # Klein-Nishina: electron energy T = s E, 0 <= T <= edge.
        s = np.clip(centre, 0.0, edge) / E
        kn = 2.0 + s**2 / (eps**2 * (1.0 - s) ** 2) + s / (1.0 - s) * (s - 2.0 / eps)
        sigma_edge = fwhm_keV(edge) / 2.3548
        compton = kn * falling(edge, sigma_edge)
        compton /= np.sum(compton * width)
        plateau = (1.0 - falling(edge, sigma_edge)) * falling(E - 3.0 * sigma, sigma)
        plateau /= max(np.sum(plateau * width), 1e-300)

        photo = 1.0 / (1.0 + E / 400.0)          # photopeak share of the row
        pair = 0.6 * max(0.0, 1.0 - 1022.0 / E) ** 1.5
        sigma_b = np.hypot(fwhm_keV(backscatter) / 2.3548, 0.08 * backscatter)
        row = (photo * gaussian(E, sigma)
               + (1.0 - photo) * (0.93 * compton + 0.04 * plateau)
               + 0.03 * (1.0 - photo) * gaussian(backscatter, sigma_b))
        if E > 1022.0:
            row += photo * pair * (gaussian(E - 511.0, fwhm_keV(E - 511.0) / 2.3548)
                                   + 0.7 * gaussian(E - 1022.0, fwhm_keV(E - 1022.0) / 2.3548))
        rows.append(row)
    return np.array(rows)
