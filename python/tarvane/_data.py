"""Data: one decoded message as NumPy columns, one entry per record."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _columns
from ._tarvane import TableSet

if TYPE_CHECKING:
    from ._read import Message

# Records that are not Table B elements, and the word each is known by.
ASSOCIATED_FIELD_CODE = 999999


def _synthetic_name(code: int) -> str | None:
    if code == ASSOCIATED_FIELD_CODE:
        return "associatedField"
    if 205000 <= code <= 205255:
        return "characters"
    if 200000 <= code < 300000:
        return "operator"
    return None


_DTYPES = {"subset": np.uint32, "descriptor": np.uint32, "value": np.float64, "raw": np.uint64}


class _Parts:
    """The arrays of one decoded message, shared by the message's Data and its subset views."""

    __slots__ = (
        "subsets", "_columns", "_arrays", "text_records", "texts",
        "meaning_records", "meaning_ids", "meanings", "_text", "_meaning", "_elements",
    )

    def __init__(self, decoded: tuple[Any, ...]) -> None:
        (subsets, subset, descriptor, value, raw, text_records, texts, meaning_records, meaning_ids, meanings) = decoded
        self.subsets: int = subsets
        # Each column becomes an array when first asked for: most readers
        # want a few of them, and each wrapping costs about a microsecond.
        self._columns: dict[str, Any] = {"subset": subset, "descriptor": descriptor, "value": value, "raw": raw}
        self._arrays: dict[str, npt.NDArray[Any]] = {}
        self.text_records: Any = text_records
        self.texts: list[str] = texts
        self.meaning_records: Any = meaning_records
        self.meaning_ids: Any = meaning_ids
        self.meanings: list[str] = meanings
        self._text: npt.NDArray[np.object_] | None = None
        self._meaning: npt.NDArray[np.object_] | None = None
        self._elements: tuple[list[int], npt.NDArray[np.int32]] | None = None

    def __len__(self) -> int:
        return len(self._columns["descriptor"])

    def array(self, name: str) -> npt.NDArray[Any]:
        column = self._arrays.get(name)
        if column is None:
            column = self._arrays[name] = np.frombuffer(self._columns[name], dtype=_DTYPES[name])
        return column

    @property
    def subset(self) -> npt.NDArray[np.uint32]:
        return self.array("subset")

    @property
    def descriptor(self) -> npt.NDArray[np.uint32]:
        return self.array("descriptor")

    @property
    def value(self) -> npt.NDArray[np.float64]:
        return self.array("value")

    @property
    def raw(self) -> npt.NDArray[np.uint64]:
        return self.array("raw")

    def text(self) -> npt.NDArray[np.object_]:
        if self._text is None:
            column = np.full(len(self.descriptor), None, dtype=object)
            column[np.frombuffer(self.text_records, dtype=np.uint32)] = self.texts
            column.flags.writeable = False
            self._text = column
        return self._text

    def meaning(self) -> npt.NDArray[np.object_]:
        if self._meaning is None:
            column = np.full(len(self.descriptor), None, dtype=object)
            if len(self.meanings):
                ids = np.frombuffer(self.meaning_ids, dtype=np.uint32)
                column[np.frombuffer(self.meaning_records, dtype=np.uint32)] = np.array(self.meanings, dtype=object)[ids]
            column.flags.writeable = False
            self._meaning = column
        return self._meaning

    def elements(self) -> tuple[list[int], npt.NDArray[np.int32]]:
        """The distinct descriptors and, per record, which of them it has."""
        if self._elements is None:
            codes, index = _columns.index_descriptors(self.descriptor)
            self._elements = (codes, np.frombuffer(index, dtype=np.int32))
        return self._elements


