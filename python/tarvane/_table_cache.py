"""Loaded table sets shared by every reader of the process, bounded by the memory they take."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable

from ._tarvane import TableSet

# The default bound, and the variable that changes it (in MiB).
DEFAULT_LIMIT = 512 << 20
LIMIT_VARIABLE = "TARVANE_TABLE_CACHE_MIB"
# A loaded set takes about this many bytes of memory per byte of its byte form
# (hash maps and strings; measured on the master versions).
MEMORY_PER_BYTE = 3


def _limit() -> int:
    value = os.environ.get(LIMIT_VARIABLE)
    if not value:
        return DEFAULT_LIMIT
    try:
        mib = int(value)
    except ValueError:
        raise ValueError(f"{LIMIT_VARIABLE}={value!r} is not a whole number of MiB") from None
    if mib < 0:
        raise ValueError(f"{LIMIT_VARIABLE}={value!r} is negative")
    return mib << 20


class TableCache:
    """Sets by key; the least recently used go first once their estimated memory passes the limit.

    A feed rotating through many centres and versions loads each set once
    while they fit; the set in use is never dropped for its own size.
    """

    def __init__(self, limit: int | None = None) -> None:
        self.limit = _limit() if limit is None else limit
        self.loads = 0
        self.total = 0
        self._sets: OrderedDict[Hashable, tuple[TableSet, int]] = OrderedDict()
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._sets)

    def get(self, key: Hashable, load: Callable[[], tuple[TableSet, int]]) -> TableSet:
        """The set under key, loaded (as a set and its size in bytes) when it is not held."""
        with self._lock:
            held = self._sets.get(key)
            if held is not None:
                self._sets.move_to_end(key)
                return held[0]
        # Loaded without the lock: two threads may both load a new set once.
        tables, size = load()
        cost = size * MEMORY_PER_BYTE
        with self._lock:
            self.loads += 1
            if key not in self._sets:
                self._sets[key] = (tables, cost)
                self.total += cost
            while self.total > self.limit and len(self._sets) > 1:
                _, (_, dropped) = self._sets.popitem(last=False)
                self.total -= dropped
        return tables

    def clear(self) -> None:
        with self._lock:
            self._sets.clear()
            self.total = 0
