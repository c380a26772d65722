"""Which shard owns an object: the shard key and its stable hash."""

from __future__ import annotations

import numbers
import struct
import zlib
from collections.abc import Callable, Hashable
from typing import Any, Union

import Vostrel

#: The shard key: the name of an attribute every object holds, or a function of the object.
ShardKey = Union[str, Callable[[Vostrel.Indexable], Hashable]]


def shard_of(value: object, shards: int) -> int:
    """The shard (0 .. shards-1) that owns objects whose shard key is `value`.

    The same in every process and every run: Python's `hash()` of text is salted per process, so text and bytes
    go through CRC-32 of their bytes instead; ints (and floats equal to an int, bools as 0 and 1) are taken by
    value modulo `shards`, so values that compare equal, as an equality query matches them, share a shard.
    Other floats hash their IEEE-754 bytes. Any other kind raises TypeError."""
    if isinstance(value, bool):
        return int(value) % shards
    if isinstance(value, numbers.Integral):
        return int(value) % shards
    if isinstance(value, numbers.Real):
        number = float(value)
        if number.is_integer():
            return int(number) % shards
        return zlib.crc32(struct.pack("<d", number)) % shards
    if isinstance(value, str):
        # "surrogatepass": text with lone surrogates is a key like any other, as the index stores it.
        return zlib.crc32(value.encode("utf-8", "surrogatepass")) % shards
    if isinstance(value, bytes):
        return zlib.crc32(value) % shards
    raise TypeError(f"a shard key value must be an int, float, str or bytes, got {type(value).__name__}")


def key_of(obj: Any, key: ShardKey) -> Any:
    """The shard key value of `obj`: ValueError when an attribute key is missing."""
    if isinstance(key, str):
        try:
            return getattr(obj, key)
        except AttributeError:
            raise ValueError(f"an object without the shard key attribute {key!r} cannot be routed") from None
    return key(obj)
