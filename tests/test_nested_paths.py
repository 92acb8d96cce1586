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
