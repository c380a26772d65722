"""Reference evaluator for Vostrel queries, plus seeded generators of objects, values and query trees.

A query tree is a plain tuple, built into a PyQueryExpr by `build` and evaluated over plain Python objects by
`evaluate`, so tests compare the engine against an independent model written as directly as the rules allow:

    ("eq" | "ne" | "gt" | "ge" | "lt" | "le" | "starts_with" | "ends_with" | "contains", path, value)
    ("bt", path, low, high)        ("in", path, [values], as_tuple)
    ("and", [trees])  ("or", [trees])  ("not", tree)

The model reads attribute values through `attrs_of(obj) -> dict`, normally the test's own shadow of what it
assigned, so a fault in the engine's attribute storage cannot hide a fault in its indexes.
"""

import enum
import math
import struct

import Vostrel

try:
    import numpy as np
except ImportError:  # numpy is optional at run time
    np = None

Q = Vostrel.PyQueryExpr


class Obj(Vostrel.Indexable):
    """Plain subclass: has __weakref__, so tests can watch objects die."""


class Token:
    """An unrecognised value: matched by identity only, even against equal objects."""

    def __init__(self, name):
        self.name = name

    def __eq__(self, other):  # equal to every Token, yet the engine must tell them apart
        return isinstance(other, Token)

    def __hash__(self):
        return 7

    def __repr__(self):
        return f"Token({self.name})"


class HashFails:
    """A value whose hash fails for a reason that is not the value's own (no memory): the one capture that raises."""

    def __hash__(self):
        raise MemoryError("no memory left to hash")


class MyInt(int):
    pass


class MyStr(str):
    pass


class Colour(enum.IntEnum):
    RED = 1
    GREEN = 3


_INT_TYPES = {int}
_FLOAT_TYPES = {float}
_STR_TYPES = {str}
_BOOL_TYPES = {bool}
if np is not None:  # every integer and float width is a number; longdouble and complex are not
    _INT_TYPES.update({np.int64, np.int8, np.int16, np.int32, np.uint8, np.uint16, np.uint32, np.uint64, np.longlong,
                       np.ulonglong})
    _FLOAT_TYPES.update({np.float64, np.float16, np.float32})
    _STR_TYPES.add(np.str_)
    _BOOL_TYPES.add(np.bool_)
_CONTAINER_TYPES = (list, tuple, set)


class BadBound(Exception):
    """The model's signal that evaluating the tree must fail with NotImplementedError("not yet implemented")."""


def kind(v):
    """'num', 'str', 'bool', 'ind', 'seq' (list/tuple/set), 'dict' or 'unknown'; by exact type, as captured."""
    t = type(v)
    if t in _INT_TYPES or t in _FLOAT_TYPES:
        return "num"
    if t in _STR_TYPES:
        return "str"
    if t in _BOOL_TYPES:
        return "bool"
    if isinstance(v, Vostrel.Indexable):
        return "ind"
    if t in _CONTAINER_TYPES:
        return "seq"
    if t is dict:
        return "dict"
    return "unknown"


def _num(v):
    # Plain Python numbers, so numpy's own (lossy) mixed comparisons never decide anything.
    return int(v) if type(v) in _INT_TYPES else float(v)


def plain(v):
    """What reading the attribute back gives: plain int/float/str/bool for scalars, else the object itself."""
    k = kind(v)
    if k == "num":
        return _num(v)
    if k == "str":
        return str(v)
    if k == "bool":
        return bool(v)
    return v


