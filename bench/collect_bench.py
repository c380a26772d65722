"""collect() benchmark: listing a view's objects against numpy's gather of the same objects, and a range query plus
collect() against a list comprehension over plain objects; warm and cold. Writes bench/COLLECT.md.

Usage: python bench/collect_bench.py [--people N] [--small M] [--rounds R] [--baseline DIR]

- gather: `objs[positions].tolist()`, where `objs` is a numpy object array of the same people in the index's order
  and `positions` the answer's positions in it. Each returned object is touched once (a load and a reference), which
  is all collect() has to do as well: the floor it is measured against, for views of 1%, 10% and 50% of N people.
- comprehension: `[p for p in plain if lo <= p.salary <= hi]` over M plain objects holding the same values, against
  `index.reduced_query(bt("salary", lo, hi)).collect()` for 10% of M people.
- cold: each call right after writing a 64 MB buffer (as query_bench.evict does), median of fewer calls.

With --baseline DIR (a directory holding a copy of another build's Vostrel*.so) each build runs in a process of its
own over the same seeded data and the two take turns case by case and round by round, so a change of the machine's
load hits both alike; the table then shows the baseline's collect() beside the installed build's.
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FRACTIONS = (0.01, 0.10, 0.50)
SMALL_FRACTION = 0.10


class PlainPerson:
    """The comprehension's objects: an ordinary class holding the same values."""

    def __init__(self, name, email, age, salary, city, active):
        self.name = name
        self.email = email
        self.age = age
        self.salary = salary
        self.city = city
        self.active = active


def timed(fn, cold: bool, evict, runs: int) -> float:
    """Median seconds of `runs` calls (each after evict() when cold); each result is dropped outside the timing."""
    times = []
    for _ in range(runs):
        if cold:
            evict()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def salary_window(salaries, fraction: float):
    """(lo, hi) bounds of a salary range holding about `fraction` of the people, centred on the median: its people
    lie scattered over the index's ids, as an answer's do."""
    ordered = sorted(salaries)
    count = max(1, int(len(ordered) * fraction))
    start = (len(ordered) - count) // 2
    return ordered[start], ordered[start + count - 1]


def worker(module_dir: str | None, people_n: int, small_n: int, conn) -> None:
    if module_dir:
        sys.path.insert(0, module_dir)
    sys.path.insert(0, str(ROOT / "examples"))
    sys.path.insert(0, str(ROOT / "bench"))
    import numpy as np

    import Vostrel
    from dataset import generate_rows, people_from_rows

    # The cold runs' eviction, as query_bench does it (not imported from there: that loads every peer engine).
    evict_buffer = np.zeros(64 << 20, dtype=np.uint8)

    def evict() -> None:
        np.add(evict_buffer, 1, out=evict_buffer)

    cases = {}
    # Built one size at a time, the larger first: each index's people were made in order, so their ids ascend.
    for n, fractions in ((people_n, FRACTIONS), (small_n, (SMALL_FRACTION,))):
        rows = generate_rows(n, 2024)
        people = people_from_rows(rows)
        index = Vostrel.Index()
        index.add_object_many(people)
        objs = np.empty(n, dtype=object)
        objs[:] = people
        salaries = np.array([r["salary"] for r in rows])
        for fraction in fractions:
            lo, hi = salary_window(salaries, fraction)
            query = Vostrel.PyQueryExpr.bt("salary", lo, hi)
            view = index.reduced_query(query)
            positions = np.flatnonzero((salaries >= lo) & (salaries <= hi))
            listed = view.collect()
            if len(listed) != len(positions) or any(a is not b for a, b in zip(listed, objs[positions].tolist())):
                raise SystemExit(f"collect() of {fraction:.0%} of {n} does not list the gather's objects in order")
            del listed
            label = f"{fraction:.0%} of {n:,}"
            if n == people_n:
                cases[f"collect {label}"] = (lambda v=view: v.collect())
                cases[f"gather {label}"] = (lambda o=objs, p=positions: o[p].tolist())
            if n == small_n and fraction == SMALL_FRACTION:
                plain = [PlainPerson(**{k: r[k] for k in ("name", "email", "age", "salary", "city", "active")})
                         for r in rows]
                cases[f"query {label}"] = (lambda i=index, q=query: i.reduced_query(q))
                cases[f"query+collect {label}"] = (lambda i=index, q=query: i.reduced_query(q).collect())
                cases[f"comprehension {label}"] = (
                    lambda ps=plain, a=lo, b=hi: [p for p in ps if a <= p.salary <= b])
        # The larger size's objects stay alive (its views and arrays hold them): the smaller one's ids come after.
    gc.collect()
    gc.freeze()
    conn.send(list(cases))
    while (name := conn.recv()) is not None:
        fn = cases[name]
        conn.send((timed(fn, True, evict, 7), timed(fn, False, evict, 15)))


