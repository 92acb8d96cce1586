"""The sharded index (lorvane_ray) over one local Ray cluster per session:
routing across processes, and a model test of random writes and queries
against a brute-force model of all shards, with a shard's actor killed
half-way."""

import os
import pickle
import random
import subprocess
import sys
import time
import types

import pytest

from index_helpers import left_out

if left_out("ray"):
    pytest.skip(f"the sharded index's tests need Ray: {left_out('ray')}", allow_module_level=True)

import ray  # noqa: E402

from Lorvane import Indexable, PyQueryExpr as Q  # noqa: E402
from lorvane_ray import ShardedIndex, ShardLostError, routing, shard_of, wire  # noqa: E402
from lorvane_ray.shard import Shard  # noqa: E402

# The actors unpickle this module's loader and class by value: the workers
# cannot import the test module.
ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])


@pytest.fixture(scope="session")
def cluster():
    # A cluster of its own (never one found running on the machine); the
    # README's block may have started it already.
    ray.init(address="local", num_cpus=4, include_dashboard=False, log_to_driver=False, ignore_reinit_error=True)
    yield
    ray.shutdown()


class Item(Indexable):
    pass


def load_store(path, shard, num_shards):
    with open(path, "rb") as f:
        return pickle.load(f)  # every shard's items: each keeps its own


def unreachable(shard, num_shards):
    raise OSError("store unreachable")


def test_keys_route_alike_in_every_process():
    keys = [0, 1, -1, 2**63, -2**70, 1.5, "a", "é\udc80", b"a", (1, "a"), ("x", (2, 3.0))]
    here = [shard_of(k, 7) for k in keys]
    code = f"from lorvane_ray import shard_of; print([shard_of(k, 7) for k in {keys!r}])"
    for seed in ("1", "2"):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             env={**os.environ, "PYTHONHASHSEED": seed}).stdout
        assert out.strip() == repr(here)
    assert shard_of(1, 7) == shard_of(1.0, 7) == shard_of(True, 7)
    assert shard_of((1, "a"), 7) == shard_of((1.0, "a"), 7)
    for keys in (range(4000), [f"k{i}" for i in range(4000)], [(i, "x") for i in range(4000)]):
        counts = [0] * 4
        for k in keys:
            counts[shard_of(k, 4)] += 1
        assert min(counts) > 800, counts
    with pytest.raises(TypeError, match="shard key must be"):
        shard_of([1], 4)


@pytest.mark.parametrize("numpy", [True, False])
def test_key_lists_route_as_single_keys(numpy, monkeypatch):
    if not numpy:
        monkeypatch.setattr(routing, "_np", None)
    elif routing._np is None:
        pytest.skip("numpy is not installed")
    rnd = random.Random(3)
    kinds = [lambda: rnd.randrange(1 << 20), lambda: rnd.randrange(-(1 << 63), 1 << 63),
             lambda: rnd.choice([True, False, -(1 << 63), (1 << 63) - 1, 1 << 63, -(1 << 64), 0]),
             lambda: rnd.choice([1.0, 2.5, "k", (1, "a")])]
    for _ in range(300):
        mix = rnd.sample(kinds, rnd.randrange(1, 3))
        keys = [rnd.choice(mix)() for _ in range(rnd.randrange(1, 60))]
        for n in (1, 3, 4, 7, 1 << 33):
            assert routing.shards_of(keys, n) == [shard_of(k, n) for k in keys], (keys, n)


class Shelf(Indexable):
    pass


def random_batch(rnd):
    """Items of every form a batch may hold: mostly dicts with one set of
    keys (some not plain names), now and then one with other keys, another
    mapping or an object."""
    names = rnd.sample(["g", "v", "_p", "class", "a b", "\ufb01", "x"], rnd.randrange(0, 4))
    if rnd.random() < 0.5:
        names.insert(rnd.randrange(len(names) + 1), "id")
    else:
        names.append("id")
    items = [{n: rnd.randrange(1 << 40) if n == "id" and rnd.random() < 0.5 else rnd.randrange(40)
              for n in names} for _ in range(rnd.randrange(1, 30))]
    odd = rnd.random()
    if odd < 0.1:
        items[rnd.randrange(len(items))] = {"id": 5, "y": 1, **{n: 0 for n in names[1:]}}
    elif odd < 0.15:
        items.append(Shelf(id=6, g=1))
    elif odd < 0.2:
        items.append(types.MappingProxyType({"id": 7, "v": 2}))
    return items


