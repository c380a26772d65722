"""Index.reduce and Index.union_with work on whole structures at once: members of lists shared between objects,
nested objects two levels down, empty and differently sized strings, membership records, chains of operations
against the model, and writes racing the operations."""

import random

import pytest

import Vostrel
from Vostrel import PyQueryExpr as Q
from Vostrel import _debug
from conftest import scaled
from lock_harness import run_threads
from model import Obj
from test_engine_differential import World
from test_reduce_rebase_union import check_index, fresh_index, ids, selection, writes_then_check


def answers(index, queries):
    return [[id(o) for o in index.reduced_query(q).collect()] for q in queries]


def assert_same_as_fresh(index, queries):
    """Every query answers exactly as an index built anew from the same objects with add_object."""
    fresh = fresh_index(index.collect())
    got, want = answers(index, queries), answers(fresh, queries)
    for query, g, w in zip(queries, got, want):
        assert g == w, repr(query)


def list_world(seed, count=40):
    rng = random.Random(seed)
    shared_objs = [Obj(c=f"c{i}", w=i) for i in range(5)]
    objs = []
    for i in range(count):
        tags = [rng.choice(["vip", "new", "", "x" * rng.randrange(1, 30)]) for _ in range(rng.randrange(0, 4))]
        if rng.random() < 0.5:
            tags.append(rng.choice(shared_objs))  # nested objects held by list members
        if rng.random() < 0.3:
            tags.append([rng.randrange(3), ("deep", rng.randrange(2))])  # members of members
        objs.append(Obj(k=i % 4, most=i % 4 != 0, tags=tags, n=rng.randrange(100), f=rng.choice(shared_objs)))
    queries = [Q.eq("tags", v) for v in ("vip", "new", "", 0, 1, 2, "deep")]
    queries += [Q.starts_with("tags", "xx"), Q.ends_with("tags", "x"), Q.contains("tags", "i")]
    queries += [Q.eq("tags.c", f"c{i}") for i in range(5)] + [Q.eq("f.c", f"c{i}") for i in range(5)]
    queries += [Q.gt("tags.w", 1), Q.lt("n", 50), Q.eq("tags", shared_objs[0])]
    return rng, objs, shared_objs, queries


@pytest.mark.parametrize("seed", range(4))
def test_reduce_and_union_with_shared_list_members(seed):
    rng, objs, shared_objs, queries = list_world(900 + seed)
    index = fresh_index(objs)
    index.reduce(k=rng.randrange(4))  # most objects go
    assert_same_as_fresh(index, queries)
    # Most objects stay: only a quarter goes.
    index = fresh_index(objs)
    index.reduce(most=True)
    assert_same_as_fresh(index, queries)
    # Union of two overlapping halves, then writes to members and to nested objects held by members.
    left, right = fresh_index(objs[:25]), fresh_index(objs[15:])
    left.union_with(right)
    assert ids(left.collect()) == ids(objs)
    assert_same_as_fresh(left, queries)
    for obj in rng.sample(objs, 10):
        obj.tags = [rng.choice(["vip", "zz"]), rng.choice(shared_objs)]
    shared_objs[0].c = "moved"
    shared_objs[1].w = 99
    assert_same_as_fresh(left, queries + [Q.eq("tags.c", "moved"), Q.eq("tags", "zz")])
    # The other index answers for its own objects only, as before.
    assert ids(right.collect()) == ids(objs[15:])
    assert_same_as_fresh(right, queries)


