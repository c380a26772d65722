"""Index and FilteredIndex as collections: len, bool, iter, `in` and repr, against plain-Python models."""

import gc
import random
import sys
import threading
import weakref

import pytest

import Vostrel
from Vostrel import PyQueryExpr as Q
from Vostrel import _debug
from conftest import scaled
from model import Obj

WATCHDOG = 60  # seconds a threaded test may take before it counts as hung


def ids_of(objs):
    return [id(o) for o in objs]


def join_all(threads):
    for t in threads:
        t.join(WATCHDOG)
    assert not any(t.is_alive() for t in threads), "a thread hung"


def random_world(rng, count):
    objs = [Obj(x=rng.randrange(100), s=rng.choice("abc"), tags=[rng.randrange(5)]) for _ in range(count)]
    index = Vostrel.Index()
    for obj in rng.sample(objs, len(objs)):  # insertion order is not the id order
        index.add_object(obj)
    return objs, index


def test_views_and_indexes_match_a_list_model():
    rng = random.Random(21)
    for count in (0, 1, 2, 255, 256, 257, 1500):  # around the iterator's chunk of 256
        objs, index = random_world(rng, count)
        by_id = sorted(objs, key=_debug.object_id)
        assert len(index) == count and bool(index) == (count > 0)
        assert ids_of(index) == ids_of(by_id) == ids_of(index.collect())
        for _ in range(8):
            lo, hi = sorted(rng.randrange(110) for _ in range(2))
            view = index.reduced_query(Q.bt("x", lo, hi))
            expected = [o for o in by_id if lo <= o.x <= hi]
            assert len(view) == len(expected) and bool(view) == bool(expected)
            assert ids_of(view) == ids_of(expected) == ids_of(view.collect())
            assert list(view) == view.collect()  # the same objects, not copies
            narrowed = view.reduced(s="a")
            assert ids_of(narrowed) == ids_of([o for o in expected if o.s == "a"])
            for obj in rng.sample(objs, min(30, count)):
                assert (obj in view) == (lo <= obj.x <= hi)
                assert obj in index
            expected_repr = f"<FilteredIndex with {len(expected)} object{'' if len(expected) == 1 else 's'}>"
            assert repr(view) == expected_repr
        assert repr(index) == f"<Index with {count} object{'' if count == 1 else 's'}>"


def test_membership_needs_the_very_object():
    a, b = Obj(x=1), Obj(x=1)
    index = Vostrel.Index()
    index.add_object(a)
    view = index.reduced(x=1)
    assert a in index and a in view
    assert b not in index and b not in view
    for other in (None, 1, "a", [a], Vostrel.Indexable(), index, view):
        assert other not in index and other not in view
    # An object that left the index, and a newer object that reuses its id, are in neither.
    index.remove_object(a)
    assert a not in index and a not in view and len(view) == 1
    old_id = _debug.object_id(a)
    del a
    gc.collect()
    reused = Obj(x=1)
    assert _debug.object_id(reused) == old_id  # the allocator hands the freed id out again
    assert reused not in view and reused not in index


def test_empty_collections_are_false():
    index = Vostrel.Index()
    assert not index and len(index) == 0 and list(index) == [] and repr(index) == "<Index with 0 objects>"
    index.add_object(Obj(x=1))
    assert index
    view = index.reduced(x=2)
    assert not view and len(view) == 0 and list(view) == []
    assert index.reduced(x=1)


def test_iterators_are_lazy_snapshots():
    objs, index = random_world(random.Random(4), 700)
    by_id = sorted(objs, key=_debug.object_id)
    it = iter(index)
    assert iter(it) is it
    first = [next(it) for _ in range(10)]
    assert first == by_id[:10]
    # Objects added after iter() are not seen; objects removed before they are reached are skipped.
    late = Obj(x=-1)
    index.add_object(late)
    removed = by_id[300:310]
    for obj in removed:
        index.remove_object(obj)
    rest = list(it)
    assert ids_of(first + rest) == ids_of([o for o in by_id if o not in removed])
    assert next(it, "done") == "done"
    # A view's iterator keeps the view (and the store) alive after both the view and the index are gone.
    view = index.reduced_query(Q.ge("x", 50))
    expected = view.collect()
    view_iter = iter(view)
    probe = weakref.ref(expected[0])
    del view, index, objs, by_id, removed, it, first, rest, late
    gc.collect()
    assert list(view_iter) == expected
    del expected, view_iter
    gc.collect()
    assert probe() is None


