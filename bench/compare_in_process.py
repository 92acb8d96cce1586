"""Two builds of the module loaded side by side in one process (each .so
under its own path is a module of its own), the same generated objects
(fixed seed) indexed by each, and the same queries run on both in turn,
round after round; each figure is the lowest over all rounds. Load from
other work on the machine falls on both builds alike, which separate
processes run one after the other (compare_builds.py) cannot promise.
Before timing, both builds must give the same objects for every query.

Usage: compare_in_process.py DIR_A DIR_B [--size N] [--rounds R]
A DIR holds an installed module (pip install --target DIR .).
`make bench-roaring` builds the module with Debian's CRoaring and with 4.x
and compares them.
"""

import argparse
import glob
import importlib.machinery
import importlib.util
import os
import random
import time

from timing import fmt_time, log, print_rows


def load(folder):
    (path,) = glob.glob(os.path.join(folder, "Lorvane*.so"))
    loader = importlib.machinery.ExtensionFileLoader("Lorvane", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("Lorvane", path, loader=loader))
    loader.exec_module(module)
    return module


def make_rows(n, seed=20251208):
    rng = random.Random(seed)
    return [dict(score=rng.random(), a=rng.randrange(100), b=f"b{rng.randrange(10)}", c=rng.random() < 0.5,
                 d=rng.randrange(20), u=rng.randrange(max(1, n // 3))) for _ in range(n)]


def queries(L, idx):
    """label -> (how it is asked, the call timed, the same call returning the
    objects for the check). reduced_query is timed without collect()."""
    Q = L.PyQueryExpr
    exprs = {
        "bt 0.1% (score)": Q.bt("score", 0.25, 0.251),
        "bt 1% (score)": Q.bt("score", 0.5, 0.51),
        "lt 10% (score)": Q.lt("score", 0.1),
        "and_ of 4 eq": Q.and_(Q.eq("a", 7), Q.eq("b", "b3"), Q.eq("c", True), Q.eq("d", 5)),
        "or_ of 10 eq, 1% each": Q.or_(*[Q.eq("a", v) for v in range(10)]),
        "not_ eq, 90%": Q.not_(Q.eq("b", "b3")),
    }
    out = {k: ("reduced_query", (lambda e=e: idx.reduced_query(e)), (lambda e=e: idx.reduced_query(e).collect()))
           for k, e in exprs.items()}
    for label, kw in [("4 keywords", dict(a=7, b="b3", c=True, d=5)),
                      ("2 keywords, one of 10 values", dict(b="b3", a=list(range(10)))),
                      ("1 keyword, 100 tiny sets", dict(u=list(range(0, 30000, 300))))]:
        out[label] = ("get_by_attribute", *(lambda kw=kw: idx.get_by_attribute(**kw),) * 2)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--size", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=6)
    args = ap.parse_args()
    names = [os.path.basename(os.path.normpath(d)) for d in (args.a, args.b)]
    rows = make_rows(args.size)
    builds = {}
    for name, folder in zip(names, (args.a, args.b)):
        L = load(folder)
        objs = [L.Indexable(**r) for r in rows]
        idx = L.Index()
        log(f"{name}: add_object_many, {args.size:,} objects")
        idx.add_object_many(objs)
        builds[name] = (queries(L, idx), {id(o): i for i, o in enumerate(objs)}, objs, idx)
    first, second = (builds[n] for n in names)
    for label in first[0]:
        got = [sorted(pos[id(o)] for o in qs[label][2]()) for qs, pos, _, _ in (first, second)]
        assert got[0] == got[1], f"{label}: the two builds select different objects"
    best = {}
    for r in range(args.rounds):
        for name in names if r % 2 == 0 else names[::-1]:
            for label, (_, fast, _) in builds[name][0].items():
                fast()
                for _ in range(15):
                    t = time.perf_counter()
                    fast()
                    t = time.perf_counter() - t
                    best[label, name] = min(best.get((label, name), t), t)
    lines = [(kind, label, fmt_time(best[label, names[0]]), fmt_time(best[label, names[1]]),
              f"{best[label, names[1]] / best[label, names[0]]:.2f}") for label, (kind, _, _) in first[0].items()]
    print(f"\nOne process, {args.size:,} objects, lowest of {args.rounds} alternating rounds (lower is better)")
    print_rows(("call", "query", *names, f"{names[1]}/{names[0]}"), lines, group=0, left={0, 1})


if __name__ == "__main__":
    main()
