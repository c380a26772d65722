#!/usr/bin/env python3
"""Threaded stress of Vostrel: many threads write, query, view, collect, reduce and re-create indexes at once, then the
index answers are checked against the plain-Python model (tests/python/model.py) once every thread has stopped.
Every reduce leaves the rest of its prune to the worker thread (or to the next writer), however few objects it drops.

    python tests/stress/stress.py                      # 8 threads, 60 s, fixed seed
    python tests/stress/stress.py --small-pool         # 16 threads over 380 objects, members also nested values
    python tests/stress/stress.py --seconds 20 --threads 4 --seed 7 --seeds 4

Each seed runs in a child interpreter watched by this one, so a crash (SIGSEGV, abort) is reported like a hang or a
wrong answer instead of ending the run silently. Inside the child a watchdog dumps every thread's stack and exits
when a worker makes no progress for --hang-seconds, or when the main thread cannot get the interpreter lock for
that long. Defaults may also come from VOSTREL_STRESS_THREADS, VOSTREL_STRESS_SECONDS and VOSTREL_STRESS_SEED.
Exit status: 0 when every seed ran without a hang, crash, worker error or mismatch; 1 otherwise.
"""

import argparse
import collections
import faulthandler
import gc
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))  # model.py

RESULT_TAG = "STRESS-RESULT "
PROGRESS = re.compile(r"^\s+\d+ s: (\d+) operations")
EXIT_HANG, EXIT_FAILED = 2, 3
# Everything is several times slower under a sanitizer.
SLOW = 5.0 if any(s in os.environ.get("LD_PRELOAD", "") for s in ("libasan", "libtsan")) else 1.0


def resident_mib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 2**20
    except OSError:
        return -1


def parse_args(argv):
    env = os.environ.get
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--threads", type=int, default=None, help="worker threads (default 8, 16 with --small-pool)")
    p.add_argument("--seconds", type=float, default=float(env("VOSTREL_STRESS_SECONDS", 60)),
                   help="how long the threads run (default 60)")
    p.add_argument("--seed", type=int, default=int(env("VOSTREL_STRESS_SEED", 20240607)),
                   help="fixed by default: the same seed replays the same choices per thread")
    p.add_argument("--seeds", type=int, default=1, help="run this many seeds in turn: seed, seed+1, ...")
    p.add_argument("--small-pool", action="store_true",
                   help="16 threads over ~380 objects: heavy contention, objects both members and nested values")
    p.add_argument("--objects", type=int, default=None, help="pool size (default 1500, 380 with --small-pool)")
    p.add_argument("--indexes", type=int, default=4, help="index slots (each dropped and re-created now and then)")
    p.add_argument("--hang-seconds", type=float, default=30.0, help="no progress for this long counts as a hang")
    p.add_argument("--acyclic", action="store_true",
                   help="no cycles between objects (tells cycle faults from lock faults)")
    p.add_argument("--dense-links", action="store_true",
                   help="nested values link any object of the pool, not only lower layers: paths of every depth and "
                        "cycles of every length, so the budget of deep nested indexes is spent and refuses some")
    p.add_argument("--checks", type=int, default=150, help="random queries checked per index at the end")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.threads is None:
        args.threads = int(env("VOSTREL_STRESS_THREADS", 16 if args.small_pool else 8))
    if args.objects is None:
        args.objects = 380 if args.small_pool else 1500
    args.hang_seconds *= SLOW
    return args


# ---------------------------------------------------------------------------------------------------------------
# The workload (child interpreter)


