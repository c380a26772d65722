"""What a Python user expects: asdict, pickling and copying, query operators, in_ over any iterable, numpy scalars of
every width, NaN in order queries, ordinary exceptions for bad input, dunder names, documentation and version."""

import copy
import importlib.metadata
import inspect
import math
import pickle
import pydoc
import random
import struct
import sys

import pytest

import Vostrel
from Vostrel import PyQueryExpr as Q
from Vostrel import _debug
from model import BadBound, Obj, TreeGen, ValueGen, build, evaluate, kind, plain

np = pytest.importorskip("numpy")


class Person(Vostrel.Indexable):
    """Importable (module level), so its instances pickle."""


class NeedsArgs(Vostrel.Indexable):
    def __init__(self, name, age):
        self.name, self.age = name, age


class WithDict(Vostrel.Indexable):
    """A subclass with an instance __dict__ (Python subclasses get one): dunder names can live there."""


def matches(source, query):
    return {id(o) for o in source.reduced_query(query)}


# ---- asdict ----

def test_asdict_matches_a_dict_model():
    rng = random.Random(31)
    values = ValueGen(rng)
    others = [Obj(k=i) for i in range(5)]
    for _ in range(200):
        shadow = {}
        obj = Person(**{f"c{i}": values.value(others) for i in range(rng.randrange(3))})
        shadow.update(Vostrel.asdict(obj))
        for _ in range(rng.randrange(12)):  # past eight attributes the map changes form
            name = rng.choice([f"a{i}" for i in range(11)])
            value = values.value(others)
            setattr(obj, name, value)
            shadow[name] = value
        got = Vostrel.asdict(obj)
        assert sorted(got) == sorted(shadow)
        if len(shadow) <= 8:
            assert list(got) == list(shadow)  # first-set order while the attributes sit inline
        for name, value in shadow.items():
            if kind(value) in ("num", "str", "bool"):
                assert got[name] == plain(value) and type(got[name]) is type(plain(value))
            else:
                assert got[name] is value  # containers, nested objects and other values: the very objects
    assert Vostrel.asdict(Person(asdict=1)) == {"asdict": 1}  # a module function shadows nothing
    assert type(Vostrel.asdict(Person(n=np.int32(3)))["n"]) is int
    for bad in (None, 1, {"a": 1}, Person):
        with pytest.raises(TypeError, match="obj"):
            Vostrel.asdict(bad)


# ---- pickling and copying ----

def random_people(rng, count):
    values = ValueGen(rng)
    people = []
    for _ in range(count):
        attrs = {name: values.scalar() for name in rng.sample(["a", "b", "c", "d"], rng.randrange(5))}
        attrs = {k: v for k, v in attrs.items() if type(v) in (int, float, str, bool, type(None))}
        person = Person(**attrs)
        if people and rng.random() < 0.5:
            person.friend = rng.choice(people)
        person.tags = [rng.randrange(9), "t"]
        people.append(person)
    people[0].friend = people[-1]  # a cycle through the objects
    return people


def same_state(a, b, seen=None):
    seen = set() if seen is None else seen
    if id(a) in seen:
        return True
    seen.add(id(a))
    da, db = Vostrel.asdict(a), Vostrel.asdict(b)
    if list(da) != list(db) or type(a) is not type(b):
        return False
    for name in da:
        x, y = da[name], db[name]
        if isinstance(x, Vostrel.Indexable):
            if not same_state(x, y, seen):
                return False
        elif not (x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y))):
            return False
    return True


