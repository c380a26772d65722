"""Values the engine holds outside its native kinds: ints beyond 64 bits, text with lone surrogates, unhashable
objects. Each is stored and read back like a plain attribute, and matched as the README's Semantics says, on every
write path, as a list member and as a query value, against the plain-Python model."""

import copy
import dataclasses
import math
import pickle
import random

import pytest

import Vostrel
from model import Q, build, evaluate, read_back

np = pytest.importorskip("numpy")


class Entity(Vostrel.Indexable):
    """Importable (module level), so its instances pickle."""


@dataclasses.dataclass
class Payload:  # eq=True, not frozen: __hash__ is None
    size: int


# Numbers around the edges of what an ordered key holds exactly: 64 significant bits, the float range, the sign.
BIG = [
    2**63, 2**64 - 1, 2**64, -(2**63) - 1, -(2**64), 2**70, 2**70 + 1, 2**70 + 2**7, 2**70 - 1, -(2**70) - 1,
    -(2**70), 2**100 + 12345, -(2**100) - 12345, 2**1023, 2**1024, 2**1024 + 1, -(2**1030) - 3, 10**400, -(10**400),
]
NEAR = [float(2**63), -float(2**63), 2.0**70, -(2.0**70), float(2**100), float(2**1023), 1e300, -1e300, math.inf,
        -math.inf, 0, 5, -5, 2**63 - 1, -(2**63), 1.5]
TEXT = ["a\ud800", "a\ud800b", "\udcff", "\ud800\udc00", "\U00010000", "a", "ab", "", "lone \udcff in a long text",
        "lone \udcff in a long text!", "\ud83d", "\ude00", "\ud83d\ude00", "\U0001f600", "é\udce9"]


def unhashables():
    return [np.arange(3), np.zeros(2), bytearray(b"ab"), bytearray(b"ab"), Payload(1), Payload(1), slice(1, 2),
            [1, [2]]]


