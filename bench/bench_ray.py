"""Sharded index benchmark: an index sharded over 4 local Ray actors against
one process's Index, on the same generated rows (fixed seed), in one run.

Every object holds `id` (the key, unique), `cat` (a string with 100 values),
`value` (an int below 1,000,000) and `score` (a float). Rows are dicts,
added in batches of 200,000.

Figures, each a ratio against a goal measured in the same run:
  - build: the rows added in batches (one process: building the objects
    and add_object_many; sharded: routing, sending, building and indexing in
    the actors, until flush() returns), against the one-process build divided
    by the actors that run at once (min(actors, cores));
  - queries answered as a count, against the one-process time divided the
    same way plus Ray's own empty scatter-gather (a call that does nothing,
    sent to the same actors and waited for): a wide range (`value` in
    [0, 900,000], a few ms in one process: the ranged tree answers it from
    few nodes) and an `or_` of 50 narrow ranges each `and_`-ed with
    `score > 0.1` (>= 50 ms in one process at 1M objects);
  - point queries answered as objects, against the empty scatter-gather:
    on the key (`id` = one key, which goes to that key's shard alone) and on
    `value` (an int held by about n / 1,000,000 objects, sent to every shard).
Where the time goes: the driver's routing and pickling of the batches, the
actors' own time inside their calls (ShardedIndex's shards report it), and
what is left, which is Ray's scheduling and transport; and the CPU seconds
of the driver and of the actors against one process's (on a machine shared
with other work, CPU time says more than wall time).

Needs Ray (`make ray-deps`); without it the script says so and exits.
Usage: bench_ray.py [--sizes 4000000]
"""

import gc
import os
import pickle
import random
import statistics
import time

from timing import best_time, fmt_time, goal, log, print_rows, run_sizes, timed_once

SEED = 20261208
DEFAULT_SIZES = (4_000_000,)
BATCH = 200_000
ACTORS = 4


def cpu_seconds(fn, repeats=3):
    """This process's CPU seconds per call of fn, the collector paused (it
    would walk the rows the driver holds)."""
    gc.collect()
    gc.disable()
    try:
        cpu0 = time.process_time()
        for _ in range(repeats):
            fn()
        return (time.process_time() - cpu0) / repeats
    finally:
        gc.enable()


def make_rows(n):
    rnd = random.Random(SEED)
    cats = [f"c{i}" for i in range(100)]
    return [{"id": i, "cat": cats[i % 100], "value": rnd.randrange(1_000_000), "score": rnd.random()}
            for i in range(n)]


def batches(rows):
    return [rows[i:i + BATCH] for i in range(0, len(rows), BATCH)]


