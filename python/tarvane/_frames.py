"""Decoded messages as tables for pandas and Arrow: the entry points, the
sources they read and the dtypes of the columns.

The wide form (``_wide``) gives one row per observation, the long form
(``_long``) one row per record. Columns are gathered as NumPy arrays and
turned into a DataFrame or Table once; neither form goes through the other
library.
"""

from __future__ import annotations

import difflib
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

from ._describe import BOOL, COMPUTED, DATETIME, ECCODES_HEADER, FLOAT, HEADER_KINDS, INT, TEXT, header_name
from ._filters import Filter, missing
from ._flat import gather_flat
from ._long import LONG_COLUMNS, LongColumns, data_to_arrow, data_to_pandas, gather_long, long_arrow, long_pandas
from ._optional import need, string_dtype
from ._read import _check_policy, read
from ._sources import PathSource, expand_source
from ._tables import TablesArg
from ._wide import BATCH_RECORDS, Batch, WideColumns, WideQuery, batch_rows, decoded, message_keys

if TYPE_CHECKING:
    import pandas
    import pyarrow  # type: ignore[import-untyped]

    from ._data import Data
    from ._read import ErrorPolicy, Message

Columns = Union[Sequence[Union[str, int]], str, int, None]

__all__ = [
    "LONG_COLUMNS", "LongColumns", "data_to_arrow", "data_to_pandas", "gather_long", "long_arrow", "long_pandas",
    "need", "read_arrow", "read_dataframe", "Filter",
]


# --- sources -------------------------------------------------------------------


def messages_of(paths: Iterable[str], tables: TablesArg, errors: ErrorPolicy, threads: int = 1) -> Iterator[Message]:
    """The messages of paths in order; with threads > 1 decoded ahead by one pool for every file."""
    messages = (m for path in paths for m in read(path, tables=tables, errors=errors))
    if threads == 1:
        return messages
    from ._parallel import decode_ahead

    return decode_ahead(messages, threads)


def decode_or_skip(message: Message, errors: ErrorPolicy, whole: bool = False) -> Data | None:
    """The message's Data, or None when the policy skips a message that does not decode;
    whole: with raw and the meanings decoded at once, for a frame that has them all."""
    import warnings

    try:
        return message._decoded_whole() if whole else message.decode()
    except ValueError as exc:
        if errors == "raise":
            raise
        if errors == "warn":
            warnings.warn(str(exc), RuntimeWarning, stacklevel=3)
        return None


# --- gathering -------------------------------------------------------------------


def gather(messages: Iterable[Message], query: WideQuery, errors: ErrorPolicy, chunksize: int | None = None,
           with_meanings: bool = False, kinds: Mapping[str, str] | None = None, check: bool = True,
           ) -> Iterator[tuple[dict[str, npt.NDArray[Any]], WideColumns]]:
    """The rows of the messages, all at once or chunksize rows at a time.

    kinds fixes the kinds of columns beforehand (partitions of one frame
    must agree); otherwise a column takes the kind of the first element met.
    """
    out = WideColumns(kinds=dict(kinds or {}))
    for name in query.header:
        out.kinds[name] = HEADER_KINDS[header_name(name) or name]
    seen: set[str] = set()
    known: set[str] = set()
    any_decoded = False
    batch: Batch | None = None
    for message, data in decoded(messages, query, errors, decode_or_skip):
        any_decoded = True
        infos, keys = message_keys(data, query, known)
        if batch is not None and (batch.keys != keys or batch.records >= BATCH_RECORDS):
            batch_rows(batch, query, out, seen, with_meanings)
            batch = None
            while chunksize is not None and out.rows >= chunksize:
                yield out.finish(_names(query, out), chunksize), out
        batch = batch or Batch(keys)
        batch.add(message, data, infos)
    if batch is not None:
        batch_rows(batch, query, out, seen, with_meanings)
        while chunksize is not None and out.rows >= chunksize:
            yield out.finish(_names(query, out), chunksize), out
    if any_decoded and check:
        _check_known(query, seen, known)
    if chunksize is None or out.rows:
        yield out.finish(_names(query, out)), out


