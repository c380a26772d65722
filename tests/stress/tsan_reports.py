#!/usr/bin/env python3
"""Reads ThreadSanitizer logs (TSAN_OPTIONS=log_path=PREFIX gives PREFIX.<pid> files) and judges them.

    tsan_reports.py check PREFIX      fails if any report has a frame in Vostrel; reports that are wholly
                                      inside the interpreter (uninstrumented) are counted and shown, not failed on
    tsan_reports.py selftest PREFIX   the self-test library's run: the race without the interpreter lock and the
                                      lock-order inversion must be reported, the increments under the lock must not

Reports are grouped by kind and by the first frames in our code, so a fault seen thousands of times is one line.
"""

import collections
import glob
import re
import sys

OURS = re.compile(r"Vostrel\.cpython|vostrel::|/src/(index|lib)/")
FRAME = re.compile(r"^\s+#\d+ (.*?) (/\S+|\S+\.(?:cpp|hpp|h|c|inc):\d+|<null>)")
KIND = re.compile(r"WARNING: ThreadSanitizer: (.*?) \(pid=")


def reports(prefix):
    """(kind, text) of every report in the logs under `prefix`."""
    found = []
    for path in sorted(glob.glob(prefix + ".*")):
        with open(path, errors="replace") as f:
            text = f.read()
        for block in text.split("==================\n"):
            m = KIND.search(block)
            if m:
                found.append((m.group(1), block))
    return found


def short_name(frame):
    """`vostrel::QueryMap::insert_value(unsigned int, ...)` -> `QueryMap::insert_value`."""
    name = frame.replace("vostrel::", "").replace("(anonymous namespace)::", "")
    depth, out = 0, []
    for ch in name:  # drop argument lists and template arguments
        if ch in "(<":
            depth += 1
        elif ch in ")>":
            depth -= 1
        elif depth == 0:
            out.append(ch)
    return "".join(out).strip()


def signature(kind, text):
    """The kind and the distinct places (first two named frames in our code of each stack, lambdas and std wrappers
    skipped) the report names, in sorted order: the same inversion seen from either side is one path."""
    ours = set()
    for stack in re.split(r"\n\s*\n", text):
        frames = [short_name(m.group(1)) for m in map(FRAME.match, stack.splitlines())
                  if m and OURS.search(m.group(0))]
        frames = [f for f in frames if f and f not in ("operator", "for_each") and not f.startswith(("std::", "__"))]
        if frames:
            ours.add(" <- ".join(frames[:2]))
    return kind + (": " + " | ".join(sorted(ours)) if ours else "")


def check(prefix):
    found = reports(prefix)
    ours = [(k, t) for k, t in found if OURS.search(t)]
    theirs = [(k, t) for k, t in found if not OURS.search(t)]
    print(f"ThreadSanitizer: {len(found)} reports, {len(ours)} in Vostrel, {len(theirs)} wholly in the interpreter")
    for label, group in (("in Vostrel", ours), ("interpreter only (not failed on)", theirs)):
        by_kind = collections.Counter(k for k, _ in group)
        for kind, n in by_kind.most_common():
            print(f"  {label}: {n} x {kind}")
        paths = collections.Counter(signature(k, t) for k, t in group)
        if paths:
            print(f"  {len(paths)} distinct paths {label}:")
            for sig, n in paths.most_common(40):
                print(f"    {n:6d}  {sig}")
    return 1 if ours else 0


def selftest(prefix):
    found = reports(prefix)
    race = [t for k, t in found if k == "data race" and "bump_unguarded" in t]
    false_race = [t for k, t in found if "bump_guarded" in t]
    inversion = [t for k, t in found if k.startswith("lock-order-inversion") and "lock_both" in t]
    ok = bool(race) and not false_race and bool(inversion)
    print(f"ThreadSanitizer self-test: race without the interpreter lock {'seen' if race else 'MISSED'}, "
          f"writes under the interpreter lock {'WRONGLY reported' if false_race else 'not reported'}, "
          f"lock-order inversion {'seen' if inversion else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("check", "selftest"):
        sys.exit(__doc__)
    sys.exit((check if sys.argv[1] == "check" else selftest)(sys.argv[2]))
