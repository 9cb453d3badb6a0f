"""Demo: a detector response interpolated onto a fine grid, a source spectrum
folded through it, and the measured spectrum rebinned.

1. A reference response matrix: rows at a few tens of incident energies
   between 50 and 3000 keV, each with a photopeak, a Compton continuum up to
   the Compton edge, a backscatter peak and, above 1022 keV, single and double
   escape peaks (examples/synthetic_response.py).
2. respgrid_cy interpolates it onto a finer grid of incident energies and
   channels, in chunks on a pool of workers (examples/parallel_respgrid.py),
   with a progress bar when there is more than one chunk.
3. A source of a few common gamma lines on a falling continuum is folded
   through the matrix with scipy.sparse, and counts are drawn from it.
4. rebin_histogram_cy rebins the measured spectrum onto coarser channels.
5. A figure: the interpolated matrix, a few interpolated rows beside the two
   reference rows that bracket each, and the spectra.

    ./dev demo                             # default sizes, writes out/demo.png
    ./dev demo --energies 8000 --channels 6000 --pool process
"""

import argparse
import math
import os
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

import numpy as np
import scipy.sparse

from parallel_respgrid import respgrid_chunked
from synthetic_response import detector_response
from vantor.utils.numerics.accel import rebin

# keV: the reference energies span REF_LOW to REF_HIGH. The requested channels
# reach past REF_HIGH + 10 keV, the top of its photopeak window: boundaries
# above the end of the axis would come out of order and distort the top rows.
REF_LOW, REF_HIGH, TOP = 50.0, 3000.0, 3100.0

