"""Before and after: the figures a change must not make worse, measured for
two builds of the module on the same machine, one after the other, each
figure in a fresh child process (`bench_indexable.py --json`,
`bench_index.py --child N` and `bench_shapes.py --json`, whose sizes are
fixed: four equalities at 2,000,000 objects, a 1% range at 1,000,000), and
printed in one table.

Usage: compare_builds.py --before DIR [--after DIR] [--size N] [--rounds R]
A DIR holds an installed module (pip install --target DIR .); without
--after, the module this interpreter imports is the "after" build. With
--rounds R, the two builds are measured R times in turn and each figure is
the lowest of its rounds: load from other work on the machine that comes and
goes then falls on both builds alike.
`make bench-compare BASE=<git revision>` builds BASE and runs this.
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def child(args, module_dir):
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.abspath(module_dir), env.get("PYTHONPATH")] if p)
    out = subprocess.run([sys.executable, *args], env=env, stdout=subprocess.PIPE, check=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def figures(module_dir, n):
    """[(label, value, unit)] for one build."""
    ops = child([os.path.join(HERE, "bench_indexable.py"), "--json"], module_dir)
    index = child([os.path.join(HERE, "bench_index.py"), "--child", str(n)], module_dir)
    shapes = child([os.path.join(HERE, "bench_shapes.py"), "--json"], module_dir)
    rows = {}
    for r in index["rows"]:
        rows.setdefault(r["what"], r)  # the first alternative of each measurement
    two_kw = next(r for w, r in rows.items() if w.startswith("query 2 kw ~0.1%"))
    construct, read = ops["construct (5 keywords)"], ops["read attribute"]
    and4_kw, and4_q = shapes["4 equalities, get_by_attribute"], shapes["4 equalities, and_ of 4 eq"]
    r_eval, r_coll = shapes["range 1% evaluation"], shapes["range 1% collection"]
    return [
        ("construct, 5 keywords", construct["Indexable"], "ns"),
        ("  same, / __dict__ class", construct["Indexable"] / construct["__dict__ class"], "x"),
        ("read attribute", read["Indexable"], "ns"),
        ("  same, / __slots__ class", read["Indexable"] / read["__slots__ class"], "x"),
        ("write attribute (no index)", ops["write attribute"]["Indexable"], "ns"),
        (f"add_object_many, {n:,} objects", rows["build: add_object_many(objs)"]["ours"], "s"),
        ("query 2 kw ~0.1%", two_kw["ours"], "us"),
        (f"4 equalities, {and4_kw['n']:,} objects: get_by_attribute", and4_kw["seconds"], "us"),
        (f"4 equalities, {and4_q['n']:,} objects: and_ of 4 eq, collected", and4_q["seconds"], "us"),
        (f"1% range, {r_eval['n']:,} objects: reduced_query alone", r_eval["seconds"], "us"),
        ("1% range: collect() per object", r_coll["seconds"] / max(r_coll["matches"], 1) * 1e9, "ns/object"),
        ("resident memory/object, index alone", rows["resident memory per object, index alone"]["ours"], "B"),
        ("resident memory/object, objects alone", index["extra"]["objects_bytes_per_object"], "B"),
    ]


def lowest(kept, new):
    """Each figure the lower of two rounds' (every figure is lower-is-better)."""
    if kept is None:
        return new
    return [(label, min(k, n), unit) for (label, k, unit), (_, n, _) in zip(kept, new)]


def show(value, unit):
    if unit == "s":
        return f"{value:.3f} s"
    if unit == "us":
        return f"{value * 1e6:.1f} us"
    if unit == "x":
        return f"{value:.2f}x"
    if unit == "ns/object":
        return f"{value:.1f} ns"
    return f"{value:.0f} {unit}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--before", required=True)
    ap.add_argument("--after", default=None)
    ap.add_argument("--size", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=1)
    args = ap.parse_args()
    before = after = None
    for _ in range(max(1, args.rounds)):
        before = lowest(before, figures(args.before, args.size))
        after = lowest(after, figures(args.after, args.size))
    print(f"\nBefore and after ({args.size:,} objects for the index figures; lower is better everywhere)")
    head = ("measurement", "before", "after", "after/before")
    lines = [(label, show(b, unit), show(a, unit), f"{a / b:.2f}" if b else "-")
             for (label, b, unit), (_, a, _) in zip(before, after)]
    widths = [max(len(h), *(len(l[i]) for l in lines)) for i, h in enumerate(head)]
    print(" | ".join(h.ljust(w) for h, w in zip(head, widths)))
    print("-+-".join("-" * w for w in widths))
    for l in lines:
        print(" | ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(l, widths))))


if __name__ == "__main__":
    main()
