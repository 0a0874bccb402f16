"""tarvane.read: every message of a file, a buffer or a stream, in order."""

from __future__ import annotations

import builtins
import datetime as _dt
import errno
import mmap
import os
import stat
import warnings
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, Literal, Union

from . import _columns
from ._tables import TableChooser, TablesArg

if TYPE_CHECKING:
    from ._data import Data
    from ._parallel import Ahead
    from ._tarvane import TableSet

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, mmap.mmap, BinaryIO]
ErrorPolicy = Literal["raise", "skip", "warn"]

# A stream is read this much at a time; a message longer than what is held
# makes the reader read on until it is whole (at most 2**24 - 1 octets).
CHUNK = 1 << 20
# How far a stream may run without a message (see read's max_gap).
MAX_GAP = 64 << 20

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
    __slots__ = ("_header", "offset", "length", "source", "bytes", "_chooser", "_ahead")

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
    _ahead: Ahead | None

    def __init__(self, octets: builtins.bytes, *, offset: int = 0, source: str = "<bytes>", tables: TablesArg = None) -> None:
        """Parse one whole message (ValueError when it is not one)."""
        chooser = tables if isinstance(tables, TableChooser) else TableChooser(tables)
        _fill(self, _columns.parse(octets), offset, bytes(octets), source, chooser)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Message attributes are read-only ({name})")

    def __reduce__(self) -> tuple[object, ...]:
        # The reader's table choice travels with the message: where it is
        # unpickled it decodes with the same tables.
        return (_unpickle_message, (self.bytes, self.offset, self.source, self._chooser))

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

        tables: a TableSet, an ecCodes definitions root, an ecCodes table
        directory or a WMO CSV folder; None takes the reader's choice (see
        ``tarvane.read``). Decoding runs with the GIL released.
        """
        ahead = self._ahead
        if ahead is not None and tables is None:
            # Decoded by the reader's pool: handed over once, so the message
            # does not keep the arrays alive after. (A reader closed early
            # cancels what had not started: that is decoded here.)
            _SET_AHEAD(self, None)
            if not ahead.cancelled():
                table_set, parts, used = ahead.result(self)
                return self._data(table_set, parts, used)
        chooser = self._chooser if tables is None else TableChooser(tables)
        table_set, used = chooser.choose(self)
        # _decode_parts and _data inlined: this runs once per message.
        try:
            parts = _columns.decode(self.bytes, table_set, False)
        except ValueError as exc:
            raise self._reading_error(exc, used, chooser) from exc
        return _make_data(self, self.bytes, table_set, parts, used)

    def _decoded_ahead(self, future: Ahead) -> None:
        # The reader's pool fills the future; the first decode() takes it.
        _SET_AHEAD(self, future)

    def _decode_with(self, table_set: TableSet, used: str, chooser: TableChooser | None = None) -> Data:
        return self._data(*self._decode_parts(table_set, used, chooser))

    def _data(self, table_set: TableSet, parts: tuple[Any, ...], used: str) -> Data:
        return _make_data(self, self.bytes, table_set, parts, used)

    def _decoded_whole(self) -> Data:
        """decode(), with raw and the meanings at once: for readers that show every record's."""
        if self._ahead is not None:
            return self.decode()
        table_set, used = self._chooser.choose(self)
        return self._data(*self._decode_parts(table_set, used, self._chooser, full=True))

    def _decode_parts(
        self, table_set: TableSet, used: str, chooser: TableChooser | None = None, full: bool = False
    ) -> tuple[TableSet, tuple[Any, ...], str]:
        try:
            return table_set, _columns.decode(self.bytes, table_set, full), used
        except ValueError as exc:
            raise self._reading_error(exc, used, chooser) from exc

    def _reading_error(self, exc: ValueError, used: str, chooser: TableChooser | None) -> ValueError:
        text = str(exc)
        if "was not found in Table" in text:
            # Say which tables lacked it, and why they were the ones taken.
            why = chooser.missing_local(self) if chooser is not None else None
            text = f"{text} (tables: {used}{'; ' + why if why else ''})"
        return ValueError(f"{self.source}: message at offset {self.offset}: {text}")

    def __repr__(self) -> str:
        return (
            f"<tarvane.Message {self.source} offset={self.offset} edition={self.edition} "
            f"category={self.data_category} centre={self.originating_centre} "
            f"subsets={self.number_of_subsets} compressed={self.compressed_data}>"
        )


