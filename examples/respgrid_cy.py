"""respgrid_cy: a response matrix for new incident energies and channels.

A reference matrix has rows at a few incident energies; respgrid_cy gives
rows at the requested energies, on the requested channel axis, as a CSR
triple. scipy.sparse.csr_array needs the explicit shape: without it the
width is one past the last stored column, so channels with nothing stored
at the end of every row (here: all channels above the highest photopeak)
would be cut off.

    python examples/respgrid_cy.py
"""

import numpy as np
import scipy.sparse

from synthetic_response import detector_response
from vantor.utils.numerics.accel import respgrid


def main():
    ref_indices = np.array([100.0, 300.0, 600.0, 1000.0, 1500.0, 2000.0])   # keV
    ref_edges = np.linspace(0.0, 3000.0, 1001)                              # 3 keV channels
    ref_E_axis = 0.5 * (ref_edges[:-1] + ref_edges[1:])
    response_matrix = detector_response(ref_indices, ref_edges)

    requested_indices = np.array([150.0, 450.0, 661.7, 1173.2, 1332.5, 1800.0])
    requested_E_axis = np.arange(0.5, 3000.0, 1.0)                          # 1 keV channels
    indptr, col_indices, values = respgrid.respgrid_cy(
        response_matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis)

    shape = (len(requested_indices), len(requested_E_axis))
    matrix = scipy.sparse.csr_array((values, col_indices, indptr), shape=shape)
    inferred = scipy.sparse.csr_array((values, col_indices, indptr))
    print(f"shape given: {matrix.shape}; shape inferred without it: {inferred.shape}")

    print(f"{'energy':>8}  {'stored':>6}  {'row sum':>8}  largest entry at (keV)")
    for i, E in enumerate(requested_indices):
        row = matrix[[i]].toarray()[0]
        peak = requested_E_axis[np.argmax(row)]
        print(f"{E:8.1f}  {indptr[i + 1] - indptr[i]:6d}  {row.sum():8.6f}  {peak:.1f}")


if __name__ == "__main__":
    main()
