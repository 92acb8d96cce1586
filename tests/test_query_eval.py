"""Query expressions evaluated through Index.reduced_query(...).collect():
every variant over one set of objects, errors, the views' lifetime, threads
and the cycle collector."""

import gc
import sys
import threading
import weakref

import pytest

from Lorvane import FilteredIndex, Index, Indexable, PyQueryExpr as Q
from index_helpers import raises_internal_error


class IntSub(int):
    pass


class Obj(Indexable):  # a subclass takes weak references
    pass


NAN = float("nan")

# (label, attributes), in creation order: the order collect() lists them in.
ROWS = [
    ("i1", {"n": 1}),
    ("f1", {"n": 1.0}),
    ("true", {"n": True}),
    ("f1.5", {"n": 1.5}),
    ("i2", {"n": 2}),
    ("f2", {"n": 2.0}),
    ("f2.5", {"n": 2.5}),
    ("f2.6", {"n": 2.6}),
    ("neg", {"n": -1}),
    ("str", {"n": "x"}),
    ("none", {"n": None}),
    ("nan", {"n": NAN}),
    ("sub3", {"n": IntSub(3)}),
    ("m5", {"m": 5}),
    ("priv", {"_p": 1}),
    ("big", {"n": 7, "m": 5}),
]
ALL = [label for label, _ in ROWS]


@pytest.fixture(scope="module")
def world():
    objs = [Indexable(**attrs) for _, attrs in ROWS]
    index = Index()
    index.add_object_many(objs[::-1])  # insertion order does not matter, ids do
    labels = {id(o): label for o, (label, _) in zip(objs, ROWS)}
    return index, labels


def run(world, query):
    index, labels = world
    return [labels[id(o)] for o in index.reduced_query(query).collect()]


def but(*labels):
    return [x for x in ALL if x not in labels]


CASES = {
    # equality: by hash (1, 1.0 and True are one value); not cut down to anything
    "eq int": (Q.eq("n", 1), ["i1", "f1", "true"]),
    "eq float": (Q.eq("n", 2.0), ["i2", "f2"]),
    "eq str": (Q.eq("n", "x"), ["str"]),
    "eq None": (Q.eq("n", None), ["none"]),
    "eq int subclass": (Q.eq("n", 3), ["sub3"]),
    "eq absent value": (Q.eq("n", 99), []),
    "eq missing attribute": (Q.eq("zz", 1), []),
    "eq private attribute": (Q.eq("_p", 1), []),
    # ne: the complement over every stored object, those lacking the attribute too
    "ne int": (Q.ne("n", 1), but("i1", "f1", "true")),
    "ne missing attribute": (Q.ne("zz", 1), ALL),
    "ne private attribute": (Q.ne("_p", 1), ALL),
    # order: exact int and float only, on one numeric scale
    "gt 1": (Q.gt("n", 1), ["f1.5", "i2", "f2", "f2.5", "f2.6", "big"]),
    "ge 1": (Q.ge("n", 1), ["i1", "f1", "f1.5", "i2", "f2", "f2.5", "f2.6", "big"]),
    "lt 2": (Q.lt("n", 2), ["i1", "f1", "f1.5", "neg"]),
    "le 2.0": (Q.le("n", 2.0), ["i1", "f1", "f1.5", "i2", "f2", "neg"]),
    "gt str": (Q.gt("n", "a"), []),
    "lt True": (Q.lt("n", True), []),
    "ge None": (Q.ge("n", None), []),
    "gt int subclass": (Q.gt("n", IntSub(0)), []),
    "gt NaN": (Q.gt("n", NAN), []),
    "le inf": (Q.le("m", float("inf")), ["m5", "big"]),
    "gt Indexable on a missing attribute": (Q.gt("zz", Indexable()), []),
    "bt int to float": (Q.bt("n", 1, 2.5), ["i1", "f1", "f1.5", "i2", "f2", "f2.5"]),
    "bt float to int": (Q.bt("n", 2.5, 7), ["f2.5", "f2.6", "big"]),
    "bt reversed": (Q.bt("n", 2.5, 1), []),
    "bt NaN": (Q.bt("n", NAN, 9), []),
    # membership: any listed value; duplicates and absent values change nothing
    "in two kinds": (Q.in_("n", [1, "x"]), ["i1", "f1", "true", "str"]),
    "in duplicates": (Q.in_("n", (2, 2.0, 2)), ["i2", "f2"]),
    "in absent": (Q.in_("n", [99, "q"]), []),
    "in empty": (Q.in_("n", []), []),
    "in range": (Q.in_("m", range(4, 7)), ["m5", "big"]),
    # connectives
    "not": (Q.not_(Q.eq("n", 1)), but("i1", "f1", "true")),
    "and of none": (Q.and_(), []),
    "or of none": (Q.or_(), []),
    "not and of none": (Q.not_(Q.and_()), ALL),
    "not or of none": (Q.not_(Q.or_()), ALL),
    "and of one": (Q.and_(Q.eq("m", 5)), ["m5", "big"]),
    "and": (Q.and_(Q.ge("n", 1), Q.lt("n", 2.5)), ["i1", "f1", "f1.5", "i2", "f2"]),
    "and with an empty branch": (Q.and_(Q.ge("n", 1), Q.eq("zz", 1)), []),
    "or": (Q.or_(Q.eq("n", "x"), Q.eq("m", 5)), ["str", "m5", "big"]),
    "nested": (Q.or_(Q.and_(Q.gt("n", 2), Q.lt("n", 3)), Q.not_(Q.ne("n", None))), ["f2.5", "f2.6", "none"]),
    "or of ten": (Q.or_(*[Q.eq("n", v) for v in (1, 2, "x", None, 99, -1, 7, 2.5, 2.6, 1.5)]),
                  but("nan", "sub3", "m5", "priv")),
    "and twice the same": (Q.and_(Q.eq("m", 5), Q.eq("m", 5)), ["m5", "big"]),
    # dotted paths reach nested objects only
    "path into plain values": (Q.eq("n.real", 1), []),
    "path under a missing head": (Q.gt("zz.k", 1), []),
    "ne on a path": (Q.ne("zz.k", 1), ALL),
}


