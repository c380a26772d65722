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
        assert type(r["address_zip"]) is int
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

    out = tmp_path / "results.md"
    assert query_bench.main(["700", "--quick", "--out", str(out)]) == 0
    text = out.read_text()
    assert "| int equality: age == 42 |" in text and "**NO**" not in text
    assert text.count(" | yes |") == 7


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
