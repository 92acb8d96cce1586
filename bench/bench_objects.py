"""What it costs to keep Indexable objects live, each figure against plain
Python classes with the same attributes measured the same way:

1. Memory: bytes per object, as the growth of the resident set over N objects
   (default 1,000,000). Each kind runs in a fresh child process of this
   script. The list that holds the objects is allocated before the first
   reading, and every attribute value is one of a dozen shared objects, so
   only the objects' own storage is counted. Each reading follows
   gc.collect() and malloc_trim(0). A second column gives the part of the
   growth on the malloc heap (mallinfo2: what the C++ side allocates, and any
   Python block over 512 bytes); the rest is pymalloc's.
   The plain classes set their attributes in __init__ (dataclasses), with a
   __dict__ or with __slots__; ratios are against the __dict__ class with the
   same number of attributes.
2. Attribute read: ns per read of one attribute of a 6-attribute object, the
   minimum over timeit repeats, reads unrolled ten to a loop turn, the object
   a local of the timed function.
3. Attribute write on an object in no index: ns per write of one existing
   attribute (the middle one) of an object holding 8, 1,000 or 10,000
   attributes; then the time to set many distinct new attributes one by one
   on one fresh object (us per attribute), a larger count skipped once one
   takes over 20 s. The alternative is a plain object whose __dict__ holds
   the same attributes.
4. sys.getsizeof of an object with 0, 6 and 12 attributes.

Usage: bench_objects.py [--n 1000000] [--json]
--json prints every figure as one JSON object on the last line.
"""

import argparse
import dataclasses
import gc
import json
import os
import subprocess
import sys
import time
import timeit

from timing import log, malloc_bytes, rss_bytes, timed_once

from Lorvane import Indexable

DEFAULT_N = 1_000_000

# Shared attribute values: the same twelve objects in every object (ints stay
# within 64 bits, which is what an Indexable accepts).
VALUES = ("red", 42, 3.5, None, True, "a longer shared string value", 10**12, -1, 0.25, "x", False, 7)
NAMES = [f"a{i}" for i in range(12)]
KW = {count: dict(zip(NAMES[:count], VALUES[:count])) for count in (0, 6, 12)}


def plain_class(name, count, slots):
    """A dataclass with `count` attributes set in __init__, with __slots__ or a __dict__."""
    return dataclasses.make_dataclass(name, NAMES[:count], slots=slots, eq=False)


DICT = {count: plain_class(f"Dict{count}", count, False) for count in (0, 6, 12)}
SLOTS = {count: plain_class(f"Slots{count}", count, True) for count in (0, 6, 12)}


class Sub(Indexable):
    pass


class SubEmptySlots(Indexable):
    __slots__ = ()


def indexable_setattr6():
    obj = Indexable()
    for name, value in KW[6].items():
        setattr(obj, name, value)
    return obj


def factory(cls, count):
    kw = KW[count]
    return lambda: cls(**kw)


# key: (label, attribute count, factory), in the order of the table
MEMORY_KINDS = {
    "indexable0": ("Indexable, no attribute", 0, factory(Indexable, 0)),
    "slots0": ("__slots__ class, 0 attributes", 0, factory(SLOTS[0], 0)),
    "dict0": ("__dict__ class, 0 attributes", 0, factory(DICT[0], 0)),
    "indexable6": ("Indexable, 6 keywords", 6, factory(Indexable, 6)),
    "subclass6": ("subclass without __slots__, 6 keywords", 6, factory(Sub, 6)),
    "subclass_slots6": ("subclass with __slots__ = (), 6 keywords", 6, factory(SubEmptySlots, 6)),
    "setattr6": ("Indexable(), then 6 setattr", 6, indexable_setattr6),
    "slots6": ("__slots__ class, 6 attributes", 6, factory(SLOTS[6], 6)),
    "dict6": ("__dict__ class, 6 attributes", 6, factory(DICT[6], 6)),
    "indexable12": ("Indexable, 12 keywords", 12, factory(Indexable, 12)),
    "slots12": ("__slots__ class, 12 attributes", 12, factory(SLOTS[12], 12)),
    "dict12": ("__dict__ class, 12 attributes", 12, factory(DICT[12], 12)),
}
# key: most bytes per object, as a multiple of the __dict__ class with the same count
MEMORY_GOALS = {"indexable6": 1.3, "subclass6": 1.4, "indexable12": 1.3, "indexable0": 1.0}
READ_GOAL = 1.4         # Indexable read / __slots__ read
WRITE_GOAL = 1.5        # write with 1,000 attributes / write with 8
WRITE_COUNTS = (8, 1_000, 10_000)
NEW_ATTR_COUNTS = (2_500, 5_000, 10_000, 20_000)
NEW_ATTR_CAP = 20.0     # seconds: larger counts are skipped once one takes longer
TIMEIT_REPEATS = 7
TIMEIT_TARGET = 0.05    # seconds per repeat
UNROLL = 10

