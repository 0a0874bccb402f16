"""The tables that ship inside the package: every WMO master version and the centres' local tables.

tables/bundle/index.json names, for each set ("0/wmo/13", "0/local/1/98/0"),
the pieces of tables/bundle/pieces.bin to insert in order; a piece is one
source file's entries in the core's byte form, zlib-compressed, stored once
however many versions share it. tools/build_tables.py writes both.
"""

from __future__ import annotations

import functools
import json
import os
import threading
import zlib
from typing import Any

from . import _columns
from ._tarvane import TableSet

# os.path, not pathlib: importing pathlib would be most of `import tarvane`.
BUNDLE_DIR = os.path.join(os.path.dirname(os.path.realpath(__file__)), "tables", "bundle")
FORMAT = 1


def _missing(what: str) -> FileNotFoundError:
    return FileNotFoundError(f"the bundled tables are {what} ({BUNDLE_DIR}); reinstall tarvane")


@functools.cache
def index() -> dict[str, Any]:
    try:
        with open(os.path.join(BUNDLE_DIR, "index.json"), encoding="utf-8") as f:
            found: dict[str, Any] = json.load(f)
    except FileNotFoundError:
        raise _missing("missing") from None
    except ValueError:
        raise _missing("damaged") from None
    if found.get("format") != FORMAT:
        raise _missing(f"of format {found.get('format')!r}, not {FORMAT}")
    return found


def digest() -> str:
    """Names this bundle: equal digests, equal tables."""
    return str(index()["digest"])


@functools.cache
def master_versions(table: int) -> tuple[int, ...]:
    prefix = f"{table}/wmo/"
    return tuple(sorted(int(name[len(prefix):]) for name in index()["sets"] if name.startswith(prefix)))


def has_set(name: str) -> bool:
    return name in index()["sets"]


@functools.cache
def _stored() -> bytes:
    # 2.5 MB, read once: every set is made of its pieces.
    with open(os.path.join(BUNDLE_DIR, "pieces.bin"), "rb") as f:
        return f.read()


# Pieces already decompressed, by number. The versions share most of their
# pieces (the sets of the two corpora ask for 8,205 pieces, 1,194 of them
# distinct), so a reader meeting several versions decompresses each once.
# Bounded: emptied when it would hold more than this many octets.
PIECE_CACHE_OCTETS = 32 << 20
_pieces: dict[int, bytes] = {}
_pieces_octets = 0
_pieces_lock = threading.Lock()  # sets may be loaded on several threads at once


def _piece(number: int) -> bytes:
    global _pieces_octets
    piece = _pieces.get(number)
    if piece is None:
        offset, length = index()["pieces"][number]
        try:
            piece = zlib.decompress(_stored()[offset : offset + length])
        except zlib.error:
            raise _missing("damaged") from None
        with _pieces_lock:
            if _pieces_octets + len(piece) > PIECE_CACHE_OCTETS:
                _pieces.clear()
                _pieces_octets = 0
            if number not in _pieces:
                _pieces[number] = piece
                _pieces_octets += len(piece)
    return piece


def load(names: tuple[str, ...]) -> tuple[TableSet, int]:
    """The sets named, each inserted over the ones before, and the size of their byte form."""
    sets = index()["sets"]
    pieces = [_piece(number) for name in names for number in sets[name]]
    tables: TableSet = _columns.load_table_layers(pieces)
    return tables, sum(len(p) for p in pieces)
