"""Query expressions evaluated through Index.reduced_query(...).collect():
every variant over one set of objects, errors, views and the cycle collector."""

import gc
import random
import weakref

import pytest

from Lorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q
from index_helpers import raises_internal_error


class IntSub(int):
    pass


class Obj(Indexable):  # a subclass takes weak references
    pass


NAN, INF = float("nan"), float("inf")
# label -> attributes, in creation order (the order collect() lists them in)
ROWS = {"i1": {"n": 1}, "f1": {"n": 1.0}, "true": {"n": True}, "f1.5": {"n": 1.5}, "i2": {"n": 2}, "f2": {"n": 2.0},
        "f2.5": {"n": 2.5}, "f2.6": {"n": 2.6}, "neg": {"n": -1}, "str": {"n": "x"}, "none": {"n": None},
        "nan": {"n": NAN}, "sub3": {"n": IntSub(3)}, "m5": {"m": 5}, "priv": {"_p": 1}, "big": {"n": 7, "m": 5}}
ALL = list(ROWS)


def but(*labels):
    return [x for x in ALL if x not in labels]


@pytest.fixture(scope="module")
def world():
    objs = [Indexable(**attrs) for attrs in ROWS.values()]
    index = Index()
    index.add_object_many(objs[::-1])  # insertion order does not matter, ids do
    return index, dict(zip(map(id, objs), ROWS))


CASES = {  # equality by hash (1, 1.0, True are one value); Ne and Not over every stored object
    "eq int": (Q.eq("n", 1), ["i1", "f1", "true"]), "eq str": (Q.eq("n", "x"), ["str"]),
    "eq None": (Q.eq("n", None), ["none"]), "eq int subclass": (Q.eq("n", 3), ["sub3"]),
    "eq missing": (Q.eq("zz", 1), []), "eq private": (Q.eq("_p", 1), []),
    "ne": (Q.ne("n", 1), but("i1", "f1", "true")), "ne private": (Q.ne("_p", 1), ALL),
    # order: exact ints and floats only, on one scale
    "gt 1": (Q.gt("n", 1), ["f1.5", "i2", "f2", "f2.5", "f2.6", "big"]),
    "ge 1": (Q.ge("n", 1), ["i1", "f1", "f1.5", "i2", "f2", "f2.5", "f2.6", "big"]),
    "lt 2": (Q.lt("n", 2), ["i1", "f1", "f1.5", "neg"]), "le 2.0": (Q.le("n", 2.0), ["i1", "f1", "f1.5", "i2", "f2", "neg"]),
    "gt str": (Q.gt("n", "a"), []), "ge None": (Q.ge("n", None), []), "lt True": (Q.lt("n", True), []),
    "gt int subclass": (Q.gt("n", IntSub(0)), []), "gt NaN": (Q.gt("n", NAN), []), "le inf": (Q.le("m", INF), ["m5", "big"]),
    "gt Indexable, missing attribute": (Q.gt("zz", Indexable()), []),
    "bt int to float": (Q.bt("n", 1, 2.5), ["i1", "f1", "f1.5", "i2", "f2", "f2.5"]),
    "bt float to int": (Q.bt("n", 2.5, 7), ["f2.5", "f2.6", "big"]), "bt reversed": (Q.bt("n", 2.5, 1), []),
    "in": (Q.in_("n", [1, "x"]), ["i1", "f1", "true", "str"]), "in duplicates": (Q.in_("n", (2, 2.0)), ["i2", "f2"]),
    "in empty": (Q.in_("n", []), []), "in range": (Q.in_("m", range(4, 7)), ["m5", "big"]),
    "not": (Q.not_(Q.eq("n", 1)), but("i1", "f1", "true")), "and of none": (Q.and_(), []), "or of none": (Q.or_(), []),
    "not and of none": (Q.not_(Q.and_()), ALL), "and of one": (Q.and_(Q.eq("m", 5)), ["m5", "big"]),
    "and": (Q.and_(Q.ge("n", 1), Q.lt("n", 2.5)), ["i1", "f1", "f1.5", "i2", "f2"]),
    "and, one branch empty": (Q.and_(Q.ge("n", 1), Q.eq("zz", 1)), []),
    "or": (Q.or_(Q.eq("n", "x"), Q.eq("m", 5)), ["str", "m5", "big"]),
    "nested": (Q.or_(Q.and_(Q.gt("n", 2), Q.lt("n", 3)), Q.not_(Q.ne("n", None))), ["f2.5", "f2.6", "none"]),
    "or of ten": (Q.or_(*[Q.eq("n", v) for v in (1, 2, "x", None, 99, -1, 7, 2.5, 2.6, 1.5)]),
                  but("nan", "sub3", "m5", "priv")),
    # dotted paths reach nested objects only
    "path into plain values": (Q.eq("n.real", 1), []), "ne under a missing head": (Q.ne("zz.k", 1), ALL),
}
ERRORS = {"bt str": Q.bt("n", 1, "x"), "bt str lower": Q.bt("n", "x", 1), "bt bool": Q.bt("n", True, 2),
          "gt Indexable": Q.gt("n", Indexable()), "le Indexable": Q.le("m", Obj()),
          "inside and": Q.and_(Q.eq("n", 1), Q.eq("zz", 1), Q.bt("n", 1, None)),
          "inside or, under not": Q.or_(*[Q.eq("n", i) for i in range(12)], Q.not_(Q.gt("n", Indexable())))}