# ---------------------------------------------------------------------------
# memory, one kind per child process

def memory_child(key, n):
    """{"rss": bytes per object, "malloc": bytes per object on the malloc heap}."""
    make = MEMORY_KINDS[key][2]
    objs = [None] * n
    objs[0] = make()  # first use of the type (caches, shared keys) outside the reading
    rss0, heap0 = rss_bytes(), malloc_bytes()
    for i in range(n):
        objs[i] = make()
    rss1, heap1 = rss_bytes(), malloc_bytes()
    heap = None if heap0 is None else (heap1 - heap0) / n
    return {"rss": (rss1 - rss0) / n, "malloc": heap}


def measure_memory(n):
    out = {}
    for key, (label, _, _) in MEMORY_KINDS.items():
        log(f"memory: {label}, {n:,} objects")
        cmd = [sys.executable, os.path.abspath(__file__), "--memory-child", key, "--n", str(n)]
        res = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, text=True).stdout
        out[key] = json.loads(res.strip().splitlines()[-1])
    return out


# ---------------------------------------------------------------------------
# timings, in this process


def ns_per_op(stmt, make, ops_per_stmt):
    """ns per operation: the minimum over repeats of timeit, with `obj` made by
    make() in the setup, so that it is a local of the timed function."""
    timer = timeit.Timer(stmt, setup="obj = make(); x = 1; y = 2", globals={"make": make})
    number = 1
    while timer.timeit(number) < TIMEIT_TARGET / 4:
        number *= 4
    return min(timer.repeat(repeat=TIMEIT_REPEATS, number=number)) / number / ops_per_stmt * 1e9


def measure_reads():
    stmt = "; ".join(["obj.a3"] * UNROLL)
    kinds = {"indexable": factory(Indexable, 6), "subclass": factory(Sub, 6),
             "slots": factory(SLOTS[6], 6), "dict": factory(DICT[6], 6)}
    log("attribute read")
    return {key: ns_per_op(stmt, make, UNROLL) for key, make in kinds.items()}


class Plain:
    pass


def with_attributes(cls, count):
    obj = cls(**{f"a{i}": i for i in range(count)}) if cls is Indexable else cls()
    if cls is not Indexable:
        for i in range(count):
            setattr(obj, f"a{i}", i)
    return obj