class Data:
    """The decoded records of one message (or of one subset of it), as columns.

    Every column is a read-only NumPy array of ``len(data)`` entries, one per
    record in decoding order, the same records ``decode_values_with_tables``
    returns for the message:

    - ``subset``: the subset number, from 1; ``descriptor``: the code (uint32);
    - ``value``: the number (float64), NaN where missing or not a number;
    - ``raw``: the integer read from the bits, masked where ``value`` is NaN;
    - ``text`` and ``meaning``: str or None;
    - ``key`` (the ecCodes key, such as "airTemperature"), ``name`` and
      ``unit`` of each record's element, each str shared by all its records.

    ``data[key_or_code]`` gives one value per subset (its first occurrence),
    ``data.get(key, rank=k)`` the k-th, and ``data.subsets()`` one view per
    subset.
    """

    __slots__ = ("message", "tables", "_parts", "_start", "_stop", "_subset_number")

    def __init__(self, message: Message, tables: TableSet, decoded: tuple[Any, ...] | _Parts,
                 start: int = 0, stop: int | None = None, subset_number: int | None = None) -> None:
        self.message = message
        self.tables = tables
        self._parts = decoded if isinstance(decoded, _Parts) else _Parts(decoded)
        self._start = start
        self._stop = len(self._parts) if stop is None else stop
        self._subset_number = subset_number

    def __len__(self) -> int:
        return self._stop - self._start

    def __repr__(self) -> str:
        which = f" subset {self._subset_number}" if self._subset_number is not None else ""
        return f"<tarvane.Data{which}: {len(self)} records, {self.number_of_subsets} subsets>"

    def __reduce__(self) -> tuple[object, ...]:
        # Decoding again is cheaper to ship than the arrays, and exact.
        return (_unpickle_data, (self.message, self.tables, self._subset_number))

    @property
    def number_of_subsets(self) -> int:
        return 1 if self._subset_number is not None else self._parts.subsets

    def _cut(self, column: npt.NDArray[Any]) -> npt.NDArray[Any]:
        if self._start == 0 and self._stop == len(column):
            return column
        return column[self._start : self._stop]

    @property
    def subset(self) -> npt.NDArray[np.uint32]:
        return self._cut(self._parts.subset)

    @property
    def descriptor(self) -> npt.NDArray[np.uint32]:
        return self._cut(self._parts.descriptor)

    @property
    def value(self) -> npt.NDArray[np.float64]:
        return self._cut(self._parts.value)

    @property
    def raw(self) -> np.ma.MaskedArray[Any, np.dtype[np.uint64]]:
        return np.ma.MaskedArray(self._cut(self._parts.raw), mask=np.isnan(self.value))

    @property
    def text(self) -> npt.NDArray[np.object_]:
        return self._cut(self._parts.text())

    @property
    def meaning(self) -> npt.NDArray[np.object_]:
        return self._cut(self._parts.meaning())

    def _element_column(self, which: str) -> npt.NDArray[np.object_]:
        codes, index = self._parts.elements()
        table = np.array([self._describe(code)[which] for code in codes] or [None], dtype=object)
        return table[self._cut(index)] if len(codes) else np.empty(len(self), dtype=object)

    def _describe(self, code: int) -> dict[str, str | None]:
        synthetic = _synthetic_name(code)
        if synthetic is not None:
            return {"key": synthetic, "name": synthetic, "unit": None}
        element = self.tables.get_element(code)
        if element is None:
            return {"key": None, "name": None, "unit": None}
        return {"key": element.abbreviation or None, "name": element.name, "unit": element.unit}

    @property
    def key(self) -> npt.NDArray[np.object_]:
        return self._element_column("key")

    @property
    def name(self) -> npt.NDArray[np.object_]:
        return self._element_column("name")

    @property
    def unit(self) -> npt.NDArray[np.object_]:
        return self._element_column("unit")

    # --- values by key --------------------------------------------------------

    def _matching(self, key: str | int) -> npt.NDArray[np.bool_]:
        codes, index = self._parts.elements()
        if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
            wanted = [i for i, code in enumerate(codes) if code == key]
        elif isinstance(key, str):
            wanted = [i for i, code in enumerate(codes) if self._describe(code)["key"] == key]
        else:
            raise TypeError(f"a key is a str or a descriptor code (int), not {type(key).__name__}")
        if not wanted:
            raise KeyError(key)
        return np.isin(self._cut(index), wanted)

    def get(self, key: str | int, rank: int = 1) -> npt.NDArray[Any]:
        """The rank-th occurrence (from 1) of key in each subset, as ecCodes' ``#rank#key``.

        Parameters
        ----------
        key : str or int
            An ecCodes key or a descriptor code.
        rank : int, optional
            Which occurrence in each subset, from 1.

        Returns
        -------
        numpy.ndarray
            One entry per subset: float64 (NaN where the subset has no such
            occurrence or its value is missing), or an object array of str
            and None when the element holds text.
        """
        if rank < 1:
            raise ValueError(f"rank counts from 1, not {rank}")
        positions = np.flatnonzero(self._matching(key))
        subsets = self.subset[positions].astype(np.int64)
        first_subset = 1 if self._subset_number is None else self._subset_number
        slot = subsets - first_subset
        # Records run subset after subset, so an occurrence's rank is its
        # distance from the first occurrence in its subset.
        starts = np.r_[0, np.flatnonzero(np.diff(slot)) + 1] if len(slot) else np.zeros(0, dtype=np.int64)
        group_start = np.repeat(starts, np.diff(np.r_[starts, len(slot)]))
        at_rank = np.arange(len(positions)) - group_start == rank - 1
        chosen = positions[at_rank]
        chosen_slot = slot[at_rank]
        n = self.number_of_subsets
        texts = self.text[chosen]
        if len(chosen) and any(t is not None for t in texts):
            result = np.full(n, None, dtype=object)
            result[chosen_slot] = texts
            return result
        numbers = np.full(n, np.nan)
        numbers[chosen_slot] = self.value[chosen]
        return numbers

    def __getitem__(self, key: str | int) -> npt.NDArray[Any]:
        return self.get(key, 1)

    def __contains__(self, key: object) -> bool:
        try:
            self._matching(key)  # type: ignore[arg-type]
        except (KeyError, TypeError):
            return False
        return True

    def keys(self) -> list[str]:
        """The distinct keys of the records, in order of first appearance."""
        codes, _ = self._parts.elements()
        seen: dict[str, None] = {}
        for code in codes:
            k = self._describe(code)["key"]
            if k is not None:
                seen.setdefault(k)
        return list(seen)

    def subsets(self) -> Iterator[Data]:
        """One view per subset (a Data of that subset's records), in order."""
        if self._subset_number is not None:
            yield self
            return
        subset = self._parts.subset
        bounds = np.searchsorted(subset, np.arange(1, self._parts.subsets + 2))
        for number in range(1, self._parts.subsets + 1):
            yield Data(self.message, self.tables, self._parts, int(bounds[number - 1]), int(bounds[number]), number)

    # --- as tables --------------------------------------------------------------

    def to_pandas(self) -> Any:
        """The records as a pandas DataFrame, one row per record (needs tarvane[pandas])."""
        from ._frames import data_to_pandas

        return data_to_pandas(self)

    def to_arrow(self) -> Any:
        """The records as a pyarrow Table, one row per record (needs tarvane[arrow])."""
        from ._frames import data_to_arrow

        return data_to_arrow(self)


def _unpickle_data(message: Message, tables: TableSet, subset_number: int | None) -> Data:
    data = message.decode(tables)
    if subset_number is None:
        return data
    for view in data.subsets():
        if view._subset_number == subset_number:
            return view
    raise ValueError(f"subset {subset_number} is gone")
