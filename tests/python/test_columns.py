"""Columns: to_numpy, to_arrow, to_pandas and to_dicts against a plain-Python model of what was assigned, with and
without the optional packages, and while writers run."""

import math
import random
import threading

import pytest

import Vostrel
from conftest import BASE_SEED, race
from model import Obj

np = pytest.importorskip("numpy")
Q = Vostrel.PyQueryExpr

TEXTS = ["", "a", "héllo", "日本語のテキスト", "x" * 40, "emoji 🎉 and more text", "-0.0"]


def random_value(rng, kind, nested):
    if kind == "int":
        return rng.choice([0, -1, 7, 2**40, -(2**62), rng.randint(-1000, 1000)])
    if kind == "float":
        return rng.choice([0.5, -0.0, 0.0, math.nan, math.inf, -1e300, rng.uniform(-1e6, 1e6)])
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "text":
        return rng.choice(TEXTS)
    if kind == "list":
        return [rng.randint(-5, 5) for _ in range(rng.randint(0, 4))]
    return rng.choice(nested)


# Attribute -> the kinds its values are drawn from; every attribute is missing from some objects.
COLUMN_KINDS = {
    "i": ["int"], "f": ["float"], "n": ["int", "float"], "b": ["bool"], "t": ["text"], "l": ["list"],
    "o": ["nested"], "mixed": ["int", "text", "bool"],
}


def world(seed, count=300):
    rng = random.Random(seed)
    nested = [Obj(k=i) for i in range(3)]
    index = Vostrel.Index()
    objs, shadows = [], []
    for _ in range(count):
        attrs = {name: random_value(rng, rng.choice(kinds), nested)
                 for name, kinds in COLUMN_KINDS.items() if rng.random() < 0.85}
        attrs["key"] = rng.randint(0, 50)
        objs.append(Obj(**attrs))
        shadows.append(attrs)
    index.add_object_many(objs)
    return index, objs, shadows