def _hashes(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def members(container):
    """Non-container members of a list/tuple/set, at any depth (dicts inside hold nothing)."""
    for m in container:
        if type(m) in _CONTAINER_TYPES:
            yield from members(m)
        elif type(m) is not dict:
            yield m


def scalar_eq(x, v):
    kx, kv = kind(x), kind(v)
    if kv != kx:
        return False
    if kv == "num":
        return _num(x) == _num(v)
    if kv == "str":
        return str(x) == str(v)
    if kv == "bool":
        return bool(x) == bool(v)
    if kv in ("ind", "unknown"):
        return x is v
    return False  # containers and dicts as query values match nothing


def eq_value(x, v):
    if kind(x) == "seq":
        return any(scalar_eq(m, v) for m in members(x))
    return scalar_eq(x, v)


def _ordered(op):
    def match(x, v):
        if kind(v) != "num" or kind(x) != "num":
            return False
        return op(_num(x), _num(v))

    return match


_ORDER = {
    "gt": _ordered(lambda a, b: a > b),
    "ge": _ordered(lambda a, b: a >= b),
    "lt": _ordered(lambda a, b: a < b),
    "le": _ordered(lambda a, b: a <= b),
}


def _stringy(op):
    def match(x, s):
        if kind(s) != "str":
            return False
        s = str(s)
        if kind(x) == "str":
            return op(str(x), s)
        if kind(x) == "seq":
            return any(kind(m) == "str" and op(str(m), s) for m in members(x))
        return False

    return match


_STRING = {
    "starts_with": _stringy(lambda x, s: x.startswith(s)),
    "ends_with": _stringy(lambda x, s: x.endswith(s)),
    "contains": _stringy(lambda x, s: s in x),
}


def indexables_in(x):
    if kind(x) == "ind":
        return [x]
    if kind(x) == "seq":
        return [m for m in members(x) if kind(m) == "ind"]
    return []


def path_match(obj, path, test, attrs_of):
    """Whether `test(value)` holds for obj's value at `path`, following Indexables (and lists of them) at dots."""
    first, _, rest = path.partition(".")
    attrs = attrs_of(obj)
    if first not in attrs:
        return False
    x = attrs[first]
    if not rest:
        return test(x)
    return any(path_match(c, rest, test, attrs_of) for c in indexables_in(x))


def has_bad_bound(tree):
    op = tree[0]
    if op == "bt":
        return kind(tree[2]) != "num" or kind(tree[3]) != "num"
    if op in ("and", "or"):
        return any(has_bad_bound(t) for t in tree[1])
    if op == "not":
        return has_bad_bound(tree[1])
    return False


def read_back(objects, names):
    """What each object holds now, read through the ordinary attribute hook: the model's view of the world."""
    shadow = {}
    for o in objects:
        attrs = {}
        for name in names:
            try:
                attrs[name] = getattr(o, name)
            except AttributeError:
                pass
        shadow[id(o)] = attrs
    return shadow


def evaluate(tree, scope, attrs_of):
    """Set of id() of the objects of `scope` matching `tree`; raises BadBound where the engine must fail."""
    if has_bad_bound(tree):
        raise BadBound(tree)
    return _eval(tree, scope, attrs_of)


def _eval(tree, scope, attrs_of):
    op = tree[0]
    if op == "and":
        result = {id(o) for o in scope}
        for t in tree[1]:
            result &= _eval(t, scope, attrs_of)
        return result
    if op == "or":
        result = set()
        for t in tree[1]:
            result |= _eval(t, scope, attrs_of)
        return result
    if op == "not":
        return {id(o) for o in scope} - _eval(tree[1], scope, attrs_of)
    if op == "ne":
        return {id(o) for o in scope} - _eval(("eq", tree[1], tree[2]), scope, attrs_of)
    path = tree[1]
    if op == "eq":
        v = tree[2]
        test = lambda x: eq_value(x, v)
    elif op == "in":
        vs = tree[2]
        test = lambda x: any(eq_value(x, v) for v in vs)
    elif op == "bt":
        lo, hi = _num(tree[2]), _num(tree[3])
        test = lambda x: kind(x) == "num" and lo <= _num(x) <= hi
    elif op in _ORDER:
        v, fn = tree[2], _ORDER[op]
        test = lambda x: fn(x, v)
    else:
        s, fn = tree[2], _STRING[op]
        test = lambda x: fn(x, s)
    return {id(o) for o in scope if path_match(o, path, test, attrs_of)}


_BUILDERS = {
    "eq": Q.eq, "ne": Q.ne, "gt": Q.gt, "ge": Q.ge, "lt": Q.lt, "le": Q.le,
    "starts_with": Q.starts_with, "ends_with": Q.ends_with, "contains": Q.contains,
}


def build(tree):
    """The PyQueryExpr for a tree."""
    op = tree[0]
    if op == "and":
        return Q.and_(*[build(t) for t in tree[1]])
    if op == "or":
        return Q.or_(*[build(t) for t in tree[1]])
    if op == "not":
        return Q.not_(build(tree[1]))
    if op == "bt":
        return Q.bt(tree[1], tree[2], tree[3])
    if op == "in":
        values = tree[2]
        return Q.in_(tree[1], tuple(values) if tree[3] else list(values))
    return _BUILDERS[op](tree[1], tree[2])


def describe(tree, label=repr):
    """Readable text of a tree; `label` names values (tests pass one that names their objects)."""
    op = tree[0]
    if op in ("and", "or"):
        return f"{op}_(" + ", ".join(describe(t, label) for t in tree[1]) + ")"
    if op == "not":
        return f"not_({describe(tree[1], label)})"
    if op == "in":
        return f"in_({tree[1]!r}, [" + ", ".join(label(v) for v in tree[2]) + "])"
    args = ", ".join(label(v) for v in tree[2:])
    return f"{op}({tree[1]!r}, {args})"


# ---------------------------------------------------------------------------------------------------------------
# Generators

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

NUMBERS = [
    0, 1, -1, 2, 3, 3.0, 2.5, -2.5, 7, -7, 100, -100, 0.1, 1 / 3, 0.0, -0.0,
    2**53, 2**53 + 1, float(2**53), -(2**53) - 1, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1,
    float(2**63), -float(2**63), 1e300, -1e300, math.inf, -math.inf,
    5e-324, -5e-324, 1e-310, 2.2250738585072014e-308, 1e-300,
]
STRINGS = [
    "", "a", "ab", "abc", "b", "ba", "bab", "cab", "é", "aé", "éa", "日本", "日本語", "本", "🙂", "a🙂b",
    "x" * 23, "x" * 24, "y" * 30 + "a", "prefix_shared_long_value_one", "prefix_shared_long_value_two",
    "suffix", "the_suffix", "AbC", "a b", "\x00z",
]

# Ints no signed 64-bit word holds (some an ordered key holds exactly, some no key does), and text with lone
# surrogates: values the engine keeps outside its native forms.
BEYOND_INT64 = [2**63, 2**64, 2**70 + 1, -(2**63) - 1, -(2**100) - 7, 2**1024 + 1, -(10**400)]
SURROGATE_STRINGS = ["a\ud800", "\udcffb", "lone \udcff surrogate in long text"]

SCALAR_ATTRS = ["a", "b", "c", "an_attribute_name_longer_than_23_bytes", "\u00f1ame"]
EXTRA_ATTRS = ["d", "e", "f", "g", "h"]  # written later: objects go past eight attributes
LINK_ATTRS = ["n", "m"]
MISSING_ATTR = "never_assigned_anywhere"


class ValueGen:
    """Seeded random values of every kind, from pools small enough that queries hit."""

    def __init__(self, rng):
        self.rng = rng
        self.fresh = None  # callable -> a new short-lived Indexable, if the caller wants them
        self.unknowns = [None, Token("t1"), Token("t2"), frozenset({1, 2}), MyInt(3), MyStr("ab"),
                         Colour.GREEN, complex(1, 2), Ellipsis, bytearray(b"ab")]
        self.numbers = list(NUMBERS) + BEYOND_INT64
        self.strings = list(STRINGS) + SURROGATE_STRINGS
        self.bools = [True, False]
        self.fresh_unknowns = [lambda: Token("fresh"), lambda: frozenset({1, 2}), lambda: MyInt(3),
                               lambda: MyStr("ab"), lambda: complex(1, 2), lambda: bytearray(b"ab")]
        if np is not None:
            self.numbers += [np.int64(3), np.float64(2.5), np.int64(-1), np.int32(3), np.uint8(7), np.float32(2.5),
                             np.float16(-0.5), np.uint64(2**63 - 1)]
            self.strings += [np.str_("ab")]
            self.bools += [np.bool_(True)]
            self.unknowns += [np.longdouble(3), np.complex64(1)]

    def number(self):
        """A number of the pool, or a random one: small ints, ints of any width, floats of any exponent."""
        rng = self.rng
        r = rng.random()
        if r < 0.55:
            return rng.choice(self.numbers)
        if r < 0.7:
            return rng.randint(-50, 50)
        if r < 0.8:
            bits = rng.randrange(1, 64)
            return rng.randrange(-(2**bits), 2**bits)
        if r < 0.9:
            return rng.choice((-1, 1)) * rng.random() * 10.0 ** rng.randint(-30, 30)
        while True:  # any bit pattern but NaN: subnormals, infinities and huge values included
            x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            if x == x:
                return x

    def near(self, x):
        """A number equal to x, or just beside it (one ulp, or one for ints); zeros of either sign for a zero."""
        x = _num(x)
        r = self.rng.random()
        if x == 0:
            return self.rng.choice((0, 0.0, -0.0, 5e-324, -5e-324))
        if r < 0.4:
            return x
        if isinstance(x, int):
            return x + self.rng.choice((-1, 1))  # past the 64-bit edges too
        return math.nextafter(x, math.inf if r < 0.7 else -math.inf)

    def string(self):
        """A string of the pool, or a random one over a small alphabet (one- to four-byte characters).

        Random ones stay under 16 characters (up to 60 bytes, past the 23-byte inline limit); the pool holds
        longer ones. Every character position costs each index holding the value a structure of its own, so
        longer random strings would add memory, not cases."""
        rng = self.rng
        if rng.random() < 0.5:
            return rng.choice(self.strings)
        return "".join(rng.choice("aab\u00e9\u65e5\U0001f642") for _ in range(rng.randrange(16)))

    def query_string(self):
        r = self.rng.random()
        if r < 0.5:
            s = str(self.string())
            i = self.rng.randrange(len(s) + 1)
            j = self.rng.randrange(i, len(s) + 1)
            return s[i:j]
        if r < 0.95:
            return self.string()
        return "zzz_absent"

    def scalar(self):
        r = self.rng.random()
        if r < 0.45:
            return self.number()
        if r < 0.8:
            return self.string()
        if r < 0.9:
            return self.rng.choice(self.bools)
        return self.unknown()

    def unknown(self):
        """A shared unrecognised object, or a fresh one equal (and equal-hashing) to others of its sort."""
        if self.rng.random() < 0.5:
            return self.rng.choice(self.unknowns)
        return self.rng.choice(self.fresh_unknowns)()

    def container(self, indexables, depth=0, hashable=False):
        """A list, tuple or set (only tuples inside sets), nested up to two levels."""
        rng = self.rng
        shape = tuple if hashable else rng.choice((list, tuple, set))
        items = []
        for _ in range(rng.randrange(5)):
            r = rng.random()
            if r < 0.15 and depth < 2:
                items.append(self.container(indexables, depth + 1, hashable=hashable or shape is set))
            elif r < 0.35 and indexables:
                items.append(rng.choice(indexables))
            else:
                items.append(self.scalar())
        if shape is set or hashable:  # a set's members, and those of tuples inside one, must hash
            items = [item for item in items if _hashes(item)]
        return shape(items)

    def value(self, indexables=()):
        """Any attribute value; Indexables only from `indexables` (callers keep object graphs acyclic)."""
        r = self.rng.random()
        if r < 0.62:
            return self.scalar()
        if r < 0.8:
            return self.container(indexables)
        if r < 0.82:
            return {"k": self.scalar()}
        if indexables:
            return self.rng.choice(indexables)
        return self.scalar()

    def pick(self, indexables):
        """One of `indexables`, or now and then a fresh object made by `self.fresh` (when set), which dies again
        once nothing holds it, so its id comes back for reuse."""
        if self.fresh is not None and self.rng.random() < 0.12:
            return self.fresh()
        return self.rng.choice(indexables)

    def link_value(self, indexables):
        """A value for a link attribute: mostly an Indexable or a container of them."""
        r = self.rng.random()
        if not indexables or r < 0.15:
            return self.value(indexables)
        if r < 0.65:
            return self.pick(indexables)
        k = self.rng.randrange(1, 4)
        picked = [self.pick(indexables) for _ in range(k)]
        if r < 0.75:
            return [picked[0], [picked[-1], self.scalar()]]
        return self.rng.choice((list, tuple, set))(picked)


class TreeGen:
    """Seeded random query trees over every operator and combinator, dotted paths included."""

    def __init__(self, rng, values, eq_candidates, facts=None, bad_bound_rate=0.03):
        self.rng = rng
        self.facts = facts  # callable(kind or None) -> (path, value) an object holds, or None: steers to hits
        self.values = values
        self.eq_candidates = eq_candidates  # callable -> list of values worth asking for (assigned ones)
        self.bad_bound_rate = bad_bound_rate

    def path(self):
        rng = self.rng
        r = rng.random()
        if r < 0.03:
            return MISSING_ATTR
        if r < 0.55:
            return rng.choice(SCALAR_ATTRS + LINK_ATTRS)
        if r < 0.9:
            return rng.choice(LINK_ATTRS) + "." + rng.choice(SCALAR_ATTRS + LINK_ATTRS + [MISSING_ATTR])
        return rng.choice(LINK_ATTRS) + "." + rng.choice(LINK_ATTRS) + "." + rng.choice(SCALAR_ATTRS)

    def eq_value(self):
        cands = self.eq_candidates()
        if cands and self.rng.random() < 0.75:
            v = self.rng.choice(cands)
            if kind(v) != "seq" and kind(v) != "dict":
                return v
            inner = list(members(v)) if kind(v) == "seq" else []
            if inner:
                return self.rng.choice(inner)
        return self.values.scalar()

    def assigned_of(self, wanted):
        """A member of the assigned values (or of their containers) of kind `wanted`, if one comes up."""
        cands = self.eq_candidates()
        for _ in range(4):
            if not cands:
                return None
            v = self.rng.choice(cands)
            if kind(v) == "seq":
                inner = list(members(v))
                v = self.rng.choice(inner) if inner else None
            if v is not None and kind(v) == wanted:
                return v
        return None

    def ordered_value(self):
        r = self.rng.random()
        if r < 0.45:
            v = self.assigned_of("num")
            if v is not None:
                return self.values.near(v)
        if r < 0.88:
            return self.values.number()
        return self.rng.choice([self.values.string(), True, False, None])

    def leaf(self, bad_bounds_ok=True):
        rng = self.rng
        op = rng.choice(["eq", "eq", "ne", "in", "gt", "ge", "lt", "le", "bt", "bt",
                         "starts_with", "ends_with", "contains"])
        wanted = "num" if op in _ORDER or op == "bt" else "str" if op in _STRING else None
        fact = self.facts(wanted) if self.facts is not None and rng.random() < 0.6 else None
        path, seen = fact if fact is not None else (self.path(), None)
        if op in ("eq", "ne"):
            return (op, path, seen if seen is not None and rng.random() < 0.8 else self.eq_value())
        if op == "in":
            values = [self.eq_value() for _ in range(rng.randrange(4))]
            if seen is not None and rng.random() < 0.7:
                values.insert(rng.randrange(len(values) + 1), seen)
            return ("in", path, values, rng.random() < 0.3)
        if op == "bt":
            lo, hi = self.values.number(), self.values.number()
            if seen is not None and kind(seen) == "num":
                lo = self.values.near(seen) if rng.random() < 0.5 else lo
                hi = self.values.near(seen) if rng.random() < 0.3 else hi
            if rng.random() < 0.7 and _num(lo) > _num(hi):
                lo, hi = hi, lo
            if bad_bounds_ok and rng.random() < self.bad_bound_rate:
                bad = rng.choice(["s", True, None])
                lo, hi = (bad, hi) if rng.random() < 0.5 else (lo, bad)
            return ("bt", path, lo, hi)
        if op in _ORDER:
            if seen is not None and kind(seen) == "num" and rng.random() < 0.7:
                return (op, path, self.values.near(seen) if rng.random() < 0.5 else seen)
            return (op, path, self.ordered_value())
        if rng.random() < 0.06:
            return (op, path, rng.choice([3, None, True, MyStr("a")]))  # not a str: matches nothing
        s = self.values.query_string()
        source = seen if seen is not None and kind(seen) == "str" else None
        if source is None and rng.random() < 0.4:
            source = self.assigned_of("str")
        if source is not None and rng.random() < 0.8:
            v = str(source)
            i = rng.randrange(len(v) + 1)
            s = v[i:] if op == "ends_with" else v[:i] if op == "starts_with" else v[i:rng.randrange(i, len(v) + 1)]
        return (op, path, s)

    def tree(self, depth=3, in_and=False):
        # Bad bt bounds stay out of conjunctions: and_ may stop early once nothing is left, skipping the check.
        rng = self.rng
        if depth == 0 or rng.random() < 0.45:
            return self.leaf(bad_bounds_ok=not in_and)
        r = rng.random()
        if r < 0.4:
            return ("and", [self.tree(depth - 1, True) for _ in range(rng.randrange(4))])
        if r < 0.75:
            return ("or", [self.tree(depth - 1, in_and) for _ in range(rng.randrange(4))])
        return ("not", self.tree(depth - 1, in_and))


def same_number(a, b):
    """Equal numbers of the same sign of zero (a read-back check)."""
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return a == b
