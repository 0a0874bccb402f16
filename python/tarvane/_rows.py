"""Where the requested keys of a message meet: one row per observation.

The pairing runs in the core (``_columns.observation_rows``), over the
records of many messages at once. The records of a subset are read in
order, keeping the latest record of each requested key. A key met again starts a new observation: the one
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

from . import _columns

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


_coordinates_cache: dict[tuple[int, ...], npt.NDArray[np.int32]] = {}


def coordinate_ids(codes: list[int], index: npt.NDArray[np.int32]) -> npt.NDArray[np.int32]:
    """Per record, its descriptor's index among codes where it is a coordinate (an element of
    classes 1 to 9: place, time, level), else -1."""
    key = tuple(codes)
    table = _coordinates_cache.get(key)
    if table is None:
        if len(_coordinates_cache) > 256:
            _coordinates_cache.clear()
        table = _coordinates_cache[key] = np.array(
            [i if 1 <= (c // 1000) % 100 <= 9 and c < 100000 else -1 for i, c in enumerate(codes)] or [-1],
            dtype=np.int32)
    ids: npt.NDArray[np.int32] = table[index] if len(index) else np.zeros(0, dtype=np.int32)
    return ids


def observations(subset: npt.NDArray[np.uint32], which: npt.NDArray[np.int32], coordinate: npt.NDArray[np.int32],
                 count: int) -> npt.NDArray[np.int64]:
    """The rows of records: for each row and key, the record that fills it (-1 where none does)."""
    rows = np.frombuffer(_columns.observation_rows(subset, which, coordinate, count), dtype=np.int64)
    return rows.reshape(len(rows) // count if count else 0, count)
