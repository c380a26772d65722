"""A/B of two builds of Vostrel on the query shapes, warm and cold, in one run.

Usage: python bench/query_ab.py BASELINE_DIR [--people N] [--flights] [--only TEXT] [--rounds R]

BASELINE_DIR holds another build of the module (a copy of Vostrel*.so made before a change); B is the one
installed. Each build answers in a process of its own over the same seeded data; the two take turns shape by shape
and round by round, so that a change of the machine's load hits both alike. Prints per shape the cold and warm
medians of each and the ratio B / A (below 1: the change made it faster).
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def worker(module_dir: str | None, kind: str, people: int, conn) -> None:
    if module_dir:
        sys.path.insert(0, module_dir)
    sys.path.insert(0, str(ROOT / "examples"))
    sys.path.insert(0, str(ROOT / "bench"))
    import flights
    import query_bench
    import query_shapes
    import timing
    from dataset import generate_rows, people_from_rows

    if kind == "people":
        objects = people_from_rows(generate_rows(people, 2024))
        shapes = query_shapes.people_shapes()
    else:
        objects = flights.flights_with_planes(flights.flight_rows_with_planes())
        shapes = query_shapes.flight_shapes()
    index = query_bench.Engines._index(objects)
    by_title = {s.title: s for s in shapes}
    conn.send([s.title for s in shapes])
    while (title := conn.recv()) is not None:
        q = by_title[title].query
        call = lambda: index.reduced_query(q)  # noqa: E731
        cold = query_bench.measure_cold(call, runs=9, budget=0.5)
        warm = timing.measure(call, min_runs=5, max_runs=25, budget=0.3)[0]
        conn.send((cold, warm, len(index.reduced_query(q))))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline", help="directory holding the baseline build of the module")
    parser.add_argument("--people", type=int, default=1_000_000)
    parser.add_argument("--flights", action="store_true", help="the flights instead of the people")
    parser.add_argument("--only", help="only the shapes whose title contains this text")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    ctx = multiprocessing.get_context("spawn")
    kind = "flights" if args.flights else "people"
    ends = []
    for module_dir in (args.baseline, None):
        mine, theirs = ctx.Pipe()
        ctx.Process(target=worker, args=(module_dir, kind, args.people, theirs), daemon=True).start()
        ends.append(mine)
    titles = [t for t in ends[0].recv() if not args.only or args.only in t]
    ends[1].recv()
    figures = {t: ([], [], [], []) for t in titles}  # cold A, cold B, warm A, warm B
    for _ in range(args.rounds):
        for title in titles:
            answers = []
            for side, conn in enumerate(ends):
                conn.send(title)
                cold, warm, hits = conn.recv()
                figures[title][side].append(cold)
                figures[title][2 + side].append(warm)
                answers.append(hits)
            if answers[0] != answers[1]:
                print(f"!!! {title}: A found {answers[0]}, B found {answers[1]}")
    for conn in ends:
        conn.send(None)
    print(f"{'shape':<52} {'cold A':>10} {'cold B':>10} {'B/A':>6}   {'warm A':>10} {'warm B':>10} {'B/A':>6}")
    for title, (ca, cb, wa, wb) in figures.items():
        ca, cb, wa, wb = (statistics.median(x) * 1e6 for x in (ca, cb, wa, wb))
        print(f"{title:<52} {ca:>8.1f}us {cb:>8.1f}us {cb / ca:>6.2f}   {wa:>8.1f}us {wb:>8.1f}us {wb / wa:>6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
