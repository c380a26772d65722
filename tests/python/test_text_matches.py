"""Text matches (starts_with, ends_with, contains) against a plain-Python model, whenever the first one comes.

An index builds an attribute's per-position sets for its first text match and keeps them in step from then on, so
every stage of an index's life (one-by-one adds, writes, bulk adds, removals, a union, a reduce) is tried both as
the stage the sets are built after and as one they must follow. Strings mix ASCII, multi-byte characters, empty
strings and strings longer than a bulk run lists; a list attribute holds more of them as members.
"""

import faulthandler
import random
import threading

import pytest

import Vostrel
from conftest import BASE_SEED

Q = Vostrel.PyQueryExpr
STAGES = ["empty", "added", "written", "bulk", "removed", "merged", "reduced", "end"]
PIECES = ["a", "b", "ab", "é", "東京", "ß", "x", "-", "son", ""]


class Item(Vostrel.Indexable):
    __slots__ = ()


def random_text(rng):
    if rng.random() < 0.02:
        return "".join(rng.choice(PIECES) for _ in range(200))  # past the length a bulk run lists
    return "".join(rng.choice(PIECES) for _ in range(rng.randrange(6)))


def matches(value, kind, needle):
    test = {"starts_with": str.startswith, "ends_with": str.endswith, "contains": str.__contains__}[kind]
    if isinstance(value, tuple):
        return any(test(member, needle) for member in value)
    return test(value, needle)


def check(index, members, rng, where):
    values = [getattr(o, name) for o in members for name in ("s", "t")]
    needles = {"", "ab", "東", "é", "zz"} | {text[:k] for text in rng.sample(values, min(6, len(values)))
                                            for k in (1, 2, 3) if isinstance(text, str)}
    for needle in sorted(needles):
        for kind in ("starts_with", "ends_with", "contains"):
            for name in ("s", "t"):
                got = {id(o) for o in index.reduced_query(getattr(Q, kind)(name, needle)).collect()}
                expected = {id(o) for o in members if matches(getattr(o, name), kind, needle)}
                assert got == expected, (f"{where}: {kind}({name!r}, {needle!r}): missing {len(expected - got)}, "
                                         f"extra {len(got - expected)} (VOSTREL_SEED={BASE_SEED})")
        got = {id(o) for o in index.reduced_query(Q.eq("s", needle)).collect()}
        assert got == {id(o) for o in members if o.s == needle}, f"{where}: eq {needle!r}"


@pytest.mark.parametrize("first_match", STAGES)
def test_text_matches_agree_with_the_model_whenever_the_first_one_comes(first_match):
    rng = random.Random(BASE_SEED + STAGES.index(first_match))
    index = Vostrel.Index()
    members = []

    def stage(name):
        if STAGES.index(name) >= STAGES.index(first_match):
            check(index, members, rng, f"after {name}, first match after {first_match}")

    def write(objs, count):
        for _ in range(count):
            o = rng.choice(objs)
            o.s = random_text(rng)
            if rng.random() < 0.3:
                o.t = tuple(random_text(rng) for _ in range(rng.randrange(3)))

    objs = [Item(s=random_text(rng), t=tuple(random_text(rng) for _ in range(rng.randrange(3))), k=i % 3)
            for i in range(360)]
    stage("empty")
    for o in objs[:150]:
        index.add_object(o)
    members += objs[:150]
    stage("added")
    write(objs, 200)
    stage("written")
    index.add_object_many(objs[150:250])
    members += objs[150:250]
    stage("bulk")
    for o in rng.sample(members, 40):
        index.remove_object(o)
        members.remove(o)
    stage("removed")
    other = Vostrel.Index()
    other.add_object_many(objs[250:])
    if rng.random() < 0.5:  # the other index's sets built or not: the union reads its value table either way
        other.reduced_query(Q.contains("s", "a"))
    index.union_with(other)
    members += objs[250:]
    stage("merged")
    index.reduce(k=1)
    members = [o for o in members if o.k == 1]
    stage("reduced")
    write(objs, 200)
    stage("end")
    check(index, members, rng, "final")


def test_first_text_matches_race_with_writers_and_bulk_adds():
    faulthandler.dump_traceback_later(120, exit=True)  # a hang fails fast
    try:
        for round_ in range(6):
            rng = random.Random(BASE_SEED + round_)
            objs = [Item(s=f"v{i}-{rng.random():.3f}", t=()) for i in range(3000)]
            index = Vostrel.Index()
            index.add_object_many(objs[:1000])
            errors = []

            def guarded(work):
                def run():
                    try:
                        work()
                    except BaseException as e:  # InternalError derives from BaseException
                        errors.append(e)
                return run

            def query():
                for needle in ("v1", "v2", "-0.5", "w"):
                    index.reduced_query(Q.contains("s", needle))
                    index.reduced_query(Q.starts_with("s", needle))

            def write():
                for i in rng.sample(range(3000), 600):
                    objs[i].s = f"w{i}"

            def bulk():
                index.add_object_many(objs[1000:2000])
                for o in objs[2000:]:
                    index.add_object(o)

            threads = [threading.Thread(target=guarded(f)) for f in (query, query, write, bulk)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            assert not errors, errors[0]
            check(index, objs, rng, f"round {round_} after the threads")
    finally:
        faulthandler.cancel_dump_traceback_later()
