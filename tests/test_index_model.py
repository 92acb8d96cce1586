"""Differential test: two indexes driven by random adds, removals, writes and
narrowing, compared after every step with a brute-force filter over the objects."""

import random

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from Lorvane import Index, Indexable, PyQueryExpr as Q
from index_helpers import brute, hash_of, same_objects

NAMES = ["a", "b", "c", "_p"]

# Small pools so that values collide often, including across kinds
# (1, 1.0 and True; -1 and -2; 0, False, None-free unhashables).
VALUES = st.one_of(
    st.integers(-3, 5),
    st.sampled_from([1.0, 0.0, 2.5, -1.0, float("inf"), 2**62, -(2**63), 2**61 - 1]),
    st.booleans(),
    st.none(),
    st.sampled_from(["x", "y", "", "long string beyond the inline size"]),
    st.sampled_from([(1,), (1, 2), frozenset()]),
    st.builds(list, st.just(())),
)


def _number(v):
    """The value on the ranged tree's scale: exact ints and floats, NaN aside."""
    return v if type(v) is int or (type(v) is float and v == v) else None


# Random query trees as (expression, test): the test reads the stored objects
# directly and gives the positions the expression must select, given the
# positions of the whole index (the universe of Ne and Not) and, for a
# narrowed index, `seen(name)`: the positions its lookups by value on a plain
# name may return (eq, in_ and so ne; ranges and dotted paths see every object).
def _reach(o, path):
    """(True, value) when the dotted path reaches a value through indexed
    names and nested Indexable objects, else (False, None)."""
    *heads, last = path.split(".")
    for name in heads:
        o = getattr(o, name, None) if not name.startswith("_") else None
        if not isinstance(o, Indexable):
            return False, None
    if last.startswith("_") or not hasattr(o, last):
        return False, None
    return True, getattr(o, last)


def _leaf(kind, name, v, w=None):
    if kind in ("eq", "ne", "in_"):
        hashes = {hash_of(x) for x in v} if kind == "in_" else {hash_of(v)}
        hit = lambda o: (lambda has, x: has and hash_of(x) in hashes)(*_reach(o, name))  # noqa: E731
        found = lambda objs, u, seen: {  # noqa: E731
            p for p in (u if seen is None or "." in name else u & seen(name)) if hit(objs[p])}
        if kind == "ne":
            return Q.ne(name, v), lambda objs, u, seen=None: u - found(objs, u, seen)
        return getattr(Q, kind)(name, v), lambda objs, u, seen=None: found(objs, u, seen)
    ops = {"gt": lambda x: x > v, "ge": lambda x: x >= v, "lt": lambda x: x < v, "le": lambda x: x <= v,
           "bt": lambda x: v <= x <= w}
    ok = _number(v) is not None  # other operands order nothing (bt bounds are always numbers here)

    def test(objs, u, seen=None):
        out = set()
        for p in u:
            has, x = _reach(objs[p], name)
            x = _number(x) if has else None
            if ok and x is not None and ops[kind](x):
                out.add(p)
        return out

    expr = Q.bt(name, v, w) if kind == "bt" else getattr(Q, kind)(name, v)
    return expr, test


def _combine(kind, parts):
    exprs = [e for e, _ in parts]
    tests = [t for _, t in parts]
    if kind == "not":
        return Q.not_(exprs[0]), lambda objs, u, seen=None: u - tests[0](objs, u, seen)
    if kind == "and":
        return Q.and_(*exprs), lambda objs, u, seen=None: (
            set.intersection(*[t(objs, u, seen) for t in tests]) if tests else set())
    return Q.or_(*exprs), lambda objs, u, seen=None: set().union(*[t(objs, u, seen) for t in tests])


# Operands: collisions across kinds, unorderable and unhashable values.
_OPERANDS = [-1, 0, 1, 2, 3, 5, 0.5, 1.0, 2.5, -1.0, float("inf"), 2**62, True, None, "x", "", (1,), []]


