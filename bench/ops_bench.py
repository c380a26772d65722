"""Whole-index operations against building the result from scratch with the fastest insertion path (add_object_many).

Usage: python bench/ops_bench.py [--people N]

  reduce to 10% of N people            vs  add_object_many of the kept 10% into a new index
    (a large reduce returns once the dropped objects have left every answer; its worker then lets them go: the
    second reduce row times the call until that worker is done too)
  union_with of two N/2 indexes        vs  add_object_many of all N into a new index
  rebase of a view of min(100k, N)     vs  add_object of the same objects into a new index

Each figure is the median of a few runs; every run starts from freshly built indexes (not timed).
"""

from __future__ import annotations

import argparse
import gc
import random
import statistics
import time

import Vostrel
from Vostrel import _debug

CITIES = ["Oslo", "Bergen", "Paris", "Lyon", "Rome", "Turin", "Lima", "Cusco", "Kyoto", "Osaka"]


class Person(Vostrel.Indexable):
    pass


def people(n: int, seed: int = 7) -> list[Person]:
    rng = random.Random(seed)
    out = []
    for i in range(n):
        out.append(Person(name=f"person{i}", email=f"p{i}@example.org", age=rng.randrange(18, 90),
                          salary=rng.randrange(20_000, 200_000) + 0.5, city=rng.choice(CITIES),
                          active=rng.random() < 0.5, decile=i % 10))
    return out


def built(objects) -> Vostrel.Index:
    index = Vostrel.Index()
    for obj in objects:
        index.add_object(obj)
    return index


def built_many(objects) -> Vostrel.Index:
    index = Vostrel.Index()
    index.add_object_many(objects)
    return index


def settled(ix) -> None:
    """Waits for the worker a large reduce leaves behind (so that it is timed, or kept out of the next timing)."""
    _debug.wait_for_prunes()


def timed(prepare, run, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        settled(None)
        state = prepare()
        gc.collect()
        start = time.perf_counter()
        run(state)
        times.append(time.perf_counter() - start)
        del state
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--people", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    n, reps = args.people, args.repeats
    objects = people(n)
    kept = [o for o in objects if o.decile == 0]
    half = n // 2
    view_size = min(100_000, n)

    rows = []
    reduce_time = timed(lambda: built_many(objects), lambda ix: ix.reduce(decile=0), reps)
    settled_time = timed(lambda: built_many(objects), lambda ix: (ix.reduce(decile=0), settled(ix)), reps)
    settled(None)
    scratch = timed(lambda: None, lambda _: built_many(kept), reps)
    rows.append(("reduce to 10%", reduce_time, scratch))
    rows.append(("  until its worker is done", settled_time, scratch))

    union_time = timed(lambda: (built_many(objects[:half]), built_many(objects[half:])),
                       lambda p: p[0].union_with(p[1]), reps)
    scratch = timed(lambda: None, lambda _: built_many(objects), reps)
    rows.append(("union_with of two N/2", union_time, scratch))

    subset = objects[:view_size]
    small = built(subset)
    small_view = small.reduced()
    rebase_time = timed(lambda: None, lambda _: small_view.rebase(), reps)
    scratch = timed(lambda: None, lambda _: built(subset), reps)
    rows.append((f"rebase of a {view_size} view", rebase_time, scratch))

    print(f"people: {n}")
    print(f"{'operation':<28}{'op (s)':>10}{'from scratch (s)':>18}{'speed-up':>10}")
    for name, op, base in rows:
        print(f"{name:<28}{op:>10.3f}{base:>18.3f}{base / op:>9.2f}x")


if __name__ == "__main__":
    main()
