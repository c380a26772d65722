"""ShardedIndex on a local Ray cluster against one Index over the same objects: every answer alike, writes too."""

import math
import os
import random

# Ray's own processes talk over loopback only, and send no usage report (read when ray is imported).
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import pytest  # noqa: E402

ray = pytest.importorskip("ray")

import Vostrel  # noqa: E402
import vostrel_ray  # noqa: E402

Q = Vostrel.PyQueryExpr
SEED = 20250101
CITIES = ["Oslo", "Rome", "Åre", "Bergen", "Lyon"]


class Person(Vostrel.Indexable):
    pass


@pytest.fixture(scope="module", autouse=True)
def cluster():
    # The actors unpickle Person, so they import this module as the test run does.
    here = os.path.dirname(os.path.abspath(__file__))
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"PYTHONPATH": here}})
    yield
    ray.shutdown()


def person(rng, n):
    p = Person(id=n, city=rng.choice(CITIES), pay=rng.randrange(4000) / 4, name=rng.choice("ABCD") + str(n),
               tags=rng.sample(["x", "y", 3, None], rng.randrange(3)), home=Person(city=rng.choice(CITIES)),
               big=rng.choice([rng.randrange(-9, 9), 2**70 + n, 2**62 + rng.randrange(2**20)]),
               age=rng.choice([rng.randrange(18, 80)] * 6 + [True, None, float("nan"), "old", 40.5]))
    if rng.random() < 0.8:
        p.score = rng.randrange(100)
    # Shard 0 (even ids) holds bools, text and one float, shard 1 ints: merged counts must put bools under equal
    # numbers and answer floats, as one index does.
    p.flag = 2.5 if n == 0 else [True, False, "t"][n // 2 % 3] if n % 2 == 0 else [1, 0, 2][n // 2 % 3]
    p.switch = n % 4 in (0, 3)  # as many True as False: their order among equal counts
    return p


@pytest.fixture(scope="module")
def pair():
    rng = random.Random(SEED)
    objs = [person(rng, n) for n in range(600)]
    local = Vostrel.Index()
    local.add_object_many(objs)
    sharded = vostrel_ray.ShardedIndex(2, key="id")
    sharded.add_object_many(objs)
    return rng, objs, local, sharded


def ids(objs):
    return sorted(o.id for o in objs)


def same_number(a, b):
    return type(a) is type(b) and (a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b)))


def typed(answer):
    """A dict's items with each key's type: 1 and 1.0 are equal keys, yet one index answers one of them."""
    return [(type(key), key, value) for key, value in answer.items()]


def order_key(objs, attr):
    """sorted_by's sequence as values (other kinds as one mark: their id order is each index's own)."""
    values = [getattr(o, attr, None) for o in objs]
    return [v if isinstance(v, (int, float, str)) and not isinstance(v, bool) and v == v else "<other>" for v in values]


QUERIES = [None, Q.lt("age", 40), Q.eq("flag", "t"), Q.eq("home.city", "Oslo") | Q.in_("tags", ["x", 3]),
           Q.starts_with("name", "A") & ~Q.eq("city", "Rome"), Q.gt("big", 2**70 + 300)]


def check_alike(local, sharded):
    assert len(sharded) == len(local)
    assert ids(sharded.collect()) == ids(local.collect())
    assert ids(sharded.get_by_attribute(city="Oslo")) == ids(local.get_by_attribute(city="Oslo"))
    assert ids(sharded.reduced(city="Lyon", score=7).collect()) == ids(local.reduced(city="Lyon", score=7).collect())
    for where in QUERIES:
        view = local if where is None else local.reduced_query(where)
        if where is not None:
            assert ids(sharded.reduced_query(where).collect()) == ids(view.collect())
        assert sharded.count(where) == len(view)
        for attr in ("age", "pay", "name", "score"):
            for reverse in (False, True):
                for offset, limit in ((0, None), (0, 10), (7, 5), (len(view) - 3, 50)):
                    mine = sharded.sorted_by(attr, reverse=reverse, limit=limit, offset=offset, where=where)
                    theirs = view.sorted_by(attr, reverse=reverse, limit=limit, offset=max(offset, 0))
                    assert order_key(mine, attr) == order_key(theirs, attr), (attr, reverse, offset, limit)
                    if limit is None:
                        assert ids(mine) == ids(theirs)
        for attr in ("city", "age", "tags", "home.city", "score", "flag", "switch", "missing"):
            assert typed(sharded.value_counts(attr, where=where)) == typed(view.value_counts(attr))
            mine_groups = sharded.group_by(attr, where=where)
            their_groups = view.group_by(attr)
            assert [(type(k), k) for k in mine_groups] == [(type(k), k) for k in their_groups]
            assert all(ids(mine_groups[k].collect()) == ids(g.collect()) for k, g in their_groups.items())
        for attr in ("age", "pay", "big", "score", "flag", "missing", "city"):
            for name in ("sum", "min", "max", "mean"):
                mine, theirs = getattr(sharded, name)(attr, where=where), getattr(view, name)(attr)
                assert same_number(mine, theirs) or mine is theirs is None, (name, attr, mine, theirs)
        columns = ["id", "city", "pay", "score", "name"]
        assert sharded.to_arrow(columns, where=where).sort_by("id").equals(view.to_arrow(columns).sort_by("id"))
        mine_frame = sharded.to_pandas(columns, where=where).sort_values("id", ignore_index=True)
        their_frame = view.to_pandas(columns).sort_values("id", ignore_index=True)
        assert mine_frame.equals(their_frame)
        assert sorted(sharded.to_dicts(["id", "score", "tags"], where=where), key=lambda d: d["id"]) == sorted(
            view.to_dicts(["id", "score", "tags"]), key=lambda d: d["id"])