def _names(query: WideQuery, out: WideColumns) -> list[str]:
    if query.columns is None:
        return out.names
    return [n for n in out.names if n in query.columns or n.endswith(".meaning")] or list(query.columns)


def _check_known(query: WideQuery, seen: set[str], known: set[str]) -> None:
    """A requested column that no message has is a mistake, not an empty frame."""
    for name in query.columns or []:
        if header_name(name) is None and name not in COMPUTED and name not in seen:
            choices = sorted(known | set(HEADER_KINDS) | set(ECCODES_HEADER) | set(COMPUTED))
            close = difflib.get_close_matches(name.rpartition("#")[2], choices, n=3)
            hint = f"; the closest known keys: {', '.join(close)}" if close else ""
            raise KeyError(f"no message of the source has the column {name!r}{hint}")


# --- dtypes ----------------------------------------------------------------------

INT64_MAX = float(2**63)


def integer_values(values: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]] | None:
    """Whole numbers as int64, or as uint64 where they pass int64's range; None where neither holds them."""
    absent = np.isnan(values)
    filled = np.where(absent, 0.0, values)
    if not len(filled) or (filled.max() < INT64_MAX and filled.min() >= -INT64_MAX):
        return filled.astype(np.int64), absent
    if filled.min() >= 0 and filled.max() < 2 * INT64_MAX:
        return filled.astype(np.uint64), absent
    return None


def to_pandas_columns(columns: Mapping[str, npt.NDArray[Any]], kinds: Mapping[str, str],
                      units: Mapping[str, str] | None = None) -> pandas.DataFrame:
    pd = need("pandas", "pandas")
    series: dict[str, Any] = {}
    for name, values in columns.items():
        kind = kinds.get(name, FLOAT)
        whole = integer_values(values) if kind == INT else None
        if whole is not None:
            series[name] = pd.arrays.IntegerArray(*whole)
        elif kind == BOOL:
            absent = missing(values)
            series[name] = pd.arrays.BooleanArray(np.where(absent, False, values).astype(bool), absent)
        elif kind == TEXT:
            series[name] = pd.array(values, dtype=string_dtype(pd))
        else:
            series[name] = values
    rows = len(next(iter(columns.values()))) if columns else 0
    frame: pandas.DataFrame = pd.DataFrame(series, index=pd.RangeIndex(rows))
    frame.attrs["units"] = {n: u for n, u in (units or {}).items() if n in columns}
    return frame


def to_arrow_array(values: npt.NDArray[Any], kind: str) -> pyarrow.Array:
    pa = need("pyarrow", "arrow")
    absent = missing(values)
    whole = integer_values(values) if kind == INT else None
    if whole is not None:
        return pa.array(whole[0], mask=whole[1])
    if kind == BOOL:
        return pa.array(np.where(absent, False, values).astype(bool), mask=absent)
    if kind == TEXT:
        return pa.array(values, type=pa.string())
    if kind == DATETIME:
        return pa.array(values, type=pa.timestamp("s"), mask=absent)
    return pa.array(values, mask=absent)


def to_arrow_columns(columns: Mapping[str, npt.NDArray[Any]], out: WideColumns) -> pyarrow.Table:
    pa = need("pyarrow", "arrow")
    arrays: list[Any] = []
    fields: list[Any] = []
    for name, values in columns.items():
        array = to_arrow_array(values, out.kinds.get(name, FLOAT))
        unit = out.units.get(name)
        arrays.append(array)
        fields.append(pa.field(name, array.type, metadata={"unit": unit} if unit else None))
    return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


# --- entry points ----------------------------------------------------------------


def _frames(source: PathSource, columns: Columns, filters: Mapping[str, Filter] | None,
            required_columns: bool | Sequence[str], flat: bool, tables: TablesArg, errors: ErrorPolicy,
            chunksize: int | None, with_meanings: bool = False, check: bool = True,
            kinds: Mapping[str, str] | None = None, threads: int = 1
            ) -> Iterator[tuple[dict[str, npt.NDArray[Any]], WideColumns]]:
    _check_policy(errors)
    if chunksize is not None and (not isinstance(chunksize, int) or chunksize < 1):
        raise ValueError(f"chunksize must be a positive int, not {chunksize!r}")
    messages = messages_of(expand_source(source), tables, errors, threads)
    if flat:
        return gather_flat(messages, columns, filters, errors, chunksize, decode_or_skip)
    query = WideQuery.make(columns, filters, required_columns)
    return gather(messages, query, errors, chunksize, with_meanings, kinds, check)


