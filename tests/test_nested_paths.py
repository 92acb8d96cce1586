"""Dotted paths into nested Indexable objects: queries through one and two
levels against following the attributes by hand, holders coming and going,
and cycles (each cycle case runs in a child interpreter with a timeout, so a
hang fails instead of stalling the suite)."""

import math
import os
import random
import subprocess
import sys
import textwrap

import pytest

from Lorvane import Index, Indexable
from Lorvane import PyQueryExpr as Q
from index_helpers import same_objects


def follow(o, path):
    for name in path.split("."):
        if not isinstance(o, Indexable):
            return None
        o = getattr(o, name, None)
    return o


def num(v):
    return type(v) in (int, float) and not (isinstance(v, float) and math.isnan(v))


# (expression, test of the reached value) for a path; `has` says whether the
# object reaches a value at all (ne/not_ also match objects that reach none).
TESTS = [
    (lambda p: Q.eq(p, 2), lambda v, has: has and v == 2),
    (lambda p: Q.ne(p, 2), lambda v, has: not (has and v == 2)),
    (lambda p: Q.gt(p, 1), lambda v, has: has and num(v) and v > 1),
    (lambda p: Q.ge(p, 1.5), lambda v, has: has and num(v) and v >= 1.5),
    (lambda p: Q.lt(p, 2), lambda v, has: has and num(v) and v < 2),
    (lambda p: Q.le(p, 2), lambda v, has: has and num(v) and v <= 2),
    (lambda p: Q.bt(p, 1, 2.5), lambda v, has: has and num(v) and 1 <= v <= 2.5),
    (lambda p: Q.in_(p, ["x", 3, 3]), lambda v, has: has and v in ("x", 3)),
    (lambda p: Q.not_(Q.eq(p, "x")), lambda v, has: not (has and v == "x")),
    (lambda p: Q.and_(Q.ge(p, 1), Q.le(p, 3)), lambda v, has: has and num(v) and 1 <= v <= 3),
    (lambda p: Q.or_(Q.eq(p, "x"), Q.lt(p, 1)), lambda v, has: has and (v == "x" or (num(v) and v < 1))),
]
VALUES = [0, 1, 1.5, 2, 2.0, 3, "x", None, float("nan")]


def reached(o, path):
    """(value, has): has is False when the path stops before its end."""
    *heads, last = path.split(".")
    for name in heads:
        o = getattr(o, name, None)
        if not isinstance(o, Indexable):
            return None, False
    return getattr(o, last, None), hasattr(o, last)


def check_all(index, objs):
    for path in ("inner.v", "inner.deep.v", "v"):
        for make, want in TESTS:
            expected = [o for o in objs if want(*reached(o, path))]
            same_objects(index.reduced_query(make(path)).collect(), expected)


def test_paths_one_and_two_levels_follow_writes():
    rng = random.Random(3)
    deep = [Indexable(v=rng.choice(VALUES)) for _ in range(6)]
    inner = [Indexable(v=rng.choice(VALUES), deep=rng.choice(deep)) for _ in range(8)]
    objs = [Indexable(v=rng.choice(VALUES), inner=rng.choice(inner + [5, None])) for _ in range(40)]
    index = Index()
    index.add_object_many(objs[:20])
    for o in objs[20:]:
        index.add_object(o)
    check_all(index, objs)
    for _ in range(6):
        # Values of nested objects change, parents relink, nested objects relink.
        for o in rng.sample(deep + inner, 5):
            o.v = rng.choice(VALUES)
        for o in rng.sample(objs, 8):
            o.inner = rng.choice(inner + [7])
        for o in rng.sample(inner, 3):
            o.deep = rng.choice(deep + ["none"])
        check_all(index, objs)


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
