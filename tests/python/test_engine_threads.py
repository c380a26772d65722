"""Concurrency: Python threads adding, writing (scalars, lists, nested objects) and querying shared indexes.

Each test runs its threads for a bounded time with a short interpreter switch interval. A hang fails the run: the
faulthandler watchdog dumps every thread's stack and exits, and each join has a timeout. Afterwards every index must
agree with the reference evaluator over the values the objects ended up with.
"""

import faulthandler
import os
import random
import sys
import threading
import time
import traceback

import pytest

import Vostrel
from conftest import BASE_SEED
from model import Obj, build, evaluate, read_back

Q = Vostrel.PyQueryExpr
SEED = BASE_SEED
RUN_SECONDS = float(os.environ.get("VOSTREL_THREAD_SECONDS", 2.5))  # raise for soak runs
WATCHDOG_SECONDS = 120


@pytest.fixture(autouse=True)
def watchdog():
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more interleavings of the Python-side steps
    yield
    sys.setswitchinterval(interval)
    faulthandler.cancel_dump_traceback_later()


def run_for(seconds, workers):
    """Runs each worker(rng) in a loop on its own thread until time is up; fails on a hang or any exception."""
    stop = threading.Event()
    errors = []

    def loop(worker, seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                worker(rng)
        except BaseException:  # InternalError derives from BaseException
            errors.append(traceback.format_exc())
            stop.set()

    threads = [threading.Thread(target=loop, args=(w, SEED + i), daemon=True) for i, w in enumerate(workers)]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join(timeout=60)
    hung = [t for t in threads if t.is_alive()]
    assert not hung, f"{len(hung)} threads still running: deadlock? (VOSTREL_SEED={SEED})"
    assert not errors, f"VOSTREL_SEED={SEED}\n" + errors[0]


def assert_model(index, scope, shadow, trees, where):
    for tree in trees:
        expected = evaluate(tree, scope, lambda o: shadow[id(o)])
        got = index.reduced_query(build(tree)).collect()
        ids = [id(o) for o in got]
        assert len(ids) == len(set(ids)), f"{where}: duplicates for {tree}"
        assert set(ids) == expected, (f"{where} (VOSTREL_SEED={SEED}): {tree}: "
                                      f"missing {len(expected - set(ids))}, extra {len(set(ids) - expected)}")


def x_value(rng, leaves):
    r = rng.randrange(9)
    i = rng.randrange(12)
    return [i, f"s{i}", [i, -i], (f"s{i}", i), rng.choice(leaves), [rng.choice(leaves), rng.choice(leaves)],
            None, i + 0.5, {f"s{i}", i}][r]


def x_trees(leaves):
    trees = [("eq", "x", i) for i in range(12)] + [("eq", "x", f"s{i}") for i in range(12)]
    trees += [("eq", "x", -3), ("eq", "x", 2.5), ("eq", "x", None), ("gt", "x", 4), ("le", "x", 6.5),
              ("bt", "x", 2, 8), ("starts_with", "x", "s1"), ("contains", "x", "1"), ("ends_with", "x", ""),
              ("ne", "x", 3), ("not", ("in", "x", [1, "s2", None], False))]
    trees += [("eq", "x", leaf) for leaf in leaves[:4]] + [("eq", "n", leaf) for leaf in leaves[:4]]
    trees += [("eq", "x.y", 3), ("eq", "n.y", 3), ("gt", "n.y", 5), ("ne", "n.y", 2), ("starts_with", "n.y", "t"),
              ("in", "x.y", [1, 2, "t3"], True), ("and", [("eq", "k", 1), ("ge", "n.y", 3)]),
              ("or", [("eq", "k", 2), ("lt", "x", 3)])]
    trees += [("eq", "k", i) for i in range(5)]
    return trees


def test_adders_writers_and_queriers_share_indexes():
    rng = random.Random(SEED)
    leaves = [Obj(y=i) for i in range(8)]
    shared = [Obj(k=i % 5, x=i, n=leaves[i % 8]) for i in range(24)]
    key = {id(o): i % 5 for i, o in enumerate(shared)}
    idx, idx2 = Vostrel.Index(), Vostrel.Index()
    for o in shared:
        idx.add_object(o)
    for o in shared[::2]:
        idx2.add_object(o)
    started, done = [], []  # objects handed to idx.add_object, and those whose add returned

    def writer(r):
        o = r.choice(shared)
        if r.random() < 0.7:
            o.x = x_value(r, leaves)
        else:
            o.n = r.choice([r.choice(leaves), [r.choice(leaves), r.choice(leaves)], 5])

    def leaf_writer(r):
        r.choice(leaves).y = r.choice([r.randrange(8), f"t{r.randrange(8)}", [r.randrange(8)]])

    def adder(r):
        if len(started) >= 300:
            time.sleep(0.001)
            return
        o = Obj(k=r.randrange(5), x=x_value(r, leaves), n=r.choice(leaves))
        key[id(o)] = o.k
        started.append(o)
        idx.add_object(o)
        done.append(o)

    def querier(r):
        k = r.randrange(5)
        settled = list(done)
        how = r.randrange(3)
        if how == 0:
            got = idx.reduced_query(Q.eq("k", k)).collect()
        elif how == 1:
            got = idx.reduced(k=k).collect()
        else:
            got = idx.get_by_attribute(k=k)
        ids = {id(o) for o in got}
        assert len(ids) == len(got)
        must = {id(o) for o in shared + settled if key[id(o)] == k}
        may = {id(o) for o in shared + list(started) if key[id(o)] == k}
        assert must <= ids <= may, f"k={k}: missing {len(must - ids)}, extra {len(ids - may)}"
        other = r.choice([Q.gt("x", 3), Q.contains("x", "1"), Q.eq("n.y", 2), Q.not_(Q.eq("x.y", 1)),
                          Q.ne("n", leaves[0]), Q.or_(Q.eq("x", None), Q.starts_with("n.y", "t"))])
        got = idx.reduced_query(other).collect()
        known = {id(o) for o in shared + list(started)}
        assert all(type(o) is Obj and id(o) in known for o in got)

    def view_querier(r):
        k = r.randrange(5)
        view = idx.reduced(k=k)
        members = view.collect()
        assert {id(o) for o in view.reduced_query(Q.eq("k", k)).collect()} == {id(o) for o in members}
        assert view.reduced_query(Q.not_(Q.eq("k", k))).collect() == []
        narrowed = view.reduced_query(Q.or_(Q.gt("x", 5), Q.eq("n.y", 1))).collect()
        assert {id(o) for o in narrowed} <= {id(o) for o in members}

    def collector(r):
        seen = len(idx.collect())
        again = idx.collect()
        assert len(again) >= seen
        assert len({id(o) for o in again}) == len(again)
        assert all(type(o) is Obj for o in again)

    def churner(r):
        # Short-lived indexes over the shared objects: dead membership records appear and get trimmed.
        tmp = Vostrel.Index()
        for o in r.sample(shared, 6):
            tmp.add_object(o)
        tmp.reduced_query(Q.eq("k", 1)).collect()
        idx2.add_object(r.choice(shared))

    def re_adder(r):
        # Adding an object the index already holds, while its attributes are being written.
        idx.add_object(r.choice(shared))

    run_for(RUN_SECONDS, [writer, writer, leaf_writer, adder, querier, view_querier, collector, churner, re_adder])

    everyone = shared + done
    assert len(done) == len(started)
    assert {id(o) for o in idx.collect()} == {id(o) for o in everyone}
    shadow = read_back(everyone + leaves, ["k", "x", "n", "y"])
    trees = x_trees(leaves)
    assert_model(idx, everyone, shadow, trees, "index")
    idx2_members = [o for o in shared if id(o) in {id(p) for p in idx2.collect()}]
    assert_model(idx2, idx2_members, shadow, trees, "second index")


def test_two_threads_writing_one_object_held_by_three_indexes():
    leaves = [Obj(y=i) for i in range(4)]
    target = Obj(x=0, z=0, n=leaves[0])
    bystanders = [Obj(x=i, z=i) for i in range(6)]
    indexes = [Vostrel.Index() for _ in range(3)]
    for ix in indexes:
        for o in [target] + bystanders:
            ix.add_object(o)

    def write_x(r):
        target.x = x_value(r, leaves)

    def write_z_and_n(r):
        if r.random() < 0.5:
            target.z = r.choice([r.randrange(12), f"s{r.randrange(12)}", [r.randrange(12)]])
        else:
            target.n = r.choice([r.choice(leaves), leaves[:2]])
        target.x = r.randrange(12)  # the same attribute as the other writer, too

    def query(r):
        got = indexes[r.randrange(3)].reduced_query(Q.eq("x", 3)).collect()
        assert all(o is target or o is bystanders[3] for o in got)

    run_for(RUN_SECONDS, [write_x, write_z_and_n, query])

    everyone = [target] + bystanders
    shadow = read_back(everyone + leaves, ["x", "z", "n", "y"])
    trees = x_trees(leaves) + [("eq", "z", i) for i in range(12)] + [("eq", "z", f"s{i}") for i in range(12)]
    for i, ix in enumerate(indexes):
        assert_model(ix, everyone, shadow, trees, f"index {i}")


def test_writer_of_lists_races_collect_and_queries():
    objs = [Obj(tag=i % 3, items=[i]) for i in range(30)]
    idx = Vostrel.Index()
    for o in objs:
        idx.add_object(o)
    view = idx.reduced(tag=1)
    added = []

    def list_writer(r):
        # Registering a container reads it under the interpreter lock while engine locks are held.
        r.choice(objs).items = [r.randrange(40) for _ in range(r.randrange(60))]

    def nested_list_writer(r):
        r.choice(objs).items = (r.randrange(40), [r.randrange(40), (r.randrange(40),)], {r.randrange(40)})

    def adder(r):
        if len(added) < 200:
            o = Obj(tag=r.randrange(3), items=[r.randrange(40)])
            idx.add_object(o)
            added.append(o)
        else:
            time.sleep(0.001)

    def collector(r):
        everything = idx.collect()
        assert len(everything) >= len(objs)
        assert len(view.collect()) == 10

    def querier(r):
        n = r.randrange(40)
        got = idx.reduced_query(Q.eq("items", n)).collect()
        assert all(type(o) is Obj for o in got)
        in_view = view.reduced_query(Q.eq("items", n)).collect()
        assert {id(o) for o in in_view} <= {id(o) for o in objs if o.tag == 1}

    run_for(RUN_SECONDS, [list_writer, nested_list_writer, adder, collector, querier, querier])

    everyone = objs + added
    shadow = read_back(everyone, ["tag", "items"])
    trees = [("eq", "items", n) for n in range(40)] + [("in", "items", [1, 2, 3], False), ("ne", "items", 5),
                                                       ("gt", "items", 3), ("eq", "tag", 1)]
    assert_model(idx, everyone, shadow, trees, "index")
    assert_model(view, [o for o in objs if o.tag == 1], shadow, trees, "view")


def test_first_values_of_a_new_attribute_race_with_its_reset():
    # `lone` is the only holder of each new attribute, so each of its writes empties the attribute's map and may
    # reset it, while the other threads register first values of the same attribute for their own objects.
    idx = Vostrel.Index()
    lone = Obj()
    idx.add_object(lone)
    names = [f"new_attribute_{SEED}_{i}" for i in range(120)]
    joiners = 3
    barrier = threading.Barrier(joiners + 1, timeout=60)
    made = {}  # (name, thread) -> object
    errors = []

    def flipper():
        for name in names:
            barrier.wait()
            for k in range(4):
                setattr(lone, name, k if k % 2 else f"v{k}")

    def joiner(t):
        for name in names:
            o = Obj() if t % 2 else Obj(**{name: 100 + t})
            barrier.wait()
            idx.add_object(o)
            if t % 2:
                setattr(o, name, 100 + t)
            made[name, t] = o

    def guarded(fn, *args):
        try:
            fn(*args)
        except BaseException:
            errors.append(traceback.format_exc())
            barrier.abort()

    threads = [threading.Thread(target=guarded, args=(flipper,), daemon=True)]
    threads += [threading.Thread(target=guarded, args=(joiner, t), daemon=True) for t in range(joiners)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "deadlock?"
    assert not errors, errors[0]
    lost = []
    for name in names:
        for t in range(joiners):
            if idx.reduced_query(Q.eq(name, 100 + t)).collect() != [made[name, t]]:
                lost.append((name, t))
        if idx.reduced_query(Q.eq(name, 3)).collect() != [lone]:
            lost.append((name, "lone"))
        if len(idx.reduced_query(Q.ge(name, 0)).collect()) != joiners + 1:
            lost.append((name, "count"))
    assert not lost, f"{len(lost)} registrations lost or stale, e.g. {lost[:5]} (VOSTREL_SEED={SEED})"


def test_reads_without_the_attribute_lock_see_only_written_values():
    """Attribute reads take no lock while no writer is at work on the object; writers of indexed objects change the
    maps with the interpreter lock released. Each writer fills fresh objects name by name, so their maps keep
    outgrowing their blocks (side values, widening, and past 32 names their own keys) while readers read them. Every
    read must be a value once written under that very name, of every kind a map holds."""
    names = [f"a{k}" for k in range(40)]
    index = Vostrel.Index()
    leaves = [Obj(k=k) for k in range(len(names))]
    current = [Obj(), Obj()]  # the object each writer is filling
    filled = []  # (object, {name: value}) once a writer is done with it
    for o in current:
        index.add_object(o)
    progress = [{}, {}]

    def value_for(k, rng):
        j = rng.randrange(1000)
        # Mostly values without a word form (long text, containers, objects), so side values and widening happen.
        return [k * 1000 + j, 2 ** 50 + k, k + 0.25, f"{k}", f"name {k} and some long text {j}",
                [k, j], leaves[k], (k, f"t{j}")][rng.choice((0, 1, 2, 3, 4, 4, 5, 5, 6, 7))]

    def tag_of(value):
        if isinstance(value, bool):
            raise AssertionError(value)
        if isinstance(value, int):
            return value - 2 ** 50 if value >= 2 ** 50 else value // 1000
        if isinstance(value, float):
            return int(value)
        if isinstance(value, str):
            return int(value.split()[1]) if value.startswith("name") else int(value)
        if isinstance(value, (list, tuple)):
            return value[0]
        return value.k

    def writer(which):
        def write(rng):
            o, written = current[which], progress[which]
            k = len(written) if rng.random() < 0.7 else rng.randrange(len(written) + 1)
            if k == len(names):
                filled.append((o, dict(written)))
                fresh = Obj()
                index.add_object(fresh)
                current[which], progress[which] = fresh, {}
                return
            value = value_for(k, rng)
            setattr(o, names[k], value)
            written[names[k]] = value
        return write

    def read(rng):
        o = current[rng.randrange(2)]
        for _ in range(20):
            k = rng.randrange(len(names))
            try:
                value = getattr(o, names[k])
            except AttributeError:
                continue
            assert tag_of(value) == k, (names[k], value)

    run_for(RUN_SECONDS, [writer(0), writer(1), read, read])

    assert len(filled) > 10
    for o, written in filled:
        for name, value in written.items():
            got = getattr(o, name)
            assert got is value or got == value, (name, got, value)
        assert int(repr(o).split()[2]) == len(names), "every map left the shared keys"
    def matches(value, wanted):  # a list or tuple matches through its members
        return value == wanted or isinstance(value, (list, tuple)) and wanted in value

    for k in (0, 5, 35):
        expected = {id(o) for o, written in filled if matches(written[names[k]], k * 1000 + 7)}
        got = {id(o) for o in index.reduced_query(Q.eq(names[k], k * 1000 + 7)).collect()}
        assert expected <= got and got - expected <= {id(o) for o in current}


def test_writes_to_objects_while_they_join_an_index_are_never_lost():
    """A write to an object in no index takes only the object's attribute lock and reads its membership list without
    a lock. An insertion on another thread appends the object's record and then reads its values: whichever comes
    first, the index must end up with the object's last value."""
    index = Vostrel.Index()
    batches = []

    def add(rng):
        if batches:
            objs = batches[-1]
            if rng.random() < 0.5:
                index.add_object_many(objs)
            else:
                for o in objs:
                    index.add_object(o)

    def write(rng):
        objs = [Obj(x=-1) for _ in range(20)]
        batches.append(objs)
        for round_ in range(30):
            for o in objs:
                o.x = rng.randrange(1000)

    run_for(RUN_SECONDS, [add, write])

    everyone = [o for objs in batches for o in objs]
    for objs in batches:
        index.add_object_many(objs)  # the last batches may not have been added
    for x in random.Random(SEED).sample(range(1000), 40):
        expected = {id(o) for o in everyone if o.x == x}
        assert {id(o) for o in index.reduced_query(Q.eq("x", x)).collect()} == expected, x
