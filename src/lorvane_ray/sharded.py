"""An index sharded over Ray actors.

The driver (this process) routes each object by its key to one of N shard
actors (``lorvane_ray.shard.Shard``), each holding one ``Index``. Writes go
to the shards that hold the objects, one call per shard per batch; queries
go to every shard and their answers are joined in shard order.

Losing an actor: with a ``loader``, Ray restarts the actor, which rebuilds
its shard from the loader, and the call that met the loss is sent again;
without one, the call raises ``ShardLostError`` naming the shard.
"""

import itertools
import pickle
from collections.abc import Mapping

import ray
from ray import cloudpickle
from ray.exceptions import RayActorError, RayTaskError

from Lorvane import Indexable, PyQueryExpr

from lorvane_ray import wire
from lorvane_ray.routing import shard_of, shards_of, split
from lorvane_ray.shard import Shard, check_result

_RemoteShard = ray.remote(Shard)


class ShardLostError(RuntimeError):
    """A shard's actor died and its objects cannot be had back."""

    def __init__(self, shard, num_shards, reason):
        super().__init__(f"shard {shard} of {num_shards} was lost: {reason}")
        self.shard = shard


class ShardedIndex:
    """Objects indexed over ``num_shards`` Ray actors, routed by ``key``.

    ``key`` names the attribute that identifies an object: each object must
    have it (a str, bytes, int, float or a tuple of them, hashed the same in
    every process), and it chooses the object's shard. One key is one object:
    adding an object whose key is stored replaces the stored one.

    Objects live in the actors, so they are written through this class
    (``update``), never by setting attributes on a local object, and the
    objects a query hands back are copies.

    ``cls`` (an ``Indexable`` subclass) is the class the actors build objects
    of from attribute mappings. ``loader(shard, num_shards)``, when given, is
    called inside each actor when it starts and again when Ray restarts it
    after a loss (up to ``max_restarts`` times); it returns an iterable of
    the objects the shard should hold (attribute mappings or ``Indexable``
    objects; items of other shards may be included and are left out). Writes
    made through this class since the loader's source last saw them are lost
    with the actor, so the loader's source should take every write too.
    Without a loader a lost actor stays lost and every call that needs it
    raises ``ShardLostError``. ``actor_options`` go to Ray's ``.options()``
    (``num_cpus``, ``memory``, scheduling). With ``pin_cpus`` (the default)
    shard i keeps to the i-th block of its node's CPUs (one CPU each when
    there are more shards than CPUs), so that the shards' worker threads do
    not outnumber the cores; shards of one index placed on other nodes may
    share a block there.

    Queries take ``result``: ``"objects"`` (copies of the objects),
    ``"count"`` (an int), ``"keys"``, or a tuple of attribute names (a tuple
    of their values per object, ``None`` where one is missing). Lists come
    shard by shard, each shard's part in the order its objects were added.
    A Ray cluster must be running (``ray.init()``) or Ray starts a local one.
    One thread at a time may call a ``ShardedIndex``.
    """

    def __init__(self, key, num_shards=4, *, cls=Indexable, loader=None, max_restarts=3,
                 pin_cpus=True, actor_options=None):
        if not isinstance(key, str):
            raise TypeError(f"key must be an attribute name (str), not '{type(key).__name__}'")
        if key.startswith("_"):
            raise ValueError(f"key {key!r} starts with '_': such attributes are never indexed")
        if not isinstance(num_shards, int) or num_shards < 1:
            raise ValueError(f"num_shards must be an int >= 1, not {num_shards!r}")
        if not (isinstance(cls, type) and issubclass(cls, Indexable)):
            raise TypeError(f"cls must be Indexable or a subclass of it, not {cls!r}")
        if loader is not None and not callable(loader):
            raise TypeError("loader must be callable as loader(shard, num_shards)")
        self.key, self.num_shards, self._loader = key, num_shards, loader
        options = {"max_restarts": max_restarts if loader is not None else 0, "max_task_retries": 0}
        options.update(actor_options or {})
        self._max_restarts = options["max_restarts"]
        self.shards = [_RemoteShard.options(**options).remote(i, num_shards, key, cls, loader, pin_cpus)
                       for i in range(num_shards)]
        self._tokens = itertools.count()
        # Commits sent but not yet waited for: (shard, ref, resend).
        self._pending = []
        self._gather({i: self._sender(i, "ping") for i in range(num_shards)})

    # Calls to the shards.

    def _sender(self, i, method, *args):
        """A function that sends the call (again) and returns its reference."""
        if not self.shards:
            raise RuntimeError("this ShardedIndex is closed")
        bound = getattr(self.shards[i], method)
        return lambda: bound.remote(*args)

    def _wait(self, i, ref, resend):
        """The result of one shard's call; after a loss it is sent again while
        Ray restarts the actor, as long as there is a loader to rebuild from."""
        for attempt in itertools.count():
            try:
                return ray.get(ref)
            except RayTaskError as exc:
                # The shard raised: hand on its own exception.
                cause = getattr(exc, "cause", None)
                if isinstance(cause, BaseException):
                    raise cause from None
                raise
            except RayActorError as exc:
                if getattr(exc, "actor_init_failed", False):
                    lines = [line for line in str(exc).splitlines() if line.strip()]
                    raise ShardLostError(i, self.num_shards, "its actor failed to start (the loader or the "
                                         f"shard's set-up raised {lines[-1].strip() if lines else 'an error'})") from exc
                if self._loader is None:
                    raise ShardLostError(i, self.num_shards,
                                         "its Ray actor died and no loader was given to rebuild it, "
                                         "so its objects are gone") from exc
                if self._max_restarts >= 0 and attempt >= self._max_restarts:
                    raise ShardLostError(i, self.num_shards, f"its Ray actor kept dying: the call was sent "
                                         f"{attempt + 1} times (max_restarts={self._max_restarts})") from exc
                ref = resend()

    def _gather(self, senders, before_wait=None):
        """Sends every call, then waits for each: {shard: result}. The first
        failure is raised once every call has finished."""
        refs = {i: send() for i, send in senders.items()}
        out, error = {}, None
        if before_wait is not None:
            try:
                before_wait()
            except BaseException as exc:  # noqa: BLE001
                error = exc
        if error is None:
            try:
                # One wait for all: the common case, at half the cost.
                return dict(zip(refs, ray.get(list(refs.values()))))
            except (RayTaskError, RayActorError):
                pass  # each call's own outcome, below
        for i, ref in refs.items():
            try:
                out[i] = self._wait(i, ref, senders[i])
            except BaseException as exc:  # noqa: BLE001 - raised after the others finish
                error = error or exc
        if error is not None:
            raise error
        return out

    def _settle(self):
        """Waits for the commits sent by earlier batches."""
        pending, self._pending = self._pending, []
        error = None
        for i, ref, resend in pending:
            try:
                self._wait(i, ref, resend)
            except BaseException as exc:  # noqa: BLE001
                error = error or exc
        if error is not None:
            raise error

    def flush(self):
        """Waits until every write sent so far is applied in the shards."""
        self._settle()

    def _key_of(self, item):
        try:
            if isinstance(item, Mapping):
                return item[self.key]
            if isinstance(item, Indexable):
                return getattr(item, self.key)
        except (KeyError, AttributeError):
            raise KeyError(f"an object without the key attribute {self.key!r}") from None
        raise TypeError(f"an item must be a mapping of attributes or an Indexable, not '{type(item).__name__}'")

    def _batch(self, stage, parts):
        """One staged write per shard: every shard stages its part (and
        checks it); only when all staged is it applied, so a batch that fails
        anywhere changes nothing."""
        token = next(self._tokens)
        senders = {i: self._sender(i, stage, token, part) for i, part in parts.items()}
        try:
            # The earlier batch's commits are waited for only now, so that
            # the shards apply it while this one is routed and sent.
            self._gather(senders, before_wait=self._settle)
        except BaseException:
            try:
                self._gather({i: self._sender(i, "discard", token) for i in parts})
            except (RayActorError, ShardLostError):
                pass  # a lost shard's staged part is gone with it
            raise
        for i, part in parts.items():
            stage_again = senders[i]
            commit = self._sender(i, "commit", token)
            # After a loss the staged part is gone with the actor: stage it anew.
            self._pending.append((i, commit(), lambda s=stage_again, c=commit: (s(), c())[1]))

    # Writes.

    def add_object(self, item):
        """Adds one object (an attribute mapping or an ``Indexable``)."""
        self.add_object_many([item])

    def add_object_many(self, items):
        """Adds the objects; if any is refused, none is added. A batch for
        one shard is one call; a batch spanning shards is staged in each
        (one call per shard, which checks and builds the objects) and then
        committed, and is applied before the next call on this index
        returns (``flush()`` waits for it). Plain dicts that all have the
        same keys are the cheapest batch to send (they travel as columns)."""
        if isinstance(items, (str, bytes, Mapping)):
            raise TypeError(f"add_object_many takes a collection of objects, not '{type(items).__name__}'")
        items = items if type(items) is list else list(items)
        parts = wire.encode(items, self.key, self.num_shards, self._key_of)
        if len(parts) == 1:
            # One shard checks and applies its part in one call.
            self._settle()
            ((i, part),) = parts.items()
            self._gather({i: self._sender(i, "add", part)})
        elif parts:
            self._batch("stage_add", parts)
        else:
            self._settle()

    def update(self, key, /, **attrs):
        """Sets attributes of the object stored under ``key`` (KeyError when
        none is); the key attribute itself cannot be written."""
        self.update_many({key: attrs})

    def update_many(self, writes):
        """``writes`` maps keys to attribute mappings; one call per shard,
        and nothing is written if any key or value is refused."""
        if not isinstance(writes, Mapping):
            raise TypeError(f"update_many takes a mapping of keys to attributes, not '{type(writes).__name__}'")
        self._settle()
        parts = {}
        for key, attrs in writes.items():
            if not isinstance(attrs, Mapping):
                raise TypeError(f"the attributes of key {key!r} must be a mapping, not '{type(attrs).__name__}'")
            parts.setdefault(shard_of(key, self.num_shards), {})[key] = dict(attrs)
        if len(parts) == 1:
            ((i, part),) = parts.items()
            self._gather({i: self._sender(i, "update", part)})
        elif parts:
            self._batch("stage_update", parts)

    def remove(self, key):
        """Removes the object stored under ``key``; True if there was one."""
        return self.remove_many([key]) == 1

    def remove_many(self, keys):
        """Removes the objects of these keys (keys not stored are passed
        over), one call per shard; returns how many were removed."""
        self._settle()
        keys = keys if type(keys) is list else list(keys)
        parts = {i: part for i, part in enumerate(split(shards_of(keys, self.num_shards), keys, self.num_shards))
                 if part}
        return sum(self._gather({i: self._sender(i, "remove", part) for i, part in parts.items()}).values())

    # Queries: scattered to every shard, gathered in shard order.

    def _query(self, method, *args, shards=None):
        self._settle()
        shards = range(self.num_shards) if shards is None else shards
        # Pickled once for all the shards (see Shard.ask); Ray's cloudpickle
        # takes what the shards cannot import (a script's own classes).
        blob = cloudpickle.dumps((method, args), protocol=pickle.HIGHEST_PROTOCOL)
        return self._gather({i: self._sender(i, "ask", blob) for i in shards})

    def _shards_for(self, kwargs):
        """The shards that can hold a match: those of the wanted keys when the
        key attribute is among the keywords, else every one."""
        if self.key not in kwargs:
            return None
        wanted = kwargs[self.key]
        if isinstance(wanted, (str, bytes, int, float)):
            wanted = (wanted,)
        elif not isinstance(wanted, (list, tuple, set, frozenset, range)):
            return None
        try:
            return sorted({shard_of(k, self.num_shards) for k in wanted})
        except TypeError:
            return None  # a value no key can equal: let the shards say so

    @staticmethod
    def _join(answers, result):
        if result == "count":
            return sum(answers)
        return [x for part in answers for x in part]

    def get_by_attribute(self, result="objects", /, **kwargs):
        """The objects matching every keyword, as ``Index.get_by_attribute``
        selects them, in the form ``result`` asks for (see the class). A
        keyword on the key attribute sends the query only to the shards of
        the keys it names."""
        check_result(result)
        answers = self._query("get_by_attribute", kwargs, result, shards=self._shards_for(kwargs))
        return self._join(answers.values(), result)

    def reduced_query(self, expr, result="objects"):
        """The objects a ``PyQueryExpr`` selects, in the form ``result``
        asks for."""
        check_result(result)
        if not isinstance(expr, PyQueryExpr):
            raise TypeError(f"reduced_query takes a PyQueryExpr, not '{type(expr).__name__}'")
        # Pickled once here with the plain pickler, not once per shard by
        # Ray's, which is twice as slow on an expression's nodes.
        blob = pickle.dumps(expr, protocol=pickle.HIGHEST_PROTOCOL)
        return self._join(self._query("reduced_query", blob, result).values(), result)

    def group_by(self, attr, result="objects"):
        """A dict from each value of ``attr`` (or a dotted path) to its
        objects, in the form ``result`` asks for; values that compare equal
        across shards share one entry."""
        check_result(result)
        groups = {}
        for answer in self._query("group_by", attr, result).values():
            for value, part in answer.items():
                groups.setdefault(value, []).append(part)
        return {value: self._join(parts, result) for value, parts in groups.items()}

    def collect(self, result="objects"):
        """Every object, in the form ``result`` asks for."""
        check_result(result)
        return self._join(self._query("collect", result).values(), result)

    def __len__(self):
        return sum(self._query("size").values())

    # Lifetime.

    def close(self):
        """Ends the shards' actors (their objects go with them)."""
        for actor in self.shards:
            ray.kill(actor, no_restart=True)
        self.shards = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
