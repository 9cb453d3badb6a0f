"""Large response matrices built in chunks, in parallel.

`respgrid_cy` builds each requested row independently of the others, so the
requested energies can be split into chunks, each chunk built by its own call,
and the CSR pieces stitched together: the result is identical, bit for bit, to
one call over all energies. The channel loop of each call runs without the
interpreter lock, so a thread pool overlaps the calls; `executor=` accepts any
`concurrent.futures.Executor` instead (a process pool, or a cluster's
executor such as `dask.distributed.Client.get_executor()`).

    python examples/parallel_respgrid.py     # compares with a single call
"""

from concurrent.futures import ThreadPoolExecutor

import numpy as np

from vantor.utils.numerics.accel import respgrid


def stitch_csr(pieces):
    """One CSR triple (indptr int64, col_indices int32, values float64) from
    the triples of consecutive row blocks, in order."""
    pieces = list(pieces)
    offsets = np.cumsum([0] + [len(values) for _, _, values in pieces])
    indptr = np.concatenate(
        [np.zeros(1, dtype=np.int64)]
        + [indptr[1:] + offset for (indptr, _, _), offset in zip(pieces, offsets)]
    ).astype(np.int64, copy=False)
    col_indices = np.concatenate(
        [np.empty(0, dtype=np.int32)] + [cols for _, cols, _ in pieces])
    values = np.concatenate([np.empty(0)] + [values for _, _, values in pieces])
    return indptr, col_indices, values


def respgrid_chunked(response_matrix, ref_indices, ref_E_axis, requested_indices,
                     requested_E_axis, *, workers=None, chunk_rows=256, executor=None,
                     progress=None):
    """`respgrid_cy` over chunks of `chunk_rows` requested energies, run on
    `executor` (default: a thread pool of `workers` threads), stitched into
    the same (indptr, col_indices, values) that a single call returns.

    Inputs that fit in one chunk, and anything that is not an ndarray, go to
    a single call, so its errors are exactly the module's. A chunk that fails
    raises its error with a note naming the rows of the chunk; the first
    failing chunk in row order wins, as the first failing row does in a
    single call. `progress(rows_done, rows_total)` is called in the calling
    thread after each chunk, in row order.
    """
    if chunk_rows < 1:
        raise ValueError(f"chunk_rows must be at least 1, not {chunk_rows}")
    if (not isinstance(requested_indices, np.ndarray)
            or requested_indices.ndim != 1
            or len(requested_indices) <= chunk_rows):
        result = respgrid.respgrid_cy(response_matrix, ref_indices, ref_E_axis,
                                      requested_indices, requested_E_axis)
        if progress is not None:
            progress(len(requested_indices), len(requested_indices))
        return result

    n = len(requested_indices)
    bounds = [(start, min(start + chunk_rows, n)) for start in range(0, n, chunk_rows)]
    own_pool = executor is None
    pool = ThreadPoolExecutor(max_workers=workers) if own_pool else executor
    try:
        futures = [
            pool.submit(respgrid.respgrid_cy, response_matrix, ref_indices, ref_E_axis,
                        requested_indices[start:stop], requested_E_axis)
            for start, stop in bounds
        ]
        done = 0
        pieces = []
        for future, (start, stop) in zip(futures, bounds):
            try:
                pieces.append(future.result())
            except Exception as exc:
                for later in futures:
                    later.cancel()
                exc.add_note(f"in the chunk of requested_indices[{start}:{stop}]")
                raise
            done += stop - start
            if progress is not None:
                progress(done, n)
    finally:
        if own_pool:
            pool.shutdown(wait=True, cancel_futures=True)
    return stitch_csr(pieces)


def main(argv=None):
    import argparse
    import os
    import time

    from synthetic_response import detector_response

    parser = argparse.ArgumentParser(description="respgrid_chunked against one call")
    parser.add_argument("--energies", type=int, default=2000)
    parser.add_argument("--channels", type=int, default=3100)
    parser.add_argument("--chunk-rows", type=int, default=200)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args(argv)

    ref_indices = np.geomspace(50.0, 3000.0, 40)
    ref_edges = np.linspace(0.0, 3200.0, 2049)
    ref_E_axis = 0.5 * (ref_edges[:-1] + ref_edges[1:])
    matrix = detector_response(ref_indices, ref_edges)
    requested_indices = np.linspace(55.0, 3000.0, args.energies)
    requested_E_axis = np.linspace(0.5, 3099.5, args.channels)

    inputs = (matrix, ref_indices, ref_E_axis, requested_indices, requested_E_axis)
    start = time.perf_counter()
    single = respgrid.respgrid_cy(*inputs)
    single_s = time.perf_counter() - start
    start = time.perf_counter()
    chunked = respgrid_chunked(*inputs, workers=args.workers, chunk_rows=args.chunk_rows)
    chunked_s = time.perf_counter() - start
    same = all(a.dtype == b.dtype and a.tobytes() == b.tobytes()
               for a, b in zip(single, chunked))
    print(f"rows: {len(requested_indices)}, stored entries: {len(single[2])}")
    print(f"single call: {single_s:.3f} s; {args.workers} threads, chunks of "
          f"{args.chunk_rows} rows: {chunked_s:.3f} s")
    print(f"identical to the single call: {same}")


if __name__ == "__main__":
    main()
