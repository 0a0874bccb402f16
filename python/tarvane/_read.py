"""tarvane.read: every message of a file, a buffer or a stream, in order."""

from __future__ import annotations

import builtins
import functools
import datetime as _dt
import io
import mmap
import os
import stat
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, Literal, Union

from . import _columns
from ._tables import TableChooser, TablesArg

if TYPE_CHECKING:
    from ._data import Data

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, mmap.mmap, BinaryIO]
ErrorPolicy = Literal["raise", "skip", "warn"]

# A stream is read this much at a time; a message longer than what is held
# makes the reader read on until it is whole (at most 2**24 - 1 octets).
CHUNK = 1 << 20

_HEADER_FIELDS = (
    "edition",
    "master_table_number",
    "originating_centre",
    "originating_subcentre",
    "update_sequence_number",
    "local_section_present",
    "data_category",
    "international_data_subcategory",
    "local_data_subcategory",
    "master_tables_version_number",
    "local_tables_version_number",
    "typical_year",
    "typical_month",
    "typical_day",
    "typical_hour",
    "typical_minute",
    "typical_second",
    "number_of_subsets",
    "observed_data",
    "compressed_data",
    "unexpanded_descriptors",
)


class Message:
    """One BUFR message of edition 3 or 4: its section 0, 1 and 3 fields and its octets.

    Header fields have the names of ``BufrMessage``; those that edition 3 does
    not have (``international_data_subcategory``, ``typical_second``) are None
    there. ``offset`` is where the message starts in its source, ``length`` its
    size in octets and ``source`` a name for the source (a path, or a word for
    buffers and streams). ``decode()`` gives its values as ``Data``.
    """

    # The header fields are read from one tuple (see the properties made
    # below the class): building a Message must cost less than decoding a
    # small one.
    __slots__ = ("_header", "offset", "length", "source", "bytes", "_chooser")

    edition: int
    master_table_number: int
    originating_centre: int
    originating_subcentre: int
    update_sequence_number: int
    local_section_present: bool
    data_category: int
    international_data_subcategory: int | None
    local_data_subcategory: int
    master_tables_version_number: int
    local_tables_version_number: int
    typical_year: int
    typical_month: int
    typical_day: int
    typical_hour: int
    typical_minute: int
    typical_second: int | None
    number_of_subsets: int
    observed_data: bool
    compressed_data: bool
    unexpanded_descriptors: list[int]
    offset: int
    length: int
    source: str
    bytes: builtins.bytes
    _header: tuple[Any, ...]
    _chooser: TableChooser

    def __init__(self, octets: builtins.bytes, *, offset: int = 0, source: str = "<bytes>", tables: TablesArg = None) -> None:
        """Parse one whole message (ValueError when it is not one)."""
        header = _columns.parse(octets)
        chooser = tables if isinstance(tables, TableChooser) else TableChooser(tables)
        # The slots' own setters: object.__setattr__ is refused.
        for set_field, value in zip(_SET_SLOTS, (header, offset, len(octets), source, bytes(octets), chooser)):
            set_field(self, value)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Message attributes are read-only ({name})")

    def __reduce__(self) -> tuple[object, ...]:
        # Tables are chosen again where the message is unpickled.
        return (_unpickle_message, (self.bytes, self.offset, self.source))

    @property
    def datetime(self) -> _dt.datetime | None:
        """The typical date and time of section 1, or None when they are not a valid date."""
        try:
            return _dt.datetime(
                self.typical_year,
                self.typical_month,
                self.typical_day,
                self.typical_hour,
                self.typical_minute,
                self.typical_second or 0,
            )
        except ValueError:
            return None

    def decode(self, tables: TablesArg = None) -> Data:
        """The values of every subset as NumPy columns.

        Decoding runs with the GIL released.

        Parameters
        ----------
        tables : TableSet, str, os.PathLike or None, optional
            A TableSet, an ecCodes definitions root, an ecCodes table
            directory or a WMO CSV folder; None takes the reader's choice (see
            ``tarvane.read``).

        Returns
        -------
        Data
            The records of the message.

        Raises
        ------
        ValueError
            When the message cannot be decoded, naming its source and offset.
        """
        chooser = self._chooser if tables is None else TableChooser(tables)
        table_set = chooser.tables_for(self)
        try:
            parts = _columns.decode(self.bytes, table_set)
        except ValueError as exc:
            raise ValueError(f"{self.source}: message at offset {self.offset}: {exc}") from exc
        return _data_class()(self, table_set, parts)

    def __repr__(self) -> str:
        return (
            f"<tarvane.Message {self.source} offset={self.offset} edition={self.edition} "
            f"category={self.data_category} centre={self.originating_centre} "
            f"subsets={self.number_of_subsets} compressed={self.compressed_data}>"
        )


_SET_SLOTS = tuple(Message.__dict__[name].__set__ for name in Message.__slots__)
_HEADER = Message.__dict__["_header"].__get__


def _header_field(i: int, name: str) -> property:
    def get(self: Message) -> Any:
        return _HEADER(self)[i]

    return property(get, doc=f"The header field {name}.")


for _i, _name in enumerate(_HEADER_FIELDS):
    setattr(Message, _name, _header_field(_i, _name))


@functools.cache
def _data_class() -> type[Data]:
    # NumPy is imported with the first decode, not with tarvane.
    from ._data import Data

    return Data