def markdown(figures: dict, people_n: int, small_n: int, ab: bool, argv: list[str]) -> str:
    med = {name: (statistics.median(c), statistics.median(w)) for name, (c, w) in figures["B"].items()}
    base = {name: (statistics.median(c), statistics.median(w)) for name, (c, w) in figures["A"].items()} if ab else {}
    us = lambda s: f"{s * 1e6:,.0f} us"  # noqa: E731
    lines = ["# collect() against numpy's gather and a list comprehension", "",
             f"`python bench/collect_bench.py {' '.join(argv)}` (release build; medians of the rounds' medians; cold: "
             "each call right after writing a 64 MB buffer).", "",
             f"## collect() of a view against `objs[positions].tolist()`, {people_n:,} people", "",
             "| view | objects | collect cold | gather cold | ratio cold | collect warm | gather warm | ratio warm |"
             + (" baseline cold | baseline warm |" if ab else ""),
             "|---|---:|---:|---:|---:|---:|---:|---:|" + ("---:|---:|" if ab else "")]
    for fraction in FRACTIONS:
        label = f"{fraction:.0%} of {people_n:,}"
        c, w = med[f"collect {label}"]
        gc_, gw = med[f"gather {label}"]
        row = (f"| {fraction:.0%} | {int(people_n * fraction):,} | {us(c)} | {us(gc_)} | {c / gc_:.2f} | {us(w)} | "
               f"{us(gw)} | {w / gw:.2f} |")
        if ab:
            bc, bw = base[f"collect {label}"]
            row += f" {us(bc)} | {us(bw)} |"
        lines.append(row)
    label = f"{SMALL_FRACTION:.0%} of {small_n:,}"
    q, qc, lc = med[f"query {label}"], med[f"query+collect {label}"], med[f"comprehension {label}"]
    lines += ["", f"## A salary range holding {label} people, then collect(), against a list comprehension", "",
              "| | query | query + collect | comprehension | comprehension / (query + collect) |",
              "|---|---:|---:|---:|---:|"]
    for side, at in (("cold", 0), ("warm", 1)):
        lines.append(f"| {side} | {us(q[at])} | {us(qc[at])} | {us(lc[at])} | {lc[at] / qc[at]:.1f}x |")
    if ab:
        bqc = base[f"query+collect {label}"]
        lines.append(f"| baseline build, cold / warm | | {us(bqc[0])} / {us(bqc[1])} | | |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--people", type=int, default=1_000_000)
    parser.add_argument("--small", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--baseline", help="directory holding another build of the module, run side by side")
    parser.add_argument("--out", default=str(ROOT / "bench" / "COLLECT.md"))
    args = parser.parse_args()
    ctx = multiprocessing.get_context("spawn")
    sides = (("A", args.baseline), ("B", None)) if args.baseline else (("B", None),)
    ends = {}
    for side, module_dir in sides:
        mine, theirs = ctx.Pipe()
        ctx.Process(target=worker, args=(module_dir, args.people, args.small, theirs), daemon=True).start()
        ends[side] = mine
    names = [ends[side].recv() for side, _ in sides][-1]
    figures = {side: {name: ([], []) for name in names} for side, _ in sides}
    for round_no in range(args.rounds):
        for name in names:
            for side, _ in sides:
                if side == "A" and not name.startswith(("collect", "query")):
                    continue  # the peers' figures do not depend on the build
                ends[side].send(name)
                cold, warm = ends[side].recv()
                figures[side][name][0].append(cold)
                figures[side][name][1].append(warm)
        print(f"round {round_no + 1}/{args.rounds} done", flush=True)
    for conn in ends.values():
        conn.send(None)
    if args.baseline:
        figures["A"] = {k: v for k, v in figures["A"].items() if v[0]}
    table = markdown(figures, args.people, args.small, bool(args.baseline), sys.argv[1:])
    Path(args.out).write_text(table)
    print(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
