"""A typed user of vostrel_ray: `make typecheck` runs mypy --strict on it (not the program itself, which needs Ray)."""

from typing import Any

from Vostrel import Index, Indexable, PyQueryExpr as Q
from vostrel_ray import ShardedIndex, ShardError, shard_of


class Person(Indexable):
    id: int
    city: str


def by_city(obj: Indexable) -> str:
    return str(obj.city)


def main() -> None:
    people = ShardedIndex(4, key="id", actor_options={"max_restarts": 0})
    cities = ShardedIndex(2, key=by_city)
    people.add_object_many([Person(id=1, city="Oslo", age=30)])
    cities.add_object(Person(id=2, city="Rome", age=40))
    shard: int = people.shard_of(1) + shard_of("Oslo", 2)
    count: int = len(people) + people.count(Q.lt("age", 35))
    young: Index = people.reduced_query(Q.lt("age", 35))
    oslo: Index = people.reduced(city="Oslo")
    found: list[Indexable] = people.get_by_attribute(city="Oslo") + people.collect()
    top: list[Indexable] = people.sorted_by("age", reverse=True, limit=10, where=Q.eq("city", "Oslo"))
    counts: dict[Any, int] = people.value_counts("city", where=Q.gt("age", 18))
    groups: dict[Any, Index] = people.group_by("city")
    total: int | float = people.sum("age")
    low: int | float | None = people.min("age")
    high: int | float | None = people.max("age")
    mean: float | None = people.mean("age", where=Q.eq("city", "Oslo"))
    table: Any = people.to_arrow(["id", "age"])
    frame: Any = people.to_pandas(["id", "age"], where=Q.eq("city", "Oslo"))
    rows: list[dict[str, Any]] = people.to_dicts(["id"])
    changed: int = people.update(1, age=31) + people.update(1, where=Q.eq("city", "Oslo"), age=32)
    removed: int = people.remove(1) + cities.remove("Rome", where=Q.gt("age", 1))
    try:
        len(people)
    except ShardError as err:
        which: int = err.shard + err.shards
        print(which)
    stats: list[dict[str, int]] = people.shard_stats()
    print(stats, shard, count, young, oslo, found, top, counts, groups, total, low, high, mean, table, frame, rows, changed,
          removed, people.shards, people.actors)


if __name__ == "__main__":
    main()
