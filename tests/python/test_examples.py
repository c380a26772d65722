"""Smoke tests of the example data generator, the demo and the query benchmark on small data."""

import sys
import threading
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import Vostrel  # noqa: E402
import dataset  # noqa: E402

Q = Vostrel.PyQueryExpr


def test_generator_is_seeded_and_well_formed():
    rows = dataset.generate_rows(3000, seed=7)
    assert rows == dataset.generate_rows(3000, seed=7)
    assert rows != dataset.generate_rows(3000, seed=8)
    assert len({r["email"] for r in rows}) == len(rows)  # emails are the comparison key
    for r in rows:
        assert set(r) == set(dataset.ROW_FIELDS)
        assert type(r["age"]) is int and 18 <= r["age"] < 100
        assert type(r["salary"]) is float and r["salary"] >= 12000.0
        assert type(r["active"]) is bool
        assert type(r["address_zip"]) is str and len(r["address_zip"]) == 5
        assert len(r["tags"]) <= 4 and len(set(r["tags"])) == len(r["tags"])
    # Multi-byte text is part of the point of the data set.
    assert any(len(r["name"].encode()) > len(r["name"]) for r in rows)
    assert any(len(r["city"].encode()) > len(r["city"]) for r in rows)
    assert {len(r["tags"]) for r in rows} == {0, 1, 2, 3, 4}


def test_people_mirror_their_rows():
    people, rows = dataset.generate(500, seed=3)
    assert all(isinstance(p, dataset.Person) and isinstance(p.address, dataset.Address) for p in people)
    assert [dataset.person_row(p) for p in people] == rows
    assert isinstance(people[0].tags, list)
    assert str(people[0]).startswith(rows[0]["name"])


def test_demo_answers_agree_on_small_data(capsys):
    import demo

    results = demo.run(n=2000, seed=11, repeats=1, quiet=True)
    assert results and all(ok for _, _, ok in results), [r for r in results if not r[2]]
    # The queries are chosen so that every one finds something even on small data.
    assert all(count != 0 for _, count, _ in results)
    assert demo.main(["400", "--repeats", "1"]) == 0
    out = capsys.readouterr().out
    assert "agree      yes" in out and "MISMATCH" not in out


def test_bench_quick_run_writes_agreeing_table(tmp_path):
    import query_bench
    import query_shapes

    out = tmp_path / "results.md"
    assert query_bench.main(["700", "--quick", "--no-flights", "--out", str(out)]) == 0
    text = out.read_text()
    assert "| int equality: age == 42 |" in text and "**NO**" not in text
    assert text.count(" | yes |") == len(query_shapes.people_shapes())


@pytest.mark.parametrize("writer", [False, True])
def test_concurrent_queries_match_list_comprehensions(writer):
    """Queries from several threads (the engine releases the GIL) give the list-comprehension answers,
    also while another thread keeps rewriting an attribute that none of the queries look at."""
    people, _ = dataset.generate(4000, seed=5)
    index = Vostrel.Index()
    for p in people:
        index.add_object(p)
    cases = [
        (Q.eq("age", 42), lambda p: p.age == 42),
        (Q.bt("salary", 60000.0, 70000.0), lambda p: 60000.0 <= p.salary <= 70000.0),
        (Q.starts_with("name", "Jo"), lambda p: p.name.startswith("Jo")),
        (Q.contains("name", "ü"), lambda p: "ü" in p.name),
        (Q.eq("address.city", "Berlin"), lambda p: p.address.city == "Berlin"),
        (Q.and_(Q.eq("tags", "dev"), Q.not_(Q.eq("active", True))),
         lambda p: "dev" in p.tags and p.active is not True),
    ]
    expected = [{id(p) for p in people if pred(p)} for _, pred in cases]
    failures = []
    stop = threading.Event()

    def reader(offset):
        for k in range(60):
            i = (k + offset) % len(cases)
            got = {id(p) for p in index.reduced_query(cases[i][0]).collect()}
            if got != expected[i]:
                failures.append((i, len(got), len(expected[i])))

    def rewriter():
        k = 0
        while not stop.is_set():
            people[k % len(people)].email = f"rewritten{k}@example.com"
            k += 1

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(4)]
    side = threading.Thread(target=rewriter) if writer else None
    if side:
        side.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    if side:
        side.join()
    assert failures == []


