"""Indexable objects: construction, attribute read/write/delete, printing,
listing, subclasses and the free list."""

import ctypes
import gc

import pytest

from Lorvane import Indexable


def attr_names(obj):
    """The object's own names: the head of __dir__() before the default listing."""
    listing = obj.__dir__()
    return listing[: len(listing) - len(object.__dir__(obj))]


# ---- construction -------------------------------------------------------------------------


def test_keyword_arguments_become_attributes_in_order():
    obj = Indexable(z=1, a="text", m=None)
    assert (obj.z, obj.a, obj.m) == (1, "text", None)
    assert attr_names(obj) == ["z", "a", "m"]
    assert repr(obj) == "<Indexable with 3 attributes>"


def test_positional_arguments_are_ignored():
    assert repr(Indexable()) == "<Indexable with 0 attributes>"
    obj = Indexable(1, "two", [3], a=3)
    assert attr_names(obj) == ["a"] and obj.a == 3


def _call_with_raw_kwargs(func, *args, kwargs):
    # The C-level call with a keyword dict as given, keys unchecked.
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(func, tuple(args), kwargs)


@pytest.mark.parametrize(
    "make",
    [
        lambda kw: Indexable(**kw),
        lambda kw: Indexable.__new__(Indexable, **kw),
        lambda kw: type.__call__(Indexable, **kw),
        lambda kw: _call_with_raw_kwargs(Indexable, kwargs=kw),
    ],
    ids=["call", "__new__", "type.__call__", "PyObject_Call"],
)
def test_non_string_and_unencodable_keyword_names_are_skipped(make):
    try:
        obj = make({1: "int", (2, 3): "tuple", "a": 1, "\ud800": "surrogate", None: 0, "b": 2})
    except TypeError as exc:  # the interpreter refused the keys before the call
        assert "keywords must be strings" in str(exc)
        return
    assert attr_names(obj) == ["a", "b"]
    assert repr(obj) == "<Indexable with 2 attributes>"


# ---- read, write, delete ----------------------------------------------------------------------


NAMES = ["x", "", "é", "名前", "a" * 23, "a" * 24, "a_rather_long_attribute_name_" * 3, "with space", "1"]


@pytest.mark.parametrize("count", [1, 8, 9, 40], ids=lambda n: f"{n}-names")
def test_write_then_read_many_names(count):
    obj = Indexable()
    names = (NAMES + [f"name{i}" for i in range(count)])[:count]
    values = [[i] for i in range(count)]
    for name, value in zip(names, values):
        setattr(obj, name, value)
    for name, value in zip(names, values):
        assert getattr(obj, name) is value
    assert repr(obj) == f"<Indexable with {count} attributes>"
    assert sorted(attr_names(obj)) == sorted(names)
    # Overwrite every other name: count unchanged, new values visible, order kept.
    before = attr_names(obj)
    for name in names[::2]:
        setattr(obj, name, name)
    for i, name in enumerate(names):
        assert getattr(obj, name) == (name if i % 2 == 0 else [i])
    assert repr(obj) == f"<Indexable with {count} attributes>"
    if count <= 8:
        assert attr_names(obj) == before


def test_reads_return_the_very_object_assigned():
    items = [3]
    obj = Indexable(items=items)
    items.append(4)
    assert obj.items is items and obj.items == [3, 4]
    big = 10**18 + 7
    obj.big = big
    assert obj.big is big
    inner = Indexable(x=1)
    obj.inner = inner
    assert obj.inner is inner and obj.inner.x == 1


@pytest.mark.parametrize("name", ["missing", "__dict__", "é", "\ud800"])
def test_missing_attribute_error_carries_only_the_name(name):
    obj = Indexable(a=1)
    with pytest.raises(AttributeError) as info:
        getattr(obj, name)
    assert info.value.args == (name,)
    assert getattr(obj, name, "default") == "default"
    assert not hasattr(obj, name)


@pytest.mark.parametrize("name", ["a", "unset", "__dir__", "__class__"])
def test_delete_is_always_refused(name):
    obj = Indexable(a=1)
    with pytest.raises(AttributeError) as info:
        delattr(obj, name)
    assert str(info.value) == "can't delete attribute"
    assert obj.a == 1 and repr(obj) == "<Indexable with 1 attributes>"


def test_unencodable_name_on_write_is_refused():
    obj = Indexable(a=1)
    with pytest.raises(UnicodeEncodeError):
        setattr(obj, "\ud800", 2)
    assert attr_names(obj) == ["a"]


