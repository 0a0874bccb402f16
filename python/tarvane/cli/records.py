"""The records of a decoded message that a command shows, as columns ready to print.

Everything is done a column at a time with NumPy and turned into Python
lists with ``tolist()``, so that the JSON encoder, not the interpreter,
does the per-value work.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from .._data import Data
    from .._read import Message

# Integral values below this are written as integers: a float64 holds them exactly.
EXACT_INTEGER = 2.0**53


@dataclass(frozen=True)
class Selection:
    """What --subset and --key keep; None keeps everything."""

    subsets: frozenset[int] | None = None
    keys: frozenset[str] | None = None

    def codes(self) -> frozenset[int]:
        """The keys given as six-digit descriptor codes."""
        return frozenset(int(k) for k in self.keys or () if k.isdigit() and len(k) == 6)


def code_text(code: int) -> str:
    return f"{code:06d}"


class Records:
    """The selected records of one message: columns in decoding order."""

    def __init__(self, data: Data, selection: Selection) -> None:
        descriptor = data.descriptor
        keep: npt.NDArray[np.bool_] | None = None
        if selection.subsets is not None:
            keep = np.isin(data.subset, np.fromiter(selection.subsets, dtype=np.int64))
        if selection.keys is not None:
            # Keys are str or None (tables without keys): compared one key at a time.
            key = data.key
            by_key = np.zeros(len(key), dtype=bool)
            for wanted in selection.keys:
                by_key |= np.equal(key, wanted)
            codes = selection.codes()
            if codes:
                by_key |= np.isin(descriptor, np.fromiter(codes, dtype=np.int64))
            keep = by_key if keep is None else keep & by_key
        self.data = data
        self.positions = None if keep is None else np.flatnonzero(keep)
        self.subset = self._cut(data.subset)
        self.descriptor = self._cut(descriptor)
        self.value = self._cut(data.value)
        self.text = self._cut(data.text)
        self.meaning = self._cut(data.meaning)
        self._element: dict[str, npt.NDArray[np.object_]] = {}

    def _cut(self, column: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return column if self.positions is None else column[self.positions]

    def __len__(self) -> int:
        return len(self.descriptor)

    def element(self, which: str) -> npt.NDArray[np.object_]:
        """The key, name or unit of each record."""
        column = self._element.get(which)
        if column is None:
            column = self._cut(getattr(self.data, which))
            self._element[which] = column
        return column

    def distinct(self) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.intp], npt.NDArray[np.intp]]:
        """The distinct descriptors (sorted), the first record of each, and per record which one it has."""
        codes, first, inverse = np.unique(self.descriptor, return_index=True, return_inverse=True)
        return codes, first, inverse.reshape(-1)

    def code_texts(self) -> list[str]:
        codes, _, inverse = self.distinct()
        return np.array([code_text(int(c)) for c in codes] or [""], dtype=object)[inverse].tolist()

    def values(self) -> list[Any]:
        """Per record: its text, its number (an int when integral), or None."""
        value = self.value
        missing = np.isnan(value)
        out = value.astype(object)
        integral = ~missing & (np.trunc(value) == value) & (np.abs(value) < EXACT_INTEGER)
        if integral.any():
            out[integral] = value[integral].astype(np.int64)
        out[missing] = None
        has_text = np.not_equal(self.text, None)
        if has_text.any():
            out[has_text] = self.text[has_text]
        result: list[Any] = out.tolist()
        return result

    def is_operator(self) -> npt.NDArray[np.bool_]:
        """Operator records: no data of their own (the characters of 2 05 YYY are data)."""
        return (self.descriptor // 100000 == 2) & np.equal(self.element("key"), "operator")

    def subset_bounds(self, numbers: Sequence[int]) -> npt.NDArray[np.intp]:
        """Where each of the subsets numbers starts, and where the last one ends."""
        return np.searchsorted(self.subset, np.r_[numbers, numbers[-1] + 1] if len(numbers) else [])

    def subset_numbers(self) -> list[int]:
        """The subsets that have selected records, in order."""
        numbers: list[int] = np.unique(self.subset).tolist()
        return numbers


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
