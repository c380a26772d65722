"""Lists, tuples and sets captured with their members in one record: queries on members against a plain-Python
model over seeded random writes (lengths around the capture's in-place bound, members of every kind, lists
changed after capture, lists replaced), and the collector freeing cycles that run through captured lists."""

import gc
import random
import weakref

import Vostrel
from conftest import BASE_SEED, scaled
from model import Obj, build, evaluate

Q = Vostrel.PyQueryExpr

Q_TREES = 40
ROUNDS = scaled(6)


def member_pool(leaves):
    long_text = [f"a member text longer than fifteen bytes #{i}" for i in range(4)]
    return [0, 1, -3, 2.5, True, "ab", "abcdefg", "Zürich", *long_text, 2**70, None, *leaves]


def random_container(rng, pool):
    # Lengths around CapturedMembers.IN_PLACE (8), where the members spill past the capturing frame.
    size = rng.choice([0, 1, 2, 3, 7, 8, 9, 12, 20])
    picked = [rng.choice(pool) for _ in range(size)]
    if picked and rng.random() < 0.2:
        picked[rng.randrange(size)] = [rng.choice(pool), (rng.choice(pool[:8]),)]  # a nested list
    shape = rng.choice([list, list, tuple, set]) if all(_hashable(m) for m in picked) else list
    return shape(picked)


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def snapshot(container):
    """The members as captured: later changes to the container do not reach them."""
    if type(container) in (list, tuple, set):
        return type(container)(snapshot(m) if type(m) in (list, tuple) else m for m in container)
    return container


def test_queries_on_captured_members_match_a_model():
    rng = random.Random(BASE_SEED ^ 0x7A65)
    leaves = [Obj(tag=i) for i in range(4)]
    pool = member_pool(leaves)
    objects = [Obj() for _ in range(30)]
    shadow = {id(o): {} for o in objects}
    index = Vostrel.Index()
    index.add_object_many(objects)
    for round_ in range(ROUNDS):
        for o in rng.sample(objects, 12):
            container = random_container(rng, pool)
            o.tags = container
            shadow[id(o)]["tags"] = snapshot(container)
            if type(container) is list and container and rng.random() < 0.5:
                container.append("added after capture")  # not among the captured members
                container[0] = "changed after capture"
        for _ in range(Q_TREES):
            value = rng.choice(pool + ["added after capture", "changed after capture"])
            tree = ("eq", "tags", value) if rng.random() < 0.7 else ("in", "tags", rng.sample(pool[:12], 3), False)
            expected = evaluate(tree, objects, lambda obj: shadow[id(obj)])
            got = {id(o) for o in index.reduced_query(build(tree))}
            assert got == expected, f"seed {BASE_SEED}, round {round_}, {tree}"


def test_capture_that_changes_the_list_keeps_what_it_read():
    """A member whose capture runs Python code (its hash) that grows or shrinks the list: the record keeps what the
    capture read, whatever the list holds by the time it is done."""
    target = []

    class Changes:
        def __init__(self, change):
            self.change = change

        def __hash__(self):
            self.change(target)
            return 1

    index = Vostrel.Index()
    o = Obj()
    index.add_object(o)
    for change, found, absent in ((lambda t: t.extend(["x"] * 20), ["a", "x"], []),
                                  (lambda t: t.clear(), [], ["a", "b"])):
        target[:] = [Changes(change), "a", "b"]
        o.tags = target
        assert o.tags is target
        for value in found:
            assert list(index.reduced_query(Q.eq("tags", value))) == [o], value
        for value in absent:
            assert list(index.reduced_query(Q.eq("tags", value))) == [], value
    itself = [1, 2]
    itself.append(itself)  # a list holding itself: the inner reference is left out
    o.tags = itself
    assert list(index.reduced_query(Q.eq("tags", 2))) == [o]


def test_cycles_through_captured_lists_are_collected():
    gc.collect()
    watched = []
    for size in (1, 3, 9, 20):
        a, b = Obj(), Obj()
        a.tags = [b] + ["filler"] * (size - 1)
        b.tags = (1, [a], "a member text longer than fifteen bytes")
        watched += [weakref.ref(a), weakref.ref(b)]
        del a, b
    gc.collect()
    assert all(w() is None for w in watched)
