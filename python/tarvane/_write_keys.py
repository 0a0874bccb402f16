"""The template form of encode: keys resolved to the template's values, in the order the writer takes them."""

from __future__ import annotations

import difflib
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import _encode
from ._write_header import template_header

if TYPE_CHECKING:
    from ._tables import TablesArg
    from ._tarvane import TableSet


class _Header:
    """What the table chooser reads of a message, for a message not yet written."""

    def __init__(self, fields: Mapping[str, int], edition: int, template: list[int]) -> None:
        self._header = (edition, fields["master_table_number"], fields["originating_centre"],
                        fields["originating_subcentre"], 0, False, 0, 0, 0,
                        fields["master_tables_version_number"], fields["local_tables_version_number"])
        self.unexpanded_descriptors = template


def _tables_for(tables: TablesArg, fields: Mapping[str, int], edition: int, template: list[int]) -> TableSet:
    from ._tables import TableChooser

    chooser = tables if isinstance(tables, TableChooser) else TableChooser(tables)
    probe: Any = _Header(fields, edition, template)
    return chooser.tables_for(probe)


class KeyIndex:
    """Which of the template's values each key names."""

    def __init__(self, plan: list[tuple[int, str | None]]) -> None:
        self.names: dict[str, int] = {}
        self.codes: dict[str, int] = {}
        counts: dict[int, int] = {}
        for i, (code, key) in enumerate(plan):
            if key is not None:
                self.names[key] = i
                if key.startswith("#1#"):
                    self.names.setdefault(key[3:], i)
            if code // 100000 == 0 or code % 1000 == 255 or code // 1000 == 205:
                counts[code] = counts.get(code, 0) + 1
                text = f"{code:06d}"
                self.codes[f"#{counts[code]}#{text}"] = i
                self.codes.setdefault(text, i)

    def index(self, key: str | int) -> int:
        if isinstance(key, int) and not isinstance(key, bool):
            key = f"{key:06d}"
        if not isinstance(key, str):
            raise TypeError(f"a key must be a str or a descriptor code, not {type(key).__name__}")
        found = self.names.get(key, self.codes.get(key))
        if found is not None:
            return found
        if "->" in key:
            raise KeyError(f"{key!r}: attribute names are not written from keys; give the template's "
                           "quality and statistics elements by their own keys (such as '#1#percentConfidence')")
        base = key.rpartition("#")[2]
        close = difflib.get_close_matches(key, list(self.names), n=3) or difflib.get_close_matches(
            base, [n for n in self.names if not n.startswith("#")], n=3)
        hint = f"; close matches: {', '.join(close)}" if close else ""
        raise KeyError(f"{key!r} is not a key of the template{hint}")


def _rows(subsets: Any) -> list[Mapping[Any, Any]]:
    if hasattr(subsets, "to_dict") and hasattr(subsets, "columns"):
        rows: list[Mapping[Any, Any]] = subsets.to_dict("records")
        return rows
    return list(subsets)


def _plain(value: Any) -> Any:
    # NumPy arrays and scalars as Python lists and numbers.
    tolist = getattr(value, "tolist", None)
    return tolist() if tolist is not None and not isinstance(value, (str, bytes)) else value


def encode_keyed(template: list[Any], subsets: Iterable[Mapping[Any, Any]] | Any, tables: TablesArg,
                 compressed: bool, edition: int, header: Mapping[str, int]) -> bytes:
    codes = [int(c) for c in template]
    rows = _rows(subsets)
    if not rows:
        raise ValueError("a message needs at least one subset")
    fields, header_tuple = template_header(header, rows[0], edition, compressed)
    table_set = _tables_for(tables, fields, edition, codes)
    keys = KeyIndex(_encode.plan(codes, table_set))
    indexed: list[dict[int, Any]] = []
    for row in rows:
        if not isinstance(row, Mapping):
            raise TypeError(f"each subset must be a mapping from keys to values, not {type(row).__name__}")
        indexed.append({keys.index(k): _plain(v) for k, v in row.items()})
    return _encode.encode(codes, table_set, indexed, header_tuple)


def plan_keys(template: Sequence[int], tables: TableSet) -> list[str]:
    """The "#k#key" names of the template's values, in writing order."""
    return [key for _, key in _encode.plan(list(template), tables) if key is not None]
