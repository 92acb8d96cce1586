"""Attribute storage against a plain dict model: random writes of many names
and many kinds of value over objects of several classes, some past every
bound of a shared layout, checked through reads, listings, sizes and an
index's answers (which compare the hashes the storage reads back with
Python's own)."""

import math
import random
import sys

from Lorvane import Index, Indexable

from index_helpers import hash_of


class Sub(Indexable):
    pass


class Slotted(Indexable):
    __slots__ = ()


class Hashed:
    def __init__(self, h):
        self.h = h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return isinstance(other, Hashed) and other.h == self.h


def values(rng, pool):
    return rng.choice([
        lambda: rng.randrange(-5, 5),
        lambda: -1,  # hashes to -2, as -2 does
        lambda: rng.choice([2**31, -(2**40) - 3, 2**62, -(2**63), 2**61 - 1, 2**61]),
        lambda: rng.choice([0.5, -0.0, 1.0, 1e300, -2.5e-310, math.inf, -math.inf, math.nan]),
        lambda: rng.choice(["", "a", "café", "x" * 40, "日本", "\U0001f600"]),
        lambda: rng.choice([True, False, None]),
        lambda: (1, rng.randrange(3)),
        lambda: Hashed(rng.randrange(-3, 3)),
        lambda: [1],  # unhashable: hash 0
        lambda: rng.choice(pool),
    ])()


def names_of(obj):
    listing = obj.__dir__()
    return listing[: len(listing) - len(object.__dir__(obj))]


def test_storage_matches_a_dict_model():
    rng = random.Random(7)
    kinds = [Indexable, Sub, Slotted]
    objs = [rng.choice(kinds)() for _ in range(60)]
    models = [{} for _ in objs]
    common = [f"a{i}" for i in range(10)] + ["_p", "_q"]
    index = Index()
    index.add_object_many(objs[:30])  # half of them indexed: writes reach the index
    for step in range(12000):
        k = rng.randrange(len(objs))
        # A few objects collect hundreds of distinct names.
        name = f"w{k}_{rng.randrange(400)}" if k < 3 and rng.random() < 0.8 else rng.choice(common)
        value = values(rng, objs)
        setattr(objs[k], name, value)
        models[k][name] = value
        if step % 1500 == 0 or step == 11999:
            for o, model in zip(objs, models):
                assert names_of(o) == list(model)
                assert all(getattr(o, n) is v for n, v in model.items())
                assert repr(o) == f"<Indexable with {len(model)} attributes>"
                assert sys.getsizeof(o) >= 8 * len(model)
    # The index finds each indexed object under the hash Python gives its value.
    for name in common[:10]:
        holders = [(o, m[name]) for o, m in zip(objs[:30], models[:30]) if name in m]
        for probe in {hash_of(v) for _, v in holders}:
            want = {id(o) for o, v in holders if hash_of(v) == probe}
            sample = next(v for _, v in holders if hash_of(v) == probe)
            if isinstance(sample, (list, float)) and not (isinstance(sample, float) and not math.isnan(sample)):
                continue  # unhashable and NaN values are found by their own object only
            got = {id(o) for o in index.get_by_attribute(**{name: [sample]})}
            assert got == want, (name, sample)


def test_objects_with_the_same_names_cost_their_values_alone():
    a = [Indexable(x=1, y=2, z=3) for _ in range(3)]
    b = Indexable()
    b.x, b.y, b.z = 1, 2, 3
    assert len({sys.getsizeof(o) for o in a}) == 1
    assert sys.getsizeof(b) <= sys.getsizeof(a[0]) + 16  # grown one slot pair at a time
    c = Indexable()
    for i in range(200):
        setattr(c, f"n{i}", i)
    assert sys.getsizeof(c) > sys.getsizeof(a[0]) + 8 * 190
    assert [getattr(c, f"n{i}") for i in range(200)] == list(range(200))
