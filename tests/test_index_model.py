"""Differential test: two indexes driven by random adds, writes and narrowing,
compared after every step with a brute-force filter over the objects."""

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from Lorvane import Index, Indexable
from index_helpers import brute, same_objects

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


class IndexModel(RuleBasedStateMachine):
    """Per index, the model keeps the stored objects and, after a reduce, the
    objects a query may still find: a narrowed index only finds kept objects,
    plus every object assigned (or re-added) since."""

    @initialize()
    def setup(self):
        self.objs = []
        self.indexes = [Index(), Index()]
        self.stored = [set(), set()]  # positions in self.objs
        # None: unnarrowed. Otherwise, per name, positions findable by that name.
        self.findable = [None, None]

    @rule(attrs=st.dictionaries(st.sampled_from(NAMES), VALUES, max_size=4))
    def create(self, attrs):
        self.objs.append(Indexable(**attrs))

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

    @invariant()
    def collect_lists_stored_objects(self):
        for which in (0, 1):
            same_objects(self.indexes[which].collect(), [self.objs[p] for p in sorted(self.stored[which])])

    @invariant()
    def every_current_value_finds_its_holders(self):
        for which in (0, 1):
            for name in ("a", "b", "c"):
                visible = self.visible(which, name)
                # Values of every stored object, so that an object found but not
                # expected is caught too.
                held = [self.objs[p] for p in self.stored[which]]
                values = {repr(getattr(o, name)): getattr(o, name) for o in held if hasattr(o, name)}
                for v in values.values():
                    same_objects(self.indexes[which].get_by_attribute(**{name: [v]}), brute(visible, **{name: [v]}))


IndexModel.TestCase.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
TestIndexModel = IndexModel.TestCase
