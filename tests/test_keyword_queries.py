"""Keyword selection (get_by_attribute) and in-place narrowing (reduce)."""

import sys

import pytest

from conftest import PASS_THROUGH, HashRaiser, IterRaiser, NextRaiser, passes_through
from Lorvane import Index, Indexable
from index_helpers import brute, raises_internal_error, same_objects


@pytest.fixture
def population():
    values = ["abc", "a", "b", "c", 0, 1, 2, 3, 97, 98, 2.5, None, "", (1, 2), Indexable()]
    objs = [Indexable(x=v, parity=i % 2, tag="t%d" % (i % 3)) for i, v in enumerate(values)]
    index = Index()
    index.add_object_many(objs)
    return index, objs


def gen(*items):
    yield from items


COLLECTIONS = [
    pytest.param("abc", id="str-not-split"),
    pytest.param("a", id="one-letter-str"),
    pytest.param("", id="empty-str-is-a-value"),
    pytest.param(["a", 2], id="list"),
    pytest.param(("b", 3, 3.0), id="tuple"),
    pytest.param({"c", 1}, id="set"),
    pytest.param(frozenset({2.5, None}), id="frozenset"),
    pytest.param(range(1, 4), id="range"),
    pytest.param({"a": "ignored", 0: "ignored"}, id="dict-keys"),
    pytest.param(b"ab", id="bytes-as-ints"),
    pytest.param(bytearray(b"b"), id="bytearray-as-ints"),
    pytest.param(lambda: gen("abc", 1), id="generator"),
    pytest.param(lambda: iter(["c"]), id="iterator"),
    pytest.param([(1, 2)], id="tuple-inside-list"),
    pytest.param(2, id="int"),
    pytest.param(2.0, id="float-equal-to-int"),
    pytest.param(True, id="bool-equal-to-1"),
    pytest.param(None, id="none"),
    pytest.param([[]], id="unhashable-equals-zero"),
    pytest.param([], id="empty-list"),
    pytest.param((), id="empty-tuple"),
    pytest.param(set(), id="empty-set"),
    pytest.param({}, id="empty-dict"),
    pytest.param(range(0), id="empty-range"),
    pytest.param(lambda: gen(), id="empty-generator"),
]


@pytest.mark.parametrize("value", COLLECTIONS)
def test_keyword_values(population, value):
    index, objs = population
    if callable(value):  # iterators are consumed once: one for each side
        expected = brute(objs, x=value())
        result = index.get_by_attribute(x=value())
    else:
        expected = brute(objs, x=value)
        result = index.get_by_attribute(x=value)
    same_objects(result, expected)


def test_brute_force_reference_agrees_on_known_cases(population):
    # The reference itself is checked on a few hand-worked answers.
    _, objs = population
    assert [o.x for o in brute(objs, x="abc")] == ["abc"]
    assert [o.x for o in brute(objs, x=b"a")] == [97]
    assert [o.x for o in brute(objs, x=[])] == []
    assert [o.x for o in brute(objs, x=True)] == [1]


def test_an_indexable_value_stands_for_itself(population):
    index, objs = population
    nested = objs[-1].x
    same_objects(index.get_by_attribute(x=nested), [objs[-1]])
    same_objects(index.get_by_attribute(x=[nested, "a"]), [objs[1], objs[-1]])


def test_no_keywords_selects_nothing(population):
    index, _ = population
    assert index.get_by_attribute() == []
    assert index.get_by_attribute(**{}) == []


@pytest.mark.parametrize(
    "kwargs",
    [
        {"parity": 0, "tag": "t0"},
        {"tag": "t0", "parity": 0},
        {"parity": [0, 1], "tag": ["t1", "t2"]},
        {"parity": 1, "tag": ["t0", "t1"], "x": range(10)},
        {"parity": 1, "tag": "t9"},
        {"parity": [], "tag": "t0"},
    ],
)
def test_several_keywords_intersect(population, kwargs):
    index, objs = population
    same_objects(index.get_by_attribute(**kwargs), brute(objs, **kwargs))


@pytest.mark.parametrize("missing", ["nosuch", "_hidden", "parity.x"])
def test_a_missing_attribute_empties_the_result(population, missing):
    index, objs = population
    for o in objs:
        o._hidden = 1
    assert index.get_by_attribute(**{missing: [0, 1]}) == []
    assert index.get_by_attribute(parity=[0, 1], **{missing: [0, 1]}) == []


def test_results_are_in_id_order_and_unique():
    objs = [Indexable(v=i % 3) for i in range(30)]
    index = Index()
    index.add_object_many(objs[::-1])
    same_objects(index.get_by_attribute(v=[2, 0, 1, 2, 0.0, True]), objs)


@pytest.mark.parametrize(
    "kwargs",
    [
        # a one-object keyword against keywords of thousands: the running
        # result is checked id by id
        {"uniq": 1234, "mod7": [0, 1, 2, 3, 4, 5, 6], "mod3": [1, 2]},
        {"uniq": [5, 6, 7, 4000], "mod7": 5},
        {"uniq": range(0, 6000, 600), "mod3": 0},
        # large keywords of many bitmaps each: united, then intersected
        {"mod7": [1, 2, 3], "mod3": [0, 2], "mod11": range(0, 11, 2)},
        {"mod7": range(7), "mod11": 3, "mod3": 1},
        # sets of every form in one keyword (bitmaps and inline ids)
        {"mod7": 4, "rare": [0, 1, 2, 3, 4, 5]},
        # a few hundred ids against a keyword of most objects: each id's
        # value is read from the attribute's id column
        {"mod11": 3, "mod7": range(6)},
        {"rare": range(0, 1500, 100), "mod3": [0, 1], "mod7": [1, 2, 3, 4, 5, 6]},
        # against one value held by a third of the objects: one intersection
        {"rare": [0, 1, 2], "mod3": 1},
    ],
)
def test_narrowing_strategies_agree_with_a_scan(kwargs):
    n = 6000
    objs = [Indexable(uniq=i, mod3=i % 3, mod7=i % 7, mod11=i % 11, rare=i % 1500) for i in range(n)]
    index = Index()
    index.add_object_many(objs)
    got = index.get_by_attribute(**kwargs)
    same_objects(got, brute(objs, **kwargs))
    # and after writes have moved objects between sets
    for o in objs[::13]:
        o.mod7 = (o.mod7 + 1) % 7
        o.uniq = -o.uniq
    same_objects(index.get_by_attribute(**kwargs), brute(objs, **kwargs))


