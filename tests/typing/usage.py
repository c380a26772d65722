"""A small typed program using every public call of Vostrel: `make typecheck` runs mypy --strict on it (against the
installed wheel's stubs) and then runs it."""

import copy
import pickle

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
