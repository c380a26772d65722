"""Index.add_object_many: the same index as add_object one by one, all-or-nothing on bad input, safe under threads."""

import gc
import random

import pytest

import Vostrel
from conftest import memory_error_after
from model import EXTRA_ATTRS, LINK_ATTRS, SCALAR_ATTRS, Obj, TreeGen, ValueGen, build, has_bad_bound
from test_lock_regressions import run_scenario
from Vostrel import _debug

Q = Vostrel.PyQueryExpr


@pytest.fixture(autouse=True)
def collect_cycles():
    """Objects linked in cycles here die only with the cycle collector: freed before the next test, not during it
    (tests elsewhere watch which ids the allocator hands out)."""
    yield
    gc.collect()


def ids_of(view):
    return sorted(id(o) for o in view.collect())


# ---------------------------------------------------------------------------------------------------------------
# Arguments and edge cases


def test_bad_input_inserts_nothing():
    ix = Vostrel.Index()
    a, b = Obj(x=1), Obj(x=2)
    for bad in ([a, 5, b], (a, None), iter([a, b, "c"])):
        with pytest.raises(TypeError, match="objs"):
            ix.add_object_many(bad)
        assert len(ix) == 0 and ix.reduced_query(Q.eq("x", 1)).collect() == []
    for bad in ("ab", "", 5, None):
        with pytest.raises(TypeError, match="objs"):
            ix.add_object_many(bad)

    def failing():
        yield a
        raise KeyError("mid-iteration")

    with pytest.raises(KeyError):
        ix.add_object_many(failing())
    assert len(ix) == 0
    # Nothing half-registered: the objects go in normally afterwards and writes reach the index.
    ix.add_object_many([a, b])
    a.x = 7
    assert ids_of(ix.reduced_query(Q.eq("x", 7))) == [id(a)]
    assert ix.reduced_query(Q.eq("x", 1)).collect() == []


def test_empty_batches_and_any_iterable():
    ix = Vostrel.Index()
    assert ix.add_object_many([]) is None
    ix.add_object_many(())
    ix.add_object_many(o for o in ())
    assert len(ix) == 0
    objs = {k: Obj(k=k) for k in range(10)}
    ix.add_object_many(objs.values())
    ix.add_object_many(objs=(o for o in list(objs.values())[:3]))  # already held: changes nothing
    assert len(ix) == 10
    assert ids_of(ix.reduced_query(Q.ge("k", 5))) == sorted(id(objs[k]) for k in range(5, 10))


def test_same_object_twice_stored_once_and_held_object_unchanged():
    ix = Vostrel.Index()
    a, b = Obj(tags=["x", "y"], n=1), Obj(tags=["x"], n=2)
    ix.add_object(b)
    ix.add_object_many([a, b, a, a])
    assert len(ix) == 2 and len(ix.collect()) == 2
    assert ids_of(ix.reduced_query(Q.eq("tags", "x"))) == sorted([id(a), id(b)])
    ix.remove_object(a)  # stored once: one removal takes it out entirely
    assert ids_of(ix.reduced_query(Q.eq("tags", "x"))) == [id(b)]
    assert ids_of(ix.reduced_query(Q.ne("n", 5))) == [id(b)]


def test_new_attribute_mid_batch_and_65_booleans():
    ix = Vostrel.Index()
    ix.add_object(Obj(old=1))
    batch = [Obj(old=i, flag=True) for i in range(65)]
    batch[30].fresh = "new"
    batch += [Obj(fresh="new" if i % 2 else "", flag=False) for i in range(65)]
    ix.add_object_many(batch)
    assert len(ix.reduced_query(Q.eq("flag", True)).collect()) == 65
    assert len(ix.reduced_query(Q.eq("flag", False)).collect()) == 65
    assert len(ix.reduced_query(Q.eq("fresh", "new")).collect()) == 33
    assert len(ix.reduced_query(Q.eq("fresh", "")).collect()) == 33
    assert len(ix.reduced_query(Q.starts_with("fresh", "ne")).collect()) == 33
    assert len(ix.reduced_query(Q.lt("old", 10)).collect()) == 11


