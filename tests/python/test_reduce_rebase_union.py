"""Index.reduce, FilteredIndex.rebase and Index.union_with: model-based differentials on random worlds (every value
kind, dotted paths, list members, views of views), later writes, views made earlier, edge cases, threads, bad input."""

import random
import threading
import time

import pytest

import Vostrel
from Vostrel import PyQueryExpr as Q
from Vostrel import _debug
from conftest import memory_error_after, scaled
from lock_harness import run_on_thread, run_threads
from model import Obj, build, evaluate
from test_engine_differential import World

WATCHDOG = 60


def ids(objects):
    return {id(o) for o in objects}


def check_index(world, where, index, members, queries=30):
    """Every query, keyword selection and view of a view answers for `members` exactly as the model does."""
    world.compare(where, "collect()", index.collect(), ids(members))
    if len(index) != len(members):
        world.fail(where, f"len {len(index)} != {len(members)}")
    for _ in range(queries):
        world.check_query(where, index, members, world.tree(members))
    for _ in range(4):
        world.check_keywords(where, index, members, True)
    # A view of a view narrows within the first one's objects.
    outer = world.tree(members)
    try:
        first = evaluate(outer, members, world.attrs_of)
    except Exception:  # a bad bound: covered by check_query
        return
    view = index.reduced_query(build(outer))
    scope = [o for o in members if id(o) in first]
    for _ in range(5):
        world.check_query(where + " view", view, scope, world.tree(scope))


def selection(world, members):
    """Keywords (name or dotted path = value) held by some member, and the members they select."""
    world.scope = members
    try:
        fact = world.fact()
    finally:
        world.scope = None
    if fact is None:
        return {}, list(members)
    path, value = fact
    chosen = evaluate(("eq", path, value), members, world.attrs_of)
    return {path: value}, [o for o in members if id(o) in chosen]


def fresh_index(objects):
    index = Vostrel.Index()
    for obj in objects:
        index.add_object(obj)
    return index


@pytest.fixture(params=["pruned at once", "prune deferred"])
def prune_mode(request):
    """A reduce prunes at once, or (however few objects it drops) leaves the rest of its prune pending until the next
    writer: every answer must be the same either way."""
    deferred = request.param == "prune deferred"
    former = _debug.defer_prunes_from(1 if deferred else 10**9)
    _debug.hold_prune_worker(deferred)
    try:
        yield deferred
    finally:
        _debug.hold_prune_worker(False)
        _debug.finish_prunes()
        _debug.defer_prunes_from(former)


def reduce_beside_a_twin(world, index, members, kw, queries=12):
    """Reduces `index` with its prune left pending, and a twin index over the same objects at once; views made before
    on both (removed objects answering as objects with no values) must answer alike while the prune is pending."""
    twin = fresh_index(members)
    before, twin_before = index.reduced(), twin.reduced()
    former = _debug.defer_prunes_from(10**9)
    twin.reduce(**kw)
    _debug.defer_prunes_from(former)
    index.reduce(**kw)
    for _ in range(queries):
        tree = world.tree(members)
        try:
            want = twin_before.reduced_query(build(tree)).collect()
        except Exception as error:  # a bad bound raises alike on both
            with pytest.raises(type(error)):
                before.reduced_query(build(tree))
            continue
        got = before.reduced_query(build(tree)).collect()
        held = ids(members)
        assert len(got) == len(want), f"seed {world.seed}: {tree}"
        assert [o for o in got if id(o) in held] == [o for o in want if id(o) in held], f"seed {world.seed}: {tree}"
    return before


def writes_then_check(world, where, index, members, count=25):
    for _ in range(count):
        world.random_write()
    check_index(world, where + " after writes", index, members, queries=15)