def run_size(n):
    import ray
    from Lorvane import Index, Indexable, PyQueryExpr as Q
    from lorvane_ray import ShardedIndex
    from lorvane_ray import wire

    rows = make_rows(n)
    parallel = min(ACTORS, os.cpu_count() or 1)
    wide = Q.bt("value", 0, 900_000)
    # Fifty narrow ranges of `value`, each and-ed with a test most objects
    # pass: the work of 100 large bitmaps, >= 50 ms in one process at 1M.
    heavy = Q.or_(*[Q.and_(Q.bt("value", a, a + 10_000), Q.gt("score", 0.1)) for a in range(0, 1_000_000, 20_000)])
    point = n // 2

    log(f"{n}: one process")
    def build_one():
        index = Index()
        for part in batches(rows):
            index.add_object_many([Indexable(**r) for r in part])
        return index
    cpu0 = time.process_time()
    one_build, index = timed_once(build_one)
    build_one_cpu = time.process_time() - cpu0
    one_count = len(index.reduced_query(wide))
    one_query = best_time(lambda: len(index.reduced_query(wide)), repeats=5)
    one_heavy_count = len(index.reduced_query(heavy))
    one_heavy = best_time(lambda: len(index.reduced_query(heavy)), repeats=3)
    heavy_one_cpu = cpu_seconds(lambda: len(index.reduced_query(heavy)))
    one_point = best_time(lambda: index.get_by_attribute(id=point))
    probe = rows[point]["value"]
    one_probe = best_time(lambda: index.get_by_attribute(value=probe))
    del index

    log(f"{n}: {ACTORS} actors")
    ray.init(address="local", num_cpus=ACTORS, include_dashboard=False, log_to_driver=False)
    sharded = ShardedIndex("id", ACTORS)
    def empty():
        ray.get([a.ping.remote() for a in sharded.shards])
    empty_sg = best_time(empty, repeats=20)

    def build_sharded():
        for part in batches(rows):
            sharded.add_object_many(part)
        sharded.flush()
    def actors_cpu():
        # Each actor's CPU seconds so far (all its threads), through Ray's
        # call of a function on the actor.
        return sum(ray.get([a.__ray_call__.remote(lambda _: time.process_time()) for a in sharded.shards]))
    actors0 = actors_cpu()
    cpu0 = time.process_time()
    ray_build, _ = timed_once(build_sharded)
    build_driver_cpu, build_actors_cpu = time.process_time() - cpu0, actors_cpu() - actors0
    assert len(sharded) == n

    # The build's parts: the driver's routing and pickling (what the driver
    # does before Ray takes the bytes), and the unpickling in the actors,
    # each measured here apart.
    encode = lambda part: wire.encode(part, "id", ACTORS, sharded._key_of)  # noqa: E731
    routing, blobs = timed_once(lambda: [blob for part in batches(rows) for blob in encode(part).values()])
    unpickling, _ = timed_once(lambda: [list(wire.read(b)[2]) for b in blobs])
    del blobs
    log(f"{n}: build {fmt_time(one_build)} in one process, {fmt_time(ray_build)} over the actors; "
        f"routing and pickling {fmt_time(routing)}, unpickling {fmt_time(unpickling)}")

    assert sharded.reduced_query(wide, "count") == one_count
    ray_query = best_time(lambda: sharded.reduced_query(wide, "count"), repeats=5)
    inside = [ray.get([a.timed.remote("reduced_query", pickle.dumps(wide), "count") for a in sharded.shards])
              for _ in range(5)]
    shard_query = statistics.median(max(t for t, _ in r) for r in inside)
    assert sharded.reduced_query(heavy, "count") == one_heavy_count
    ray_heavy = best_time(lambda: sharded.reduced_query(heavy, "count"), repeats=3)
    actors0 = actors_cpu()
    heavy_driver_cpu = cpu_seconds(lambda: sharded.reduced_query(heavy, "count"))
    heavy_actors_cpu = (actors_cpu() - actors0) / 3
    inside = [ray.get([a.timed.remote("reduced_query", pickle.dumps(heavy), "count") for a in sharded.shards])
              for _ in range(3)]
    shard_heavy = statistics.median(max(t for t, _ in r) for r in inside)

    [obj] = sharded.get_by_attribute("objects", id=point)
    assert obj.id == point
    ray_point = best_time(lambda: sharded.get_by_attribute("objects", id=point), repeats=20)
    assert point in [o.id for o in sharded.get_by_attribute("objects", value=probe)]
    ray_probe = best_time(lambda: sharded.get_by_attribute("objects", value=probe), repeats=20)
    ray.shutdown()

    build_goal = 1.5 * one_build / parallel
    query_goal = 1.2 * one_query / parallel + empty_sg
    point_goal = 2 * empty_sg
    return dict(n=n, parallel=parallel, empty_sg=empty_sg, rows=[
        dict(what="build (batches of 200k)", one=one_build, ray=ray_build, **goal(
            n, f"<= 1.5 x one / {parallel}", ray_build <= build_goal), ratio=ray_build / (one_build / parallel),
            where=f"driver routing and pickling {fmt_time(routing)}; "
                  f"actors unpickling ~{fmt_time(unpickling)}, building and indexing; CPU time: "
                  f"one process {fmt_time(build_one_cpu)}, sharded {fmt_time(build_driver_cpu)} driver + "
                  f"{fmt_time(build_actors_cpu)} actors"),
        dict(what="wide range, as a count", one=one_query, ray=ray_query, **goal(
            n, f"<= 1.2 x one / {parallel} + empty", ray_query <= query_goal),
            ratio=ray_query / (one_query / parallel + empty_sg),
            where=f"slowest shard's own work {fmt_time(shard_query)}; empty scatter-gather {fmt_time(empty_sg)}"),
        dict(what="50 ranges and-ed, or-ed, as a count", one=one_heavy, ray=ray_heavy, **goal(
            n, f"<= 1.2 x one / {parallel} + empty", ray_heavy <= 1.2 * one_heavy / parallel + empty_sg),
            ratio=ray_heavy / (one_heavy / parallel + empty_sg),
            where=f"slowest shard's own work {fmt_time(shard_heavy)}; empty scatter-gather {fmt_time(empty_sg)}; "
                  f"CPU time: one process {fmt_time(heavy_one_cpu)}, sharded {fmt_time(heavy_driver_cpu)} driver + "
                  f"{fmt_time(heavy_actors_cpu)} actors"),
        dict(what="point query on the key, as the object", one=one_point, ray=ray_point, **goal(
            n, "<= 2 x empty", ray_point <= point_goal), ratio=ray_point / empty_sg,
            where=f"sent to the key's shard alone; empty scatter-gather {fmt_time(empty_sg)}"),
        dict(what="point query on `value`, as objects", one=one_probe, ray=ray_probe, **goal(
            n, "<= 2 x empty", ray_probe <= point_goal), ratio=ray_probe / empty_sg,
            where=f"sent to every shard; empty scatter-gather {fmt_time(empty_sg)}"),
    ])


def print_table(results):
    head = ["objects", "figure", "one process", f"{ACTORS} actors", "ratio to goal's base", "goal", "met", "where the time goes"]
    lines = []
    for res in results:
        for r in res["rows"]:
            met = "-" if r["goal_ok"] is None else ("yes" if r["goal_ok"] else "NO")
            lines.append([f"{res['n']:,}", r["what"], fmt_time(r["one"]), fmt_time(r["ray"]), f"{r['ratio']:.2f}x",
                          r["goal"], met, r["where"]])
    print_rows(head, lines, 0, (1, 5, 7))


if __name__ == "__main__":
    try:
        import ray  # noqa: F401
    except ImportError:
        print("bench_ray.py: Ray is not installed (make ray-deps); skipped")
    else:
        run_sizes(__doc__, __file__, DEFAULT_SIZES, run_size, print_table)