def test_batches_reach_their_shards_whole(monkeypatch):
    """Batches encoded for 3 shards and built and stored by shards outside
    Ray, against a model: each object with its attributes in its key's
    shard, the last of a key winning, in the batch's order. A small chunk
    size makes batches span several chunks."""
    monkeypatch.setattr(wire, "CHUNK", 4)
    rnd = random.Random(11)
    shards = [Shard(i, 3, "id", Shelf, None) for i in range(3)]
    stored = [{} for _ in shards]
    key_of = lambda item: getattr(item, "id") if isinstance(item, Indexable) else item["id"]  # noqa: E731
    for _ in range(300):
        items = random_batch(rnd)
        want = [{} for _ in shards]
        for item in items:
            attrs = item.__getstate__() if isinstance(item, Indexable) else dict(item)
            want[shard_of(attrs["id"], 3)][attrs["id"]] = attrs
        parts = wire.encode(items, "id", 3, key_of)
        assert sorted(parts) == [i for i, w in enumerate(want) if w]
        for i, blob in parts.items():
            keys, objs = shards[i]._unpack(blob)
            got = dict(zip(keys, objs))
            assert list(got) == list(want[i])
            assert all(type(o) is Shelf for o in got.values())
            assert {k: o.__getstate__() for k, o in got.items()} == want[i]
            # Stored: the last object of a key wins, over the batch and the
            # shard, and the index holds exactly the stored objects.
            shards[i]._put(keys, objs)
            stored[i].update(want[i])
    for shard, model in zip(shards, stored):
        assert {k: o.__getstate__() for k, o in shard.by_key.items()} == model
        assert sorted(map(id, shard.index.collect())) == sorted(map(id, shard.by_key.values()))


ATTRS = {"g": lambda r: r.randrange(5), "v": lambda r: r.randrange(100), "s": lambda r: r.choice("abc")}


def random_attrs(rnd):
    return {name: make(rnd) for name, make in ATTRS.items() if rnd.random() < 0.85}


def random_expr(rnd, depth=2):
    """A query expression and the same test on a model's attribute dict."""
    kind = rnd.choice(["eq", "ne", "bt", "lt", "in", "and", "or", "not"] if depth else ["eq", "ne", "bt", "lt", "in"])
    name = rnd.choice(list(ATTRS))
    value = ATTRS[name](rnd)
    if kind == "eq":
        return Q.eq(name, value), lambda a: a.get(name) == value
    if kind == "ne":
        return Q.ne(name, value), lambda a: a.get(name) != value
    if kind == "bt":
        lo = rnd.randrange(100)
        return Q.bt("v", lo, lo + 30), lambda a: "v" in a and lo <= a["v"] <= lo + 30
    if kind == "lt":
        return Q.lt("v", value := rnd.randrange(100)), lambda a: "v" in a and a["v"] < value
    if kind == "in":
        values = [ATTRS[name](rnd) for _ in range(2)]
        return Q.in_(name, values), lambda a: name in a and a[name] in values
    if kind == "not":
        e, p = random_expr(rnd, depth - 1)
        return Q.not_(e), lambda a: not p(a)
    parts = [random_expr(rnd, depth - 1) for _ in range(rnd.randrange(1, 4))]
    exprs, preds = [e for e, _ in parts], [p for _, p in parts]
    if kind == "and":
        return Q.and_(*exprs), lambda a: all(p(a) for p in preds)
    return Q.or_(*exprs), lambda a: any(p(a) for p in preds)


def check_queries(sharded, model, rnd):
    def keys(pred):
        return sorted(k for k, a in model.items() if pred(a))
    name = rnd.choice(list(ATTRS))
    wanted = [ATTRS[name](rnd) for _ in range(rnd.randrange(1, 3))]
    by_kw = keys(lambda a: name in a and a[name] in wanted)
    assert sorted(sharded.get_by_attribute("keys", **{name: wanted})) == by_kw
    assert sharded.get_by_attribute("count", **{name: wanted}) == len(by_kw)
    some = [rnd.randrange(160) for _ in range(3)]   # keywords on the key go to their shards alone
    assert sorted(sharded.get_by_attribute("keys", id=some)) == sorted({k for k in some if k in model})
    assert sharded.get_by_attribute("count", id=float(some[0]), g=range(5)) == int("g" in model.get(some[0], {}))
    expr, pred = random_expr(rnd)
    assert sorted(sharded.reduced_query(expr, "keys")) == keys(pred), expr
    assert sorted(sharded.reduced_query(expr, ("id", "v"))) == sorted((k, model[k].get("v")) for k in keys(pred))
    groups = {}
    for a in model.values():
        if "g" in a:
            groups[a["g"]] = groups.get(a["g"], 0) + 1
    assert sharded.group_by("g", "count") == groups
    assert len(sharded) == len(model)


