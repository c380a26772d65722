"""ShardedIndex: objects spread over Ray actors, each holding an Index, behind one object that answers as an Index."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import Vostrel

from vostrel_ray import _merge
from vostrel_ray._routing import ShardKey, key_of, shard_of
from vostrel_ray._shard import Shard
from vostrel_ray._wire import pack, unpack

_INSTALL_HINT = 'vostrel_ray needs Ray: pip install "vostrel[ray]"'


def _ray() -> Any:
    """Ray, imported on first use: the module itself never needs it."""
    try:
        import ray
    except ImportError as err:
        raise ImportError(_INSTALL_HINT) from err
    return ray


class ShardError(RuntimeError):
    """A shard's actor is gone (died, killed, or its node lost): the call that met it has no answer.

    `shard` and `shards` say which one; `__cause__` is Ray's error. A read never returns a partial answer. A
    write may have reached the other shards before it failed (add_object_many sends one batch per shard)."""

    def __init__(self, shard: int, shards: int, cause: BaseException) -> None:
        super().__init__(f"shard {shard} of {shards} is unavailable: {cause}")
        self.shard = shard
        self.shards = shards


def _local_index(objs: Iterable[Vostrel.Indexable]) -> Vostrel.Index:
    index = Vostrel.Index()
    index.add_object_many(objs)
    return index


class ShardedIndex:
    """Objects spread over `shards` Ray actors by a shard key, each actor holding a Vostrel.Index of its share.

    `key` is the name of an attribute every object holds, or a function of the object; its value (int, float,
    str or bytes) picks the shard, the same in every process. Queries and answers fan out to every shard at once
    and merge into what one Index over all the objects answers. Objects live in the actors: what comes back are
    copies, and writes go through update() and remove(), never through a returned object.

    `actor_options` go to Ray's `.options()` of every shard actor (`max_restarts`, `num_cpus`, `resources`,
    ...); note that a restarted actor starts empty. Ray is initialised by the first remote call when the caller
    has not called `ray.init()`."""

    def __init__(self, shards: int, key: ShardKey, *, actor_options: Mapping[str, Any] | None = None) -> None:
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError(f"shards must be a positive int, got {shards!r}")
        if not isinstance(key, str) and not callable(key):
            raise TypeError(f"key must be an attribute name or a function of the object, got {type(key).__name__}")
        ray = _ray()
        remote_shard = ray.remote(Shard).options(**dict(actor_options or {}))
        self._key = key
        self._actors: list[Any] = [remote_shard.remote(key) for _ in range(shards)]

    @property
    def shards(self) -> int:
        """The number of shards."""
        return len(self._actors)

    @property
    def actors(self) -> list[Any]:
        """The shard actors' handles, shard 0 first (to watch or kill them with Ray's own calls)."""
        return list(self._actors)

    def shard_of(self, key_value: object) -> int:
        """The shard that owns objects whose shard key is `key_value`."""
        return shard_of(key_value, len(self._actors))

    def shard_stats(self) -> list[dict[str, int]]:
        """Per shard, shard 0 first: {"objects": how many it holds, "rss_bytes": its actor process's resident
        memory}, to see how full each is."""
        return [dict(part) for part in self._all("stats")]

    # ---- calls ----

    def _gather(self, calls: Sequence[tuple[int, Any]]) -> list[Any]:
        """The results of (shard, ObjectRef) calls, waited for together; a dead shard raises ShardError naming it."""
        ray = _ray()
        gone = tuple(getattr(ray.exceptions, name) for name in ("RayActorError", "ActorUnavailableError")
                     if hasattr(ray.exceptions, name))
        try:
            return list(ray.get([ref for _, ref in calls]))
        except gone:
            # ray.get names no actor: the one that failed is found by asking each result again (all are done).
            for shard, ref in calls:
                try:
                    ray.get(ref)
                except gone as err:
                    raise ShardError(shard, len(self._actors), err) from err
            raise

    def _all(self, method: str, *args: Any) -> list[Any]:
        """`method(*args)` on every shard at once; the answers in shard order."""
        return self._gather([(shard, getattr(actor, method).remote(*args))
                             for shard, actor in enumerate(self._actors)])

    def _all_objects(self, method: str, *args: Any) -> list[Any]:
        """_all of a call that answers objects (packed by the shard)."""
        return [unpack(payload) for payload in self._all(method, *args)]

    # ---- writes ----

    def add_object(self, obj: Vostrel.Indexable) -> None:
        """Adds one object to the shard its key picks (a copy lives there)."""
        self.add_object_many([obj])

    def add_object_many(self, objs: Iterable[Vostrel.Indexable]) -> None:
        """Adds the objects, one batch per shard sent at once. Every object's key is read first: a missing or
        unroutable key raises before anything is sent."""
        batches: list[list[Vostrel.Indexable]] = [[] for _ in self._actors]
        for obj in objs:
            if not isinstance(obj, Vostrel.Indexable):
                raise TypeError(f"expected Indexable objects, got {type(obj).__name__}")
            batches[shard_of(key_of(obj, self._key), len(self._actors))].append(obj)
        self._gather([(shard, self._actors[shard].add_many.remote(pack(batch)))
                      for shard, batch in enumerate(batches) if batch])

    def update(self, key_value: Any, *, where: Vostrel.PyQueryExpr | None = None, **attrs: Any) -> int:
        """Sets `attrs` on the objects whose shard key equals `key_value` (and that match `where`, if given), in
        the shard that owns them; their index follows the writes. Returns how many objects changed.

        The key identifies objects: with a unique key (an id) that is one object; otherwise every object with
        that key value, narrowed by `where`. The key itself cannot change through update (ValueError, nothing
        written): remove the object and add it again."""
        shard = self.shard_of(key_value)
        return int(self._gather([(shard, self._actors[shard].update.remote(key_value, where, attrs))])[0])

    def remove(self, key_value: Any, *, where: Vostrel.PyQueryExpr | None = None) -> int:
        """Removes the objects whose shard key equals `key_value` (and that match `where`, if given) from the
        shard that owns them. Returns how many left."""
        shard = self.shard_of(key_value)
        return int(self._gather([(shard, self._actors[shard].remove.remote(key_value, where))])[0])

    # ---- selections: copies of the objects ----

    def __len__(self) -> int:
        return sum(self._all("count", None))

    def count(self, where: Vostrel.PyQueryExpr | None = None) -> int:
        """How many objects (matching `where`), counted in the shards."""
        return sum(self._all("count", where))

    def collect(self) -> list[Vostrel.Indexable]:
        """Copies of every object, shard 0's first, each shard's in its id order."""
        return [obj for part in self._all_objects("collect", None) for obj in part]

    def reduced_query(self, query: Vostrel.PyQueryExpr) -> Vostrel.Index:
        """A local Index of copies of the objects matching `query` (which narrows again, sorts and counts
        locally). To count, order or aggregate without moving the objects, pass `where=` to those calls."""
        if not isinstance(query, Vostrel.PyQueryExpr):
            raise TypeError(f"argument 'query': expected PyQueryExpr, got {type(query).__name__}")
        return _local_index(obj for part in self._all_objects("collect", query) for obj in part)

    def reduced(self, **kwargs: Any) -> Vostrel.Index:
        """reduced_query of keyword equality, as Index.reduced."""
        query: Vostrel.PyQueryExpr = Vostrel.PyQueryExpr.and_(
            *(Vostrel.PyQueryExpr.eq(name, value) for name, value in kwargs.items()))
        return self.reduced_query(query)

    def get_by_attribute(self, **kwargs: Any) -> list[Vostrel.Indexable]:
        """Copies of the objects with these attribute values, shard by shard."""
        return [obj for part in self._all_objects("get_by_attribute", kwargs) for obj in part]

    # ---- answers: merged from each shard's ----

    def sorted_by(self, attr: str, *, reverse: bool = False, limit: int | None = None, offset: int = 0,
                  where: Vostrel.PyQueryExpr | None = None) -> list[Vostrel.Indexable]:
        """Index.sorted_by over all shards: each shard sends its first offset + limit objects in order, the caller
        merges them (a top-k moves k objects per shard). Ties go in shard order, then each shard's id order."""
        if limit is not None and (not isinstance(limit, int) or limit < 0):
            raise ValueError(f"limit must be a non-negative int or None, got {limit!r}")
        if not isinstance(offset, int) or offset < 0:
            raise ValueError(f"offset must be a non-negative int, got {offset!r}")
        per_shard = self._all_objects("sorted_by", attr, reverse, None if limit is None else offset + limit, where)
        return _merge.merge_sorted(per_shard, attr, reverse, offset, limit)

    def value_counts(self, attr: str, *, where: Vostrel.PyQueryExpr | None = None) -> dict[Any, int]:
        """Index.value_counts over all shards: counts added per value, largest count first."""
        return _merge.merge_counts(self._all("value_counts", attr, where))

    def group_by(self, attr: str, *, where: Vostrel.PyQueryExpr | None = None) -> dict[Any, Vostrel.Index]:
        """Index.group_by over all shards: per value, a local Index of copies of its objects (they all move)."""
        groups = _merge.merge_groups(self._all_objects("group_by", attr, where))
        return {value: _local_index(objs) for value, objs in groups.items()}

    def _numbers(self, attr: str, where: Vostrel.PyQueryExpr | None) -> tuple[Any, Any, Any, Any]:
        return _merge.merge_numbers(self._all("numbers", attr, where))

    def sum(self, attr: str, *, where: Vostrel.PyQueryExpr | None = None) -> int | float:
        """The sum of the numbers held: exact for ints; floats are rounded once per shard, then once more."""
        return self._numbers(attr, where)[0]  # type: ignore[no-any-return]

    def min(self, attr: str, *, where: Vostrel.PyQueryExpr | None = None) -> int | float | None:
        return self._numbers(attr, where)[1]  # type: ignore[no-any-return]

    def max(self, attr: str, *, where: Vostrel.PyQueryExpr | None = None) -> int | float | None:
        return self._numbers(attr, where)[2]  # type: ignore[no-any-return]

    def mean(self, attr: str, *, where: Vostrel.PyQueryExpr | None = None) -> float | None:
        """The sum of all shards over the count of numbers in all shards."""
        return self._numbers(attr, where)[3]  # type: ignore[no-any-return]

    # ---- columns: the shards' tables, concatenated ----

    def to_arrow(self, attrs: Sequence[str] | None = None, *,
                 where: Vostrel.PyQueryExpr | None = None) -> Any:
        """One pyarrow.Table: each shard's to_arrow, shard 0's rows first. Columns that some shard lacks are null
        there; an int column that is float in another shard becomes float."""
        try:
            import pyarrow as pa
        except ImportError as err:
            raise ImportError('to_arrow needs pyarrow: pip install "Vostrel[arrow]"') from err
        tables = self._all("table", "arrow", None if attrs is None else list(attrs), where)
        try:
            return pa.concat_tables(tables, promote_options="permissive")
        except TypeError:  # pyarrow before 14 names the option `promote`
            return pa.concat_tables(tables, promote=True)

    def to_pandas(self, attrs: Sequence[str] | None = None, *,
                  where: Vostrel.PyQueryExpr | None = None) -> Any:
        """to_arrow(...).to_pandas(), as Index.to_pandas goes through Arrow."""
        return self.to_arrow(attrs, where=where).to_pandas()

    def to_dicts(self, attrs: Sequence[str] | None = None, *,
                 where: Vostrel.PyQueryExpr | None = None) -> list[dict[str, Any]]:
        """One plain dict per object, shard 0's first."""
        parts = self._all("table", "dicts", None if attrs is None else list(attrs), where)
        return [row for part in parts for row in part]
