"""Threads writing attributes of indexed objects while others query and add.

Each scenario runs in a child interpreter with a timeout: a deadlocked thread
cannot be stopped, so the child dumps every thread's stack and exits, and the
test fails with that dump instead of hanging."""

import os
import random
import subprocess
import sys
import threading

import pytest

from conftest import thread_rounds

HERE = os.path.dirname(os.path.abspath(__file__))
TIMEOUT = 120  # seconds; a normal run takes a few

# Every value a writer assigns comes from POOL; some share a hash
# (1, 1.0 and True; -1 and -2; 0 and False), so a query over the whole pool
# must list every object exactly once at every moment.
POOL = [0, 1, 1.0, True, -1, -2, 2.5, "red", "blue", None, False, 7]


def run_child(scenario, module="test_index_threads"):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [HERE, env.get("PYTHONPATH", "")] if p)
    code = (
        "import faulthandler, sys\n"
        "faulthandler.enable(all_threads=True)\n"
        # Writers give up the interpreter lock on every write and then queue
        # for it behind busy readers; a short switch interval keeps that
        # queue moving (and interleaves the threads more finely).
        "sys.setswitchinterval(0.0005)\n"
        f"faulthandler.dump_traceback_later({TIMEOUT - 15}, exit=True)\n"
        f"import {module} as t\n"
        f"t.{scenario}()\n"
        "print('scenario finished')\n"
    )
    try:
        proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                              timeout=TIMEOUT)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{scenario} did not finish within {TIMEOUT} s (deadlock?)\n{e.stderr}")
    assert proc.returncode == 0 and "scenario finished" in proc.stdout, (
        f"{scenario} failed (exit {proc.returncode})\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    )


class Threads:
    """Threads started together by a barrier; the first error is re-raised."""

    def __init__(self):
        self.threads = []
        self.errors = []
        self.stop = threading.Event()

    def add(self, fn, *args):
        self.threads.append((fn, args))

    def run(self, until_writers_done):
        barrier = threading.Barrier(len(self.threads))

        def body(fn, args):
            try:
                barrier.wait()
                fn(*args)
            except BaseException as e:  # noqa: B036 - internal errors derive from BaseException
                self.errors.append(e)
                self.stop.set()

        workers = [threading.Thread(target=body, args=item) for item in self.threads]
        for w in workers:
            w.start()
        for w in workers[:until_writers_done]:
            w.join()
        self.stop.set()
        for w in workers:
            w.join()
        if self.errors:
            raise self.errors[0]


def order(objs):
    return {id(o): i for i, o in enumerate(objs)}


def check_listing(result, rank, expected_count=None):
    """Ascending id order (creation order here), no object twice."""
    ranks = [rank[id(o)] for o in result]
    assert ranks == sorted(set(ranks)), "listing out of order or with repeats"
    if expected_count is not None:
        assert len(ranks) == expected_count, (len(ranks), expected_count)


def check_exact(index, objs, names):
    """Every object is found under exactly its current values and nowhere else."""
    from index_helpers import brute, same_objects

    for name in names:
        same_objects(index.get_by_attribute(**{name: POOL}), brute(objs, **{name: POOL}))
        for value in POOL:
            same_objects(index.get_by_attribute(**{name: [value]}), brute(objs, **{name: [value]}))


# ---- scenarios (run in the child) -----------------------------------------------------------


def scenario_writers_readers_adders(n_objs=120, rounds=thread_rounds(2000)):
    from Lorvane import Index, Indexable

    owned = ["a0", "a1", "a2"]
    objs = [Indexable(a0=0, a1=0, a2=0, race=0, _p=0) for _ in range(n_objs)]
    rank = order(objs)
    main = Index()
    main.add_object_many(objs)
    per_reader = [Index() for _ in range(2)]
    for ix in per_reader:
        for o in objs:
            ix.add_object(o)
    second = Index()  # filled while the writers run
    finals = {}
    threads = Threads()

    def writer(name, seed):
        rng = random.Random(seed)
        last = {}
        for _ in range(rounds):
            for i in rng.sample(range(n_objs), n_objs):
                v = rng.choice(POOL)
                setattr(objs[i], name, v)
                objs[i]._p = v  # underscore writes go through the same lock
                last[i] = v
                if rng.random() < 0.05:
                    # New names change the object's layout, and past 64 names
                    # its storage grows in place, while adders read it without
                    # the interpreter lock.
                    setattr(objs[i], f"_{name}{rng.randrange(90)}", v)
                    setattr(objs[i], f"g{rng.randrange(12)}", v)
        finals[name] = last

    def racer(seed):
        # Two racers write the same attribute of the same few objects.
        rng = random.Random(seed)
        for _ in range(rounds * 20):
            objs[rng.randrange(8)].race = rng.choice(POOL)

    def reader(index):
        while True:
            # Every write swaps a value under the core's lock, so the whole
            # pool always lists every object exactly once.
            check_listing(index.get_by_attribute(a0=POOL), rank, n_objs)
            check_listing(index.get_by_attribute(race=POOL, a1=POOL), rank, n_objs)
            check_listing(index.get_by_attribute(a2=["red", 1]), rank)
            if threads.stop.is_set():
                break

    def adder():
        rng = random.Random(99)
        pending = objs[:]
        rng.shuffle(pending)
        while pending:
            chunk, pending = pending[:7], pending[7:]
            if rng.random() < 0.5:
                second.add_object_many(chunk + chunk[:2])
            else:
                for o in chunk:
                    second.add_object(o)

    def second_reader():
        # The same Index object as the adder: a call meeting the adder's
        # exclusive borrow is refused at once, which is expected here.
        refused = 0
        while not threads.stop.is_set():
            try:
                check_listing(second.get_by_attribute(a0=POOL), rank)
            except RuntimeError as e:
                assert str(e) == "Already mutably borrowed", str(e)
                refused += 1

    def churn():
        # Short-lived indexes: writers meet cores that are gone, and adds prune them.
        while not threads.stop.is_set():
            ix = Index()
            ix.add_object_many(objs[:20])
            check_listing(ix.get_by_attribute(a1=POOL), rank, 20)
            del ix

    for k, name in enumerate(owned):
        threads.add(writer, name, k)
    threads.add(racer, 10)
    threads.add(racer, 11)
    threads.add(adder)
    writers_and_adder = len(threads.threads)
    threads.add(reader, main)
    for ix in per_reader:
        threads.add(reader, ix)
    threads.add(second_reader)
    threads.add(churn)
    threads.run(until_writers_done=writers_and_adder)

    for name in owned:
        for i, v in finals[name].items():
            assert getattr(objs[i], name) is v
    names = owned + ["race"]
    for ix in [main, second, *per_reader]:
        from index_helpers import same_objects

        same_objects(ix.collect(), objs)
        check_exact(ix, objs, names)
        assert ix.get_by_attribute(_p=POOL) == []


def scenario_reduce_during_writes(n_objs=150, rounds=thread_rounds(1000)):
    from Lorvane import Index, Indexable
    from index_helpers import same_objects

    objs = [Indexable(a=POOL[i % len(POOL)], b=i % 3) for i in range(n_objs)]
    rank = order(objs)
    narrowed, other = Index(), Index()
    narrowed.add_object_many(objs)
    other.add_object_many(objs)
    threads = Threads()

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            for o in rng.sample(objs, n_objs):
                o.a = rng.choice(POOL)

    def reducer():
        rng = random.Random(5)
        while not threads.stop.is_set():
            narrowed.reduce(a=rng.sample(POOL, 6), b=[0, 1])
            found = narrowed.get_by_attribute(a=POOL)
            check_listing(found, rank)

    threads.add(writer, 1)
    threads.add(writer, 2)
    threads.add(reducer)
    threads.run(until_writers_done=2)

    # No stale entry: whatever the narrowed index finds holds that value now.
    from index_helpers import brute

    for value in POOL:
        found = narrowed.get_by_attribute(a=[value])
        same_objects(found, brute(found, a=[value]))
    check_exact(other, objs, ["a", "b"])
    narrowed.add_object_many(objs)  # adding everything again restores the full index
    check_exact(narrowed, objs, ["a", "b"])


def scenario_unions_during_writes(n_objs=3000, rounds=thread_rounds(300)):
    """Opposite unions of two indexes sharing objects, one of them narrowed,
    while those objects are written: no object is ever listed under a value
    it no longer holds, by value or by range."""
    from Lorvane import Index, Indexable
    from Lorvane import PyQueryExpr as Q
    from index_helpers import brute, same_objects

    objs = [Indexable(a=POOL[i % len(POOL)], b=i % 3) for i in range(n_objs)]
    a, b = Index(), Index()
    a.add_object_many(objs[: n_objs * 2 // 3])
    b.add_object_many(objs[n_objs // 3:])
    a.reduce(b=[0])
    seen = {id(o) for o in objs if o.b == 0}  # and every object written since
    threads = Threads()

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            for o in rng.sample(objs, 50):
                o.a, o.b = rng.choice(POOL), rng.randrange(3)
                seen.add(id(o))

    def uniter(mine, theirs):
        while not threads.stop.is_set():
            try:
                mine.union_with(theirs)
            except RuntimeError as exc:  # the other thread's union holds one of them
                assert "borrowed" in str(exc)

    threads.add(writer, 1)
    threads.add(writer, 2)
    threads.add(uniter, a, b)
    threads.add(uniter, b, a)
    threads.run(until_writers_done=2)

    for index in (a, b):
        stored = index.collect()
        for value in POOL:
            found = index.get_by_attribute(a=[value])
            same_objects(found, brute(found, a=[value]))
        for v in range(3):
            same_objects(index.reduced_query(Q.bt("b", v, v)).collect(), brute(stored, b=[v]))
    check_exact(b, objs[n_objs // 3:], ["a", "b"])
    a.union_with(b)  # what b finds, a finds again: every object a shares with b
    shared = {id(o) for o in objs[n_objs // 3:]}
    same_objects(a.get_by_attribute(b=[0, 1, 2]),
                 [o for o in objs[: n_objs * 2 // 3] if id(o) in seen or id(o) in shared])


def scenario_same_object_many_writers(rounds=thread_rounds(50000)):
    """Writers of one object and one attribute, with the object in two indexes."""
    from Lorvane import Index, Indexable

    obj = Indexable(x=0)
    peers = [Indexable(x=v) for v in POOL]
    a, b = Index(), Index()
    a.add_object_many([obj, *peers])
    b.add_object_many([*peers, obj])
    threads = Threads()

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            obj.x = rng.choice(POOL)

    for seed in range(4):
        threads.add(writer, seed)
    threads.run(until_writers_done=4)
    check_exact(a, [obj, *peers], ["x"])
    check_exact(b, [obj, *peers], ["x"])


def scenario_release_that_writes_back():
    """A value whose last reference goes while a core is being updated, and
    whose __del__ writes to indexed objects (itself a write that needs the
    same locks): the release must wait until the write has let go of them."""
    from Lorvane import Index, Indexable
    from index_helpers import same_objects

    log = []

    class Key:
        # Every Key is one value for the index (equal, one hash), so the
        # value table keeps the first Key seen while other objects hold theirs.
        def __init__(self, name, target):
            self.name, self.target = name, target

        def __hash__(self):
            return 7

        def __eq__(self, other):
            return isinstance(other, Key)

        def __del__(self):
            log.append(self.name)
            self.target.seen = self.name  # an indexed write from inside a release

    o1, o2 = Indexable(x=0), Indexable(x=0)
    index = Index()
    index.add_object_many([o1, o2])
    o1.x = Key("first", o2)
    o2.x = Key("second", o1)
    o1.x = 1  # o1's Key is now held only by the value table's entry
    assert log == []
    o2.x = 2  # the entry goes, and with it the last reference to "first"
    assert log[0] == "first", log
    assert o2.seen == "first"
    same_objects(index.get_by_attribute(seen="first"), [o2])
    same_objects(index.get_by_attribute(x=[1, 2]), [o1, o2])


def scenario_batch_changed_while_waiting(rounds=thread_rounds(3000)):
    """add_object_many lets go of the interpreter lock whenever an object's
    mutex is busy (its writer waits for a core that a large batch holds);
    another thread then empties and refills the caller's list, and fills the
    freed memory. The batch must be the list as it was when the call began."""
    from Lorvane import Index, Indexable

    hot = [Indexable(x=0) for _ in range(8)]
    # Many attributes per object: the batch spends most of its time indexing.
    big = [Indexable(**{f"a{k}": (i * k) % 97 for k in range(24)}) for i in range(20_000)]
    holder = Index()
    holder.add_object_many(hot)
    batch = hot + [Indexable(x=1) for _ in range(200)]
    threads = Threads()

    def hog():
        while not threads.stop.is_set():
            holder.add_object_many(big)

    def writer():
        for i in range(10**9):
            if threads.stop.is_set():
                break
            hot[i % len(hot)].x = i

    def mutator():
        while not threads.stop.is_set():
            batch.clear()
            fills = [bytearray(b"\xff" * 8 * n) for n in (208, 58, 208)]  # noqa: F841
            batch.extend([*hot, *(Indexable(x=2) for _ in range(50))])

    def adder():
        for _ in range(rounds):
            target = Index()
            target.add_object_many(batch)
            assert all(isinstance(o, Indexable) for o in target.collect())

    for fn in (adder, hog, writer, mutator):
        threads.add(fn)
    threads.run(until_writers_done=1)


def scenario_collector_during_work(rounds=thread_rounds(300)):
    """The collector runs over and over while other threads build cycles and
    indexes on their own objects, write attributes and query."""
    import gc
    from Lorvane import Index, Indexable
    from index_helpers import same_objects

    keep = [Indexable(v=i % 7, tag=f"k{i}") for i in range(300)]
    for a, b in zip(keep, keep[1:] + keep[:1]):
        a.peer = b
    index = Index()
    index.add_object_many(keep)
    threads = Threads()

    def builder(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            junk = [Indexable(v=rng.randrange(7), peer=rng.choice(keep)) for _ in range(40)]
            for a, b in zip(junk, junk[1:]):
                a.next, b.prev = b, a
            junk[0].index = Index()
            junk[0].index.add_object_many(junk)
            for o in rng.sample(keep, 10):
                o.v, o.peer = rng.randrange(7), rng.choice(keep)
            Index().add_object(rng.choice(keep))
            assert len(index.get_by_attribute(v=range(7))) == len(keep)

    threads.add(builder, 1)
    threads.add(builder, 2)
    threads.add(lambda: [gc.collect() for _ in iter(threads.stop.is_set, True)])
    threads.run(until_writers_done=2)
    gc.collect()
    same_objects(index.collect(), keep)
    assert all(o.tag == f"k{i}" and o.peer in keep for i, o in enumerate(keep))
    for value in range(7):
        same_objects(index.get_by_attribute(v=value), [o for o in keep if o.v == value])


def scenario_nested_adds_racing_writes(rounds=thread_rounds(300)):
    """Indexes are filled with objects that hold nested objects while other
    threads write the nested objects and relink the holders: an add waits for
    core locks while writers hold the nested objects' mutexes, so a lock-order
    slip deadlocks here. Afterwards every path query matches the objects."""
    from Lorvane import Index, Indexable, PyQueryExpr as Q
    from index_helpers import same_objects

    children = [Indexable(v=i % 5) for i in range(12)]
    parents = [Indexable(c=children[i % 12], w=i % 3) for i in range(60)]
    children[0].c = children[0]  # a self-link among them
    indexes = []
    threads = Threads()

    def adder():
        for r in range(rounds // 10):
            ix = Index()
            (ix.add_object_many if r % 2 else lambda objs: [ix.add_object(o) for o in objs])(parents)
            indexes.append(ix)
            assert len(ix.reduced_query(Q.ge("c.v", 0)).collect()) <= len(parents)

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            rng.choice(children).v = rng.randrange(5)
            rng.choice(parents).c = rng.choice(children)
            rng.choice(children).c = rng.choice(children + [None])

    threads.add(writer, 1)
    threads.add(writer, 2)
    threads.add(adder)
    threads.run(until_writers_done=3)
    for ix in indexes[-3:]:
        for v in range(5):
            same_objects(ix.reduced_query(Q.eq("c.v", v)).collect(), [p for p in parents if p.c.v == v])


def scenario_views_during_nested_writes(rounds=thread_rounds(300)):
    """Views narrowed, collected and rebased while other threads write nested
    objects and relink holders: results stay within the view, and agree with
    the objects afterwards."""
    from Lorvane import Index, Indexable, PyQueryExpr as Q
    from index_helpers import same_objects

    children = [Indexable(v=i % 5) for i in range(12)]
    parents = [Indexable(c=children[i % 12], w=i % 3) for i in range(60)]
    index = Index()
    index.add_object_many(parents)
    view = index.reduced(w=[0, 1])
    members = {id(p) for p in parents if p.w != 2}
    rebased = []

    def viewer():
        for r in range(rounds // 5):
            for got in (view.reduced_query(Q.ge("c.v", r % 5)), view.reduced(w=0), view.rebase()):
                assert {id(o) for o in got.collect()} <= members
            rebased.append(view.rebase())

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            rng.choice(children).v = rng.randrange(5)
            rng.choice(parents).c = rng.choice(children)

    threads = Threads()
    threads.add(writer, 1)
    threads.add(writer, 2)
    threads.add(viewer)
    threads.run(until_writers_done=3)
    for v in range(5):
        want = [p for p in parents if id(p) in members and p.c.v == v]
        same_objects(view.reduced_query(Q.eq("c.v", v)).collect(), want)
        same_objects(rebased[-1].reduced_query(Q.eq("c.v", v)).collect(), want)


def scenario_writers_beside_long_queries(n_objs=20000, rounds=thread_rounds(40)):
    """Writers move objects between x=1 and x=2 beside long queries: each query sees every
    object under exactly one value, across the legs of an or_ too, in the index and a view."""
    from Lorvane import Index, Indexable, PyQueryExpr as Q
    from index_helpers import brute, same_objects

    objs = [Indexable(x=1 + i % 2, y=i % 7) for i in range(n_objs)]
    index = Index()
    index.add_object_many(objs)
    view = index.reduced(y=list(range(7)))  # shares the core's lock
    wide = Q.bt("y", 0, 6)  # a slower leg between the two that race
    either = Q.or_(Q.and_(Q.eq("x", 1), wide), Q.and_(Q.eq("x", 2), wide))
    none_or_both = [Q.and_(Q.eq("x", 1), wide, Q.in_("x", [2])), Q.and_(Q.ne("x", 1), wide, Q.ne("x", 2))]
    threads = Threads()

    def writer(seed):
        rng = random.Random(seed)
        for _ in range(rounds):
            for o in rng.sample(objs, 1000):
                o.x = rng.choice([1, 2, 1.0, 2.0, True])

    def querier(source):
        while not threads.stop.is_set():
            assert len(source.reduced_query(either).collect()) == n_objs
            assert all(source.reduced_query(q).collect() == [] for q in none_or_both)

    for fn, arg in ((writer, 1), (writer, 2), (querier, index), (querier, view)):
        threads.add(fn, arg)
    threads.run(until_writers_done=2)
    for value in (1, 2):
        same_objects(index.get_by_attribute(x=[value]), brute(objs, x=[value]))


# ---- tests ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "scenario",
    ["scenario_writers_readers_adders", "scenario_reduce_during_writes", "scenario_unions_during_writes",
     "scenario_same_object_many_writers",
     "scenario_release_that_writes_back", "scenario_batch_changed_while_waiting",
     "scenario_collector_during_work", "scenario_nested_adds_racing_writes",
     "scenario_views_during_nested_writes", "scenario_writers_beside_long_queries"],
)
def test_threads(scenario):
    run_child(scenario)


def test_a_failing_scenario_is_reported():
    # The harness itself: a scenario that raises must fail the test.
    with pytest.raises(AssertionError, match="no_such_scenario failed"):
        run_child("no_such_scenario")