def test_strings_wider_than_the_row_and_beyond_the_buffered_length():
    # Long strings grow the positional row under earlier staged strings; very long ones take the ordinary path.
    rng = random.Random(5)
    texts = ["", "a", "ab", "b" * 9, "ab" * 40, "x" * 5000, "\u65e5\u672c" * 3] + \
            ["".join(rng.choice("ab\u00e9") for _ in range(rng.randrange(30))) for _ in range(200)]
    objs = [Obj(s=t) for t in texts]
    bulk, single = Vostrel.Index(), Vostrel.Index()
    bulk.add_object_many(objs)
    for o in objs:
        single.add_object(o)
    for q in ["", "a", "ab", "b", "x" * 5000, "\u672c", "ba", "\u00e9a"]:
        for op in (Q.eq, Q.starts_with, Q.ends_with, Q.contains):
            assert ids_of(bulk.reduced_query(op("s", q))) == ids_of(single.reduced_query(op("s", q))), (op, q)


# ---------------------------------------------------------------------------------------------------------------
# Differential: a batch answers every query as adding one by one does


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_batch_matches_one_by_one(seed):
    rng = random.Random(seed)
    values = ValueGen(rng)
    names = SCALAR_ATTRS + EXTRA_ATTRS
    leaves = []
    for _ in range(60):
        o = Obj()
        for name in rng.sample(names, rng.randrange(len(names))):
            setattr(o, name, values.value())
        leaves.append(o)
    holders = []
    for _ in range(400):  # links only to leaves: the object graph stays acyclic
        o = Obj()
        for name in rng.sample(names, rng.randrange(len(names))):
            setattr(o, name, values.value(leaves))
        for name in LINK_ATTRS:
            if rng.random() < 0.6:
                setattr(o, name, values.link_value(leaves))
        holders.append(o)
    objs = holders + leaves[:20]
    rng.shuffle(objs)
    bulk, single = Vostrel.Index(), Vostrel.Index()
    bulk.add_object_many(iter(objs))
    for o in objs:
        single.add_object(o)
    assert ids_of(bulk) == ids_of(single) == sorted(map(id, objs))
    assigned = [v for o in objs for v in Vostrel.asdict(o).values()]
    trees = TreeGen(rng, values, lambda: assigned, bad_bound_rate=0.0)
    checked = 0
    while checked < 300:
        tree = trees.tree()
        if has_bad_bound(tree):
            continue
        query = build(tree)
        assert ids_of(bulk.reduced_query(query)) == ids_of(single.reduced_query(query)), tree
        checked += 1
    # Later writes and removals behave the same on both.
    for o in rng.sample(objs, 50):
        o.a = values.value(leaves)
    for o in rng.sample(objs, 30):
        bulk.remove_object(o)
        single.remove_object(o)
    for _ in range(100):
        tree = trees.tree()
        if not has_bad_bound(tree):
            query = build(tree)
            assert ids_of(bulk.reduced_query(query)) == ids_of(single.reduced_query(query)), tree


# ---------------------------------------------------------------------------------------------------------------
# Threads (each in a child interpreter with a watchdog)


def test_reader_never_sees_an_id_before_its_values():
    run_scenario("""
        import threading
        import time
        from model import Obj
        ix = Vostrel.Index()
        # Every object answers eq on all three kinds; an id published before its values would match a ne.
        leaked = Q.or_(Q.ne("flag", True), Q.ne("kind", "person"), Q.ne("one", 1), Q.ne("tags", "t"))
        done = threading.Event()
        seen = []

        def reader():
            while not done.is_set():
                hits = ix.reduced_query(leaked).collect()
                if hits:
                    die(EXIT_WRONG, f"{len(hits)} objects visible before their values")
                seen.append(len(ix))
                time.sleep(0.0005)  # leave the interpreter lock to the thread building the batches

        t = threading.Thread(target=reader, daemon=True)
        t.start()
        for round in range(3):
            batch = [Obj(flag=True, kind="person", one=1, tags=["t", round], n=i) for i in range(40000)]
            ix.add_object_many(batch)
        done.set()
        t.join(10)
        assert len(ix) == 120000 and len(seen) > 0
    """, limit=60)


