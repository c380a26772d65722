"""Drives tsan_selftest.cpp's library from Python threads; tsan_reports.py selftest then reads the reports."""

import ctypes
import sys
import threading

released = ctypes.CDLL(sys.argv[1])  # ctypes lets the interpreter lock go around each call
held = ctypes.PyDLL(sys.argv[1])  # keeps it


def on_two_threads(fn, *args):
    threads = [threading.Thread(target=fn, args=args) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


on_two_threads(held.bump_guarded, 2_000_000)
on_two_threads(released.bump_unguarded, 2_000_000)
released.lock_both(0)
released.lock_both(1)
