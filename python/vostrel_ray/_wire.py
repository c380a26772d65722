"""How objects travel between the caller and the shards: pickled with the cycle collector paused.

Pickling or loading many Indexable objects makes millions of short-lived tuples and dicts, and each burst of them
starts a collection that walks every object the process holds (an index's objects included): over half the time
of a large batch. The shards' batches and answers are pickled to bytes here, where the collector can be paused,
rather than by Ray's own serialization of arguments and results. cloudpickle, as Ray uses, so that classes defined
in a script (`__main__`) travel by value."""

from __future__ import annotations

import contextlib
import gc
import pickle
from collections.abc import Iterator
from typing import Any


@contextlib.contextmanager
def collector_paused() -> Iterator[None]:
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def pack(value: Any) -> bytes:
    from ray import cloudpickle

    with collector_paused():
        return bytes(cloudpickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))


def unpack(payload: bytes) -> Any:
    with collector_paused():
        return pickle.loads(payload)
