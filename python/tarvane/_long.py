"""The long form: one row per record, key, name and unit as dictionary columns."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._describe import element_infos
from ._optional import need, string_dtype

if TYPE_CHECKING:
    import pandas
    import pyarrow  # type: ignore[import-untyped]

    from ._data import Data

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
        infos = element_infos(data, codes)
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