def test_concurrent_writer_on_batch_objects_never_deadlocks():
    run_scenario("""
        from model import Obj
        ix = Vostrel.Index()
        other = Vostrel.Index()
        pool = [Obj(n=i, s=str(i), tags=[i]) for i in range(3000)]
        other.add_object_many(pool[:1000])

        def batcher(rng):
            objs = rng.sample(pool, 500)
            ix.add_object_many(objs)
            for o in objs[:50]:
                ix.remove_object(o)

        def writer(rng):
            o = rng.choice(pool)
            o.n = rng.randrange(100)
            o.s = str(o.n)
            o.sub = rng.choice(pool)

        run_threads([batcher, writer, writer], seconds=3)
        held = ix.collect()
        for q, check in ((Q.lt("n", 50), lambda o: o.n < 50), (Q.eq("s", "7"), lambda o: o.s == "7")):
            got = {id(o) for o in ix.reduced_query(q).collect()}
            want = {id(o) for o in held if check(o)}
            if got != want:
                die(EXIT_WRONG, f"wrong answer for {q}")
    """, limit=30)


# ---------------------------------------------------------------------------------------------------------------
# Lists and nested objects through the batch path: same answers and same nested structure as one by one


def cyclic_graph(rng, count, link_rate=0.8):
    """Objects linked at random through `friend` (cycles and self-links included), with shared and repeated list
    members, and lists and tuples of leaf objects. Only one attribute links objects that link again: every further
    linking attribute on a cyclic graph multiplies the nested indexes per level, whichever way they are built."""
    leaves = [Obj(n=rng.randrange(20), tags=["x", rng.randrange(3)]) for _ in range(30)]
    objs = [Obj(n=rng.randrange(20), s=rng.choice(["", "a", "ab", "b" * 20, "\u00e9t\u00e9"])) for _ in range(count)]
    shared_list = ["x", "x", 3, "y", leaves[0]]
    for o in objs:
        r = rng.random()
        if r < 0.2:
            o.tags = shared_list  # one list object shared by many holders
        elif r < 0.8:
            o.tags = [rng.choice(["x", "y", "z", 1, 2, 2.5, True, ""]) for _ in range(rng.randrange(5))]
        if rng.random() < link_rate:
            o.friend = rng.choice(objs)  # may be o itself
        if rng.random() < 0.4:
            o.pals = [rng.choice(leaves) for _ in range(rng.randrange(4))]  # repeats allowed
        if rng.random() < 0.2:
            o.nest = (rng.choice(leaves), [rng.choice(leaves), "deep", [rng.randrange(5)]])
    return objs + leaves


PATHS = ["n", "s", "tags", "friend.n", "friend.s", "friend.tags", "friend.friend.n", "friend.friend.friend.s",
         "pals.n", "pals.tags", "friend.pals.tags", "nest.n", "friend.nest.n", "friend.friend.friend.friend.pals.n",
         "tags.n", "friend.tags.tags"]


def answers(index, rng_seed):
    rng = random.Random(rng_seed)
    out = []
    for path in PATHS:
        for _ in range(4):
            op = rng.choice([Q.eq, Q.ne, Q.lt, Q.starts_with, Q.contains])
            value = rng.choice([0, 3, 7, 19, "", "a", "x", "\u00e9", 2, True]) if op in (Q.eq, Q.ne) else \
                (rng.randrange(20) if op is Q.lt else rng.choice(["", "a", "b", "t\u00e9"]))
            out.append(((path, op.__name__, value), ids_of(index.reduced_query(op(path, value)))))
    return out


def memberships(objs):
    return [_debug.membership_count(o) for o in objs]


def build_and_measure(objs, pre, batch, one_by_one, seed):
    """Answers and membership counts (one per index, nested ones included) of an index built from `pre` one by one,
    then `batch` either as one batch or one by one."""
    ix = Vostrel.Index()
    for o in pre:
        ix.add_object(o)
    if one_by_one:
        for o in batch:
            ix.add_object(o)
    else:
        ix.add_object_many(batch)
    result = (answers(ix, seed), memberships(objs), len(ix))
    del ix
    gc.collect()
    return result


