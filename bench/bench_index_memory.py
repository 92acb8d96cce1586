"""Index memory: the bytes the C++ side allocates for an Index, per object,
against sqlite3 in memory with one index per column, both measured in the
same process on the same generated objects (fixed seed).

The objects are those of bench_index.py: `cat` (100 distinct strings), `num`
(1,000 ints), `score` (unique floats), `flag` (a bool), `key` (unique
strings) and `_payload` (not indexed).

Bytes are glibc's own count of what malloc handed out (mallinfo2: uordblks +
hblkhd) before and after a build, so that freed heap kept for reuse does not
count, as it would in the resident size. The index is then attributed:
  - "objects alone": an Index of objects that hold only `_payload` (the
    item table, the stored-id bitmap, the core);
  - one row per attribute: an Index of objects that hold only that attribute
    (and `_payload`), less the row above;
  - "all": the Index of the six-attribute objects.
The per-structure split inside one attribute's value map (value table, id
sets, id column, ranged tree nodes and bitmaps) is printed by the C++
benchmark `lorvane_cpp_bench --benchmark_filter=Memory` (make bench).

Usage: bench_index_memory.py [--sizes 1000000] [--json]
"""

import argparse
import gc
import json
import random
import sqlite3
import sys

from timing import malloc_bytes

SEED = 20240607
N_CATS = 100
N_NUMS = 1_000


def make_data(n):
    rng = random.Random(SEED)
    cats = [f"c{i}" for i in range(N_CATS)]
    rows = [(cats[rng.randrange(N_CATS)], rng.randrange(N_NUMS), rng.random(), rng.random() < 0.5)
            for _ in range(n)]
    return [dict(cat=c, num=m, score=s, flag=f, key=f"k{i:07d}") for i, (c, m, s, f) in enumerate(rows)]


def index_bytes(Index, objs):
    before = malloc_bytes()
    ix = Index()
    ix.add_object_many(objs)
    after = malloc_bytes()
    del ix
    gc.collect()
    return after - before


def sqlite_bytes(data):
    rows = [(i, d["cat"], d["num"], d["score"], int(d["flag"]), d["key"]) for i, d in enumerate(data)]
    before = malloc_bytes()
    con = sqlite3.connect(":memory:")
    con.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, cat TEXT, num INTEGER, score REAL, flag INTEGER, key TEXT)")
    con.executemany("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)", rows)
    for col in ("cat", "num", "score", "flag", "key"):
        con.execute(f"CREATE INDEX t_{col} ON t ({col})")
    con.commit()
    after = malloc_bytes()
    con.close()
    return after - before


def run(n):
    from Lorvane import Indexable, Index

    data = make_data(n)
    out = {}
    # Attribute by attribute, each over objects holding that attribute alone.
    bare = [Indexable(_payload=i) for i in range(n)]
    out["objects alone (item table, ids)"] = index_bytes(Index, bare)
    del bare
    for attr in ("cat", "num", "score", "flag", "key"):
        objs = [Indexable(**{attr: d[attr]}, _payload=i) for i, d in enumerate(data)]
        out[f"attribute {attr}"] = index_bytes(Index, objs) - out["objects alone (item table, ids)"]
        del objs
        gc.collect()
    objs = [Indexable(**d, _payload=i) for i, d in enumerate(data)]
    out["all (one Index of the six-attribute objects)"] = index_bytes(Index, objs)
    del objs
    gc.collect()
    out["sqlite3 :memory:, table + 5 indexes"] = sqlite_bytes(data)
    return {k: v / n for k, v in out.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1000000")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    results = {int(s): run(int(s)) for s in args.sizes.split(",")}
    if args.json:
        print(json.dumps(results))
        return
    for n, res in results.items():
        print(f"\nIndex memory, N={n:,} (malloc'd bytes per object; seed {SEED})")
        w = max(len(k) for k in res)
        for k, v in res.items():
            print(f"  {k.ljust(w)}  {v:8.1f} B")
        ours = res["all (one Index of the six-attribute objects)"]
        sql = res["sqlite3 :memory:, table + 5 indexes"]
        print(f"  {'sqlite / index'.ljust(w)}  {sql / ours:8.2f}x")


if __name__ == "__main__":
    sys.exit(main())