def test_pickle_and_copies_round_trip_into_new_unindexed_objects():
    people = random_people(random.Random(41), 30)
    index = Vostrel.Index()
    for person in people:
        index.add_object(person)
    copies = {"deepcopy": copy.deepcopy(people)}
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copies[f"pickle {protocol}"] = pickle.loads(pickle.dumps(people, protocol=protocol))
    for how, clones in copies.items():
        assert len(clones) == len(people), how
        for original, clone in zip(people, clones):
            assert clone is not original and type(clone) is Person, how
            assert same_state(original, clone), how
            assert _debug.object_id(clone) != _debug.object_id(original)
            assert clone not in index and _debug.membership_count(clone) == 0
            assert clone.tags == original.tags and clone.tags is not original.tags
        # Shared references stay shared inside the copied graph.
        assert clones[0].friend is clones[-1], how
    assert len(index) == len(people)
    shallow = copy.copy(people[1])
    assert same_state(shallow, people[1]) and shallow.tags is people[1].tags and shallow not in index
    shallow.tags = ["changed"]
    assert people[1].tags != ["changed"]
    assert list(index.reduced_query(Q.eq("tags", "changed"))) == []


def test_copies_skip_init_and_keep_instance_dict_entries():
    person = NeedsArgs("Ann", 31)
    clone = pickle.loads(pickle.dumps(person))
    assert (clone.name, clone.age) == ("Ann", 31) and type(clone) is NeedsArgs
    obj = WithDict(x=1)
    obj.__note__ = "kept in __dict__"
    for clone in (copy.copy(obj), copy.deepcopy(obj), pickle.loads(pickle.dumps(obj))):
        assert clone.x == 1 and clone.__note__ == "kept in __dict__"
        assert Vostrel.asdict(clone) == {"x": 1}


def test_unimportable_classes_fail_as_pickle_does():
    class Local(Vostrel.Indexable):
        pass

    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(Local(a=1))
    assert pickle.loads(pickle.dumps(Vostrel.Indexable(a=1))).a == 1  # the base class itself is importable


# ---- operators and in_ ----

def test_operators_build_the_combinators():
    a, b, c = Q.eq("x", 1), Q.gt("y", 2), Q.starts_with("s", "a")
    strip = lambda q: "".join(ch for ch in repr(q) if not ch.isdigit())  # noqa: E731 - addresses and hashes differ
    assert repr(a & b) == repr(Q.and_(a, b))
    assert repr(a | b) == repr(Q.or_(a, b))
    assert repr(~a) == repr(Q.not_(a))
    assert strip(a & b | ~c) == strip(Q.or_(Q.and_(a, b), Q.not_(c)))
    for bad in (1, None, "x", [a]):
        with pytest.raises(TypeError):
            a & bad
        with pytest.raises(TypeError):
            bad | a
    with pytest.raises(TypeError, match="truth value"):
        bool(a)
    with pytest.raises(TypeError, match="truth value"):
        a and b  # noqa: B018 - `and` would silently drop the left query


def test_operators_answer_as_the_model_on_random_trees():
    rng = random.Random(52)
    values = ValueGen(rng)
    objs = [Obj(**{name: values.value() for name in ("a", "b", "c") if rng.random() < 0.8}) for _ in range(60)]
    shadow = {id(o): Vostrel.asdict(o) for o in objs}
    index = Vostrel.Index()
    for obj in objs:
        index.add_object(obj)
    assigned = [v for attrs in shadow.values() for v in attrs.values()]
    trees = TreeGen(rng, values, lambda: assigned, bad_bound_rate=0)

    def with_operators(tree):
        op = tree[0]
        if op in ("and", "or") and tree[1]:
            parts = [with_operators(t) for t in tree[1]]
            out = parts[0]
            for part in parts[1:]:
                out = (out & part) if op == "and" else (out | part)
            return out
        if op == "not":
            return ~with_operators(tree[1])
        return build(tree)

    for _ in range(300):
        tree = trees.tree(3)
        try:
            expected = evaluate(tree, objs, lambda o: shadow[id(o)])
        except BadBound:
            continue
        assert matches(index, with_operators(tree)) == expected, tree


