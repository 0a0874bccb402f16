"""The wide form: one row per observation, one column per key, gathered as NumPy arrays.

Columns are element keys (rows formed as in ``_rows``), header fields (one
value per message) and keys computed from others (station ids, the
observation's time). Rows are formed for a batch of messages at once, and
filters and the required columns are applied batch by batch on whole
columns, so a chunk of rows can be handed on as soon as it is full.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable

import numpy as np
import numpy.typing as npt

from ._describe import (
    BOOL, DATETIME, FLOAT, INT, TEXT, COMPUTED, HEADER_KINDS, ElementInfo, header_name, element_infos,
)
from ._filters import Filter, filter_mask, missing
from ._rows import coordinate_ids, key_records, observations

if TYPE_CHECKING:
    from ._data import Data, _Parts
    from ._read import ErrorPolicy, Message

NOT_KEYS = ("operator", "associatedField", "characters")


@dataclass
class WideQuery:
    """What a wide read asks for: the columns shown, the keys followed, the filters, the required columns."""

    columns: list[str] | None
    filters: dict[str, Filter]
    required: list[str]
    header: list[str] = field(default_factory=list)
    computed: list[str] = field(default_factory=list)
    keys: list[str | int] = field(default_factory=list)

    @classmethod
    def make(cls, columns: Sequence[str | int] | str | int | None, filters: Mapping[str, Filter] | None,
             required_columns: bool | Sequence[str] = True) -> WideQuery:
        if isinstance(columns, (str, int)):
            columns = [columns]
        shown = None if columns is None else [str(c) for c in columns]
        if required_columns is True:
            required = list(shown or [])
        elif required_columns is False:
            required = []
        else:
            required = [str(c) for c in ([required_columns] if isinstance(required_columns, str) else required_columns)]
        query = cls(shown, {str(k): v for k, v in (filters or {}).items()}, required)
        for name in dict.fromkeys([*(shown or []), *query.filters, *required]):
            if header_name(name) is not None:
                query.header.append(name)
            elif name in COMPUTED:
                query.computed.append(name)
                query.keys.extend(k for k in COMPUTED[name].parts if k not in query.keys)
            elif name not in query.keys:
                query.keys.append(name)
        return query

    def message_passes(self, message: Message) -> bool:
        for name, wanted in self.filters.items():
            if name in self.header and not filter_mask(header_column(message, name, 1), wanted)[0]:
                return False
        return True


def header_column(message: Message, name: str, n: int) -> npt.NDArray[Any]:
    field_name = header_name(name)
    assert field_name is not None
    kind = HEADER_KINDS[field_name]
    if field_name in ("datetime", "typical_datetime"):
        when = message.datetime
        return np.full(n, np.datetime64("NaT", "s") if when is None else np.datetime64(when, "s"), dtype="datetime64[s]")
    if field_name == "typicalDate":
        return np.full(n, f"{message.typical_year:04d}{message.typical_month:02d}{message.typical_day:02d}", dtype=object)
    if field_name == "typicalTime":
        return np.full(n, f"{message.typical_hour:02d}{message.typical_minute:02d}{message.typical_second:02d}",
                       dtype=object)
    value = getattr(message, field_name)
    if kind in (TEXT, BOOL):
        return np.full(n, value, dtype=object)
    return np.full(n, np.nan if value is None else float(value))


@dataclass
class WideColumns:
    """Rows gathered over many messages: NumPy pieces per column, joined when a frame is made."""

    names: list[str] = field(default_factory=list)
    kinds: dict[str, str] = field(default_factory=dict)
    units: dict[str, str] = field(default_factory=dict)
    pieces: dict[str, list[tuple[int, npt.NDArray[Any]]]] = field(default_factory=dict)
    rows: int = 0

    def add(self, columns: Mapping[str, npt.NDArray[Any]], n: int) -> None:
        for name, values in columns.items():
            if name not in self.pieces:
                self.names.append(name)
                self.pieces[name] = []
            self.pieces[name].append((self.rows, values))
        self.rows += n

    def finish(self, names: Sequence[str] | None = None, rows: int | None = None) -> dict[str, npt.NDArray[Any]]:
        """The columns of the first rows (all of them by default), and drops those rows."""
        take = self.rows if rows is None else min(rows, self.rows)
        out: dict[str, npt.NDArray[Any]] = {}
        for name in names if names is not None else self.names:
            kind = self.kinds.get(name, FLOAT)
            parts: list[npt.NDArray[Any]] = []
            filled = 0
            for start, values in self.pieces.get(name, []):
                if start >= take:
                    break
                if start > filled:
                    parts.append(blank(kind, start - filled))
                piece = as_kind(values[: take - start], kind)
                parts.append(piece)
                filled = start + len(piece)
            if filled < take:
                parts.append(blank(kind, take - filled))
            out[name] = np.concatenate(parts) if parts else blank(kind, 0)
        self._drop(take)
        return out

    def _drop(self, take: int) -> None:
        for name, pieces in self.pieces.items():
            kept = []
            for start, values in pieces:
                if start + len(values) > take:
                    cut = max(0, take - start)
                    kept.append((max(0, start - take), values[cut:]))
            self.pieces[name] = kept
        self.rows -= take


def blank(kind: str, n: int) -> npt.NDArray[Any]:
    if kind in (TEXT, BOOL):
        return np.full(n, None, dtype=object)
    if kind == DATETIME:
        return np.full(n, np.datetime64("NaT", "s"), dtype="datetime64[s]")
    return np.full(n, np.nan)


def as_kind(values: npt.NDArray[Any], kind: str) -> npt.NDArray[Any]:
    if kind == TEXT and values.dtype != object:
        # A text column where another table's element was a number.
        return np.array([None if v != v else str(v) for v in values], dtype=object)
    if kind in (INT, FLOAT) and values.dtype == object:
        return np.array([np.nan if v is None else float(v) for v in values])
    return values


# Messages whose rows are formed together: one core call and one NumPy pass
# for all of them, up to about this many records (a file of small messages
# costs the same as one large message).
BATCH_RECORDS = 1 << 16


@dataclass
class Batch:
    """Decoded messages with the same keys, waiting for their rows."""

    keys: list[str | int]
    messages: list[Message] = field(default_factory=list)
    parts: list[_Parts] = field(default_factory=list)
    infos: list[list[ElementInfo]] = field(default_factory=list)
    which: list[npt.NDArray[np.int32]] = field(default_factory=list)
    coordinate: list[npt.NDArray[np.int32]] = field(default_factory=list)
    records: int = 0

    def add(self, message: Message, data: Data, infos: list[ElementInfo]) -> None:
        parts = data._parts
        self.messages.append(message)
        self.parts.append(parts)
        self.infos.append(infos)
        self.which.append(key_records(data, self.keys, [i.key for i in infos]))
        codes, index = parts.elements()
        self.coordinate.append(coordinate_ids(codes, index))
        self.records += len(parts)

    def joined(self, column: Callable[[_Parts], npt.NDArray[Any]]) -> npt.NDArray[Any]:
        if len(self.parts) == 1:
            return column(self.parts[0])
        return np.concatenate([column(p) for p in self.parts])


_keys_cache: dict[int, tuple[list[ElementInfo], list[str]]] = {}


def message_keys(data: Data, query: WideQuery, known: set[str]) -> tuple[list[ElementInfo], list[str | int]]:
    """The element descriptions of a message and the keys its rows follow."""
    infos = element_infos(data, data._parts.elements()[0])
    # Messages of one kind share their infos list, and so its keys.
    found = _keys_cache.get(id(infos))
    if found is None or found[0] is not infos:
        if len(_keys_cache) > 256:
            _keys_cache.clear()
        found = _keys_cache[id(infos)] = (infos, [i.key for i in infos if i.key is not None and i.key not in NOT_KEYS])
    mine = found[1]
    known.update(mine)
    if query.columns is None:
        return infos, list(dict.fromkeys([*mine, *query.keys]))
    return infos, query.keys


def batch_rows(batch: Batch, query: WideQuery, out: WideColumns, seen: set[str], with_meanings: bool = False) -> None:
    """Append the rows of a batch of messages that pass the filters and hold the required columns."""
    keys = batch.keys
    starts = np.cumsum([0, *(len(p) for p in batch.parts)])
    subsets = np.cumsum([0, *(p.subsets for p in batch.parts)])
    if len(batch.parts) == 1:
        subset, which, coordinate = batch.parts[0].subset, batch.which[0], batch.coordinate[0]
    else:
        # Subsets numbered on through the batch, so each message's start afresh.
        subset = np.concatenate([p.subset + np.uint32(first) for p, first in zip(batch.parts, subsets.tolist())])
        which, coordinate = np.concatenate(batch.which), np.concatenate(batch.coordinate)
    if keys:
        rows = observations(subset, which, coordinate, len(keys))
        message_of = np.searchsorted(starts[1:], rows.max(axis=1), side="right") if len(rows) else rows[:, 0]
    else:
        rows = np.zeros((int(subsets[-1]), 0), dtype=np.int64)  # header fields alone: one row per subset
        message_of = np.repeat(np.arange(len(batch.parts)), np.diff(subsets))
    n = len(rows)
    filled = rows >= 0
    value = batch.joined(lambda p: p.value)
    numbers = value[np.maximum(rows, 0)] if len(value) else np.zeros(rows.shape)
    numbers[~filled] = np.nan
    columns: dict[str, npt.NDArray[Any]] = {}
    present: dict[str, npt.NDArray[np.bool_]] = {}
    matched = np.flatnonzero(which >= 0)
    met, first = np.unique(which[matched], return_index=True)
    first_record = dict(zip(met.tolist(), matched[first].tolist()))
    text: npt.NDArray[Any] | None = None
    for k, key in enumerate(keys):
        name = str(key)
        records = rows[:, k]
        found = filled[:, k]
        present[name] = found
        if k in first_record:
            seen.add(name)
            info = _info_of(batch, starts, first_record[k])
            out.kinds.setdefault(name, info.kind)
            if info.unit:
                out.units.setdefault(name, info.unit)
        if out.kinds.get(name, FLOAT) == TEXT:
            text = batch.joined(lambda p: p.text()) if text is None else text
            column = np.full(n, None, dtype=object)
            column[found] = text[records[found]]
        else:
            column = numbers[:, k]
        columns[name] = column
        if with_meanings:
            _add_meaning(batch, name, records, found, columns, out)
    for name in query.computed:
        rule = COMPUTED[name]
        out.kinds[name] = rule.kind
        columns[name], present[name] = rule.make(columns, present, n)
    for name in query.header:
        out.kinds[name] = HEADER_KINDS[header_name(name) or name]
        if len(batch.messages) == 1:
            columns[name] = header_column(batch.messages[0], name, n)
        else:
            columns[name] = np.concatenate([header_column(m, name, 1) for m in batch.messages])[message_of]
        present[name] = np.ones(n, dtype=bool)
    _select(query, columns, present, n, out)


def _info_of(batch: Batch, starts: npt.NDArray[np.int64], record: int) -> ElementInfo:
    """The description of the element of a record of the batch."""
    m = int(np.searchsorted(starts, record, side="right")) - 1
    return batch.infos[m][int(batch.parts[m].elements()[1][record - int(starts[m])])]


def _add_meaning(batch: Batch, name: str, records: npt.NDArray[np.int64], found: npt.NDArray[np.bool_],
                 columns: dict[str, npt.NDArray[Any]], out: WideColumns) -> None:
    meaning = np.full(len(records), None, dtype=object)
    meaning[found] = batch.joined(lambda p: p.meaning())[records[found]]
    if name + ".meaning" in out.pieces or any(m is not None for m in meaning):
        columns[name + ".meaning"] = meaning
        out.kinds[name + ".meaning"] = TEXT


def _select(query: WideQuery, columns: dict[str, npt.NDArray[Any]], present: Mapping[str, npt.NDArray[np.bool_]],
            n: int, out: WideColumns) -> None:
    """The rows that hold the required columns and pass the filters, in the columns asked for."""
    keep = np.ones(n, dtype=bool)
    for name in query.required:
        keep &= present.get(name, np.zeros(n, dtype=bool))
    for name, wanted in query.filters.items():
        keep &= present[name] & filter_mask(columns[name], wanted)
    if query.columns is not None:
        names = [*query.columns, *(c + ".meaning" for c in query.columns if c + ".meaning" in columns)]
        columns = {c: columns[c] for c in names}
    if not keep.all():
        columns = {c: v[keep] for c, v in columns.items()}
    out.add(columns, int(keep.sum()))


def decoded(messages: Iterable[Message], query: WideQuery, errors: ErrorPolicy,
            decode: Callable[[Message, ErrorPolicy], Data | None]) -> Iterator[tuple[Message, Data]]:
    for message in messages:
        if not query.message_passes(message):
            continue
        data = decode(message, errors)
        if data is not None:
            yield message, data
