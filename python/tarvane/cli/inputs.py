"""What the tarvane command reads: its arguments as sources, and their messages.

Failures are reported on standard error with the file and byte offset and
the reading goes on; the command's exit status says whether any happened.
"""

from __future__ import annotations

import sys
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple, TextIO

from .._read import _source_name, read
from .._sources import expand_item

if TYPE_CHECKING:
    from .._data import Data
    from .._read import Message

PROG = "tarvane"


class Failures:
    """Reports failures on standard error and counts them."""

    def __init__(self, err: TextIO) -> None:
        self.err = err
        self.count = 0
        self.bar: Any = None  # a tqdm bar to print around, while one is shown

    def report(self, text: object) -> None:
        from .text import escaped

        self.count += 1
        # File names and texts from the data reach a terminal here.
        line = f"{PROG}: {escaped(str(text))}"
        if self.bar is not None:
            self.bar.write(line, file=self.err)
        else:
            self.err.write(line + "\n")
            self.err.flush()


# Named tuples, not dataclasses: the dataclasses module (and inspect under
# it) is a tenth of the command's start-up.
class Source(NamedTuple):
    name: str  # as the reader names it in its messages
    target: str | BinaryIO
    explicit: bool  # named by the user, so finding nothing in it is a failure


def expand(arguments: Sequence[str], failures: Failures) -> list[Source]:
    """Sources as the API expands them (files, directories, globs), and '-' as standard input."""
    sources: list[Source] = []
    for argument in arguments:
        if argument == "-":
            sources.append(Source(_source_name(sys.stdin.buffer), sys.stdin.buffer, True))
            continue
        try:
            sources += [Source(path, path, explicit) for path, explicit in expand_item(argument)]
        except FileNotFoundError as exc:
            failures.report(exc)
    return sources


class Progress:
    """A bar of files done on standard error, when it is a terminal and tqdm is installed.

    Nothing is drawn for one file, or when standard output is the same
    terminal: the output itself shows the progress there.
    """

    def __init__(self, total: int, failures: Failures) -> None:
        self.bar: Any = None
        self.failures = failures
        if total < 2 or not _is_terminal(sys.stderr) or _is_terminal(sys.stdout):
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            return
        self.bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False, dynamic_ncols=True)
        failures.bar = self.bar

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.failures.bar = None
            self.bar = None


def _is_terminal(stream: object) -> bool:
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # closed
        return False


def _report_warnings(caught: list[warnings.WarningMessage], name: str, failures: Failures) -> bool:
    """Report the reader's warnings about this source as failures; pass others on."""
    reported = False
    prefix = f"{name}: message at offset "
    for w in caught:
        text = str(w.message)
        if issubclass(w.category, RuntimeWarning) and text.startswith(prefix):
            failures.report(text)
            reported = True
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    return reported


def messages(
    sources: Sequence[Source], tables: str | None, failures: Failures
) -> Iterator[tuple[int, Message]]:
    """(number in its file from 1, message) for every readable message of every source."""
    progress = Progress(len(sources), failures)
    try:
        for source in sources:
            count = 0
            failed = False
            try:
                reader = read(source.target, tables=tables, errors="warn")
                while True:
                    # Damaged pieces come as warnings from the reader, which
                    # then goes on with the next message.
                    with warnings.catch_warnings(record=True) as caught:
                        warnings.simplefilter("always")
                        message = next(reader, None)
                    failed |= _report_warnings(caught, source.name, failures)
                    if message is None:
                        break
                    count += 1
                    yield count, message
            except OSError as exc:
                failures.report(f"{source.name}: {exc.strerror or exc}")
                failed = True
            except ValueError as exc:
                # The reader gave up on the source (an endless run of junk).
                failures.report(exc)
                failed = True
            if count == 0 and not failed and source.explicit:
                failures.report(f"{source.name}: no BUFR message found")
            progress.step()
    finally:
        progress.close()


def decode(message: Message, failures: Failures) -> Data | None:
    """The message's values, or None when they cannot be decoded (reported)."""
    try:
        # Whole: a dump shows every record's code figure and meaning.
        return message._decoded_whole()
    except (ValueError, OSError) as exc:
        failures.report(decode_failure(message, exc))
        return None


def decode_failure(message: Message, exc: Exception) -> str:
    where = f"{message.source}: message at offset {message.offset}"
    table_path = getattr(exc, "table_path", None)
    if table_path is not None:
        return f"{where}: while loading {table_path}: {exc}"
    if isinstance(exc, OSError) and exc.filename is not None:
        return f"{where}: {exc.filename}: {exc.strerror or exc}"
    text = str(exc)
    return text if text.startswith(where) else f"{where}: {text}"