def test_in_accepts_any_iterable_but_a_string():
    objs = [Obj(x=i, s=str(i)) for i in range(10)]
    index = Vostrel.Index()
    for obj in objs:
        index.add_object(obj)
    want = {id(objs[i]) for i in (1, 3, 5)}
    iterables = [[1, 3, 5], (1, 3, 5), {1, 3, 5}, frozenset({1, 3, 5}), (i for i in (1, 3, 5)), range(1, 6, 2),
                 {1: "a", 3: "b", 5: "c"}, iter([5, 3, 1]), np.array([1, 3, 5])]
    for values in iterables:
        assert matches(index, Q.in_("x", values)) == want, type(values)
    assert matches(index, Q.in_(attr="s", values={"1", "3", "5"})) == want
    assert matches(index, Q.in_("x", set())) == set()
    for bad in ("135", "", 5, None, Q.eq("x", 1), object()):
        with pytest.raises(TypeError, match="values"):
            Q.in_("x", bad)

    def failing():
        yield 1
        raise ZeroDivisionError("from the generator")

    with pytest.raises(ZeroDivisionError):
        Q.in_("x", failing())


# ---- numpy scalars ----

INT_WIDTHS = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64, np.longlong,
              np.ulonglong]
FLOAT_WIDTHS = [np.float16, np.float32, np.float64]


def test_numpy_scalars_of_every_width_are_numbers():
    rng = random.Random(61)
    index = Vostrel.Index()
    objs = []
    for _ in range(300):
        t = rng.choice(INT_WIDTHS + FLOAT_WIDTHS)
        info = np.iinfo(t) if t in INT_WIDTHS else None
        raw = rng.randint(int(info.min), min(int(info.max), 2**63 - 1)) if info else rng.uniform(-100, 100)
        obj = Obj(v=t(raw))
        index.add_object(obj)
        objs.append(obj)
    plain = {id(o): o.v for o in objs}
    for obj in objs:  # read back as plain numbers, equal to the numpy value
        assert type(obj.v) in (int, float)
    for _ in range(80):
        probe = plain[id(rng.choice(objs))]
        typed = rng.choice(INT_WIDTHS if isinstance(probe, int) else FLOAT_WIDTHS)
        try:
            query_value = typed(probe)
        except OverflowError:
            continue
        if float(query_value) != probe and not isinstance(probe, int):
            query_value = probe
        if isinstance(probe, int) and int(query_value) != probe:
            continue  # wrapped around in a narrower width
        assert matches(index, Q.eq("v", query_value)) == {i for i, v in plain.items() if v == probe}
        assert matches(index, Q.gt("v", query_value)) == {i for i, v in plain.items() if v > probe}
        assert matches(index, Q.le("v", query_value)) == {i for i, v in plain.items() if v <= probe}
    # Captures hash like their plain value, so equal keys meet in the value maps.
    for t in INT_WIDTHS:
        assert _debug.hash(t(7)) == _debug.hash(7) and _debug.values_equal(t(7), 7)
    for t in FLOAT_WIDTHS:
        assert _debug.hash(t(0.5)) == _debug.hash(0.5) and _debug.values_equal(t(0.5), 0.5)
    for raw in (2**64 - 1, 2**63 - 1):  # beyond 64 signed bits too: a plain int
        read = Obj(v=np.uint64(raw)).v
        assert type(read) is int and read == raw


# ---- NaN ----

