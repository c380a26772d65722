"""One shard: an Index of the objects it owns, run as a Ray actor (ShardedIndex makes the actor class)."""

from __future__ import annotations

import copy
import os
from typing import Any

import Vostrel
from Vostrel import PyQueryExpr as Q

from vostrel_ray._routing import ShardKey, key_of
from vostrel_ray._wire import pack, unpack

Selection = Any  # an Index or a FilteredIndex: both answer the same calls


def _unsummed(value: object) -> bool:
    """An int the number maps keep aside: more than 64 significant bits, or past the float range."""
    if not isinstance(value, int) or isinstance(value, bool):
        return False
    magnitude = abs(value)
    significant = magnitude.bit_length() - ((magnitude & -magnitude).bit_length() - 1)
    return significant > 64 or magnitude.bit_length() > 1024


class Shard:
    """Holds one Index; every method is one remote call. Answers leave as plain data, objects packed by _wire (the
    caller gets copies)."""

    def __init__(self, key: ShardKey) -> None:
        self.index = Vostrel.Index()
        self.key = key

    def _base(self, where: Vostrel.PyQueryExpr | None) -> Selection:
        return self.index if where is None else self.index.reduced_query(where)

    def stats(self) -> dict[str, int]:
        """How many objects this shard holds and its process's resident memory (bytes; 0 where unknown)."""
        try:
            with open("/proc/self/statm") as statm:
                resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, ValueError, IndexError):
            resident = 0
        return {"objects": len(self.index), "rss_bytes": resident}

    def add_many(self, payload: bytes) -> None:
        self.index.add_object_many(unpack(payload))

    def count(self, where: Vostrel.PyQueryExpr | None) -> int:
        return len(self._base(where))

    # Calls that answer objects answer them packed (_wire): the caller unpacks.
    def collect(self, where: Vostrel.PyQueryExpr | None) -> bytes:
        return pack(self._base(where).collect())

    def get_by_attribute(self, kwargs: dict[str, Any]) -> bytes:
        return pack(self.index.get_by_attribute(**kwargs))

    def sorted_by(self, attr: str, reverse: bool, limit: int | None, where: Vostrel.PyQueryExpr | None) -> bytes:
        return pack(self._base(where).sorted_by(attr, reverse=reverse, limit=limit))

    def _answers_floats(self, attr: str) -> bool:
        """Whether this shard's numbers of `attr` answer as floats (once it held one), whatever the selection: a
        selection without floats answers floats all the same, and so must the merge of every shard's answers."""
        try:
            return isinstance(self.index.max(attr), float)
        except NotImplementedError:  # a dotted path: its numbers live in a nested index
            return False

    def value_counts(self, attr: str, where: Vostrel.PyQueryExpr | None) -> tuple[dict[Any, int], bool]:
        return dict(self._base(where).value_counts(attr)), self._answers_floats(attr)

    def group_by(self, attr: str, where: Vostrel.PyQueryExpr | None) -> bytes:
        groups = {value: view.collect() for value, view in self._base(where).group_by(attr).items()}
        return pack((groups, self._answers_floats(attr)))

    def numbers(self, attr: str, where: Vostrel.PyQueryExpr | None) -> tuple[Any, Any, Any, int, bool]:
        """sum, min, max and how many objects hold a number (NaN aside), which the mean over shards needs."""
        base = self._base(where)
        total = base.sum(attr)
        held = len(base.reduced_query(Q.bt(attr, float("-inf"), float("inf"))))
        # The aggregates leave out ints the order tests see but the number maps do not hold (more than 64
        # significant bits, or past the float range): those lie outside the int64 range, where few objects are.
        outside = base.reduced_query(Q.gt(attr, 2**63 - 1) | Q.lt(attr, -(2**63)))
        held -= sum(1 for obj in outside if _unsummed(getattr(obj, attr, None)))
        return total, base.min(attr), base.max(attr), held, self._answers_floats(attr)

    def table(self, how: str, attrs: list[str] | None, where: Vostrel.PyQueryExpr | None) -> Any:
        base = self._base(where)
        return base.to_arrow(attrs) if how == "arrow" else base.to_dicts(attrs)

    def _owned(self, key_value: Any, where: Vostrel.PyQueryExpr | None) -> list[Vostrel.Indexable]:
        if isinstance(self.key, str):
            query = Q.eq(self.key, key_value)
            return list(self.index.reduced_query(query if where is None else query & where).collect())
        # A function key has no index of its own: its shard's objects (narrowed by `where` first) are scanned.
        return [obj for obj in self._base(where) if key_of(obj, self.key) == key_value]

    def update(self, key_value: Any, where: Vostrel.PyQueryExpr | None, attrs: dict[str, Any]) -> int:
        targets = self._owned(key_value, where)
        if isinstance(self.key, str):
            if self.key in attrs:
                raise ValueError(f"update cannot write the shard key attribute {self.key!r}: remove the object "
                                 "and add it again")
        else:
            # Tried on copies first, so an update that would move an object to another shard changes nothing.
            for obj in targets:
                probe = copy.copy(obj)
                for name, value in attrs.items():
                    setattr(probe, name, value)
                if key_of(probe, self.key) != key_value:
                    raise ValueError("update would change an object's shard key: remove the object and add it again")
        for obj in targets:
            for name, value in attrs.items():
                setattr(obj, name, value)
        return len(targets)

    def remove(self, key_value: Any, where: Vostrel.PyQueryExpr | None) -> int:
        targets = self._owned(key_value, where)
        for obj in targets:
            self.index.remove_object(obj)
        return len(targets)
