"""Shards of Vostrel indexes on Ray actors, behind one object that answers as an Index.

    >>> import ray, vostrel_ray
    >>> ray.init()
    >>> people = vostrel_ray.ShardedIndex(4, key="id")
    >>> people.add_object_many(generate_people())
    >>> people.value_counts("city", where=Q.lt("age", 30))

Ray is imported on first use (`pip install "vostrel[ray]"`); importing this package needs only Vostrel.
"""

from vostrel_ray._routing import ShardKey, shard_of
from vostrel_ray._sharded import ShardedIndex, ShardError

__all__ = ["ShardError", "ShardKey", "ShardedIndex", "shard_of"]
