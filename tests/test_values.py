"""Capture of attribute values: what is refused with the internal-error
exception, what is accepted as is, and that a refused value changes nothing."""

import enum
import sys

import pytest

from conftest import PASS_THROUGH, HashRaiser, PanicException, passes_through, raises_internal_error
from Lorvane import Index, Indexable


def test_internal_error_class():
    assert PanicException.__module__ == "pyo3_runtime"
    assert PanicException.__qualname__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    with pytest.raises(PanicException) as info:  # `except Exception` lets it through
        try:
            Indexable(a=2**64)
        except Exception:  # noqa: BLE001
            pytest.fail("the internal error was caught as an Exception")
    assert type(info.value) is PanicException  # one class per process
    assert info.value.args and "int" in str(info.value)


class MyInt(int):
    pass


class MyStr(str):
    pass


class MyFloat(float):
    pass


class Colour(enum.IntEnum):
    RED = 1


class Unhashable:
    __hash__ = None


class HashRaises:
    def __init__(self, exc):
        self.exc = exc

    def __hash__(self):
        raise self.exc


INT_LIMITS = [2**63 - 1, -(2**63), 0, -1, -2]
REFUSED = [2**63, -(2**63) - 1, 2**64, -(2**64), 10**40, "\ud800", "a\udfffb", "x" * 30 + "\udc80"]
ACCEPTED = [
    *INT_LIMITS,
    7.5, float("nan"), float("inf"), -0.0,
    "", "a", "\U0001f600 é 名前", "x" * 100, "nul\0byte",
    True, None, b"\xff", (2**100,), [1], {}, set(), Unhashable(), frozenset({1}),
    MyInt(2**70), MyStr("\ud800"), MyFloat(1.5), Colour.RED,
    HashRaises(RuntimeError("no hash")), HashRaises(TypeError("unhashable")), HashRaises(ValueError()),
    Indexable(inner=1), object(), Indexable,
]


@pytest.mark.parametrize("value", ACCEPTED, ids=repr)
def test_accepted_values_come_back_as_the_same_object(value):
    obj = Indexable(v=value)
    assert obj.v is value
    obj.w = value
    assert obj.w is value
    obj.v = value  # rewriting the same value
    assert obj.v is value
    assert repr(obj) == "<Indexable with 2 attributes>"
    assert sys.exc_info() == (None, None, None)  # a failed hash leaves no error behind


@pytest.mark.parametrize("value", REFUSED, ids=repr)
def test_refused_value_at_construction(value):
    with raises_internal_error():
        Indexable(a=1, bad=value, c=3)
    with raises_internal_error():
        Indexable(bad=value)


@pytest.mark.parametrize("value", REFUSED, ids=repr)
def test_refused_write_changes_nothing(value):
    old = ["old"]
    obj = Indexable(a=old)
    with raises_internal_error():
        obj.a = value
    assert obj.a is old
    with raises_internal_error():
        obj.fresh = value
    with pytest.raises(AttributeError):
        obj.fresh
    assert repr(obj) == "<Indexable with 1 attributes>"
    listing = obj.__dir__()
    assert listing[0] == "a" and "fresh" not in listing
    obj.a = 5  # the object is still usable
    assert obj.a == 5


@pytest.mark.parametrize("value", REFUSED[:3], ids=repr)
def test_refused_write_in_the_hashed_form(value):
    names = [f"n{i}" for i in range(12)]
    obj = Indexable(**dict.fromkeys(names, 0))
    with raises_internal_error():
        obj.n3 = value
    assert [getattr(obj, n) for n in names] == [0] * 12
    assert repr(obj) == "<Indexable with 12 attributes>"


def test_hash_is_taken_once_and_reads_never_call_back():
    calls = []

    class Watched:
        def __hash__(self):
            calls.append("hash")
            return 42

        def __eq__(self, other):
            calls.append("eq")
            return self is other

    value = Watched()
    obj = Indexable(v=value)
    assert calls == ["hash"]
    for _ in range(10):
        assert obj.v is value
    obj.__dir__()
    repr(obj)
    assert calls == ["hash"]
    obj.w = value
    assert calls == ["hash", "hash"]



@pytest.mark.parametrize("kind", PASS_THROUGH, ids=lambda k: k.__name__)
def test_interrupt_or_exhaustion_in_hash_propagates_and_changes_nothing(kind):
    bad = HashRaiser(kind)
    with passes_through(bad):
        Indexable(a=1, x=bad, c=3)
    obj = Indexable(x="old", n=5)
    index = Index()
    index.add_object(obj)
    for name in ["x", "fresh", "_private"]:
        with passes_through(bad):
            setattr(obj, name, bad)
    assert obj.__dir__()[:2] == ["x", "n"] and obj.x == "old"
    assert index.get_by_attribute(x="old") == [obj] and index.get_by_attribute(x=0) == []
    obj.x = "new"  # nothing is left locked or poisoned
    assert index.get_by_attribute(x="new") == [obj]
