"""Ordering, value counts, groups and aggregates of Index and FilteredIndex, against a plain-Python model.

Random worlds mix every kind an attribute can hold (ints, floats with NaN, infinities and -0.0, bools, text with
non-ASCII, lists, nested objects, None, missing); answers are checked on the index and on views, after writes,
removals, reduce and union, and on views made before them (which must not count objects that left, nor later
objects at reused ids).
"""

import gc
import math
import random
import threading
from collections import Counter
from fractions import Fraction

import pytest

import Vostrel
from conftest import BASE_SEED, race
from model import Obj

Q = Vostrel.PyQueryExpr
MISSING = object()
TEXTS = ["", "a", "ab", "b", "Zürich", "zurich", "Ω", "é", "e\u0301", "😀", "long text past fifteen bytes"]


def random_value(rng):
    roll = rng.random()
    if roll < 0.25:
        return rng.choice([rng.randint(-5, 5), rng.randint(-2**62, 2**62), 2**63 - 1, -2**63])
    if roll < 0.45:
        return rng.choice([rng.randint(-8, 8) / 4, -0.0, math.inf, -math.inf, math.nan, 1e300, 5e-324])
    if roll < 0.55:
        return rng.random() < 0.5
    if roll < 0.75:
        return rng.choice(TEXTS)
    if roll < 0.82:
        return [rng.randint(0, 3) for _ in range(rng.randint(0, 3))] + rng.sample(["a", "b"], rng.randint(0, 1))
    if roll < 0.84:
        return Obj(v=rng.randint(0, 2))
    if roll < 0.86:
        return [Obj(v=rng.choice([0, 2, "x"])) for _ in range(rng.randint(1, 2))] + [rng.randint(0, 3)]
    if roll < 0.9:
        return None
    return MISSING


def make(rng, **extra):
    value = random_value(rng)
    fields = {"w": rng.randint(-2**62, 2**62)} if rng.random() < 0.8 else {}
    fields.update(extra)
    if value is not MISSING:
        fields["v"] = value
    return Obj(**fields)


# --- the model: what each answer should be, from the objects' values read in Python.

def value_of(obj, attr):
    return getattr(obj, attr, MISSING)


def is_number(value):
    return type(value) in (int, float) and value == value


def order_class(value):
    return 0 if is_number(value) else 1 if type(value) is str else 2


def model_sorted(objs, attr, reverse=False, limit=None, offset=0):
    """`objs` in id order: numbers, then text, then the rest in id order; ties by id."""
    ranked = list(enumerate(objs))
    ordered = []
    for cls in (0, 1):
        part = [(value_of(o, attr), i, o) for i, o in ranked if order_class(value_of(o, attr)) == cls]
        part.sort(key=lambda t: t[1])
        part.sort(key=lambda t: t[0], reverse=reverse)  # stable: ties stay in id order
        ordered += [o for _, _, o in part]
    ordered += [o for _, o in ranked if order_class(value_of(o, attr)) == 2]
    end = None if limit is None else offset + limit
    return ordered[offset:end]


def values_held(value):
    """The values an object is counted under: itself, or the members of a list (no bools among them)."""
    if isinstance(value, list):
        return {member for member in value if not isinstance(member, Obj)}
    if value is MISSING or isinstance(value, (Obj, dict)) or (type(value) is float and value != value):
        return set()
    return {value}


def model_counts(objs, attr):
    counts = Counter()
    seen_numbers = set()
    for o in objs:
        held = values_held(value_of(o, attr))
        counts.update(held)
        seen_numbers.update(v for v in held if type(v) in (int, float))

    def rank(value):  # a bool equal to a number present shares its key, and so its place
        if type(value) in (int, float) or (type(value) is bool and value in seen_numbers):
            return (0, value)
        return (1, value) if type(value) is str else (2, value) if type(value) is bool else (3, 0)

    return sorted(counts.items(), key=lambda kv: (-kv[1], rank(kv[0])))


def model_path_counts(objs, attr):
    """value_counts of "attr.v": each object once per value its nested objects (directly or in a list) hold."""
    counts = Counter()
    for o in objs:
        value = value_of(o, attr)
        nested = [value] if isinstance(value, Obj) else [m for m in value if isinstance(m, Obj)] \
            if isinstance(value, list) else []
        counts.update({n.v for n in nested})
    return sorted(counts.items(), key=lambda kv: (-kv[1], type(kv[0]) is str, kv[0]))


def numbers(objs, attr):
    return [v for v in (value_of(o, attr) for o in objs) if is_number(v)]