@pytest.mark.parametrize("seed", [11, 12, 13, 14])
def test_cyclic_graph_and_lists_match_one_by_one(seed):
    rng = random.Random(seed)
    objs = cyclic_graph(rng, 150)
    pre = rng.sample(objs, 20)  # some holders and children already in the index
    batch = objs + rng.sample(objs, 10)  # repeats in the batch
    assert memberships(objs) == [0] * len(objs)
    single = build_and_measure(objs, pre, batch, True, seed)
    bulk = build_and_measure(objs, pre, batch, False, seed)
    assert bulk[2] == single[2] == len(objs)
    assert bulk[1] == single[1]  # every nested index holds the same objects
    for got, want in zip(bulk[0], single[0]):
        assert got == want, got[0]
    assert memberships(objs) == [0] * len(objs)


def test_lists_with_duplicates_shared_members_and_nested_containers():
    a, b = Obj(k="a"), Obj(k="b")
    shared = [a, a, "t", "t", 5]
    objs = [Obj(v=shared), Obj(v=shared), Obj(v=[["t", [5, b]], (a,), {"z"}]), Obj(v=[]), Obj(v={"k": 1}),
            Obj(v=("t",)), Obj(v=[b, b, b])]
    bulk, single = Vostrel.Index(), Vostrel.Index()
    bulk.add_object_many(objs)
    for o in objs:
        single.add_object(o)
    for q in (Q.eq("v", "t"), Q.eq("v", 5), Q.eq("v", "z"), Q.eq("v.k", "a"), Q.eq("v.k", "b"), Q.ne("v", "t"),
              Q.in_("v", ["t", 5]), Q.eq("v", a), Q.eq("v", b), Q.gt("v", 4)):
        assert ids_of(bulk.reduced_query(q)) == ids_of(single.reduced_query(q)), q
    assert ids_of(bulk.reduced_query(Q.eq("v.k", "a"))) == sorted([id(objs[0]), id(objs[1]), id(objs[2])])
    # Element records are released with their owners: removing every holder leaves no match.
    for o in objs:
        bulk.remove_object(o)
    assert bulk.reduced_query(Q.eq("v", "t")).collect() == []
    assert bulk.reduced_query(Q.eq("v.k", "b")).collect() == []
    assert bulk.reduced_query(Q.eq("v", a)).collect() == []


def test_nested_objects_shared_within_the_batch_and_with_the_index():
    shared = Obj(city="Oslo", zip=1)
    held = Obj(city="Rome", zip=2)
    ix = Vostrel.Index()
    ix.add_object(Obj(home=held))
    batch = [Obj(home=shared), Obj(home=held), Obj(home=shared, work=shared), Obj(home=Obj(city="Oslo", zip=3))]
    ix.add_object_many(batch)
    assert len(ix.reduced_query(Q.eq("home.city", "Oslo")).collect()) == 3
    assert len(ix.reduced_query(Q.eq("home.city", "Rome")).collect()) == 2
    assert ids_of(ix.reduced_query(Q.eq("work.zip", 1))) == [id(batch[2])]
    # Each nested index holds a shared child once: top index + home's nested index + work's nested index.
    assert _debug.membership_count(shared) == 2
    assert _debug.membership_count(held) == 1
    # The child stays while any holder links it.
    ix.remove_object(batch[0])
    assert ids_of(ix.reduced_query(Q.eq("home.zip", 1))) == [id(batch[2])]
    ix.remove_object(batch[2])
    assert ix.reduced_query(Q.eq("home.zip", 1)).collect() == []
    # Writes to a nested object reach the nested index.
    held.city = "Milan"
    assert len(ix.reduced_query(Q.eq("home.city", "Milan")).collect()) == 2