# ---- differentials against the model ---------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(scaled(8)))
def test_reduce_matches_the_model_and_a_fresh_index(seed, prune_mode):
    world = World(8100 + seed, sizes=(10, 12, 30))
    rng = world.rng
    members = world.layers[2] + rng.sample(world.lower(2), 6)
    index = fresh_index(members)
    for round_no in range(3):
        before = index.reduced()
        if round_no == 1:
            # Most objects stay (they are taken out one by one) or most go (the kept ones are registered anew).
            share = rng.choice((0.15, 0.85))
            for obj in members:
                world.write(obj, "grp", rng.random() < share)
            kw = {"grp": True}
            kept = [o for o in members if o.grp is True]
        else:
            kw, kept = selection(world, members)
        if rng.random() < 0.15:
            kw, kept = {}, list(members)
        if prune_mode:
            before = reduce_beside_a_twin(world, index, members, kw)
        else:
            index.reduce(**kw)
        where = f"seed {world.seed} round {round_no} reduce({sorted(kw)})"
        check_index(world, where, index, kept)
        # The view made before keeps its ids: kept objects as they are, a placeholder for each removed one.
        listed = before.collect()
        assert len(listed) == len(members), where
        kept_ids = ids(kept)
        assert [o for o in listed if id(o) in kept_ids] == [o for o in index.collect()], where
        assert all(id(o) not in ids(members) for o in listed if id(o) not in kept_ids), where
        members = kept
        writes_then_check(world, where, index, members)
        # And a few objects added back in.
        extra = rng.sample(world.all_objects(), 4)
        for obj in extra:
            index.add_object(obj)
            if id(obj) not in ids(members):
                members.append(obj)
    assert not world.failures, "\n".join(world.failures[:6])


@pytest.mark.parametrize("seed", range(scaled(8)))
def test_rebase_matches_the_model(seed):
    world = World(8200 + seed, sizes=(10, 12, 30))
    rng = world.rng
    members = world.layers[2] + rng.sample(world.lower(2), 8)
    index = fresh_index(members)
    for round_no in range(3):
        tree = world.tree(members, depth=2)
        try:
            chosen = evaluate(tree, members, world.attrs_of)
        except Exception:
            continue
        view = index.reduced_query(build(tree))
        if rng.random() < 0.3:
            view = view.reduced()
        scope = [o for o in members if id(o) in chosen]
        rebased = view.rebase()
        assert type(rebased) is Vostrel.Index
        where = f"seed {world.seed} round {round_no} rebase"
        check_index(world, where, rebased, scope)
        writes_then_check(world, where, rebased, scope)
        check_index(world, where + " source", index, members, queries=10)
        # Independent: changing the source leaves the rebased index as it was.
        if members:
            gone = rng.choice(members)
            index.remove_object(gone)
            members = [o for o in members if o is not gone]
            check_index(world, where + " after a source removal", rebased, scope, queries=10)
    assert not world.failures, "\n".join(world.failures[:6])