def _threads(threads: object) -> int:
    from ._parallel import machine_threads, threads_argument

    return threads_argument(threads, machine_threads())


def part_frame(source: PathSource, columns: Columns, options: Mapping[str, Any]) -> pandas.DataFrame:
    """One part of a larger frame: as ``read_dataframe``, but a part may lack a column the whole has,
    and options["kinds"] fixes the kinds of the columns the whole has decided."""
    chunks = _frames(source, columns, options.get("filters"), options.get("required_columns", True),
                     options.get("flat", False), options.get("tables"), options.get("errors", "raise"), None,
                     check=False, kinds=options.get("kinds"))
    values, out = next(chunks)
    return to_pandas_columns(values, out.kinds, out.units)


def read_dataframe(
    source: PathSource,
    columns: Columns = None,
    *,
    filters: Mapping[str, Filter] | None = None,
    required_columns: bool | Sequence[str] = True,
    flat: bool = False,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
    chunksize: int | None = None,
    threads: int | None = None,
) -> Any:
    """The messages of source as a pandas DataFrame, one row per observation.

    source: a path, a directory (its files, recursively, hidden ones left
    out), a glob, or a list of these; .gz, .bz2 and .xz files are read as
    they are. columns: element keys ("airTemperature"), "#k#key" (its k-th
    occurrence in a subset), descriptor codes (int or digits), header fields
    under tarvane's names ("data_category", "typical_datetime", "source",
    "offset", ...) or ecCodes' ("dataCategory", "bufrHeaderCentre",
    "typicalDate", ...), and the computed keys "WMO_station_id",
    "WIGOS_station_id" and "data_datetime" (the observation's own time).

    Rows follow the message's structure: where the keys meet, a value
    outside a replication applies to every repetition inside it, and keys
    of sibling replications are never paired by rank, as the established
    pandas reader of BUFR forms them.

    filters: {column: wanted}, wanted a value (matched by value: 50000
    matches 50000.0), a list/set/tuple of values, slice(lo, hi) (inclusive,
    either end None) or a callable; a row without the key never passes.
    required_columns: True keeps a row only where every column has a record
    (its value may be missing), False keeps it with NA, a list names the
    required ones. A column that no message has raises KeyError.
    flat: one row per subset, a "#k#key" column for every value.

    Dtypes: nullable Int64 for elements without scale (UInt64 or float64
    where a value passes int64's range), float64, "string" for texts,
    datetime64 for times; units in ``frame.attrs["units"]``.

    chunksize: an iterator of frames of chunksize rows (the last shorter);
    memory then holds one chunk and the records of the largest message, or
    of up to 65,536 records of smaller ones formed into rows together (about
    40 octets a record: a message may hold many records per octet of input).

    threads: how many threads decode messages (with the GIL released) while
    the rows are built in order; None takes the cores this process may use,
    1 decodes in the caller's thread. The rows are the same either way.
    """
    chunks = _frames(source, columns, filters, required_columns, flat, tables, errors, chunksize,
                     threads=_threads(threads))
    frames = (to_pandas_columns(values, out.kinds, out.units) for values, out in chunks)
    return frames if chunksize is not None else next(frames)


def read_arrow(
    source: PathSource,
    columns: Columns = None,
    *,
    filters: Mapping[str, Filter] | None = None,
    required_columns: bool | Sequence[str] = True,
    flat: bool = False,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
    chunksize: int | None = None,
    threads: int | None = None,
) -> Any:
    """The same rows as ``read_dataframe``, as a pyarrow Table (or an iterator of them with chunksize).

    Each element column carries its unit as field metadata ("unit").
    """
    chunks = _frames(source, columns, filters, required_columns, flat, tables, errors, chunksize,
                     threads=_threads(threads))
    tables_out = (to_arrow_columns(values, out) for values, out in chunks)
    return tables_out if chunksize is not None else next(tables_out)