def check_total(got, held, attr):
    infinities = {v for v in held if math.isinf(v)}
    if infinities:
        assert math.isnan(got) if len(infinities) == 2 else got == infinities.pop()
        return
    exact = sum((Fraction(v) for v in held), Fraction(0))
    assert got == (float(exact) if type(got) is float else exact)
    if attr == "w":  # only ever ints: an exact int
        assert type(got) is int
    if any(type(v) is float for v in held):
        assert type(got) is float


def check_answers(view, objs, attrs=("v", "w")):
    """Every answer of `view` against the model over `objs` (the view's objects, in id order)."""
    for attr in attrs:
        for reverse in (False, True):
            assert view.sorted_by(attr, reverse=reverse) == model_sorted(objs, attr, reverse)
            for limit, offset in ((1, 0), (3, 2), (10, len(objs) // 2), (0, 1), (5, len(objs) + 3)):
                got = view.sorted_by(attr, reverse=reverse, limit=limit, offset=offset)
                assert got == model_sorted(objs, attr, reverse, limit, offset), (attr, reverse, limit, offset)
        expected = model_counts(objs, attr)
        counts = view.value_counts(attr)
        assert list(counts.items()) == expected
        groups = view.group_by(attr)
        assert list(groups) == list(counts)
        for key, group in groups.items():
            assert isinstance(group, Vostrel.FilteredIndex)
            assert len(group) == counts[key]
            assert all(key in values_held(value_of(o, attr)) for o in group)
        path_counts = view.value_counts(attr + ".v")
        assert list(path_counts.items()) == model_path_counts(objs, attr)
        assert {k: len(g) for k, g in view.group_by(attr + ".v").items()} == path_counts
        held = numbers(objs, attr)
        total = view.sum(attr)
        check_total(total, held, attr)
        assert view.min(attr) == (min(held) if held else None)
        assert view.max(attr) == (max(held) if held else None)
        mean = view.mean(attr)
        if not held:
            assert mean is None
        elif total == total:
            assert mean == total / len(held)


def id_order(index):
    return index.collect()


@pytest.mark.parametrize("seed", range(3))
def test_answers_match_the_model_on_random_worlds(seed):
    rng = random.Random(BASE_SEED * 31 + seed)
    index = Vostrel.Index()
    objs = [make(rng) for _ in range(rng.choice([40, 300]))]
    index.add_object_many(objs)
    check_answers(index, id_order(index))
    view = index.reduced_query(Q.lt("w", 0) | Q.eq("v", "a"))
    check_answers(view, view.collect())
    check_answers(index.reduced_query(Q.eq("w", 12345)), [])


def test_writes_removals_reduce_and_union_and_views_made_before_them():
    rng = random.Random(BASE_SEED + 7)
    index = Vostrel.Index()
    objs = [make(rng) for _ in range(250)]
    index.add_object_many(objs)
    before = index.reduced_query(Q.gt("w", -2**61))
    members = before.collect()
    left = set()  # objects that left the index at some point: the view holds none of them, even once back

    def still_in_view():
        return [o for o in members if o in index and id(o) not in left]

    # Writes: values move between kinds; removals; new objects take the freed ids.
    for o in rng.sample(objs, 80):
        value = random_value(rng)
        o.v = {"a dict": "holds nothing"} if value is MISSING else value
    gone = rng.sample(objs, 40)
    for o in gone:
        index.remove_object(o)
        left.add(id(o))
    index.add_object_many([make(rng, w=1) for _ in range(60)])
    check_answers(index, id_order(index))
    check_answers(before, still_in_view())
    # Reduce, then union with another index (some objects come back); the view from before still answers for its
    # own objects only.
    held = index.collect()
    index.reduce(w=1)
    left.update(id(o) for o in held if o not in index)
    check_answers(index, id_order(index))
    other = Vostrel.Index()
    other.add_object_many([make(rng) for _ in range(50)] + gone[:10] + held[:5])
    index.union_with(other)
    check_answers(index, id_order(index))
    check_answers(before, still_in_view())


def test_an_id_of_a_view_reused_for_a_list_member_is_no_object_of_it():
    """Ids are process-wide: once an object that left the index dies, its id may come back as the element id of a
    list member in the same value map. A view made before must take it for no object: not in ranges (which ignore
    members, also through their owner), sums, extremes or the order."""
    index = Vostrel.Index()
    ones = [Obj(v=1) for _ in range(3)]
    holder = Obj(v=0)
    leaving = Obj(v=5)
    index.add_object_many(ones + [holder, leaving])
    view = index.reduced_query(Q.ge("v", 0))
    index.remove_object(leaving)
    del leaving
    gc.collect()
    holder.v = [7, 8]  # element ids: the lowest free ids, the one `leaving` had among them
    assert view.reduced_query(Q.gt("v", 6)).collect() == []
    assert view.reduced_query(Q.eq("v", 7)).collect() == [holder]  # equality matches members as their owner
    assert view.sum("v") == 3 and view.max("v") == 1 and view.min("v") == 1
    assert view.sorted_by("v") == ones + [holder]
    assert view.sorted_by("v", reverse=True, limit=1, offset=3) == [holder]
    assert view.value_counts("v") == {1: 3, 7: 1, 8: 1}


def test_numbers_read_back_exactly():
    index = Vostrel.Index()
    ints = [Obj(n=2**63 - 1) for _ in range(4)] + [Obj(n=1), Obj(n=-2**63)]
    index.add_object_many(ints)
    assert index.sum("n") == 4 * (2**63 - 1) + 1 - 2**63 and type(index.sum("n")) is int
    assert index.mean("n") == (4 * (2**63 - 1) + 1 - 2**63) / 6
    assert index.min("n") == -2**63 and index.max("n") == 2**63 - 1 and type(index.max("n")) is int
    floats = Vostrel.Index()
    values = [0.1] * 10 + [1e100, 1.0, -1e100, 3.0, -0.0]
    floats.add_object_many(Obj(x=v) for v in values)
    assert floats.sum("x") == math.fsum(values)
    assert floats.value_counts("x") == {0.1: 10, 1.0: 1, 1e100: 1, -1e100: 1, 3.0: 1, 0.0: 1}
    assert type(floats.max("x")) is float and floats.max("x") == 1e100
    # 1 and 1.0 are one value, bools another; an int attribute with NaN for "missing" stays an int attribute.
    mixed = Vostrel.Index()
    mixed.add_object_many([Obj(x=1), Obj(x=math.nan), Obj(x=2), Obj(x=False)])
    assert mixed.value_counts("x") == {1: 1, 2: 1, False: 1}
    assert type(mixed.max("x")) is int and mixed.sum("x") == 3 and mixed.mean("x") == 1.5
    mixed.add_object(Obj(x=1.0))
    assert mixed.value_counts("x") == {1.0: 2, 2.0: 1, False: 1} and type(mixed.max("x")) is float


@pytest.mark.parametrize("with_floats", [False, True])
def test_ints_beyond_64_bits_count_in_every_aggregate(with_floats):
    # 2**70 + 5 and -(2**90 + 1) have more significant bits than any key holds; 2**70 has one.
    values = [2**70 + 5, 2**70 + 5, -(2**90 + 1), 2**70, 7, 3] + ([0.5] if with_floats else [])
    index = Vostrel.Index()
    index.add_object_many(Obj(n=v) for v in values)
    view = index.reduced_query(Vostrel.PyQueryExpr.ne("n", 3))
    for where, held in ((index, values), (view, [v for v in values if v != 3])):
        exact = sum(Fraction(v) for v in held)
        total = where.sum("n")
        assert total == (float(exact) if with_floats else exact) and type(total) is (float if with_floats else int)
        assert where.mean("n") == pytest.approx(float(exact) / len(held), rel=1e-12)
        assert where.min("n") == min(held) and where.max("n") == max(held)
    # A float attribute's int total past 2**53 joins the big ints exactly, and is rounded once.
    mixed = Vostrel.Index()
    # (2**60 + 2 alone rounds to 2**60, which would leave the total just under half a unit below the next float.)
    mixed.add_object_many([Obj(n=2**60 + 2), Obj(n=0.5), Obj(n=-0.5), Obj(n=2**70 + 2**17 - 1)])
    assert mixed.sum("n") == float(2**60 + 2 + 2**70 + 2**17 - 1)
    only_big = Vostrel.Index()
    only_big.add_object(Obj(n=2**80 + 1))
    assert only_big.sum("n") == 2**80 + 1 and only_big.min("n") == 2**80 + 1 and only_big.mean("n") == float(2**80 + 1)


def test_float_sums_are_correctly_rounded_over_small_and_large_sets_and_follow_writes():
    """Small views read the kept id -> number column, large ones walk the values: both must give math.fsum, and a
    write must reach the next sum of either."""
    rng = random.Random(BASE_SEED + 5)
    values = [rng.choice([-1, 1]) * math.ldexp(rng.random(), rng.randint(-1074, 990)) for _ in range(3000)]
    values += [0.1] * 500 + [-0.0, 5e-324, 1e308, -1e308]
    objs = [Obj(x=v, k=i % 97) for i, v in enumerate(values)]
    index = Vostrel.Index()
    index.add_object_many(objs)
    small = index.reduced(k=3)
    for _ in range(3):
        assert index.sum("x") == math.fsum(o.x for o in objs)
        assert small.sum("x") == math.fsum(o.x for o in small)
        assert small.mean("x") == math.fsum(o.x for o in small) / len(small)
        assert {k: g.sum("x") for k, g in index.group_by("k").items()} == {
            k: math.fsum(o.x for o in objs if o.k == k) for k in range(97)}
        victim = rng.choice(small.collect())
        victim.x = rng.choice([victim.x * 3, 2.5, -7.25])


def test_bad_input_changes_nothing():
    index = Vostrel.Index()
    objs = [Obj(v=i, t=str(i)) for i in range(5)]
    index.add_object_many(objs)
    view = index.reduced_query(Q.ge("v", 0))
    for target in (index, view):
        for method in (target.sorted_by, target.value_counts, target.group_by, target.sum, target.min,
                       target.max, target.mean):
            with pytest.raises(TypeError):
                method(3)
            if method.__name__ in ("value_counts", "group_by"):
                assert method("a.b") == {} and method("v.x.y") == {}
            else:
                with pytest.raises(NotImplementedError):
                    method("a.b")
        with pytest.raises(ValueError):
            target.sorted_by("v", limit=-1)
        with pytest.raises(ValueError):
            target.sorted_by("v", offset=-2)
        with pytest.raises(TypeError):
            target.sorted_by("v", limit="3")
        with pytest.raises(TypeError):
            target.sorted_by("v", True)
        assert target.value_counts("nope") == {} and target.group_by("nope") == {}
        assert target.sum("nope") == 0 and target.min("nope") is None and target.mean("nope") is None
        assert target.sorted_by("nope") == objs  # all lack it: the rest, in id order
        assert target.sorted_by("v", limit=10**30) == objs
    assert index.collect() == objs and [o.v for o in objs] == list(range(5))


def test_readers_order_and_aggregate_while_writers_move_values():
    """Writers move numbers between objects; every reader answer must be one consistent state."""
    rng = random.Random(BASE_SEED + 11)
    index = Vostrel.Index()
    objs = [Obj(v=rng.randint(0, 5000)) for _ in range(2000)]
    index.add_object_many(objs)
    still_values = [rng.randint(0, 5000) + 0.25 for _ in range(30)]
    index.add_object_many(Obj(v=v, u=i % 3) for i, v in enumerate(still_values))
    still_view = index.reduced_query(Q.ge("u", 0))
    still_sum = math.fsum(still_values)
    still_groups = {k: math.fsum(still_values[k::3]) for k in range(3)}
    stop = threading.Event()

    def writer(seed):
        r = random.Random(seed)
        while not stop.is_set():
            r.choice(objs).v = r.choice([r.randint(0, 5000), r.randint(0, 5000) + 0.5])
            extra = Obj(v=-1)
            index.add_object(extra)  # a passer-by: in and out again
            index.remove_object(extra)

    def reader(seed):
        r = random.Random(seed)
        while not stop.is_set():
            view = index.reduced_query(Q.ge("v", 0)) if r.random() < 0.5 else index
            # Each object holds one number at every moment (each writer's passer-by too, once registered).
            whole = range(len(objs) + 30, len(objs) + 33) if view is index else (len(objs) + 30,)  # passers-by
            assert sum(view.value_counts("v").values()) in whole
            assert sum(len(group) for group in view.group_by("v").values()) in whole
            top = view.sorted_by("v", reverse=True, limit=5)
            assert len(top) == 5
            low, high = view.min("v"), view.max("v")
            assert -1 <= low <= high <= 5000.5
            assert -1 <= view.mean("v") <= 5000.5
            # A few objects no writer touches, against thousands of distinct values: their sum reads the
            # kept column, which the writes to the others keep making stale.
            assert still_view.sum("v") == still_sum and still_view.max("v") == max(still_values)
            assert {k: g.sum("v") for k, g in still_view.group_by("u").items()} == still_groups

    race(stop, writer, reader)
    assert sum(index.value_counts("v").values()) == len(objs) + len(still_values)
    assert index.sum("v") == sum(Fraction(o.v) for o in objs) + sum(Fraction(v) for v in still_values)
