"""Concurrent calls are independent: threads sharing their inputs get what
sequential calls get, and a thread that writes into the inputs while
respgrid_cy's channel loop runs without the interpreter lock changes values,
never the memory the loop may touch."""

import sys
import threading

import numpy as np
import pytest

from support import run_python
from synthetic_response import synthetic_response
from vantor.utils.numerics.accel import rebin, respgrid

THREADS = 4
ROUNDS = 25


@pytest.fixture
def short_switch_interval():
    """Threads change hands as often as the interpreter allows."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def run_in_threads(work):
    """Runs work() in THREADS threads started together; re-raises the first
    error any of them met."""
    start = threading.Barrier(THREADS)
    errors = []

    def target():
        try:
            start.wait()
            work()
        except BaseException as e:   # handed to the main thread
            errors.append(e)

    threads = [threading.Thread(target=target) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_shared_inputs_give_the_sequential_results(short_switch_interval):
    ref_indices = np.array([100.0, 300.0, 661.7, 1000.0, 1400.0, 2000.0, 2600.0])
    ref_E_axis = np.linspace(1.0, 3000.0, 600)
    matrix = synthetic_response(ref_indices, ref_E_axis)
    requested = np.linspace(150.0, 2500.0, 6)
    axis = np.linspace(2.0, 3000.0, 20_000)   # a long channel loop without the lock
    edges = np.cumsum(np.random.default_rng(3).uniform(0.1, 2.0, 2001))
    counts = np.random.default_rng(4).uniform(0.0, 100.0, 2000)
    new_edges = np.linspace(edges[0] - 5, edges[-1] + 5, 777)
    inputs = [ref_indices, ref_E_axis, matrix, requested, axis, edges, counts, new_edges]
    copies = [x.copy() for x in inputs]

    calls = {
        "respgrid": lambda: respgrid.respgrid_cy(matrix, ref_indices, ref_E_axis, requested,
                                                 axis),
        "rebin": lambda: (rebin.rebin_histogram_cy(edges, counts, new_edges),),
        "regions": lambda: (np.array(respgrid.calculate_regions(1332.5, 3000.0, True)),),
    }
    expected = {name: [x.tobytes() for x in call()] for name, call in calls.items()}

    def work():
        for _ in range(ROUNDS):
            for name, call in calls.items():
                assert [x.tobytes() for x in call()] == expected[name], name

    run_in_threads(work)
    assert all(x.tobytes() == c.tobytes() for x, c in zip(inputs, copies))


def test_writes_into_the_inputs_during_the_channel_loop():
    proc = run_python("""
        import threading
        import numpy as np
        from vantor.utils.numerics.accel import respgrid

        rng = np.random.default_rng(5)
        ref_indices = np.array([100.0, 661.7, 1400.0, 2600.0])
        ref_E_axis = np.linspace(1.0, 3000.0, 400)
        matrix = rng.uniform(0.0, 1.0, (4, 400))
        requested = np.array([500.0, 1200.0])
        axis = np.linspace(2.0, 3000.0, 200_000)
        writes = 0
        done = threading.Event()
        special = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308, 5e-324])

        def writer():
            global writes
            while not done.is_set():
                for target in (axis, ref_E_axis, matrix):
                    flat = target.reshape(-1)
                    flat[rng.integers(0, flat.size, 64)] = rng.choice(special, 64)
                    flat[rng.integers(0, flat.size, 64)] = rng.uniform(-10, 4000, 64)
                writes += 1

        thread = threading.Thread(target=writer)
        thread.start()
        overlapping = failures = 0
        try:
            with np.errstate(all="ignore"):
                for _ in range(40):
                    before = writes
                    try:
                        respgrid.respgrid_cy(matrix, ref_indices, ref_E_axis, requested, axis)
                    except SystemError:
                        raise
                    except Exception:
                        failures += 1
                    overlapping += writes > before
        finally:
            done.set()
            thread.join()
        print(overlapping, failures)
    """)
    overlapping, _ = map(int, proc.stdout.split())
    # The writer ran while calls were in progress, not only between them.
    assert overlapping > 0
