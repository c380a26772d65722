"""A small typed program using every public call of Vostrel: `make typecheck` runs mypy --strict on it (against the
installed wheel's stubs) and then runs it."""

import copy
import pickle
from typing import Any

import Vostrel
from Vostrel import FilteredIndex, Index, Indexable, InternalError, PyQueryExpr as Q


class Person(Indexable):
    name: str
    age: int


def people() -> list[Person]:
    ann = Person(name="Ann", age=31, tags=["vip"])
    bob = Person(name="Bob", age=45, tags=[])
    return [ann, bob]


def main() -> None:
    version: str = Vostrel.__version__
    total: str = Vostrel.sum_as_string(1, 2)
    index = Index()
    staff = people()
    for person in staff:
        index.add_object(person)
    index.add_object(py_ref=Person(name="Cid", age=19))
    index.add_object_many(p for p in people())
    index.add_object_many(objs=[Person(name="Dee", age=41)])

    query: Q = Q.and_(Q.gt("age", 30), Q.lt("age", 50), Q.ge("age", 0), Q.le("age", 99))
    query = Q.or_(query, Q.not_(Q.eq("name", "Ann")), Q.ne("name", "Zed"), Q.bt("age", 18, 65))
    query = query & Q.in_("name", {"Ann", "Bob", "Cid"}) | ~Q.starts_with("name", "Z")
    query = query & (Q.ends_with("name", "n") | Q.contains("name", "o"))
    view: FilteredIndex = index.reduced_query(query)
    narrower: FilteredIndex = view.reduced(age=31).reduced_query(Q.eq("name", "Ann"))
    assert len(view) >= len(narrower) and bool(narrower)
    names = [obj.name for obj in view]
    listed: list[Indexable] = view.collect() + narrower.collect()
    by_keyword: FilteredIndex = index.reduced(name="Bob")
    found: list[Indexable] = index.get_by_attribute(age=45)
    everyone: list[Indexable] = index.collect()
    assert staff[0] in index and staff[0] in view and len(index) == len(everyone)
    for obj in index:
        attrs: dict[str, object] = Vostrel.asdict(obj)
        assert "name" in attrs and obj.__dir__()
    index.remove_object(staff[1])
    rebased: Index = view.rebase()
    for source in (index, view):
        top: list[Indexable] = source.sorted_by("age", reverse=True, limit=10, offset=0) + source.sorted_by("name")
        counts: dict[Any, int] = source.value_counts(attr="name")
        groups: dict[Any, FilteredIndex] = source.group_by("name")
        means = {name: group.mean("age") for name, group in groups.items()}
        summed: int | float = source.sum("age")
        low: int | float | None = source.min("age")
        high: int | float | None = source.max(attr="age")
        average: float | None = source.mean("age")
        assert len(top) <= len(source) + 10 and sum(counts.values()) >= len(means) and low is not None
        assert summed >= 0 and high is not None and average is not None
    rebased.union_with(index)
    rebased.union_with(other=Index())
    rebased.reduce(name="Ann")
    clone = copy.deepcopy(staff[0])
    restored = pickle.loads(pickle.dumps(staff[0]))
    assert isinstance(restored, Person) and clone.name == restored.name == "Ann"
    try:
        Q.bt("age", "a", "z")
        index.reduced_query(Q.bt("age", "a", "z"))
    except NotImplementedError:
        pass
    except InternalError:
        raise
    print(version, total, names, len(listed), len(by_keyword), len(found), len(everyone), len(index))


if __name__ == "__main__":
    main()
