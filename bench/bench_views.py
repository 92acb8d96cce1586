"""Views benchmark: `Index.group_by`, refining a view, and `rebase`, on the
same generated objects (fixed seed), measured side by side in one process.

Every object holds six attributes:
  g100   int, 100 values      (~1% each)    group_by with 100 groups
  g10k   int, 10,000 values   (~100 each)   group_by with 10,000 groups
  c10    int, 10 values       (~10% each)   the view that is refined / rebased
  d20    int, 20 values       (~5% each)    the second condition (equality)
  score  float in [0, 1)                    the second condition (range)
  name   str, 1,000 values                  a str column the rebased index carries

Measurements, each returning the same objects:
  - group_by: `idx.group_by(attr)` then `[key].collect()` of one group, against
      a dict of lists built in Python over the objects (one pass, setdefault),
      pandas `df.groupby(attr).indices` (the frame is ready; the group's
      positions are turned into the objects through the list), and polars
      `df.group_by(attr).agg(row)` (the frame holds a ready row column; the
      group's row list is turned into the objects the same way);
  - refining: a 10% view (`c10 == k`) refined with a second condition,
      `view.reduced_query(Q.eq(...))` / `view.reduced(...)` / a range through
      `view.reduced_query(Q.lt(...))`, collected, against the whole query run
      again on the Index (`and_` of both conditions, or both keywords); and a
      10% view made by a range (`score < 0.1`) refined with an equality. The
      view saves re-evaluating its own condition: an equality is one set
      looked up, a range is a walk over the values in it, so the saving is
      small for the first rows and large for the last;
  - rebase: `view.rebase()` of the 10% view, against a new Index filled with
      `add_object_many` from the same objects (the list is ready).

pandas and polars are benchmark-only dependencies (`make bench` installs
them); when one is missing its rows are skipped and the table says so.

The size runs in its own child process; every ratio is between figures taken
in that one process. Each figure is the minimum over repeats. Before a figure
is taken, every method's answer is checked to be the same set of objects, and
ours to be in id (creation) order without duplicates.

Usage: bench_views.py [--sizes 1000000]
"""

import random
import time

from timing import best_time, fmt_time, goal, log, timed_once, print_rows, run_sizes

SEED = 20240917
DEFAULT_SIZES = (1_000_000,)
N_G1, N_G2, N_C, N_D, N_NAME = 100, 10_000, 10, 20, 1_000

# ---------------------------------------------------------------------------
# measurement helpers


def _import_optional(name):
    try:
        return __import__(name), None
    except Exception as e:  # ImportError, or a broken install
        return None, f"{name} is not installed ({type(e).__name__}): its rows are skipped (make bench installs it)"


# ---------------------------------------------------------------------------
# one size, in a child process


