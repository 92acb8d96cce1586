"""Pickling an Index: a round trip (pickle.dumps, then pickle.loads) of an
Index of N objects (default 1,000,000) with six attributes each (ints and
short strings), against a list of the same values as objects of a plain
class with a __dict__, measured the same way in the same process. Each
figure is the best of a few runs with the collector paused; the loaded
index is checked against the original (its objects and one lookup).

Usage: bench_pickle.py [--n 1000000] [--repeats 2]
"""

import argparse
import pickle
import random

from timing import fmt_time, goal, log, print_rows, timed_once

from Lorvane import Index, Indexable

GOAL = 2.0  # the Index's round trip against the list's, at most


class Plain:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def rows(n, seed=7):
    rng = random.Random(seed)
    return [dict(id=i, code=f"c{rng.randrange(10_000)}", qty=rng.randrange(1000), city=("Oslo", "Rome", "Lima")[i % 3],
                 price=rng.randrange(10**6), tag=str(i % 97)) for i in range(n)]


def best(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        t, result = timed_once(fn)
        times.append(t)
    return min(times), result


def measure(make, repeats):
    data = make()
    dumps_t, blob = best(lambda: pickle.dumps(data, pickle.HIGHEST_PROTOCOL), repeats)
    loads_t, loaded = best(lambda: pickle.loads(blob), repeats)
    return dict(dumps=dumps_t, loads=loads_t, bytes=len(blob)), data, loaded


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=2)
    args = ap.parse_args()
    values = rows(args.n)

    def make_index():
        index = Index()
        index.add_object_many([Indexable(**r) for r in values])
        return index

    log(f"pickle round trip of {args.n:,} objects")
    plain, _, _ = measure(lambda: [Plain(**r) for r in values], args.repeats)
    mine, index, loaded = measure(make_index, args.repeats)
    assert len(loaded) == len(index) and [o.code for o in loaded] == [o.code for o in index]
    assert len(loaded.get_by_attribute(city="Rome")) == len(index.get_by_attribute(city="Rome"))

    lines = []
    for name, r in (("list of __dict__ objects", plain), ("Index of Indexable", mine)):
        total = r["dumps"] + r["loads"]
        lines.append((name, fmt_time(r["dumps"]), fmt_time(r["loads"]), fmt_time(total),
                      f"{r['bytes'] / args.n:.0f}", f"{total / (plain['dumps'] + plain['loads']):.2f}x"))
    print_rows(("kind", "dumps", "loads", "round trip", "B/object", "vs list"), lines, 0, {0})
    ratio = (mine["dumps"] + mine["loads"]) / (plain["dumps"] + plain["loads"])
    g = goal(args.n, f"round trip <= {GOAL}x the list's", ratio <= GOAL)
    verdict = "" if g["goal_ok"] is None else ("met" if g["goal_ok"] else "NOT met")
    print(f"goal: {g['goal']}: {ratio:.2f}x  {verdict}")


if __name__ == "__main__":
    main()
