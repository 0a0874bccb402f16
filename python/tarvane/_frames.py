"""Decoded messages as tables: the long form (one row per record) and the wide
form (one row per subset, one column per key), for pandas and for Arrow.

Columns are gathered as NumPy arrays, message by message, and turned into a
pandas DataFrame or a pyarrow Table once at the end; neither form goes
through the other library.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

from ._tables import TablesArg

if TYPE_CHECKING:
    import pandas
    import pyarrow  # type: ignore[import-untyped]

    from ._data import Data
    from ._read import ErrorPolicy, Message
    from ._tarvane import TableSet

PathSource = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]
Filter = Union[object, Iterable[object], Callable[[Any], bool]]

# The kinds of a wide column, which fix its dtype.
INT, FLOAT, TEXT, BOOL, DATETIME = "int", "float", "text", "bool", "datetime"

# Header fields a wide table may name as columns, with their kinds. Section 1
# is read without decoding, so filters on these skip messages cheaply.
HEADER_KINDS: dict[str, str] = {
    "edition": INT,
    "master_table_number": INT,
    "originating_centre": INT,
    "originating_subcentre": INT,
    "update_sequence_number": INT,
    "data_category": INT,
    "international_data_subcategory": INT,
    "local_data_subcategory": INT,
    "master_tables_version_number": INT,
    "local_tables_version_number": INT,
    "typical_year": INT,
    "typical_month": INT,
    "typical_day": INT,
    "typical_hour": INT,
    "typical_minute": INT,
    "typical_second": INT,
    "number_of_subsets": INT,
    "observed_data": BOOL,
    "compressed_data": BOOL,
    "datetime": DATETIME,
    "source": TEXT,
    "offset": INT,
}

TEXT_UNITS = ("CCITT IA5", "CCITT_IA5")


def need(module: str, extra: str) -> Any:
    """Import an optional dependency, naming the extra that installs it."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{module} is needed for this; install it with: pip install tarvane[{extra}]") from exc


# --- what each descriptor is -------------------------------------------------


@dataclass(frozen=True)
class ElementInfo:
    key: str | None
    name: str | None
    unit: str | None
    kind: str


_element_cache: dict[TableSet, dict[int, ElementInfo]] = {}


def element_info(data: Data, code: int) -> ElementInfo:
    """Key, name, unit and column kind of a descriptor, cached per table set."""
    per_set = _element_cache.get(data.tables)
    if per_set is None:
        if len(_element_cache) > 64:
            _element_cache.clear()
        per_set = _element_cache.setdefault(data.tables, {})
    info = per_set.get(code)
    if info is None:
        described = data._describe(code)
        element = data.tables.get_element(code) if described["key"] is not None else None
        info = ElementInfo(described["key"], described["name"], described["unit"], kind_of(element))
        per_set[code] = info
    return info


def kind_of(element: Any) -> str:
    if element is None:
        return FLOAT
    if element.unit in TEXT_UNITS:
        return TEXT
    # Plain counts, code figures and flag sets: whole numbers.
    return INT if element.scale == 0 else FLOAT


_by_key: dict[TableSet, dict[str, Any]] = {}


def element_by_key(tables: TableSet, key: str) -> Any:
    """The Table B element whose ecCodes key is key, or None (an index built once per set)."""
    index = _by_key.get(tables)
    if index is None:
        if len(_by_key) > 16:
            _by_key.clear()
        index = {}
        for x in range(64):
            for y in range(256):
                element = tables.get_element(x * 1000 + y)
                if element is not None and element.abbreviation:
                    index.setdefault(element.abbreviation, element)
        _by_key[tables] = index
    return index.get(key)


# --- sources -------------------------------------------------------------------


def expand_source(source: PathSource) -> list[str]:
    """The files of a path, a directory (its files, sorted), a glob, or a list of these."""
    if isinstance(source, (str, os.PathLike)):
        items = [os.fspath(source)]
    else:
        items = [os.fspath(s) for s in source]
    paths: list[str] = []
    for item in items:
        if os.path.isdir(item):
            paths.extend(
                os.path.join(item, n) for n in sorted(os.listdir(item)) if os.path.isfile(os.path.join(item, n))
            )
        elif glob.has_magic(item) and not os.path.exists(item):
            matched = sorted(glob.glob(item))
            if not matched:
                raise FileNotFoundError(f"{item}: no file matches")
            paths.extend(matched)
        else:
            paths.append(item)
    return paths