def failing_generator(error):
    yield 1
    yield 2
    raise error


def test_a_generator_that_raises_part_way_stops_with_the_internal_error(population):
    index, objs = population
    view = index.reduced(parity=[0, 1])
    # The user's own exception object stays reachable as the cause.
    for query in (index.get_by_attribute, index.reduced, view.reduced, index.reduce):
        error = KeyError("boom part-way")
        with raises_internal_error(match="boom part-way") as info:
            query(x=failing_generator(error))
        assert str(info.value).startswith("keyword value iteration failed: Traceback")
        assert info.value.__cause__ is error and info.value.__suppress_context__
    # Nothing was changed and nothing is left locked or borrowed.
    same_objects(index.get_by_attribute(x=[1, 2]), brute(objs, x=[1, 2]))
    same_objects(index.collect(), objs)
    objs[0].x = 1
    same_objects(index.get_by_attribute(x=1), brute(objs, x=1))
    index.add_object(Indexable(x=1))
    assert len(index.get_by_attribute(x=1)) == 3


@pytest.mark.parametrize("kind", PASS_THROUGH, ids=lambda k: k.__name__)
def test_interrupt_or_exhaustion_while_building_a_query_propagates(population, kind):
    index, objs = population
    for raiser, value in [(HashRaiser, lambda r: r), (HashRaiser, lambda r: [1, r]), (IterRaiser, lambda r: r),
                          (NextRaiser, lambda r: r)]:
        for query in (index.get_by_attribute, index.reduce):
            with passes_through(r := raiser(kind)):
                query(parity=0, x=value(r))
    # Nothing was narrowed, and nothing is left locked or borrowed.
    same_objects(index.get_by_attribute(parity=[0, 1]), objs)


def test_an_ordinary_error_from_hash_or_iter_is_the_values_own():
    objs = [Indexable(x=0), Indexable(x=HashRaiser(ValueError)), Indexable(x=HashRaiser(TypeError)), Indexable(x=1)]
    index = Index()
    index.add_object_many(objs)
    same_objects(index.get_by_attribute(x=0), objs[:3])  # all hash as 0
    same_objects(index.get_by_attribute(x=[1, HashRaiser(LookupError)]), objs)
    assert index.get_by_attribute(x=IterRaiser(ValueError)) == []  # stands for itself
    assert sys.exc_info() == (None, None, None)


def test_a_keyword_value_that_cannot_be_captured(population):
    index, _ = population
    with raises_internal_error():
        index.get_by_attribute(x=[1, 2**64])
    assert len(index.get_by_attribute(x=1)) == 1


# ---- reduce ------------------------------------------------------------------------


def make_reduce_population(n=300):
    objs = [Indexable(i=i, m=i % 7, f=i / 3, s="s%d" % (i % 5), _p=i) for i in range(n)]
    index = Index()
    index.add_object_many(objs)
    return index, objs


@pytest.mark.parametrize(
    "keep",
    [
        {"m": 3},
        {"m": [1, 2], "s": "s0"},
        {"f": [o / 3 for o in range(0, 300, 2)]},
        {"i": range(300)},
        {},
        {"nosuch": 1},
    ],
    ids=["one", "two-keywords", "floats", "everything", "no-keywords", "missing"],
)
def test_reduce_narrows_queries_but_not_collect(keep):
    index, objs = make_reduce_population()
    kept = brute(objs, **keep)
    assert index.reduce(**keep) is None
    same_objects(index.collect(), objs)
    for query in [{"m": range(7)}, {"s": ["s1", "s0"]}, {"i": 150}, {"m": 3, "s": "s3"}, {"f": 1.0}]:
        same_objects(index.get_by_attribute(**query), brute(kept, **query))
    # Narrowing again by the same keywords keeps the same objects (the
    # repeated insertions of numeric values must not upset the ordered tree).
    index.reduce(**keep)
    same_objects(index.get_by_attribute(m=range(7)), brute(kept, m=range(7)))


def test_assignment_after_reduce():
    index, objs = make_reduce_population(40)
    index.reduce(m=0)
    kept = brute(objs, m=0)
    dropped = objs[1]
    # A write to an object that was not kept puts it back under its new value.
    dropped.m = 0
    same_objects(index.get_by_attribute(m=0), brute(objs, m=0))
    same_objects(index.get_by_attribute(m=0), sorted(kept + [dropped], key=lambda o: o.i))
    # Only the assigned attribute comes back; the others stay narrowed.
    assert dropped not in index.get_by_attribute(s=dropped.s)
    # A kept object moves as usual.
    kept[0].m = 6
    same_objects(index.get_by_attribute(m=6), [kept[0]])
    # Adding the object again indexes all of its attributes.
    index.add_object(dropped)
    expected = sorted(brute(kept, s=dropped.s) + [dropped], key=lambda o: o.i)
    same_objects(index.get_by_attribute(s=dropped.s), expected)