def child_main(args):
    import Vostrel
    from model import (EXTRA_ATTRS, LINK_ATTRS, MISSING_ATTR, SCALAR_ATTRS, BadBound, Obj, TreeGen, ValueGen, build,
                       describe, evaluate, has_bad_bound, kind, members, read_back)

    Q = Vostrel.PyQueryExpr
    dynamic_attrs = [f"dyn_{i}" for i in range(8)]  # names first written during the run
    all_attrs = SCALAR_ATTRS + EXTRA_ATTRS + LINK_ATTRS + dynamic_attrs

    class Record:
        """One index and every object ever handed to it (recorded before the call, so a result may only hold
        recorded objects). A slot is re-created by replacing its record whole."""

        def __init__(self, generation):
            self.index = Vostrel.Index()
            self.generation = generation
            self.handed = []
            self.handed_ids = set()
            self.views = []  # (view, tree) kept for the final check

        def add(self, obj):
            self.handed_ids.add(id(obj))
            self.handed.append(obj)
            self.index.add_object(obj)

        def add_many(self, objs):
            self.handed_ids.update(map(id, objs))
            self.handed.extend(objs)
            self.index.add_object_many(objs)

    class StressValues(ValueGen):
        def string(self):
            # Short random strings: a value map's string structure is as wide as its longest string, and dozens of
            # maps in every index and nested index would otherwise take gigabytes.
            if self.rng.random() < 0.5:
                return self.rng.choice(self.strings)
            return "".join(self.rng.choice("aab\u00e9\u65e5\U0001f642") for _ in range(self.rng.randrange(9)))

    class StressTrees(TreeGen):
        def path(self):
            if self.rng.random() < 0.08:
                name = self.rng.choice(dynamic_attrs)
                return name if self.rng.random() < 0.7 else self.rng.choice(LINK_ATTRS) + "." + name
            return super().path()

    master = random.Random(args.seed)
    pool = [Obj(**{a: master.randrange(100) for a in master.sample(SCALAR_ATTRS, 2)}) for _ in range(args.objects)]
    pool_cap = args.objects * 3
    # Objects link down through three layers (tops -> mids -> leaves) and close cycles only inside groups of three
    # of one layer. Every index holds objects of every layer, so most objects are members and nested values at once;
    # the layers bound the depth of nested paths (registration cost grows with the number of distinct paths).
    n_leaves, n_mids = len(pool) // 5, len(pool) * 3 // 10
    layer_of = {id(o): 0 if i < n_leaves else 1 if i < n_leaves + n_mids else 2 for i, o in enumerate(pool)}
    below = {0: [], 1: pool[:n_leaves], 2: pool[:n_leaves + n_mids]}
    group_of = {}
    for start in range(0, len(pool), 3):
        group = [o for o in pool[start:start + 3] if layer_of[id(o)] == layer_of[id(pool[start])]]
        for o in group:
            group_of[id(o)] = group
    recent = [master.randrange(100) for _ in range(256)]  # values written lately: query values that hit
    generation = [0]
    records = []
    for _ in range(args.indexes):
        rec = Record(generation[0])
        for o in master.sample(pool, int(len(pool) * master.uniform(0.4, 0.8))):
            rec.add(o)
        records.append(rec)

    counts = collections.Counter()  # summed from the workers' own counters once they stop
    worker_counts = [collections.Counter() for _ in range(args.threads)]
    live_failures = []  # (what, detail) seen while the threads ran
    errors = []

    def remember(rng, v):
        recent[rng.randrange(len(recent))] = v

    def check_result(got, rec, what):
        ids = [id(o) for o in got]
        if len(set(ids)) != len(ids):
            live_failures.append((what, "duplicate objects in a result"))
        elif any(type(o) is not Obj for o in got):
            live_failures.append((what, "a result holds something that is not one of the objects"))
        elif not set(ids) <= rec.handed_ids:
            live_failures.append((what, f"{len(set(ids) - rec.handed_ids)} objects never added to this index"))

    def query(rec, tree, target=None):
        """reduced_query(tree).collect() on the index (or a view); None when the tree must fail and did."""
        try:
            return (target if target is not None else rec.index).reduced_query(build(tree)).collect()
        except (Vostrel.InternalError, NotImplementedError):
            if has_bad_bound(tree):
                return None
            raise

    class Worker:
        def __init__(self, slot):
            self.slot = slot
            self.rng = random.Random(args.seed * 1000 + slot)
            self.values = StressValues(self.rng)
            self.trees = StressTrees(self.rng, self.values, lambda: recent, bad_bound_rate=0.02)

        def op_write(self):
            rng = self.rng
            o = rng.choice(pool)
            r = rng.random()
            if r < 0.45:
                name = rng.choice(SCALAR_ATTRS + EXTRA_ATTRS)
                value = self.values.value(())
            elif r < 0.75:  # a nested object, or a container of them, from a lower layer
                name = rng.choice(LINK_ATTRS)
                value = self.values.link_value(pool if args.dense_links else below[layer_of.get(id(o), 2)])
            elif r < 0.88 and not args.acyclic:  # a cycle between two objects of a group (or an object and itself)
                p = rng.choice(group_of.get(id(o), [o]))
                name = rng.choice(LINK_ATTRS)
                detail[self.slot] = f"o.{name}, p.{name} = p, o" + (" (p is o)" if p is o else "")
                setattr(o, name, p)
                setattr(p, name, o)
                remember(rng, p)
                return
            else:
                name = rng.choice(dynamic_attrs)
                value = self.values.scalar()
            detail[self.slot] = f"{name} = {short_repr(value)} on {o!r}"
            setattr(o, name, value)
            remember(rng, value)

        def op_query(self):
            rec = self.rng.choice(records)
            tree = self.trees.tree(self.rng.randrange(1, 4))
            got = query(rec, tree)
            if got is not None:
                check_result(got, rec, "reduced_query")

        def op_keywords(self):
            rec, rng = self.rng.choice(records), self.rng
            kw = {}
            for _ in range(rng.randrange(1, 3)):
                path = self.trees.path()
                kw[path] = self.trees.eq_value()
            got = rec.index.get_by_attribute(**kw) if rng.random() < 0.5 else rec.index.reduced(**kw).collect()
            check_result(got, rec, "keywords")

        def op_views(self):
            rec, rng = self.rng.choice(records), self.rng
            first = self.trees.tree(2)
            try:
                view = rec.index.reduced_query(build(first))
            except (Vostrel.InternalError, NotImplementedError):
                if has_bad_bound(first):
                    return
                raise
            outer = {id(o) for o in view.collect()}
            narrowed = view.reduced(**{self.trees.path(): self.trees.eq_value()}) if rng.random() < 0.3 else view
            second = self.trees.tree(2)
            inner = query(rec, second, narrowed)
            if inner is not None:
                check_result(inner, rec, "view of a view")
                if not {id(o) for o in inner} <= outer:
                    live_failures.append(("view of a view", "narrowing a view gave objects outside it"))
            if rng.random() < 0.05 and not has_bad_bound(first):
                if len(rec.views) < 8:
                    rec.views.append(view)
                else:
                    rec.views[rng.randrange(8)] = view

        def op_collect(self):
            rec = self.rng.choice(records)
            if rec.views and self.rng.random() < 0.3:
                check_result(self.rng.choice(rec.views).collect(), rec, "view collect")
            else:
                check_result(rec.index.collect(), rec, "collect")

        def op_add_new(self):
            rng = self.rng
            if len(pool) >= pool_cap:
                return self.op_add_existing()
            attrs = {a: self.values.link_value(below[2]) if a in LINK_ATTRS else self.values.value(())
                     for a in rng.sample(all_attrs, rng.randrange(1, 5))}  # a new top
            o = Obj(**attrs)
            pool.append(o)
            rng.choice(records).add(o)

        def op_add_batch(self):
            # Several chunks in one batch (the next chunk is staged while the last is flushed), with pool objects that
            # other workers write meanwhile mixed in. Few per run: every batch stays alive with its record.
            rng = self.rng
            with batch_lock:
                if batches_left[0] == 0:
                    return self.op_add_existing()
                batches_left[0] -= 1
            batch = [Obj(n=i, s=self.values.string(), tags=[i % 7, "t"]) for i in range(rng.randrange(17_000, 36_000))]
            for _ in range(50):
                batch.insert(rng.randrange(len(batch)), rng.choice(pool))
            rng.choice(records).add_many(batch)

        def op_add_existing(self):
            self.rng.choice(records).add(self.rng.choice(pool))

        def op_recreate(self):
            rng = self.rng
            generation[0] += 1
            rec = Record(generation[0])
            for o in rng.sample(pool, int(len(pool) * rng.uniform(0.2, 0.7))):
                rec.add(o)
            records[rng.randrange(len(records))] = rec  # the old index goes once no thread uses it any more

        def op_reduce(self):
            # A scratch index over a sample of the shared pool (written meanwhile by the other workers), reduced with
            # its prune pending; a view made before keeps its ids. The index is checked against the model at the end,
            # over the objects it then holds.
            rng = self.rng
            rec = Record(-1)
            for o in rng.sample(pool, min(len(pool), rng.randrange(20, 300))):
                rec.add(o)
            before = rec.index.reduced()
            probe = rng.choice(rec.handed)
            kw = {}
            for name in rng.sample(SCALAR_ATTRS, 2):
                value = getattr(probe, name, None)
                if isinstance(value, (int, float, str)):
                    kw[name] = value
            rec.index.reduce(**kw)
            check_result(rec.index.collect(), rec, "collect after reduce")
            if len(before.collect()) != len(rec.handed_ids):
                live_failures.append(("view made before a reduce", f"{len(before.collect())} of {len(rec.handed_ids)}"))
            reduced.append(rec)
            if len(reduced) > 16:
                reduced.pop(0)

        def op_gc(self):
            gc.collect()

    batch_lock = threading.Lock()
    batches_left = [6]
    reduced = []  # the latest indexes op_reduce made
    from Vostrel import _debug
    _debug.defer_prunes_from(1)

    operations = [("write", Worker.op_write, 40), ("query", Worker.op_query, 22), ("views", Worker.op_views, 10),
                  ("keywords", Worker.op_keywords, 6), ("collect", Worker.op_collect, 6),
                  ("add_new", Worker.op_add_new, 5), ("add_existing", Worker.op_add_existing, 5),
                  ("add_batch", Worker.op_add_batch, 0.2),
                  ("recreate", Worker.op_recreate, 0.5), ("reduce", Worker.op_reduce, 0.5), ("gc", Worker.op_gc, 0.3)]
    op_names = [name for name, _, _ in operations]
    op_funcs = [fn for _, fn, _ in operations]
    op_weights = [w for _, _, w in operations]

    stop = threading.Event()
    progress = [0] * args.threads
    current = ["start"] * args.threads  # what each worker is doing: named in a hang report
    detail = [""] * args.threads  # and the last write it made

    def short_repr(value):
        text = repr(value)
        return text if len(text) < 300 else text[:300] + "..."

    def run_worker(slot):
        worker = Worker(slot)
        mine = worker_counts[slot]
        picks = worker.rng.choices(range(len(operations)), op_weights, k=4096)
        i = 0
        while not stop.is_set():
            k = picks[i % len(picks)]
            i += 1
            current[slot] = op_names[k]
            try:
                op_funcs[k](worker)
            except BaseException:  # the module's internal error derives from BaseException
                mine["errors"] += 1
                if len(errors) < 5:
                    errors.append(f"{op_names[k]}: {traceback.format_exc()}")
            mine[op_names[k]] += 1
            progress[slot] += 1

    def hang(message):
        print(f"HANG: {message}", file=sys.stderr, flush=True)
        for slot in range(args.threads):
            print(f"  worker {slot}: in {current[slot]!r}, last write: {detail[slot]}", file=sys.stderr, flush=True)
        faulthandler.dump_traceback(all_threads=True)
        report(hangs=1)
        os._exit(EXIT_HANG)

    def report(hangs=0, mismatches=(), checked=0):
        counts.clear()
        for c in worker_counts:
            counts.update(c)
        result = {"seed": args.seed, "threads": args.threads, "objects": len(pool),
                  "operations": sum(v for k, v in counts.items() if k != "errors"), "by_kind": dict(counts),
                  "errors": counts["errors"], "hangs": hangs, "live_failures": len(live_failures),
                  "mismatches": len(mismatches), "checked": checked, "generations": generation[0]}
        print(RESULT_TAG + json.dumps(result), flush=True)

    sys.setswitchinterval(1e-4)  # more interleavings of the Python-side steps
    threads = [threading.Thread(target=run_worker, args=(slot,), name=f"worker-{slot}", daemon=True)
               for slot in range(args.threads)]
    for t in threads:
        t.start()
    start = time.monotonic()
    last = list(progress)
    last_change = [start] * args.threads
    next_note = start + 10
    while True:
        # A main thread that cannot get the interpreter lock back for this long is a hang too.
        faulthandler.dump_traceback_later(args.hang_seconds, exit=True)
        time.sleep(0.25)
        now = time.monotonic()
        for slot, count in enumerate(progress):
            if count != last[slot]:
                last[slot], last_change[slot] = count, now
            elif now - last_change[slot] > args.hang_seconds:
                hang(f"worker {slot} made no progress for {args.hang_seconds:.0f} s (inside {current[slot]!r})")
        if now >= next_note:
            errs = sum(c["errors"] for c in worker_counts)
            print(f"  {now - start:5.0f} s: {sum(progress)} operations, {errs} errors, "
                  f"{len(live_failures)} live failures, {resident_mib()} MiB resident", flush=True)
            next_note += 10
        if now - start >= args.seconds:
            break
    stop.set()
    faulthandler.dump_traceback_later(args.hang_seconds * (args.threads + 2), exit=True)
    for slot, t in enumerate(threads):
        t.join(args.hang_seconds)
        if t.is_alive():
            hang(f"worker {slot} did not finish its last operation (inside {current[slot]!r})")
    sys.setswitchinterval(0.005)

    # -- quiescent check ---------------------------------------------------------------------------------------
    faulthandler.dump_traceback_later(max(300.0, args.hang_seconds) * SLOW, exit=True)
    shadow = {}

    def attrs_of(o):
        if id(o) not in shadow:
            shadow.update(read_back([o], all_attrs))
        return shadow[id(o)]

    mismatches = []
    checked = 0
    rng = random.Random(args.seed ^ 0x5EED)
    values = StressValues(rng)

    def fact(wanted, scope):
        """A (path, value) some object of `scope` holds, of kind `wanted` (None: any), to steer queries to hits."""
        for _ in range(6):
            o = rng.choice(scope)
            held = attrs_of(o)
            if not held:
                continue
            name = rng.choice(list(held))
            v = held[name]
            if kind(v) == "ind" and rng.random() < 0.5:
                inner = attrs_of(v)
                if inner:
                    sub = rng.choice(list(inner))
                    name, v = f"{name}.{sub}", inner[sub]
            if kind(v) == "seq":
                inner = list(members(v))
                if not inner:
                    continue
                v = rng.choice(inner)
            if wanted is None or kind(v) == wanted:
                return name, v
        return None

    def deepest_path(tree):
        if tree[0] in ("and", "or"):
            return max((deepest_path(t) for t in tree[1]), default=0)
        if tree[0] == "not":
            return deepest_path(tree[1])
        return tree[1].count(".")

    def compare(target, scope, tree, where):
        nonlocal checked
        # A dotted path through a cycle of objects stops where it meets an object already on it, so with cycles in
        # the graph only paths of one step are exact.
        if not args.acyclic and deepest_path(tree) > 1:
            return
        checked += 1
        try:
            expected = evaluate(tree, scope, attrs_of)
        except BadBound:
            expected = None
        try:
            got = target.reduced_query(build(tree)).collect()
        except (Vostrel.InternalError, NotImplementedError) as e:
            if expected is not None:
                mismatches.append(f"{where}: {describe(tree)}: raised {e!r}")
            return
        if expected is None:
            mismatches.append(f"{where}: {describe(tree)}: answered where a bt bound is not a number")
            return
        ids = {id(o) for o in got}
        if ids != expected or len(got) != len(ids):
            mismatches.append(f"{where}: {describe(tree)}: got {len(got)}, expected {len(expected)} "
                              f"(missing {len(expected - ids)}, extra {len(ids - expected)})")

    for slot, rec in enumerate(records):
        where = f"index {slot} (generation {rec.generation})"
        scope = list({id(o): o for o in rec.handed}.values())
        got = rec.index.collect()
        if {id(o) for o in got} != {id(o) for o in scope} or len(got) != len(scope):
            mismatches.append(f"{where}: collect() gives {len(got)} objects, {len(scope)} were added")
        trees = StressTrees(rng, values, lambda: recent, lambda wanted: fact(wanted, scope), bad_bound_rate=0.02)
        for _ in range(args.checks):
            compare(rec.index, scope, trees.tree(rng.randrange(0, 4)), where)
        for name in all_attrs + [f"{link}.{name}" for link in LINK_ATTRS for name in SCALAR_ATTRS] + [MISSING_ATTR]:
            held = fact(None, scope) if rng.random() < 0.5 else None
            value = held[1] if held is not None else values.scalar()
            for op in ("eq", "ne", "ge", "lt", "contains"):
                compare(rec.index, scope, (op, name, value), where)
        for _ in range(20):  # keyword selections: equality on every keyword
            kw = dict(f for f in (fact(None, scope) for _ in range(rng.randrange(1, 3))) if f is not None)
            if not kw:
                continue
            expected = evaluate(("and", [("eq", k, v) for k, v in kw.items()]), scope, attrs_of)
            for how, got in (("get_by_attribute", rec.index.get_by_attribute(**kw)),
                             ("reduced", rec.index.reduced(**kw).collect())):
                checked += 1
                if {id(o) for o in got} != expected:
                    mismatches.append(f"{where}: {how}({kw!r}): got {len(got)}, expected {len(expected)}")
        for view in rec.views:
            view_scope = view.collect()
            for _ in range(10):
                compare(view, view_scope, trees.tree(rng.randrange(0, 3)), f"{where}, a kept view")

    for rec in list(reduced):
        where = "a reduced index"
        scope = rec.index.collect()  # no operation changes its objects once reduced
        if not {id(o) for o in scope} <= rec.handed_ids:
            mismatches.append(f"{where}: collect() holds objects it was never given")
        trees = StressTrees(rng, values, lambda: recent, lambda wanted: fact(wanted, scope), bad_bound_rate=0.02)
        for _ in range(min(args.checks, 30) if scope else 0):
            compare(rec.index, scope, trees.tree(rng.randrange(0, 4)), where)

    for what, detail in live_failures[:10]:
        print(f"LIVE FAILURE during the run: {what}: {detail}", file=sys.stderr)
    for text in errors:
        print(f"ERROR in a worker: {text}", file=sys.stderr)
    for text in mismatches[:20]:
        print(f"MISMATCH {text}", file=sys.stderr)
    report(mismatches=mismatches, checked=checked)
    sys.stderr.flush()
    bad = sum(c["errors"] for c in worker_counts) or live_failures or mismatches
    os._exit(EXIT_FAILED if bad else 0)  # skip tearing down thousands of objects: nothing more to learn


