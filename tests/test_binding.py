"""Binding a call's arguments: counts, keywords and their messages."""

import pytest

from support import REGIONS, our_frames
from vantor.utils.numerics.accel import respgrid

f = respgrid.calculate_regions
COUNT = "calculate_regions() takes exactly 3 positional arguments ({} given)"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: f(), COUNT.format(0)),
        (lambda: f(1.0, 2.0), COUNT.format(2)),
        (lambda: f(1.0, 2.0, True, 4), COUNT.format(4)),
        # With keywords, too many positional arguments report their number...
        (lambda: f(1.0, 2.0, True, 4, E_p=1.0), COUNT.format(4)),
        # ...and an unbound parameter reports its own position.
        (lambda: f(E_p=1.0, has_escape_peaks=True), COUNT.format(1)),
        (lambda: f(max_value=2.0, has_escape_peaks=True), COUNT.format(0)),
        (lambda: f(1.0, has_escape_peaks=True), COUNT.format(1)),
        (lambda: f(1.0, 2.0, True, bogus=1),
         "calculate_regions() got an unexpected keyword argument 'bogus'"),
        (lambda: f(1.0, E_p=2.0, max_value=3.0, has_escape_peaks=False),
         "calculate_regions() got multiple values for keyword argument 'E_p'"),
        (lambda: f(1.0, 2.0, True, E_p=2.0),
         "calculate_regions() got multiple values for keyword argument 'E_p'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message
    assert our_frames(exc) == [(REGIONS, 69)]


@pytest.mark.parametrize(
    "kwargs",
    [
        {"E_p": 661.7, "max_value": 3000.0, "has_escape_peaks": True},
        {"has_escape_peaks": True, "max_value": 3000.0, "E_p": 661.7},
        # Equal but not identical names bind by value.
        {"".join(["E", "_p"]): 661.7, "max_value": 3000.0,
         "has_" + "escape_peaks": True},
    ],
)
def test_keywords_bind_by_name_in_any_order(kwargs):
    assert f(**kwargs) == f(661.7, 3000.0, True)
    assert f(661.7, **{k: v for k, v in kwargs.items() if k != "E_p"}) == f(661.7, 3000.0, True)


class Name(str):
    """A keyword of a str subclass: compared through its own equality."""


class Unequal(str):
    def __eq__(self, other):
        raise LookupError("cannot compare")

    __hash__ = str.__hash__


def test_str_subclass_keywords_compare_by_their_equality():
    assert f(**{Name("E_p"): 661.7, Name("max_value"): 3000.0,
                Name("has_escape_peaks"): False}) == f(661.7, 3000.0, False)
    with pytest.raises(LookupError, match="cannot compare") as exc:
        f(1.0, 2.0, **{Unequal("has_escape_peaks"): True})
    assert our_frames(exc) == [(REGIONS, 69)]


def test_fast_call_with_a_non_str_keyword():
    _testcapi = pytest.importorskip("_testcapi")
    with pytest.raises(TypeError) as exc:
        _testcapi.pyobject_vectorcall(f, (1.0, 2.0, True), (1,))
    assert str(exc.value) == "calculate_regions() keywords must be strings"
    assert our_frames(exc) == [(REGIONS, 69)]


def test_generic_call_with_a_non_str_keyword():
    with pytest.raises(TypeError) as exc:
        f(1.0, 2.0, **{1: True})
    assert str(exc.value) == "keywords must be strings"


def test_fast_call_binds_positional_and_keyword_vectors():
    _testcapi = pytest.importorskip("_testcapi")
    result = _testcapi.pyobject_vectorcall(f, (661.7, True, 3000.0),
                                           ("has_escape_peaks", "max_value"))
    assert result == f(661.7, 3000.0, True)