QUERY_NAMES = ["a", "b", "c", "a", "b", "_p", "zz", "n.a", "n.b", "n._p"]


def random_query(rng, held, depth=3, names=QUERY_NAMES):
    """A random tree: many per drawn seed, cheaper than drawing each node.
    `held` lists values the objects hold, so that bounds often meet them."""
    if depth == 0 or rng.random() < 0.35:
        kind = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "in_", "bt"])
        # One level into nested objects is never cut short by the cycle rule
        # (objects of the index itself have nothing above them).
        name = rng.choice(names)
        if kind == "in_":
            return _leaf(kind, name, rng.sample(_OPERANDS, rng.randrange(4)))
        if kind == "bt":
            bounds = [-1, 0, 1, 2, 3, 0.5, 2.5, float("inf")] + [v for v in held if _number(v) is not None] * 3
            lo, hi = rng.choice(bounds), rng.choice(bounds)
            return _leaf(kind, name, *(sorted([lo, hi]) if rng.random() < 0.8 else (lo, hi)))
        return _leaf(kind, name, rng.choice(_OPERANDS + held * 2))
    if rng.random() < 0.25:
        return _combine("not", [random_query(rng, held, depth - 1, names)])
    return _combine(rng.choice(["and", "or"]), [random_query(rng, held, depth - 1, names) for _ in range(rng.randrange(5))])


