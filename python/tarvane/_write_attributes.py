"""Values given by attribute name ("airTemperature->percentConfidence"): the bitmaps and quality values they imply.

A template's quality and statistics sections (2 22 000, 2 23 000, 2 24 000,
2 25 000, 2 32 000) are filled from the attributes given, subset by subset,
by replaying the template's layout the way a reader associates attributes:
a new bitmap designates, among the elements it covers (a delayed bitmap:
every element before its operator; a fixed one: the last N), those that
were given an attribute the section carries, in order; 2 37 000 designates
the same elements again. Each quality value or marker value of the section
then takes the next designated element's attribute (missing where that
element has none of that name).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

from ._data import _MARKER_NAMES as MARKER_NAMES

Layout = list[tuple[int, "str | None", int]]
Target = tuple[int, tuple[int, ...]]

_SECTIONS = (22, 23, 24, 25, 32)


def _x(code: int) -> int:
    return code // 1000 % 100


def _is_operator(code: int) -> bool:
    return code // 100000 == 2 and code % 1000 != 255 and _x(code) in (*_SECTIONS, 35, 36, 37)


def _absent(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _slot_name(code: int, key: str | None) -> str | None:
    if code // 100000 == 2:
        return MARKER_NAMES.get(code)
    return key.rpartition("#")[2] if key is not None and _x(code) == 33 else None


class Attributes:
    """The attribute names a template takes, and their values turned into its sections' values."""

    def __init__(self, layout: Layout) -> None:
        self.layout = layout
        self.plan_index: list[int] = []
        count = 0
        for code, _, _ in layout:
            self.plan_index.append(count)
            count += 0 if _is_operator(code) else 1
        self.names = {n for code, key, _ in layout if (n := _slot_name(code, key)) is not None}

    def check_name(self, key: str, names: list[str]) -> None:
        if len(set(names)) != 1:
            raise ValueError(f"{key!r}: a chain of attributes names one attribute repeated, "
                             f"such as 'airTemperature->percentConfidence->percentConfidence'")
        if names[0] not in self.names:
            offered = ", ".join(sorted(self.names)) or "none"
            raise KeyError(f"{key!r}: the template has no quality or statistics section giving "
                           f"{names[0]!r} (its attribute names: {offered})")

    def fill(self, row: dict[int, Any], given: list[tuple[str, int, str, Any]], subset: int) -> None:
        """Set row's bitmap, factor and attribute values from given [(key, target, name, value)]."""
        pending: dict[Target, dict[str, list[Any]]] = {}
        origin: dict[tuple[Target, str], str] = {}
        for key, target, name, value in given:
            for path, v in _flatten(value, ()):
                if not _absent(v):
                    pending.setdefault((target, path), {}).setdefault(name, []).append(v)
                    origin[(target, path), name] = key
        if not pending:
            return
        _Replay(self, row, pending, subset).run()
        left = [origin[t, n] for t, names in pending.items() for n, vs in names.items() if vs]
        if left:
            raise ValueError(f"{left[0]!r} in subset {subset}: no bitmap of the template designates that "
                             f"value (a fixed bitmap covers too few elements, or a reused one others)")


def _flatten(value: Any, path: tuple[int, ...]) -> list[tuple[tuple[int, ...], Any]]:
    if isinstance(value, (list, tuple)):
        return [item for r, v in enumerate(value) for item in _flatten(v, (*path, r))]
    return [(path, value)]


