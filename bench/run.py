"""Benchmarks: the package's kernels against their baselines, in one process.

Every figure is the median of several timed runs after a warm-up. Ratios are
baseline time / our time, so above 1 means faster. The results are also
checked: bit for bit against the literal baselines, to rounding against NumPy.

    python bench/run.py [--quick] [--json FILE]
"""

import argparse
import json
import platform
import statistics
import sys
import threading
import time
import tracemalloc
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
sys.path.insert(0, str(Path(__file__).parent.parent / "examples"))

import baselines  # noqa: E402
from synthetic_response import synthetic_response  # noqa: E402
from vantor.utils.numerics.accel.rebin import rebin_histogram_cy  # noqa: E402
from vantor.utils.numerics.accel.respgrid import respgrid_cy  # noqa: E402


def median_seconds(*fns, repeat, number=1, warm=True):
    """For each function, the median over `repeat` rounds of the time of one
    call. Each round times `number` calls of every function in turn (so that
    a drift of the machine's speed affects all alike), each block right after
    an untimed call of the same function (so that each finds the allocator
    and the caches as it leaves them, not as the function before it did),
    after a warm-up round. One time for one function, a list for several.
    With warm=False the blocks follow each other directly."""
    times = [[] for _ in fns]
    for round_ in range(repeat + 1):
        for fn, spent in zip(fns, times):
            if warm:
                fn()
            start = time.perf_counter()
            for _ in range(number):
                fn()
            if round_:
                spent.append((time.perf_counter() - start) / number)
    medians = [statistics.median(spent) for spent in times]
    return medians[0] if len(fns) == 1 else medians


def same_bits(a, b):
    return all(x.dtype == y.dtype and x.tobytes() == y.tobytes() for x, y in zip(a, b))


def response_problem(channels, ref_rows, requested_rows, seed=0):
    rng = np.random.default_rng(seed)
    ref_indices = np.geomspace(50.0, 3000.0, ref_rows)
    ref_E_axis = np.linspace(0.5, 3000.0, channels)
    matrix = synthetic_response(ref_indices, ref_E_axis)
    requested = np.sort(rng.uniform(ref_indices[0] + 1.0, ref_indices[-1], requested_rows))
    requested_E_axis = np.linspace(0.25, 2999.0, channels)
    return matrix, ref_indices, ref_E_axis, requested, requested_E_axis


def rebin_problem(bins, seed=1):
    rng = np.random.default_rng(seed)
    old = np.cumsum(rng.uniform(0.5, 1.5, bins + 1))
    new = np.sort(rng.uniform(old[0] - 10.0, old[-1] + 10.0, bins + 1))
    counts = rng.uniform(0.0, 100.0, bins)
    return old, counts, new


class Report:
    def __init__(self):
        self.rows = []

    def ratio(self, name, ours, baseline, target=None, note=""):
        ratio = baseline / ours
        met = None if target is None else ratio >= target
        self.rows.append({"name": name, "ours_s": ours, "baseline_s": baseline,
                          "ratio": ratio, "target": target, "met": met, "note": note})
        mark = "" if met is None else ("  ok" if met else "  MISSED")
        target_text = f">= {target:g}x" if target else "report"
        print(f"{name:<52} {ours * 1e3:10.4f} ms {baseline * 1e3:11.4f} ms "
              f"{ratio:9.2f}x  {target_text:>8}{mark}  {note}", flush=True)

    def figure(self, name, value, note=""):
        self.rows.append({"name": name, "value": value, "note": note})
        print(f"{name:<52} {value:>35}  {note}", flush=True)