class IndexModel(RuleBasedStateMachine):
    """Per index, the model keeps the stored objects and, after a reduce, the
    objects a query may still find: a narrowed index only finds kept objects,
    plus every object assigned (or re-added) since."""

    @initialize(start=st.lists(st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=4), max_size=10),
                data=st.data())
    def setup(self, start, data):
        self.objs = []
        self.indexes = [Index(), Index()]
        self.stored = [set(), set()]  # positions in self.objs
        # None: unnarrowed. Otherwise, per name, positions findable by that name.
        self.findable = [None, None]
        self.everything = Index()  # every object made, for query expressions
        # (view, positions it selected when made, index it came from: 0, 1, or
        # None for self.everything); views of a view keep the index.
        self.views = []
        self.rebased = []  # (index made by rebase, positions of its objects)
        # A few objects to begin with, some in each index and some linked, so
        # that views, groups and rebased indexes seldom start empty.
        for attrs in start:
            self.create(attrs)
        for which in (0, 1):
            if self.objs:
                self.add(data, which, which == 0)
        for _ in range(len(self.objs) // 3):
            self.link(data)

    @rule(attrs=st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=4))
    def create(self, attrs):
        self.objs.append(Indexable(**attrs))
        self.everything.add_object(self.objs[-1])

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), which=st.sampled_from([0, 1]), batch=st.booleans())
    def add(self, data, which, batch):
        picks = data.draw(st.lists(st.integers(0, len(self.objs) - 1), max_size=6))
        if batch:
            self.indexes[which].add_object_many([self.objs[p] for p in picks])
        else:
            for p in picks:
                self.indexes[which].add_object(self.objs[p])
        self.stored[which].update(picks)
        if self.findable[which] is not None:
            for name, positions in self.findable[which].items():
                positions.update(p for p in picks if hasattr(self.objs[p], name))

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), which=st.sampled_from([0, 1]), batch=st.booleans())
    def remove(self, data, which, batch):
        # Objects the index does not hold are skipped; a removed object leaves
        # its narrowing behind (re-added, it is found like a new one) and
        # drops out of every view of the index, until it is added again.
        picks = data.draw(st.lists(st.integers(0, len(self.objs) - 1), max_size=6))
        if batch:
            self.indexes[which].remove_object_many([self.objs[p] for p in picks])
        else:
            for p in picks:
                self.indexes[which].remove_object(self.objs[p])
        self.stored[which].difference_update(picks)
        if self.findable[which] is not None:
            for positions in self.findable[which].values():
                positions.difference_update(picks)

    def listed(self, which, positions):
        """The positions a view of index `which` still lists: the stored ones."""
        return [p for p in positions if which is None or p in self.stored[which]]

    @precondition(lambda self: self.objs)
    @rule(data=st.data(), name=st.sampled_from(NAMES), value=VALUES)
    def assign(self, data, name, value):
        p = data.draw(st.integers(0, len(self.objs) - 1))
        setattr(self.objs[p], name, value)
        for which in (0, 1):
            if self.findable[which] is not None and p in self.stored[which]:
                self.findable[which].setdefault(name, set()).add(p)

    @rule(which=st.sampled_from([0, 1]), name=st.sampled_from(NAMES), values=st.lists(VALUES, max_size=3))
    def reduce(self, which, name, values):
        self.indexes[which].reduce(**{name: values})
        kept = {self.pos(o) for o in brute(self.visible(which, name), **{name: values})}
        self.findable[which] = {n: {p for p in kept if hasattr(self.objs[p], n)} for n in NAMES}

    def pos(self, obj):
        return next(i for i, o in enumerate(self.objs) if o is obj)

    def visible(self, which, name):
        """Objects of index `which` that a query on `name` may find, in id order."""
        positions = self.stored[which]
        if self.findable[which] is not None:
            positions = positions & self.findable[which].get(name, set())
        return [self.objs[p] for p in sorted(positions)]

    @rule(which=st.sampled_from([0, 1]), name=st.sampled_from(NAMES), values=st.lists(VALUES, max_size=3))
    def query(self, which, name, values):
        expected = brute(self.visible(which, name), **{name: values})
        same_objects(self.indexes[which].get_by_attribute(**{name: values}), expected)

    @rule(which=st.sampled_from([0, 1]), a=st.lists(VALUES, min_size=1, max_size=3),
          b=st.lists(VALUES, min_size=1, max_size=3))
    def query_two(self, which, a, b):
        # Several values per keyword: whichever way the second keyword narrows
        # the first (a union, a set lookup per id, the id column), the answer
        # is the same.
        both = [o for o in self.visible(which, "a") if o in self.visible(which, "b")]
        same_objects(self.indexes[which].get_by_attribute(a=a, b=b), brute(both, a=a, b=b))

    @precondition(lambda self: self.objs)
    @rule(data=st.data())
    def link(self, data):
        # Nested objects: links between the objects, cycles included.
        pick = st.integers(0, len(self.objs) - 1)
        self.objs[data.draw(pick)].n = self.objs[data.draw(pick)]

    @precondition(lambda self: self.objs)
    @rule(seed=st.integers(0, 2**32 - 1))
    def query_expression(self, seed):
        # On the index of every object made so far, and on the two indexes,
        # narrowed or not: a narrowed index narrows its lookups by value on
        # plain names only, never ranges or dotted paths.
        rng = random.Random(seed)
        held = [getattr(o, n) for o in self.objs for n in ("a", "b", "c") if hasattr(o, n)]
        for _ in range(24):
            which = rng.choice([None, None, 0, 1])
            expr, test = random_query(rng, held, rng.randrange(4))
            index = self.everything if which is None else self.indexes[which]
            universe = set(range(len(self.objs))) if which is None else set(self.stored[which])
            view = index.reduced_query(expr)
            expected = sorted(test(self.objs, universe, lambda n, w=which: self.reachable(w, n)))
            same_objects(view.collect(), [self.objs[p] for p in expected])
            self.keep_view(view, expected, which)

    @invariant()
    def views_keep_their_objects(self):
        # Writes since a view was made change the objects, never its ids.
        for view, expected, which in self.views:
            same_objects(view.collect(), [self.objs[p] for p in self.listed(which, expected)])

    @invariant()
    def collect_lists_stored_objects(self):
        for which in (0, 1):
            same_objects(self.indexes[which].collect(), [self.objs[p] for p in sorted(self.stored[which])])

    @invariant()
    def every_current_value_finds_its_holders(self):
        for which in (0, 1):
            for name in ("a", "b", "c"):
                visible = self.visible(which, name)
                # Values of every object, so that an object found but not
                # stored (say, taken in by a union) is caught too.
                held = self.objs
                values = {repr(getattr(o, name)): getattr(o, name) for o in held if hasattr(o, name)}
                for v in values.values():
                    same_objects(self.indexes[which].get_by_attribute(**{name: [v]}), brute(visible, **{name: [v]}))

    def reachable(self, which, name):
        """Positions a keyword on `name` may find in index `which`."""
        if which is None:
            return set(range(len(self.objs)))
        if self.findable[which] is None:
            return set(self.stored[which])
        return self.stored[which] & self.findable[which].get(name, set())

    def keep_view(self, view, expected, which):
        # Empty views narrow and rebase to nothing: only the others are kept.
        if expected and len(self.views) < 24:
            self.views.append((view, expected, which))

    def held(self, names=("a", "b", "c")):
        return [getattr(o, n) for o in self.objs for n in names if hasattr(o, n)]

    def draw_values(self, data, name):
        """Keyword values, mostly ones the objects hold, so that views are seldom empty."""
        held = st.sampled_from(self.held([name])) if self.held([name]) else VALUES
        return data.draw(st.lists(st.one_of(held, held, VALUES), max_size=3))

    @rule(data=st.data(), which=st.sampled_from([0, 1]), name=st.sampled_from(NAMES))
    def view_of_index(self, data, which, name):
        values = self.draw_values(data, name)
        expected = [self.pos(o) for o in brute(self.visible(which, name), **{name: values})]
        view = self.indexes[which].reduced(**{name: values})
        same_objects(view.collect(), [self.objs[p] for p in expected])
        self.keep_view(view, expected, which)

    @precondition(lambda self: self.views)
    @rule(data=st.data(), name=st.sampled_from(NAMES), seed=st.integers(0, 2**32 - 1))
    def view_of_view(self, data, name, seed):
        # Narrowing reads the shared maps (and the narrowing of their index)
        # and then cuts to the view's own ids.
        view, own, which = self.views[data.draw(st.integers(0, len(self.views) - 1))]
        own = self.listed(which, own)
        if seed % 2:
            expr, test = random_query(random.Random(seed), self.held(), 3)
            narrow = view.reduced_query(expr)
            expected = sorted(test(self.objs, set(own), lambda n: self.reachable(which, n)))
        else:
            candidates = [self.objs[p] for p in sorted(set(own) & self.reachable(which, name))]
            values = self.draw_values(data, name)
            narrow = view.reduced(**{name: values})
            expected = [self.pos(o) for o in brute(candidates, **{name: values})]
        same_objects(narrow.collect(), [self.objs[p] for p in expected])
        self.keep_view(narrow, expected, which)

    @rule(which=st.sampled_from([0, 1, None]), name=st.sampled_from(["a", "b", "c", "_p", "zz", "n.a", "n.b", "n._p"]))
    def group_by(self, which, name):
        index = self.everything if which is None else self.indexes[which]
        # reduce narrows the value sets only: dotted paths see every object.
        universe = set(self.stored[which]) if which is not None and "." in name else self.reachable(which, name)
        groups = {}  # hash -> positions, by brute force
        for p in sorted(universe):
            has, v = _reach(self.objs[p], name)
            if has:
                groups.setdefault(hash_of(v), []).append(p)
        try:
            got = index.group_by(name)
        except TypeError:
            # A group's key is the value its first member holds now: only a
            # member holding a list (hash 0) makes a key a dict refuses.
            assert any(isinstance(_reach(self.objs[p], name)[1], list) for p in groups.get(0, ()))
            return
        for k, v in got.items():
            held = [_reach(o, name)[1] for o in v.collect()]
            assert any(m is k or (type(m) is type(k) and (m == k or m != m)) for m in held), (k, held)
        by_hash = {hash_of(k): v for k, v in got.items()}
        assert {h: [id(o) for o in v.collect()] for h, v in by_hash.items()} == \
            {h: [id(self.objs[p]) for p in ps] for h, ps in groups.items()}
        for h in sorted(by_hash)[:4]:  # the dict's order is the index's own, not one to replay
            self.keep_view(by_hash[h], groups[h], which)

    @precondition(lambda self: self.views)
    @rule(data=st.data())
    def rebase(self, data):
        view, own, which = self.views[data.draw(st.integers(0, len(self.views) - 1))]
        own = self.listed(which, own)
        index, objs = view.rebase(), [self.objs[p] for p in own]
        same_objects(index.collect(), objs)
        # Underscore names are indexed as they were at the rebase.
        for v in {repr(o._p): o._p for o in objs if hasattr(o, "_p")}.values():
            same_objects(index.get_by_attribute(_p=[v]), [o for o in objs if hasattr(o, "_p") and hash_of(o._p) == hash_of(v)])
        if len(self.rebased) < 6:
            self.rebased.append((index, own))

    @precondition(lambda self: self.rebased)
    @rule(seed=st.integers(0, 2**32 - 1))
    def query_rebased(self, seed):
        # A rebased index answers like a fresh index of the view's objects,
        # after any later writes of ordinary names.
        rng, held = random.Random(seed), self.held()
        for index, own in self.rebased:
            objs = [self.objs[p] for p in own]
            for name in ("a", "b", "c"):
                for v in {repr(getattr(o, name)): getattr(o, name) for o in self.objs if hasattr(o, name)}.values():
                    same_objects(index.get_by_attribute(**{name: [v]}), brute(objs, **{name: [v]}))
            for _ in range(6):
                expr, test = random_query(rng, held, rng.randrange(4), ["a", "b", "c", "zz", "n.a", "n.b"])
                same_objects(index.reduced_query(expr).collect(), [self.objs[p] for p in sorted(test(self.objs, set(own)))])

    @rule(a=st.sampled_from([0, 1]), b=st.sampled_from([0, 1]))
    def union(self, a, b):
        if a == b:
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                self.indexes[a].union_with(self.indexes[b])
            return
        self.indexes[a].union_with(self.indexes[b])
        # What b's lookups find under the value a lists it under is found by
        # a's again (a's own sets are complete: a union adds no object).
        if self.findable[a] is not None:
            for name in NAMES:
                self.findable[a].setdefault(name, set()).update(self.reachable(b, name) & self.stored[a])


