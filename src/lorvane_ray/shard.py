"""One shard: an ``Index`` over the objects whose key routes here, run inside
a Ray actor (the driver wraps this class with ``ray.remote``).

Invariants: ``by_key`` maps each stored key to its object, and the index
holds exactly ``by_key``'s objects. Every write validates all of its input
before it changes anything, so a call that raises leaves the shard as it was.
A batch spanning shards is staged first (``stage_*``, which validates and
builds the objects) and applied by ``commit`` once every shard staged its
part; ``discard`` drops a staged batch.
"""

import gc
import operator
import os
import pickle
import time
from collections.abc import Mapping
from contextlib import contextmanager

from Lorvane import Index, Indexable

from lorvane_ray import wire
from lorvane_ray.routing import shard_of

# What a query hands back per object: the object, only a count, its key, or
# the values of chosen attributes (``None`` for one it lacks).
RESULT_KINDS = ("objects", "count", "keys")

# The methods ``Shard.ask`` may call.
READS = frozenset({"size", "get_by_attribute", "reduced_query", "group_by", "collect"})


def check_result(result):
    """Raises for a ``result=`` that is neither a kind nor a tuple of names."""
    if isinstance(result, str):
        if result not in RESULT_KINDS:
            raise ValueError(f"result must be one of {', '.join(map(repr, RESULT_KINDS))} "
                             f"or a tuple of attribute names, not {result!r}")
    elif not (isinstance(result, tuple) and result and all(isinstance(a, str) for a in result)):
        raise TypeError(f"result must be a str or a non-empty tuple of attribute names, not {result!r}")


def answer(found, result, key):
    """The objects found (a list or a view) in the form ``result`` asks for
    (see RESULT_KINDS); a count never lists a view's objects."""
    if result == "count":
        return len(found)
    objs = found if isinstance(found, list) else found.collect()
    if result == "objects":
        return objs
    if result == "keys":
        return [getattr(o, key) for o in objs]
    return [tuple(getattr(o, a, None) for a in result) for o in objs]