def run_size(n):
    from Lorvane import Index, Indexable, PyQueryExpr as Q

    rows_out = []
    skipped = []

    def row(what, ours, alt_name, alt, matches=None, goal=None, goal_ok=None, note=None):
        rows_out.append(dict(what=what, ours=ours, alt_name=alt_name, alt=alt, matches=matches,
                             goal=goal, goal_ok=goal_ok, note=note))

    # ---- data ---------------------------------------------------------------
    rng = random.Random(SEED)
    names = [f"n{i}" for i in range(N_NAME)]
    log(f"n={n:,}: creating objects")
    t_make = time.perf_counter()
    cols = dict(g100=[], g10k=[], c10=[], d20=[], score=[], name=[])
    objs = []
    for _ in range(n):
        vals = dict(g100=rng.randrange(N_G1), g10k=rng.randrange(N_G2), c10=rng.randrange(N_C),
                    d20=rng.randrange(N_D), score=rng.random(), name=names[rng.randrange(N_NAME)])
        for k, v in vals.items():
            cols[k].append(v)
        objs.append(Indexable(**vals))
    t_make = time.perf_counter() - t_make
    pos = {id(o): i for i, o in enumerate(objs)}

    log("building the index")
    t_build, idx = timed_once(lambda: _build(Index, objs))

    def check_ours(label, got, expect_ids):
        ks = [pos[id(o)] for o in got]
        assert ks == sorted(ks), f"{label}: results not in ascending id order"
        assert len(set(ks)) == len(ks), f"{label}: duplicates in the result"
        assert {id(o) for o in got} == expect_ids, f"{label}: differs from the plain Python answer"

    # ---- ready frames (untimed) ---------------------------------------------
    pd, why = _import_optional("pandas")
    if why:
        skipped.append(why)
    pl, why = _import_optional("polars")
    if why:
        skipped.append(why)
    pdf = plf = None
    if pd is not None:
        log("building the pandas frame")
        pdf = pd.DataFrame({"g100": cols["g100"], "g10k": cols["g10k"]})
    if pl is not None:
        log("building the polars frame")
        plf = pl.DataFrame({"row": list(range(n)), "g100": cols["g100"], "g10k": cols["g10k"]})

    # ---- group_by -------------------------------------------------------------
    for attr, ngroups in (("g100", N_G1), ("g10k", N_G2)):
        key = cols[attr][n // 2]
        label = f"group_by('{attr}') ({ngroups:,} groups), then one group"
        log(label)

        def ours(attr=attr, key=key):
            return idx.group_by(attr)[key].collect()

        def ours_dict(attr=attr):
            return idx.group_by(attr)

        def py_dict(attr=attr, key=key):
            d = {}
            for o in objs:
                d.setdefault(getattr(o, attr), []).append(o)
            return d[key]

        # Whole-grouping check, once: every method's groups hold the same
        # objects as the plain Python grouping.
        expect_all = {}
        for i, v in enumerate(cols[attr]):
            expect_all.setdefault(v, []).append(i)
        groups = ours_dict()
        assert set(groups) == set(expect_all), f"{label}: keys differ"
        for k, view in groups.items():
            assert [pos[id(o)] for o in view.collect()] == expect_all[k], f"{label}: group {k!r} differs"
        del groups
        expect = {id(objs[i]) for i in expect_all[key]}
        got = ours()
        check_ours(label, got, expect)
        assert {id(o) for o in py_dict()} == expect
        matches = len(got)

        t_ours = best_time(ours)
        t_dict = best_time(ours_dict)
        note = f"dict of views alone {fmt_time(t_dict)}"
        t_py = best_time(py_dict, target=0.05, repeats=3)
        alts = [("dict of lists built in Python", t_py)]

        if pdf is not None:
            def pandas_g(attr=attr, key=key):
                ix = pdf.groupby(attr).indices
                return list(map(objs.__getitem__, ix[key].tolist()))

            pix = pdf.groupby(attr).indices
            assert set(pix) == set(expect_all)
            assert all(pix[k].tolist() == v for k, v in expect_all.items()), f"{label}: pandas differs"
            del pix
            assert {id(o) for o in pandas_g()} == expect
            alts.append(("pandas groupby(attr).indices (ready frame)", best_time(pandas_g)))
        if plf is not None:
            def polars_g(attr=attr, key=key):
                out = plf.group_by(attr).agg(pl.col("row"))
                rows = out.filter(pl.col(attr) == key).get_column("row")[0].to_list()
                return list(map(objs.__getitem__, rows))

            out = plf.group_by(attr).agg(pl.col("row"))
            got_pl = dict(zip(out.get_column(attr).to_list(), out.get_column("row").to_list()))
            assert set(got_pl) == set(expect_all)
            assert all(sorted(got_pl[k]) == v for k, v in expect_all.items()), f"{label}: polars differs"
            del out, got_pl
            assert {id(o) for o in polars_g()} == expect
            alts.append(("polars group_by(attr).agg(row) (ready frame)", best_time(polars_g)))

        fastest = min(t for _, t in alts)
        for alt_name, t in alts:
            g = goal(n, ">= 20x the fastest of the three", fastest / t_ours >= 20) if ngroups == N_G1 else {}
            row(label, t_ours, alt_name, t, matches, note=note if alt_name.startswith("dict") else None, **g)
        if ngroups == N_G1 and len(alts) < 3:
            skipped.append("group_by goal judged against the alternatives that ran only")

    # ---- refining a view --------------------------------------------------------
    c0, d0, s0 = 3, 7, 0.05
    base_expr = Q.eq("c10", c0)
    view = idx.reduced_query(base_expr)
    view_kw = idx.reduced(c10=c0)
    base_ids = [i for i, v in enumerate(cols["c10"]) if v == c0]
    check_ours("10% view", view.collect(), {id(objs[i]) for i in base_ids})
    check_ours("10% view (keywords)", view_kw.collect(), {id(objs[i]) for i in base_ids})

    refine_cases = [
        dict(label=f"view c10=={c0} (10%) refined: eq(d20, {d0}) (5%)",
             test=lambda i: cols["d20"][i] == d0,
             ours=lambda: view.reduced_query(Q.eq("d20", d0)).collect(),
             ours_alone=lambda: view.reduced_query(Q.eq("d20", d0)),
             alt_name="idx.reduced_query(and_(eq(c10), eq(d20))).collect()",
             alt=lambda: idx.reduced_query(Q.and_(Q.eq("c10", c0), Q.eq("d20", d0))).collect(),
             alt_alone=lambda: idx.reduced_query(Q.and_(Q.eq("c10", c0), Q.eq("d20", d0)))),
        dict(label=f"view c10=={c0} (10%) refined: reduced(d20={d0}) (5%)",
             test=lambda i: cols["d20"][i] == d0,
             ours=lambda: view_kw.reduced(d20=d0).collect(),
             ours_alone=lambda: view_kw.reduced(d20=d0),
             alt_name="idx.reduced(c10=, d20=).collect()",
             alt=lambda: idx.reduced(c10=c0, d20=d0).collect(),
             alt_alone=lambda: idx.reduced(c10=c0, d20=d0)),
        dict(label=f"view c10=={c0} (10%) refined: lt(score, {s0}) (5%)",
             test=lambda i: cols["score"][i] < s0,
             ours=lambda: view.reduced_query(Q.lt("score", s0)).collect(),
             ours_alone=lambda: view.reduced_query(Q.lt("score", s0)),
             alt_name="idx.reduced_query(and_(eq(c10), lt(score))).collect()",
             alt=lambda: idx.reduced_query(Q.and_(Q.eq("c10", c0), Q.lt("score", s0))).collect(),
             alt_alone=lambda: idx.reduced_query(Q.and_(Q.eq("c10", c0), Q.lt("score", s0)))),
        dict(label=f"view score<0.1 (10%) refined: eq(d20, {d0}) (5%)",
             base=[i for i, v in enumerate(cols["score"]) if v < 0.1],
             test=lambda i: cols["d20"][i] == d0,
             ours=lambda: view_range.reduced_query(Q.eq("d20", d0)).collect(),
             ours_alone=lambda: view_range.reduced_query(Q.eq("d20", d0)),
             alt_name="idx.reduced_query(and_(lt(score), eq(d20))).collect()",
             alt=lambda: idx.reduced_query(Q.and_(Q.lt("score", 0.1), Q.eq("d20", d0))).collect(),
             alt_alone=lambda: idx.reduced_query(Q.and_(Q.lt("score", 0.1), Q.eq("d20", d0)))),
    ]
    view_range = idx.reduced_query(Q.lt("score", 0.1))
    for case in refine_cases:
        label = case["label"]
        log(label)
        expect = {id(objs[i]) for i in case.get("base", base_ids) if case["test"](i)}
        got = case["ours"]()
        check_ours(label, got, expect)
        check_ours(label + " (whole query)", case["alt"](), expect)
        t_ours = best_time(case["ours"])
        t_alt = best_time(case["alt"])
        t_oa = best_time(case["ours_alone"])
        t_aa = best_time(case["alt_alone"])
        note = f"views alone: {fmt_time(t_oa)} vs {fmt_time(t_aa)} ({t_aa / t_oa:.2f}x)"
        row(label, t_ours, case["alt_name"], t_alt, len(got), note=note,
            **goal(n, ">= 2x", t_alt / t_ours >= 2))

    # ---- rebase -----------------------------------------------------------------
    label = f"view c10=={c0} (10%): rebase()"
    log(label)
    view_objs = view.collect()
    expect = {id(o) for o in view_objs}

    def ours_rebase():
        return view.rebase()

    def alt_build():
        return _build(Index, view_objs)

    for name, fn in (("rebase", ours_rebase), ("add_object_many", alt_build)):
        ix = fn()
        check_ours(f"{label} ({name}) collect", ix.collect(), expect)
        probe = {id(objs[i]) for i in base_ids if cols["d20"][i] == d0}
        check_ours(f"{label} ({name}) query", ix.reduced_query(Q.eq("d20", d0)).collect(), probe)
        del ix
    t_ours = best_time(ours_rebase, repeats=3, budget=3.0)
    t_alt = best_time(alt_build, repeats=3, budget=3.0)
    row(label, t_ours, "Index() + add_object_many(the view's objects)", t_alt, len(view_objs))

    extra = dict(make_objects=t_make, build=t_build, skipped=skipped,
                 versions={m.__name__: m.__version__ for m in (pd, pl) if m is not None})
    return dict(n=n, rows=rows_out, extra=extra)


def _build(Index, objs):
    ix = Index()
    ix.add_object_many(objs)
    return ix


# ---------------------------------------------------------------------------
# table


def print_table(results):
    head = ("N", "measurement (Lorvane)", "matches", "Lorvane", "alternative", "alt", "alt/ours", "goal", "note")
    lines = []
    for res in results:
        for r in res["rows"]:
            ratio = r["alt"] / r["ours"] if r["ours"] > 0 else float("inf")
            goal = ""
            if r["goal"]:
                verdict = "" if r["goal_ok"] is None else (" MET" if r["goal_ok"] else " MISSED")
                goal = r["goal"] + verdict
            lines.append((f"{res['n']:,}", r["what"], "" if r["matches"] is None else f"{r['matches']:,}",
                          fmt_time(r["ours"]), r["alt_name"], fmt_time(r["alt"]), f"{ratio:.2f}x", goal, r["note"] or ""))
    print()
    print("Views benchmark (seed %d; alt/ours > 1 means Lorvane is faster)" % SEED)
    print_rows(head, lines, 1, (1, 4, 7, 8))
    print()
    for res in results:
        e = res["extra"]
        vers = ", ".join(f"{k} {v}" for k, v in e["versions"].items()) or "none"
        print(f"N={res['n']:,}: making the objects {e['make_objects']:.2f} s, add_object_many {e['build']:.2f} s; "
              f"frame libraries: {vers}")
        for why in e["skipped"]:
            print(f"N={res['n']:,}: {why}")
    print("Goals: group_by with 100 groups >= 20x the fastest of dict of lists / pandas / polars; "
          "refining a view >= 2x re-running the whole query (both collected).")


if __name__ == "__main__":
    run_sizes(__doc__, __file__, DEFAULT_SIZES, run_size, print_table)