@pytest.mark.parametrize("query, expected", CASES.values(), ids=CASES.keys())
def test_variants(world, query, expected):
    assert run(world, query) == expected


ERRORS = {
    "bt str upper": Q.bt("n", 1, "x"),
    "bt str lower": Q.bt("n", "x", 1),
    "bt bool bound": Q.bt("n", True, 2),
    "bt None bound": Q.bt("n", 0, None),
    "gt Indexable": Q.gt("n", Indexable()),
    "le Indexable": Q.le("m", Obj()),
    "inside and": Q.and_(Q.eq("n", 1), Q.eq("zz", 1), Q.bt("n", 1, "x")),
    "inside or under not": Q.or_(*[Q.eq("n", i) for i in range(12)], Q.not_(Q.gt("n", Indexable()))),
}


@pytest.mark.parametrize("query", ERRORS.values(), ids=ERRORS.keys())
def test_unsupported_operands_raise_the_internal_error(world, query):
    with raises_internal_error("not yet implemented"):
        run(world, query)
    assert run(world, Q.eq("m", 5)) == ["m5", "big"]  # nothing is left locked


BAD_CALLS = {
    "not an expression": ((5,), {}, "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'"),
    "missing": ((), {}, "Index.reduced_query() missing 1 required positional argument: 'query'"),
    "two": ((Q.and_(), Q.and_()), {}, "Index.reduced_query() takes 1 positional argument but 2 were given"),
    "unexpected keyword": ((), {"q": Q.and_()}, "Index.reduced_query() got an unexpected keyword argument 'q'"),
    "twice": ((Q.and_(),), {"query": Q.and_()}, "Index.reduced_query() got multiple values for argument 'query'"),
}