def test_answers_alike_before_and_after_routed_writes(pair):
    rng, objs, local, sharded = pair
    check_alike(local, sharded)
    for n in rng.sample(range(len(objs)), 80):
        attrs = {"age": rng.choice([rng.randrange(18, 80), 55.5, None]), "city": rng.choice(CITIES),
                 "pay": rng.randrange(4000) / 4}
        assert sharded.update(n, **attrs) == 1
        for name, value in attrs.items():
            setattr(objs[n], name, value)
    for n in rng.sample(range(len(objs)), 60):
        removed = sharded.remove(n, where=Q.ne("city", "Oslo"))
        assert removed == (objs[n].city != "Oslo")
        if removed and objs[n] in local:
            local.remove_object(objs[n])
    assert sharded.update(10**9, age=1) == 0  # no such key: nothing changes
    check_alike(local, sharded)


def test_bad_input_changes_nothing(pair):
    _, _, local, sharded = pair
    before = len(sharded)
    with pytest.raises(ValueError, match="shard key"):
        sharded.update(1, id=2)
    with pytest.raises(ValueError, match="shard key attribute 'id'"):
        sharded.add_object_many([Person(id=10**6), Person(name="no id")])
    with pytest.raises(TypeError):
        sharded.add_object_many([Person(id=[1])])
    with pytest.raises(TypeError):
        sharded.add_object_many([{"id": 1}])
    with pytest.raises(NotImplementedError):
        sharded.sum("home.city")
    with pytest.raises(ValueError):
        vostrel_ray.ShardedIndex(0, "id")
    assert len(sharded) == before == len(local)


def test_function_key_routes_stably_and_guards_its_value():
    sharded = vostrel_ray.ShardedIndex(2, key=lambda o: o.name.lower())
    people = [Person(name=name, n=k) for k, name in enumerate(["Ann", "ann", "Bob", "Cy", "Dee"] * 4)]
    sharded.add_object_many(people)
    assert [vostrel_ray.shard_of(v, 2) for v in ("ann", "bob", 7, 7.0, True, 2.5)] == [
        sharded.shard_of(v) for v in ("ann", "bob", 7, 7.0, True, 2.5)]
    assert vostrel_ray.shard_of(7, 2) == vostrel_ray.shard_of(7.0, 2) == 1
    assert sharded.update("ann", where=Q.lt("n", 5), flag=True) == 2
    assert sharded.count(Q.eq("flag", True)) == 2
    with pytest.raises(ValueError, match="shard key"):
        sharded.update("bob", name="Zed")
    assert sharded.count(Q.eq("name", "Zed")) == 0
    assert sharded.remove("cy") == 4 and len(sharded) == 16


def test_dead_shard_raises_naming_it():
    sharded = vostrel_ray.ShardedIndex(2, key="id")
    sharded.add_object_many(Person(id=n) for n in range(10))
    ray.kill(sharded.actors[1])
    for call in (len, lambda s: s.value_counts("id"), lambda s: s.sorted_by("id", limit=3),
                 lambda s: s.update(1, x=1)):
        with pytest.raises(vostrel_ray.ShardError, match=r"^shard 1 of 2 is unavailable: ") as caught:
            call(sharded)
        assert caught.value.shard == 1 and isinstance(caught.value.__cause__, ray.exceptions.RayActorError)