# The slots' own setters: object.__setattr__ is refused.
(_SET_HEADER, _SET_OFFSET, _SET_LENGTH, _SET_SOURCE, _SET_BYTES, _SET_CHOOSER, _SET_AHEAD) = (
    Message.__dict__[name].__set__ for name in Message.__slots__
)
_HEADER = Message.__dict__["_header"].__get__
# The reader's messages are made by _columns.frame, which fills these slots.
_columns.message_type(Message, tuple(Message.__dict__[name] for name in Message.__slots__))


def _fill(message: Message, header: tuple[Any, ...], offset: int, octets: builtins.bytes, source: str,
          chooser: TableChooser) -> None:
    # One call per slot, unrolled: this is most of what a small message costs
    # the reader besides its parse.
    _SET_HEADER(message, header)
    _SET_OFFSET(message, offset)
    _SET_LENGTH(message, len(octets))
    _SET_SOURCE(message, source)
    _SET_BYTES(message, octets)
    _SET_CHOOSER(message, chooser)
    _SET_AHEAD(message, None)


def _header_field(i: int, name: str) -> property:
    def get(self: Message) -> Any:
        return _HEADER(self)[i]

    return property(get, doc=f"The header field {name}.")


for _i, _name in enumerate(_HEADER_FIELDS):
    setattr(Message, _name, _header_field(_i, _name))


def _first_data(message: Message, octets: builtins.bytes, table_set: TableSet, parts: tuple[Any, ...],
                used: str) -> Data:
    # NumPy is imported with the first decode, not with tarvane; after it,
    # _make_data is the maker itself (a cached lookup per decode cost a
    # twentieth of a small message's).
    global _make_data
    from ._data import decoded_data

    _make_data = decoded_data
    return decoded_data(message, octets, table_set, parts, used)


_make_data: Callable[[Message, builtins.bytes, TableSet, tuple[Any, ...], str], Data] = _first_data


def _unpickle_message(octets: builtins.bytes, offset: int, source: str, chooser: TableChooser | None = None) -> Message:
    return Message(octets, offset=offset, source=source, tables=chooser)


class _Window:
    """What a reader scans: a buffer in memory, or a moving piece of a stream.

    A stream is read CHUNK octets at a time and what was scanned is dropped,
    so memory stays bounded by the largest message. max_gap (None for a
    source whose size bounds it) is how far a stream may run without a
    message before the reader gives up.
    """

    def __init__(
        self,
        data: bytes | bytearray | memoryview | mmap.mmap,
        stream: BinaryIO | None = None,
        max_gap: int | None = None,
        damage: tuple[type[BaseException], ...] = (),
        opened: bool = False,
    ) -> None:
        self.data = data
        self.base = 0  # the source offset of data[0]
        self.stream = stream
        self.eof = stream is None
        self.max_gap = max_gap
        self.damage = damage  # what a damaged compressed stream raises
        self.problem: str | None = None  # why the stream ended early
        self.opened = opened  # a file the reader opened itself
        self.spare = bytearray()

    def read_more(self, at_least: int, name: str) -> None:
        """Read on from the stream: drop what was scanned, keep the rest."""
        assert self.stream is not None
        want = max(CHUNK, at_least)
        try:
            chunk = self._read(want)
        except self.damage as exc:
            self.problem = f"compressed data is damaged ({exc})"
            self.eof = True
            return
        if chunk is None:
            raise BlockingIOError(
                errno.EAGAIN,
                f"{name}: the stream had no data ready at offset {self.base + len(self.data)} "
                "(a non-blocking stream); the messages after it were not read",
            )
        if not chunk:
            self.eof = True
            return
        if isinstance(self.data, bytearray):
            self.data += chunk
        else:
            self.data = bytearray(chunk)

    def _read(self, want: int) -> bytes | memoryview | None:
        # Into one reused buffer where the stream can: fresh memory for
        # every chunk would cost more than the read itself.
        # (Only in the files the reader opened: a caller's stream may offer
        # a readinto that its read does not back.)
        assert self.stream is not None
        if not self.opened:
            return self.stream.read(want)
        if len(self.spare) < want:
            self.spare = bytearray(want)
        n = self.stream.readinto(memoryview(self.spare)[:want])  # type: ignore[attr-defined]
        return None if n is None else memoryview(self.spare)[:n]

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
        return os.fsdecode(os.fspath(source))
    name = getattr(source, "name", None)
    if isinstance(name, str):
        return name
    return f"<{type(source).__name__}>"