def same(a, b):
    """Equal as stored values: NaN equals NaN, -0.0 differs from 0.0, 1 differs from True."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and (a is b or a == b)


def expected_numpy_dtype(values):
    present = [v for v in values if v is not None]
    if len(present) < len(values) or not present:
        return object
    if all(type(v) is int for v in present):
        return np.int64
    if all(type(v) in (int, float) for v in present):
        return np.float64
    if all(type(v) is bool for v in present):
        return np.bool_
    return object


@pytest.mark.parametrize("seed", range(BASE_SEED, BASE_SEED + 3))
def test_columns_match_the_model(seed):
    index, objs, shadows = world(seed)
    view = index.reduced_query(Q.lt("key", 25))
    # Objects come in id order; ids ascend with creation here.
    chosen = [(o, s) for o, s in zip(objs, shadows) if s["key"] < 25]
    assert len(chosen) == len(view)
    names_seen = list(dict.fromkeys(name for _, s in chosen for name in s))

    dicts = view.to_dicts()
    assert len(dicts) == len(chosen)
    for got, (_, shadow) in zip(dicts, chosen):
        assert list(got) == [n for n in names_seen if n in shadow] or set(got) == set(shadow)
        assert all(same(got[name], shadow[name]) for name in shadow)

    for name in list(COLUMN_KINDS) + ["key", "never_set"]:
        model = [s.get(name) for _, s in chosen]
        array = view.to_numpy(name)
        assert array.dtype == expected_numpy_dtype(model), name
        assert len(array) == len(model)
        for got, want in zip(array.tolist(), model):
            assert (got is None and want is None) or same(got, want) or (
                type(want) is int and array.dtype == np.float64 and got == float(want)), (name, got, want)

    # A number column with gaps keeps its type once the gaps are filled.
    ints = [s.get("i") for _, s in chosen]
    filled = view.to_numpy("i", fill=-3)
    assert filled.dtype == np.int64 and filled.tolist() == [-3 if v is None else v for v in ints]
    as_float = view.to_numpy("i", dtype="float64", fill=math.nan)
    assert as_float.dtype == np.float64 and all(
        (v is None and math.isnan(g)) or g == v for g, v in zip(as_float.tolist(), ints))
    with pytest.raises(ValueError, match="fill"):
        view.to_numpy("i", dtype="int64")

    # Ordering and paging compose as sorted_by gives them.
    top = view.sorted_by("n", reverse=True, limit=7, offset=2)
    page = view.to_dicts(["n", "key"], order_by="n", reverse=True, limit=7, offset=2)
    assert [d.get("key") for d in page] == [o.key for o in top]
    assert view.to_numpy("key", order_by="n", reverse=True, limit=7, offset=2).tolist() == [o.key for o in top]
    assert index.to_numpy("key", limit=5, offset=3).tolist() == [s["key"] for s in shadows[3:8]]


@pytest.mark.parametrize("seed", range(BASE_SEED, BASE_SEED + 2))
def test_arrow_and_pandas_match_the_model(seed):
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    index, objs, shadows = world(seed)
    arrow_names = ["i", "f", "n", "b", "t", "l", "key", "never_set"]
    table = index.to_arrow(arrow_names)
    assert table.column_names == arrow_names
    types = dict(zip(table.column_names, table.schema.types))
    assert types["i"] == pa.int64() and types["f"] == pa.float64() and types["n"] == pa.float64()
    assert types["b"] == pa.bool_() and types["t"] == pa.utf8() and types["l"] == pa.list_(pa.int64())
    for name in arrow_names:
        model = [s.get(name) for s in shadows]
        if name == "n":
            model = [None if v is None else float(v) for v in model]
        assert all(same(g, w) or g is w for g, w in zip(table.column(name).to_pylist(), model)), name
    # A mixed column is no Arrow column, asked for or not (only nested objects are left out unasked).
    with pytest.raises(TypeError, match="'mixed'"):
        index.to_arrow()
    with pytest.raises(TypeError, match="'o'"):
        index.to_arrow(["o"])
    with pytest.raises(TypeError, match="'mixed'"):
        index.to_arrow(["mixed"])
    clean = index.reduced_query(Q.lt("key", 100))
    frame = clean.to_pandas(["i", "t", "o", "b"])
    assert list(frame.columns) == ["i", "t", "o", "b"] and len(frame) == len(objs)
    for row, shadow in zip(frame.itertuples(index=False), shadows):
        assert (pd.isna(row.i) and "i" not in shadow) or row.i == shadow.get("i")
        assert (pd.isna(row.t) and "t" not in shadow) or row.t == shadow.get("t")
        assert row.o is shadow.get("o")


def test_default_columns_leave_nested_objects_out():
    pa = pytest.importorskip("pyarrow")
    index = Vostrel.Index()
    index.add_object_many([Obj(a=1, inner=Obj(z=1)), Obj(b="é", a=2.5)])
    table = index.to_arrow()
    assert table.column_names == ["a", "b"] and table.column("a").to_pylist() == [1.0, 2.5]
    assert table.column("b").to_pylist() == [None, "é"]
    assert list(index.to_pandas().columns) == ["a", "inner", "b"]
    assert index.to_arrow([]).num_columns == 0 and len(Vostrel.Index().to_arrow()) == 0
    assert pa.types.is_int64(index.reduced_query(Q.eq("a", 1)).to_arrow(["a"]).schema.types[0])
    # Text beside None (an object, not a missing value) goes through pyarrow.array, its bytes decoded per row.
    index.add_object_many([Obj(s=None), Obj(s="ü" * 30), Obj(s="")])
    assert index.to_arrow(["s"]).column("s").to_pylist() == [None, None, None, "ü" * 30, ""]


def test_a_view_lists_only_its_own_objects():
    index = Vostrel.Index()
    objs = [Obj(v=i) for i in range(10)]
    index.add_object_many(objs)
    view = index.reduced_query(Q.lt("v", 5))
    index.remove_object(objs[0])
    index.add_object_many([Obj(v=1) for _ in range(5)])  # stored after the view was made, ids may be reused
    objs[1].v = 100  # a write changes what a view reads, not which objects it holds
    assert view.to_numpy("v").tolist() == [100, 2, 3, 4]
    assert [d["v"] for d in view.to_dicts()] == [100, 2, 3, 4]


def test_bad_input_raises_clearly():
    index = Vostrel.Index()
    index.add_object(Obj(v=1))
    for call, error in [
        (lambda: index.to_arrow("v"), TypeError),
        (lambda: index.to_dicts([1]), TypeError),
        (lambda: index.to_dicts(["v", "v"]), ValueError),
        (lambda: index.to_numpy(3), TypeError),
        (lambda: index.to_dicts(limit=-1), ValueError),
        (lambda: index.to_dicts(reverse=True), ValueError),
        (lambda: index.to_dicts(order_by=5), TypeError),
        (lambda: index.to_numpy("v", "int64"), TypeError),
    ]:
        with pytest.raises(error):
            call()
    assert index.to_dicts() == [{"v": 1}]


@pytest.mark.parametrize("blocked, call, package", [
    ("numpy", "index.to_numpy('v')", "numpy"),
    ("pyarrow", "index.to_arrow()", "Vostrel[arrow]"),
    ("pandas", "index.to_pandas()", "Vostrel[pandas]"),
])
def test_a_missing_package_names_itself(run_isolated, blocked, call, package):
    result = run_isolated(f"""
        import sys
        sys.modules[{blocked!r}] = None
        import Vostrel
        class O(Vostrel.Indexable): pass
        index = Vostrel.Index()
        index.add_object(O(v=1))
        try:
            {call}
        except ImportError as error:
            print("raised:", error)
        print(index.to_dicts())
    """)
    assert result.returncode == 0, result.stderr
    assert "raised:" in result.stdout and package in result.stdout and "[{'v': 1}]" in result.stdout


def test_pandas_without_pyarrow_goes_through_numpy(run_isolated):
    pytest.importorskip("pandas")
    result = run_isolated("""
        import math, sys
        sys.modules["pyarrow"] = None
        import Vostrel
        class O(Vostrel.Indexable): pass
        index = Vostrel.Index()
        index.add_object_many([O(i=1, t="é", b=True), O(t="x", b=False), O(i=3, b=None)])
        frame = index.to_pandas()
        assert list(frame.columns) == ["i", "t", "b"], frame.columns
        assert str(frame["i"].dtype) == "float64" and math.isnan(frame["i"][1]) and frame["i"][2] == 3
        assert list(frame["t"][:2]) == ["é", "x"] and frame["b"].tolist() == [True, False, None]
        print("ok")
    """)
    assert result.returncode == 0 and "ok" in result.stdout, result.stderr


def test_columns_read_while_writers_run():
    """Every value read is one a writer wrote whole: long text, lists and numbers are never torn."""
    def text(k):
        return f"{k}:" + "é" * (k % 40)

    index = Vostrel.Index()
    objs = [Obj(k=i, t=text(i), l=[i] * 3, g=0) for i in range(1500)]
    index.add_object_many(objs)
    view = index.reduced_query(Q.eq("g", 0))
    stop = threading.Event()

    def writer(seed):
        r = random.Random(seed)
        while not stop.is_set():
            o = r.choice(objs)
            k = r.randint(0, 10_000)
            o.t = text(k)
            o.l = [k] * 3
            o.k = r.choice([k, k + 0.5])
            extra = Obj(k=-1, t=text(0), l=[0] * 3, g=0)
            index.add_object(extra)
            index.remove_object(extra)

    def reader(seed):
        r = random.Random(seed)
        while not stop.is_set():
            source = view if r.random() < 0.5 else index
            attrs = ["t", "l", "k"]
            if r.random() < 0.5:
                for row in source.to_dicts(attrs):
                    assert row["t"] == text(int(row["t"].split(":")[0]))
                    assert len(row["l"]) == 3 and len(set(row["l"])) == 1
            else:
                for t in source.to_numpy("t").tolist():
                    assert t == text(int(t.split(":")[0]))
                keys = source.to_numpy("k")
                assert keys.dtype in (np.int64, np.float64) and len(keys) >= len(view)
            assert len(view.to_numpy("k")) == len(objs)

    race(stop, writer, reader)


def test_whole_number_columns_read_back_exactly():
    """A number column held by every object reads the same whichever way it is read (the value maps or the
    objects): the kind of each value, -0.0, NaN, infinities and the int64 extremes."""
    cases = {
        "ints": [0, -1, 2**63 - 1, -(2**63), 2**53 + 1, 7],
        "floats": [0.5, -0.0, math.nan, -math.inf, 1e300, 3.0],
        "mixed": [1, 2.5, -(2**62) - 1, 0, math.inf, -7],
        "whole_floats": [1.0, 2.0, -3.0, 0.0, 4.0, 5.0],
        "nan_ints": [1, math.nan, 3, 4, 5, 6],
    }
    index = Vostrel.Index()
    objs = [Obj(**{name: values[i] for name, values in cases.items()}) for i in range(6)]
    index.add_object_many(objs)
    holder = Obj(v=[1, 2])
    index.add_object(holder)  # list members in another map
    held_float = Obj(later=1.5)
    index.add_object(held_float)
    held_float.later = 2  # the map held a float once; the column now holds an int only
    for name, values in cases.items():
        view = index.reduced_query(Q.ge("ints", -(2**63)))
        for source in (view, view.reduced_query(Q.ge("ints", 0))):
            chosen = [o for o in objs if o.ints >= 0] if source is not view else objs
            want = [getattr(o, name) for o in chosen]
            got = source.to_numpy(name)
            assert got.dtype == expected_numpy_dtype(want), name
            assert all(same(g, w) or (type(w) is int and got.dtype == np.float64 and g == float(w))
                       for g, w in zip(got.tolist(), want)), (name, got, want)
    assert index.reduced_query(Q.eq("later", 2)).to_numpy("later").dtype == np.int64
    objs[0].ints = 5  # written after: read again, from the maps kept in step
    assert index.reduced_query(Q.ge("ints", -(2**63))).to_numpy("ints").tolist()[0] == 5