class _Replay:
    """One subset's walk over the layout: the elements a bitmap may cover, and the sections filled."""

    def __init__(self, attrs: Attributes, row: dict[int, Any], pending: dict[Target, dict[str, list[Any]]],
                 subset: int) -> None:
        self.layout, self.plan_index = attrs.layout, attrs.plan_index
        self.row, self.pending, self.subset = row, pending, subset
        self.history: list[Target] = []
        self.operator_anchor: int | None = None
        self.designated: list[Target] = []
        self.bitmap_started = False

    def run(self) -> None:
        i = 0
        while i < len(self.layout):
            code = self.layout[i][0]
            if _is_operator(code) and _x(code) in _SECTIONS:
                i = self.section(i)
            else:
                i = self.step(i, ())

    def value_at(self, i: int, path: tuple[int, ...]) -> Any:
        v = self.row.get(self.plan_index[i])
        for r in path:
            if not isinstance(v, list):
                break
            v = v[r] if r < len(v) else None
        return v

    def factor(self, i: int, end: int, path: tuple[int, ...]) -> int:
        given = self.value_at(i + 1, path)
        if isinstance(given, (int, float)) and not isinstance(given, bool) and not _absent(given):
            return int(given)
        for j in range(i + 2, end):
            v = self.value_at(j, path)
            if isinstance(v, list):
                return len(v)
        return 0

    def step(self, i: int, path: tuple[int, ...]) -> int:
        """Walk node i (a delayed replication: all of it) over the data part; the index after it."""
        code, _, end = self.layout[i]
        if code // 100000 == 1:
            n = self.factor(i, end, path)
            self.history.append((self.plan_index[i + 1], path))
            for r in range(n):
                j = i + 2
                while j < end:
                    j = self.step(j, (*path, r))
            return end
        if _is_operator(code):
            if _x(code) in _SECTIONS:
                raise ValueError(f"subset {self.subset}: attribute names are written for quality and statistics "
                                 "sections outside delayed replications only")
        elif not (code == 999999 or code % 1000 == 255 and code // 100000 == 2 or code // 1000 == 205
                  or code == 31031 and self.bitmap_started):
            self.history.append((self.plan_index[i], path))
        return i + 1

    def section(self, i: int) -> int:
        if self.operator_anchor is None:
            self.operator_anchor = len(self.history)
        anchor, i = self.operator_anchor, i + 1
        reuse = False
        if i < len(self.layout) and self.layout[i][0] in (236000, 237000):
            reuse = self.layout[i][0] == 237000
            anchor, i = len(self.history), i + 1
        if not reuse:
            i = self.bitmap(i, anchor)
        return self.slots(i)

    def bitmap(self, i: int, anchor: int) -> int:
        """Derive the bitmap at i over the elements before anchor; the index after it."""
        code, _, end = self.layout[i] if i < len(self.layout) else (0, None, 0)
        nodes: list[int]
        if code // 100000 == 1 and end == i + 3 and self.layout[i + 2][0] == 31031:
            size, nodes, after = anchor, [i + 2], end
            self.give(i + 1, size)
        else:
            after = i
            while after < len(self.layout) and self.layout[after][0] == 31031:
                after += 1
            size, nodes = after - i, list(range(i, after))
        if not nodes:
            raise ValueError(f"subset {self.subset}: a quality or statistics section given by attribute names "
                             "needs its bitmap of 031031 right after its operator")
        self.bitmap_started = True
        covered = self.history[max(anchor - size, 0):anchor]
        self.designated = [t for t in covered if any(self.pending.get(t, {}).values())]
        bits = [0 if t in self.designated else 1 for t in covered]
        if after == end and nodes == [i + 2]:
            self.give(nodes[0], bits)
        else:
            for node, bit in zip(nodes, bits + [1] * (len(nodes) - len(bits))):
                self.give(node, bit)
        return after

    def slots(self, i: int) -> int:
        """Give the section's attribute values to the designated elements in order; the index after them."""
        queue = list(self.designated)
        while i < len(self.layout) and not _is_operator(self.layout[i][0]):
            code, key, end = self.layout[i]
            group = _slot_name(*self.layout[i + 2][:2]) if code // 100000 == 1 and end == i + 3 else None
            if group is not None:
                self.give(i + 1, len(queue))
                self.history.append((self.plan_index[i + 1], ()))
                values = [self.take(t, group) for t in queue]
                if self.layout[i + 2][0] // 100000 != 2:
                    self.history.extend((self.plan_index[i + 2], (r,)) for r in range(len(queue)))
                self.give(i + 2, values)
                queue, i = [], end
            elif (slot := _slot_name(code, key)) is not None:
                if not queue:
                    raise ValueError(f"subset {self.subset}: more values of {slot!r} in the template than "
                                     "elements its bitmap designates")
                self.give(i, self.take(queue.pop(0), slot))
                if code // 100000 != 2:
                    self.history.append((self.plan_index[i], ()))
                i += 1
            else:
                i = self.step(i, ())
        return i

    def take(self, target: Target, name: str) -> Any:
        values = self.pending.get(target, {}).get(name)
        return values.pop(0) if values else None

    def give(self, i: int, value: Any) -> None:
        index = self.plan_index[i]
        if index in self.row and self.row[index] != value:
            raise ValueError(f"subset {self.subset}: a section's bitmap, factors and values come either from "
                             f"attribute names or by their own keys, not both ({self.layout[i][1]} given)")
        self.row[index] = value