def _check_policy(errors: str) -> None:
    if errors not in ("raise", "skip", "warn"):
        raise ValueError(f"errors must be 'raise', 'skip' or 'warn', not {errors!r}")


def read(
    source: Source,
    *,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
    max_gap: int | None = MAX_GAP,
    threads: int | None = None,
) -> Iterator[Message]:
    """Every BUFR message of source, edition 3 or 4, in order.

    source: a path (``.gz``, ``.bz2`` and ``.xz`` files are decompressed as
    they are read); a bytes-like object (bytes, bytearray, memoryview, mmap,
    or any C-contiguous buffer, read as its octets); or a binary file object.
    Files and streams are read in pieces, so memory stays bounded by the
    largest message (16 MiB), not the file, and a file cut or rewritten while
    it is read ends like a damaged one.

    Junk between messages is skipped. A piece that starts with "BUFR" but is
    not a readable message (a damaged length, no 7777, an unsupported
    edition, a bad section) is handled by errors: "raise" raises ValueError
    naming the source and the byte offset; "skip" leaves it out; "warn" leaves
    it out with a warning that says the same. The messages after it are read
    either way.

    max_gap: a stream, pipe, device or compressed file that runs more than
    this many octets (64 MiB) past its last message without another ends in
    ValueError "{source}: no BUFR message in the {max_gap} octets after offset
    {offset}", under every errors policy; None reads on without a bound. A
    regular file and a buffer are bounded by their size and not checked.

    tables: what Message.decode uses when it is given none: a TableSet, an
    ecCodes definitions root, an ecCodes table directory or a WMO CSV folder;
    by default the tables bundled with tarvane (every WMO master version from
    2 to 45 and the local tables of the centres ecCodes carries), or the
    definitions root ECCODES_DEFINITION_PATH names when it is set. Each
    message is decoded with its own master table version (see the documentation,
    "Reading and tables"). Each distinct set is loaded once.

    threads: with N > 1, messages ahead of the one yielded are decoded in
    chunks by a pool of N - 1 threads (the decoding runs with the GIL
    released), and each message's first ``decode()`` without tables takes
    its result; every N-th chunk is left to ``decode()`` in the caller's
    thread, which makes the N-th. Messages are still yielded in order. None
    or 1 decodes only on ``decode()``, in the caller's thread.
    """
    _check_policy(errors)
    from ._parallel import decode_ahead, positive_or_none, threads_argument

    gap = positive_or_none("max_gap", max_gap)
    workers = threads_argument(threads)
    chooser = TableChooser(tables)
    messages = _messages(source, _source_name(source), chooser, errors, gap)
    return messages if workers == 1 else decode_ahead(messages, workers)


def _messages(
    source: Source, name: str, chooser: TableChooser, errors: ErrorPolicy, gap: int | None
) -> Iterator[Message]:
    if isinstance(source, (str, os.PathLike)):
        return _read_path(os.fspath(source), name, chooser, errors, gap)
    if isinstance(source, (bytes, bytearray, memoryview, mmap.mmap)):
        return _scan(_Window(_octets(source)), name, chooser, errors)
    if hasattr(source, "read"):
        return _scan(_Window(bytearray(), source, gap), name, chooser, errors)
    try:
        view = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"source must be a path, a bytes-like object or a binary file, not {type(source).__name__}"
        ) from None
    return _scan(_Window(_octets(view)), name, chooser, errors)