def bench_respgrid(report, channels, ref_rows, requested_rows, literal_rows, repeat, targets):
    problem = response_problem(channels, ref_rows, requested_rows)
    matrix, ref_indices, ref_E_axis, requested, requested_E_axis = problem
    subset = requested[:: max(1, requested_rows // literal_rows)][:literal_rows]
    sub_problem = (matrix, ref_indices, ref_E_axis, subset, requested_E_axis)
    expected = baselines.respgrid_literal(*sub_problem)
    assert same_bits(respgrid_cy(*sub_problem), expected), "differs from the literal kernels"
    got = respgrid_cy(*problem)
    numpy_result = baselines.respgrid_numpy(*problem)
    assert np.array_equal(got[0], numpy_result[0]) and np.array_equal(got[1], numpy_result[1])
    np.testing.assert_allclose(got[2], numpy_result[2], rtol=1e-9)

    ours, numpy_time = median_seconds(lambda: respgrid_cy(*problem),
                                      lambda: baselines.respgrid_numpy(*problem), repeat=repeat)
    ours /= requested_rows
    numpy_time /= requested_rows
    ours_subset, literal = median_seconds(lambda: respgrid_cy(*sub_problem),
                                          lambda: baselines.respgrid_literal(*sub_problem),
                                          repeat=max(1, repeat // 2))
    literal /= len(subset)

    label = f"respgrid_cy per row, {channels} channels"
    report.ratio(f"{label} vs literal", ours, literal, targets[0], "bit-identical")
    report.ratio(f"{label} vs NumPy row", ours, numpy_time, targets[1])
    return got


def bench_memory(report, channels, ref_rows, requested_rows):
    problem = response_problem(channels, ref_rows, requested_rows)
    tracemalloc.start()
    result = respgrid_cy(*problem)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    returned = sum(x.nbytes for x in result)
    stored = len(result[2])
    report.figure(f"respgrid_cy peak memory, {channels} x {requested_rows} rows",
                  f"{peak / 2**20:.1f} MiB", f"returned arrays {returned / 2**20:.1f} MiB, "
                  f"peak/returned {peak / returned:.1f}, {stored / (channels * requested_rows):.0%}"
                  " stored")


def bench_threads(report, channels, ref_rows, requested_rows, repeat):
    problem = response_problem(channels, ref_rows, requested_rows)

    def sequential():
        respgrid_cy(*problem)
        respgrid_cy(*problem)

    def parallel():
        threads = [threading.Thread(target=respgrid_cy, args=problem) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    in_parallel, in_sequence = median_seconds(parallel, sequential, repeat=repeat)
    report.ratio("two threads vs two calls in sequence", in_parallel, in_sequence, None,
                 "the channel loop releases the GIL")


def bench_rebin(report, bins, repeat):
    old, counts, new = rebin_problem(bins)
    ours_result = rebin_histogram_cy(old, counts, new)
    assert same_bits([ours_result], [baselines.rebin_literal(old, counts, new)])
    np.testing.assert_allclose(ours_result, baselines.rebin_numpy(old, counts, new),
                               rtol=1e-6, atol=1e-6 * counts.max())
    contenders = (lambda: rebin_histogram_cy(old, counts, new),
                  lambda: baselines.rebin_literal(old, counts, new),
                  lambda: baselines.rebin_numpy(old, counts, new),
                  lambda: (np.add.reduce(old), np.add.reduce(counts), np.add.reduce(new)))
    ours, literal, numpy_time, floor = median_seconds(*contenders, repeat=repeat)
    report.ratio(f"rebin_histogram_cy, {bins} bins vs literal", ours, literal, 1.5,
                 "bit-identical")
    report.ratio(f"rebin_histogram_cy, {bins} bins vs NumPy", ours, numpy_time, 5)
    report.ratio(f"rebin_histogram_cy, {bins} bins vs reading its inputs", ours, floor, None,
                 "memory-bandwidth floor")
    ours, _, numpy_time, _ = median_seconds(*contenders, repeat=repeat, warm=False)
    report.ratio(f"  the same, each call right after the others", ours, numpy_time, None,
                 "fresh pages for np.zeros")


def bench_overhead(report, repeat, number):
    old, counts, new = np.array([0.0, 1, 2, 3, 4]), np.ones(4), np.array([0.5, 1.5, 2.5, 3.5, 4.5])
    ours, numpy_time = median_seconds(lambda: rebin_histogram_cy(old, counts, new),
                                      lambda: baselines.rebin_numpy(old, counts, new),
                                      repeat=repeat, number=number)
    report.ratio("rebin_histogram_cy, 4 bins vs NumPy", ours, numpy_time, 3)

    problem = response_problem(8, 4, 1)
    ours, literal, numpy_share = median_seconds(
        lambda: respgrid_cy(*problem), lambda: baselines.respgrid_literal(*problem),
        lambda: numpy_calls_of_one_row(*problem), repeat=repeat, number=number)
    report.ratio("respgrid_cy, 1 row of 8 channels vs literal", ours, literal, 1.25)
    report.figure("  NumPy's share of the literal driver's call", f"{numpy_share / literal:.0%}",
                  "its NumPy calls, timed alone")
    trivial = median_seconds(lambda: np.empty(0), repeat=repeat, number=number * 10)
    report.figure("trivial NumPy call (np.empty(0))", f"{trivial * 1e6:.2f} us",
                  "interpreter-overhead floor")


def numpy_calls_of_one_row(matrix, ref_indices, ref_E_axis, requested, requested_E_axis):
    """The NumPy calls of one requested row, as the literal driver makes them,
    on their own."""
    out_row = np.empty(requested_E_axis.shape[0], dtype=np.float64)
    row_hi = matrix[1] / np.sum(matrix[1])
    row_lo = matrix[0] / np.sum(matrix[0])
    axis = memoryview(requested_E_axis)
    regions_lo = np.asarray([0, 1.0, 2.0, 3.0, 4.0, float(np.max(axis))], dtype=np.float64)
    regions_hi = np.asarray([0, 1.0, 2.0, 3.0, 4.0, float(np.max(axis))], dtype=np.float64)
    regions = 0.5 * (regions_hi - regions_lo) + regions_lo
    out_row[:] = row_lo[0] + row_hi[0] + regions[0]
    out_row /= np.nansum(out_row)
    return (np.asarray([0, 8], dtype=np.int64), np.asarray(list(range(8)), dtype=np.int32),
            np.asarray(out_row.tolist(), dtype=np.float64))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, smaller cases")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    args = parser.parse_args()
    repeat = 3 if args.quick else 7
    number = 200 if args.quick else 2000

    print(f"{platform.processor() or platform.machine()}, {platform.python_version()}, "
          f"NumPy {np.__version__}")
    print(f"{'case':<52} {'ours':>13} {'baseline':>14} {'ratio':>10}  {'target':>8}")
    report = Report()
    big = 4096 if args.quick else 16384
    bench_rebin(report, 10**5 if args.quick else 10**6, repeat)
    bench_respgrid(report, big, 64, 32 if args.quick else 128, 2, repeat,
                   (100 if not args.quick else None, 2))
    bench_respgrid(report, 1024, 64, 128, 8, repeat, (None, 3))
    bench_overhead(report, repeat, number)
    bench_memory(report, big, 64, 32 if args.quick else 128)
    bench_threads(report, big, 64, 16 if args.quick else 32, repeat)
    if args.json:
        args.json.write_text(json.dumps(report.rows, indent=1))
    missed = [row["name"] for row in report.rows if row.get("met") is False]
    print("all targets met" if not missed else f"missed: {', '.join(missed)}")


if __name__ == "__main__":
    main()
