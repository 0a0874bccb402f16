"""Where the requested keys of a message meet: one row per observation.

The records of a subset are read in order, keeping the latest record of
each requested key. A key met again starts a new observation: the one
gathered so far becomes a row, and the repeated key and every key met after
it are dropped, while the keys met before it (the station, the time, an
enclosing level) stay for the rows that follow. So a value outside a
replication applies to every repetition inside it, the values of one
repetition share a row, and keys of two sibling replications are never
paired by rank. A subset starts afresh and ends with its last observation.
This is how the established pandas reader of BUFR forms its rows.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from ._data import Data


def split_rank(key: str | int) -> tuple[str | int, int | None]:
    """ "#3#brightnessTemperature" (ecCodes' k-th occurrence in a subset) -> ("brightnessTemperature", 3)."""
    if isinstance(key, str) and key.startswith("#"):
        rank, _, base = key[1:].partition("#")
        if rank.isdigit() and int(rank) >= 1 and base:
            return base, int(rank)
    return key, None


def _ranks(subsets: npt.NDArray[np.intp]) -> npt.NDArray[np.intp]:
    """For positions in record order, the rank (from 0) of each within its subset."""
    if not len(subsets):
        return np.zeros(0, dtype=np.intp)
    starts = np.r_[0, np.flatnonzero(np.diff(subsets)) + 1]
    ranks: npt.NDArray[np.intp] = np.arange(len(subsets)) - np.repeat(starts, np.diff(np.r_[starts, len(subsets)]))
    return ranks


def key_records(data: Data, keys: Sequence[str | int], key_of: Sequence[str | None]) -> npt.NDArray[np.int32]:
    """Per record of the message, which of keys it is (-1 for none).

    key_of gives the key of each of the message's distinct descriptors; a
    key is a key name, "#k#key" (its k-th occurrence in a subset) or a
    descriptor code as int or digits. Where two keys name the same record,
    the first wins.
    """
    codes, index = data._parts.elements()
    plain, ranked = _key_table(tuple(codes), tuple(keys), tuple(key_of))
    which: npt.NDArray[np.int32] = plain[index] if len(index) else np.zeros(0, dtype=np.int32)
    subset = data._parts.subset
    for k, distinct, rank in ranked:
        hit = np.flatnonzero(np.isin(index, distinct))
        hit = hit[_ranks(subset[hit].astype(np.intp)) == rank - 1]
        which[hit] = k
    return which


_tables_cache: dict[tuple[object, ...], tuple[npt.NDArray[np.int32], list[tuple[int, list[int], int]]]] = {}


def _key_table(codes: tuple[int, ...], keys: tuple[str | int, ...], key_of: tuple[str | None, ...]
               ) -> tuple[npt.NDArray[np.int32], list[tuple[int, list[int], int]]]:
    """Which key each distinct descriptor is, and the ranked keys; the same for every message of a kind."""
    found = _tables_cache.get((codes, keys, key_of))
    if found is not None:
        return found
    where: dict[object, list[int]] = {}
    for i, (code, name) in enumerate(zip(codes, key_of)):
        where.setdefault(code, []).append(i)
        where.setdefault(name, []).append(i)
    plain = np.full(len(codes) + 1, -1, dtype=np.int32)
    ranked: list[tuple[int, list[int], int]] = []
    for k in range(len(keys) - 1, -1, -1):
        base, rank = split_rank(keys[k])
        numeric = isinstance(base, (int, np.integer)) or (isinstance(base, str) and base.isdigit())
        distinct = where.get(int(base) if numeric else base, [])
        if rank is None:
            plain[distinct] = k
        elif distinct:
            ranked.append((k, distinct, rank))
    if len(_tables_cache) > 256:
        _tables_cache.clear()
    _tables_cache[(codes, keys, key_of)] = (plain, ranked)
    return plain, ranked


_coordinates_cache: dict[tuple[int, ...], npt.NDArray[np.bool_]] = {}


def _coordinates(codes: tuple[int, ...]) -> npt.NDArray[np.bool_]:
    found = _coordinates_cache.get(codes)
    if found is None:
        if len(_coordinates_cache) > 256:
            _coordinates_cache.clear()
        found = _coordinates_cache[codes] = np.array([1 <= (c // 1000) % 100 <= 9 and c < 100000 for c in codes]
                                                     or [False])
    return found


def coordinate_levels(data: Data) -> npt.NDArray[np.int32]:
    """Per record, the depth of coordinates it sits under in its subset.

    A coordinate (an element of classes 1 to 9: place, time, level) met
    for the first time opens a level below the current one; met again, it
    goes back to its own level and closes those below it. Other records
    sit at the level of the coordinate before them.
    """
    parts = data._parts
    codes, index = parts.elements()
    is_coordinate = _coordinates(tuple(codes))
    positions = np.flatnonzero(is_coordinate[index]) if len(codes) else np.zeros(0, dtype=np.intp)
    levels_at = np.zeros(len(positions), dtype=np.int32)
    subset = parts.subset
    open_levels: dict[int, int] = {}
    stack: list[int] = []  # the open coordinates, outermost first: stack[i] is at level i + 1
    previous = -1
    for i, (code, number) in enumerate(zip(index[positions].tolist(), subset[positions].tolist())):
        if number != previous:
            open_levels, stack, previous = {}, [], number
        level = open_levels.get(code)
        if level is None:
            stack.append(code)
            level = open_levels[code] = len(stack)
        else:
            while len(stack) > level:
                del open_levels[stack.pop()]
        levels_at[i] = level
    # Every record takes the level of the last coordinate at or before it in its subset.
    last = np.full(len(index), -1, dtype=np.int64)
    last[positions] = np.arange(len(positions))
    last = np.maximum.accumulate(last) if len(last) else last
    levels = np.where(last >= 0, levels_at[np.maximum(last, 0)] if len(positions) else 0, 0).astype(np.int32)
    if len(positions):
        # A subset's records before its first coordinate sit at level 0.
        first_of_subset = np.searchsorted(positions, np.searchsorted(subset, subset, side="left"))
        before = np.arange(len(index)) < np.where(first_of_subset < len(positions),
                                                   positions[np.minimum(first_of_subset, len(positions) - 1)], len(index))
        levels[before] = 0
    return levels


def observations(subset: npt.NDArray[np.uint32], which: npt.NDArray[np.int32], count: int,
                 levels: npt.NDArray[np.int32]) -> npt.NDArray[np.int64]:
    """The rows of a message: for each row and key, the record that fills it (-1 where none does)."""
    positions = np.flatnonzero(which >= 0)
    if not len(positions):
        return np.zeros((0, count), dtype=np.int64)
    # The shallowest level met since the previous requested record, this one included.
    shallowest = np.minimum.reduceat(levels[: positions[-1] + 1], np.r_[0, positions[:-1] + 1])
    rows: list[list[int]] = []
    row = [-1] * count  # the record of each key in the observation being gathered
    order: list[int] = []  # its keys in the order met
    level_of = [0] * count
    fresh = False
    previous = -1
    for record, key, number, level, lowest in zip(positions.tolist(), which[positions].tolist(),
                                                  subset[positions].tolist(), levels[positions].tolist(),
                                                  shallowest.tolist()):
        if number != previous:
            if fresh:
                rows.append(row)
            row, order, fresh, previous = [-1] * count, [], False, number
        elif order and max(level_of[k] for k in order) > lowest:
            # Back out of a level: what was gathered inside it is complete.
            if fresh:
                rows.append(row.copy())
                fresh = False
            for dropped in [k for k in order if level_of[k] > lowest]:
                row[dropped] = -1
            order = [k for k in order if level_of[k] <= lowest]
        if row[key] >= 0:
            if level_of[key] == level and fresh:
                rows.append(row.copy())
                fresh = False
            cut = order.index(key)
            for dropped in order[cut:]:
                row[dropped] = -1
            del order[cut:]
        row[key] = record
        order.append(key)
        level_of[key] = level
        fresh = True
    if fresh:
        rows.append(row)
    return np.array(rows, dtype=np.int64).reshape(len(rows), count)
