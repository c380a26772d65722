"""Helpers for the scenarios of test_lock_regressions.py, each of which runs in a child interpreter.

A scenario that deadlocks must end its process quickly and loudly, whichever thread is stuck and whether or not it
holds the interpreter lock:
- `arm(seconds)`: faulthandler's own native thread dumps every stack and exits the process once `seconds` pass,
  even when the interpreter lock is held by a blocked thread.
- `run_threads(...)`: workers loop for a while; a worker that makes no progress for `stall` seconds counts as hung,
  so a deadlock ends the run within seconds, not at the hard limit.
Exit statuses: 0 fine, 1 faulthandler's hard limit, 3 a stalled worker, 4 an exception in a worker, 5 a wrong answer.
"""

import faulthandler
import os
import random
import sys
import threading
import time
import traceback

import Vostrel
from model import build, evaluate, read_back

Q = Vostrel.PyQueryExpr
# Everything is several times slower under a sanitizer: stall and time limits grow, loops shrink.
UNDER_SANITIZER = any(s in os.environ.get("LD_PRELOAD", "") for s in ("libasan", "libtsan"))
SLOW = 4.0 if UNDER_SANITIZER else 1.0
SEED = int(os.environ.get("VOSTREL_SEED", "20240607"))
EXIT_STALLED, EXIT_WORKER_ERROR, EXIT_WRONG = 3, 4, 5


def arm(seconds):
    """Ends the process with every thread's stack on stderr after `seconds` (scaled), whatever state it is in."""
    faulthandler.dump_traceback_later(seconds * SLOW, exit=True)


def die(status, message):
    sys.stderr.write(message + "\n")
    sys.stderr.flush()
    faulthandler.dump_traceback(all_threads=True)
    os._exit(status)


def run_threads(workers, seconds, stall=2.0, switch_interval=1e-5):
    """Runs each worker(rng) in a loop on its own daemon thread for `seconds`; ends the process if a worker stalls
    or raises. `workers` is a list of callables or (name, callable) pairs. Returns the per-worker loop counts."""
    named = [w if isinstance(w, tuple) else (getattr(w, "__name__", "worker"), w) for w in workers]
    progress = [0] * len(named)
    stop = threading.Event()
    errors = []

    def loop(slot, worker, seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                worker(rng)
                progress[slot] += 1
        except BaseException:  # the module's internal error derives from BaseException
            errors.append(traceback.format_exc())
            stop.set()

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(switch_interval)  # many more interleavings of the Python-side steps
    threads = [threading.Thread(target=loop, args=(slot, worker, SEED + slot), name=name, daemon=True)
               for slot, (name, worker) in enumerate(named)]
    for t in threads:
        t.start()
    stall *= SLOW
    last = list(progress)
    last_change = [time.monotonic()] * len(named)
    deadline = time.monotonic() + seconds
    while True:
        time.sleep(0.05)
        now = time.monotonic()
        for slot, count in enumerate(progress):
            if count != last[slot] or not threads[slot].is_alive():
                last[slot], last_change[slot] = count, now
            elif now - last_change[slot] > stall:
                die(EXIT_STALLED, f"HANG: worker {named[slot][0]!r} made no progress for {stall:.1f} s "
                                  f"(loops so far: {dict(zip((n for n, _ in named), progress))})")
        if errors or now >= deadline:
            break
    stop.set()
    for t in threads:
        t.join(timeout=stall)
        if t.is_alive():
            die(EXIT_STALLED, f"HANG: worker {t.name!r} did not finish its last step within {stall:.1f} s")
    sys.setswitchinterval(old_interval)
    if errors:
        die(EXIT_WORKER_ERROR, "worker raised:\n" + errors[0])
    return dict(zip((n for n, _ in named), progress))


def run_on_thread(fn, seconds):
    """fn() on a fresh thread (smaller default stack than the main one); its result, or the exception it raised
    (returned, not raised). A thread that does not finish in `seconds` ends the process as hung."""
    box = {}

    def target():
        try:
            box["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - the caller inspects it
            box["error"] = e

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(seconds * SLOW)
    if t.is_alive():
        die(EXIT_STALLED, f"HANG: {getattr(fn, '__name__', 'call')} did not return within {seconds * SLOW:.1f} s")
    return box.get("error", box.get("result"))


def check_answers(index, scope, names, trees, extra=(), where="index"):
    """Every tree answered by `index` must equal the model's answer over `scope` (objects reachable through nested
    paths go in `extra`, so their values are read too). Ends the process with EXIT_WRONG on the first mismatch."""
    scope = list(scope)
    shadow = read_back(scope + list(extra), names)
    got_members = index.collect()
    if {id(o) for o in got_members} != {id(o) for o in scope} or len(got_members) != len(scope):
        die(EXIT_WRONG, f"WRONG {where}: holds {len(got_members)} objects, expected {len(scope)}")
    for tree in trees:
        expected = evaluate(tree, scope, lambda o: shadow.get(id(o), {}))
        got = index.reduced_query(build(tree)).collect()
        ids = {id(o) for o in got}
        if ids != expected or len(ids) != len(got):
            die(EXIT_WRONG, f"WRONG {where}: {tree}: got {len(got)} objects, expected {len(expected)} "
                            f"(missing {len(expected - ids)}, extra {len(ids - expected)})")
