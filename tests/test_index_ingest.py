"""Storing objects in an Index: collect order, repeated adds, batches, and
objects shared by several indexes."""

import gc
import random
import weakref

import pytest

from Lorvane import Index, Indexable
from index_helpers import brute, ids, same_objects


def add_one_by_one(index, objs):
    for o in objs:
        assert index.add_object(o) is None


def add_as_list(index, objs):
    assert index.add_object_many(list(objs)) is None


def add_as_tuple(index, objs):
    assert index.add_object_many(tuple(objs)) is None


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, i):
        return self._items[i]


def add_as_custom_sequence(index, objs):
    assert index.add_object_many(Seq(objs)) is None


def add_as_sequence_claiming_a_huge_length(index, objs):  # the length sizes nothing
    assert index.add_object_many(type("Huge", (Seq,), {"__len__": lambda self: 10**17})(objs)) is None


ADDERS = [add_one_by_one, add_as_list, add_as_tuple, add_as_custom_sequence, add_as_sequence_claiming_a_huge_length]


class Sub(Indexable):
    pass


def test_empty_index_holds_nothing():
    index = Index()
    assert index.collect() == []
    assert index.get_by_attribute(x=1) == []
    assert index.add_object_many([]) is None
    assert index.collect() == []


@pytest.mark.parametrize("add", ADDERS)
def test_collect_lists_objects_by_ascending_id_whatever_the_add_order(add):
    objs = [Indexable(n=i) for i in range(40)]
    shuffled = objs[:]
    random.Random(7).shuffle(shuffled)
    index = Index()
    add(index, shuffled)
    same_objects(index.collect(), objs)
    same_objects(index.get_by_attribute(n=range(40)), objs)


@pytest.mark.parametrize("add", ADDERS)
def test_queries_return_the_stored_objects_themselves(add):
    payload = ["not", "copied"]
    objs = [Indexable(k="a", payload=payload), Sub(k="a"), Indexable(k="b")]
    index = Index()
    add(index, objs)
    found = index.get_by_attribute(k="a")
    same_objects(found, objs[:2])
    assert found[0].payload is payload
    assert type(found[1]) is Sub


@pytest.mark.parametrize(
    "adds",
    [
        pytest.param(lambda ix, o, others: (ix.add_object(o), ix.add_object(o)), id="add_object-twice"),
        pytest.param(lambda ix, o, others: ix.add_object_many([o, *others, o]), id="twice-in-one-batch"),
        pytest.param(
            lambda ix, o, others: (ix.add_object_many([o, *others]), ix.add_object_many([*others, o])),
            id="two-batches",
        ),
        pytest.param(
            lambda ix, o, others: (ix.add_object(o), ix.add_object_many([*others, o]), ix.add_object(o)),
            id="mixed",
        ),
    ],
)
@pytest.mark.parametrize("value", [7, 2.5, "s", None, True])
def test_an_object_added_repeatedly_is_held_once(adds, value):
    # Five other holders of the same value push the value's id set past its
    # inline form; the repeated adds then hit both forms.
    others = [Indexable(v=value, w=i) for i in range(5)]
    obj = Indexable(v=value, w=99)
    index = Index()
    adds(index, obj, others)
    everything = index.collect()
    assert ids(everything).count(id(obj)) == 1
    assert ids(index.get_by_attribute(v=value)).count(id(obj)) == 1
    # One assignment moves the object away completely: no second copy of the
    # (value, id) pair stays behind.
    obj.v = "moved"
    assert id(obj) not in ids(index.get_by_attribute(v=value))
    same_objects(index.get_by_attribute(v="moved"), [obj])
    obj.v = value
    assert ids(index.get_by_attribute(v=value)).count(id(obj)) == 1
    assert index.get_by_attribute(v="moved") == []