def test_order_queries_never_match_nan():
    nan, neg_nan = float("nan"), -float("nan")
    other_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]  # a signalling pattern
    rng = random.Random(71)
    pool = [nan, neg_nan, other_nan, math.inf, -math.inf, 0.0, -0.0, 1, -1, 2.5, 1e308, -1e308, 5e-324,
            2**63 - 1, -(2**63)]
    objs = [Obj(v=rng.choice(pool + [rng.uniform(-10, 10)]), w=[nan, 1.0]) for _ in range(200)]
    objs += [Obj(w=nan), Obj(v=np.float32("nan")), Obj(v=[nan])]  # without v; numpy NaN; NaN as a member only
    index = Vostrel.Index()
    for obj in objs:
        index.add_object(obj)
    view = index.reduced_query(Q.ne("v", 1))
    values = {id(o): o.v for o in objs if "v" in Vostrel.asdict(o) and isinstance(o.v, (int, float))}
    ones = {i for i, x in values.items() if x == 1}
    bounds = pool + [rng.uniform(-10, 10) for _ in range(10)]
    ops = {"gt": lambda x, b: x > b, "ge": lambda x, b: x >= b, "lt": lambda x, b: x < b, "le": lambda x, b: x <= b}
    for bound in bounds:
        for name, op in ops.items():
            expected = {i for i, x in values.items() if op(x, bound)}
            assert matches(index, getattr(Q, name)("v", bound)) == expected, (name, bound)
            assert matches(view, getattr(Q, name)("v", bound)) == expected - ones
        for upper in rng.sample(bounds, 5):
            expected = {i for i, x in values.items() if bound <= x <= upper}
            assert matches(index, Q.bt("v", bound, upper)) == expected, (bound, upper)
    # A NaN held alone or as a list member, and list members in general, never match an order test.
    assert matches(index, Q.gt("w", 0)) == set() and matches(index, Q.lt("w", 2)) == set()
    assert matches(index, Q.eq("w", 1.0)) == {id(o) for o in objs[:200]}  # list members do match equality
    nan_objects = {i for i, x in values.items() if x != x}
    assert nan_objects and matches(index, ~Q.ge("v", -math.inf)) >= nan_objects  # not_ includes them


# ---- bad input ----

def test_bad_input_raises_ordinary_exceptions_and_changes_nothing():
    obj = Person(a=1, s="keep")
    index = Vostrel.Index()
    index.add_object(obj)
    # Any value is stored; what fails is the process, not the value: a hash that runs out of memory or recursion.
    out_of_memory = type("OutOfMemory", (), {"__hash__": lambda s: (_ for _ in ()).throw(MemoryError())})()
    too_deep = type("TooDeep", (), {"__hash__": lambda s: (_ for _ in ()).throw(RecursionError())})()
    cases = [
        (lambda: setattr(obj, "a", out_of_memory), MemoryError),
        (lambda: setattr(obj, "a", [too_deep]), RecursionError),
        (lambda: Person(a=out_of_memory), MemoryError),
        (lambda: Q.eq("a", too_deep), RecursionError),
        (lambda: Q.in_("a", [1, out_of_memory]), MemoryError),
        (lambda: index.reduced(a=out_of_memory), MemoryError),
        (lambda: setattr(obj, "lone \ud800", 1), UnicodeEncodeError),  # names are UTF-8 text
        (lambda: index.reduced_query(Q.bt("a", "x", 3)), NotImplementedError),
        (lambda: index.reduced_query(Q.bt("a", 0, None) | Q.eq("a", 1)), NotImplementedError),
        (lambda: index.add_object_many(5), TypeError),
        # An iterable whose __iter__ fails keeps its own error.
        (lambda: index.add_object_many(type("BadIter", (), {"__iter__": lambda s: 1 / 0})()), ZeroDivisionError),
    ]
    for call, error in cases:
        try:
            call()
        except Exception as caught:  # every one is an ordinary Exception now
            assert isinstance(caught, error), (caught, error)
            if error is NotImplementedError:
                assert str(caught).startswith("not yet implemented: the ")
        else:
            pytest.fail(f"no {error.__name__}")
    assert Vostrel.asdict(obj) == {"a": 1, "s": "keep"}
    assert list(index.reduced(a=1, s="keep")) == [obj]
    assert issubclass(UnicodeEncodeError, ValueError)


# ---- dunder names ----

