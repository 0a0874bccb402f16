"""The plain-text output: one line per message for ls, a table per subset for dump."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, TextIO

from .records import Attributes, Records, code_text, typical_date

if TYPE_CHECKING:
    from .._read import Message

LS_HEADER = [
    "FILE", "OFFSET", "EDITION", "CATEGORY", "CENTRE", "SUBCENTRE", "MASTER", "LOCAL",
    "SUBSETS", "COMPRESSED", "DATETIME", "DESCRIPTORS",
]


def escaped(text: str, quoted: bool = False) -> str:
    """A text with control and other unprintable characters written as escapes.

    In a quoted text the quote and the backslash are escaped as well.
    """
    if text.isprintable() and not (quoted and ('"' in text or "\\" in text)):
        return text
    out = []
    for ch in text:
        if quoted and ch in '\\"':
            out.append("\\" + ch)
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\0":
            out.append("\\0")
        elif "\udc80" <= ch <= "\udcff":
            # An octet of a name that is not UTF-8, as the file system has it.
            out.append(f"\\x{ord(ch) - 0xDC00:02x}")
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return "".join(out)


def value_text(value: Any) -> str:
    if value is None:
        return "missing"
    if isinstance(value, str):
        return f'"{escaped(value, quoted=True)}"'
    if isinstance(value, float) and not math.isfinite(value):
        return repr(value)
    return str(value)


class LsWriter:
    """ls lines, columns fixed up front so that lines stream out as messages are read."""

    def __init__(self, names: list[str], out: TextIO) -> None:
        self.out = out
        self.widths = [max([len("FILE")] + [len(escaped(n)) for n in names])]
        self.widths += [max(len(h), 3) for h in LS_HEADER[1:-1]]
        self.widths[1] = 10
        self.widths[-1] = len("2022-03-21T12:00:00")
        self.line(LS_HEADER)

    def line(self, cells: list[str]) -> None:
        # The file name left-aligned, the numbers right-aligned, then the
        # compression and the date, and the descriptors (of any length) last.
        w = self.widths
        parts = [cells[0].ljust(w[0])]
        parts += [cell.rjust(width) for cell, width in zip(cells[1:-3], w[1:-2])]
        parts += [cells[-3].ljust(w[-2]), cells[-2].ljust(w[-1])]
        self.out.write(("  ".join(parts) + "  " + cells[-1]).rstrip() + "\n")

    def message(self, message: Message) -> None:
        self.line([
            escaped(message.source),
            str(message.offset),
            str(message.edition),
            str(message.data_category),
            str(message.originating_centre),
            str(message.originating_subcentre),
            str(message.master_tables_version_number),
            str(message.local_tables_version_number),
            str(message.number_of_subsets),
            "yes" if message.compressed_data else "no",
            typical_date(message),
            " ".join(code_text(c) for c in message.unexpanded_descriptors),
        ])


def print_table(rows: list[list[str]], out: TextIO) -> None:
    """Rows as columns separated by two spaces, each as wide as its widest cell."""
    if not rows:
        return
    widths = [max(len(row[col]) for row in rows) for col in range(len(rows[0]))]
    for row in rows:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")


def dump_text(message: Message, number: int, records: Records, tables: str, out: TextIO) -> None:
    subsets = message.number_of_subsets
    out.write(
        f"== {escaped(message.source)}, message {number} at offset {message.offset}: "
        f"{subsets} subset{'' if subsets == 1 else 's'}, "
        f"{'compressed' if message.compressed_data else 'uncompressed'}, "
        f"edition {message.edition}, data category {message.data_category}, "
        f"centre {message.originating_centre}/{message.originating_subcentre}, "
        f"master table {message.master_table_number} version "
        f"{message.master_tables_version_number}, local version "
        f"{message.local_tables_version_number}, {typical_date(message)}\n"
    )
    out.write(f"   tables: {tables}\n")
    keys = records.element("key").tolist()
    names = records.element("name").tolist()
    units = records.element("unit").tolist()
    codes = records.code_texts()
    values = records.values()
    meanings = records.meaning.tolist()
    operators = records.is_operator().tolist()
    numbers = records.subset_numbers()
    bounds = records.subset_bounds(numbers).tolist()
    attributes = records.attributes()
    for i, subset in enumerate(numbers):
        rows = []
        for p, depth in _under_their_elements(bounds[i], bounds[i + 1], attributes):
            label = keys[p] or names[p] or ""
            if depth or (attributes is not None and attributes[1][p] is not None):
                label = "  " * depth + "->" + attributes[1][p]  # type: ignore[index]
            if operators[p]:
                rows.append([codes[p], label, "", "", ""])
                continue
            rows.append([
                codes[p],
                escaped(label),
                value_text(values[p]),
                escaped(units[p] or ""),
                escaped(meanings[p] or ""),
            ])
        out.write(f"-- subset {subset} of {subsets}\n")
        print_table(rows, out)
    out.write("\n")


def _under_their_elements(start: int, stop: int, attributes: Attributes | None) -> list[tuple[int, int]]:
    """The positions from start to stop with each attribute moved under what it
    qualifies (depth 1, its own attributes at depth 2, ...)."""
    if attributes is None:
        return [(p, 0) for p in range(start, stop)]
    refers_to = attributes[0][start:stop].tolist()
    children: dict[int, list[int]] = {}
    for p, target in enumerate(refers_to, start):
        if target >= 0:
            children.setdefault(target, []).append(p)
    order: list[tuple[int, int]] = []
    for p, target in enumerate(refers_to, start):
        if target >= 0:
            continue
        stack = [(p, 0)]
        while stack:
            q, depth = stack.pop()
            order.append((q, depth))
            stack.extend((c, depth + 1) for c in reversed(children.get(q, [])))
    return order
