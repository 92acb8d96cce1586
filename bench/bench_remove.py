"""Removal: time and memory, against adding, in one process.

The objects are those of bench_index_memory.py (six attributes: 100 strings,
1,000 ints, unique floats, a bool, unique strings, one private name).

  - remove_object_many of a random 10% of an index of N objects, against
    add_object_many of the same objects back into that index (best of three
    rounds each; goal: removing costs at most what adding costs);
  - churn: the index's own malloc'd bytes (mallinfo2) after removing a random
    half of the objects, letting them be freed and adding as many new ones,
    against its bytes before (goal: within 10%). The objects' own bytes are
    the same before and after (as many live objects of the same shapes), so
    the index's change is the change of the whole heap.

Usage: bench_remove.py [--sizes 1000000]
"""

import gc
import random

from bench_index_memory import SEED, make_data
from timing import goal, malloc_bytes, print_rows, run_sizes, timed_once

DEFAULT_SIZES = [1_000_000]


def run_size(n):
    from Lorvane import Index, Indexable

    data = make_data(n + n // 2)
    objs = [Indexable(**d, _payload=i) for i, d in enumerate(data[:n])]
    rng = random.Random(SEED)
    out = {"n": n}

    before = malloc_bytes()
    index = Index()
    index.add_object_many(objs)
    built = malloc_bytes()
    out["index_bytes_before"] = built - before

    removes, adds = [], []
    for _ in range(3):
        sample = rng.sample(objs, n // 10)
        removes.append(timed_once(lambda: index.remove_object_many(sample))[0])
        adds.append(timed_once(lambda: index.add_object_many(sample))[0])
    out["remove_10pct_s"], out["add_10pct_s"] = min(removes), min(adds)
    assert len(index.collect()) == n

    gone = set(rng.sample(range(n), n // 2))
    index.remove_object_many([objs[i] for i in sorted(gone)])
    objs = [o for i, o in enumerate(objs) if i not in gone]
    gc.collect()
    fresh = [Indexable(**d, _payload=i) for i, d in enumerate(data[n:], start=n)]
    index.add_object_many(fresh)
    objs += fresh
    del fresh
    after = malloc_bytes()
    out["index_bytes_after"] = out["index_bytes_before"] + (after - built)
    assert len(index.collect()) == n
    return out


def print_table(results):
    head = ["N", "figure", "Lorvane", "against", "ratio", "goal"]
    lines = []
    for r in results:
        n = f"{r['n']:,}"
        rm, add = r["remove_10pct_s"], r["add_10pct_s"]
        g = goal(r["n"], "<= 1.0", rm <= add)
        lines.append([n, "remove_object_many, random 10%", f"{rm * 1e3:.1f} ms",
                      f"add_object_many of them {add * 1e3:.1f} ms", f"{rm / add:.2f}",
                      g["goal"] + ("" if g["goal_ok"] is None else (" met" if g["goal_ok"] else " MISSED"))])
        b0, b1 = r["index_bytes_before"] / r["n"], r["index_bytes_after"] / r["n"]
        g = goal(r["n"], "<= 1.10", b1 <= 1.10 * b0)
        lines.append([n, "index bytes after a half removed, freed, replaced", f"{b1:.1f} B/object",
                      f"before {b0:.1f} B/object", f"{b1 / b0:.2f}",
                      g["goal"] + ("" if g["goal_ok"] is None else (" met" if g["goal_ok"] else " MISSED"))])
    print()
    print(f"Removal benchmark (seed {SEED}; ratio = Lorvane / against)")
    print_rows(head, lines, 0, (0, 1, 3))


if __name__ == "__main__":
    run_sizes(__doc__, __file__, DEFAULT_SIZES, run_size, print_table)
