"""rebin_histogram_cy: counts moved onto new bin edges.

Each old bin hands every new bin the share of its count that their overlap
is of its width. Counts beyond the new edges are lost. Any writable 1-D
float64 buffer is accepted: NumPy arrays (also strided), array.array('d'),
memoryviews.

    python examples/rebin_histogram_cy.py
"""

import array

import numpy as np

from vantor.utils.numerics.accel import rebin


def main():
    rng = np.random.default_rng(7)
    energy_axis = np.arange(0.0, 201.0)                  # 200 bins of 1 keV
    count_axis = rng.poisson(50.0, 200).astype(np.float64)
    count_axis[95:105] += [10, 40, 120, 300, 420, 380, 250, 90, 30, 8]   # a peak

    coarse = rebin.rebin_histogram_cy(energy_axis, count_axis, np.arange(0.0, 201.0, 8.0))
    print(f"1 keV -> 8 keV bins: {len(count_axis)} -> {len(coarse)} bins, "
          f"counts {count_axis.sum():.1f} -> {coarse.sum():.1f}")

    # A shifted, non-uniform axis (a gain change); the part outside is lost.
    new_edges = 10.0 + 0.9 * np.arange(0.0, 200.0) + 2e-4 * np.arange(0.0, 200.0) ** 2
    shifted = rebin.rebin_histogram_cy(energy_axis, count_axis, new_edges)
    print(f"onto {new_edges[0]:.1f}-{new_edges[-1]:.1f} keV: counts {count_axis.sum():.1f} "
          f"-> {shifted.sum():.1f} (the rest lay outside the new edges)")

    # Other buffers: array.array and a strided view of every second edge.
    fine = rebin.rebin_histogram_cy(array.array("d", energy_axis),
                                    array.array("d", count_axis), energy_axis[::2])
    print(f"array.array input, every second edge: {len(fine)} bins, counts {fine.sum():.1f}")


if __name__ == "__main__":
    main()