# ---------------------------------------------------------------------------------------------------------------
# The supervisor (this interpreter)


def run_seed(args, seed):
    """Runs one seed in a child interpreter; returns its result record (hangs and crashes filled in)."""
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--seed", str(seed), "--threads", str(args.threads),
           "--seconds", str(args.seconds), "--objects", str(args.objects), "--indexes", str(args.indexes),
           "--hang-seconds", str(args.hang_seconds / SLOW), "--checks", str(args.checks)]
    if args.acyclic:
        cmd.append("--acyclic")
    if args.dense_links:
        cmd.append("--dense-links")
    print(f"seed {seed}: {args.threads} threads, {args.objects} objects, {args.seconds:g} s", flush=True)
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
    result = {}
    stderr_tail = collections.deque(maxlen=400)

    def pump_stdout():
        for line in proc.stdout:
            if line.startswith(RESULT_TAG):
                result.update(json.loads(line[len(RESULT_TAG):]))
            else:
                note = PROGRESS.match(line)
                if note:  # the count so far, in case the child dies before its result
                    result.setdefault("operations", 0)
                    result["operations"] = max(result["operations"], int(note.group(1)))
                sys.stdout.write(line)
                sys.stdout.flush()

    def pump_stderr():
        for line in proc.stderr:
            stderr_tail.append(line)
            sys.stderr.write(line)
        sys.stderr.flush()

    pumps = [threading.Thread(target=pump_stdout, daemon=True), threading.Thread(target=pump_stderr, daemon=True)]
    for t in pumps:
        t.start()
    limit = (args.seconds + 2 * args.hang_seconds + 600) * (1 if SLOW == 1 else 2)
    killed = False
    try:
        proc.wait(limit)
    except subprocess.TimeoutExpired:
        killed = True
        proc.kill()
        proc.wait()
    for t in pumps:
        t.join(10)
    rc = proc.returncode
    result.setdefault("seed", seed)
    for key in ("operations", "errors", "hangs", "mismatches", "live_failures"):
        result.setdefault(key, 0)
    result["crash"] = None
    timed_out = any(line.startswith("Timeout (") for line in stderr_tail)
    if killed or rc == EXIT_HANG or (rc == 1 and timed_out):
        result["hangs"] = max(1, result["hangs"])
    elif rc < 0:
        result["crash"] = signal.Signals(-rc).name
    elif rc not in (0, EXIT_FAILED):
        result["crash"] = f"exit status {rc}"
    if rc == EXIT_FAILED and not (result["errors"] or result["mismatches"] or result["live_failures"]):
        result["crash"] = "failed without a result"
    return result


def main(argv):
    args = parse_args(argv)
    if args.child:
        child_main(args)
        return 0
    results = [run_seed(args, args.seed + k) for k in range(args.seeds)]
    total = collections.Counter()
    print("\nstress summary")
    for r in results:
        crash = r["crash"] or "none"
        print(f"  seed {r['seed']}: operations {r['operations']}, hangs {r['hangs']}, crashes {crash}, "
              f"mismatches {r['mismatches']}, live failures {r['live_failures']}, errors {r['errors']}, "
              f"answers checked {r.get('checked', 0)}")
        total["operations"] += r["operations"]
        for key in ("hangs", "mismatches", "live_failures", "errors"):
            total[key] += r[key]
        total["crashes"] += r["crash"] is not None
    bad_seeds = sum(1 for r in results if r["hangs"] or r["crash"] or r["mismatches"] or r["live_failures"]
                    or r["errors"])
    print(f"  total over {len(results)} seed(s): operations {total['operations']}, hangs {total['hangs']}, "
          f"crashes {total['crashes']}, mismatches {total['mismatches']}, live failures {total['live_failures']}, "
          f"errors {total['errors']}; seeds failing: {bad_seeds}")
    return 1 if bad_seeds else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