IndexModel.TestCase.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
TestIndexModel = IndexModel.TestCase


def test_narrowed_out_writes_unions_and_a_gone_index_leave_nothing_stale():
    # A kept object leaves a value, then a narrowed-out holder of it moves:
    # the ranged tree and the child core follow both.
    keep, drop = Indexable(kind="a", w=0.0, addr=Indexable(city="x")), Indexable(kind="b", w=0.0)
    drop.addr = keep.addr
    ix = Index()
    ix.add_object_many([keep, drop])
    ix.reduce(kind="a")
    keep.w, drop.w = 2.0, 6.0
    keep.addr, drop.addr = Indexable(city="y"), Indexable(city="z")
    assert ix.reduced_query(Q.lt("w", 1)).collect() == []
    assert {k: v.collect() for k, v in ix.group_by("addr.city").items()} == {"y": [keep], "z": [drop]}
    # A union mends the narrowing even after a write dropped the value's entry.
    x, y, z = Indexable(genre="novel"), Indexable(genre="sf"), Indexable(genre="novel")
    a, b = Index(), Index()
    a.add_object_many([x, y, z])
    b.add_object_many([x, y, z])
    a.reduce(genre="sf")
    z.genre = "poetry"
    a.union_with(b)
    assert a.get_by_attribute(genre="novel") == [x]
    # Writes into the nested objects of a view whose index is gone never fail.
    holder, nested = Indexable(), Indexable()
    holder.a = nested
    gone = Index()
    gone.add_object(holder)
    view = gone.reduced()  # noqa: F841 - keeps the child core alive
    del gone
    nested.b = Indexable(v=1)
    nested.c = 1
    live = Index()
    live.add_object(holder)
    assert live.reduced_query(Q.eq("a.b.v", 1)).collect() == [holder]