def test_long_chain_and_deep_nesting_match_one_by_one():
    chain = [Obj(n=i) for i in range(1200)]  # deeper than the nesting limit
    for first, second in zip(chain, chain[1:]):
        first.next = second
    chain[-1].next = chain[0]  # and closed into a ring
    paths = ["next.n"] + [".".join(["next"] * depth) + ".n" for depth in (2, 3, 50, 66, 67, 68, 999)]

    def measure(one_by_one):
        ix = Vostrel.Index()
        if one_by_one:
            for o in chain[:5]:
                ix.add_object(o)
        else:
            ix.add_object_many(chain[:5])
        result = [ids_of(ix.reduced_query(Q.lt(p, 3))) for p in paths], memberships(chain)
        del ix
        gc.collect()
        return result

    assert measure(True) == measure(False)


def test_bad_item_after_lists_and_nested_objects_inserts_nothing():
    child = Obj(c=1)
    objs = [Obj(tags=["a", child], home=child, n=i) for i in range(50)]
    ix = Vostrel.Index()
    with pytest.raises(TypeError, match="objs"):
        ix.add_object_many(objs + [object()] + [Obj(n=99)])
    assert len(ix) == 0 and ix.reduced_query(Q.eq("tags", "a")).collect() == []
    assert memberships(objs + [child]) == [0] * 51
    ix.add_object_many(objs)
    assert len(ix.reduced_query(Q.eq("tags.c", 1)).collect()) == 50
    assert len(ix.reduced_query(Q.eq("home.c", 1)).collect()) == 50


def test_threads_query_and_write_nested_objects_during_batches():
    run_scenario("""
        import threading
        from model import Obj
        ix = Vostrel.Index()
        homes = [Obj(city="c%d" % i, zip=i) for i in range(200)]
        # Every stored person answers these; a person published before its own values would leak. (Nested objects
        # are registered once their holders are published, as with add_object, so home.* may lag; it never lies.)
        leaked = Q.or_(Q.ne("kind", "person"), Q.ne("tags", "t"), Q.lt("home.zip", 0), Q.eq("home.city", "none"))
        stop = threading.Event()
        errors = []

        def reader():
            while not stop.is_set():
                if ix.reduced_query(leaked).collect():
                    errors.append("visible before its values")
                    return

        def writer():
            rng = __import__("random").Random(3)
            while not stop.is_set():
                h = rng.choice(homes)
                h.zip = rng.randrange(1000)
                h.city = "w%d" % h.zip

        threads = [threading.Thread(target=reader, daemon=True), threading.Thread(target=writer, daemon=True)]
        for t in threads:
            t.start()
        for round in range(4):
            ix.add_object_many([Obj(kind="person", tags=["t", round, homes[i % 200]], home=homes[(i * 7) % 200])
                                for i in range(10000)])
        stop.set()
        for t in threads:
            t.join(10)
        if errors:
            die(EXIT_WRONG, errors[0])
        for h in homes[:20]:
            got = len(ix.reduced_query(Q.eq("home.zip", h.zip)).collect())
            want = sum(1 for o in ix.collect() if o.home.zip == h.zip)
            if got != want:
                die(EXIT_WRONG, f"home.zip {h.zip}: {got} != {want}")
    """, limit=90)


# ---------------------------------------------------------------------------------------------------------------
# Batches of several chunks: the next chunk is staged while the last one is flushed

FIRST_CHUNK = 2048  # objects in a batch's first chunk
LARGEST_CHUNK = 65536  # each later chunk is four times the objects before it, up to this


def chunk_ends(count):
    """The ends of the chunks a batch of count objects is staged in: the prefixes a failed batch may leave."""
    ends = [0]
    while ends[-1] < count:
        ends.append(min(count, ends[-1] + min(max(4 * ends[-1], FIRST_CHUNK), LARGEST_CHUNK)))
    return ends


BATCH = 36_000
CHUNK_ENDS = chunk_ends(BATCH)  # [0, 2048, 10240, 36000]: a failure in the third chunk leaves the first


def chunked_batch(count, homes):
    return [Obj(n=i, name=f"p{i}", tags=[str(i % 7), i % 5], home=homes[i % len(homes)], flag=i % 3 == 0,
                score=(i * 7919) % 1000 + 0.5)
            for i in range(count)]