def test_dunder_names_take_ordinary_attribute_handling():
    with pytest.raises(TypeError):
        Person(**{"__class__": int})
    with pytest.raises(AttributeError):
        Vostrel.Indexable(__note__=1)  # the base class has no __dict__ to put it in
    obj = Person(a=1)
    assert obj.__class__ is Person and isinstance(obj, Person) and not isinstance(obj, int)
    with pytest.raises(TypeError):
        obj.__class__ = int
    for name in ("__dict__", "__reduce_ex__", "__len__"):
        with pytest.raises(AttributeError):
            setattr(Vostrel.Indexable(), name, 1)
    # A subclass with an instance __dict__ keeps such names there, never in the attribute map or the indexes.
    other = WithDict(__note__="n", b=2)
    other.__extra__ = 3
    assert other.__note__ == "n" and other.__extra__ == 3
    assert Vostrel.asdict(other) == {"b": 2} and repr(other) == "<Indexable with 1 attributes>"
    index = Vostrel.Index()
    index.add_object(other)
    assert list(index.reduced(b=2)) == [other] and len(index.reduced(**{"__extra__": 3})) == 0
    assert "b" in dir(other) and "__extra__" in dir(other)
    # The query made "__extra__" a known attribute name: reads and writes of it still take the ordinary handling.
    other.__extra__ = 4
    assert other.__extra__ == 4 and other.__dict__ == {"__note__": "n", "__extra__": 4}
    assert Vostrel.asdict(other) == {"b": 2} and len(index.reduced(**{"__extra__": 4})) == 0
    with pytest.raises(AttributeError):
        Vostrel.Indexable().__extra__ = 1
    del other.__extra__  # ordinary deletion for ordinary attributes
    assert not hasattr(other, "__extra__")
    # A class attribute named like a protocol hook is found as usual.
    assert Person.__doc__.startswith("Importable") and obj.__doc__ == Person.__doc__


# ---- documentation, version, private hooks ----

EXPECTED_SIGNATURES = {
    "Index": "()", "Indexable": "(*_args, **kwargs)", "asdict": "(obj)", "sum_as_string": "(a, b)",
    "Index.add_object": "(self, /, py_ref)", "Index.remove_object": "(self, /, py_ref)",
    "Index.collect": "(self, /)", "Index.reduced": "(self, /, **kwargs)",
    "Index.reduced_query": "(self, /, query)", "Index.get_by_attribute": "(self, /, **kwargs)",
    "FilteredIndex.reduced": "(self, /, **kwargs)", "FilteredIndex.reduced_query": "(self, /, query)",
    "FilteredIndex.collect": "(self, /)", "Indexable.__dir__": "(self, /)",
    "PyQueryExpr.eq": "(attr, value)", "PyQueryExpr.bt": "(attr, lower, upper)", "PyQueryExpr.in_": "(attr, values)",
    "PyQueryExpr.and_": "(*exprs)", "PyQueryExpr.or_": "(*exprs)", "PyQueryExpr.not_": "(exprs)",
}


def public_callables():
    for name in ("Index", "Indexable", "FilteredIndex", "PyQueryExpr", "asdict", "sum_as_string"):
        owner = getattr(Vostrel, name)
        yield name, owner
        if isinstance(owner, type):
            for member, value in vars(owner).items():
                if not member.startswith("_") or member in ("__dir__", "__reduce__"):
                    yield f"{name}.{member}", value


def test_every_class_and_method_is_documented_and_keeps_its_signature():
    for name, obj in public_callables():
        doc = obj.__doc__ if not isinstance(obj, staticmethod) else obj.__func__.__doc__
        assert doc and len(doc) > 20, name
    for name, signature in EXPECTED_SIGNATURES.items():
        target = Vostrel
        for part in name.split("."):
            target = getattr(target, part)
        assert str(inspect.signature(target)) == signature, name
    for name in ("eq", "ne", "gt", "ge", "lt", "le", "starts_with", "ends_with", "contains"):
        assert str(inspect.signature(getattr(Q, name))) == "(attr, value)"
    text = pydoc.render_doc(Vostrel, renderer=pydoc.plaintext)
    for phrase in ("in-memory attribute indexes", "snapshot of ids", "remove_object", "asdict", "NaN"):
        assert phrase in text


def test_version_and_private_hooks():
    assert Vostrel.__version__ == importlib.metadata.version("Vostrel")
    assert all(part.isdigit() for part in Vostrel.__version__.split(".")[:2])
    assert not any("debug" in name for name in dir(Vostrel))
    assert sys.modules["Vostrel._debug"] is _debug and not hasattr(Vostrel, "_debug")
