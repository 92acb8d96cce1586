"""Attribute writes on stored objects keep every index that holds them current."""

import gc

import pytest

from Lorvane import Index, Indexable
from index_helpers import hash_of, raises_internal_error, same_objects


def indexed(*objs, count=1):
    indexes = [Index() for _ in range(count)]
    for ix in indexes:
        ix.add_object_many(list(objs))
    return indexes if count > 1 else indexes[0]


@pytest.mark.parametrize("batch", [False, True])
def test_both_indexes_see_a_change(batch):
    o, other = Indexable(colour="red"), Indexable(colour="red")
    a, b = Index(), Index()
    for ix in (a, b):
        if batch:
            ix.add_object_many([o, other])
        else:
            ix.add_object(o)
            ix.add_object(other)
    o.colour = "blue"
    for ix in (a, b):
        same_objects(ix.get_by_attribute(colour="red"), [other])
        same_objects(ix.get_by_attribute(colour="blue"), [o])


def test_a_dropped_index_is_skipped():
    o = Indexable(k=1)
    a, b = indexed(o, count=2)
    del a
    gc.collect()
    o.k = 2
    same_objects(b.get_by_attribute(k=2), [o])
    c = Index()
    c.add_object(o)  # recording a new index prunes the dead entry
    o.k = 3
    for ix in (b, c):
        same_objects(ix.get_by_attribute(k=3), [o])
        assert ix.get_by_attribute(k=[1, 2]) == []


def test_underscore_names_are_stored_but_never_found():
    o = indexed_obj = Indexable()
    index = indexed(indexed_obj)
    o._secret = 5
    o._secret = 6
    assert o._secret == 6
    assert index.get_by_attribute(_secret=[5, 6]) == []
    o.public = 6
    same_objects(index.get_by_attribute(public=6), [o])


@pytest.mark.parametrize("value", [3, 3.5, "v", None, (1, 2), ["unhashable"]])
def test_assigning_the_same_value_again_changes_nothing(value):
    objs = [Indexable(x=value) for _ in range(6)]
    index = indexed(*objs)
    for _ in range(3):
        for o in objs:
            o.x = value
    key = [value]  # a one-item list: the value itself, even for a tuple or a list
    same_objects(index.get_by_attribute(x=key), objs)
    for o in objs:
        o.x = "elsewhere"
    assert index.get_by_attribute(x=key) == []
    same_objects(index.get_by_attribute(x="elsewhere"), objs)


def test_values_sharing_a_hash_are_one_value():
    one, one_f, true = Indexable(x=1), Indexable(x=1.0), Indexable(x=True)
    zero, false, unhashable = Indexable(x=0), Indexable(x=False), Indexable(x={})
    index = indexed(one, one_f, true, zero, false, unhashable)
    for q in (1, 1.0, True):
        same_objects(index.get_by_attribute(x=q), [one, one_f, true])
    for q in (0, 0.0, False):
        same_objects(index.get_by_attribute(x=q), [zero, false, unhashable])
    # The first holder of the shared value leaves; the others stay under it.
    one.x = 2
    same_objects(index.get_by_attribute(x=1), [one_f, true])
    one_f.x = 2.0
    true.x = 2
    assert index.get_by_attribute(x=1) == []
    same_objects(index.get_by_attribute(x=2), [one, one_f, true])
    # Moving to a value equal to the current one keeps the object found.
    zero.x = 0.0
    same_objects(index.get_by_attribute(x=False), [zero, false, unhashable])


def test_minus_one_and_minus_two_share_a_hash():
    a, b = Indexable(x=-1), Indexable(x=-2)
    index = indexed(a, b)
    same_objects(index.get_by_attribute(x=-1), [a, b])
    a.x = -2
    b.x = -1
    same_objects(index.get_by_attribute(x=-2), [a, b])
    a.x = 5
    same_objects(index.get_by_attribute(x=-1), [b])


def test_moving_the_only_holder_of_a_value():
    o, other = Indexable(colour="red"), Indexable(colour="green")
    index = indexed(o, other)
    o.colour = "blue"
    assert index.get_by_attribute(colour="red") == []
    same_objects(index.get_by_attribute(colour="blue"), [o])
    o.colour = "red"
    assert index.get_by_attribute(colour="blue") == []
    same_objects(index.get_by_attribute(colour=["red", "green"]), [o, other])


@pytest.mark.parametrize("values", [["red", "blue", "red"], [1, 2.5, "s", None, 1, 7]])
def test_attribute_map_that_loses_its_last_value_is_recreated(values):
    # The only object with a colour: every write empties the colour map and
    # fills it again.
    o = Indexable(colour=values[0], other=0)
    index = indexed(o)
    for previous, value in zip(values, values[1:]):
        o.colour = value
        same_objects(index.get_by_attribute(colour=value), [o])
        if hash(previous) != hash(value):
            assert index.get_by_attribute(colour=previous) == []
        same_objects(index.get_by_attribute(colour=value, other=0), [o])


def test_a_new_attribute_after_adding_is_indexed():
    o = Indexable()
    index = indexed(o)
    assert index.get_by_attribute(fresh=1) == []
    o.fresh = 1
    same_objects(index.get_by_attribute(fresh=1), [o])


def test_value_moves_between_kinds():
    o, peer = Indexable(x=1), Indexable(x=1)
    index = indexed(o, peer)
    for value in [2.5, "2.5", None, 2**62, -(2**63), 2**63 - 1, float("inf"), [1], Indexable(), 1]:
        o.x = value
        found = index.get_by_attribute(x=[value])
        assert o in found
        if hash_of(value) != 1:
            assert o not in index.get_by_attribute(x=1)
    same_objects(index.get_by_attribute(x=1), [o, peer])


@pytest.mark.parametrize("bad", [2**63, -(2**63) - 1, "\ud800"])
def test_a_value_that_cannot_be_captured_changes_nothing(bad):
    o = Indexable(x=1)
    index = indexed(o)
    with raises_internal_error():
        o.x = bad
    assert o.x == 1
    same_objects(index.get_by_attribute(x=1), [o])
    o.x = 2  # the object and the index stay usable
    same_objects(index.get_by_attribute(x=2), [o])