def test_nested_chains_two_levels_deep():
    leaves = [Obj(v=i, s="leaf" * (i % 3)) for i in range(6)]
    mids = [Obj(g=leaves[i % 6], m=i) for i in range(8)]
    tops = [Obj(f=mids[i % 8], k=i % 3, t=i) for i in range(12)]
    queries = [Q.eq("f.g.v", v) for v in range(6)] + [Q.eq("f.m", m) for m in range(8)]
    queries += [Q.eq("f.g.s", ""), Q.starts_with("f.g.s", "leafl"), Q.ge("f.g.v", 3)]
    index = fresh_index(tops)
    index.reduce(k=1)
    assert_same_as_fresh(index, queries)
    # Nested objects only removed tops linked are gone: writes to them reach nobody here.
    kept_mids = {id(o.f) for o in index.collect()}
    stray = next(m for m in mids if id(m) not in kept_mids)
    stray.m = 1000
    assert index.get_by_attribute(**{"f.m": 1000}) == []
    assert_same_as_fresh(index, queries)
    # Union brings both levels along, and later writes two levels down reach the merged index.
    other = fresh_index(tops[6:])
    mine = fresh_index(tops[:4])
    mine.union_with(other)
    assert_same_as_fresh(mine, queries)
    leaves[2].v = 42
    mids[7].g = leaves[0]
    assert_same_as_fresh(mine, queries + [Q.eq("f.g.v", 42)])
    assert mine.get_by_attribute(**{"f.g.v": 42}) == [o for o in mine.collect() if o.f.g.v == 42]


def test_strings_empty_and_of_different_widths():
    short = [Obj(s=v) for v in ("", "a", "ab", "")]
    long = [Obj(s=v) for v in ("x" * 50 + "ab", "ab" + "y" * 33, "", "mid" * 7)]
    queries = [Q.eq("s", ""), Q.eq("s", "ab"), Q.starts_with("s", "ab"), Q.ends_with("s", "ab"),
               Q.contains("s", "b"), Q.starts_with("s", "x"), Q.ends_with("s", "yy"), Q.contains("s", "dmi"),
               Q.starts_with("s", ""), Q.ne("s", "")]
    for first, second in ((short, long), (long, short)):
        mine, other = fresh_index(first), fresh_index(second)
        mine.union_with(other)
        assert_same_as_fresh(mine, queries)
        mine.reduce(s="")  # only the empty strings stay
        assert sorted(map(id, mine.collect())) == sorted(id(o) for o in first + second if o.s == "")
        assert_same_as_fresh(mine, queries)
        for obj in first + second:
            obj.s = obj.s[::-1] + "!"  # writes after both operations
        assert_same_as_fresh(mine, queries + [Q.ends_with("s", "!")])
        for obj, value in zip(first + second, [o.s[:-1][::-1] for o in first + second]):
            obj.s = value


def test_membership_records_follow_the_operations():
    inner = [Obj(c=i) for i in range(4)]
    objs = [Obj(k=i % 2, f=inner[i % 4], tags=[inner[(i + 1) % 4]]) for i in range(8)]
    index = fresh_index(objs)
    before = [_debug.membership_count(o) for o in objs]
    view = index.reduced()
    index.reduce(k=0)
    for obj, count in zip(objs, before):
        assert _debug.membership_count(obj) == (count if obj.k == 0 else count - 1)
    # The view made before keeps every id: kept objects, placeholders for the others.
    listed = view.collect()
    assert [o for o in listed if o in objs] == [o for o in objs if o.k == 0]
    assert sum(1 for o in listed if o not in objs) == 4
    # Union registers this index with each new object (and nested indexes with the nested ones).
    target = Vostrel.Index()
    counts = [_debug.membership_count(o) for o in objs]
    inner_counts = [_debug.membership_count(o) for o in inner]
    source = fresh_index(objs)
    target.union_with(source)
    assert [_debug.membership_count(o) for o in objs] == [c + 2 for c in counts]  # the source index and target
    assert all(_debug.membership_count(o) > c for o, c in zip(inner, inner_counts))
    objs[1].k = 7
    assert target.get_by_attribute(k=7) == [objs[1]]


