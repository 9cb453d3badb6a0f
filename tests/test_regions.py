"""calculate_regions: region boundaries of a photopeak response."""

import math

import numpy as np
import pytest

from support import REGIONS, our_frames
from vantor.utils.numerics.accel import respgrid

calculate_regions = respgrid.calculate_regions


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        ((661.7, 3000.0, False),
         [0, 184.32659180113387, 477.3734081988662, 651.7, 671.7, 3000.0]),
        # The negative double escape peak sorts ahead of the int 0.
        ((661.7, 3000.0, True),
         [-360.29999999999995, 0, 150.70000000000005, 184.32659180113387,
          477.3734081988662, 651.7, 671.7, 3000.0]),
        # Unsorted: below 255.5 keV the backscatter peak lies above the edge.
        ((100.0, 3000.0, None),
         [0, 71.87060478199719, 28.129395218002813, 90.0, 110.0, 3000.0]),
        ((2000.0, 3000.0, True),
         [0, 226.55730436710266, 978.0, 1489.0, 1773.4426956328973, 1990.0,
          2010.0, 3000.0]),
        # max_value sorts into the middle.
        ((3000.0, 2000.0, True),
         [0, 235.44770388573184, 1978.0, 2000.0, 2489.0, 2764.5522961142683,
          2990.0, 3010.0]),
        ((255.5, 3000.0, False), [0, 127.75, 127.75, 245.5, 265.5, 3000.0]),
        # The divisor of the backscatter peak is zero: infinities, no error.
        ((-255.5, 3000.0, False),
         [0, -math.inf, math.inf, -265.5, -245.5, 3000.0]),
    ],
)
def test_boundaries(args, expected):
    result = calculate_regions(*args)
    assert result == expected
    # Same values bit for bit, the int 0 in the place the sort gave it.
    assert [type(x) for x in result] == [type(x) for x in expected]
    assert [math.copysign(1, x) for x in result] == [math.copysign(1, x) for x in expected]


def test_boundaries_follow_the_documented_operation_order():
    rng = np.random.default_rng(7)
    for E_p in rng.uniform(-3000, 3000, 2000):
        E_p = float(E_p)
        backscatter = E_p / (((E_p + E_p) / 511.0) + 1.0)
        assert calculate_regions(E_p, 1e4, False) == [
            0, backscatter, E_p - backscatter, E_p - 10.0, E_p + 10.0, 1e4]
        assert calculate_regions(E_p, 1e4, True) == sorted(
            [0, backscatter, E_p - backscatter, E_p - 10.0, E_p + 10.0,
             E_p - 511.0, E_p - 1022.0, 1e4])


def test_result_is_a_new_list_of_new_floats():
    max_value = 3000.0
    first = calculate_regions(661.7, max_value, False)
    second = calculate_regions(661.7, max_value, False)
    assert first is not second
    assert first[-1] is not max_value
    first.append(1.0)
    assert len(calculate_regions(661.7, max_value, False)) == 6


@pytest.mark.parametrize(
    ("E_p", "max_value"),
    [(3000, 2000), (np.float32(661.5), np.float64(3000.0)), (np.int64(600), True)],
)
def test_numbers_of_other_types_are_converted(E_p, max_value):
    result = calculate_regions(E_p, max_value, False)
    assert result == calculate_regions(float(E_p), float(max_value), False)
    assert type(result[-1]) is float


def test_float_conversion_uses_dunder_float_and_accepts_minus_one():
    class Energy:
        def __float__(self):
            return -1.0

    assert calculate_regions(Energy(), Energy(), False)[-1] == -1.0


@pytest.mark.parametrize(
    ("args", "exc_type", "message", "line"),
    [
        (("1", 2.0, True), TypeError, "must be real number, not str", 70),
        ((1.0, None, True), TypeError, "must be real number, not NoneType", 71),
        (("1", None, True), TypeError, "must be real number, not str", 70),
        ((1.0, 10**400, False), OverflowError, "int too large to convert to float", 71),
    ],
)
def test_conversion_errors(args, exc_type, message, line):
    with pytest.raises(exc_type) as exc:
        calculate_regions(*args)
    assert str(exc.value) == message
    assert our_frames(exc) == [(REGIONS, line)]


def test_conversion_error_of_dunder_float_propagates_unchanged():
    class Broken:
        def __float__(self):
            raise KeyError("no energy")

    with pytest.raises(KeyError) as exc:
        calculate_regions(Broken(), 1.0, False)
    assert our_frames(exc) == [(REGIONS, 70)]


@pytest.mark.parametrize(
    ("flag", "type_name"),
    [(1, "int"), (0, "int"), (np.bool_(True), "numpy.bool"), (1.0, "float"), ("yes", "str")],
)
def test_escape_switch_must_be_an_exact_bool(flag, type_name):
    with pytest.raises(TypeError) as exc:
        calculate_regions(1000.0, 2000.0, flag)
    assert str(exc.value) == (
        f"Argument 'has_escape_peaks' has incorrect type (expected bool, got {type_name})")
    assert our_frames(exc) == []
    assert not hasattr(exc.value, "__notes__")


def test_none_counts_as_false():
    assert calculate_regions(1500.0, 3000.0, None) == calculate_regions(1500.0, 3000.0, False)


@pytest.mark.parametrize(("escape", "line"), [(False, 83), (True, 88)])
def test_allocation_failure_while_building_the_list(escape, line):
    """Each single failed allocation inside the call ends as MemoryError with
    the entry of the list's line and the entry of the call."""
    _testcapi = pytest.importorskip("_testcapi")
    failures = []
    for k in range(64):
        _testcapi.set_nomemory(k, k + 1)
        try:
            calculate_regions(1000.0, 2000.0, escape)
        except MemoryError as e:
            _testcapi.remove_mem_hooks()
            failures.append(our_frames(e))
        else:
            _testcapi.remove_mem_hooks()
            break
        finally:
            _testcapi.remove_mem_hooks()
    else:
        pytest.fail("the call never got through")
    assert failures
    assert all(frames == [(REGIONS, 69), (REGIONS, line)] for frames in failures), failures