def test_view_iteration_yields_what_collect_lists_after_removals():
    objs = [Obj(x=i) for i in range(20)]
    index = Vostrel.Index()
    for obj in objs:
        index.add_object(obj)
    view = index.reduced_query(Q.lt("x", 10))
    index.remove_object(objs[3])
    # The view keeps the id; both ways of listing it show the same placeholder object there.
    assert list(view) == view.collect() and len(view) == 10
    assert objs[3] not in list(view) and objs[4] in view


def test_the_placeholder_listed_for_a_removed_object_can_be_neither_changed_nor_stored():
    # One placeholder stands in for every removed object of every view: a write to it, or storing it, would show in
    # views of unrelated indexes.
    def placeholder_of_a_new_view():
        obj = Obj(x=1)
        index = Vostrel.Index()
        index.add_object(obj)
        view = index.reduced_query(Q.eq("x", 1))
        index.remove_object(obj)
        return view.collect()[0]

    placeholder = placeholder_of_a_new_view()
    assert type(placeholder) is Vostrel.Indexable
    for change in (lambda: setattr(placeholder, "secret", "leaked"), lambda: setattr(placeholder, "x", 1),
                   lambda: setattr(placeholder, "__class__", Obj), lambda: delattr(placeholder, "x")):
        with pytest.raises(AttributeError, match="placeholder"):
            change()
    index = Vostrel.Index()
    kept = Obj(secret="leaked")
    with pytest.raises(ValueError, match="placeholder"):
        index.add_object(placeholder)
    with pytest.raises(ValueError, match="placeholder"):
        index.add_object_many([kept, placeholder])
    assert len(index) == 0  # the failed batch stored nothing
    other = placeholder_of_a_new_view()
    assert other is placeholder and Vostrel.asdict(other) == {} and type(other) is Vostrel.Indexable


@pytest.mark.parametrize("way", ["remove_object", "reduce", "add again"])
def test_an_object_stored_later_at_a_reused_id_is_not_one_of_an_earlier_view(way):
    ann, bob, dan = Obj(name="Ann", n=1), Obj(name="Bob", n=2), Obj(name="Dan", n=3)
    index = Vostrel.Index()
    index.add_object_many([ann, bob, dan])
    view = index.reduced_query(Q.ge("n", 1))
    snapshot = iter(index)
    stays = [bob]
    if way == "add again":
        index.remove_object(ann)
        index.add_object(ann)  # the very object, added after the view was made
        later, stays = [ann], [bob, dan]
    else:
        if way == "reduce":
            index.reduce(n=2)
        else:
            index.remove_object(ann)
            index.remove_object(dan)
        freed = {_debug.object_id(ann), _debug.object_id(dan)}
        del ann, dan
        gc.collect()
        # New objects take the lowest free ids: make them until the two freed ids are taken again.
        made = []
        while not freed <= {_debug.object_id(o) for o in made}:
            made.append(Obj(name="Carl", n=len(made) % 3 + 1))
        later = [o for o in made if _debug.object_id(o) in freed]
        index.add_object_many(later)
    listed = view.collect()
    assert list(view) == listed and len(view) == 3 and all(o in listed and o in view for o in stays)
    assert not any(o in listed or o in view for o in later)
    # Narrowing treats those ids as objects in no map: positive tests miss them, negations keep them.
    same = {id(o) for o in stays}
    assert {id(o) for o in view.reduced_query(Q.ge("n", 1)).collect()} == same
    assert view.reduced(name=later[0].name).collect() == []
    assert len(view.reduced_query(Q.ne("name", "Bob"))) == 2
    assert {id(o) for o in view.rebase().collect()} == same
    # A snapshot iterator taken before does not yield them either; the index itself does.
    assert [o for o in snapshot if o in later] == []
    assert all(o in index for o in later) and all(o in list(iter(index)) for o in later)


