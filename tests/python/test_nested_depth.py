"""Nested objects: how deep dotted paths reach, cycles, and when list members are read."""

import time

import Vostrel
from Vostrel import PyQueryExpr as Q

from model import Obj


def chain(length):
    objs = [Obj(v=i) for i in range(length)]
    for a, b in zip(objs, objs[1:]):
        a.next = b
    return objs


def test_long_chain_indexes_quickly_and_answers_to_the_depth_limit():
    objs = chain(1_200)
    ix = Vostrel.Index()
    started = time.perf_counter()
    ix.add_object(objs[0])
    # Generous bound: registration must cost a bounded amount per link, not a walk of every ancestor per link.
    assert time.perf_counter() - started < 5
    assert ix.reduced_query(Q.eq("next.next.v", 2)).collect() == [objs[0]]
    assert ix.reduced_query(Q.eq("next." * 999 + "v", 999)).collect() == [objs[0]]
    # Past the depth limit nested objects are not indexed: the path finds nothing, and nothing fails.
    assert ix.reduced_query(Q.eq("next." * 1_001 + "v", 1_001)).collect() == []
    # Writes deep in the chain still reach the indexed levels.
    objs[500].v = -1
    assert ix.reduced_query(Q.eq("next." * 500 + "v", -1)).collect() == [objs[0]]


def test_cycles_are_exact_one_step_deep_and_self_reference_one_level_down():
    p, c = Obj(name="p"), Obj(name="c")
    ix = Vostrel.Index()
    ix.add_object(p)
    ix.add_object(c)
    p.friend = c
    c.friend = p
    assert ix.reduced_query(Q.eq("friend.name", "c")).collect() == [p]
    assert ix.reduced_query(Q.eq("friend.name", "p")).collect() == [c]
    s = Obj(name="s")
    ix.add_object(s)
    s.me = s
    assert ix.reduced_query(Q.eq("me.name", "s")).collect() == [s]
    # Unlinking takes the nested registrations away again.
    p.friend = None
    s.me = None
    assert ix.reduced_query(Q.eq("friend.name", "c")).collect() == []
    assert ix.reduced_query(Q.eq("me.name", "s")).collect() == []


def test_list_members_are_read_when_the_list_is_assigned():
    tags = ["a", "b"]
    o = Obj(tags=tags)
    ix = Vostrel.Index()
    ix.add_object(o)
    tags.append("c")  # an in-place change is not seen ...
    assert ix.reduced_query(Q.eq("tags", "c")).collect() == []
    o.tags = tags  # ... until the list is assigned again
    assert ix.reduced_query(Q.eq("tags", "c")).collect() == [o]
    assert o.tags is tags


def test_unchanged_and_numeric_writes_keep_every_answer():
    objs = [Obj(x=i, f=i / 2, s=str(i)) for i in range(200)]
    ix = Vostrel.Index()
    for o in objs:
        ix.add_object(o)
    for i, o in enumerate(objs):
        o.x = o.x  # unchanged: nothing to register
        o.f = o.f + (1 if i % 3 == 0 else 0)  # a number moved to another key
        o.x = float(o.x) if i % 5 == 0 else o.x  # Int to an equal Float: the same key
    for probe in range(0, 200, 7):
        assert ix.reduced_query(Q.eq("x", probe)).collect() == [objs[probe]]
        want = [o for o in objs if o.f > probe / 2]
        assert ix.reduced_query(Q.gt("f", probe / 2)).collect() == want