def messages_of(paths: Iterable[str], tables: TablesArg, errors: ErrorPolicy) -> Iterator[Message]:
    from ._read import read

    for path in paths:
        yield from read(path, tables=tables, errors=errors)


def decode_or_skip(message: Message, errors: ErrorPolicy) -> Data | None:
    """The message's Data, or None when the policy skips a message that does not decode."""
    import warnings

    try:
        return message.decode()
    except ValueError as exc:
        if errors == "raise":
            raise
        if errors == "warn":
            warnings.warn(str(exc), RuntimeWarning, stacklevel=3)
        return None


# --- filters ---------------------------------------------------------------------


def _filter_mask(values: npt.NDArray[Any], wanted: Filter) -> npt.NDArray[np.bool_]:
    """Which entries pass: equality, membership of a set/list/tuple, or a callable; missing never passes."""
    present = ~_missing(values)
    if callable(wanted):
        test = wanted
    elif isinstance(wanted, (set, frozenset, list, tuple, range)):
        allowed = set(wanted)
        test = allowed.__contains__
    else:
        target = wanted
        test = target.__eq__
    keep = np.zeros(len(values), dtype=bool)
    for i in np.flatnonzero(present):
        v = values[i]
        keep[i] = bool(test(v.item() if isinstance(v, np.generic) else v))
    return keep


