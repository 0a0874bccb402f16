"""What the tarvane command reads: the messages of files, and tables for them."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TextIO

from . import _tarvane
from ._defaults import BUNDLED_TABLES_DIR, default_tables
from ._tarvane import BufrMessage, TableSet

PROG = "tarvane"

# Where Debian's libeccodes-data installs the ecCodes definitions.
ECCODES_DEFINITIONS = "/usr/share/eccodes/definitions"

MARKER = b"BUFR"


class Failures:
    """Reports failures on standard error and remembers that one happened."""

    def __init__(self, err: TextIO) -> None:
        self.err = err
        self.count = 0

    def report(self, where: str, error: object) -> None:
        self.count += 1
        self.err.write(f"{PROG}: {where}: {error}\n")
        self.err.flush()


@dataclass
class Piece:
    """One stretch of a file that starts at a BUFR marker."""

    offset: int
    data: bytes | None  # the message bytes; None when its framing is unusable
    error: str | None = None


def split_pieces(data: bytes) -> Iterator[Piece]:
    """Cut a buffer at its BUFR markers by their declared total lengths.

    The cut is the decoder's own (a marker, the 3-byte length at +4, the next
    search after the message), except that a marker whose length cannot be
    used is reported and skipped instead of ending the scan, so that one
    damaged message does not hide the ones after it.
    """
    size = len(data)
    pos = 0
    while size - pos >= 4:
        start = data.find(MARKER, pos)
        if start < 0:
            return
        if start + 8 > size:
            yield Piece(start, None, "message is too short to be BUFR")
            return
        length = int.from_bytes(data[start + 4 : start + 7], "big")
        if length == 0:
            yield Piece(start, None, "message is too short to be BUFR")
            pos = start + len(MARKER)
            continue
        if start + length > size:
            # The length is damaged or the file was cut short: look for the
            # next marker inside the bad stretch rather than give up on it.
            yield Piece(start, None, f"section 0 at offset {start} is truncated")
            pos = start + len(MARKER)
            continue
        yield Piece(start, data[start : start + length])
        pos = start + length


def read_input(name: str) -> bytes:
    if name == "-":
        return sys.stdin.buffer.read()
    with open(name, "rb") as f:
        return f.read()


def messages_of(
    names: Sequence[str], failures: Failures
) -> Iterator[tuple[str, int, bytes, BufrMessage]]:
    """Every message of every file that parses, in file order; the others are reported."""
    for name in names:
        try:
            data = read_input(name)
        except OSError as exc:
            failures.report(name, exc.strerror or exc)
            continue
        found = False
        for piece in split_pieces(data):
            found = True
            where = f"{name}: offset {piece.offset}"
            if piece.data is None:
                failures.report(where, piece.error)
                continue
            try:
                message = _tarvane.parse_bytes(piece.data)
            except ValueError as exc:
                failures.report(where, exc)
                continue
            yield name, piece.offset, piece.data, message
        if not found:
            failures.report(name, "no BUFR message found")


def local_table_name(message: BufrMessage) -> str:
    if message.master_tables_version_number == 19:
        return f"19-{message.local_tables_version_number}"
    return str(message.local_tables_version_number)


class TableChooser:
    """Picks the tables for each message, as the command-line options say."""

    def __init__(
        self, tables: str | None = None, definitions: str | None = None, wmo_csv: str | None = None
    ) -> None:
        """At most one of: an ecCodes table directory, a definitions root, a WMO CSV directory."""
        self.fixed: tuple[TableSet, str] | None = None
        self.definitions = definitions
        self.cache: dict[tuple[int, ...], tuple[TableSet, str]] = {}
        self.bundled: tuple[TableSet, str] | None = None
        if tables is not None:
            self.fixed = (TableSet.from_eccodes(tables), f"ecCodes table directory {tables}")
        elif wmo_csv is not None:
            self.fixed = (
                TableSet.from_bufr4_45(wmo_csv),
                f"WMO BUFR4 CSV tables {wmo_csv} (no code tables)",
            )

    def tables_for(self, message: BufrMessage) -> tuple[TableSet, str]:
        if self.fixed is not None:
            return self.fixed
        if self.definitions is not None:
            return self.from_definitions(self.definitions, message)
        master = os.path.join(
            ECCODES_DEFINITIONS,
            "bufr",
            "tables",
            str(message.master_table_number),
            "wmo",
            str(message.master_tables_version_number),
        )
        if os.path.exists(master):
            return self.from_definitions(ECCODES_DEFINITIONS, message)
        if self.bundled is None:
            self.bundled = (
                default_tables(),
                f"bundled WMO BUFR4 v45 tables {BUNDLED_TABLES_DIR} (no code tables)",
            )
        return self.bundled

    def from_definitions(self, root: str, message: BufrMessage) -> tuple[TableSet, str]:
        key = (
            message.master_table_number,
            message.master_tables_version_number,
            message.local_tables_version_number,
            message.originating_centre,
            message.originating_subcentre,
        )
        cached = self.cache.get(key)
        if cached is not None:
            return cached
        tables = TableSet.from_definitions(root, message)
        label = (
            f"ecCodes definitions {root}: bufr/tables/{message.master_table_number}"
            f"/wmo/{message.master_tables_version_number}"
        )
        if message.local_tables_version_number != 0:
            local = (
                f"bufr/tables/{message.master_table_number}/local/{local_table_name(message)}"
                f"/{message.originating_centre}/{message.originating_subcentre}"
            )
            if os.path.isdir(os.path.join(root, local)):
                label += f" and {local}"
        self.cache[key] = (tables, label)
        return tables, label