def test_many_numeric_values_added_twice_then_moved():
    # Enough distinct numbers that the ordered tree has inner nodes, so a
    # repeated key lands on a separator.
    objs = [Indexable(n=i, f=i / 4) for i in range(600)]
    index = Index()
    index.add_object_many(objs)
    index.add_object_many(objs[::-1])
    for o in objs[::3]:
        index.add_object(o)
    same_objects(index.collect(), objs)
    for o in objs:
        same_objects(index.get_by_attribute(n=o.n, f=o.f), [o])
    for o in objs:
        o.n = -1000 - o.n
    assert index.get_by_attribute(n=range(600)) == []
    same_objects(index.get_by_attribute(n=range(-1599, -999)), objs)


def test_a_batch_large_enough_to_spread_over_threads():
    # 30,000 objects x 5 indexed names: the columns are ingested in parallel.
    # Columns of every kind, one of them mixed, some objects repeated.
    n = 30_000
    objs = [Indexable(s="s%d" % (i % 37), i=i % 101, f=(i % 53) / 8, u="u%d" % i,
                      mixed=[i % 5, "x", 2.5, None][i % 4], _p=i) for i in range(n)]
    index = Index()
    index.add_object_many(objs + objs[:500])
    same_objects(index.collect(), objs)
    for kwargs in [dict(s="s3"), dict(i=[7, 100]), dict(f=[0.125, 6.5]), dict(u="u29999"),
                   dict(mixed=[2, "x"]), dict(s=["s1", "s2"], i=range(50), mixed=[None, 1])]:
        same_objects(index.get_by_attribute(**kwargs), brute(objs, **kwargs))
    # writes after the batch reach every column
    for o in objs[::97]:
        o.i = -1
        o.f = -1.0
    same_objects(index.get_by_attribute(i=-1, f=-1), objs[::97])


def test_attributes_set_before_adding_are_indexed_with_their_latest_value():
    o = Indexable(a=1)
    o.a = 2
    o.b = "late"
    index = Index()
    index.add_object(o)
    assert index.get_by_attribute(a=1) == []
    same_objects(index.get_by_attribute(a=2, b="late"), [o])


def test_object_without_attributes_is_stored_but_found_by_no_query():
    o = Indexable()
    index = Index()
    index.add_object(o)
    same_objects(index.collect(), [o])
    assert index.get_by_attribute(x=None) == []
    o.x = None
    same_objects(index.get_by_attribute(x=None), [o])


@pytest.mark.parametrize("name", ["", "a.b", "ünïcødé", "a_very_long_attribute_name_beyond_inline_size", "x y"])
def test_unusual_attribute_names_are_indexed_whole(name):
    o = Indexable(**{name: 1})
    index = Index()
    index.add_object(o)
    same_objects(index.get_by_attribute(**{name: 1}), [o])
    if "." in name:
        assert index.get_by_attribute(**{name.split(".")[0]: 1}) == []


def test_underscore_names_are_stored_but_never_found():
    o = Indexable(_hidden=1, shown=1)
    index = Index()
    index.add_object(o)
    assert o._hidden == 1
    assert index.get_by_attribute(_hidden=1) == []
    same_objects(index.get_by_attribute(shown=1), [o])


@pytest.mark.parametrize("add", [add_one_by_one, add_as_list])
def test_object_in_two_indexes(add):
    shared = Indexable(k=1)
    only_a = Indexable(k=1)
    only_b = Indexable(k=1)
    a, b = Index(), Index()
    add(a, [shared, only_a])
    add(b, [only_b, shared])
    same_objects(a.collect(), [shared, only_a])
    same_objects(b.collect(), [shared, only_b])
    same_objects(a.get_by_attribute(k=1), [shared, only_a])
    same_objects(b.get_by_attribute(k=1), [shared, only_b])


def test_index_keeps_objects_alive_and_releases_them_when_dropped():
    index = Index()
    index.add_object_many([Sub(k=i) for i in range(3)])
    index.add_object(Sub(k=3))
    gc.collect()
    stored = index.collect()
    assert [o.k for o in stored] == [0, 1, 2, 3]
    refs = [weakref.ref(o) for o in stored]
    del stored
    index.add_object(refs[3]())  # the overwritten item is released too
    del index
    gc.collect()
    assert all(r() is None for r in refs)
