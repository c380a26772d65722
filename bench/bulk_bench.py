"""Building an index of generated people: add_object_many against an add_object loop and a pandas DataFrame.

Every contender starts from the same data: the objects for Vostrel (made once, outside the timings, each index holding
them afresh) and the same rows as dicts for pandas. Prints the times and the ratios.
"""

import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

import pandas as pd  # noqa: E402

import Vostrel  # noqa: E402
from dataset import generate  # noqa: E402


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--people", type=int, default=1_000_000)
    args = parser.parse_args()
    people, rows = generate(args.people)

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

    t_frame, frame = timed(lambda: pd.DataFrame(rows))
    del frame
    t_loop, index = timed(loop)
    del index
    gc.collect()
    t_bulk, index = timed(bulk)
    assert len(index) == args.people
    del index
    print(f"{args.people:,} people (numbers, strings, a bool, a tag list, a nested address)")
    print(f"  pandas DataFrame from dicts: {t_frame:7.2f} s")
    print(f"  add_object loop:             {t_loop:7.2f} s")
    print(f"  add_object_many:             {t_bulk:7.2f} s")
    print(f"  add_object_many / pandas:    {t_bulk / t_frame:7.2f}x")
    print(f"  loop / add_object_many:      {t_loop / t_bulk:7.2f}x")


if __name__ == "__main__":
    main()