# (label, energy keV, relative photon intensity in this sample source)
LINES = [
    ("Am-241", 59.54, 0.36),
    ("Ba-133", 81.00, 0.33),
    ("Ba-133", 302.85, 0.18),
    ("Ba-133", 356.01, 0.62),
    ("Tl-208", 583.19, 0.30),
    ("Bi-214", 609.31, 0.45),
    ("Cs-137", 661.66, 0.85),
    ("Co-60", 1173.23, 1.00),
    ("Co-60", 1332.49, 1.00),
    ("K-40", 1460.82, 0.40),
    ("Bi-214", 1764.49, 0.15),
    ("Tl-208", 2614.51, 0.36),
]


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ref-energies", type=int, default=40,
                        help="reference incident energies, 50 to 3000 keV (default 40)")
    parser.add_argument("--ref-channels", type=int, default=2048,
                        help="channels of the reference rows, 0 to 3200 keV (default 2048)")
    parser.add_argument("--energies", type=int, default=2000,
                        help="requested incident energies (default 2000)")
    parser.add_argument("--channels", type=int, default=3100,
                        help="requested channels, 0 to 3100 keV (default 3100)")
    parser.add_argument("--coarse-channels", type=int, default=512,
                        help="channels of the rebinned spectrum (default 512)")
    parser.add_argument("--counts", type=float, default=2e6,
                        help="expected counts of the measured spectrum (default 2e6)")
    parser.add_argument("--pool", choices=["thread", "process"], default="thread",
                        help="workers that build the chunks (default thread)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="number of workers (default: the number of CPUs)")
    parser.add_argument("--chunk-rows", type=int, default=100,
                        help="requested energies per chunk (default 100)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the counting noise")
    parser.add_argument("--output", type=Path, default=Path("out/demo.png"),
                        help="the figure (default out/demo.png)")
    args = parser.parse_args(argv)
    for name in ("ref_energies", "energies", "channels", "coarse_channels"):
        if getattr(args, name) < 2:
            parser.error(f"--{name.replace('_', '-')} must be at least 2")
    if args.ref_channels < 16 or args.workers < 1 or args.chunk_rows < 1:
        parser.error("--ref-channels must be at least 16, --workers and --chunk-rows "
                     "at least 1")
    return args


class ProgressBar:
    """A one-line bar on stderr, redrawn in place on a terminal; elsewhere
    only its final state is written."""

    def __init__(self, label, width=30):
        self.label, self.width = label, width
        self.live = sys.stderr.isatty()
        self.start = time.perf_counter()

    def __call__(self, done, total):
        if not self.live and done < total:
            return
        filled = self.width * done // max(total, 1)
        bar = "#" * filled + "." * (self.width - filled)
        elapsed = time.perf_counter() - self.start
        end = "\n" if done >= total else ""
        print(f"\r{self.label} [{bar}] {elapsed:5.1f} s {done}/{total}", end=end,
              file=sys.stderr, flush=True)


def source_spectrum(energies):
    """Photons per requested energy: each line shared between the two grid
    energies around it, plus a continuum falling with energy."""
    step = np.gradient(energies)
    source = 40.0 * np.exp(-energies / 350.0) * step / 1000.0 + 0.002 * step / 1000.0
    for _, E, weight in LINES:
        k = int(np.searchsorted(energies, E))
        if 0 < k < len(energies):
            f = (E - energies[k - 1]) / (energies[k] - energies[k - 1])
            source[k - 1] += weight * (1.0 - f)
            source[k] += weight * f
    return source


def interpolate_with_progress(args, matrix, ref_indices, ref_E_axis, requested_indices,
                              requested_E_axis):
    n_chunks = math.ceil(len(requested_indices) / args.chunk_rows)
    progress = ProgressBar("respgrid_cy") if n_chunks > 1 else None
    pool = None
    if args.pool == "process":
        pool = ProcessPoolExecutor(args.workers, mp_context=get_context("forkserver"))
    try:
        return respgrid_chunked(matrix, ref_indices, ref_E_axis, requested_indices,
                                requested_E_axis, workers=args.workers,
                                chunk_rows=args.chunk_rows, executor=pool,
                                progress=progress)
    finally:
        if pool is not None:
            pool.shutdown()


def shown_rows(ref_indices, requested_indices):
    """Three requested energies near the middle of reference pairs spread over
    the range: (row, index of the reference row below, above)."""
    shown = []
    for target in (400.0, 1300.0, 2500.0):
        hi = int(np.clip(np.searchsorted(ref_indices, target), 1, len(ref_indices) - 1))
        middle = 0.5 * (ref_indices[hi - 1] + ref_indices[hi])
        row = int(np.argmin(np.abs(requested_indices - middle)))
        v = requested_indices[row]
        hi = int(np.searchsorted(ref_indices, v))   # first reference energy >= v
        if (row, hi - 1, hi) not in shown:
            shown.append((row, hi - 1, hi))
    return shown


def backscatter_keV(E):
    return E / ((E + E) / 511.0 + 1.0)


def plot(path, response, ref_indices, ref_E_axis, ref_width, ref_rows, requested_indices,
         channel_edges, expected, measured, coarse_edges, coarse):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LogNorm

    centres = 0.5 * (channel_edges[:-1] + channel_edges[1:])
    width = np.diff(channel_edges)
    shown = shown_rows(ref_indices, requested_indices)
    fig = plt.figure(figsize=(15, 11), layout="constrained")
    grid = fig.add_gridspec(3, 2, width_ratios=[1.3, 1], height_ratios=[1, 1, 1.15])

    # The matrix, as density per keV, thinned to at most about 900 x 1600 pixels
    # (the largest value of each block of channels, so that peaks stay visible).
    ax = fig.add_subplot(grid[:2, 0])
    rows = np.unique(np.linspace(0, response.shape[0] - 1, 900).round().astype(int))
    dense = response[rows].toarray() / width
    group = max(1, dense.shape[1] // 1600)
    cols = dense.shape[1] // group * group
    image = dense[:, :cols].reshape(len(rows), -1, group).max(axis=2)
    image = np.ma.masked_less_equal(image, 0.0)
    top = float(image.max())
    mesh = ax.imshow(image, origin="lower", aspect="auto", cmap="magma",
                     interpolation="nearest", norm=LogNorm(vmin=top * 1e-6, vmax=top),
                     extent=(channel_edges[0], channel_edges[cols],
                             requested_indices[rows[0]], requested_indices[rows[-1]]))
    fig.colorbar(mesh, ax=ax, label="response (per keV)", shrink=0.85, pad=0.01)
    ax.set(xlabel="deposited energy (keV)", ylabel="incident energy (keV)",
           title=f"Interpolated response: {response.shape[0]} energies x "
                 f"{response.shape[1]} channels (log colour)")
    E_top = requested_indices[-1]
    features = [  # text, incident energy / E_top, deposited energy, text offset (points)
        ("photopeak", 0.78, lambda E: E, (14, -22), "black"),
        ("Compton edge", 0.90, lambda E: E - backscatter_keV(E), (-95, 18), "white"),
        ("backscatter peak", 0.93, backscatter_keV, (16, 8), "white"),
        ("single escape", 0.66, lambda E: E - 511.0, (-40, 22), "white"),
        ("double escape", 0.72, lambda E: E - 1022.0, (-40, 22), "white"),
    ]
    for text, fraction, deposited, offset, line_colour in features:
        E = fraction * E_top
        ax.annotate(text, (deposited(E), E), xytext=offset, textcoords="offset points",
                    fontsize=9, color="white",
                    bbox=dict(boxstyle="round,pad=0.2", fc="black", alpha=0.6, lw=0),
                    arrowprops=dict(arrowstyle="-", color=line_colour, lw=0.7))
    for row, _, _ in shown:
        ax.axhline(requested_indices[row], color="cyan", lw=0.7, ls=(0, (2, 3)))
    ax.text(0.99, 0.01, "dotted: the rows shown on the right", transform=ax.transAxes,
            ha="right", va="bottom", fontsize=8, color="0.3")

    # Interpolated rows beside the reference rows that bracket them.
    for panel, (row, lo, hi) in enumerate(shown):
        ax = fig.add_subplot(grid[panel, 1])
        v = requested_indices[row]
        curves = []
        for index, colour in ((lo, "tab:blue"), (hi, "tab:orange")):
            density = ref_rows[index] / ref_rows[index].sum() / ref_width
            curves.append(density)
            ax.plot(ref_E_axis, density, color=colour, lw=0.9,
                    label=f"reference row at {ref_indices[index]:.0f} keV")
        interpolated = response[[row]].toarray()[0] / width
        curves.append(interpolated)
        ax.plot(centres, interpolated, color="black", lw=1.1,
                label=f"interpolated row at {v:.0f} keV")
        ax.set_yscale("log")
        ax.set_ylim(1e-6, 3.0 * max(float(c.max()) for c in curves))
        ax.set_xlim(0, min(channel_edges[-1], 1.06 * ref_indices[hi] + 15))
        ax.set(ylabel="per keV")
        ax.legend(fontsize=8, loc="lower left", framealpha=0.9)
        if panel == 0:
            ax.set_title("Rows: peaks and edges move with the incident energy")
    ax.set_xlabel("deposited energy (keV)")

    # The spectra.
    ax = fig.add_subplot(grid[2, 0])
    ax.stairs(measured / width, channel_edges, color="0.7", lw=0.6,
              label=f"measured (drawn counts), {len(width)} channels")
    ax.plot(centres, expected / width, color="black", lw=0.5, label="expected")
    ax.stairs(coarse / np.diff(coarse_edges), coarse_edges, color="tab:red", lw=0.9,
              label=f"measured, rebinned to {len(coarse)} channels")
    ax.set_yscale("log")
    density = expected / width
    ax.set_ylim(0.3, 40.0 * float(density.max()))
    ax.set_xlim(channel_edges[0], channel_edges[-1])
    marks = [(label, E) for label, E, _ in LINES]
    marks += [("SE 2614", 2614.51 - 511.0), ("DE 2614", 2614.51 - 1022.0)]
    last_x = -1e9
    for label, E in sorted(marks, key=lambda m: m[1]):
        k = min(int(np.searchsorted(channel_edges, E)) - 1, len(width) - 1)
        k = slice(max(k - 3, 0), k + 4)
        lift = 6 if E - last_x > 40 else 40   # stagger close neighbours
        last_x = E if lift == 6 else -1e9
        ax.annotate(label, (E, float(density[k].max())), xytext=(0, lift),
                    textcoords="offset points", rotation=90, fontsize=7, ha="center",
                    va="bottom", arrowprops=dict(arrowstyle="-", lw=0.4, color="0.4"))
    ax.set(xlabel="deposited energy (keV)", ylabel="counts per keV",
           title="Common gamma lines on a continuum, folded through the matrix")
    ax.legend(fontsize=8, loc="upper right")

    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    args = parse_args(argv)

    # The reference response, on the centres of its channels.
    ref_indices = np.geomspace(REF_LOW, REF_HIGH, args.ref_energies)
    ref_edges = np.linspace(0.0, TOP + 100.0, args.ref_channels + 1)
    ref_E_axis = 0.5 * (ref_edges[:-1] + ref_edges[1:])
    ref_rows = detector_response(ref_indices, ref_edges)

    # The finer grid: incident energies above the lowest reference energy.
    requested_indices = np.linspace(REF_LOW + 5.0, REF_HIGH, args.energies)
    channel_edges = np.linspace(0.0, TOP, args.channels + 1)
    requested_E_axis = 0.5 * (channel_edges[:-1] + channel_edges[1:])

    print(f"reference response: {len(ref_indices)} energies "
          f"({ref_indices[0]:.1f}-{ref_indices[-1]:.1f} keV) x {len(ref_E_axis)} channels")
    print(f"requested grid:     {len(requested_indices)} energies "
          f"({requested_indices[0]:.1f}-{requested_indices[-1]:.1f} keV) x "
          f"{len(requested_E_axis)} channels", flush=True)

    start = time.perf_counter()
    indptr, cols, values = interpolate_with_progress(args, ref_rows, ref_indices, ref_E_axis,
                                                     requested_indices, requested_E_axis)
    build_s = time.perf_counter() - start
    # The explicit shape keeps channels with no stored entry at the end.
    response = scipy.sparse.csr_array((values, cols, indptr),
                                      shape=(len(requested_indices), len(requested_E_axis)))
    n_chunks = math.ceil(len(requested_indices) / args.chunk_rows)
    workers = args.pool + ("es" if args.pool == "process" else "s") * (args.workers > 1)
    print(f"respgrid_cy:        {build_s:.3f} s, {n_chunks} chunk(s) of up to "
          f"{args.chunk_rows} rows on {args.workers} {workers}; {response.nnz} stored "
          f"entries ({100.0 * response.nnz / math.prod(response.shape):.1f} % of the matrix)")
    print(f"rows sum to 1:      max deviation {np.abs(response.sum(axis=1) - 1).max():.1e}")

    start = time.perf_counter()
    source = source_spectrum(requested_indices)
    expected = source @ response
    expected *= args.counts / expected.sum()
    measured = np.random.default_rng(args.seed).poisson(expected).astype(np.float64)
    fold_s = time.perf_counter() - start
    print(f"folding:            {fold_s:.3f} s, {len(LINES)} lines on a continuum, "
          f"{measured.sum():.0f} counts drawn")

    start = time.perf_counter()
    coarse_edges = np.linspace(0.0, TOP, args.coarse_channels + 1)
    coarse = rebin.rebin_histogram_cy(channel_edges, measured, coarse_edges)
    rebin_s = time.perf_counter() - start
    print(f"rebinning:          {rebin_s:.3f} s, {len(measured)} -> {len(coarse)} channels, "
          f"counts {measured.sum():.0f} -> {coarse.sum():.0f}", flush=True)

    start = time.perf_counter()
    plot(args.output, response, ref_indices, ref_E_axis, np.diff(ref_edges), ref_rows,
         requested_indices, channel_edges, expected, measured, coarse_edges, coarse)
    print(f"figure:             {args.output} ({time.perf_counter() - start:.2f} s)")

if __name__ == "__main__":
    main()