def measure_writes():
    """{"indexable": {count: ns}, "dict": {count: ns}} for a write of an existing attribute."""
    out = {"indexable": {}, "dict": {}}
    for count in WRITE_COUNTS:
        log(f"attribute write, {count:,} attributes")
        name = f"a{count // 2}"
        stmt = "; ".join([f"obj.{name} = x; obj.{name} = y"] * (UNROLL // 2))
        for key, cls in (("indexable", Indexable), ("dict", Plain)):
            out[key][count] = ns_per_op(stmt, lambda cls=cls, count=count: with_attributes(cls, count), UNROLL)
    return out


def time_new_attributes(cls, names, repeats=3):
    """Seconds to set `names` one by one on a fresh object: the best of a few
    runs, one run when it is slow."""
    def fill(obj):
        for name in names:
            setattr(obj, name, 1)
    best = float("inf")
    for _ in range(repeats):
        t, _ = timed_once(lambda: fill(cls()))
        best = min(best, t)
        if t > 1.0:
            break
    return best


def measure_new_attributes():
    """{"indexable": {count: s or None}, "dict": {...}}; None when skipped."""
    out = {"indexable": {}, "dict": {}}
    skip = False
    for count in NEW_ATTR_COUNTS:
        if skip:
            out["indexable"][count] = out["dict"][count] = None
            continue
        log(f"new attributes, {count:,} one by one")
        names = [f"n{i}" for i in range(count)]
        out["indexable"][count] = time_new_attributes(Indexable, names)
        out["dict"][count] = time_new_attributes(Plain, names)
        skip = out["indexable"][count] > NEW_ATTR_CAP
    return out


def measure_sizes():
    return {count: {"indexable": sys.getsizeof(factory(Indexable, count)()),
                    "slots": sys.getsizeof(factory(SLOTS[count], count)()),
                    "dict": sys.getsizeof(factory(DICT[count], count)())}
            for count in (0, 6, 12)}


# ---------------------------------------------------------------------------
# report


def verdict(ratio, limit):
    return "met" if ratio <= limit else "MISSED"


def print_table(head, lines, right_from=1):
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(head)]
    print(" | ".join(h.ljust(w) for h, w in zip(head, widths)))
    print("-+-".join("-" * w for w in widths))
    for line in lines:
        print(" | ".join(c.ljust(w) if i < right_from else c.rjust(w) for i, (c, w) in enumerate(zip(line, widths))))


def report(r):
    n, mem = r["n"], r["memory"]
    print(f"\n1. Bytes per object, resident growth over {n:,} objects, each kind in a fresh process")
    lines = []
    for key, (label, count, _) in MEMORY_KINDS.items():
        m = mem[key]
        base = mem[f"dict{count}"]["rss"]
        goal = ""
        if key in MEMORY_GOALS:
            goal = f"<= {MEMORY_GOALS[key]}x  {verdict(m['rss'] / base, MEMORY_GOALS[key])}"
        heap = "-" if m["malloc"] is None else f"{m['malloc']:.1f}"
        lines.append((label, f"{m['rss']:.1f}", heap, f"{m['rss'] / base:.2f}x" if base > 0 else "-",
                      f"{m['rss'] / mem[f'slots{count}']['rss']:.2f}x", goal))
    print_table(("kind", "B/object", "of which malloc", "vs __dict__", "vs __slots__", "goal (vs __dict__)"), lines)

    rd = r["read"]
    print(f"\n2. Attribute read, 6-attribute object (ns/read, minimum of {TIMEIT_REPEATS} timeit repeats)")
    labels = {"indexable": "Indexable", "subclass": "subclass without __slots__",
              "slots": "__slots__ class", "dict": "__dict__ class"}
    print_table(("kind", "ns/read", "vs __slots__", "vs __dict__"),
                [(labels[k], f"{v:.2f}", f"{v / rd['slots']:.2f}x", f"{v / rd['dict']:.2f}x") for k, v in rd.items()])
    ratio = rd["indexable"] / rd["slots"]
    print(f"goal: Indexable read <= {READ_GOAL}x __slots__: {ratio:.2f}x  {verdict(ratio, READ_GOAL)}")

    wr = r["write"]
    print("\n3a. Write of one existing attribute, object in no index (ns/write)")
    lines = []
    for count in WRITE_COUNTS:
        ours, plain = wr["indexable"][count], wr["dict"][count]
        lines.append((f"{count:,} attributes", f"{ours:.1f}", f"{ours / wr['indexable'][WRITE_COUNTS[0]]:.2f}x",
                      f"{plain:.1f}", f"{plain / wr['dict'][WRITE_COUNTS[0]]:.2f}x", f"{ours / plain:.2f}x"))
    print_table(("object holds", "Indexable", "vs 8 attrs", "__dict__ object", "vs 8 attrs", "Indexable/__dict__"),
                lines)
    ratio = wr["indexable"][1_000] / wr["indexable"][8]
    print(f"goal: write with 1,000 attributes <= {WRITE_GOAL}x with 8: {ratio:.2f}x  {verdict(ratio, WRITE_GOAL)}")

    new = r["new_attributes"]
    print("\n3b. Setting distinct new attributes one by one on one fresh object (us/attribute)")
    lines = []
    for count in NEW_ATTR_COUNTS:
        ours, plain = new["indexable"][count], new["dict"][count]
        if ours is None:
            lines.append((f"{count:,}", "skipped", "", "", ""))
            continue
        lines.append((f"{count:,}", f"{ours / count * 1e6:.2f}", f"{ours:.2f} s", f"{plain / count * 1e6:.3f}",
                      f"{ours / plain:.1f}x"))
    print_table(("attributes", "Indexable", "Indexable total", "__dict__ object", "Indexable/__dict__"), lines)

    print("\n4. sys.getsizeof (bytes)")
    print_table(("attributes", "Indexable", "__slots__ class", "__dict__ class"),
                [(str(c), str(s["indexable"]), str(s["slots"]), str(s["dict"])) for c, s in r["sizes"].items()])


def goals(r):
    mem, rd, wr = r["memory"], r["read"], r["write"]
    out = {f"memory {key} / dict{MEMORY_KINDS[key][1]}":
           mem[key]["rss"] / mem[f"dict{MEMORY_KINDS[key][1]}"]["rss"] <= limit
           for key, limit in MEMORY_GOALS.items()}
    out["read indexable / slots"] = rd["indexable"] / rd["slots"] <= READ_GOAL
    out["write 1000 / 8 attributes"] = wr["indexable"][1_000] / wr["indexable"][8] <= WRITE_GOAL
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=DEFAULT_N, help="objects per memory figure (default: %(default)s)")
    ap.add_argument("--json", action="store_true", help="print the figures as JSON")
    ap.add_argument("--memory-child", choices=MEMORY_KINDS, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        print(json.dumps(memory_child(args.memory_child, args.n)))
        return
    t0 = time.perf_counter()
    r = {"n": args.n, "memory": measure_memory(args.n), "read": measure_reads(), "write": measure_writes(),
         "new_attributes": measure_new_attributes(), "sizes": measure_sizes()}
    r["goals"] = goals(r)
    if args.json:
        print(json.dumps(r))
        return
    report(r)
    print(f"\ntotal {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