@pytest.mark.parametrize("args, kwargs, message", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_arguments(world, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        world[0].reduced_query(*args, **kwargs)
    assert str(info.value) == message


def test_signatures():
    assert Index.reduced_query.__text_signature__ == "($self, query)"
    assert FilteredIndex.collect.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        FilteredIndex()


def test_a_view_keeps_its_ids_and_outlives_its_index():
    objs = [Indexable(v=i % 3) for i in range(9)]
    index = Index()
    index.add_object_many(objs[4:])
    query = Q.eq("v", 1)
    view = index.reduced_query(query=query)
    again = index.reduced_query(query)  # the expression is not consumed
    assert view.collect() == again.collect() == [objs[4], objs[7]]
    # Later writes and adds: the view sees the objects' new values through
    # the shared tables, but its ids stay as they were.
    objs[4].v = 2
    index.add_object_many(objs[:4])
    assert index.reduced_query(query).collect() == [objs[1], objs[7]]
    assert view.collect() == [objs[4], objs[7]] and objs[4].v == 2
    del index, again
    gc.collect()
    assert view.collect() == [objs[4], objs[7]]
    assert type(view) is FilteredIndex


def test_views_hold_no_stray_references():
    objs = [Indexable(v=1) for _ in range(3)]
    index = Index()
    index.add_object_many(objs)
    query = Q.or_(Q.eq("v", 1), Q.gt("v", 0))
    before = [sys.getrefcount(o) for o in objs], sys.getrefcount(query)
    for _ in range(50):
        index.reduced_query(query).collect()
    views = [index.reduced_query(query) for _ in range(5)]
    del views
    gc.collect()
    assert ([sys.getrefcount(o) for o in objs], sys.getrefcount(query)) == before


# ---- the cycle collector ----------------------------------------------------------------


def make_view(obj, query=None):
    index = Index()
    index.add_object(obj)
    return index, index.reduced_query(query or Q.eq("x", 1))


@pytest.mark.parametrize("keep_index_on_object", [False, True])
@pytest.mark.parametrize("views", [1, 3])
def test_views_stored_on_their_own_objects_are_collected(keep_index_on_object, views):
    obj = Obj(x=1)
    index, view = make_view(obj)
    obj.views = [view] + [index.reduced_query(Q.ne("x", 0)) for _ in range(views - 1)]
    if keep_index_on_object:
        obj.index = index
    alive = weakref.ref(obj)
    del obj, index, view
    gc.collect()
    assert alive() is None


def test_live_objects_survive_collections_while_views_hold_them():
    # Every holder but one is garbage at some point; each time the objects
    # reachable through the live view must be intact.
    objs = [Obj(x=1, peer=None) for _ in range(4)]
    for i, o in enumerate(objs):
        o.peer = objs[i - 1]  # a cycle among the stored objects
    index = Index()
    index.add_object_many(objs)
    objs[0].index = index  # the Index becomes garbage with its objects...
    views = [index.reduced_query(Q.eq("x", 1)) for _ in range(3)]
    objs[1].view = views[0]
    marks = [weakref.ref(o) for o in objs]
    del objs, index, o
    for drop in (1, 0, 0):  # the middle view, then the first, then the last
        gc.collect()
        found = views[-1].collect()  # ... but a live view still holds them
        assert [o.x for o in found] == [1, 1, 1, 1]
        assert all(o.peer in found for o in found)
        assert found[0].index.reduced_query(Q.eq("x", 1)).collect() == found
        del found
        views.pop(drop)
    gc.collect()
    assert all(m() is None for m in marks)


def test_a_garbage_index_does_not_take_the_objects_of_a_live_view():
    obj = Obj(x=1)
    index, view = make_view(obj)
    obj.index = index
    del index, obj
    gc.collect()
    (obj,) = view.collect()
    assert obj.x == 1 and obj.index.reduced_query(Q.eq("x", 1)).collect() == [obj]


# ---- threads ---------------------------------------------------------------------------


def test_queries_never_see_an_object_between_two_values():
    objs = [Indexable(v=0) for _ in range(200)]
    index = Index()
    index.add_object_many(objs)
    both = Q.or_(Q.eq("v", 0), Q.bt("v", 1, 1))
    neither = Q.and_(Q.ne("v", 0), Q.not_(Q.in_("v", [1])))
    stop = threading.Event()
    barrier = threading.Barrier(4)
    failures = []

    def writer():
        barrier.wait()
        i = 0
        while not stop.is_set():
            objs[i % len(objs)].v = (i // len(objs)) % 2
            i += 1

    def reader():
        barrier.wait()
        for _ in range(300):
            if len(index.reduced_query(both).collect()) != len(objs):
                failures.append("both")
            if index.reduced_query(neither).collect():
                failures.append("neither")

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads[1:]:
        t.join()
    stop.set()
    threads[0].join()
    assert failures == []
