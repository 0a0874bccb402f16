"""Data: one decoded message as NumPy columns, one entry per record."""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from . import _columns
from ._describe import ASSOCIATED_FIELD_CODE, describe
from ._long import data_to_arrow, data_to_pandas
from ._tarvane import TableSet

if TYPE_CHECKING:
    from ._read import Message

# What ecCodes calls a value read at each bitmap marker, as an attribute of
# the element the bitmap designates.
_MARKER_NAMES = {
    223255: "substitutedValue",
    224255: "firstOrderStatisticalValue",
    225255: "differenceStatisticalValue",
    232255: "replacedRetainedValue",
}
SIGNIFICANCE_CODE = 31021
_RANKED = re.compile(r"#(\d+)#(.+)")



class _Parts:
    """The arrays of one decoded message, shared by the message's Data and its subset views."""

    __slots__ = (
        "subsets", "_columns", "_arrays", "_positions", "_source", "_full", "text_records", "texts",
        "meaning_records", "meaning_ids", "meanings", "_text", "_meaning", "_elements", "_attributes",
        "attribute_names", "ranked", "element_tables", "records",
    )

    def __init__(self, decoded: tuple[Any, ...], source: tuple[bytes, TableSet]) -> None:
        (subsets, subset, descriptor, value, raw, text_records, texts, meaning_records, meaning_ids, meanings,
         positions) = decoded
        self.subsets: int = subsets
        self.records: int = len(value)
        # Each column becomes an array when first asked for: most readers
        # want a few of them, and each wrapping costs about a microsecond.
        # Absent ones (None) are made then: subset and descriptor of
        # compressed data from the positions every subset shares; raw and
        # the meanings, which the decoder leaves out unless asked, by
        # decoding again with them.
        self._columns: dict[str, Any] = {"subset": subset, "descriptor": descriptor, "value": value, "raw": raw}
        # The caches below are made when first used: a dict each would be
        # a tenth of what a small message's Data costs.
        self._arrays: dict[str, npt.NDArray[Any]] | None = None
        self._positions: Any = positions
        self._source = source
        self._full = raw is not None
        self.text_records: Any = text_records
        self.texts: list[str] = texts
        self.meaning_records: Any = meaning_records
        self.meaning_ids: Any = meaning_ids
        self.meanings: list[str] = meanings
        self._text: npt.NDArray[np.object_] | None = None
        self._meaning: npt.NDArray[np.object_] | None = None
        self._elements: tuple[list[int], npt.NDArray[np.int32]] | None = None
        self._attributes: tuple[npt.NDArray[np.int32], dict[int, str]] | None = None
        # Per attribute name: the records it qualifies (sorted) and the attributes, by whole-message index.
        self.attribute_names: dict[str, tuple[npt.NDArray[np.int32], npt.NDArray[np.intp]]] | None = None
        # Per key asked for: its records and the rank of each in its subset.
        self.ranked: dict[str | int, tuple[npt.NDArray[np.intp], npt.NDArray[np.int64]]] | None = None
        self.element_tables: dict[str, npt.NDArray[np.object_]] | None = None

    def __len__(self) -> int:
        return self.records

    def array(self, name: str) -> npt.NDArray[Any]:
        arrays = self._arrays
        if arrays is None:
            arrays = self._arrays = {}
        else:
            column = arrays.get(name)
            if column is not None:
                return column
        given = self._columns[name]
        if given is None:
            column = self._made(name)
        elif name == "raw":
            column = np.frombuffer(given, dtype=np.uint64)
        else:
            # The column's own format ("I", "d") is the dtype: asarray reads
            # it from the buffer at half frombuffer's cost.
            column = np.asarray(given)
        arrays[name] = column
        return column

    def _made(self, name: str) -> npt.NDArray[Any]:
        """A column the decoder left out, made as it would have been."""
        if name == "raw":
            self._complete()
            return np.frombuffer(self._columns["raw"], dtype=np.uint64)
        positions = np.frombuffer(self._positions, dtype=np.uint32)
        if name == "subset":
            made = np.repeat(np.arange(1, self.subsets + 1, dtype=np.uint32), len(positions))
        else:
            made = np.tile(positions, self.subsets)
        made.flags.writeable = False
        return made

    def _complete(self) -> None:
        """Raw and the meanings, from a decoding that gives them."""
        if not self._full:
            decoded = _columns.decode(*self._source, True)
            self._columns["raw"] = decoded[4]
            self.meaning_records, self.meaning_ids, self.meanings = decoded[7:10]
            self._full = True

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
            column = np.full(len(self), None, dtype=object)
            column[np.frombuffer(self.text_records, dtype=np.uint32)] = self.texts
            column.flags.writeable = False
            self._text = column
        return self._text

    def meaning(self) -> npt.NDArray[np.object_]:
        if self._meaning is None:
            self._complete()
            column = np.full(len(self), None, dtype=object)
            if len(self.meanings):
                ids = np.frombuffer(self.meaning_ids, dtype=np.uint32)
                column[np.frombuffer(self.meaning_records, dtype=np.uint32)] = np.array(self.meanings, dtype=object)[ids]
            column.flags.writeable = False
            self._meaning = column
        return self._meaning

    def elements(self) -> tuple[list[int], npt.NDArray[np.int32]]:
        """The distinct descriptors and, per record, which of them it has."""
        if self._elements is None:
            if self._positions is not None:
                # Every subset has the positions' descriptors.
                codes, index = _columns.index_descriptors(self._positions)
                tiled = np.tile(np.frombuffer(index, dtype=np.int32), self.subsets)
                tiled.flags.writeable = False
                self._elements = (codes, tiled)
            else:
                codes, index = _columns.index_descriptors(self.descriptor)
                self._elements = (codes, np.frombuffer(index, dtype=np.int32))
        return self._elements

    def attributes(self) -> tuple[npt.NDArray[np.int32], dict[int, str]]:
        """Per record the record it qualifies (-1: none), and the name of each record read at a bitmap marker."""
        if self._attributes is None:
            refers_to, records, operators = _columns.attributes(self.descriptor, self.value, self.subset)
            markers = np.frombuffer(records, dtype=np.uint32).tolist()
            names = [_MARKER_NAMES[op] for op in np.frombuffer(operators, dtype=np.uint32).tolist()]
            self._attributes = (np.frombuffer(refers_to, dtype=np.int32), dict(zip(markers, names)))
        return self._attributes


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

    ``tables_used`` says in words which tables decoded the message.

    ``data[key_or_code]`` gives one value per subset (its first occurrence),
    ``data.get(key, rank=k)`` or ``data["#k#key"]`` the k-th, and
    ``data.subsets()`` one view per subset. ``refers_to`` says which record
    each record qualifies (quality information, substituted values,
    statistics, associated fields), and ``data["#k#A->B"]`` gives attribute B
    of the k-th A.
    """

    __slots__ = ("message", "tables", "tables_used", "_parts", "_start", "_stop", "_subset_number")

    message: Message
    tables: TableSet
    tables_used: str
    _parts: _Parts
    _start: int
    _stop: int
    _subset_number: int | None

    def __init__(self, message: Message, tables: TableSet, decoded: tuple[Any, ...] | _Parts,
                 start: int = 0, stop: int | None = None, subset_number: int | None = None,
                 tables_used: str = "") -> None:
        parts = decoded if isinstance(decoded, _Parts) else _Parts(decoded, (message.bytes, tables))
        _fill_data(self, message, tables, parts, start, parts.records if stop is None else stop, subset_number,
                   tables_used)

    def __len__(self) -> int:
        return self._stop - self._start

    def __repr__(self) -> str:
        which = f" subset {self._subset_number}" if self._subset_number is not None else ""
        return f"<tarvane.Data{which}: {len(self)} records, {self.number_of_subsets} subsets>"

    def __reduce__(self) -> tuple[object, ...]:
        # Decoding again is cheaper to ship than the arrays, and exact.
        return (_unpickle_data, (self.message, self.tables, self._subset_number, self.tables_used))

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
        # _cut inlined: the one column nearly every reader asks for.
        column = self._parts.array("value")
        return column if self._start == 0 and self._stop == len(column) else column[self._start : self._stop]

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
        return self._element_table(which)[self._cut(index)] if len(codes) else np.empty(len(self), dtype=object)

    def _element_table(self, which: str) -> npt.NDArray[np.object_]:
        """One entry per distinct descriptor of the message."""
        tables = self._parts.element_tables
        if tables is None:
            tables = self._parts.element_tables = {}
        table = tables.get(which)
        if table is None:
            codes, _ = self._parts.elements()
            table = np.array([self._describe(code)[which] for code in codes] or [None], dtype=object)
            tables[which] = table
        return table

    def _describe(self, code: int) -> dict[str, str | None]:
        info = describe(self.tables, code)
        return {"key": info.key, "name": info.name, "unit": info.unit}

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
            keys = self._element_table("key").tolist() if codes else []
            wanted = [i for i, k in enumerate(keys) if k == key]
        else:
            raise TypeError(f"a key is a str or a descriptor code (int), not {type(key).__name__}")
        if not wanted:
            raise KeyError(key)
        return np.isin(self._cut(index), wanted)

    def get(self, key: str | int, rank: int = 1) -> npt.NDArray[Any]:
        """The rank-th occurrence (from 1) of key in each subset, as ecCodes' ``#rank#key``.

        One entry per subset: a float64 array (NaN where the subset has no
        such occurrence or its value is missing), or an object array of str
        and None when the element holds text. A key ``"A->B"`` gives the
        attribute B of that occurrence of A (for example
        ``"windSpeed->percentConfidence"`` or ``"airTemperature->associatedField"``),
        and chains such as ``"A->B->C"`` go down attribute by attribute.
        """
        if rank < 1:
            raise ValueError(f"rank counts from 1, not {rank}")
        base: str | int = key
        chain: list[str] = []
        if isinstance(key, str):
            base, *chain = key.split("->")
        chosen, chosen_slot = self._occurrences(base, rank)
        for name in chain:
            chosen, chosen_slot = self._attribute_of(chosen, chosen_slot, name)
        n = self.number_of_subsets
        texts = self.text[chosen]
        if len(chosen) and any(t is not None for t in texts):
            result = np.full(n, None, dtype=object)
            result[chosen_slot] = texts
            return result
        numbers = np.full(n, np.nan)
        numbers[chosen_slot] = self.value[chosen]
        return numbers

    def _occurrences(self, key: str | int, rank: int) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.int64]]:
        """The records of the rank-th occurrence of key, and the subset slot (from 0) of each."""
        positions, ranks = self._ranked(key)
        if self._start != 0 or self._stop != len(self._parts):
            lo, hi = np.searchsorted(positions, [self._start, self._stop])
            positions, ranks = positions[lo:hi] - self._start, ranks[lo:hi]
        chosen = positions[ranks == rank - 1]
        first_subset = 1 if self._subset_number is None else self._subset_number
        return chosen, self.subset[chosen].astype(np.int64) - first_subset

    def _ranked(self, key: str | int) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.int64]]:
        """Every record of key in the whole message and its rank (from 0) in its subset."""
        cache = self._parts.ranked
        if cache is None:
            cache = self._parts.ranked = {}
        found = cache.get(key)
        if found is None:
            whole = self if len(self) == len(self._parts) else Data(self.message, self.tables, self._parts)
            positions = np.flatnonzero(whole._matching(key))
            subsets = self._parts.subset[positions]
            # Records run subset after subset, so an occurrence's rank is its
            # distance from the first occurrence in its subset.
            starts = np.r_[0, np.flatnonzero(np.diff(subsets)) + 1] if len(subsets) else np.zeros(0, dtype=np.int64)
            group_start = np.repeat(starts, np.diff(np.r_[starts, len(subsets)]))
            found = cache[key] = (positions, np.arange(len(positions)) - group_start)
        return found

    def _attribute_of(self, records: npt.NDArray[np.intp], slots: npt.NDArray[np.int64],
                      name: str) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.int64]]:
        """The attribute called name of each of records, where it has one."""
        if name == "associatedFieldSignificance":
            # One significance stands for every associated field after it.
            candidates = np.flatnonzero(self.descriptor == SIGNIFICANCE_CODE)
            if not len(candidates):
                raise KeyError(name)
            found = np.searchsorted(candidates, records) - 1
            targets = candidates[np.maximum(found, 0)]
            keep = (found >= 0) & (self.descriptor[records] == ASSOCIATED_FIELD_CODE)
            keep &= self.subset[targets] == self.subset[records]
            return targets[keep], slots[keep]
        index = self._attribute_index()
        if name not in index:
            raise KeyError(name)
        qualified, named = index[name]
        # A record has at most one attribute of a name: the next one of the
        # same name qualifies that attribute.
        found = np.searchsorted(qualified, records + self._start)
        hit = found < len(qualified)
        hit[hit] = qualified[found[hit]] == records[hit] + self._start
        return named[found[hit]] - self._start, slots[hit]

    def _attribute_index(self) -> dict[str, tuple[npt.NDArray[np.int32], npt.NDArray[np.intp]]]:
        parts = self._parts
        if parts.attribute_names is None:
            refers_to, markers = parts.attributes()
            attributes = np.flatnonzero(refers_to >= 0)
            # Each attribute's name as a number (of the names in `numbers`,
            # None first): the elements' keys numbered once, then the names
            # the markers give. Numbers compare without Python per record.
            numbers: dict[str | None, int] = {None: 0}
            of_element = np.array([numbers.setdefault(k, len(numbers)) for k in self._element_table("key").tolist()],
                                  dtype=np.intp)
            codes = of_element[parts.elements()[1][attributes]]
            if markers:
                marked = np.searchsorted(attributes, np.fromiter(markers, dtype=np.int64, count=len(markers)))
                given = np.array(list(markers.values()), dtype=object)
                for name in set(given.tolist()):  # a few names for thousands of records
                    codes[marked[given == name]] = numbers.setdefault(name, len(numbers))
            found: dict[str, tuple[npt.NDArray[np.int32], npt.NDArray[np.intp]]] = {}
            present = np.bincount(codes, minlength=len(numbers))
            for name, number in numbers.items():
                if name is None or not present[number]:
                    continue
                named = attributes[codes == number]
                order = np.argsort(refers_to[named], kind="stable")
                found[name] = (refers_to[named][order], named[order])
            parts.attribute_names = found
        return parts.attribute_names

    def _chain_records(self, key: str) -> npt.NDArray[np.intp]:
        """The records of key at every rank; for ``"A->B"`` the B attributes of every A."""
        base, *chain = key.split("->")
        records = np.flatnonzero(self._matching(base))
        slots = np.zeros(len(records), dtype=np.int64)
        for name in chain:
            records, slots = self._attribute_of(records, slots, name)
        return np.sort(records)

    def _attribute_name_column(self) -> npt.NDArray[np.object_]:
        """Per record, the name it has as an attribute of another (None where it is none)."""
        codes, names = self._attribute_name_codes()
        column: npt.NDArray[np.object_] = np.array(names, dtype=object)[codes]
        return column

    def _attribute_name_codes(self) -> tuple[npt.NDArray[np.intp], list[str | None]]:
        """Per record, which of the names (None first) it has as an attribute: numbers to
        compare, where comparing the names themselves goes through Python per record."""
        codes = np.zeros(len(self._parts), dtype=np.intp)
        names: list[str | None] = [None]
        for name, (_, records) in self._attribute_index().items():
            codes[records] = len(names)
            names.append(name)
        return self._cut(codes), names

    @property
    def refers_to(self) -> npt.NDArray[np.int32]:
        """For every record the index (in this Data) of the record it qualifies, -1 where none.

        Quality values, substituted values, statistics read through a bitmap,
        class 33 elements and associated fields qualify a value; an attribute
        of an attribute (a repeated quality block) refers to that attribute.
        """
        refers_to = self._cut(self._parts.attributes()[0])
        if self._start == 0:
            return refers_to
        shifted = np.where(refers_to >= 0, refers_to - self._start, -1).astype(np.int32)
        shifted.flags.writeable = False
        return shifted

    def __getitem__(self, key: str | int) -> npt.NDArray[Any]:
        if isinstance(key, str):
            ranked = _RANKED.fullmatch(key)
            if ranked is not None:
                return self.get(ranked.group(2), int(ranked.group(1)))
        return self.get(key, 1)

    def __contains__(self, key: object) -> bool:
        try:
            if isinstance(key, str) and ("->" in key or key.startswith("#")):
                self[key]
            else:
                self._matching(key)  # type: ignore[arg-type]
        except (KeyError, TypeError, ValueError):
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

    def attribute_keys(self) -> list[str]:
        """The distinct attribute keys of the records ("windSpeed->percentConfidence",
        chains as "A->B->C"), in order of first appearance; each is a key of ``get``."""
        refers_to = self.refers_to.tolist()
        names = self._attribute_name_column().tolist()
        keys = self.key.tolist()
        seen: dict[str, None] = {}
        for record, target in enumerate(refers_to):
            if target < 0:
                continue
            path = [names[record]]
            while refers_to[target] >= 0:
                path.append(names[target])
                target = refers_to[target]
            if keys[target] is not None:
                seen.setdefault("->".join([keys[target], *reversed(path)]))
        if SIGNIFICANCE_CODE in self._parts.elements()[0]:
            # One significance stands for every associated field after it.
            for key in [k for k in seen if k.endswith("->associatedField")]:
                seen.setdefault(key + "->associatedFieldSignificance")
        return list(seen)

    def subsets(self) -> Iterator[Data]:
        """One view per subset (a Data of that subset's records), in order."""
        if self._subset_number is not None:
            yield self
            return
        subset = self._parts.subset
        bounds = np.searchsorted(subset, np.arange(1, self._parts.subsets + 2))
        for number in range(1, self._parts.subsets + 1):
            yield Data(self.message, self.tables, self._parts, int(bounds[number - 1]), int(bounds[number]), number,
                       self.tables_used)

    # --- as tables --------------------------------------------------------------

    def to_pandas(self) -> Any:
        """The records as a pandas DataFrame, one row per record (needs tarvane[pandas])."""
        return data_to_pandas(self)

    def to_arrow(self) -> Any:
        """The records as a pyarrow Table, one row per record (needs tarvane[arrow])."""
        return data_to_arrow(self)


def _fill_data(data: Data, message: Message, tables: TableSet, parts: _Parts, start: int, stop: int,
               subset_number: int | None, tables_used: str) -> None:
    data.message = message
    data.tables = tables
    # Which tables decoded the message, in words (as the command line's "tables:" line).
    data.tables_used = tables_used
    data._parts = parts
    data._start = start
    data._stop = stop
    data._subset_number = subset_number


# Data of a whole message as Message.decode makes it, in one native call:
# made from Python (the two classes called, or their slots set one by one),
# a small message's Data cost about a fifth of its whole read.
_columns.data_types(_Parts, Data)
decoded_data: Callable[[Message, bytes, TableSet, tuple[Any, ...], str], Data] = _columns.new_data


def _unpickle_data(message: Message, tables: TableSet, subset_number: int | None, tables_used: str = "") -> Data:
    data = message._decode_with(tables, tables_used)
    if subset_number is None:
        return data
    for view in data.subsets():
        if view._subset_number == subset_number:
            return view
    raise ValueError(f"subset {subset_number} is gone")
