"""Views: narrowing chains against a brute-force reading, fixed ids, outliving the Index, rebase."""

import gc

import pytest

from Lorvane import Index, Indexable, PyQueryExpr as Q

ATTRS = [{"a": i % 5, "b": i % 3, "_p": i % 2} for i in range(30)]


def world():
    objs = [Indexable(**attrs) for attrs in ATTRS]
    index = Index()
    index.add_object_many(objs[::-1])
    return index, objs


# steps (keywords or a query; the first on the Index) -> what each object must satisfy
CHAINS = {
    "kw, view kw": ([{"a": [1, 2]}, {"b": 0}], lambda o: o.a in (1, 2) and o.b == 0),
    "kw, view kw outside the view": ([{"a": 1}, {"a": 2}], lambda o: False),
    "query, view eq outside the view": ([Q.eq("a", 1), Q.eq("b", 2)], lambda o: o.a == 1 and o.b == 2),
    "view not / ne against the view": ([{"a": 1}, Q.not_(Q.eq("b", 0)), Q.ne("b", 1)], lambda o: o.a == 1 and o.b == 2),
    "view range": ([Q.ge("a", 3), Q.lt("a", 4)], lambda o: o.a == 3),
    "view private name": ([{"a": 1}, {"_p": 1}], lambda o: False),
    "empty keywords": ([{}], lambda o: False),
    "three levels": ([Q.ge("a", 1), {"b": [0, 1]}, Q.not_(Q.eq("a", 2))], lambda o: o.a in (1, 3, 4) and o.b < 2),
}


@pytest.mark.parametrize("steps,keep", CHAINS.values(), ids=CHAINS.keys())
def test_chains_match_brute_force_and_rebase_agrees(steps, keep):
    index, objs = world()
    view = index
    for step in steps:
        view = view.reduced(**step) if isinstance(step, dict) else view.reduced_query(step)
    want = [o for o in objs if keep(o)]
    assert view.collect() == want
    rebased = view.rebase()
    assert rebased.collect() == want
    assert rebased.get_by_attribute(_p=1) == [o for o in want if o._p == 1]


def test_views_keep_their_ids_see_current_values_and_outlive_the_index():
    index, objs = world()
    view = index.reduced(a=1)
    members = view.collect()
    for o in members:
        o.a = 9
    index.add_object(Indexable(a=1, b=0))
    assert view.collect() == members  # fixed ids, new objects stay out
    assert view.reduced(a=1).collect() == [] and view.reduced(a=9).collect() == members
    del index, objs
    gc.collect()
    assert view.reduced_query(Q.eq("b", 0)).collect() == [o for o in members if o.b == 0]
    assert view.rebase().collect() == members


def test_rebase_indexes_underscore_names_and_follows_later_writes():
    index, objs = world()
    nested = Indexable(x=1)
    objs[0].child = nested
    rebased = index.reduced(a=0).rebase()
    assert rebased.get_by_attribute(_p=0) == [o for o in objs if o.a == 0 and o._p == 0]
    assert index.get_by_attribute(_p=0) == []
    assert rebased.reduced_query(Q.eq("child.x", 1)).collect() == [objs[0]]
    objs[5].b = "new"  # in both indexes
    objs[6].b = "new"  # only in the first
    assert index.get_by_attribute(b="new") == [objs[5], objs[6]]
    assert rebased.get_by_attribute(b="new") == [objs[5]]
    nested.x = 2
    assert rebased.reduced_query(Q.eq("child.x", 2)).collect() == [objs[0]]
    objs[5]._p = 7  # underscore writes do not reach the rebased index
    assert rebased.get_by_attribute(_p=7) == []
    assert objs[5] in rebased.get_by_attribute(_p=1)
    assert index.reduced(a=99).rebase().collect() == []


def test_bad_arguments():
    index, _ = world()
    view = index.reduced(a=1)
    for call, match in ((lambda: view.reduced_query(5), "argument 'query'"), (lambda: view.reduced(1), "reduced"),
                        (lambda: view.reduced_query(), "reduced_query"), (lambda: view.rebase(1), "rebase"),
                        (lambda: index.reduced(1), "reduced"), (lambda: view.reduced_query(Q.eq("a", 1), x=1), "x")):
        with pytest.raises(TypeError, match=match):
            call()
