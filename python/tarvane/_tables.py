"""Which tables decode a message: a TableSet given, a directory named, or the default."""

from __future__ import annotations

import copyreg
import functools
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Union

from . import _columns
from ._tarvane import TableSet

if TYPE_CHECKING:
    from ._read import Message

# Where Debian's libeccodes-data installs the ecCodes definitions.
ECCODES_DEFINITIONS = "/usr/share/eccodes/definitions"

TablesArg = Union[TableSet, str, "os.PathLike[str]", None]

# The section 1 fields that choose master and local tables.
TableKey = tuple[int, int, int, int, int]


def table_key(message: Message) -> TableKey:
    # Straight from the parsed header (master table number, centre,
    # sub-centre, ..., master and local versions): this runs per message.
    h = message._header
    return (h[1], h[9], h[10], h[2], h[3])


# Loaded sets are shared by every reader in the process (and so by every
# task a Dask worker runs): a set is read-only once loaded. Bounded, because
# a long-running service may meet many centres and versions.
@functools.lru_cache(maxsize=64)
def _definitions_tables(root: str, key: TableKey) -> TableSet:
    master, version, local, centre, subcentre = key
    tables: TableSet = _columns.load_definitions(root, master, version, local, centre, subcentre)
    return tables


@functools.lru_cache(maxsize=16)
def _directory_tables(path: str, kind: str) -> TableSet:
    if kind == "eccodes":
        return TableSet.from_eccodes(path)
    return TableSet.from_bufr4_45(path)


@functools.lru_cache(maxsize=1)
def _bundled() -> TableSet:
    from ._defaults import default_tables

    return default_tables()


def has_master(root: str, master: int, version: int) -> bool:
    return os.path.isdir(os.path.join(root, "bufr", "tables", str(master), "wmo", str(version)))


class TableChooser:
    """Finds the TableSet for each message, loading each distinct set once.

    tables: a TableSet (used for every message); an ecCodes definitions root
    (the folder holding bufr/tables); an ecCodes table directory (holding
    element.table); a folder of the WMO BUFR4 CSV tables; or None, for the
    ecCodes definitions at /usr/share/eccodes/definitions when they hold the
    message's master table version, else the bundled WMO tables.
    """

    def __init__(self, tables: TablesArg = None) -> None:
        self.fixed: TableSet | None = None
        self.root: str | None = None
        # The set chosen for each key this reader has met: choosing again
        # asks the file system whether the master version is there.
        self._chosen: dict[TableKey, TableSet] = {}
        if tables is None:
            return
        if isinstance(tables, TableSet):
            self.fixed = tables
            return
        if not isinstance(tables, (str, os.PathLike)):
            raise TypeError(f"tables must be a TableSet, a path or None, not {type(tables).__name__}")
        path = os.fspath(tables)
        if os.path.isdir(os.path.join(path, "bufr", "tables")):
            self.root = path
        elif os.path.isfile(os.path.join(path, "element.table")):
            self.fixed = _directory_tables(os.path.abspath(path), "eccodes")
        elif os.path.isdir(path) and any(n.startswith("BUFRCREX_TableB") for n in os.listdir(path)):
            self.fixed = _directory_tables(os.path.abspath(path), "wmo-csv")
        else:
            raise ValueError(
                f"{path}: not an ecCodes definitions root (no bufr/tables), an ecCodes table "
                "directory (no element.table) or a folder of WMO BUFR4 CSV tables"
            )

    def tables_for(self, message: Message) -> TableSet:
        if self.fixed is not None:
            return self.fixed
        key = table_key(message)
        chosen = self._chosen.get(key)
        if chosen is None:
            chosen = self._choose(key)
            if len(self._chosen) >= 64:
                self._chosen.clear()
            self._chosen[key] = chosen
        return chosen

    def _choose(self, key: TableKey) -> TableSet:
        if self.root is not None:
            return _definitions_tables(self.root, key)
        if has_master(ECCODES_DEFINITIONS, key[0], key[1]):
            return _definitions_tables(ECCODES_DEFINITIONS, key)
        return _bundled()


# TableSet pickles as the core's byte form of the set (workers get the loaded
# set, not paths to read again); the tasks of a worker that receive the same
# set share one copy.
@functools.lru_cache(maxsize=8)
def _load_tables(data: bytes) -> TableSet:
    tables: TableSet = _columns.load_tables(data)
    return tables


def _reduce_tables(tables: TableSet) -> tuple[Callable[[bytes], TableSet], tuple[bytes]]:
    return (_load_tables, (_columns.dump_tables(tables),))


copyreg.pickle(TableSet, _reduce_tables)