CHUNK_QUERIES = [Q.eq("n", 20000), Q.bt("n", 16000, 16500), Q.starts_with("name", "p3276"), Q.ends_with("name", "99"),
                 Q.contains("name", "123"), Q.eq("tags", "3"), Q.eq("tags", 4), Q.eq("home.city", "c7"),
                 Q.gt("home.zip", 45), Q.eq("flag", True), Q.lt("score", 10), Q.ne("tags", "0"),
                 # Equality goes through the value -> ids tables, which large chunks fill in a job of their own.
                 Q.eq("name", "p20001"), Q.eq("name", "p35999"), Q.eq("score", 500.5)]


def answers_of(ix):
    return [ids_of(ix.reduced_query(q)) for q in CHUNK_QUERIES]


def test_multi_chunk_batch_matches_one_by_one():
    homes = [Obj(city=f"c{i}", zip=i) for i in range(50)]
    batch = chunked_batch(BATCH, homes)
    batch.insert(CHUNK_ENDS[2] + 5, batch[3])  # a repeat across chunks is stored once
    bulk, single = Vostrel.Index(), Vostrel.Index()
    bulk.add_object_many(batch)
    for o in batch:
        single.add_object(o)
    assert len(bulk) == len(single) == BATCH
    assert answers_of(bulk) == answers_of(single)
    assert memberships(batch[:3] + homes[:3]) == [2, 2, 2, 2, 2, 2]
    # Writes after the batch reach both alike.
    for o in batch[CHUNK_ENDS[2] - 2:CHUNK_ENDS[2] + 2]:
        o.tags = ["moved"]
        o.n = -1
    assert ids_of(bulk.reduced_query(Q.eq("tags", "moved"))) == ids_of(single.reduced_query(Q.eq("n", -1)))
    assert len(bulk.reduced_query(Q.eq("tags", "moved")).collect()) == 4


def test_batch_in_another_order_than_made_matches_one_by_one():
    # Ids follow creation: a shuffled batch hands every structure its ids out of order, within chunks and across them.
    homes = [Obj(city=f"c{i}", zip=i) for i in range(50)]
    batch = chunked_batch(BATCH, homes)
    random.Random(11).shuffle(batch)
    bulk, single = Vostrel.Index(), Vostrel.Index()
    bulk.add_object_many(batch[:BATCH // 2])
    bulk.add_object_many(reversed(batch[BATCH // 2:]))
    for o in batch:
        single.add_object(o)
    assert len(bulk) == len(single) == BATCH
    assert answers_of(bulk) == answers_of(single)
    for o in batch[:20]:
        o.name = "renamed"
    assert ids_of(bulk.reduced_query(Q.eq("name", "renamed"))) == ids_of(single.reduced_query(Q.eq("name", "renamed")))


@pytest.mark.parametrize("fail_after", [0, 100, CHUNK_ENDS[1] + 700, CHUNK_ENDS[2] + 20, BATCH - 100])
def test_a_failure_halfway_leaves_nothing_of_the_batch(fail_after):
    homes = [Obj(city=f"c{i}", zip=i) for i in range(50)]
    batch = chunked_batch(BATCH, homes)
    earlier = Obj(n=-5, name="earlier", tags=["e"], home=homes[0])
    ix = Vostrel.Index()
    ix.add_object(earlier)
    with memory_error_after(_debug.fail_bulk_stage_after, fail_after):
        ix.add_object_many(batch)
    held = [o for o in batch if o in ix]
    # Nothing of the batch, even of chunks published before the failure; the object held before untouched.
    assert held == []
    assert earlier in ix and len(ix) == 1
    fresh = Vostrel.Index()
    for o in [earlier] + held:
        fresh.add_object(o)
    assert answers_of(ix) == answers_of(fresh)
    del fresh
    gc.collect()
    assert memberships(batch[len(held):len(held) + 50]) == [0] * 50
    # The batch goes in whole afterwards and writes reach it.
    ix.add_object_many(batch)
    assert len(ix) == len(batch) + 1
    batch[-1].name = "last one"
    assert ids_of(ix.reduced_query(Q.eq("name", "last one"))) == [id(batch[-1])]
