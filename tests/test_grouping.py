"""Index.group_by against a brute-force grouping, and Index.union_with."""

import random

import pytest

from Lorvane import Index, Indexable
from index_helpers import hash_of
from test_index_threads import Threads, run_child

POOL = list(range(-2, 15)) + [1.0, True, "red", "blue", None, 2.5]


def index_of(objs):
    index = Index()
    index.add_object_many(objs)
    return index


def grouped(index, path):
    return {hash_of(k): {id(o) for o in v.collect()} for k, v in index.group_by(path).items()}


def brute(objs, path):
    out = {}
    for o in objs:
        v = o
        for name in path.split("."):
            v = getattr(v, name, ...) if isinstance(v, Indexable) else ...
        if v is not ...:  # the path reaches a value
            out.setdefault(hash_of(v), set()).add(id(o))
    return out


@pytest.mark.parametrize("seed", range(4))
def test_groups_match_brute_force(seed):
    rng = random.Random(seed)
    leaves = [Indexable(v=rng.choice(POOL)) for _ in range(60)] + [Indexable() for _ in range(5)]
    mids = [Indexable(c=rng.choice(leaves), v=rng.choice(POOL)) for _ in range(50)]
    tops = [Indexable(p=rng.choice(mids), _v=1) for _ in range(40)]
    index = {id(objs): index_of(objs) for objs in (leaves, mids, tops)}
    for objs, path in [(leaves, "v"), (mids, "v"), (mids, "c.v"), (tops, "p.v"), (tops, "p.c.v")]:
        assert grouped(index[id(objs)], path) == brute(objs, path), path
    assert len(index[id(leaves)].group_by("v")) > 12  # 1, 1.0 and True are one value, as are -1 and -2
    assert all(index[id(tops)].group_by(path) == {} for path in ["nothing", "_v", "p.nothing", "p.v.x", ""])


def test_union_and_errors():
    shared = [Indexable(colour="red", n=i, k=[1]) for i in range(3)]
    a_own, b_own = [Indexable(colour="red", k={}), Indexable(colour="blue", k=0)], [Indexable(colour="red")]
    a, b = index_of(shared + a_own), index_of(shared + b_own)
    b_before = b.collect(), grouped(b, "colour"), grouped(b, "n")
    a.union_with(other=b)
    assert (b.collect(), grouped(b, "colour"), grouped(b, "n")) == b_before
    assert a.collect() == shared + a_own
    assert grouped(a, "colour") == brute(shared + a_own, "colour")
    for call, error, match in [
        (lambda: a.group_by("k"), TypeError, "^unhashable type: 'list'$"),  # 0, {} and [1] are one value
        (lambda: a.group_by(3), TypeError, "^argument 'attr'"),
        (lambda: a.union_with(a), RuntimeError, "^Already mutably borrowed$"),
        (lambda: a.union_with(b.group_by("n")[0]), TypeError, "^argument 'other'"),
    ]:
        with pytest.raises(error, match=match):
            call()
    # A key is a value a member holds now, not the first one the group had.
    for o in shared + a_own:
        o.k = 0
    assert [(type(k), v.collect()) for k, v in a.group_by("k").items()] == [(int, shared + a_own)]


def scenario_opposite_unions(rounds=300):
    objs = [Indexable(v=i % 5) for i in range(60)]
    a, b = index_of(objs[:40]), index_of(objs[20:])

    def uniter(x, y):
        done = 0
        while done < rounds:
            try:
                x.union_with(y)
                done += 1
            except RuntimeError as e:  # the other thread holds one of the two
                assert str(e) in ("Already borrowed", "Already mutably borrowed"), e

    threads = Threads()
    for pair in [(a, b), (b, a)]:
        threads.add(uniter, *pair)
    threads.run(until_writers_done=2)
    assert grouped(a, "v") == brute(objs[:40], "v") and grouped(b, "v") == brute(objs[20:], "v")


def test_opposite_unions_finish():
    run_child("scenario_opposite_unions", "test_grouping")
