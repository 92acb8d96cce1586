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


class SameHash(Indexable):
    """Nested objects that are different objects under one hash."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other


def test_dotted_groups_follow_writes_and_shared_hashes():
    # Many parents over many nested objects in one batch (a map that rebuilds
    # its id column once the batch is in), then writes and removals on both
    # levels; and nested objects that share a hash, which one entry of the
    # parents' map then names together.
    rng = random.Random(5)
    kids = [Indexable(k=rng.randrange(30)) for _ in range(25_000)]
    parents = [Indexable(n=rng.choice(kids)) for _ in range(200_000)]
    index = index_of(parents)
    assert grouped(index, "n.k") == brute(parents, "n.k")
    for p in rng.sample(parents, 500):
        p.n = rng.choice(kids) if rng.random() < 0.8 else 3
    for k in rng.sample(kids, 500):
        k.k = rng.randrange(40)
    gone = rng.sample(parents, 1000)
    index.remove_object_many(gone)
    stored = set(map(id, gone))
    kept = [p for p in parents if id(p) not in stored]
    assert grouped(index, "n.k") == brute(kept, "n.k")
    shared = [SameHash(k=i % 3) for i in range(6)]
    small = [Indexable(n=shared[i % 6]) for i in range(60)]
    assert grouped(index_of(small), "n.k") == brute(small, "n.k")


def test_dotted_groups_agree_with_queries_through_cycles():
    # Below the first level, an object is not stored under a holder it lies
    # above (the rule that keeps paths finite), so brute force over the
    # attributes would differ; a group must still be what the query finds.
    from Lorvane import PyQueryExpr as Q
    rng = random.Random(9)
    objs = [Indexable(k=rng.randrange(5)) for _ in range(200)]
    for o in objs:
        o.n = rng.choice(objs)
    # y is stored two levels down below q (held by t), but not below p,
    # whose only holder is y itself.
    y, p, q, t = (Indexable(k=i) for i in range(10, 14))
    y.n, p.n, q.n, t.n = p, y, y, q
    objs += [y, p, q, t]
    index = index_of(objs)
    for path in ["n.n.k", "n.n.n.k"]:
        groups = index.group_by(path)
        assert groups
        for key, view in groups.items():
            assert {id(o) for o in view.collect()} == {id(o) for o in index.reduced_query(Q.eq(path, key)).collect()}


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