@pytest.mark.parametrize("seed", range(scaled(6)))
def test_chains_of_reduce_and_union_match_the_model(seed):
    world = World(9100 + seed, sizes=(10, 12, 30))
    rng = world.rng
    everyone = world.all_objects()
    members = rng.sample(everyone, len(everyone) // 2)
    index = fresh_index(members)
    for round_no in range(4):
        where = f"seed {world.seed} round {round_no}"
        if round_no % 2 == 0:
            incoming = rng.sample(everyone, len(everyone) // 3)
            index.union_with(fresh_index(incoming))
            known = ids(members)
            members = members + [o for o in incoming if id(o) not in known]
            where += " union"
        else:
            kw, members = selection(world, members)
            index.reduce(**kw)
            where += f" reduce({sorted(kw)})"
        check_index(world, where, index, members, queries=20)
        writes_then_check(world, where, index, members, count=15)
    assert not world.failures, "\n".join(world.failures[:6])


def test_writes_racing_reduce_and_union_leave_exact_answers():
    shared_objs = [Obj(c=i % 3, d=Obj(e=i)) for i in range(6)]
    population = [Obj(k=i % 5, v=i, tags=[i % 3, shared_objs[i % 6]], f=shared_objs[(i + 1) % 6])
                  for i in range(150)]
    results = []
    queries = [Q.eq("tags", p) for p in range(3)] + [Q.eq("f.c", c) for c in range(3)]
    queries += [Q.eq("f.d.e", e) for e in range(6)] + [Q.eq("tags.c", c) for c in range(3)] + [Q.lt("v", 500)]

    def writer(rng):
        obj = rng.choice(population)
        obj.v = rng.randrange(1000)
        obj.tags = [rng.randrange(3), rng.choice(shared_objs)]
        holder = rng.choice(shared_objs)
        holder.c = rng.randrange(3)
        holder.d.e = rng.randrange(6)

    def operate(rng):
        index = fresh_index(rng.sample(population, 60))
        if rng.random() < 0.5:
            index.reduce(k=rng.randrange(5))
        index.union_with(fresh_index(rng.sample(population, 40)))
        if rng.random() < 0.5:
            index.reduce(k=rng.randrange(5))
        results.append(index)
        if len(results) > 8:
            results.pop(0)

    run_threads([writer, writer, operate, operate], seconds=1.5)
    for index in results:
        assert_same_as_fresh(index, queries)


def big_world(count, seed):
    """Objects enough for reduce and union_with to narrow and merge the value maps on two threads: unique short and
    long strings, numbers gathering a few ids each, a handful of cities, flags, lists with members for some objects
    and nested objects for others."""
    rng = random.Random(seed)
    shared_objs = [Obj(c=f"c{i}", w=i) for i in range(4)]
    objs = []
    for i in range(count):
        attrs = dict(name=f"n{i}", email=f"person{i}@example.org", age=rng.randrange(18, 90),
                     salary=rng.randrange(2000) + 0.5, city=rng.choice(["Oslo", "Lima", "Kyoto"]),
                     active=rng.random() < 0.5, k=i % 10)
        if i % 7 == 0:
            attrs["tags"] = [rng.choice(["vip", "new"]), rng.choice(shared_objs)]
        if i % 5 == 0:
            attrs["f"] = rng.choice(shared_objs)
        objs.append(Obj(**attrs))
    queries = [Q.eq("k", 3), Q.eq("city", "Lima"), Q.eq("active", True), Q.lt("age", 30), Q.ge("salary", 1500)]
    queries += [Q.eq("name", "n70"), Q.eq("email", "person70@example.org"), Q.starts_with("email", "person12")]
    queries += [Q.eq("tags", "vip"), Q.eq("tags.c", "c1"), Q.eq("f.c", "c2"), Q.eq("f.w", 3)]
    return rng, objs, shared_objs, queries


def test_large_reduce_and_union_match_a_fresh_index():
    rng, objs, shared_objs, queries = big_world(100_000, 31)
    half = len(objs) // 2
    index = fresh_index(objs[:60_000])
    index.reduce(k=0)
    assert ids(index.collect()) == ids(o for o in objs[:60_000] if o.k == 0)
    assert_same_as_fresh(index, queries)
    # Writes reach the kept objects and no longer the removed ones.
    for obj in rng.sample(objs[:60_000], 200):
        obj.city = "Lima"
        obj.tags = ["vip", shared_objs[1]]
    shared_objs[2].c = "moved"
    assert_same_as_fresh(index, queries + [Q.eq("f.c", "moved")])
    assert_same_as_fresh(index, queries)

    left, right = fresh_index(objs[:half]), fresh_index(objs[half:])
    left.union_with(right)
    assert ids(left.collect()) == ids(objs)
    assert_same_as_fresh(left, queries)
    assert ids(right.collect()) == ids(objs[half:])
    # Then most of the union goes again.
    left.reduce(active=True, k=1)
    assert_same_as_fresh(left, queries)
