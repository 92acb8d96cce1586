"""Which shard a key belongs to.

Python's hash of a str changes from one process to the next, so routing
encodes the key into bytes and hashes those: the driver, every actor and a
later process agree on a key's shard. Keys that compare equal route alike
(1, 1.0 and True are one key, as in a dict).
"""

import struct
import zlib

try:
    import numpy as _np
except ImportError:  # optional: routing falls back to plain Python
    _np = None

# Fibonacci hashing: multiplying by 2**64 / golden ratio spreads consecutive
# ints over the high bits, which choose the shard.
_GOLDEN = 0x9E3779B97F4A7C15
_MASK = (1 << 64) - 1

KEY_TYPES = "str, bytes, int, float or a tuple of them"


def _encode(key, out):
    # bool and int-valued floats encode as the int they equal.
    if isinstance(key, float):
        if key.is_integer():
            key = int(key)
        else:
            out += b"f" + struct.pack("<d", key)
            return
    if isinstance(key, int):
        out += b"i" + key.to_bytes(key.bit_length() // 8 + 1, "little", signed=True)
    elif isinstance(key, str):
        data = key.encode("utf-8", "surrogatepass")
        out += b"s" + len(data).to_bytes(4, "little") + data
    elif isinstance(key, (bytes, bytearray)):
        out += b"b" + len(key).to_bytes(4, "little") + bytes(key)
    elif isinstance(key, tuple):
        out += b"t" + len(key).to_bytes(4, "little")
        for part in key:
            _encode(part, out)
    else:
        raise TypeError(f"a shard key must be {KEY_TYPES}, not '{type(key).__name__}'")


def stable_hash(key):
    """A 64-bit hash of ``key`` that is the same in every process."""
    if isinstance(key, float) and key.is_integer():
        key = int(key)
    if isinstance(key, int) and -(1 << 63) <= key < (1 << 63):
        # The common case (bool included), without building bytes.
        return ((key & _MASK) * _GOLDEN) & _MASK
    out = bytearray()
    _encode(key, out)
    return ((zlib.crc32(out) | (len(out) << 32)) * _GOLDEN) & _MASK


def shards_of(keys, num_shards):
    """The shard of each key, as ``shard_of`` gives it, in a list. A list
    of int keys that fit 64 bits is hashed without a call per key (by numpy
    when it is installed: a multiply per key in Python costs ten times as
    much)."""
    if keys and set(map(type, keys)) <= {int, bool}:
        if _np is not None and num_shards < (1 << 32):
            try:
                hashes = _np.array(keys, dtype=_np.int64).view(_np.uint64) * _np.uint64(_GOLDEN)
            except OverflowError:
                pass  # a key beyond 64 bits: hashed as bytes, below
            else:
                # (hash * num_shards) >> 64 without a 128-bit product: the
                # high and low halves of the hash times num_shards.
                n, half = _np.uint64(num_shards), _np.uint64(32)
                low = ((hashes & _np.uint64(0xFFFFFFFF)) * n) >> half
                return (((hashes >> half) * n + low) >> half).tolist()
        else:
            low, high = min(keys), max(keys)
            if -(1 << 63) <= low and high < (1 << 63):
                # stable_hash's int case, with what is known for the whole
                # list taken out of the loop: a non-negative key needs no
                # mask, and a power-of-two count of shards is a shift.
                mask, golden = _MASK, _GOLDEN
                if low < 0:
                    return [((((k & mask) * golden) & mask) * num_shards) >> 64 for k in keys]
                if num_shards & (num_shards - 1) == 0:
                    shift = 65 - num_shards.bit_length()
                    return [((k * golden) & mask) >> shift for k in keys]
                return [(((k * golden) & mask) * num_shards) >> 64 for k in keys]
    return [shard_of(k, num_shards) for k in keys]


def split(shards, items, num_shards):
    """One list per shard of the items, each item where ``shards`` (its
    shard, position by position) sends it, in their order."""
    parts = [[] for _ in range(num_shards)]
    append = [p.append for p in parts]
    for shard, item in zip(shards, items):
        append[shard](item)
    return parts


def shard_of(key, num_shards):
    """The shard (0 .. num_shards - 1) that holds ``key``."""
    return (stable_hash(key) * num_shards) >> 64