def test_non_string_names_reaching_the_slots():
    obj = Indexable(a=1)
    message = "argument 'name': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as info:
        Indexable.__setattr__(obj, 1, 2)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        Indexable.__getattribute__(obj, 1)
    assert str(info.value) == message
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        Indexable.__delattr__(obj, 1)
    assert repr(obj) == "<Indexable with 1 attributes>"


@pytest.mark.parametrize("name", ["__dir__", "__repr__", "__class__", "__doc__", "__init__", "__setattr__"])
def test_stored_names_shadow_class_attributes_for_reads(name):
    obj = Indexable()
    setattr(obj, name, "stored")
    assert getattr(obj, name) == "stored"
    # The interpreter's own slot lookups go through the type and are unaffected.
    assert type(obj) is Indexable
    assert repr(obj) == "<Indexable with 1 attributes>"
    assert name in dir(obj)


# ---- repr and dir -------------------------------------------------------------------------------


def test_dir_lists_own_names_then_the_default_listing_with_duplicates():
    obj = Indexable(b=1, __doc__="mine", a=2)
    listing = obj.__dir__()
    assert listing == ["b", "__doc__", "a"] + object.__dir__(obj)
    assert listing.count("__doc__") == 2
    assert dir(obj) == sorted(listing)
    assert obj.__dir__() is not obj.__dir__()  # a new list each time


# ---- subclasses ------------------------------------------------------------------------------------


class Point(Indexable):
    def __init__(self, x, y, **extra):
        self.x = x
        self.y = y

    def norm1(self):
        return abs(self.x) + abs(self.y)


def test_subclass_with_its_own_init():
    p = Point(3, -4, colour="red")
    assert (p.x, p.y, p.colour) == (3, -4, "red")
    assert p.norm1() == 7
    assert repr(p) == "<Indexable with 3 attributes>"
    assert attr_names(p)[:1] == ["colour"]  # keywords are stored before __init__ runs
    assert "norm1" in dir(p)
    with pytest.raises(TypeError):
        Point(1)  # the subclass's own __init__ still checks its arguments


def test_subclass_without_init_accepts_positional_arguments():
    class Plain(Indexable):
        pass

    obj = Plain(1, 2, a=1)
    assert attr_names(obj) == ["a"]


def test_subclass_writes_go_to_the_map_not_to_properties_slots_or_dict():
    setter_calls = []

    class Rich(Indexable):
        __slots__ = ("slot",)

        @property
        def prop(self):
            return "property"

        @prop.setter
        def prop(self, value):
            setter_calls.append(value)

    obj = Rich()
    assert obj.prop == "property"
    obj.prop = "stored"
    obj.slot = "in map"
    assert obj.prop == "stored" and obj.slot == "in map"
    assert setter_calls == []
    with pytest.raises(AttributeError):
        Rich.slot.__get__(obj)  # the slot itself was never written

    class WithDict(Indexable):
        pass

    obj = WithDict(a=1)
    obj.__dict__["a"] = "from dict"
    obj.__dict__["only_in_dict"] = 2
    assert obj.a == 1  # the map wins
    assert obj.only_in_dict == 2  # the ordinary lookup finds the rest
    obj.b = 3
    assert "b" not in obj.__dict__


def test_subclass_instances_support_weakrefs_and_gc():
    import weakref

    class Sub(Indexable):
        pass

    obj = Sub(a=1)
    ref = weakref.ref(obj)
    obj.__dict__["me"] = obj  # a cycle through the instance dict is collectable
    del obj
    gc.collect()
    assert ref() is None


# ---- free list ---------------------------------------------------------------------------------------


def test_recycled_objects_start_fresh():
    marker = object()
    for _ in range(4):
        batch = [Indexable(stale=marker, n=i) for i in range(1500)]
        for i, obj in enumerate(batch[::97]):
            assert obj.stale is marker
        del batch
        fresh = [Indexable() for _ in range(700)] + [Indexable(n=-1) for _ in range(700)]
        mixed = [Point(i, i) for i in range(200)]  # subclass objects bypass the list
        for obj in fresh[:700]:
            assert repr(obj) == "<Indexable with 0 attributes>"
            with pytest.raises(AttributeError):
                obj.stale
        for obj in fresh[700:]:
            assert attr_names(obj) == ["n"] and obj.n == -1
        assert all(p.x == p.y for p in mixed)
        del fresh, mixed
