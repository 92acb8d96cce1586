"""Reference leaks (repeat a scenario, compare counts) and threads started
together on shared objects."""

import gc
import os
import sys
import threading

import pytest

from conftest import PanicException, thread_rounds
from Lorvane import Indexable, PyQueryExpr, sum_as_string

ROUNDS = 2000


class Unhashable:
    __hash__ = None


class HashRaises:
    def __hash__(self):
        raise RuntimeError("no hash")


def _scenario(values, bad):
    for _ in range(ROUNDS):
        obj = Indexable(a=values[0], b=values[1], c=values[2])
        obj.a = values[1]
        obj.d = values[0]
        for i in range(10):  # the ninth name moves the map to its hashed form
            setattr(obj, f"n{i}", values[i % len(values)])
        assert obj.b is values[1]
        obj.__dir__()
        repr(obj)
        try:
            obj.a = bad
        except PanicException:
            pass
        try:
            Indexable(x=values[0], y=bad)
        except PanicException:
            pass
        try:
            obj.missing
        except AttributeError:
            pass
        sum_as_string(1, 2)
        try:
            sum_as_string(values[0], 1)
        except TypeError:
            pass
        _query_exprs(values, bad)


def _query_exprs(values, bad):
    Q = PyQueryExpr
    expr = Q.and_(Q.eq("a", values[0]), Q.in_("b", values), Q.not_(Q.bt("c", values[2], values[3])))
    repr(Q.or_(expr, expr, Q.ne("d", values[-1])))
    try:
        Q.in_("a", [values[0], bad])
    except PanicException:
        pass
    try:
        Q.and_(expr, bad)
    except TypeError:
        pass


@pytest.mark.parametrize("bad", [2**64, "\ud800"], ids=["huge int", "surrogate"])
def test_values_are_released(bad):
    values = [object(), "some text " * 3, 12345678901, 2.5, [1, 2], Unhashable(), HashRaises(), Indexable(z=1)]
    _scenario(values, bad)  # warm-up: caches settle
    gc.collect()
    before = [sys.getrefcount(v) for v in values + [bad]]
    _scenario(values, bad)
    gc.collect()
    after = [sys.getrefcount(v) for v in values + [bad]]
    assert after == before


def test_subclass_objects_release_their_values():
    class Sub(Indexable):
        def __init__(self, **kw):
            self.extra = kw.get("a")

    value = object()
    before = sys.getrefcount(value)
    objs = [Sub(a=value, b=value) for _ in range(1000)]
    assert sys.getrefcount(value) == before + 3 * 1000
    del objs
    gc.collect()
    assert sys.getrefcount(value) == before


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="the interpreter's allocator is not in use")
def test_no_memory_growth():
    values = [object(), "text", 7, [1]]
    growth = []
    for _ in range(4):
        gc.collect()
        start = sys.getallocatedblocks()
        _scenario(values, 2**64)
        gc.collect()
        growth.append(sys.getallocatedblocks() - start)
    # A leak of one block per round would add ROUNDS blocks every pass.
    assert min(growth[1:]) < ROUNDS // 10, growth


# ---- threads ---------------------------------------------------------------------------------------

THREADS = 4
ITERATIONS = max(12, thread_rounds(3000))  # each shared object is written at least once


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_write_and_read_shared_objects(fast_switching):
    shared = [Indexable(shared=None, **{f"pre{i}": i for i in range(k)}) for k in range(12)]
    barrier = threading.Barrier(THREADS)
    errors = []

    def work(tid):
        own = f"t{tid}"
        try:
            barrier.wait()
            for i in range(ITERATIONS):
                obj = shared[i % len(shared)]
                mine = (tid, i)
                setattr(obj, own, mine)
                obj.shared = mine
                if getattr(obj, own) is not mine:  # only this thread writes `own`
                    errors.append(("own value lost", tid, i))
                seen = obj.shared
                if not (isinstance(seen, tuple) and len(seen) == 2):
                    errors.append(("torn shared value", seen))
                if i % 64 == 0:
                    names = obj.__dir__()
                    if names.count(own) != 1:
                        errors.append(("listing", names))
                    repr(obj)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for k, obj in enumerate(shared):
        last = max(i for i in range(ITERATIONS) if i % len(shared) == k)
        for tid in range(THREADS):
            assert getattr(obj, f"t{tid}") == (tid, last)
        assert obj.shared in {(tid, last) for tid in range(THREADS)}
        assert repr(obj) == f"<Indexable with {k + 1 + THREADS} attributes>"
        for i in range(k):
            assert getattr(obj, f"pre{i}") == i


# ---- the cycle collector and memory ------------------------------------------------------------


class Node(Indexable):
    """A subclass, so that weak references can show when an object is freed."""


def _graphs():
    """Each builds a cycle, drops its own names and returns weak references
    to objects that only the collector can free."""
    import weakref

    from Lorvane import Index

    def pairs():  # 100,000 two-object cycles through attributes
        refs = []
        for i in range(100_000):
            a, b = Node(n=i), Node(n=i)
            a.peer, b.peer = b, a
            refs.append(weakref.ref(a))
        return refs

    def parent_child_self_and_list():
        parent, me, plain = Node(), Node(), Indexable(box=[])
        parent.children = [Node(parent=parent) for _ in range(10)]
        me.me = me
        plain.box.append(plain)
        return [weakref.ref(parent), weakref.ref(me)]

    def index_on_its_own_object():
        o, ix = Node(x=1), Index()
        o.idx = ix
        ix.add_object(o)
        return [weakref.ref(o)]

    def peers_in_an_index_on_one_of_them():
        objs = [Node(k=i % 3) for i in range(50)]
        for i, o in enumerate(objs):
            o.peer = objs[(i + 1) % len(objs)]
        ix = Index()
        ix.add_object_many(objs)
        objs[7].index = ix
        return [weakref.ref(o) for o in objs]

    return [pairs, parent_child_self_and_list, index_on_its_own_object, peers_in_an_index_on_one_of_them]


