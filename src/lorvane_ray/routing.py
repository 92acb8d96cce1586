"""Which shard a key belongs to.

Python's hash of a str changes from one process to the next, so routing
encodes the key into bytes and hashes those: the driver, every actor and a
later process agree on a key's shard. Keys that compare equal route alike
(1, 1.0 and True are one key, as in a dict).
"""

import struct
import zlib

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


def route(keys_and_items, num_shards):
    """{shard: [item, ...]} for (key, item) pairs, in their order."""
    parts = [[] for _ in range(num_shards)]
    append = [p.append for p in parts]
    low, high, mask, golden = -(1 << 63), 1 << 63, _MASK, _GOLDEN
    for key, item in keys_and_items:
        # stable_hash's int case inline: a call per item costs as much again.
        if type(key) is int and low <= key < high:
            append[((((key & mask) * golden) & mask) * num_shards) >> 64](item)
        else:
            append[shard_of(key, num_shards)](item)
    return {i: p for i, p in enumerate(parts) if p}


def shard_of(key, num_shards):
    """The shard (0 .. num_shards - 1) that holds ``key``."""
    return (stable_hash(key) * num_shards) >> 64