@pytest.mark.parametrize("query, expected", CASES.values(), ids=CASES.keys())
def test_variants(world, query, expected):
    index, labels = world
    assert [labels[id(o)] for o in index.reduced_query(query).collect()] == expected


@pytest.mark.parametrize("query", ERRORS.values(), ids=ERRORS.keys())
def test_unsupported_operands_raise_the_internal_error(world, query):
    with raises_internal_error("not yet implemented"):
        world[0].reduced_query(query)
    assert len(world[0].reduced_query(Q.eq("m", 5)).collect()) == 2  # nothing is left locked


@pytest.mark.parametrize("args, kwargs, message", [
    ((5,), {}, "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'"),
    ((), {}, "Index.reduced_query() missing 1 required positional argument: 'query'"),
    ((Q.or_(), Q.or_()), {}, "Index.reduced_query() takes 1 positional argument but 2 were given"),
    ((), {"q": Q.or_()}, "Index.reduced_query() got an unexpected keyword argument 'q'"),
])
def test_bad_arguments(world, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        world[0].reduced_query(*args, **kwargs)
    assert str(info.value) == message
    assert (Index.reduced_query.__text_signature__, FilteredIndex.collect.__text_signature__) == ("($self, query)", "($self)")


def test_a_view_keeps_its_ids_and_outlives_its_index():
    objs = [Indexable(v=i % 3) for i in range(9)]
    index = Index()
    index.add_object_many(objs[4:])
    query = Q.eq("v", 1)
    view = index.reduced_query(query=query)
    assert view.collect() == index.reduced_query(query).collect() == [objs[4], objs[7]]  # reusable
    objs[4].v = 2  # seen through the shared tables; the view's ids stay
    index.add_object_many(objs[:4])
    assert index.reduced_query(query).collect() == [objs[1], objs[7]]
    del index
    gc.collect()
    assert view.collect() == [objs[4], objs[7]] and objs[4].v == 2


@pytest.mark.parametrize("index_on_object", [False, True])
@pytest.mark.parametrize("views", [1, 3])
def test_views_stored_on_their_own_objects_are_collected(index_on_object, views):
    obj = Obj(x=1)
    index = Index()
    index.add_object(obj)
    obj.views = [index.reduced_query(Q.eq("x", 1)) for _ in range(views)]
    if index_on_object:
        obj.index = index
    alive = weakref.ref(obj)
    del obj, index
    gc.collect()
    assert alive() is None


def test_live_objects_survive_collections_while_views_hold_them():
    # The Index and all views but one become garbage in turn; the objects a
    # live view holds must stay intact through every collection.
    objs = [Obj(x=1) for _ in range(4)]
    for i, o in enumerate(objs):
        o.peer = objs[i - 1]  # a cycle among the stored objects
    index = Index()
    index.add_object_many(objs)
    objs[0].index = index
    views = [index.reduced_query(Q.eq("x", 1)) for _ in range(3)]
    objs[1].view = views[0]
    marks = [weakref.ref(o) for o in objs]
    del objs, index, o
    for drop in (1, 0, 0):  # the middle view, then the first, then the last
        gc.collect()
        found = views[-1].collect()
        assert [o.x for o in found] == [1] * 4 and all(o.peer in found for o in found)
        assert found[0].index.reduced_query(Q.eq("x", 1)).collect() == found
        del found
        views.pop(drop)
    gc.collect()
    assert all(m() is None for m in marks)


def _deepest_tree(rng, n, combiners):
    """A tree of the builders' greatest depth, grown one level at a time from a
    leaf, with the positions of the objects it selects worked out alongside
    from the values `n` holds (None: no attribute)."""
    every = set(range(len(n)))

    def leaf():
        v = rng.randrange(8)
        return rng.choice([(Q.eq("n", v), {i for i in every if n[i] == v}),
                           (Q.lt("n", v), {i for i in every if n[i] is not None and n[i] < v}),
                           (Q.ne("n", v), {i for i in every if n[i] != v})])

    expr, hits = leaf()
    for _ in range(999):
        kind = rng.choice(combiners)
        if kind == "not":
            expr, hits = Q.not_(expr), every - hits
            continue
        other, its = leaf()
        pair = (other, expr) if rng.random() < 0.5 else (expr, other)
        expr, hits = (Q.and_(*pair), hits & its) if kind == "and" else (Q.or_(*pair), hits | its)
    with pytest.raises(RecursionError):
        Q.not_(expr)  # one level more is refused: this is the deepest tree
    return expr, hits


@pytest.mark.parametrize("combiners", [["not"], ["and", "or"], ["not", "and", "or"]])
def test_trees_of_the_greatest_depth_are_evaluated(combiners):
    rng = random.Random(len(combiners))
    n = [rng.choice([None, *range(8)]) for _ in range(300)]
    objs = [Indexable() if v is None else Indexable(n=v) for v in n]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.ne("n", 0))
    in_view = {i for i, v in enumerate(n) if v != 0}
    for _ in range(3):
        expr, hits = _deepest_tree(rng, n, combiners)
        assert index.reduced_query(expr).collect() == [objs[i] for i in sorted(hits)]
        assert view.reduced_query(expr).collect() == [objs[i] for i in sorted(hits & in_view)]
        assert repr(expr).count("(") >= 1000