def test_random_writes_and_queries_match_a_model(cluster, tmp_path):
    rnd = random.Random(7)
    store = tmp_path / "store.pickle"
    store.write_bytes(pickle.dumps([]))
    sharded = ShardedIndex("id", 4, cls=Item, loader=lambda shard, n: load_store(store, shard, n))
    model = {}
    for step in range(240):
        op = rnd.random()
        keys = [rnd.randrange(150) for _ in range(rnd.randrange(1, 25))]
        bad = rnd.random() < 0.1    # one refused value: the whole call changes nothing
        if op < 0.35:
            # Half the batches give every item every attribute: such a
            # batch travels as columns.
            full = rnd.random() < 0.5
            items = [{"id": k, **({n: make(rnd) for n, make in ATTRS.items()} if full else random_attrs(rnd))}
                     for k in keys]
            if bad:
                items[-1]["v"] = 2**64
                with pytest.raises(BaseException, match="too large"):
                    sharded.add_object_many(items)
            else:
                sharded.add_object_many(items)
                model.update({it["id"]: {n: v for n, v in it.items() if n != "id"} for it in items})
        elif op < 0.6:
            writes = {k: random_attrs(rnd) for k in keys if k in model}
            if bad or not writes:
                writes[1000] = {"v": 1}
                with pytest.raises(KeyError):
                    sharded.update_many(writes)
            else:
                sharded.update_many(writes)
                for k, attrs in writes.items():
                    model[k].update(attrs)
        elif op < 0.75:
            assert sharded.remove_many(keys) == len({k for k in keys if k in model})
            for k in keys:
                model.pop(k, None)
        else:
            check_queries(sharded, model, rnd)
        if step in (80, 160):
            # The loader's source holds every write; Ray restarts the actor,
            # which loads it again, and the calls that met the loss are resent
            # (the first time, a batch whose commits are still on their way).
            if step == 80:
                items = [{"id": k, "v": step} for k in range(150, 160)]
                sharded.add_object_many(items)
                model.update({it["id"]: {"v": step} for it in items})
            store.write_bytes(pickle.dumps([{"id": k, **a} for k, a in model.items()]))
            ray.kill(sharded.shards[rnd.randrange(4)], no_restart=False)
    check_queries(sharded, model, rnd)
    got = sharded.collect()
    assert all(type(o) is Item for o in got)
    assert {o.id: {n: getattr(o, n) for n in ATTRS if hasattr(o, n)} for o in got} == model

    # Bad input is refused before anything is sent.
    with pytest.raises(ValueError, match="result must be one of"):
        sharded.collect("rows")
    with pytest.raises(TypeError, match="not 'str'"):
        sharded.add_object_many("abc")
    with pytest.raises(TypeError, match="takes a PyQueryExpr, not 'dict'"):
        sharded.reduced_query({"v": 1}, "count")
    with pytest.raises(KeyError, match="without the key attribute 'id'"):
        sharded.add_object_many([{"v": 1}])
    with pytest.raises(ValueError, match="key attribute 'id' cannot be written"):
        sharded.update(next(iter(model)), id=5)
    assert sorted(sharded.collect("keys")) == sorted(model)
    sharded.close()


def kill_and_wait(actor):
    """Kills the actor and waits until a call to it fails: ray.kill returns
    at once, and a call sent before the kill lands is still answered."""
    ray.kill(actor, no_restart=False)
    for _ in range(600):
        try:
            ray.get(actor.ping.remote())
        except ray.exceptions.RayActorError:
            return
        time.sleep(0.05)
    raise AssertionError("the killed actor kept answering")


def test_a_lost_shard_without_a_loader_is_named(cluster):
    sharded = ShardedIndex("id", 2)
    sharded.add_object_many([{"id": i, "v": i} for i in range(20)])
    kill_and_wait(sharded.shards[1])
    with pytest.raises(ShardLostError, match="shard 1 of 2 was lost: .* no loader"):
        sharded.get_by_attribute("count", v=range(20))
    lost = next(i for i in range(20) if shard_of(i, 2) == 1)
    with pytest.raises(ShardLostError, match="shard 1 of 2"):
        sharded.update(lost, v=0)
    kept = next(i for i in range(20) if shard_of(i, 2) == 0)
    sharded.update(kept, v=-1)      # the other shard goes on
    assert sharded.shards and ray.get(sharded.shards[0].get_by_attribute.remote({"v": -1}, "keys")) == [kept]
    sharded.close()
    with pytest.raises(RuntimeError, match="closed"):
        len(sharded)
    with pytest.raises(ShardLostError, match="shard 0 of 1 .* failed to start .*OSError: store unreachable"):
        ShardedIndex("id", 1, loader=unreachable)