@pytest.mark.parametrize("graph", range(4), ids=["pairs", "parent-child", "index-on-own-object", "index-and-peers"])
def test_cycles_are_collected(graph):
    refs = _graphs()[graph]()
    gc.collect()
    assert sum(r() is not None for r in refs) == 0


def test_collection_keeps_what_live_indexes_hold():
    """Peers stay while their index lives and go with it; garbage that shares
    values with indexed objects is collected without touching them; chains
    too long for plain recursion are freed."""
    import weakref

    from Lorvane import Index

    from index_helpers import same_objects

    shared, a, b = Node(tag="shared"), Node(x=1), Node(x=2)
    a.peer, b.peer = b, a
    keep = [Node(ref=shared, n=i) for i in range(20)]
    ix = Index()
    ix.add_object_many(keep + [a, b])
    refs = [weakref.ref(a), weakref.ref(b)]
    del a, b
    junk = [Node(ref=shared) for _ in range(200)]
    for x, y in zip(junk, junk[1:]):
        x.peer, y.peer = y, x
    chain = None
    for _ in range(200_000):
        chain = Indexable(next=chain)
    del junk, x, y, chain
    gc.collect()
    same_objects(ix.get_by_attribute(ref=[shared]), keep)
    assert all(o.ref is shared and o.ref.tag == "shared" for o in keep)
    assert set(map(id, keep)) <= set(map(id, gc.get_referents(ix)))
    assert len(ix.get_by_attribute(x=[1, 2])) == 2
    del ix
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_index_memory_follows_what_it_holds():
    """Small indexes of objects made late in a process cost what they hold,
    not what the largest id would cost in a table addressed by id."""
    from Lorvane import Index

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(20):  # ids now run past two million
        [Indexable() for _ in range(100_000)]
    gc.collect()
    start = resident()
    indexes = [Index() for _ in range(20)]
    for i, ix in enumerate(indexes):
        ix.add_object(Indexable(n=i, k="x"))
    per_index = (resident() - start) / len(indexes)
    assert per_index < 1_000_000, per_index  # a table sized by the largest id: 16 MB each
    assert [len(ix.get_by_attribute(k="x")) for ix in indexes] == [1] * 20


# ---- reference leaks of every family of operations ----------------------------------------------


def _families():
    from Lorvane import Index

    class Bad:
        def __hash__(self):
            raise ValueError("no hash")

    pool = [Indexable(a=i % 5, b=str(i % 3), c=float(i), d=Bad()) for i in range(40)]
    index = Index()
    index.add_object_many(pool)

    def construct():
        Indexable(a=1, b="x", c=2.5, d=[1], e=Indexable())
        Node(a=1, peer=Node())

    def write():
        for i, o in enumerate(pool[:10]):
            o.a, o.e, o._private = (o.a + 1) % 5, [i], i

    def add():
        ix = Index()
        for o in pool[:10] + pool[:1]:
            ix.add_object(o)

    def add_many():
        for batch in (pool, tuple(pool[:5]), []):
            Index().add_object_many(batch)
        # Removal, with a view that keeps what it removes until the view goes.
        ix = Index()
        ix.add_object_many(pool)
        view = ix.reduced(a=[0, 1])
        ix.remove_object_many(pool[::2])
        ix.remove_object(pool[1])
        ix.add_object_many(pool[:6])
        del view

    def queries():
        for kwargs in ({"a": 1}, {"a": [1, 2], "b": "1"}, {"a": range(3), "nothing": 1}):
            index.get_by_attribute(**kwargs)
        index.collect()
        ix = Index()
        ix.add_object_many(pool)
        ix.reduce(a=[1, 2])

    def errors():
        calls = [
            lambda: index.add_object(5), lambda: index.add_object_many("ab"), lambda: index.add_object_many(5),
            lambda: index.add_object_many([pool[0], 3]), lambda: index.add_object(), lambda: Index(1),
            lambda: index.get_by_attribute(1), lambda: index.reduce(1), lambda: index.get_by_attribute(a=2**64),
            lambda: setattr(pool[0], "a", 2**64), lambda: Indexable(x=2**64), lambda: delattr(pool[0], "a"),
            lambda: pool[0].missing,
        ]
        for call in calls:
            with pytest.raises((TypeError, AttributeError, PanicException)):
                call()

    return [construct, write, add, add_many, queries, errors]


@pytest.mark.parametrize("family", range(6), ids=["construct", "write", "add", "add_many", "queries", "errors"])
def test_no_reference_leaks(family):
    import tracemalloc

    run = _families()[family]

    def rounds(k):
        for _ in range(k):
            run()
        gc.collect()

    rounds(10)  # warm-up: caches and free lists settle
    counts = [len(gc.get_objects()), sys.getallocatedblocks(), getattr(sys, "gettotalrefcount", lambda: 0)()]
    rounds(20)
    # One object, block or reference kept per round would show as 20 more.
    after = [len(gc.get_objects()), sys.getallocatedblocks(), getattr(sys, "gettotalrefcount", lambda: 0)()]
    assert max(b - a for a, b in zip(counts, after)) < 10, (counts, after)
    # And no line of ours or of the test keeps allocating.
    tracemalloc.start()
    try:
        snapshot = tracemalloc.take_snapshot()
        rounds(20)
        grown = [s for s in tracemalloc.take_snapshot().compare_to(snapshot, "lineno") if s.count_diff >= 20]
    finally:
        tracemalloc.stop()
    assert grown == []