def _unpickle_message(octets: builtins.bytes, offset: int, source: str) -> Message:
    return Message(octets, offset=offset, source=source)


class _Window:
    """What a reader scans: the whole source in memory or mapped, or a moving piece of a stream."""

    def __init__(self, data: bytes | bytearray | memoryview | mmap.mmap, stream: BinaryIO | None = None) -> None:
        self.data = data
        self.base = 0  # the source offset of data[0]
        self.stream = stream
        self.eof = stream is None

    def read_more(self, at_least: int) -> None:
        """Read on from the stream: drop what was scanned, keep the rest."""
        assert self.stream is not None
        want = max(CHUNK, at_least)
        chunk = self.stream.read(want)
        if not chunk:
            self.eof = True
            return
        if isinstance(self.data, bytearray):
            self.data += chunk
        else:
            self.data = bytearray(chunk)

    def drop_before(self, position: int) -> int:
        """Forget data before position (a stream only); the new position of it."""
        if self.stream is None or position < CHUNK:
            return position
        assert isinstance(self.data, bytearray)
        del self.data[:position]
        self.base += position
        return 0


def _source_name(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    name = getattr(source, "name", None)
    if isinstance(name, str):
        return name
    return f"<{type(source).__name__}>"


def _check_policy(errors: str) -> None:
    if errors not in ("raise", "skip", "warn"):
        raise ValueError(f"errors must be 'raise', 'skip' or 'warn', not {errors!r}")


def read(source: Source, *, tables: TablesArg = None, errors: ErrorPolicy = "raise") -> Iterator[Message]:
    """Every BUFR message of a file, buffer or stream, edition 3 or 4, in order.

    Parameters
    ----------
    source : str, os.PathLike, bytes-like or binary file object
        A path; a bytes-like object (bytes, bytearray, memoryview, mmap); or
        a binary file object, read in pieces. Files are memory-mapped, so
        memory stays bounded by the largest message, not the file.
    tables : TableSet, str, os.PathLike or None, optional
        What ``Message.decode`` uses when it is given none: a TableSet, an
        ecCodes definitions root, an ecCodes table directory or a WMO CSV
        folder. By default the ecCodes definitions at
        /usr/share/eccodes/definitions when they hold the message's master
        table version, else the bundled tables. Each distinct set is loaded
        once.
    errors : {"raise", "skip", "warn"}, optional
        What a piece that starts with "BUFR" but is not a readable message (a
        damaged length, no 7777, an unsupported edition, a bad section) does:
        "raise" raises ValueError naming the source and the byte offset;
        "skip" leaves it out; "warn" leaves it out with a warning that says
        the same. The messages after it are read either way.

    Yields
    ------
    Message
        Each message, in the order of the source. Junk between messages is
        skipped.

    Raises
    ------
    ValueError
        For a damaged message under ``errors="raise"``.
    OSError
        When the source cannot be read.
    """
    _check_policy(errors)
    chooser = TableChooser(tables)
    name = _source_name(source)
    if isinstance(source, (str, os.PathLike)):
        return _read_path(os.fspath(source), name, chooser, errors)
    if isinstance(source, (bytes, bytearray, memoryview, mmap.mmap)):
        return _scan(_Window(source), name, chooser, errors)
    if hasattr(source, "read"):
        return _scan(_Window(bytearray(), source), name, chooser, errors)
    raise TypeError(
        f"source must be a path, a bytes-like object or a binary file, not {type(source).__name__}"
    )


def _read_path(path: str, name: str, chooser: TableChooser, errors: ErrorPolicy) -> Iterator[Message]:
    with open(path, "rb") as f:
        info = os.fstat(f.fileno())
        if stat.S_ISREG(info.st_mode) and info.st_size > 0:
            with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                yield from _scan(_Window(mapped), name, chooser, errors)
        elif stat.S_ISREG(info.st_mode):
            return
        else:
            # A pipe or device: read it as a stream.
            yield from _scan(_Window(bytearray(), f), name, chooser, errors)


def _fail(errors: ErrorPolicy, name: str, offset: int, problem: object) -> None:
    text = f"{name}: message at offset {offset}: {problem}"
    if errors == "raise":
        raise ValueError(text)
    if errors == "warn":
        warnings.warn(text, RuntimeWarning, stacklevel=4)


def _scan(window: _Window, name: str, chooser: TableChooser, errors: ErrorPolicy) -> Iterator[Message]:
    position = 0
    while True:
        if not window.eof and len(window.data) - position < 8:
            window.read_more(0)
            continue
        piece = _columns.next_piece(window.data, position)
        if piece is None:
            if window.eof:
                return
            # Keep three octets: a marker may straddle the chunks.
            position = window.drop_before(max(position, len(window.data) - 3))
            window.read_more(0)
            continue
        offset, length, problem, needs_more, declared = piece
        if needs_more and not window.eof:
            position = window.drop_before(offset)
            window.read_more(max(0, declared - (len(window.data) - position)))
            continue
        where = window.base + offset
        if problem is not None:
            _fail(errors, name, where, problem)
            position = offset + length
            continue
        octets = window.data[offset : offset + length]
        try:
            message = Message(octets, offset=where, source=name, tables=chooser)  # type: ignore[arg-type]
        except ValueError as exc:
            _fail(errors, name, where, exc)
            # A message that frames but does not parse is skipped whole.
        else:
            yield message
        position = window.drop_before(offset + length)
