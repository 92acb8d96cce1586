"""Argument errors and text signatures of the Index methods."""

import inspect
import re

import pytest

from Lorvane import Index, Indexable
from index_helpers import same_objects


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ix: ix.add_object(5), "argument 'py_ref': 'int' object cannot be converted to 'Indexable'"),
        (lambda ix: ix.add_object(py_ref=None), "argument 'py_ref': 'NoneType' object cannot be converted to 'Indexable'"),
        (lambda ix: ix.add_object(Index()), "argument 'py_ref': 'Index' object cannot be converted to 'Indexable'"),
        (lambda ix: ix.add_object_many("ab"), "argument 'objs': Can't extract `str` to `Vec`"),
        (lambda ix: ix.add_object_many(""), "argument 'objs': Can't extract `str` to `Vec`"),
        (lambda ix: ix.add_object_many(StrSub("x")), "argument 'objs': Can't extract `str` to `Vec`"),
        (lambda ix: ix.add_object_many(5), "argument 'objs': 'int' object cannot be converted to 'Sequence'"),
        (lambda ix: ix.add_object_many({Indexable()}), "argument 'objs': 'set' object cannot be converted to 'Sequence'"),
        (lambda ix: ix.add_object_many({}), "argument 'objs': 'dict' object cannot be converted to 'Sequence'"),
        (
            lambda ix: ix.add_object_many(o for o in [Indexable()]),
            "argument 'objs': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            lambda ix: ix.add_object_many(Indexable()),
            "argument 'objs': 'Indexable' object cannot be converted to 'Sequence'",
        ),
        (
            lambda ix: ix.add_object_many([Indexable(x=1), 3]),
            "argument 'objs': 'int' object cannot be converted to 'Indexable'",
        ),
        (
            lambda ix: ix.add_object_many((Indexable(x=1), "s")),
            "argument 'objs': 'str' object cannot be converted to 'Indexable'",
        ),
    ],
)
def test_conversion_errors(call, message):
    index = Index()
    with pytest.raises(TypeError) as info:
        call(index)
    assert str(info.value) == message
    # Nothing was stored, and the index is not left borrowed.
    assert index.collect() == []
    assert index.get_by_attribute(x=1) == []
    o = Indexable(x=1)
    index.add_object(o)
    same_objects(index.get_by_attribute(x=1), [o])


def test_a_rejected_batch_registers_no_object():
    good = Indexable(x=1)
    index = Index()
    with pytest.raises(TypeError):
        index.add_object_many([good, 3])
    good.x = 2  # a core that never took the object is not told
    assert index.get_by_attribute(x=[1, 2]) == []


@pytest.mark.parametrize(
    "call, pattern",
    [
        (lambda ix, o: ix.add_object(), r"add_object\(\) missing 1 required positional argument: 'py_ref'"),
        (lambda ix, o: ix.add_object(o, o), r"add_object\(\) takes 1 positional argument but 2 were given"),
        (lambda ix, o: ix.add_object(obj=o), r"add_object\(\) got an unexpected keyword argument 'obj'"),
        (lambda ix, o: ix.add_object(o, py_ref=o), r"add_object\(\) got multiple values for argument 'py_ref'"),
        (lambda ix, o: ix.add_object_many(), r"add_object_many\(\) missing 1 required positional argument: 'objs'"),
        (lambda ix, o: ix.add_object_many([o], [o]), r"add_object_many\(\) takes 1 positional argument but 2"),
        (lambda ix, o: ix.add_object_many(items=[o]), r"add_object_many\(\) got an unexpected keyword argument 'items'"),
        (lambda ix, o: ix.collect(1), r"collect\(\) takes no arguments \(1 given\)"),
        (lambda ix, o: ix.collect(x=1), r"collect\(\) takes no keyword arguments"),
        (lambda ix, o: ix.get_by_attribute(1), r"get_by_attribute\(\) takes 0 positional arguments but 1 was given"),
        (lambda ix, o: ix.reduce({"x": 1}), r"reduce\(\) takes 0 positional arguments but 1 was given"),
        (lambda ix, o: Index(1), r"^Index\(\) takes 0 positional arguments but 1 was given$"),
        (lambda ix, o: Index(x=1), r"^Index\(\) got an unexpected keyword argument 'x'$"),
    ],
)
def test_binding_errors_name_the_method(call, pattern):
    index = Index()
    o = Indexable(x=1)
    index.add_object(o)
    with pytest.raises(TypeError, match=pattern):
        call(index, o)
    same_objects(index.get_by_attribute(x=1), [o])


def test_arguments_by_keyword():
    a, b = Indexable(x=1), Indexable(x=1)
    index = Index()
    index.add_object(py_ref=a)
    index.add_object_many(objs=[b])
    same_objects(index.get_by_attribute(x=1), [a, b])


def test_index_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (Index,), {})


@pytest.mark.parametrize(
    "name, text",
    [
        ("collect", "($self)"),
        ("reduce", "($self, **kwargs)"),
        ("get_by_attribute", "($self, **kwargs)"),
        ("add_object_many", "($self, objs)"),
        ("add_object", "($self, py_ref)"),
    ],
)
def test_text_signatures(name, text):
    method = getattr(Index, name)
    assert method.__text_signature__ == text
    params = list(inspect.signature(getattr(Index(), name)).parameters)
    assert params == re.findall(r"\w+", text)[1:]


def test_class_signature():
    assert Index.__text_signature__ == "()"
    assert str(inspect.signature(Index)) == "()"