def _octets(data: bytes | bytearray | memoryview | mmap.mmap) -> bytes | bytearray | memoryview | mmap.mmap:
    """A buffer as its octets: a memoryview of wider items or of several dimensions is cast."""
    if not isinstance(data, memoryview):
        return data
    if not data.c_contiguous:
        raise TypeError("a memoryview source must be C-contiguous")
    return data if data.format == "B" and data.ndim == 1 else data.cast("B")


_COMPRESSED = {".gz": "gzip", ".bz2": "bz2", ".xz": "lzma"}


def _read_path(
    path: str | bytes, name: str, chooser: TableChooser, errors: ErrorPolicy, max_gap: int | None
) -> Iterator[Message]:
    suffix = os.path.splitext(os.fsdecode(path))[1].lower()
    if suffix in _COMPRESSED:
        yield from _read_compressed(path, _COMPRESSED[suffix], name, chooser, errors, max_gap)
        return
    # Read, never mapped: a file cut while it is read must not fault.
    with open(path, "rb", buffering=0) as f:
        regular = stat.S_ISREG(os.fstat(f.fileno()).st_mode)
        # A regular file's size bounds the gap; a pipe or device may not end.
        window = _Window(bytearray(), f, None if regular else max_gap, opened=True)
        yield from _scan(window, name, chooser, errors)


def _read_compressed(
    path: str | bytes, module: str, name: str, chooser: TableChooser, errors: ErrorPolicy, max_gap: int | None
) -> Iterator[Message]:
    import importlib
    import zlib

    opener = importlib.import_module(module)
    # What each raises for data it cannot decompress (bz2: a plain OSError).
    damage: tuple[type[BaseException], ...] = {
        "gzip": (EOFError, zlib.error, getattr(opener, "BadGzipFile", OSError)),
        "bz2": (EOFError, OSError),
        "lzma": (EOFError, getattr(opener, "LZMAError", OSError)),
    }[module]
    with opener.open(path, "rb") as f:
        yield from _scan(_Window(bytearray(), f, max_gap, damage, opened=True), name, chooser, errors)


def _fail(errors: ErrorPolicy, name: str, offset: int, problem: object) -> None:
    text = f"{name}: message at offset {offset}: {problem}"
    if errors == "raise":
        raise ValueError(text)
    if errors == "warn":
        warnings.warn(text, RuntimeWarning, stacklevel=4)


def _over_gap(window: _Window, at: int, junk_from: int, name: str) -> None:
    if window.max_gap is not None and at - junk_from > window.max_gap:
        raise ValueError(f"{name}: no BUFR message in the {window.max_gap} octets after offset {junk_from}")


def _scan(window: _Window, name: str, chooser: TableChooser, errors: ErrorPolicy) -> Iterator[Message]:
    position = 0
    junk_from = 0  # the source offset where the last message ended
    # A buffer neither drops what was scanned nor has a gap to check: per
    # message, those calls would cost as much as the framing.
    stream = window.stream is not None
    gap = window.max_gap is not None
    while True:
        if stream and position >= CHUNK:
            position = window.drop_before(position)
        if gap:
            _over_gap(window, window.base + position, junk_from, name)
        if not window.eof and len(window.data) - position < 8:
            window.read_more(0, name)
            continue
        piece = _columns.frame(window.data, position, window.base, name, chooser)
        if piece is None:
            if window.eof:
                break
            # Keep three octets: a marker may straddle the chunks.
            position = window.drop_before(max(position, len(window.data) - 3))
            window.read_more(0, name)
            continue
        offset, length, problem, needs_more, declared, message = piece
        if gap:
            _over_gap(window, window.base + offset, junk_from, name)
        if needs_more and not window.eof:
            position = window.drop_before(offset)
            window.read_more(max(0, declared - (len(window.data) - position)), name)
            continue
        where = window.base + offset
        position = offset + length
        if problem is not None:
            # A message that frames but does not parse is skipped whole.
            _fail(errors, name, where, problem)
            continue
        yield message
        junk_from = where + length
    if window.problem is not None:
        _fail(errors, name, window.base + len(window.data), window.problem)
