"""Measurement helpers shared by the benchmark scripts: timing with the
collector paused, goal lines, time formatting, and the driver that runs each
size in its own child process."""

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import time


def log(msg):
    print(f"  [{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def best_time(fn, *, target=0.1, repeats=5, budget=2.0):
    """Seconds per call of fn: the minimum over repeats of the mean over
    `number` calls, `number` chosen so that a repeat lasts about `target`.
    Fewer repeats (at least 2) when a repeat is slow, to stay in `budget`."""
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        one = time.perf_counter() - t0
        number = max(1, int(target / max(one, 1e-9)))
        reps = max(2, min(repeats, int(budget / max(one * number, 1e-9))))
        best = one
        for _ in range(reps):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            best = min(best, (time.perf_counter() - t0) / number)
        return best
    finally:
        if was_enabled:
            gc.enable()


def timed_once(fn):
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result
    finally:
        if was_enabled:
            gc.enable()


def goal(n, text, ok):
    if n < 1_000_000:
        return dict(goal=f"{text} at 1M", goal_ok=None)
    return dict(goal=text, goal_ok=bool(ok))


def fmt_time(v):
    if v >= 1:
        return f"{v:.2f} s"
    if v >= 1e-3:
        return f"{v * 1e3:.2f} ms"
    return f"{v * 1e6:.1f} us"


def run_sizes(doc, script, default_sizes, run_size, print_table):
    """The command line of a benchmark script: `--sizes` runs each size in a
    child process of `script` (`--child N`, which prints run_size(N) as JSON)
    and prints the table of their results."""
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default=",".join(map(str, default_sizes)),
                    help="comma-separated object counts (default: %(default)s)")
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(run_size(args.child)))
        return
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()]
    results = []
    t0 = time.perf_counter()
    for n in sizes:
        cmd = [sys.executable, os.path.abspath(script), "--child", str(n)]
        out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, text=True).stdout
        results.append(json.loads(out.strip().splitlines()[-1]))
    print_table(results)
    print(f"total {time.perf_counter() - t0:.0f} s")


# ---------------------------------------------------------------------------
# memory

_PAGE = os.sysconf("SC_PAGE_SIZE")
try:
    _libc = ctypes.CDLL(None)
    _malloc_trim = _libc.malloc_trim
except (OSError, AttributeError):
    _libc = _malloc_trim = None


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def rss_bytes():
    """Resident set size, settled: garbage collected and free heap returned."""
    gc.collect()
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def malloc_bytes():
    """Bytes in use on the malloc heap, after a collection (None without
    glibc's mallinfo2)."""
    gc.collect()
    fn = getattr(_libc, "mallinfo2", None)
    if fn is None:
        return None
    fn.restype = _Mallinfo2
    info = fn()
    return info.uordblks + info.hblkhd


def print_rows(head, lines, group, left):
    """A table of text cells: columns as wide as their widest cell, the ones
    in `left` flush left and the rest flush right, and a rule between runs of
    lines that differ in column `group`."""
    widths = [max(len(h), *(len(l[i]) for l in lines)) for i, h in enumerate(head)]
    sep = "-+-".join("-" * w for w in widths)
    print(" | ".join(h.ljust(w) for h, w in zip(head, widths)))
    print(sep)
    last = None
    for l in lines:
        if last is not None and l[group] != last:
            print(sep)
        last = l[group]
        print(" | ".join(c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(l, widths))))
