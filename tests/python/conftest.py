"""Shared fixtures: the random seed, isolated interpreter runs, a size scale for heavy tests and injected failures."""

import contextlib
import faulthandler
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

# Seeded tests draw from BASE_SEED: fixed by default so every run checks the same cases, any number with
# VOSTREL_SEED=<n> to replay one, a fresh one with VOSTREL_SEED=random. Failures name it (see below).
DEFAULT_SEED = 20250101


def _base_seed():
    text = os.environ.get("VOSTREL_SEED", "").strip()
    if not text:
        return DEFAULT_SEED
    if text == "random":
        return random.SystemRandom().randrange(2**32)
    try:
        return int(text)
    except ValueError:
        raise pytest.UsageError(f"VOSTREL_SEED must be an integer or 'random', not {text!r}") from None


BASE_SEED = _base_seed()


def pytest_report_header(config):
    return f"VOSTREL_SEED={BASE_SEED}"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Every failure report ends with the seed, so a failure on a random seed can be replayed."""
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        report.sections.append(("seed", f"replay with VOSTREL_SEED={BASE_SEED}"))

# Under the sanitizers every allocation is several times slower: heavy tests shrink their loops.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
SCALE = 0.1 if UNDER_SANITIZER else 1.0


def scaled(count):
    """`count` scaled for the current build, at least 1."""
    return max(1, int(count * SCALE))


@contextlib.contextmanager
def memory_error_after(fail_after, count):
    """Arms a failure hook of Vostrel._debug (`fail_after(count)`: the step that many steps from now fails as a full
    memory would), expects the block to raise MemoryError, and disarms the hook however the block ends."""
    fail_after(count)
    try:
        with pytest.raises(MemoryError):
            yield
    finally:
        fail_after(-1)


@pytest.fixture
def run_isolated():
    """Runs `code` in a fresh interpreter (same executable and environment). Returns the CompletedProcess.

    Used for what must not leak into this process: sub-interpreters, a hidden numpy, and lock tests whose failure
    mode is a hang (the timeout turns a hang into a failure). leak_check=False turns the sanitizer's exit-time leak
    check off for that run only."""

    def run(code, timeout=60, leak_check=True):
        env = os.environ.copy()
        if "ASAN_OPTIONS" in env:
            # Real allocation stacks, so tests/lsan.supp can tell the interpreter's own exit-time leaks apart.
            env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0:malloc_context_size=10"
            if not leak_check:
                env["ASAN_OPTIONS"] += ":detect_leaks=0"
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout, env=env)

    return run


def race(stop, writer, reader, seconds=2.5, watchdog=120):
    """Runs writer(seed) on two threads and reader(seed) on two more for `seconds`, switching threads often, under a
    watchdog (a hang dumps every stack and ends the run). Setting `stop` ends the race early and tells every thread
    to return; a reader's exception sets it and fails the test."""
    errors = []

    def guarded(seed):
        try:
            reader(seed)
        except BaseException as error:  # reported by the main thread
            errors.append(error)
            stop.set()

    faulthandler.dump_traceback_later(watchdog, exit=True)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=writer, args=(s,)) for s in (1, 2)]
        threads += [threading.Thread(target=guarded, args=(s,)) for s in (3, 4)]
        for t in threads:
            t.start()
        stop.wait(seconds)
        stop.set()
        for t in threads:
            t.join(60)
            assert not t.is_alive()
    finally:
        sys.setswitchinterval(interval)
        faulthandler.cancel_dump_traceback_later()
    assert not errors, errors
