"""Module entry: registration, class properties, sum_as_string, sub-interpreters."""

import importlib
import inspect
import random
import sys
import weakref

import pytest

import Vostrel
from Vostrel import _debug

CLASSES = ["Index", "Indexable", "FilteredIndex", "PyQueryExpr"]
SEALED = ["Index", "FilteredIndex", "PyQueryExpr"]


def test_registration_order_and_reimport():
    public = [name for name in vars(Vostrel) if not name.startswith("_")]
    assert public == ["sum_as_string", *CLASSES, "InternalError", "asdict"]
    # The test hooks live in a private submodule that the module's namespace does not show.
    assert [name for name in vars(Vostrel) if "debug" in name] == []
    assert sys.modules["Vostrel._debug"] is _debug
    assert isinstance(Vostrel.__doc__, str) and Vostrel.__doc__
    first = sys.modules.pop("Vostrel")
    try:
        again = importlib.import_module("Vostrel")
        assert again is first
    finally:
        sys.modules["Vostrel"] = first


def test_internal_error_is_not_an_exception():
    error = Vostrel.InternalError
    assert error.__bases__ == (BaseException,)
    assert not issubclass(error, Exception)
    with pytest.raises(BaseException) as caught:
        try:
            _debug.internal_error("broken invariant")
        except Exception:  # must not catch it
            pytest.fail("InternalError was caught as an Exception")
    assert caught.type is error and str(caught.value) == "broken invariant"


@pytest.mark.parametrize("name", SEALED)
def test_sealed_classes(name):
    cls = getattr(Vostrel, name)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        cls.anything = 1  # type objects are immutable


def test_class_surface():
    class Derived(Vostrel.Indexable):
        pass

    assert Derived(a=1).a == 1
    for name in ("FilteredIndex", "PyQueryExpr"):
        with pytest.raises(TypeError) as caught:
            getattr(Vostrel, name)()
        assert str(caught.value) == f"No constructor defined for {name}"
    index = Vostrel.Index()
    for args, kwargs in [((1,), {}), ((), {"a": 1}), ((None, None), {})]:
        with pytest.raises(TypeError):
            Vostrel.Index(*args, **kwargs)
    with pytest.raises(TypeError):
        weakref.ref(index)
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.extra = 1
    assert Vostrel.Index.__text_signature__ == "()"
    assert Vostrel.Indexable.__text_signature__ == "(*_args, **kwargs)"
    assert str(inspect.signature(Vostrel.Indexable)) == "(*_args, **kwargs)"


def test_sum_as_string_matches_model():
    rng = random.Random(11)
    edges = [0, 1, 2**63 - 1, 2**63, 2**64 - 1]
    pairs = [(a, b) for a in edges for b in edges]
    pairs += [(rng.getrandbits(rng.randint(1, 64)), rng.getrandbits(rng.randint(1, 64))) for _ in range(2000)]
    for a, b in pairs:
        expected = str((a + b) % 2**64)
        assert Vostrel.sum_as_string(a, b) == expected
        assert Vostrel.sum_as_string(b=b, a=a) == expected
        assert Vostrel.sum_as_string(a, b=b) == expected

    class Indexed:
        def __index__(self):
            return 40

    assert Vostrel.sum_as_string(True, Indexed()) == "41"
    assert Vostrel.sum_as_string.__text_signature__ == "(a, b)"
    assert Vostrel.sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    assert Vostrel.sum_as_string.__name__ == "sum_as_string"


@pytest.mark.parametrize("args, kwargs, error, argument", [
    ((-1, 0), {}, OverflowError, "a"),
    ((0, -1), {}, OverflowError, "b"),
    ((2**64, 0), {}, OverflowError, "a"),
    ((0, 2**64), {}, OverflowError, "b"),
    ((1.5, 1), {}, TypeError, "a"),
    ((1, "2"), {}, TypeError, "b"),
    ((1, None), {}, TypeError, "b"),
    ((1,), {}, TypeError, "b"),
    ((), {"b": 1}, TypeError, "a"),
    ((1, 2), {"c": 3}, TypeError, "c"),
    ((1, 2), {"a": 3}, TypeError, "a"),
    ((1, 2, 3), {}, TypeError, None),
    ((), {}, TypeError, "a"),
])
def test_sum_as_string_bad_arguments(args, kwargs, error, argument):
    with pytest.raises(error) as caught:
        Vostrel.sum_as_string(*args, **kwargs)
    if argument is not None:
        assert f"'{argument}'" in str(caught.value)


def test_index_failing_conversion_propagates():
    class Broken:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="argument 'b': boom"):
        Vostrel.sum_as_string(1, Broken())


def test_sub_interpreter_is_refused(run_isolated):
    # A sub-interpreter sharing the main one's settings gets our refusal; from 3.12 an isolated one (its own
    # settings, the default there) is refused by CPython first, with its own message, as for any module of one-phase
    # initialisation. The refusal is written from inside the sub-interpreter, whose failure reporting differs by
    # version.
    result = run_isolated("""
        import os, sys
        import Vostrel
        from Vostrel import _debug
        try:
            import _interpreters as interpreters  # renamed in 3.13
            kinds = {"shared": lambda: interpreters.create("legacy"), "isolated": lambda: interpreters.create()}
        except ImportError:
            import _xxsubinterpreters as interpreters
            kinds = {"shared": lambda: interpreters.create(isolated=False)}
            if sys.version_info >= (3, 12):
                kinds["isolated"] = lambda: interpreters.create(isolated=True)
        for kind, create in kinds.items():
            interp = create()
            try:
                interpreters.run_string(interp, "import os\\n"
                    "try:\\n    import Vostrel\\n    said = 'imported'\\n"
                    "except ImportError as error:\\n    said = 'refused: ImportError: ' + str(error)\\n"
                    f"os.write(1, ('{kind} ' + said + '\\\\n').encode())")
            finally:
                interpreters.destroy(interp)
        # The first interpreter keeps working, including releases from threads without the interpreter lock
        # (creating a sub-interpreter switches PyGILState_Check off for the process).
        print(Vostrel.sum_as_string(2, 3))
        obj = object()
        before = sys.getrefcount(obj)
        _debug.release_on_threads(obj, 4, 100, False)
        print("queued:", _debug.pending_releases())
        _debug.apply_deferred_releases()
        print("balanced:", sys.getrefcount(obj) == before)
        o = Vostrel.Indexable(a=1)
        o.a = [1, 2]
        print(o.a)
    """, leak_check=False)  # tearing down a sub-interpreter strands objects on its free lists: the interpreter's own
    assert result.returncode == 0, result.stderr
    assert "shared refused: ImportError: Vostrel does not support sub-interpreters" in result.stdout
    if sys.version_info >= (3, 12):
        assert "isolated refused: ImportError: module Vostrel does not support loading in subinterpreters" in \
            result.stdout
    assert "5\nqueued: 1\nbalanced: True\n[1, 2]" in result.stdout
