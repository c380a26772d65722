"""ShardedIndex (vostrel_ray) in 2 and 4 shards against one Index over the same generated people.

Usage: python bench/ray_bench.py [--people N] [--shards 2,4] [--out bench/RAY.md]

Times building (one process's add_object_many against routing the objects to the shard actors, which pickles
them, ships them and indexes them in every actor at once) and three queries, each against one Index in this
process: a selective query counted in the shards (count with where=) and brought back as objects (reduced_query,
copies of its 10 or so objects), a top-10 (sorted_by with limit) and a value_counts. The difference is the cost of a
fan-out: one remote call per shard, waited for together, and the merge. Every answer is checked against one
Index's. Writes a Markdown table to --out and prints it. Ray runs on this machine only, over loopback.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")  # loopback only
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import ray  # noqa: E402

import Vostrel  # noqa: E402
import timing  # noqa: E402
import vostrel_ray  # noqa: E402
import vostrel_ray._shard  # noqa: E402
from dataset import generate_rows, people_from_rows  # noqa: E402

Q = Vostrel.PyQueryExpr
SELECTIVE = Q.and_(Q.eq("city", "Zürich"), Q.eq("age", 33), Q.gt("salary", 90000.0))


def queries(target, local: bool) -> dict[str, object]:
    """The calls timed, phrased for one Index (local) or a ShardedIndex."""
    if local:
        return {
            "selective query, count": lambda: len(target.reduced_query(SELECTIVE)),
            "selective query, objects": lambda: target.reduced_query(SELECTIVE).collect(),
            "top-10 by salary": lambda: target.sorted_by("salary", reverse=True, limit=10),
            "value_counts(city)": lambda: target.value_counts("city"),
        }
    return {
        "selective query, count": lambda: target.count(SELECTIVE),
        "selective query, objects": lambda: target.reduced_query(SELECTIVE).collect(),
        "top-10 by salary": lambda: target.sorted_by("salary", reverse=True, limit=10),
        "value_counts(city)": lambda: target.value_counts("city"),
    }


def comparable(name: str, answer: object) -> object:
    if isinstance(answer, list):
        return sorted(p.email for p in answer) if "objects" in name else [p.email for p in answer]
    return answer


def fmt(seconds: float) -> str:
    return f"{seconds * 1e6:,.0f} µs" if seconds < 0.01 else f"{seconds * 1e3:,.1f} ms" if seconds < 10 else \
        f"{seconds:,.1f} s"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--people", type=int, default=1_000_000)
    parser.add_argument("--shards", default="2,4")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--out", default=str(ROOT / "bench" / "RAY.md"))
    args = parser.parse_args()
    counts = [int(part) for part in args.shards.split(",")]
    log = lambda text: print(text, flush=True)  # noqa: E731

    log(f"generating {args.people:,} people")
    people = people_from_rows(generate_rows(args.people, args.seed))
    gc.collect()
    start = time.perf_counter()
    local = Vostrel.Index()
    local.add_object_many(people)
    build = {"1 Index": time.perf_counter() - start}
    log(f"one Index: add_object_many {fmt(build['1 Index'])}")
    local_stats = vostrel_ray._shard.Shard("email").stats()["rss_bytes"]  # this process, people and index included
    times: dict[str, dict[str, float]] = {"1 Index": {}}
    expected: dict[str, object] = {}
    for name, call in queries(local, True).items():
        times["1 Index"][name], answer = timing.measure(call)
        expected[name] = comparable(name, answer)
        log(f"  {name}: {fmt(times['1 Index'][name])}")

    # The actors unpickle dataset.Person: they import it from examples/ as this process does.
    ray.init(num_cpus=max(counts), include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"PYTHONPATH": str(ROOT / "examples")}})
    memory: dict[str, str] = {}
    for shards in counts:
        label = f"{shards} shards"
        sharded = vostrel_ray.ShardedIndex(shards, key="email")
        empty = sharded.shard_stats()  # the actors are up before the clock starts
        gc.collect()
        start = time.perf_counter()
        sharded.add_object_many(people)
        build[label] = time.perf_counter() - start
        stats = sharded.shard_stats()
        memory[label] = ", ".join(
            f"{s['objects']:,} objects, {(s['rss_bytes'] - e['rss_bytes']) / 2**20:,.0f} MiB over the empty actor's "
            f"{e['rss_bytes'] / 2**20:,.0f} MiB" for s, e in zip(stats, empty))
        log(f"{label}: add_object_many {fmt(build[label])}; {memory[label]}")
        times[label] = {}
        for name, call in queries(sharded, False).items():
            times[label][name], answer = timing.measure(call)
            if comparable(name, answer) != expected[name]:
                log(f"  !! {name}: the sharded answer differs from one Index's")
            log(f"  {name}: {fmt(times[label][name])}")
        for actor in sharded.actors:
            ray.kill(actor)
        del sharded
    ray.shutdown()

    labels = list(times)
    lines = [f"# ShardedIndex on Ray: {args.people:,} people", "",
             f"`make bench-ray` (`python bench/ray_bench.py {' '.join(sys.argv[1:])}`), {os.cpu_count()} cores shared "
             "with other work; medians. Shards are Ray actors on this machine, keyed by e-mail.", "",
             "| | " + " | ".join(labels) + " |", "|---" * (len(labels) + 1) + "|",
             "| build (add_object_many) | " + " | ".join(fmt(build[label]) for label in labels) + " |"]
    for name in times["1 Index"]:
        lines.append(f"| {name} | " + " | ".join(fmt(times[label][name]) for label in labels) + " |")
    lines += ["", f"This process holding the people and one Index: {local_stats / 2**20:,.0f} MiB resident.", "",
              "Shard sizes after the build:", ""] + [f"- {label}: {text}" for label, text in memory.items()]
    table = "\n".join(lines) + "\n"
    Path(args.out).write_text(table)
    print(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
