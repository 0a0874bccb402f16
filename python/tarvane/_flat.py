"""The flat form: one row per subset, every value its own "#k#key" column, header columns first."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._describe import HEADER_KINDS, TEXT, element_infos
from ._filters import Filter, filter_mask
from ._wide import NOT_KEYS, WideColumns, header_column

if TYPE_CHECKING:
    from ._data import Data
    from ._read import ErrorPolicy, Message

FLAT_HEADER = (
    "edition", "master_table_number", "originating_centre", "originating_subcentre", "update_sequence_number",
    "data_category", "international_data_subcategory", "local_data_subcategory", "master_tables_version_number",
    "local_tables_version_number", "typical_datetime", "number_of_subsets", "observed_data", "compressed_data",
)


def flat_columns(message: Message, data: Data, out: WideColumns) -> dict[str, npt.NDArray[Any]]:
    parts = data._parts
    codes, index = parts.elements()
    infos = element_infos(data, codes)
    keyed = np.array([i.key is not None and i.key not in NOT_KEYS for i in infos] or [False])
    records = np.flatnonzero(keyed[index]) if len(codes) else np.zeros(0, dtype=np.intp)
    n = parts.subsets
    columns = {name: header_column(message, name, n) for name in FLAT_HEADER}
    for name in FLAT_HEADER:
        out.kinds[name] = HEADER_KINDS[name]
    if not len(records):
        return columns
    subset = parts.subset[records].astype(np.int64) - 1
    which = index[records].astype(np.int64)
    # The rank of a record among the records of its key in its subset.
    order = np.lexsort((records, which, subset))
    group = subset[order] * (len(codes) + 1) + which[order]
    starts = np.r_[0, np.flatnonzero(np.diff(group)) + 1]
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order)) - np.repeat(starts, np.diff(np.r_[starts, len(order)]))
    text = parts.text()
    for c, r in sorted(set(zip(which.tolist(), rank.tolist())), key=lambda cr: (cr[1], cr[0])):
        info = infos[c]
        name = f"#{r + 1}#{info.key}"
        hit = records[(which == c) & (rank == r)]
        out.kinds.setdefault(name, info.kind)
        if info.unit:
            out.units.setdefault(name, info.unit)
        if out.kinds[name] == TEXT:
            column = np.full(n, None, dtype=object)
            column[parts.subset[hit] - 1] = text[hit]
        else:
            column = np.full(n, np.nan)
            column[parts.subset[hit] - 1] = parts.value[hit]
        columns[name] = column
    return columns


def _select(columns: Mapping[str, npt.NDArray[Any]], wanted: Sequence[str]) -> dict[str, npt.NDArray[Any]]:
    """The wanted columns: "#k#key" as named, a plain key as every rank of it."""
    out: dict[str, npt.NDArray[Any]] = {}
    for name in wanted:
        if name in columns:
            out[name] = columns[name]
        else:
            out.update((c, v) for c, v in columns.items() if c.partition("#")[2].partition("#")[2] == name)
    return out


def gather_flat(messages: Iterable[Message], columns: Sequence[str | int] | str | int | None,
                filters: Mapping[str, Filter] | None, errors: ErrorPolicy, chunksize: int | None,
                decode: Callable[[Message, ErrorPolicy], Data | None],
                ) -> Iterator[tuple[dict[str, npt.NDArray[Any]], WideColumns]]:
    wanted = None if columns is None else [str(c) for c in ([columns] if isinstance(columns, (str, int)) else columns)]
    out = WideColumns()
    for message in messages:
        data = decode(message, errors)
        if data is None:
            continue
        found = flat_columns(message, data, out)
        n = data.number_of_subsets
        keep = np.ones(n, dtype=bool)
        for name, rule in (filters or {}).items():
            picked = _select(found, [name])
            passes = np.zeros(n, dtype=bool)
            for v in picked.values():
                passes |= filter_mask(v, rule)
            keep &= passes
        shown = found if wanted is None else _select(found, wanted)
        out.add({c: v[keep] for c, v in shown.items()}, int(keep.sum()))
        while chunksize is not None and out.rows >= chunksize:
            yield out.finish(None, chunksize), out
    if chunksize is None or out.rows:
        yield out.finish(), out
