"""How the shards' answers combine into the answer one Index over all their objects gives."""

from __future__ import annotations

import heapq
import math
from collections.abc import Iterable, Sequence
from typing import Any


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def sort_category(value: object) -> int:
    """sorted_by's order: numbers (NaN aside) first, then text, then everything else."""
    if _is_number(value) and value == value:
        return 0
    if isinstance(value, str):
        return 1
    return 2


_MISSING = object()


def merge_sorted(per_shard: Sequence[Sequence[Any]], attr: str, reverse: bool, offset: int,
                 limit: int | None) -> list[Any]:
    """Each shard's objects in sorted_by's order (its first offset + limit of them at most): numbers and text are
    merged by value, the rest follow shard by shard. Ties keep shard order (one Index keeps id order)."""
    numbers: list[list[tuple[Any, Any]]] = []
    texts: list[list[tuple[Any, Any]]] = []
    rest: list[Any] = []
    for objs in per_shard:
        shard_numbers: list[tuple[Any, Any]] = []
        shard_texts: list[tuple[Any, Any]] = []
        for obj in objs:
            value = getattr(obj, attr, _MISSING)
            category = sort_category(value)
            if category == 0:
                shard_numbers.append((value, obj))
            elif category == 1:
                shard_texts.append((value, obj))
            else:
                rest.append(obj)
        numbers.append(shard_numbers)
        texts.append(shard_texts)
    merged: list[Any] = [obj for _, obj in heapq.merge(*numbers, key=lambda pair: pair[0], reverse=reverse)]
    merged += [obj for _, obj in heapq.merge(*texts, key=lambda pair: pair[0], reverse=reverse)]
    merged += rest
    return merged[offset:] if limit is None else merged[offset:offset + limit]


def _key_order(key: object) -> tuple[int, Any]:
    """value_counts' order of values among equal counts: numbers, text, False, True, then the rest as met."""
    if _is_number(key):
        return (0, key)
    if isinstance(key, str):
        return (1, key)
    if key is False:
        return (2, 0)
    if key is True:
        return (3, 0)
    return (4, 0)


def _merge_keys(per_shard: Iterable[tuple[dict[Any, Any], bool]], add: Any, empty: Any) -> dict[Any, Any]:
    """Adds the shards' entries up per value; each shard's answer comes with whether its numbers answer as floats.
    Numbers answer as floats once any shard's do (one index answers floats once its attribute held one); a bool and
    an equal number are one key under the number, as one index's dict holds them."""
    merged: dict[Any, Any] = {}
    bools: dict[bool, Any] = {}
    as_float = False
    for answer, floats in per_shard:
        as_float = as_float or floats
        for key, entry in answer.items():
            if isinstance(key, bool):
                bools[key] = add(bools.get(key, empty()), entry)
                continue
            if isinstance(key, float):
                as_float = True
            merged[key] = add(merged.get(key, empty()), entry)
    if as_float:
        merged = {float(key) if _is_number(key) else key: entry for key, entry in merged.items()}
    for flag, entry in bools.items():
        number = int(flag)
        if number in merged:  # no bool is among merged's keys: an equal key is a number
            merged[number] = add(merged[number], entry)
        else:
            merged[flag] = entry
    return merged


def _ordered(merged: dict[Any, Any], size: Any) -> dict[Any, Any]:
    entries = sorted(merged.items(), key=lambda item: (-size(item[1]), _key_order(item[0])))
    return dict(entries)


def merge_counts(per_shard: Iterable[tuple[dict[Any, int], bool]]) -> dict[Any, int]:
    """value_counts: counts added per value, largest count first, ties in value order."""
    merged = _merge_keys(per_shard, lambda a, b: a + b, int)
    return _ordered(merged, lambda count: count)


def merge_groups(per_shard: Iterable[tuple[dict[Any, list[Any]], bool]]) -> dict[Any, list[Any]]:
    """group_by: each value's objects from every shard, in value_counts' order."""
    merged = _merge_keys(per_shard, lambda a, b: a + b, list)
    return _ordered(merged, len)


def _fsum(values: list[Any]) -> float:
    try:
        return math.fsum(values)
    except ValueError:  # inf and -inf among the sums: NaN, as one index answers
        return math.nan


def merge_numbers(per_shard: Sequence[tuple[Any, Any, Any, int, bool]]) -> tuple[Any, Any, Any, Any]:
    """sum, min, max and mean over the shards' (sum, min, max, count, whether its numbers answer as floats). Int
    sums add exactly; once a shard's numbers answer as floats (its attribute held one), the answers are floats and
    the sums add with math.fsum, each shard's sum having been rounded once."""
    sums = [part[0] for part in per_shard]
    lows = [part[1] for part in per_shard if part[1] is not None]
    highs = [part[2] for part in per_shard if part[2] is not None]
    held = sum(part[3] for part in per_shard)
    as_float = any(part[4] for part in per_shard) or any(isinstance(value, float) for value in [*sums, *lows, *highs])
    total: Any = _fsum(sums) if as_float else sum(sums)
    low: Any = min(lows) if lows else None
    high: Any = max(highs) if highs else None
    if held == 0:
        total = 0  # what one index answers for a selection without numbers, floats or not
    elif as_float:
        total = float(total)
    if as_float:
        low = None if low is None else float(low)
        high = None if high is None else float(high)
    mean = None if held == 0 else total / held
    return total, low, high, mean
