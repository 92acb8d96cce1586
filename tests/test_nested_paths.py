"""Dotted paths into nested Indexable objects: holders coming and going, and
cycles (each cycle case runs in a child interpreter with a timeout, so a hang
fails instead of stalling the suite). Every test kind through a path, against
following the attributes by hand, is in the model test."""

import os
import subprocess
import sys
import textwrap

import pytest

from Lorvane import Index, Indexable
from Lorvane import PyQueryExpr as Q
from index_helpers import same_objects


def test_shared_nested_object_and_detach():
    y = Indexable(b=1)
    x1, x2 = Indexable(a=y), Indexable(a=y)
    index = Index()
    index.add_object_many([x1, x2])
    same_objects(index.reduced_query(Q.eq("a.b", 1)).collect(), [x1, x2])  # both holders found
    x1.a = Indexable(b=2)
    same_objects(index.reduced_query(Q.eq("a.b", 1)).collect(), [x2])  # y stays for its other holder
    y.b = 3
    same_objects(index.reduced_query(Q.eq("a.b", 3)).collect(), [x2])
    x2.a = None
    y.b = 1  # no holder left: the write reaches nothing
    assert index.reduced_query(Q.or_(Q.eq("a.b", 1), Q.eq("a.b", 3))).collect() == []
    same_objects(index.reduced_query(Q.eq("a.b", 2)).collect(), [x1])
    x2.a = y  # held again: indexed under its current value
    same_objects(index.reduced_query(Q.eq("a.b", 1)).collect(), [x2])
    # Keyword queries name attributes whole; a path on a non-nested attribute finds nothing.
    assert index.get_by_attribute(**{"a.b": 1}) == []
    assert index.reduced_query(Q.eq("b.c", 1)).collect() == []


@pytest.mark.parametrize("closed_after", [False, True], ids=["closed-before-indexing", "closed-after-indexing"])
@pytest.mark.parametrize("n", [1, 2, 3], ids=["self", "two", "three"])
def test_cycles_terminate(n, closed_after):
    # objs[i].a = objs[i + 1], and the last object's link closes the ring.
    code = textwrap.dedent(f"""
        from Lorvane import Index, Indexable, PyQueryExpr as Q
        objs = [Indexable(v=i + 1) for i in range({n})]
        for x, y in zip(objs, objs[1:]):
            x.a = y
        if not {closed_after}:
            objs[-1].a = objs[0]
        index = Index()
        index.add_object_many(objs)
        objs[-1].a = objs[0]
        for x in objs:
            x.v = x.v
        print({{path: sorted(o.v for o in index.reduced_query(Q.ge(path, 0)).collect())
               for path in ("a.v", "a.a.v", "a.a.a.v")}})
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          cwd=os.path.dirname(__file__))
    assert proc.returncode == 0, proc.stderr
    got = eval(proc.stdout)
    everyone = list(range(1, n + 1))
    # One level down every object is found through its link (a self-link
    # stores the object once below itself). Below that an object is never
    # stored under one of its own ancestors, so the walk stops before it
    # would come back round: a ring of three reaches two levels, shorter
    # rings one.
    assert got == {"a.v": everyone, "a.a.v": everyone if n == 3 else [], "a.a.a.v": []}


def _paths_model(tops, links, hops):
    """What a path query answers, by the rule: an object Y is stored below a
    holder P when Y is not above P on every chain of stored holders from a
    top-level object down to P. Returns {path of link names: {id(Y): (Y,
    ids of its holders)}} for every core up to `hops` links deep."""
    cores = {(): {id(t): (t, set()) for t in tops}}
    above = {(): {id(t): frozenset() for t in tops}}
    for depth in range(hops):
        for path in [p for p in list(cores) if len(p) == depth]:
            for name in links:
                core, up = {}, {}
                for key, (p, _) in cores[path].items():
                    y = getattr(p, name, None)
                    if isinstance(y, Indexable) and id(y) not in above[path][key]:
                        core.setdefault(id(y), (y, set()))[1].add(key)
                        chain = above[path][key] | {key}
                        up[id(y)] = up[id(y)] & chain if id(y) in up else chain
                cores[path + (name,)], above[path + (name,)] = core, up
    return cores


def _path_answer(cores, path, value):
    hits = {k for k, (y, _) in cores[path].items() if getattr(y, "v", None) == value}
    for depth in range(len(path), 0, -1):
        hits = set().union(*[cores[path[:depth]][k][1] for k in hits])
    return hits


def test_paths_follow_the_graph_as_it_is_not_the_order_it_was_built_in():
    # Random graphs with cycles over two link names: an index kept live
    # through the writes, and fresh indexes built in several orders, answer
    # every path as the rule does on the final graph.
    import itertools
    import random

    links, hops = ("p", "q"), 4
    paths = [c for n in range(1, hops + 1) for c in itertools.product(links, repeat=n)]
    rng = random.Random(1234)
    for _ in range(60):
        objs = [Indexable(v=rng.randrange(3)) for _ in range(6)]
        pick = lambda: rng.choice(objs + [None])  # noqa: E731
        for o in objs:
            for name in links:
                setattr(o, name, pick())
        tops = rng.sample(objs, rng.randrange(1, 4))
        live = Index()
        live.add_object_many(tops)
        for _ in range(8):
            setattr(rng.choice(objs), rng.choice(links), pick())
        cores = _paths_model(tops, links, hops)
        fresh = []
        for order in range(3):
            index, shuffled = Index(), rng.sample(tops, len(tops))
            if order == 0:
                index.add_object_many(shuffled)
            else:
                for t in shuffled:
                    index.add_object(t)
            fresh.append(index)
        for path in paths:
            for value in range(3):
                want = sorted(_path_answer(cores, path, value))
                q = Q.eq(".".join(path) + ".v", value)
                for index in [live] + fresh:
                    assert sorted(id(o) for o in index.reduced_query(q).collect()) == want, (path, value)
