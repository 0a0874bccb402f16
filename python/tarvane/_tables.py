"""Which tables decode a message: a TableSet given, a directory named, or the bundled set."""

from __future__ import annotations

import copyreg
import functools
import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Union

from . import _bundle, _columns
from ._table_cache import TableCache
from ._tarvane import TableSet

if TYPE_CHECKING:
    from ._read import Message

# Where Debian's libeccodes-data installs the ecCodes definitions.
ECCODES_DEFINITIONS = "/usr/share/eccodes/definitions"
# Set, it names an ecCodes definitions root to read instead of the bundled set.
DEFINITION_PATH_VARIABLE = "ECCODES_DEFINITION_PATH"

TablesArg = Union[TableSet, str, "os.PathLike[str]", "TableChooser", None]

# The section 1 fields that choose master and local tables.
TableKey = tuple[int, int, int, int, int]

# Loaded sets are shared by every reader in the process (and so by every
# task a Dask worker runs): a set is read-only once loaded.
CACHE = TableCache()


def table_key(message: Message) -> TableKey:
    # Straight from the parsed header (master table number, centre,
    # sub-centre, ..., master and local versions): this runs per message.
    h = message._header
    return (h[1], h[9], h[10], h[2], h[3])


def local_name(version: int, local: int) -> str:
    # Master version 19 names its local folders "19-<local version>".
    return f"19-{local}" if version == 19 else str(local)


class _Bundled:
    """The set inside the package."""

    label = "bundled tables"

    def state(self) -> tuple[str, str]:
        return ("bundle", _bundle.digest())

    def versions(self, table: int) -> tuple[int, ...]:
        return _bundle.master_versions(table)

    def local_folder(self, key: TableKey, version: int) -> str | None:
        table, _, local, centre, subcentre = key
        name = f"{table}/local/{local_name(key[1], local)}/{centre}/{subcentre}"
        return name if local != 0 and _bundle.has_set(name) else None

    def load(self, key: TableKey, version: int) -> TableSet:
        names = [f"{key[0]}/wmo/{version}"]
        local = self.local_folder(key, version)
        if local is not None:
            names.append(local)
        return CACHE.get(("bundle", *names), lambda: _bundle.load(tuple(names)))

    def describe(self, key: TableKey, version: int, instead: str = "") -> str:
        text = f"{self.label}: WMO master table {key[0]} version {version}{instead}"
        if self.local_folder(key, version) is not None:
            text += f" and local tables version {key[2]} of centre {key[3]} sub-centre {key[4]}"
        return text