@pytest.mark.parametrize("seed", range(scaled(8)))
def test_union_matches_the_model(seed):
    world = World(8300 + seed, sizes=(10, 12, 30))
    rng = world.rng
    everyone = world.all_objects()
    left = rng.sample(everyone, len(everyone) // 2)
    right = rng.sample(everyone, len(everyone) // 2)
    a, b = fresh_index(left), fresh_index(right)
    a.union_with(b)
    merged = left + [o for o in right if id(o) not in ids(left)]
    where = f"seed {world.seed} union"
    check_index(world, where, a, merged)
    check_index(world, where + " other unchanged", b, right, queries=10)
    writes_then_check(world, where, a, merged)
    check_index(world, where + " other after writes", b, right, queries=10)
    # Union of the result with itself and with an empty index changes nothing.
    a.union_with(a)
    a.union_with(Vostrel.Index())
    check_index(world, where + " self and empty", a, merged, queries=10)
    # Into an empty index: the same answers as the other.
    c = Vostrel.Index()
    c.union_with(b)
    check_index(world, where + " into empty", c, right, queries=10)
    assert not world.failures, "\n".join(world.failures[:6])


# ---- the faults each operation must not have --------------------------------------------------------------------


def test_reduce_keeps_the_list_members_of_kept_objects(prune_mode):
    keep = Obj(group="a", tags=["vip", "x"], nested=[["deep"]])
    drop = Obj(group="b", tags=["vip", "y"], nested=[["deep"]])
    index = fresh_index([keep, drop])
    index.reduce(group="a")
    assert index.get_by_attribute(tags="vip") == [keep]
    assert index.reduced_query(Q.eq("tags", "y")).collect() == []
    assert index.reduced_query(Q.starts_with("tags", "v")).collect() == [keep]
    assert index.reduced_query(Q.eq("nested", "deep")).collect() == [keep]
    keep.tags = ["z"]
    assert index.get_by_attribute(tags="vip") == []
    assert index.get_by_attribute(tags="z") == [keep]


def test_reduce_prunes_nested_objects_by_their_exact_holders(prune_mode):
    shared, only_dropped, only_kept = Obj(c="shared"), Obj(c="dropped"), Obj(c="kept")
    keep = Obj(k=1, n=shared, m=only_kept)
    drop = Obj(k=2, n=shared, m=only_dropped)
    index = fresh_index([keep, drop])
    index.reduce(k=1)
    assert index.get_by_attribute(**{"n.c": "shared"}) == [keep]
    assert index.get_by_attribute(**{"m.c": "kept"}) == [keep]
    assert index.get_by_attribute(**{"m.c": "dropped"}) == []
    # The nested object that only the removed holder linked is gone from the nested index: a write to it is inert.
    only_dropped.c = "kept"
    assert index.get_by_attribute(**{"m.c": "kept"}) == [keep]
    shared.c = "moved"
    assert index.get_by_attribute(**{"n.c": "moved"}) == [keep]


def test_reduce_edge_cases(prune_mode):
    objs = [Obj(x=i % 3, s="ab" * i) for i in range(9)]
    index = fresh_index(objs)
    view = index.reduced()
    index.reduce()
    assert index.collect() == objs
    index.reduce(missing=1)  # nobody has it: everything goes
    assert index.collect() == [] and len(index) == 0
    placeholders = view.collect()
    assert len(placeholders) == 9 and all(o not in objs for o in placeholders)
    assert all(type(o) is Vostrel.Indexable for o in placeholders)
    assert index.reduced_query(Q.eq("x", 1)).collect() == []
    index.add_object(objs[0])
    assert index.collect() == [objs[0]]
    assert index.get_by_attribute(x=0) == [objs[0]]
    # A removed object that lives on keeps its values, and other indexes keep it.
    other = fresh_index(objs)
    index = fresh_index(objs)
    index.reduce(x=2)
    assert index.collect() == [o for o in objs if o.x == 2]
    assert other.get_by_attribute(x=0) == [o for o in objs if o.x == 0]
    objs[0].x = 5
    assert other.get_by_attribute(x=5) == [objs[0]] and index.get_by_attribute(x=5) == []
    # An exact value shared by a kept and a removed object answers the kept one only.
    token = object()
    a, b = Obj(t=token, k=1), Obj(t=token, k=2)
    index = fresh_index([a, b])
    index.reduce(k=1)
    assert index.get_by_attribute(t=token) == [a]
    with pytest.raises(TypeError):
        index.reduce(1)
    assert index.collect() == [a]


def test_rebase_edge_cases():
    objs = [Obj(x=i) for i in range(6)]
    index = fresh_index(objs)
    empty = index.reduced(x=99).rebase()
    assert empty.collect() == [] and len(empty) == 0
    view = index.reduced_query(Q.lt("x", 4))
    objs[0].x = 10  # changed after the view was made: indexed by its current value
    rebased = view.rebase()
    assert rebased.get_by_attribute(x=10) == [objs[0]]
    assert rebased.reduced_query(Q.ge("x", 0)).collect() == objs[:4]
    objs[1].x = 20  # later writes reach the new index (it is in the membership list)
    assert rebased.get_by_attribute(x=20) == [objs[1]]
    # An attribute name interned long after the others.
    late = Obj(**{f"late_name_{random.Random(3).random()}": 7})
    index.add_object(late)
    assert set(map(id, index.reduced().rebase().collect())) == ids(objs + [late])
    # Ids removed by a reduce after the view was made are not carried over.
    before = index.reduced()
    index.reduce(x=2)
    assert before.rebase().collect() == [o for o in before.collect() if o in objs + [late]]
    with pytest.raises(TypeError):
        view.rebase(1)


def test_union_carries_every_kind_and_nested_paths():
    token, inner = object(), Obj(city="Oslo", tags=["a", "b"])
    a = Obj(name="left", n=1)
    b = Obj(name="", u=token, n=2.5, flag=True, tags=["vip", ("t", "u")], friend=inner, d={"k": 1})
    mine, other = fresh_index([a]), fresh_index([b])
    mine.union_with(other)
    assert mine.get_by_attribute(u=token) == [b]  # Unknown, held only by the other index
    assert mine.get_by_attribute(friend=inner) == [b]  # Ind
    assert mine.get_by_attribute(name="") == [b]  # the empty-string set
    assert mine.get_by_attribute(**{"friend.city": "Oslo"}) == [b]  # nested index and its links
    assert mine.get_by_attribute(**{"friend.tags": "b"}) == [b]
    assert mine.get_by_attribute(tags="vip") == [b] and mine.get_by_attribute(tags="u") == [b]
    assert mine.get_by_attribute(flag=True) == [b]
    assert mine.reduced_query(Q.bt("n", 1, 3)).collect() == [a, b]
    assert mine.reduced_query(Q.ends_with("name", "eft")).collect() == [a]
    # Membership: later writes to the other's objects reach this index, nested ones too.
    b.name = "changed"
    inner.city = "Bergen"
    assert mine.get_by_attribute(name="changed") == [b]
    assert mine.get_by_attribute(**{"friend.city": "Bergen"}) == [b]
    assert mine.get_by_attribute(**{"friend.city": "Oslo"}) == []
    assert mine.get_by_attribute(name="") == []
    # The other index's own structures are unaffected by later removals here.
    mine.remove_object(b)
    assert other.get_by_attribute(**{"friend.city": "Bergen"}) == [b]


def test_union_keeps_strings_of_different_widths_centred():
    short, long = Obj(s="ab"), Obj(s="a" * 40 + "xyz")
    mine, other = fresh_index([long]), fresh_index([short])
    mine.union_with(other)
    assert mine.reduced_query(Q.starts_with("s", "ab")).collect() == [short]
    assert mine.reduced_query(Q.ends_with("s", "ab")).collect() == [short]
    assert mine.reduced_query(Q.ends_with("s", "xyz")).collect() == [long]
    assert mine.reduced_query(Q.contains("s", "b")).collect() == [short]
    mine2, other2 = fresh_index([short]), fresh_index([long])
    mine2.union_with(other2)
    assert mine2.reduced_query(Q.starts_with("s", "aaa")).collect() == [long]
    assert mine2.reduced_query(Q.ends_with("s", "yz")).collect() == [long]
    assert mine2.get_by_attribute(s="ab") == [short]


def test_union_of_shared_objects_lists_them_once_and_rejects_bad_input():
    shared = [Obj(x=i, tags=[i]) for i in range(5)]
    mine, other = fresh_index(shared[:4]), fresh_index(shared[2:])
    mine.union_with(other=other)
    # Each listed once (ids freed by earlier tests' objects may be reused out of creation order, so not by position).
    assert len(mine.collect()) == len(shared) and {id(o) for o in mine.collect()} == {id(o) for o in shared}
    assert mine.get_by_attribute(tags=3) == [shared[3]]
    shared[3].tags = [9]
    assert mine.get_by_attribute(tags=9) == [shared[3]] and other.get_by_attribute(tags=9) == [shared[3]]
    for bad in (None, mine.reduced(), 3, [shared[0]]):
        with pytest.raises(TypeError, match="other"):
            mine.union_with(bad)
    with pytest.raises(TypeError):
        mine.union_with()
    assert {id(o) for o in mine.collect()} == {id(o) for o in shared}


@pytest.mark.parametrize("fail_after", [0, 1, 3, 5])
def test_failed_union_leaves_both_indexes_and_every_membership_as_they_were(fail_after):
    inner = [Obj(city=f"c{i}", tags=[i, "x"]) for i in range(4)]
    theirs_objs = [Obj(name=f"o{i}", n=i, tags=["t", i], home=inner[i % 4], flag=i % 2 == 0) for i in range(30)]
    mine_objs = [Obj(name=f"m{i}", n=-i) for i in range(5)]
    mine, other = fresh_index(mine_objs), fresh_index(theirs_objs)
    queries = [Q.eq("n", 3), Q.eq("tags", "t"), Q.eq("home.city", "c1"), Q.starts_with("name", "o1"),
               Q.eq("flag", True), Q.eq("home.tags", "x"), Q.lt("n", 0)]
    answers = [mine.reduced_query(q).collect() for q in queries]
    with memory_error_after(_debug.fail_map_merge_after, fail_after):
        mine.union_with(other)
    assert ids(mine.collect()) == ids(mine_objs) and len(mine) == 5 and len(other) == len(theirs_objs)
    assert [mine.reduced_query(q).collect() for q in queries] == answers
    # Only the other index holds its objects (and its nested ones): writes to them leave this index alone.
    assert [_debug.membership_count(o) for o in theirs_objs + inner] == [1] * 34
    theirs_objs[0].name = "m0"
    inner[0].city = "moved"
    assert mine.get_by_attribute(name="m0") == [mine_objs[0]]
    assert mine.get_by_attribute(**{"home.city": "moved"}) == []
    # The union goes through afterwards.
    mine.union_with(other)
    assert ids(mine.collect()) == ids(mine_objs + theirs_objs) and len(mine) == 35
    assert [_debug.membership_count(o) for o in theirs_objs] == [2] * 30
    # Compared as sets: answers come in id order, and reused ids need not follow creation order.
    assert ids(mine.get_by_attribute(**{"home.city": "moved"})) == ids(theirs_objs[::4])


# ---- threads (a hang ends the process with every stack printed) --------------------------------------------------


def test_two_threads_merging_into_each_other_do_not_deadlock():
    def run():
        a = fresh_index([Obj(x=i, f=Obj(y=i)) for i in range(50)])
        b = fresh_index([Obj(x=i + 100) for i in range(50)])
        barrier = threading.Barrier(2)

        def merge(into, other):
            barrier.wait()
            for _ in range(20):
                into.union_with(other)

        threads = [threading.Thread(target=merge, args=pair, daemon=True) for pair in ((a, b), (b, a))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return len(a), len(b)

    assert run_on_thread(run, WATCHDOG) == (100, 100)


def test_writes_racing_each_operation_keep_answers_exact():
    population = [Obj(k=i % 4, v=i, tags=[i % 3], f=Obj(c=i % 5)) for i in range(120)]
    base = fresh_index(population)
    results = []

    def writer(rng):
        obj = rng.choice(population)
        obj.v = rng.randrange(1000)
        obj.tags = [rng.randrange(3)]
        obj.f.c = rng.randrange(5)

    def operate(rng):
        choice = rng.randrange(3)
        if choice == 0:
            index = fresh_index(rng.sample(population, 40))
            index.reduce(k=rng.randrange(4))
        elif choice == 1:
            index = base.reduced(k=rng.randrange(4)).rebase()
        else:
            index = fresh_index(rng.sample(population, 30))
            index.union_with(fresh_index(rng.sample(population, 30)))
        results.append(index)
        if len(results) > 8:
            results.pop(0)

    run_threads([writer, writer, operate, operate], seconds=1.5)
    # Quiet now: every index built under the race answers exactly for its current objects.
    for index in results:
        held = index.collect()
        for probe in range(3):
            want = [o for o in held if o.tags == [probe]]
            assert index.get_by_attribute(tags=probe) == want
            want = [o for o in held if o.f.c == probe]
            assert index.get_by_attribute(**{"f.c": probe}) == want
        for obj in held[:10]:
            assert obj in index.get_by_attribute(v=obj.v)


def test_whole_index_answers_keep_to_its_objects_midway_through_a_change():
    """A union or batch paused before it publishes its ids (its values already in the maps) and a removal paused
    before its values go: every query over the whole index answers for the objects it holds then, nothing more."""
    rng = random.Random(11)
    objs = [Obj(k=i % 3, v=rng.uniform(0, 100), s=f"n{i}", on=i % 2 == 0) for i in range(90)]
    trees = [("eq", "k", 1), ("eq", "s", "n25"), ("bt", "v", 10.0, 40.0), ("gt", "v", 90.0),
             ("starts_with", "s", "n2"), ("eq", "on", True), ("not", ("eq", "k", 0)),
             ("and", [("eq", "k", 2), ("lt", "v", 50.0)]), ("or", [("eq", "s", "n45"), ("eq", "k", 1)])]
    index, other = fresh_index(objs[:30]), fresh_index(objs[30:60])

    def check(members, where):
        for tree in trees:
            view = index.reduced_query(build(tree))
            expected = evaluate(tree, members, lambda o: {name: getattr(o, name) for name in ("k", "v", "s", "on")})
            assert len(view) == len(expected), (where, tree)
            assert {id(o) for o in view.collect()} == expected, (where, tree)

    def paused(change, members, where):
        _debug.hold_changes_midway(True)
        try:
            worker = threading.Thread(target=change, daemon=True)
            worker.start()
            deadline = time.monotonic() + WATCHDOG
            while _debug.changes_waiting() == 0:
                assert time.monotonic() < deadline, f"{where}: the change never reached its pause"
                time.sleep(0.001)
            check(members, where)
        finally:
            _debug.hold_changes_midway(False)
        worker.join(WATCHDOG)
        assert not worker.is_alive()

    paused(lambda: index.union_with(other), objs[:30], "union before its ids")
    check(objs[:60], "after the union")
    paused(lambda: index.add_object_many(objs[60:]), objs[:60], "batch before its ids")
    check(objs, "after the batch")
    kept = objs[:25] + objs[26:]
    paused(lambda: index.remove_object(objs[25]), kept, "removal before its values")
    check(kept, "after the removal")
