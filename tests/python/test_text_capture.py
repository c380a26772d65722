"""Text capture encodes text that is not ASCII itself (nothing kept inside the str): it must give the values, hashes,
reads and query answers the str's own UTF-8 gives; and lists and nested objects made with an object are still
collected in a cycle."""

import collections
import ctypes
import gc
import random
import sys

import Vostrel
from Vostrel import _debug

Q = Vostrel.PyQueryExpr

_as_utf8 = ctypes.pythonapi.PyUnicode_AsUTF8
_as_utf8.argtypes = [ctypes.py_object]
_as_utf8.restype = ctypes.c_char_p


def fresh(text):
    """An equal str made anew, so that no UTF-8 has been made for it yet."""
    return "".join(list(text))


def texts(seed=19):
    # Latin-1, two-byte and four-byte kinds; lengths on both sides of the in-place limit (23 bytes).
    rng = random.Random(seed)
    alphabets = ["abé\xff ", "aé€Ωz", "a€𝄞é", "é"]
    return [fresh("".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 40))))
            for alphabet in alphabets for _ in range(60)]


def test_text_encoded_by_capture_equals_the_strs_own_utf8():
    apart = texts()
    made = [fresh(t) for t in apart]
    for t in made:
        _as_utf8(t)  # the ordinary path: the str's UTF-8 exists before the capture
    sizes = [sys.getsizeof(t) for t in apart]
    objs_apart = [Vostrel.Indexable(s=t, k=i) for i, t in enumerate(apart)]
    objs_made = [Vostrel.Indexable(s=t, k=i) for i, t in enumerate(made)]
    assert [sys.getsizeof(t) for t in apart] == sizes  # no UTF-8 copy was left inside the strs
    for a, b in zip(apart, made):
        assert _debug.hash(a) == _debug.hash(b)
    for obj, t in zip(objs_apart, apart):
        assert obj.s == t
    index = Vostrel.Index()
    index.add_object_many(objs_apart + objs_made)
    rng = random.Random(3)
    for t in rng.sample(apart, 40):
        probes = [(Q.eq, t, lambda s, p: s == p), (Q.starts_with, t[:3], str.startswith),
                  (Q.ends_with, t[-2:], str.endswith), (Q.contains, t[1:3], lambda s, p: p in s)]
        for make, probe, model in probes:
            got = index.reduced_query(make("s", probe)).collect()
            keys = sorted((o.k, o in objs_made) for o in got)
            expected = sorted((i, side) for i, s in enumerate(apart) if model(s, probe) for side in (False, True))
            assert keys == expected, (make, probe)


def test_objects_holding_lists_and_nested_objects_in_a_cycle_are_collected():
    class Sentinel:
        deleted = 0

        def __del__(self):
            Sentinel.deleted += 1

    gc.collect()
    for _ in range(200):
        obj = Vostrel.Indexable(name="x")
        obj.tags = [obj, Sentinel()]
        obj.address = Vostrel.Indexable(owner=obj, tags=[Sentinel()])
    del obj
    gc.collect()
    gc.collect()
    assert Sentinel.deleted == 400


def test_long_text_reads_the_same_from_every_place_its_bytes_are_kept():
    # A long text's bytes stay in the str (ASCII data, or the UTF-8 the interpreter made) or follow its record (text
    # encoded by capture, lone surrogates): each place must give the same text, hash and matches as the others and
    # as Python. numpy's str_ is kept as the plain str capture makes of it.
    rng = random.Random(23)
    alphabets = ["abcxyz -", "abé\xff", "a€Ωz", "a𝄞é", "ab\ud800c"]
    base = [fresh("".join(rng.choice(alphabet) for _ in range(rng.randrange(16, 60))))
            for alphabet in alphabets for _ in range(30)]
    cached = [fresh(t) for t in base]
    for t in cached:
        if "\ud800" not in t:
            _as_utf8(t)
    forms = [base, cached]
    try:
        import numpy
        forms.append([numpy.str_(t) for t in base if "\ud800" not in t])
    except ImportError:
        pass
    objs = [Vostrel.Indexable(s=t, k=i, form=f) for f, column in enumerate(forms) for i, t in enumerate(column)]
    for obj in objs:
        text = forms[obj.form][obj.k]
        assert obj.s == text and type(obj.s) is str
        if obj.form < 2:
            assert obj.s is text  # an exact str reads back as itself
        assert _debug.hash(obj.s) == _debug.hash(fresh(str(text)))
    index = Vostrel.Index()
    index.add_object_many(objs)
    for t in rng.sample(base, 30):
        probes = [(Q.eq, t, lambda s, p: s == p), (Q.starts_with, t[:4], str.startswith),
                  (Q.ends_with, t[-3:], str.endswith), (Q.contains, t[2:5], lambda s, p: p in s)]
        for make, probe, model in probes:
            got = sorted((o.k, o.form) for o in index.reduced_query(make("s", probe)).collect())
            expected = sorted((i, f) for f, column in enumerate(forms) for i, s in enumerate(column) if model(s, probe))
            assert got == expected, (make, probe)
    assert index.value_counts("s") == collections.Counter(str(t) for column in forms for t in column)