class World:
    """Objects with values drawn from every kind above, a shadow of what each holds, and the query values."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.shared = unhashables()
        self.pool = BIG + NEAR + TEXT + self.shared + [np.uint64(2**64 - 1), np.uint64(2**63)]

    def value(self):
        roll = self.rng.random()
        if roll < 0.15:  # a list holding a few of them: members are matched as their owner
            return [self.rng.choice(self.pool) for _ in range(self.rng.randint(0, 3))]
        if roll < 0.2:
            return tuple(self.rng.choice(self.pool) for _ in range(2))
        return self.rng.choice(self.pool)

    def tree(self):
        rng, v = self.rng, self.rng.choice(self.pool)
        op = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in", "starts_with", "ends_with", "contains",
                         "not"])
        if op == "bt":
            low, high = sorted([rng.choice(BIG + NEAR), rng.choice(BIG + NEAR)])
            return ("bt", "x", low, high)
        if op == "in":
            return ("in", "x", [rng.choice(self.pool) for _ in range(3)], rng.random() < 0.5)
        if op == "not":
            return ("not", ("eq", "x", v))
        if op in ("starts_with", "ends_with", "contains"):
            return (op, "x", rng.choice(TEXT))
        return (op, "x", v)


@pytest.mark.parametrize("seed", range(4))
def test_every_write_path_and_query_against_the_model(seed):
    world = World(seed)
    rng = world.rng
    built = [Entity(x=world.value(), y=1) for _ in range(40)]  # the constructor
    batch = [Entity(y=2) for _ in range(40)]
    for obj in batch:
        obj.x = world.value()  # a write before the object joins
    index = Vostrel.Index()
    for obj in built:
        index.add_object(obj)
    index.add_object_many(batch)
    objects = built + batch
    for obj in rng.sample(objects, 30):
        obj.x = world.value()  # writes of indexed objects
    shadow = read_back(objects, ["x", "y"])
    attrs_of = lambda o: shadow[id(o)]
    for _ in range(250):
        tree = world.tree()
        want = evaluate(tree, objects, attrs_of)
        got = {id(o) for o in index.reduced_query(build(tree)).collect()}
        assert got == want, tree
    for v in world.pool:  # keyword selection captures values as eq does
        want = evaluate(("eq", "x", v), objects, attrs_of)
        assert {id(o) for o in index.reduced(x=v).collect()} == want, v


def test_reads_return_what_was_written_through_copies_and_pickles():
    arr, data, payload = np.arange(4.0), bytearray(b"\x00\xff"), Payload(3)
    big, neg, wide = 2**70 + 1, -(10**30), np.uint64(2**64 - 1)
    long_text = "surrogate \udcff held in a long text"
    obj = Entity(pos=arr, data=data, payload=payload, big=big, cut=slice(None, 3))
    obj.neg, obj.wide, obj.text, obj.short = neg, wide, long_text, "x\ud800"
    for name, value in [("pos", arr), ("data", data), ("payload", payload), ("big", big), ("neg", neg),
                        ("text", long_text)]:
        assert getattr(obj, name) is value, name  # held objects read back as themselves
    assert type(obj.wide) is int and obj.wide == wide  # as every numpy integer reads back
    assert obj.short == "x\ud800" and obj.cut == slice(None, 3)
    copies = [copy.copy(obj), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))]
    for clone in copies:
        assert clone.big == big and clone.neg == neg and clone.wide == wide
        assert clone.text == long_text and clone.short == "x\ud800"
        assert bytes(clone.data) == bytes(data) and clone.payload == payload and list(clone.pos) == list(arr)
    assert copies[0].pos is arr  # a shallow copy shares the values


def test_unhashables_match_by_identity_only():
    arr, other = np.arange(3), np.arange(3)
    a, b, c = Entity(pos=arr), Entity(pos=other), Entity(pos=[arr, 1])
    index = Vostrel.Index()
    index.add_object_many([a, b, c])
    assert set(index.reduced_query(Q.eq("pos", arr)).collect()) == {a, c}
    assert index.reduced_query(Q.ne("pos", arr)).collect() == [b]
    assert index.reduced_query(Q.eq("pos", np.arange(3))).collect() == []  # equal content, another object
    assert set(index.reduced_query(Q.in_("pos", [other, bytearray()])).collect()) == {b}
    b.pos = arr  # a write moves it
    assert set(index.reduced(pos=arr).collect()) == {a, b, c}
    index.remove_object(a)
    assert set(index.reduced(pos=arr).collect()) == {b, c}


def test_big_ints_order_exactly_among_floats():
    # Equal as Python says (2**70 == 2.0**70, 2**70 + 1 equals no float); ordered by value, beyond 2**1024 too.
    values = [2**70, 2.0**70, 2**70 + 1, 2**70 - 1, 2**1024, -(2**1024), math.inf, -math.inf, 1e308, float(2**64)]
    objs = [Entity(n=v) for v in values]
    index = Vostrel.Index()
    index.add_object_many(objs)
    for bound in values + [2**70 + 3, 2**64, 2**64 + 1, -(2**2000), 2**2000]:
        for name, test in [("eq", lambda x: x == bound), ("gt", lambda x: x > bound), ("ge", lambda x: x >= bound),
                           ("lt", lambda x: x < bound), ("le", lambda x: x <= bound)]:
            got = set(map(id, index.reduced_query(getattr(Q, name)("n", bound)).collect()))
            assert got == {id(o) for o, v in zip(objs, values) if test(v)}, (name, bound)


def test_surrogate_text_matches_on_its_code_points():
    texts = ["a\ud800", "a\ud800b", "\ud83d\ude00", "\U0001f600", "x\udcffy" * 10, "plain"]
    objs = [Entity(s=t) for t in texts]
    index = Vostrel.Index()
    index.add_object_many(objs)
    for query in ["a", "\ud800", "\ud800b", "\ud83d", "\ude00", "\U0001f600", "\udcffy", "y", "plain"]:
        for name, test in [("eq", str.__eq__), ("starts_with", str.startswith), ("ends_with", str.endswith),
                           ("contains", lambda t, q: q in t)]:
            got = set(map(id, index.reduced_query(getattr(Q, name)("s", query)).collect()))
            assert got == {id(o) for o, t in zip(objs, texts) if test(t, query)}, (name, query)


def test_a_bound_of_bt_that_is_not_a_number_says_which_and_what():
    index = Vostrel.Index()
    index.add_object(Entity(n=1))
    for low, high, where, what in [("x", 3, "lower", 'str "x"'), (0, None, "upper", "NoneType"),
                                   (np.arange(2), 1, "lower", "numpy.ndarray"), (1, True, "upper", "bool True")]:
        with pytest.raises(NotImplementedError) as caught:
            index.reduced_query(Q.bt("n", low, high))
        message = str(caught.value)
        assert message.startswith("not yet implemented: ") and where in message and what in message, message


def test_set_operations_and_paths_keep_big_ints_in_order():
    values = [2**70 + 1, -(2**100) - 1, 10**400, 5, 2.0**70, 2**64 + 3, -(10**400)]
    objs = [Entity(n=v, k=i % 2, child=Entity(n=v)) for i, v in enumerate(values)]
    index = Vostrel.Index()
    index.add_object_many(objs)
    merged = Vostrel.Index()
    merged.union_with(index)
    reduced = Vostrel.Index()
    reduced.add_object_many(objs)
    reduced.reduce(k=1)
    rebased = index.reduced(k=1).rebase()
    halves = [o for o in objs if o.k == 1]
    for target, scope in [(merged, objs), (reduced, halves), (rebased, halves)]:
        for bound in (2**70, -(2**99), 2**401, 2**64 + 3, -(10**401)):
            want = {id(o) for o in scope if o.n > bound}
            assert {id(o) for o in target.reduced_query(Q.gt("n", bound)).collect()} == want, bound
            assert {id(o) for o in target.reduced_query(Q.gt("child.n", bound)).collect()} == want, bound
            want = {id(o) for o in scope if o.n == bound}
            assert {id(o) for o in target.reduced_query(Q.eq("child.n", bound)).collect()} == want, bound
