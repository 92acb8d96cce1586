"""Index.group_by against a brute-force grouping (plain, dotted and deep
paths) and Index.union_with: what it changes, what it leaves, and opposite
unions on two threads (run in a child interpreter with a timeout, so a
deadlock fails instead of stalling the suite)."""

import os
import random
import subprocess
import sys
import threading

import pytest

from Lorvane import FilteredIndex, Index, Indexable
from index_helpers import hash_of

HERE = os.path.dirname(os.path.abspath(__file__))
# 1, 1.0 and True are one value, as are -1 and -2: 20 ints give 17 groups.
POOL = list(range(-2, 15)) + [1.0, True, "red", "blue", None, 2.5]


def grouped(index, path):
    """The index's groups as {hash of the key: set of object ids}."""
    out = {}
    for key, view in index.group_by(path).items():
        assert type(view) is FilteredIndex
        assert hash_of(key) not in out, "two groups for one value"
        out[hash_of(key)] = {id(o) for o in view.collect()}
    return out


def brute_groups(objs, follow):
    """Objects grouped by the hash of the value `follow` reaches (none when the path breaks)."""
    out = {}
    for o in objs:
        v = follow(o)
        if v is not _MISSING:
            out.setdefault(hash_of(v), set()).add(id(o))
    return out


_MISSING = object()


def path_of(*names):
    def follow(o):
        for name in names:
            if not isinstance(o, Indexable):
                return _MISSING
            o = getattr(o, name, _MISSING)
            if o is _MISSING:
                return o
        return o

    return follow


@pytest.mark.parametrize("seed", range(4))
def test_groups_match_brute_force(seed):
    rng = random.Random(seed)
    leaves = [Indexable(v=rng.choice(POOL)) for _ in range(60)]
    leaves += [Indexable() for _ in range(10)]  # no `v`: in no group
    mids = [Indexable(c=rng.choice(leaves), v=rng.choice(POOL)) for _ in range(50)]
    tops = [Indexable(p=rng.choice(mids), _v=1) for _ in range(40)]
    leaf_ix, mid_ix, top_ix = Index(), Index(), Index()
    leaf_ix.add_object_many(leaves)
    mid_ix.add_object_many(mids)
    top_ix.add_object_many(tops)
    cases = [
        (leaf_ix, leaves, ("v",)),
        (mid_ix, mids, ("v",)),
        (mid_ix, mids, ("c", "v")),
        (top_ix, tops, ("p", "v")),
        (top_ix, tops, ("p", "c", "v")),
    ]
    for _ in range(2):  # before and after writes
        for index, objs, names in cases:
            expected = brute_groups(objs, path_of(*names))
            assert grouped(index, ".".join(names)) == expected, names
        assert len(grouped(leaf_ix, "v")) > 12
        for o in rng.sample(leaves, 20):
            o.v = rng.choice(POOL)
        for o in rng.sample(mids, 10):
            o.c = rng.choice(leaves)
    # Names nothing holds, names never indexed, paths through non-objects.
    for index, path in [(leaf_ix, "nothing"), (top_ix, "_v"), (leaf_ix, "v.x"), (top_ix, "p.nothing"), (top_ix, "")]:
        assert index.group_by(path) == {}, path


def test_group_views_are_fixed_and_outlive_the_index():
    objs = [Indexable(colour=c) for c in ["red", "red", "blue"]]
    index = Index()
    index.add_object_many(objs)
    groups = index.group_by(attr="colour")
    del index
    objs[0].colour = "blue"
    assert {k: len(v.collect()) for k, v in groups.items()} == {"red": 2, "blue": 1}


def test_unhashable_group_key_raises_and_index_stays_usable():
    # 0, [1] and {} are one value (hash 0), keyed by the list seen first.
    objs = [Indexable(k=[1], n=1), Indexable(k={}, n=1), Indexable(k=0, n=2), Indexable(k="x", n=2)]
    index = Index()
    index.add_object_many(objs)
    for _ in range(2):  # raised again: nothing was left half-made
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            index.group_by("k")
    assert grouped(index, "n") == {1: {id(objs[0]), id(objs[1])}, 2: {id(objs[2]), id(objs[3])}}
    with pytest.raises(TypeError, match="argument 'attr'"):
        index.group_by(3)


def test_union_with():
    shared = [Indexable(colour="red", n=i) for i in range(3)]
    own_a = [Indexable(colour="red", n=9), Indexable(colour="blue", n=1)]
    own_b = [Indexable(colour="red", n=9), Indexable(colour="green", n=1)]
    a, b = Index(), Index()
    a.add_object_many(shared + own_a)
    b.add_object_many(shared + own_b)
    b_before = (b.collect(), grouped(b, "colour"), grouped(b, "n"))
    a_before = grouped(a, "colour"), grouped(a, "n")
    a.union_with(b)
    assert (b.collect(), grouped(b, "colour"), grouped(b, "n")) == b_before
    # Only a's own objects: b's objects under common values are not brought in.
    assert a.collect() == shared + own_a
    assert (grouped(a, "colour"), grouped(a, "n")) == a_before
    assert a.get_by_attribute(colour="red") == shared + own_a[:1]
    assert a.get_by_attribute(colour="green") == []
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        a.union_with(a)
    with pytest.raises(TypeError, match="argument 'other'"):
        a.union_with(b.group_by("colour")["red"])


# ---- opposite unions, in a child interpreter ---------------------------------------------


def scenario_opposite_unions(rounds=300):
    from conftest import thread_rounds

    rounds = thread_rounds(rounds)
    objs = [Indexable(v=i % 5) for i in range(60)]
    a, b = Index(), Index()
    a.add_object_many(objs[:40])
    b.add_object_many(objs[20:])
    errors = []
    barrier = threading.Barrier(3)

    def uniter(x, y):
        try:
            barrier.wait()
            done = 0
            while done < rounds:
                try:
                    x.union_with(y)
                    done += 1
                except RuntimeError as e:  # the other thread holds one of the two
                    assert str(e) in ("Already borrowed", "Already mutably borrowed"), e
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    def writer():
        barrier.wait()
        rng = random.Random(0)
        for _ in range(rounds * 10):
            rng.choice(objs).v = rng.randrange(5)

    threads = [threading.Thread(target=uniter, args=(a, b)), threading.Thread(target=uniter, args=(b, a)),
               threading.Thread(target=writer)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for index, mine in [(a, objs[:40]), (b, objs[20:])]:
        assert grouped(index, "v") == brute_groups(mine, path_of("v"))


def test_opposite_unions_finish():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [HERE, env.get("PYTHONPATH", "")] if p)
    code = (
        "import faulthandler; faulthandler.enable(all_threads=True)\n"
        "faulthandler.dump_traceback_later(100, exit=True)\n"
        "import test_grouping as t; t.scenario_opposite_unions(); print('scenario finished')\n"
    )
    try:
        proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"opposite unions did not finish (deadlock?)\n{e.stderr}")
    assert proc.returncode == 0 and "scenario finished" in proc.stdout, proc.stderr
