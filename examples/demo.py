"""Tour of Vostrel on 200,000 people: build an index, run typical queries, compare with list comprehensions.

Run with `make demo`, or `python examples/demo.py [N] [--seed S]`. Every query is answered twice,
by the index and by the list comprehension you would otherwise write, and the answers are checked
to be the same objects; the exit status is 1 if any answer differs.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import Vostrel  # noqa: E402
from dataset import generate_rows, people_from_rows  # noqa: E402

Q = Vostrel.PyQueryExpr


def timed(fn: Callable, repeats: int):
    """(median seconds over `repeats` calls of fn, result of the last call)."""
    times, result = [], None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def fmt_ms(seconds: float) -> str:
    """Seconds as milliseconds with as many decimals as the magnitude deserves."""
    ms = seconds * 1e3
    return f"{ms:,.3f} ms" if ms < 1 else f"{ms:,.1f} ms" if ms < 100 else f"{ms:,.0f} ms"


def same_objects(a: list, b: list) -> bool:
    """True when both lists hold exactly the same objects (the index lists them by id, not by position)."""
    return len(a) == len(b) and set(map(id, a)) == set(map(id, b))


class Tour:
    """Runs and prints the queries; remembers whether every answer agreed."""

    def __init__(self, repeats: int, quiet: bool = False):
        self.repeats = repeats
        self.quiet = quiet
        self.results: list[tuple[str, int, bool]] = []
        self.step = 0

    def say(self, text: str = "") -> None:
        """Prints unless the tour runs quietly (as in the smoke tests)."""
        if not self.quiet:
            print(text)

    def compare(self, title: str, shown: str, query: Callable, baseline: Callable):
        """Times `query` (returns a view) plus its collect(), and `baseline` (returns a list); prints both."""
        self.step += 1
        t_query, view = timed(query, self.repeats)
        t_collect, found = timed(view.collect, self.repeats)
        # The list comprehensions take tens of milliseconds each: fewer runs give a steady median.
        t_base, expected = timed(baseline, (self.repeats + 1) // 2)
        agree = same_objects(found, expected)
        self.results.append((title, len(found), agree))
        total = t_query + t_collect
        speedup = t_base / total if total > 0 else float("inf")
        self.say(f"[{self.step}] {title}")
        self.say(f"    query      {shown}")
        self.say(f"    matches    {len(found):,}")
        self.say(f"    Vostrel    {fmt_ms(t_query)} query + {fmt_ms(t_collect)} collect = {fmt_ms(total)}")
        self.say(f"    list comp  {fmt_ms(t_base)}   speed-up x{speedup:,.1f}")
        self.say(f"    agree      {'yes' if agree else 'NO  <-- MISMATCH: ' + str(len(expected)) + ' expected'}")
        for sample in found[:2]:
            self.say(f"    e.g.       {sample}")
        self.say()
        return view, found

    def check(self, title: str, ok: bool, detail: str) -> None:
        """Records a yes/no fact (used for the write demonstration)."""
        self.results.append((title, -1, ok))
        self.say(f"    {'ok ' if ok else 'FAILED'}  {detail}")


def build(n: int, seed: int, say: Callable[[str], None]):
    """Generates n people, times object creation and indexing separately; returns (index, people)."""
    start = time.perf_counter()
    rows = generate_rows(n, seed)
    t_rows = time.perf_counter() - start

    start = time.perf_counter()
    people = people_from_rows(rows)
    t_create = time.perf_counter() - start
    del rows

    index = Vostrel.Index()
    start = time.perf_counter()
    index.add_object_many(people)
    t_index = time.perf_counter() - start

    say(f"Generated {n:,} people (seed {seed}) in {t_rows:.2f} s")
    say(f"Created {n:,} Person + {n:,} Address objects in {t_create:.2f} s "
        f"({t_create / n * 1e6:.2f} us per person)")
    say(f"Indexed them with one add_object_many call in {t_index:.2f} s "
        f"({n / t_index:,.0f} people/s; each nested address and tag list is indexed with its person)")
    say()
    return index, people


def run(n: int = 200_000, seed: int = 2024, repeats: int = 5, quiet: bool = False) -> list[tuple[str, int, bool]]:
    """Builds the index and runs the tour; returns (title, match count, agreed) per step."""
    tour = Tour(repeats, quiet)
    say = tour.say
    index, people = build(n, seed, say)

    tour.compare(
        "Equality on an int: age == 42",
        'Q.eq("age", 42)',
        lambda: index.reduced_query(Q.eq("age", 42)),
        lambda: [p for p in people if p.age == 42])

    tour.compare(
        "Float range: 80,000 <= salary <= 90,000",
        'Q.bt("salary", 80000.0, 90000.0)',
        lambda: index.reduced_query(Q.bt("salary", 80000.0, 90000.0)),
        lambda: [p for p in people if 80000.0 <= p.salary <= 90000.0])

    tour.compare(
        "Float comparison: salary > 200,000",
        'Q.gt("salary", 200000)',
        lambda: index.reduced_query(Q.gt("salary", 200000)),
        lambda: [p for p in people if p.salary > 200000])

    tour.compare(
        "String prefix: name starts with 'Jo'",
        'Q.starts_with("name", "Jo")',
        lambda: index.reduced_query(Q.starts_with("name", "Jo")),
        lambda: [p for p in people if p.name.startswith("Jo")])

    tour.compare(
        "Substring (multi-byte): name contains 'ü'",
        'Q.contains("name", "ü")',
        lambda: index.reduced_query(Q.contains("name", "ü")),
        lambda: [p for p in people if "ü" in p.name])

    tour.compare(
        "Three predicates: active Berlin residents earning over 100,000",
        'Q.and_(Q.eq("city", "Berlin"), Q.eq("active", True), Q.gt("salary", 100000))',
        lambda: index.reduced_query(Q.and_(Q.eq("city", "Berlin"), Q.eq("active", True),
                                           Q.gt("salary", 100000))),
        lambda: [p for p in people if p.city == "Berlin" and p.active is True and p.salary > 100000])

    tour.compare(
        "Dotted path into the nested address: address.city == 'Zürich'",
        'Q.eq("address.city", "Zürich")',
        lambda: index.reduced_query(Q.eq("address.city", "Zürich")),
        lambda: [p for p in people if p.address.city == "Zürich"])

    tour.compare(
        "List member: 'vip' in tags",
        'Q.eq("tags", "vip")',
        lambda: index.reduced_query(Q.eq("tags", "vip")),
        lambda: [p for p in people if "vip" in p.tags])

    tour.compare(
        "Membership: city in (Malmö, Reykjavík, 東京)",
        'Q.in_("city", ["Malmö", "Reykjavík", "東京"])',
        lambda: index.reduced_query(Q.in_("city", ["Malmö", "Reykjavík", "東京"])),
        lambda: [p for p in people if p.city in ("Malmö", "Reykjavík", "東京")])

    _, paris_inactive = tour.compare(
        "Keyword query: reduced(city='Paris', active=False)",
        'index.reduced(city="Paris", active=False)',
        lambda: index.reduced(city="Paris", active=False),
        lambda: [p for p in people if p.city == "Paris" and p.active is False])
    by_attribute = index.get_by_attribute(city="Paris", active=False)
    tour.check("get_by_attribute agrees with reduced", same_objects(by_attribute, paris_inactive),
               f"get_by_attribute(city='Paris', active=False) lists the same {len(by_attribute):,} people")
    say()

    thirties, thirties_list = tour.compare(
        "A view: people in their thirties",
        'thirties = index.reduced_query(Q.bt("age", 30, 39))',
        lambda: index.reduced_query(Q.bt("age", 30, 39)),
        lambda: [p for p in people if 30 <= p.age <= 39])

    tour.compare(
        "The view narrowed again: thirties in London with a 'dev' tag",
        'thirties.reduced_query(Q.and_(Q.eq("city", "London"), Q.eq("tags", "dev")))',
        lambda: thirties.reduced_query(Q.and_(Q.eq("city", "London"), Q.eq("tags", "dev"))),
        lambda: [p for p in thirties_list if p.city == "London" and "dev" in p.tags])

    tour.compare(
        "Narrowed with not_: thirties outside the five largest cities",
        'thirties.reduced_query(Q.not_(Q.in_("city", [...5 cities])))',
        lambda: thirties.reduced_query(
            Q.not_(Q.in_("city", ["London", "New York", "Paris", "Berlin", "Tokyo"]))),
        lambda: [p for p in thirties_list
                 if p.city not in ("London", "New York", "Paris", "Berlin", "Tokyo")])

    show_writes(tour, index, people)
    say_summary(tour)
    return tour.results


def show_writes(tour: Tour, index, people: list) -> None:
    """An attribute write on an indexed object changes the index's answers at once."""
    say = tour.say
    tour.step += 1
    say(f"[{tour.step}] Attribute writes reach the index at once")
    person = next(p for p in people[len(people) // 3:] if p.city != "Reykjavík")
    old_city = person.city
    moved_to = Q.eq("city", "Reykjavík")
    moved_from = Q.eq("city", old_city)
    before = index.reduced_query(moved_to).collect()
    say(f"    person  {person}")

    start = time.perf_counter()
    person.city = "Reykjavík"
    t_write = time.perf_counter() - start
    after = index.reduced_query(moved_to).collect()
    say(f"    person.city = 'Reykjavík' took {fmt_ms(t_write)}")
    tour.check("write adds a match", len(after) == len(before) + 1 and any(p is person for p in after),
               f"city == 'Reykjavík': {len(before):,} before the write, {len(after):,} after, the person among them")
    tour.check("old value stops matching", all(p is not person for p in index.reduced_query(moved_from).collect()),
               f"city == {old_city!r} no longer lists the person")

    old_zip = person.address.zip
    person.address.zip = "99999"
    nested = index.reduced_query(Q.eq("address.zip", "99999")).collect()
    tour.check("nested write reaches the outer index", any(p is person for p in nested),
               f"person.address.zip = '99999' (was {old_zip}): address.zip == '99999' now finds the person")

    person.address.zip = old_zip
    person.city = old_city
    restored = index.reduced_query(moved_to).collect()
    tour.check("writing back restores the answer", same_objects(restored, before),
               f"after writing the old values back, city == 'Reykjavík' lists the same {len(restored):,} people")
    say()


def say_summary(tour: Tour) -> None:
    """One closing line; disagreements are printed even in a quiet run."""
    bad = [title for title, _, ok in tour.results if not ok]
    if bad:
        print(f"MISMATCH in {len(bad)} of {len(tour.results)} checks: " + "; ".join(bad))
    else:
        tour.say(f"All {len(tour.results)} answers agree with the list comprehensions.")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", nargs="?", type=int, default=200_000, help="number of people (default 200000)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--repeats", type=int, default=5, help="runs per query; the median is shown")
    args = parser.parse_args(argv)
    results = run(args.n, args.seed, args.repeats)
    return 0 if all(ok for _, _, ok in results) else 1


if __name__ == "__main__":
    sys.exit(main())