def keep_to_share_of_cpus(shard, num_shards):
    """Narrows this process to its share of the CPUs it may use: shard i
    takes the i-th block of max(1, cpus // num_shards). The index's worker
    pool is sized by the CPUs a process may use when it first runs, so the
    shards' threads no longer outnumber the cores (4 shards each with a
    2-thread pool on 2 cores ran builds at half the speed)."""
    cpus = sorted(os.sched_getaffinity(0))
    share = max(1, len(cpus) // num_shards)
    os.sched_setaffinity(0, {cpus[(shard * share + j) % len(cpus)] for j in range(share)})


@contextmanager
def collector_paused():
    """Pauses the cycle collector while a batch's objects are built and
    indexed: it would otherwise walk the young objects once per few hundred
    new ones, which costs a build a sixth of its time. Whatever garbage the
    batch leaves is collected once it is running again."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


class Shard:
    def __init__(self, shard, num_shards, key, cls, loader, pin_cpus=False):
        self.shard, self.num_shards, self.key, self.cls = shard, num_shards, key, cls
        if pin_cpus and hasattr(os, "sched_setaffinity"):
            keep_to_share_of_cpus(shard, num_shards)
        self.index = Index()
        self.by_key = {}
        self.staged = {}
        # The object makers of the attribute names that batches came with.
        self._makers = {}
        if loader is not None:
            # Called again when Ray restarts the actor after a loss: the
            # loader's source is what the shard holds from then on.
            self._put(*self._build(loader(shard, num_shards), own_only=True))

    def ping(self):
        return self.shard

    def timed(self, method, *args):
        """(seconds spent inside the actor, result) of one of its calls: how
        benchmarks tell a shard's own work from Ray's."""
        t0 = time.perf_counter()
        result = getattr(self, method)(*args)
        return time.perf_counter() - t0, result

    # Writes.

    def _build(self, items, own_only=False):
        """(keys, objects) for the items (mappings of attributes, or objects
        as they are); with own_only, items routed to another shard are left
        out."""
        cls, key, keys, out = self.cls, self.key, [], []
        for item in items:
            obj = cls(**item) if type(item) is dict or isinstance(item, Mapping) else item
            if not isinstance(obj, Indexable):
                raise TypeError(f"an item must be a mapping of attributes or an Indexable, "
                                f"not '{type(item).__name__}'")
            k = getattr(obj, key)
            if own_only and shard_of(k, self.num_shards) != self.shard:
                continue
            keys.append(k)
            out.append(obj)
        return keys, out

    def _unpack(self, blob):
        """(keys, objects) for a part as the driver sent it (``wire``)."""
        form, head, chunks = wire.read(blob)
        if form != wire.COLUMNS:
            return self._build(head)
        make = self._makers.get(head)
        if make is None:
            if len(self._makers) >= 64:
                self._makers.clear()
            make = self._makers[head] = wire.maker(self.cls, head)
        at, keys, objs = head.index(self.key), [], []
        for columns in chunks:
            keys.extend(columns[at])
            objs.extend(map(make, *columns))
        return keys, objs

    def _put(self, keys, objs):
        """Stores each object under its key (lists in step); where a key
        comes again, in the shard or later in the batch, the last object
        wins and the one it replaces leaves the index."""
        # The new objects go in before the ones they replace leave, so that
        # a failure leaves the shard as it was.
        self.index.add_object_many(objs)
        # One pass over the keys stores the new ones; a key already held
        # hands back the object it holds instead.
        by_key = self.by_key
        held = list(map(by_key.setdefault, keys, objs))
        if any(map(operator.is_not, held, objs)):
            old = []
            for k, h, obj in zip(keys, held, objs):
                if h is not obj:
                    old.append(by_key[k])
                    by_key[k] = obj
            self.index.remove_object_many(old)

    def _check_writes(self, writes):
        for k, attrs in writes.items():
            if k not in self.by_key:
                raise KeyError(k)
            if self.key in attrs:
                raise ValueError(f"the key attribute {self.key!r} cannot be written: remove the object and add it anew")
            # A throwaway object captures each value as the index will, so a
            # value the index refuses is found before anything is written.
            Indexable(**attrs)

    def _write(self, writes):
        for k, attrs in writes.items():
            obj = self.by_key[k]
            for name, value in attrs.items():
                setattr(obj, name, value)

    def stage_add(self, token, blob):
        with collector_paused():
            self.staged[token] = ("add", self._unpack(blob))

    def stage_update(self, token, writes):
        self._check_writes(writes)
        self.staged[token] = ("update", writes)

    def commit(self, token):
        kind, payload = self.staged.pop(token)
        if kind == "add":
            with collector_paused():
                self._put(*payload)
        else:
            self._write(payload)

    def discard(self, token):
        self.staged.pop(token, None)

    def add(self, blob):
        with collector_paused():
            self._put(*self._unpack(blob))

    def update(self, writes):
        self._check_writes(writes)
        self._write(writes)

    def remove(self, keys):
        """Removes the objects of these keys; a key not stored is passed over."""
        objs = [self.by_key.pop(k) for k in keys if k in self.by_key]
        if objs:
            self.index.remove_object_many(objs)
        return len(objs)

    # Reads.

    def ask(self, blob):
        """One of the reads below, its name and arguments pickled together by
        the driver, once for every shard: Ray passes one bytes argument on
        far more cheaply than a dict and a str it serializes itself (a point
        query on 4 local shards took 4.0 ms that way, 2.7 ms this way)."""
        method, args = pickle.loads(blob)
        if method not in READS:
            raise ValueError(f"{method!r} is not a read")
        return getattr(self, method)(*args)

    def size(self):
        return len(self.by_key)

    def get_by_attribute(self, kwargs, result):
        return answer(self.index.get_by_attribute(**kwargs), result, self.key)

    def reduced_query(self, expr_pickle, result):
        return answer(self.index.reduced_query(pickle.loads(expr_pickle)), result, self.key)

    def group_by(self, attr, result):
        return {value: answer(view, result, self.key)
                for value, view in self.index.group_by(attr).items()}

    def collect(self, result):
        return answer(self.index.collect(), result, self.key)