class _Root:
    """An ecCodes definitions root: bufr/tables/<table>/wmo/<version> and .../local/..."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.label = f"ecCodes definitions {root}"

    def state(self) -> tuple[str, str]:
        return ("root", self.root)

    def versions(self, table: int) -> tuple[int, ...]:
        folder = os.path.join(self.root, "bufr", "tables", str(table), "wmo")
        try:
            names = os.listdir(folder)
        except OSError:
            return ()
        return tuple(sorted(int(n) for n in names if n.isdigit()))

    def local_folder(self, key: TableKey, version: int) -> str | None:
        table, _, local, centre, subcentre = key
        name = f"bufr/tables/{table}/local/{local_name(version, local)}/{centre}/{subcentre}"
        return name if local != 0 and os.path.isdir(os.path.join(self.root, name)) else None

    def load(self, key: TableKey, version: int) -> TableSet:
        table, _, local, centre, subcentre = key

        def load() -> tuple[TableSet, int]:
            tables = _columns.load_definitions(self.root, table, version, local, centre, subcentre)
            return tables, len(_columns.dump_tables(tables))

        return CACHE.get(("root", self.root, table, version, local, centre, subcentre), load)

    def describe(self, key: TableKey, version: int, instead: str = "") -> str:
        text = f"{self.label}: bufr/tables/{key[0]}/wmo/{version}{instead}"
        local = self.local_folder(key, version)
        return text if local is None else f"{text} and {local}"


def environment_root() -> str | None:
    """The definitions root ECCODES_DEFINITION_PATH names (its first entry holding bufr/tables), or None."""
    value = os.environ.get(DEFINITION_PATH_VARIABLE)
    if not value:
        return None
    for entry in value.split(os.pathsep):
        if entry and os.path.isdir(os.path.join(entry, "bufr", "tables")):
            return entry
    raise ValueError(f"{DEFINITION_PATH_VARIABLE}={value!r} names no ecCodes definitions root (no bufr/tables)")


def _same_expansion(codes: list[int], a: TableSet, b: TableSet) -> bool:
    """Whether every descriptor the list expands to has the same width, scale, reference and members in a and b."""
    seen: set[int] = set()
    stack = list(codes)
    while stack:
        code = stack.pop()
        if code in seen:
            continue
        seen.add(code)
        f = code // 100000
        if f == 0:
            x, y = a.get_element(code), b.get_element(code)
            if (x is None) != (y is None) or (
                x is not None and y is not None and (x.width, x.scale, x.reference) != (y.width, y.scale, y.reference)
            ):
                return False
        elif f == 3:
            s, t = a.get_sequence(code), b.get_sequence(code)
            if s is None or t is None:
                if s is not t:
                    return False
                continue
            if s.members != t.members:
                return False
            stack.extend(s.members)
    return True


Chosen = tuple[TableSet, str]


class TableChooser:
    """Finds the TableSet for each message, loading each distinct set once.

    tables: a TableSet (used for every message); an ecCodes definitions root
    (the folder holding bufr/tables); an ecCodes table directory (holding
    element.table); a folder of the WMO BUFR4 CSV tables; or None, for the
    definitions root ECCODES_DEFINITION_PATH names when it is set, else the
    bundled set. A chooser pickles as its choice, so that another process
    decodes with the same tables.
    """

    def __init__(self, tables: TablesArg = None) -> None:
        self.fixed: TableSet | None = None
        self.fixed_label = ""
        self.source: _Bundled | _Root = _Bundled()
        # What each key (or, where the choice depends on the descriptors,
        # each key and descriptor list) this reader has met was given.
        self._chosen: dict[object, Chosen] = {}
        if isinstance(tables, TableChooser):
            self.fixed, self.fixed_label, self.source = tables.fixed, tables.fixed_label, tables.source
            return
        if tables is None:
            root = environment_root()
            if root is not None:
                self.source = _Root(root)
            return
        if isinstance(tables, TableSet):
            self.fixed, self.fixed_label = tables, "the TableSet given"
            return
        if not isinstance(tables, (str, os.PathLike)):
            raise TypeError(f"tables must be a TableSet, a path or None, not {type(tables).__name__}")
        path = os.fspath(tables)
        if os.path.isdir(os.path.join(path, "bufr", "tables")):
            self.source = _Root(path)
        elif os.path.isfile(os.path.join(path, "element.table")):
            self.fixed = _directory_tables(os.path.abspath(path), "eccodes")
            self.fixed_label = f"ecCodes table directory {path}"
        elif os.path.isdir(path) and any(n.startswith("BUFRCREX_TableB_en_") for n in os.listdir(path)):
            self.fixed = _directory_tables(os.path.abspath(path), "wmo-csv")
            self.fixed_label = f"WMO BUFR4 CSV tables {path} (no code tables)"
        else:
            raise ValueError(
                f"{path}: not an ecCodes definitions root (no bufr/tables), an ecCodes table "
                "directory (no element.table) or a folder of WMO BUFR4 CSV tables"
            )

    def __reduce__(self) -> tuple[Callable[..., TableChooser], tuple[object, ...]]:
        return (_restore_chooser, (self.fixed, self.fixed_label, None if self.fixed else self.source.state()))

    def tables_for(self, message: Message) -> TableSet:
        return self.choose(message)[0]

    def choose(self, message: Message) -> Chosen:
        """The message's TableSet and, in words, which tables it is."""
        if self.fixed is not None:
            return self.fixed, self.fixed_label
        h = message._header  # table_key, inlined: this runs per message
        key = (h[1], h[9], h[10], h[2], h[3])
        chosen = self._chosen.get(key)
        if chosen is not None:
            return chosen
        versions = self.source.versions(key[0])
        if key[1] in versions:
            chosen = (self.source.load(key, key[1]), self.source.describe(key, key[1]))
            self._remember(key, chosen)
            return chosen
        codes = tuple(message.unexpanded_descriptors)
        chosen = self._chosen.get((key, codes))
        if chosen is None:
            chosen = self._newer(message, key, versions, codes)
            self._remember((key, codes), chosen)
        return chosen

    def missing_local(self, message: Message) -> str | None:
        """Why local descriptors may be missing: the message's local tables are not in the source."""
        if self.fixed is not None:
            return None
        key = table_key(message)
        if key[2] == 0 or self.source.local_folder(key, key[1]) is not None:
            return None
        return (f"the message names local tables version {key[2]} of centre {key[3]} sub-centre {key[4]}, "
                f"which the {self.source.label} lack")

    def _remember(self, key: object, chosen: Chosen) -> None:
        if len(self._chosen) >= 1024:
            self._chosen.clear()
        self._chosen[key] = chosen

    def _newer(self, message: Message, key: TableKey, versions: tuple[int, ...], codes: tuple[int, ...]) -> Chosen:
        # A version the source lacks is read with the next newer one only
        # when every descriptor the message uses is the same in the versions
        # on both sides of it: then the tables between did not change them.
        version = key[1]
        older = [v for v in versions if v < version]
        newer = [v for v in versions if v > version]
        why = ", none newer" if not newer else ", none older to compare with"
        if older and newer:
            low, high = older[-1], newer[0]
            if _same_expansion(list(codes), self.source.load(key, low), self.source.load(key, high)):
                instead = (f" for version {version} (every descriptor of the message is the same in versions "
                           f"{low} and {high})")
                return (self.source.load(key, high), self.source.describe(key, high, instead))
            why = f", and the message's descriptors differ between versions {low} and {high}"
        have = f"versions {versions[0]} to {versions[-1]}" if versions else "no version"
        raise ValueError(
            f"{message.source}: message at offset {message.offset}: needs master table {key[0]} version "
            f"{version}; the {self.source.label} have {have} of table {key[0]}{why}; pass tables= with that version"
        )


def _restore_chooser(fixed: TableSet | None, label: str, state: tuple[str, str] | None) -> TableChooser:
    # Not through __init__: the receiving process's environment must not choose.
    chooser = TableChooser.__new__(TableChooser)
    chooser.fixed, chooser.fixed_label, chooser.source, chooser._chosen = fixed, label, _Bundled(), {}
    if state is None:
        return chooser
    kind, value = state
    if kind == "root":
        chooser.source = _Root(value)
    elif value != _bundle.digest():
        raise ValueError(f"these messages were read with bundled tables {value}; this tarvane bundles "
                         f"{_bundle.digest()}: install the same tarvane here")
    return chooser


@functools.lru_cache(maxsize=16)
def _directory_tables(path: str, kind: str) -> TableSet:
    if kind == "eccodes":
        return TableSet.from_eccodes(path)
    return TableSet.from_bufr4_45(path)


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
