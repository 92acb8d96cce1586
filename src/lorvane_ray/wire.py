"""How a batch of objects travels from the driver to its shards.

A batch whose items are all plain dicts with the same str keys travels as
columns: the attribute names once, then one tuple of values per name. A
column of ints or floats pickles and unpickles at a fifth of the cost of
the dicts, and the shard builds its objects from the columns with a call
that names the attributes as keywords, without a dict per row. Any other
batch (objects, other mappings, dicts whose keys differ) travels as its
items, as they are.

Each shard's part is pickled here, in the driver, into bytes that Ray
passes on untouched: Ray's own serialization of a list of dicts costs the
actor about twice what unpickling it does. Ray's cloudpickle pickles
classes the actors cannot import (a script's own) by value, as Ray would.
"""

import io
import keyword
import operator
import pickle

from ray import cloudpickle

from lorvane_ray.routing import shards_of, split

COLUMNS, ITEMS = "columns", "items"


def header_of(items):
    """The keys of the first item when every item is a plain dict with as
    many keys, all str; else None. (Whether each has these very keys is
    found while its columns are read.)"""
    if not items or type(items[0]) is not dict:
        return None
    names = tuple(items[0])
    if not names or not all(type(n) is str for n in names):
        return None
    if set(map(type, items)) != {dict} or set(map(len, items)) != {len(names)}:
        return None
    return names


# Rows read from the dicts at a time. A chunk's values stay in the cache
# while its shards' parts are pickled; a whole batch's do not, and reading
# each shard's part apart (a row here and there) costs twice as much.
CHUNK = 4096


def encode(items, key, num_shards, key_of):
    """{shard: bytes} for a list of items: each shard's part, routed by the
    key attribute and pickled. ``key_of(item)`` reads the key of an item
    that is not a dict holding it, or raises."""
    names = header_of(items)
    if names is not None and key in names:
        try:
            return _encode_columns(items, names, names.index(key), num_shards)
        except KeyError:
            pass  # a dict with other keys: the batch goes as items
    keys = [item[key] if type(item) is dict and key in item else key_of(item) for item in items]
    out = {}
    for i, part in enumerate(split(shards_of(keys, num_shards), items, num_shards)):
        if part:
            out[i] = _Stream(ITEMS, part).getvalue()
    return out


def _encode_columns(items, names, key_at, num_shards):
    """Each shard's stream: the header ``(COLUMNS, names)``, then one tuple
    of columns (a tuple of values per name) per chunk that has its rows."""
    getter, key_of = operator.itemgetter(*names), operator.itemgetter(key_at)
    streams = [None] * num_shards
    for start in range(0, len(items), CHUNK):
        chunk = items[start:start + CHUNK]
        rows = list(map(getter, chunk)) if len(names) > 1 else list(zip(map(getter, chunk)))
        shards = shards_of(list(map(key_of, rows)), num_shards)
        for i, part in enumerate(split(shards, rows, num_shards)):
            if part:
                if streams[i] is None:
                    streams[i] = _Stream(COLUMNS, names)
                streams[i].dump(tuple(zip(*part)))
    return {i: stream.getvalue() for i, stream in enumerate(streams) if stream is not None}


class _Stream:
    """One shard's part: pickles written one after another into one buffer,
    sharing one memo (a str repeated across chunks is written once)."""

    def __init__(self, form, head):
        self._buffer = io.BytesIO()
        self.dump = cloudpickle.Pickler(self._buffer, protocol=pickle.HIGHEST_PROTOCOL).dump
        self.dump((form, head))

    def getvalue(self):
        return self._buffer.getvalue()


def read(blob):
    """(form, head, chunks) of a part: for COLUMNS the names and an iterator
    of column tuples; for ITEMS the items and no chunks."""
    unpickler = pickle.Unpickler(io.BytesIO(blob))
    form, head = unpickler.load()
    return form, head, _chunks(unpickler)


def _chunks(unpickler):
    while True:
        try:
            yield unpickler.load()
        except EOFError:
            return


def maker(cls, names):
    """A function of one value per name, in the order of ``names``, that
    returns ``cls(name=value, ...)``.

    For names that are plain identifiers it is compiled once per set of
    names as a call with those keywords, which the interpreter makes without
    building a dict per row. Other names (non-ASCII ones, which source code
    would normalize, and reserved words) go through a dict.
    """
    if all(n.isascii() and n.isidentifier() and not keyword.iskeyword(n) for n in names):
        params = ", ".join(f"_{i}" for i in range(len(names)))
        keywords = ", ".join(f"{n}=_{i}" for i, n in enumerate(names))
        # Safe to compile: every name was checked to be a bare identifier.
        return eval(f"lambda {params}: cls({keywords})", {"cls": cls})  # noqa: S307
    return lambda *values: cls(**dict(zip(names, values)))
