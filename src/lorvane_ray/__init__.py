"""Lorvane indexes sharded over Ray actors: ``ShardedIndex`` routes objects by
a key attribute to one ``Index`` per actor and scatters queries to all."""

from lorvane_ray.routing import shard_of, stable_hash
from lorvane_ray.sharded import ShardedIndex, ShardLostError

__all__ = ["ShardedIndex", "ShardLostError", "shard_of", "stable_hash"]
