"""Removing objects: nested objects, what views keep, and removal beside
threads that write, query and unite the same objects."""

import gc
import random
import weakref

from Lorvane import Index, Indexable, PyQueryExpr as Q
from test_index_threads import Threads, run_child


class Tracked(Indexable):
    __slots__ = ("__weakref__",)


def test_nested_objects_leave_with_their_last_holder():
    shared, own = Tracked(city="x"), Tracked(city="y")
    a, b, c = Indexable(addr=shared, k=1), Indexable(addr=shared, k=2), Indexable(addr=own, k=3)
    ix = Index()
    ix.add_object_many([a, b, c, shared])
    ix.remove_object_many([a, c, shared])
    # `shared` is still reached through b's path, though no longer stored.
    assert ix.reduced_query(Q.eq("addr.city", "x")).collect() == [b]
    assert ix.reduced_query(Q.eq("addr.city", "y")).collect() == []
    assert {k: v.collect() for k, v in ix.group_by("addr.city").items()} == {"x": [b]}
    assert ix.get_by_attribute(city="x") == [] and ix.collect() == [b]
    own.city = "x"  # its child core let go of it: the write reaches nothing
    shared.city = "z"
    assert ix.reduced_query(Q.eq("addr.city", "z")).collect() == [b]
    ix.add_object(c)
    assert ix.reduced_query(Q.eq("addr.city", "x")).collect() == [c]


def test_views_skip_removed_objects_and_keep_them_alive_until_they_go():
    objs = [Tracked(a=i % 3, w=float(i)) for i in range(9)]
    ix = Index()
    ix.add_object_many(objs)
    ix.reduce(a=0)
    view = ix.reduced_query(Q.ge("w", 0))
    gone = weakref.ref(objs[3])
    ix.remove_object_many([objs[3], objs[4], Tracked(a=0)])
    del objs[3]
    gc.collect()
    assert gone() is not None  # the view made before the removal keeps it
    assert view.collect() == [o for o in objs if o.w != 4.0]
    narrowed = view.reduced_query(Q.not_(Q.eq("a", 2)))
    ix.add_object(objs[3])  # was objs[4]: back, as a new object
    # The view made before the removal lists it again; the one made while it
    # was out does not; it is found by value again, narrowed out no longer.
    assert objs[3] in view.collect() and objs[3] not in narrowed.collect()
    assert objs[3] in ix.get_by_attribute(a=1)
    del view, narrowed
    gc.collect()
    assert gone() is None


def scenario_removal_beside_writes_queries_and_unions(n_objs=400, rounds=40):
    from conftest import thread_rounds
    from index_helpers import brute, same_objects

    rounds = thread_rounds(rounds)
    objs = [Indexable(x=i % 3, y=float(i % 11), n=Indexable(z=i % 2)) for i in range(n_objs)]
    index, other = Index(), Index()
    index.add_object_many(objs)
    other.add_object_many(objs)
    threads = Threads()

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            for o in rng.sample(objs, 50):
                o.x = rng.choice([0, 1, 2, 1.0, True])
                o.y = float(rng.randrange(11))

    def remover(seed):
        # Removes and re-adds in batches and one by one; other calls on the
        # same Index meanwhile may find it borrowed and say so.
        rng = random.Random(seed)
        for _ in range(rounds):
            batch = rng.sample(objs, 40)
            for call in (lambda: index.remove_object_many(batch), lambda: index.remove_object(batch[0]),
                         lambda: index.add_object_many(batch)):
                while True:
                    try:
                        call()
                        break
                    except RuntimeError as e:
                        assert "borrowed" in str(e)

    def reader():
        while not threads.stop.is_set():
            for source in (index, other):
                try:
                    found = source.reduced_query(Q.or_(Q.eq("x", 0), Q.ne("x", 0), Q.eq("n.z", 1))).collect()
                    other.union_with(index)
                except RuntimeError as e:
                    assert "borrowed" in str(e)
                    continue
                assert len(found) == len(set(map(id, found))) <= n_objs

    for fn, arg in ((writer, 1), (remover, 2), (reader, None)):
        threads.add(fn, *([] if arg is None else [arg]))
    threads.run(until_writers_done=2)
    assert index.collect() == objs  # every batch was added back
    for name, values in (("x", [0, 1, 2]), ("y", [float(v) for v in range(11)])):
        for v in values:
            same_objects(index.get_by_attribute(**{name: [v]}), brute(objs, **{name: [v]}))
    assert index.reduced_query(Q.eq("n.z", 1)).collect() == [o for o in objs if o.n.z == 1]


def test_removal_beside_writes_queries_and_unions():
    run_child("scenario_removal_beside_writes_queries_and_unions", module="test_index_remove")
