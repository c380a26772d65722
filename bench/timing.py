"""What the benchmarks share: timing one call, and the command line of a report written as a Markdown table."""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path
from typing import Callable


def measure(fn: Callable, min_runs: int = 3, max_runs: int = 25, budget: float = 1.0) -> tuple[float, object]:
    """(median seconds, last result): at least min_runs calls, more while within `budget` seconds."""
    times, result, spent = [], None, 0.0
    while len(times) < min_runs or (len(times) < max_runs and spent < budget):
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        times.append(elapsed)
        spent += elapsed
    return statistics.median(times), result


def report_main(doc: str, default_out: Path, people: Callable, flight_data: Callable, markdown: Callable) -> None:
    """Runs the people rows (then the flights' unless --no-flights) and writes the table `markdown` makes of them."""
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--people", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--no-flights", action="store_true")
    parser.add_argument("--out", default=str(default_out))
    args = parser.parse_args()
    log = lambda text: print(text, flush=True)  # noqa: E731
    rows = people(args.people, args.seed, log)
    if not args.no_flights:
        rows += flight_data(log)
    table = markdown(rows, sys.argv[1:])
    Path(args.out).write_text(table)
    print(table)