def test_one_iterator_shared_by_threads_yields_each_object_once():
    objs, index = random_world(random.Random(9), scaled(5000))
    object_ids = {id(o): _debug.object_id(o) for o in objs}
    view = index.reduced_query(Q.ge("x", 0))
    for source in (index, view):
        it = iter(source)
        seen = [[] for _ in range(4)]
        errors = []

        def drain(out):
            try:
                for obj in it:
                    out.append(id(obj))
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)

        threads = [threading.Thread(target=drain, args=(out,), daemon=True) for out in seen]
        for t in threads:
            t.start()
        join_all(threads)
        assert not errors
        flat = [key for out in seen for key in out]
        assert sorted(flat) == sorted(ids_of(objs))
        for out in seen:  # each thread's share comes in ascending id order
            order = [object_ids[key] for key in out]
            assert order == sorted(order)


def test_iteration_under_concurrent_writes_and_removals():
    rng = random.Random(17)
    objs, index = random_world(rng, scaled(3000))
    keys = {id(o): _debug.object_id(o) for o in objs}
    stop = threading.Event()
    errors = []

    def writer(seed):
        local = random.Random(seed)
        try:
            while not stop.is_set():
                obj = local.choice(objs)
                obj.x = local.randrange(100)
                if local.random() < 0.3:
                    try:
                        index.remove_object(obj)
                    except ValueError:
                        pass  # the other writer took it out first
                    index.add_object(obj)
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)
            stop.set()

    threads = [threading.Thread(target=writer, args=(s,), daemon=True) for s in (1, 2)]
    for t in threads:
        t.start()
    try:
        for _ in range(20):
            seen = [keys[id(o)] for o in index]
            assert seen == sorted(seen) and len(set(seen)) == len(seen)
            view = index.reduced_query(Q.lt("x", 50))
            listed = [keys[id(o)] for o in view if id(o) in keys]
            assert listed == sorted(listed)
            assert len(view) >= len(listed)
    finally:
        stop.set()
        join_all(threads)
    assert not errors, errors
    assert len(index) == len(objs)


def test_iterator_holds_no_needless_references():
    obj = Obj(x=1)
    index = Vostrel.Index()
    index.add_object(obj)
    base = sys.getrefcount(obj)
    for _ in range(100):
        assert list(index) == [obj]
        assert list(index.reduced(x=1)) == [obj]
        it = iter(index)
        next(it)
        del it  # dropped half-way
    assert sys.getrefcount(obj) == base


def test_collect_of_a_view_over_many_batches_against_a_model():
    # Thousands of ids (collect lists them a batch at a time), some of whose objects then leave the index, die and
    # give their ids to new objects of the same index: every such place lists the placeholder, the rest the objects
    # the view matched, in id order.
    rng = random.Random(11)
    objs = [Obj(x=rng.randrange(100)) for _ in range(3000)]
    index = Vostrel.Index()
    index.add_object_many(objs)
    view = index.reduced_query(Q.lt("x", 60))
    model = [obj for obj in objs if obj.x < 60]
    leaving = set(rng.sample(range(len(model)), 400))
    for at in leaving:
        index.remove_object(model[at])
    left_ids = {id(model[at]) for at in leaving}
    objs = [obj for obj in objs if id(obj) not in left_ids]
    model = [None if at in leaving else obj for at, obj in enumerate(model)]
    gc.collect()
    late = [Obj(x=1) for _ in range(400)]  # most reuse the ids just freed
    index.add_object_many(late)
    listed = view.collect()
    assert len(listed) == len(model)
    placeholder = next(got for got, want in zip(listed, model) if want is None)
    assert all(got is (placeholder if want is None else want) for got, want in zip(listed, model))
    assert not set(map(id, late)) & set(map(id, listed))
