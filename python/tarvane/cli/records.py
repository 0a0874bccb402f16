"""The records of a decoded message that a command shows, as columns ready to print.

Everything is done a column at a time with NumPy and turned into Python
lists with ``tolist()``, so that the JSON encoder, not the interpreter,
does the per-value work.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from .._describe import describe

if TYPE_CHECKING:
    from .._data import Data
    from .._read import Message

# Integral values below this are written as integers: a float64 holds them exactly.
EXACT_INTEGER = 2.0**53


class Attributes(NamedTuple):
    """What Records.attributes gives, one entry per record."""

    refers_to: npt.NDArray[np.int64]
    names: npt.NDArray[np.object_]
    codes: npt.NDArray[np.intp]  # equal codes, equal names (0: not an attribute)


class Selection(NamedTuple):
    """What --subset and --key keep; None keeps everything."""

    subsets: frozenset[int] | None = None
    keys: frozenset[str] | None = None

    def codes(self) -> frozenset[int]:
        """The keys given as six-digit descriptor codes."""
        return frozenset(int(k) for k in self.keys or () if k.isdigit() and len(k) == 6)


def code_text(code: int) -> str:
    return f"{code:06d}"


class Records:
    """The selected records of one message: columns in decoding order.

    What depends on the descriptor alone (key, name, unit, whether it holds
    text or has a code table) is worked out once per distinct descriptor and
    spread to the records by index, never compared record by record.
    """

    def __init__(self, data: Data, selection: Selection) -> None:
        self.data = data
        # The message's own index, shared with its Data (compressed data: tiled from one subset's).
        codes, index = data._parts.elements()
        self.codes: list[int] = codes
        self.elements = [describe(data.tables, code) for code in codes]
        which = data._cut(index)
        keep: npt.NDArray[np.bool_] | None = None
        if selection.subsets is not None:
            keep = np.isin(data.subset, np.fromiter(selection.subsets, dtype=np.int64))
        if selection.keys is not None:
            wanted_codes = selection.codes()
            wanted = [i for i, (c, e) in enumerate(zip(codes, self.elements))
                      if e.key in selection.keys or c in wanted_codes]
            by_key = np.isin(which, wanted)
            for key in selection.keys:
                if "->" in key:
                    by_key[_attribute_records(data, key)] = True
            keep = by_key if keep is None else keep & by_key
        self.positions = None if keep is None else np.flatnonzero(keep)
        self.which = self._cut(which)
        self.subset = self._cut(data.subset)
        self.descriptor = self._cut(data.descriptor)
        self.value = self._cut(data.value)
        self._text: npt.NDArray[np.object_] | None = None
        self._meaning: npt.NDArray[np.object_] | None = None
        self._element: dict[str, npt.NDArray[np.object_]] = {}

    def _cut(self, column: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return column if self.positions is None else column[self.positions]

    def __len__(self) -> int:
        return len(self.descriptor)

    def _per_code(self, values: list[Any], dtype: Any = object) -> npt.NDArray[Any]:
        column: npt.NDArray[Any] = np.array(values or [None], dtype=dtype)[self.which]
        return column

    @property
    def text(self) -> npt.NDArray[np.object_]:
        if self._text is None:
            self._text = self._cut(self.data.text)
        return self._text

    @property
    def meaning(self) -> npt.NDArray[np.object_]:
        if self._meaning is None:
            self._meaning = self._cut(self.data.meaning)
        return self._meaning

    def element(self, which: str) -> npt.NDArray[np.object_]:
        """The key, name or unit of each record."""
        column = self._element.get(which)
        if column is None:
            column = self._per_code([getattr(e, which) for e in self.elements])
            self._element[which] = column
        return column

    def present(self) -> list[bool]:
        """Per code: whether a selected record has it."""
        if self.positions is None and self.data._start == 0 and self.data._stop == len(self.data._parts):
            return [True] * len(self.codes)  # the codes are those of these records
        present = np.zeros(len(self.codes), dtype=bool)
        present[self.which] = True
        flags: list[bool] = present.tolist()
        return flags

    def code_texts(self, start: int = 0, stop: int | None = None) -> list[str]:
        """The six-digit code of each record from start to stop."""
        texts = np.array([code_text(c) for c in self.codes] or [""], dtype=object)
        return texts[self.which[start:stop]].tolist()  # type: ignore[no-any-return]

    def element_is_text(self) -> npt.NDArray[np.bool_]:
        """Per record: whether its element holds text (the only records that can)."""
        return self._per_code([e.is_text for e in self.elements], bool)

    def has_text(self) -> bool:
        """Whether any selected record holds text (missing text included)."""
        texts = [i for i, e in enumerate(self.elements) if e.is_text]
        if not texts:
            return False
        return self.positions is None or bool(np.isin(self.which, texts).any())

    def meanings(self) -> dict[int, dict[str, str]]:
        """The meanings met, by descriptor and then by code figure (as text, a JSON key).

        The meanings are the records' own (a flag value means its set bits);
        a meaning follows from the descriptor and the integer read, so each
        distinct pair is taken once however many records have it. Missing
        values have no figure to key them by.
        """
        parts = self.data._parts
        parts._complete()  # the meanings, where the decoding left them out
        # The records that have a meaning, from the decoder's own list
        # rather than by comparing every record's meaning with None.
        records = np.frombuffer(parts.meaning_records, dtype=np.uint32).astype(np.intp) - self.data._start
        ids = np.frombuffer(parts.meaning_ids, dtype=np.uint32)
        inside = (records >= 0) & (records < len(self.data))
        records, ids = records[inside], ids[inside]
        if self.positions is not None:
            at = np.searchsorted(self.positions, records)
            kept = at < len(self.positions)
            kept[kept] = self.positions[at[kept]] == records[kept]
            records, ids, positions = records[kept], ids[kept], at[kept]
        else:
            positions = records
        present = ~np.isnan(self.value[positions])
        records, ids, positions = records[present], ids[present], positions[present]
        if not len(positions):
            return {}
        # Unmasked, from the parts: Data.raw would import numpy.ma for nothing.
        figures = self.data._cut(parts.raw)[records]
        which = self.which[positions].astype(np.uint64)
        if int(figures.max()) < 1 << 40:
            _, first = np.unique(which << np.uint64(40) | figures, return_index=True)
            ids, which, figures = ids[first], which[first], figures[first]
        texts = parts.meanings
        out: dict[int, dict[str, str]] = {}
        for code_index, figure, text in zip(which.tolist(), figures.tolist(), ids.tolist()):
            out.setdefault(self.codes[code_index], {})[str(figure)] = texts[text]
        return out

    def attributes(self) -> Attributes | None:
        """Per record, the position among these records of the one it qualifies (-1: none),
        its name as an attribute and a number for that name; None when no record is an
        attribute. Where what an attribute qualifies is not selected, it goes to the nearest
        selected record up its chain, and its name to the path from there
        (``"percentConfidence->percentConfidence"``)."""
        # Only a record that refers to another is an attribute: most messages have none.
        if not len(self) or int(self._cut(self.data.refers_to).max()) < 0:
            return None
        all_codes, distinct = self.data._attribute_name_codes()
        codes = self._cut(all_codes)
        if not codes.any():
            return None
        names = np.array(distinct, dtype=object)[all_codes]
        kept = self._cut(names)
        full = self.data.refers_to.astype(np.int64)
        if self.positions is None:
            return Attributes(full, kept, codes)
        selected = np.zeros(len(full), dtype=bool)
        selected[self.positions] = True
        refers_to = np.full(len(self.positions), -1, dtype=np.int64)
        paths = kept.copy()
        place = np.full(len(full), -1, dtype=np.int64)
        place[self.positions] = np.arange(len(self.positions))
        for i, record in enumerate(self.positions.tolist()):
            target = int(full[record])
            path = [names[record]] if target >= 0 else []
            while target >= 0 and not selected[target]:
                path.append(names[target])
                target = int(full[target])
            if target >= 0:
                refers_to[i] = place[target]
            if path:
                paths[i] = "->".join(reversed(path))
        # The paths numbered afresh: a path is a name of its own.
        numbers: dict[str | None, int] = {None: 0}
        path_codes = np.fromiter((numbers.setdefault(p, len(numbers)) for p in paths.tolist()), dtype=np.intp,
                                 count=len(paths))
        return Attributes(refers_to, paths, path_codes)

    def values(self) -> list[Any]:
        """Per record: its text, its number (an int when integral), or None."""
        values: list[Any] = python_values(self.value, self.text if self.has_text() else None)
        return values

    def is_operator(self) -> npt.NDArray[np.bool_]:
        """Operator records: no data of their own (the characters of 2 05 YYY are data)."""
        operator: npt.NDArray[np.bool_] = np.array([e.key == "operator" for e in self.elements] or [False])[self.which]
        return operator

    def subset_bounds(self, numbers: Sequence[int]) -> npt.NDArray[np.intp]:
        """Where each of the subsets numbers starts, and where the last one ends."""
        return np.searchsorted(self.subset, np.r_[numbers, numbers[-1] + 1] if len(numbers) else [])

    def subset_numbers(self) -> list[int]:
        """The subsets that have selected records, in order (the column is sorted)."""
        subset = self.subset
        starts = np.ones(len(subset), dtype=bool)
        starts[1:] = subset[1:] != subset[:-1]
        numbers: list[int] = subset[starts].tolist()
        return numbers


def _attribute_records(data: Data, key: str) -> npt.NDArray[np.intp]:
    try:
        return data._chain_records(key)
    except KeyError:
        return np.zeros(0, dtype=np.intp)


def python_values(value: npt.NDArray[np.float64], text: npt.NDArray[np.object_] | None) -> Any:
    """The values as nested lists of the array's shape: a text, a number (an int
    when integral, which JSON writes shorter and faster) or None when missing."""
    missing = np.isnan(value)
    integral = ~missing & (np.trunc(value) == value) & (np.abs(value) < EXACT_INTEGER)
    if text is None and integral.all():
        # The common case, straight to Python ints without an object array.
        return value.astype(np.int64).tolist()
    out = np.empty(value.shape, dtype=object)
    out[...] = value
    if integral.any():
        out[integral] = value[integral].astype(np.int64)
    out[missing] = None
    if text is not None:
        has_text = text != None  # noqa: E711 - elementwise
        if has_text.any():
            out[has_text] = text[has_text]
    return out.tolist()


def python_rows(value: npt.NDArray[np.float64], text: npt.NDArray[np.object_] | None) -> list[Any]:
    """python_values of a 2-D table, row by row, each row by the quickest way that fits it."""
    if text is not None or len(value) < 2:
        return python_values(value, text)  # type: ignore[no-any-return]
    whole = (np.trunc(value) == value) & (np.abs(value) < EXACT_INTEGER)  # False for NaN
    plain = whole.all(axis=1)
    if plain.all() or not plain.any():
        return python_values(value, None)  # type: ignore[no-any-return]
    rows: list[Any] = [None] * len(value)
    for indexes, part in ((np.flatnonzero(plain), value[plain].astype(np.int64).tolist()),
                          (np.flatnonzero(~plain), python_values(value[~plain], None))):
        for i, row in zip(indexes.tolist(), part):
            rows[i] = row
    return rows


def header_fields(message: Message) -> dict[str, Any]:
    """The message's place and section 1 and 3 fields, as JSON takes them."""
    return {
        "file": message.source,
        "offset": message.offset,
        "length": message.length,
        "edition": message.edition,
        "master_table_number": message.master_table_number,
        "originating_centre": message.originating_centre,
        "originating_subcentre": message.originating_subcentre,
        "update_sequence_number": message.update_sequence_number,
        "data_category": message.data_category,
        "international_data_subcategory": message.international_data_subcategory,
        "local_data_subcategory": message.local_data_subcategory,
        "master_tables_version_number": message.master_tables_version_number,
        "local_tables_version_number": message.local_tables_version_number,
        "datetime": typical_date(message),
        "number_of_subsets": message.number_of_subsets,
        "observed_data": message.observed_data,
        "compressed_data": message.compressed_data,
        "unexpanded_descriptors": [code_text(c) for c in message.unexpanded_descriptors],
    }


def typical_date(message: Message) -> str:
    """Section 1's date and time as written, valid or not (edition 3 has no seconds).

    For a valid date this is ``message.datetime.isoformat()``.
    """
    return (
        f"{message.typical_year:04d}-{message.typical_month:02d}-{message.typical_day:02d}"
        f"T{message.typical_hour:02d}:{message.typical_minute:02d}:{message.typical_second or 0:02d}"
    )