def _matches(a, v):
    """Equality under the engine's kind rules: bool is its own kind, int and float compare as numbers,
    lists match through any member."""
    if isinstance(a, list):
        return any(_matches(x, v) for x in a)
    if type(a) is bool or type(v) is bool:
        return type(a) is bool and type(v) is bool and a == v
    if type(a) in (int, float) and type(v) in (int, float):
        return a == v
    return type(a) is str and type(v) is str and a == v


def _text_op(a, v, op):
    if type(v) is not str:
        return False
    if isinstance(a, list):
        return any(type(x) is str and op(x, v) for x in a)
    return type(a) is str and op(a, v)


def _number(a):
    return type(a) in (int, float)


def test_random_queries_on_generated_people_match_the_model():
    """Seeded random leaves and combinations over the demo's data, against list comprehensions."""
    import random

    people, rows = dataset.generate(2500, seed=99)
    index = Vostrel.Index()
    for p in people:
        index.add_object(p)
    rng = random.Random(1234)
    attrs = ["age", "salary", "name", "email", "city", "active", "tags", "address.city", "address.zip"]
    column = {"address.city": "address_city", "address.zip": "address_zip"}

    def read(p, attr):
        return getattr(p.address, attr[8:]) if attr.startswith("address.") else getattr(p, attr)

    def sample_value(attr):
        if rng.random() < 0.15:
            attr = rng.choice(attrs)  # a value of another kind: must match nothing (or everything for ne)
        v = rng.choice(rows)[column.get(attr, attr)]
        if isinstance(v, tuple):
            v = rng.choice(v) if v else "vip"
        if type(v) is str and rng.random() < 0.5:
            cut = rng.randrange(len(v) + 1)
            v = v[:cut] if rng.random() < 0.5 else v[cut:]  # prefixes and suffixes, multi-byte ones too
        if type(v) is int and rng.random() < 0.3:
            v = float(v)  # 42.0 must match 42
        if type(v) is bool and rng.random() < 0.5:
            v = int(v)  # 1 must not match True
        return v

    def leaf():
        attr = rng.choice(attrs)
        v = sample_value(attr)
        op = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in_", "starts_with", "ends_with", "contains"])
        if op == "eq":
            return Q.eq(attr, v), lambda p: _matches(read(p, attr), v)
        if op == "ne":
            return Q.ne(attr, v), lambda p: not _matches(read(p, attr), v)
        if op == "in_":
            vs = [v, sample_value(attr)]
            return Q.in_(attr, vs), lambda p: any(_matches(read(p, attr), x) for x in vs)
        if op in ("gt", "ge", "lt", "le"):
            cmp = {"gt": float.__gt__, "ge": float.__ge__, "lt": float.__lt__, "le": float.__le__}[op]
            return (getattr(Q, op)(attr, v),
                    lambda p: _number(v) and _number(read(p, attr)) and cmp(float(read(p, attr)), float(v)))
        if op == "bt":
            if not _number(v):
                v = 40
            hi = v + rng.choice([0, 5, 1000, -1])
            return (Q.bt(attr, v, hi),
                    lambda p: _number(read(p, attr)) and v <= read(p, attr) <= hi)
        fn = {"starts_with": str.startswith, "ends_with": str.endswith, "contains": str.__contains__}[op]
        return getattr(Q, op)(attr, v), lambda p: _text_op(read(p, attr), v, fn)

    def expr(depth):
        if depth == 0 or rng.random() < 0.4:
            return leaf()
        kind = rng.choice(["and_", "or_", "not_"])
        if kind == "not_":
            q, f = expr(depth - 1)
            return Q.not_(q), lambda p: not f(p)
        parts = [expr(depth - 1) for _ in range(rng.randrange(0, 4))]
        combine = all if kind == "and_" else any
        return (getattr(Q, kind)(*[q for q, _ in parts]),
                lambda p: combine(f(p) for _, f in parts))

    for _ in range(400):
        q, f = expr(2)
        got = {id(p) for p in index.reduced_query(q).collect()}
        want = {id(p) for p in people if f(p)}
        assert got == want, (repr(q), len(got), len(want))