def _missing(values: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    if values.dtype.kind == "f":
        return np.isnan(values)
    if values.dtype.kind == "M":
        return np.isnat(values)
    if values.dtype == object:
        return np.fromiter((v is None for v in values), dtype=bool, count=len(values))
    return np.zeros(len(values), dtype=bool)


# --- the wide form ---------------------------------------------------------------


@dataclass
class WideColumns:
    """Columns gathered over many messages: NumPy pieces per column, concatenated at the end."""

    names: list[str]
    kinds: dict[str, str] = field(default_factory=dict)
    units: dict[str, str] = field(default_factory=dict)
    pieces: dict[str, list[npt.NDArray[Any]]] = field(default_factory=dict)
    meanings: dict[str, list[npt.NDArray[Any]]] = field(default_factory=dict)
    rows: int = 0
    filled: dict[str, int] = field(default_factory=dict)

    def add(self, name: str, values: npt.NDArray[Any], start_rows: int) -> None:
        column = self.pieces.setdefault(name, [])
        filled = self.filled.get(name, 0)
        if filled < start_rows:
            # A column first met after some rows: missing before it.
            column.append(_blank(self.kinds.get(name, FLOAT), start_rows - filled))
        column.append(values)
        self.filled[name] = start_rows + len(values)

    def finish(self) -> dict[str, npt.NDArray[Any]]:
        out: dict[str, npt.NDArray[Any]] = {}
        for name in self.names:
            kind = self.kinds.get(name, FLOAT)
            parts = [_as_kind(p, kind) for p in self.pieces.get(name, [])]
            filled = sum(len(p) for p in parts)
            if filled < self.rows:
                parts.append(_blank(kind, self.rows - filled))
            out[name] = np.concatenate(parts) if parts else _blank(kind, 0)
        return out


def _blank(kind: str, n: int) -> npt.NDArray[Any]:
    if kind == TEXT:
        return np.full(n, None, dtype=object)
    if kind == DATETIME:
        return np.full(n, np.datetime64("NaT", "s"), dtype="datetime64[s]")
    if kind == BOOL:
        return np.full(n, None, dtype=object)
    return np.full(n, np.nan)


def _as_kind(values: npt.NDArray[Any], kind: str) -> npt.NDArray[Any]:
    if kind == TEXT and values.dtype != object:
        # A text column where another table's element was a number.
        return np.array([None if v != v else str(v) for v in values], dtype=object)
    if kind in (INT, FLOAT) and values.dtype == object:
        return np.array([np.nan if v is None else float(v) for v in values])
    return values


def _header_value(message: Message, name: str) -> Any:
    if name == "datetime":
        when = message.datetime
        return np.datetime64("NaT", "s") if when is None else np.datetime64(when, "s")
    return getattr(message, name)


def _header_column(message: Message, name: str, n: int) -> npt.NDArray[Any]:
    value = _header_value(message, name)
    kind = HEADER_KINDS[name]
    if kind == DATETIME:
        return np.full(n, value, dtype="datetime64[s]")
    if kind in (TEXT, BOOL):
        return np.full(n, value, dtype=object)
    return np.full(n, np.nan if value is None else float(value))


def _key_codes(data: Data, key: str | int, codes: list[int]) -> list[int]:
    """Which entries of the message's distinct descriptors a requested key means."""
    if isinstance(key, (int, np.integer)) or (isinstance(key, str) and key.isdigit()):
        return [i for i, c in enumerate(codes) if c == int(key)]
    return [i for i, c in enumerate(codes) if element_info(data, c).key == key]


def split_rank(key: str | int) -> tuple[str | int, int | None]:
    """ "#3#brightnessTemperature" (ecCodes' k-th occurrence in a subset) -> ("brightnessTemperature", 3)."""
    if isinstance(key, str) and key.startswith("#"):
        rank, _, base = key[1:].partition("#")
        if rank.isdigit() and int(rank) >= 1 and base:
            return base, int(rank)
    return key, None


def _ranks(subsets: npt.NDArray[np.intp]) -> npt.NDArray[np.intp]:
    """For positions in record order, the rank (from 0) of each within its subset."""
    starts = np.r_[0, np.flatnonzero(np.diff(subsets)) + 1]
    ranks: npt.NDArray[np.intp] = np.arange(len(subsets)) - np.repeat(starts, np.diff(np.r_[starts, len(subsets)]))
    return ranks


def wide_rows(data: Data, keys: Sequence[str | int], out: WideColumns, with_meanings: bool = False) -> None:
    """Append the rows of one message: one per subset, or one per occurrence of a repeated key.

    In a subset, the k-th row holds the k-th occurrence of each key that
    occurs several times (missing past its last), and the one value of each
    key that occurs once. Subsets holding none of the keys give no row.
    """
    parts = data._parts
    codes, index = parts.elements()
    subsets = parts.subsets
    counts = np.zeros((len(keys), subsets), dtype=np.int64)
    positions: list[npt.NDArray[np.intp]] = []
    subset = parts.subset.astype(np.intp) - 1
    for k, key in enumerate(keys):
        base, rank = split_rank(key)
        wanted = _key_codes(data, base, codes)
        pos = np.flatnonzero(np.isin(index, wanted)) if wanted else np.zeros(0, dtype=np.intp)
        if rank is not None and len(pos):
            pos = pos[_ranks(subset[pos]) == rank - 1]
        positions.append(pos)
        counts[k] = np.bincount(subset[pos], minlength=subsets)
        if wanted and str(key) not in out.kinds:
            info = element_info(data, codes[wanted[0]])
            out.kinds[str(key)] = info.kind
            if info.unit:
                out.units[str(key)] = info.unit
    per_subset = counts.max(axis=0) if len(keys) else np.ones(subsets, dtype=np.int64)
    n = int(per_subset.sum())
    if n == 0:
        return
    row_subset = np.repeat(np.arange(subsets), per_subset)
    row_start = np.repeat(np.cumsum(per_subset) - per_subset, per_subset)
    row_rank = np.arange(n) - row_start
    start_rows = out.rows
    value = parts.value
    for k, key in enumerate(keys):
        count = counts[k][row_subset]
        first = (np.cumsum(counts[k]) - counts[k])[row_subset]
        valid = (count == 1) | (row_rank < count)
        occurrence = first + np.where(count == 1, 0, row_rank)
        records = positions[k][occurrence[valid]]
        name = str(key)
        if out.kinds.get(name) == TEXT:
            column = np.full(n, None, dtype=object)
            column[valid] = parts.text()[records]
        else:
            column = np.full(n, np.nan)
            column[valid] = value[records]
        out.add(name, column, start_rows)
        if with_meanings:
            meaning = np.full(n, None, dtype=object)
            meaning[valid] = parts.meaning()[records]
            if any(m is not None for m in meaning) or name in out.meanings:
                pieces = out.meanings.setdefault(name, [])
                filled = out.filled.get(name + ".meaning", 0)
                if filled < start_rows:
                    pieces.append(np.full(start_rows - filled, None, dtype=object))
                pieces.append(meaning)
                out.filled[name + ".meaning"] = start_rows + n
    out.rows += n


@dataclass
class WideQuery:
    """What a wide read asks for: the columns shown, the keys decoded, the filters."""

    columns: list[str] | None
    filters: dict[str, Filter]
    header: list[str] = field(default_factory=list)
    keys: list[str | int] = field(default_factory=list)

    @classmethod
    def make(cls, columns: Sequence[str | int] | None, filters: Mapping[str, Filter] | None) -> WideQuery:
        if isinstance(columns, (str, int)):
            columns = [columns]
        filters = dict(filters or {})
        query = cls(None if columns is None else [str(c) for c in columns], filters)
        wanted: list[str | int] = list(columns or []) + [f for f in filters if columns is None or f not in query.columns]  # type: ignore[operator]
        for c in dict.fromkeys(wanted):
            if isinstance(c, str) and c in HEADER_KINDS:
                query.header.append(c)
            else:
                query.keys.append(c)
        return query

    def message_passes(self, message: Message) -> bool:
        for name, wanted in self.filters.items():
            if name in HEADER_KINDS and not _filter_mask(np.array([_header_value(message, name)], dtype=object), wanted)[0]:
                return False
        return True


def gather_wide(
    messages: Iterable[Message], query: WideQuery, errors: ErrorPolicy, with_meanings: bool = False,
    kinds: Mapping[str, str] | None = None,
) -> tuple[dict[str, npt.NDArray[Any]], WideColumns]:
    """Decode the messages that pass the header filters; rows that pass the value filters.

    kinds fixes the kinds of columns beforehand (partitions of one frame
    must agree); otherwise a column takes the kind of the first element met.
    """
    order: dict[str, None] = {}
    out = WideColumns(names=[], kinds=dict(kinds or {}))
    for name in query.header:
        out.kinds[name] = HEADER_KINDS[name]
    for message in messages:
        if not query.message_passes(message):
            continue
        data = decode_or_skip(message, errors)
        if data is None:
            continue
        keys: list[str | int] = query.keys
        if query.columns is None:
            keys = [*data.keys(), *(k for k in query.keys if k not in data.keys())]
            keys = [k for k in keys if k not in ("operator", "associatedField", "characters")]
        for k in keys:
            order.setdefault(str(k))
        before = out.rows
        wide_rows(data, keys, out, with_meanings)
        added = out.rows - before
        for name in query.header:
            out.add(name, _header_column(message, name, added), before)
    names = list(query.header) + [k for k in order if k not in query.header]
    if query.columns is not None:
        names = list(dict.fromkeys(query.columns + names))
    out.names = names
    columns = out.finish()
    keep = np.ones(out.rows, dtype=bool)
    for name, wanted in query.filters.items():
        if name not in HEADER_KINDS:
            keep &= _filter_mask(columns[name], wanted)
    if not keep.all():
        columns = {name: values[keep] for name, values in columns.items()}
        for name in out.meanings:
            out.meanings[name] = [_meaning_column(out, name, len(keep))[keep]]
    if query.columns is not None:
        columns = {name: columns[name] for name in query.columns}
    return columns, out


def _meaning_column(out: WideColumns, name: str, rows: int) -> npt.NDArray[np.object_]:
    pieces = out.meanings.get(name, [])
    joined = np.concatenate(pieces) if pieces else np.zeros(0, dtype=object)
    if len(joined) < rows:
        joined = np.concatenate([joined, np.full(rows - len(joined), None, dtype=object)])
    return joined


def string_dtype(pd: Any) -> Any:
    """pandas' string dtype as pandas 3 and Dask make it: Arrow-backed where pyarrow is installed.

    pandas 2 would otherwise store texts as Python objects while a Dask
    DataFrame of the same query stores them in Arrow.
    """
    import importlib.util

    return pd.StringDtype("pyarrow" if importlib.util.find_spec("pyarrow") else "python")


def to_pandas_columns(columns: Mapping[str, npt.NDArray[Any]], kinds: Mapping[str, str]) -> pandas.DataFrame:
    pd = need("pandas", "pandas")
    series: dict[str, Any] = {}
    for name, values in columns.items():
        kind = kinds.get(name, FLOAT)
        if kind == INT:
            missing = np.isnan(values)
            series[name] = pd.arrays.IntegerArray(np.where(missing, 0, values).astype(np.int64), missing)
        elif kind == BOOL:
            missing = _missing(values)
            series[name] = pd.arrays.BooleanArray(np.where(missing, False, values).astype(bool), missing)
        elif kind == TEXT:
            series[name] = pd.array(values, dtype=string_dtype(pd))
        else:
            series[name] = values
    frame: pandas.DataFrame = pd.DataFrame(
        series, index=pd.RangeIndex(len(next(iter(columns.values()))) if columns else 0)
    )
    return frame


def to_arrow_array(values: npt.NDArray[Any], kind: str) -> pyarrow.Array:
    pa = need("pyarrow", "arrow")
    missing = _missing(values)
    if kind == INT:
        return pa.array(np.where(missing, 0, values).astype(np.int64), mask=missing)
    if kind == BOOL:
        return pa.array(np.where(missing, False, values).astype(bool), mask=missing)
    if kind == TEXT:
        return pa.array(values, type=pa.string())
    if kind == DATETIME:
        return pa.array(values, type=pa.timestamp("s"), mask=missing)
    return pa.array(values, mask=missing)


def to_arrow_columns(
    columns: Mapping[str, npt.NDArray[Any]], out: WideColumns, with_meanings: bool = False
) -> pyarrow.Table:
    pa = need("pyarrow", "arrow")
    arrays: list[Any] = []
    fields: list[Any] = []
    for name, values in columns.items():
        kind = out.kinds.get(name, FLOAT)
        array = to_arrow_array(values, kind)
        unit = out.units.get(name)
        arrays.append(array)
        fields.append(pa.field(name, array.type, metadata={"unit": unit} if unit else None))
        if with_meanings and name in out.meanings:
            arrays.append(pa.array(_meaning_column(out, name, len(values)), type=pa.string()))
            fields.append(pa.field(f"{name}.meaning", pa.string()))
    return pa.Table.from_arrays(arrays, schema=pa.schema(fields))


def _wide(source: PathSource, columns: Sequence[str | int] | None, filters: Mapping[str, Filter] | None,
          tables: TablesArg, errors: ErrorPolicy, with_meanings: bool = False
          ) -> tuple[dict[str, npt.NDArray[Any]], WideColumns]:
    from ._read import _check_policy

    _check_policy(errors)
    query = WideQuery.make(columns, filters)
    return gather_wide(messages_of(expand_source(source), tables, errors), query, errors, with_meanings)


def read_dataframe(
    source: PathSource,
    columns: Sequence[str | int] | None = None,
    filters: Mapping[str, Filter] | None = None,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
) -> pandas.DataFrame:
    """The messages of source as one pandas DataFrame, one row per subset.

    A key occurring several times in a subset (a replicated profile) gives
    one row per occurrence, the subset's single-valued keys repeated on
    each; a subset holding none of the keys gives no row.

    Parameters
    ----------
    source : str, os.PathLike or list of them
        A path, a directory (its files), a glob, or a list of these.
    columns : list of str or int, optional
        Keys of elements (ecCodes keys such as "airTemperature", or
        descriptor codes as int; "#k#key" for the k-th occurrence in a
        subset, such as one column per satellite channel) and header fields
        ("data_category", "datetime", "originating_centre", "source",
        "offset", ...), in the order wanted; None gives every element key
        met.
    filters : dict, optional
        ``{column: wanted}``, wanted a value (equality), a set, list or tuple
        of values, or a callable taking one value; missing values never
        pass. Filters on header fields skip messages before they are
        decoded.
    tables : TableSet, str, os.PathLike or None, optional
        As for ``tarvane.read``.
    errors : {"raise", "skip", "warn"}, optional
        As for ``tarvane.read``; also for messages that fail to decode.

    Returns
    -------
    pandas.DataFrame
        Nullable Int64 for elements without scale (counts, code and flag
        figures) and integer header fields; float64 with NaN otherwise;
        "string" for texts; datetime64[s] for "datetime"; missing is NA.
    """
    values, out = _wide(source, columns, filters, tables, errors)
    return to_pandas_columns(values, out.kinds)


def read_arrow(
    source: PathSource,
    columns: Sequence[str | int] | None = None,
    filters: Mapping[str, Filter] | None = None,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
) -> pyarrow.Table:
    """The same table as ``read_dataframe``, as a pyarrow Table built from the NumPy columns.

    Parameters
    ----------
    source, columns, filters, tables, errors
        As for ``read_dataframe``.

    Returns
    -------
    pyarrow.Table
        Each element column carries its unit as field metadata ("unit").
    """
    values, out = _wide(source, columns, filters, tables, errors)
    return to_arrow_columns(values, out)


# --- the long form ----------------------------------------------------------------

LONG_COLUMNS = ("subset", "descriptor", "key", "name", "unit", "value", "text", "meaning")


@dataclass
class LongColumns:
    """Records of one or more messages; key, name and unit as indices into shared dictionaries."""

    columns: dict[str, npt.NDArray[Any]]
    dictionaries: dict[str, list[str]]


def gather_long(datas: Iterable[Data], with_message: bool = False) -> LongColumns:
    pieces: dict[str, list[npt.NDArray[Any]]] = {}
    interned: dict[str, dict[str, int]] = {"key": {}, "name": {}, "unit": {}}
    for data in datas:
        codes, index = data._parts.elements()
        lo, hi = data._start, data._stop
        cut = index[lo:hi]
        part: dict[str, npt.NDArray[Any]] = {
            "subset": data._parts.subset[lo:hi],
            "descriptor": data._parts.descriptor[lo:hi],
        }
        infos = [element_info(data, c) for c in codes]
        for which, table in interned.items():
            lut = np.array(
                [-1 if getattr(i, which) is None else table.setdefault(getattr(i, which), len(table)) for i in infos]
                or [-1],
                dtype=np.int32,
            )
            part[which] = lut[cut] if len(codes) else np.zeros(0, dtype=np.int32)
        part["value"] = data._parts.value[lo:hi]
        part["text"] = data._parts.text()[lo:hi]
        part["meaning"] = data._parts.meaning()[lo:hi]
        if with_message:
            message = data.message
            part["source"] = np.full(hi - lo, message.source, dtype=object)
            part["offset"] = np.full(hi - lo, message.offset, dtype=np.int64)
        for name, values in part.items():
            pieces.setdefault(name, []).append(values)
    names = [*(("source", "offset") if with_message else ()), *LONG_COLUMNS]
    empty = {"text": object, "meaning": object, "source": object, "value": np.float64, "subset": np.uint32,
             "descriptor": np.uint32, "offset": np.int64}
    columns = {
        name: np.concatenate(pieces[name]) if name in pieces else np.zeros(0, dtype=empty.get(name, np.int32))
        for name in names
    }
    return LongColumns(columns, {which: list(table) for which, table in interned.items()})


def long_pandas(long: LongColumns) -> pandas.DataFrame:
    pd = need("pandas", "pandas")
    series: dict[str, Any] = {}
    for name, values in long.columns.items():
        if name in long.dictionaries:
            series[name] = pd.Categorical.from_codes(values, categories=pd.Index(long.dictionaries[name], dtype=object))
        elif values.dtype == object:
            series[name] = pd.array(values, dtype=string_dtype(pd))
        else:
            series[name] = values
    frame: pandas.DataFrame = pd.DataFrame(series)
    return frame


def long_arrow(long: LongColumns) -> pyarrow.Table:
    pa = need("pyarrow", "arrow")
    arrays: dict[str, Any] = {}
    for name, values in long.columns.items():
        if name in long.dictionaries:
            arrays[name] = pa.DictionaryArray.from_arrays(
                pa.array(values, mask=values < 0), pa.array(long.dictionaries[name], type=pa.string())
            )
        elif values.dtype == object:
            arrays[name] = pa.array(values, type=pa.string())
        elif name == "value":
            arrays[name] = pa.array(values, mask=np.isnan(values))
        else:
            arrays[name] = pa.array(values)
    return pa.table(arrays)


def data_to_pandas(data: Data) -> pandas.DataFrame:
    return long_pandas(gather_long([data]))


def data_to_arrow(data: Data) -> pyarrow.Table:
    return long_arrow(gather_long([data]))
