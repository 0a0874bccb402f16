"""Decoding in a pool of threads: messages decoded ahead, still handed on in order."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from concurrent.futures import Executor, Future

    from typing_extensions import Buffer

    from ._read import Message
    from ._tarvane import TableSet


def machine_threads() -> int:
    """The cores this process may run on (its affinity where the system says so)."""
    count = getattr(os, "process_cpu_count", None)  # Python 3.13
    if count is not None:
        return int(count() or 1)
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def positive_or_none(name: str, value: object) -> int | None:
    """The argument name's value, a positive int or None; anything else is refused."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be positive, not {value}")
    return value


def threads_argument(threads: object, default: int = 1) -> int:
    """threads as a count of workers: None is default; anything but a positive int is refused."""
    count = positive_or_none("threads", threads)
    return default if count is None else count


# A worker's share: messages decoded in one native call with the GIL
# released once. One call per message made the workers queue for the GIL
# behind the reader's own Python work. Compressed messages decode to some
# 30 times their octets, and the chunks in flight must fit in cache: the
# storage the reader frees is what the next decode writes (in chunks of
# 256 KiB, four in five of the value columns' writes missed the cache).
CHUNK_OCTETS = 1 << 15
CHUNK_MESSAGES = 256
# Chunks in flight per thread. Two left the pool idle behind one large
# message at the head; more than four gained nothing.
CHUNKS_AHEAD = 4


def decode_ahead(messages: Iterable[Message], threads: int) -> Iterator[Message]:
    """messages in order, decoded in chunks by a pool of threads - 1 and by the reading thread.

    Every threads-th chunk is left to the reading thread: its messages are
    decoded by their own decode(), in the caller's thread, as without a
    pool. On two cores a pool of two beside the reading thread (three
    threads on two cores) gained 1.0-1.3 times one thread; one worker and
    this share, 1.15-1.4 times, and the decoding left to the reading thread
    writes storage it has just freed, still in its cache.

    A message's first decode() without tables takes the pool's result; its
    own reader's table choice is used. One pool serves every file of the
    iterable; up to CHUNKS_AHEAD * threads chunks are in flight.
    """
    from collections import deque
    from concurrent.futures import ThreadPoolExecutor

    from . import _data  # noqa: F401  NumPy is imported here, not by a worker
    chunks: deque[list[Message]] = deque()
    made = 0
    finished = False
    chunk = _Chunk(here=threads == 1)
    given: list[Message] = []  # the chunk being yielded
    pool = ThreadPoolExecutor(max(1, threads - 1), thread_name_prefix="tarvane-read")
    try:
        for message in messages:
            chunk.add(message)
            if chunk.full():
                chunks.append(chunk.submit(pool))
                made += 1
                chunk = _Chunk(here=made % threads == threads - 1)
                if len(chunks) > CHUNKS_AHEAD * threads:
                    given = chunks.popleft()
                    yield from given
        chunks.append(chunk.submit(pool))
        while chunks:
            given = chunks.popleft()
            yield from given
        finished = True
    finally:
        # A reader read to its end waits for the decodes it asked for: the
        # messages it gave may be decoded after. One that stops early waits
        # only for the decodes under way; those that never started are
        # decoded on decode().
        pool.shutdown(wait=True, cancel_futures=not finished)
        for rest in (given, chunk.messages, *chunks):
            for message in rest:
                if message._ahead is not None:
                    message._ahead.cancel()


class Ahead:
    """A message's share of its chunk's decode: what Message.decode takes once.

    One future per chunk, not per message: a future per message cost the
    reading thread, which holds the GIL, more than framing the message.
    """

    __slots__ = ("_task", "_index", "_table_set", "_used", "_cancelled")

    def __init__(self, task: Future[list[Any]] | None, index: int, table_set: TableSet, used: str) -> None:
        self._task = task
        self._index = index
        self._table_set = table_set
        self._used = used
        self._cancelled = False

    def cancel(self) -> None:
        # What the pool had not started (or been given) is decoded by
        # decode() itself.
        # (One the pool dropped is done, and cancelled() says so.)
        task = self._task
        if task is None or not task.done():
            self._cancelled = True

    def cancelled(self) -> bool:
        # Also a decode the pool dropped unstarted for a message not marked
        # (decode() then decodes it itself).
        return self._cancelled or (self._task is not None and self._task.cancelled())

    def done(self) -> bool:
        return self._task is not None and self._task.done()

    def result(self, message: Message) -> tuple[TableSet, tuple[Any, ...], str]:
        """(tables, parts, tables used) of message's decode, or the ValueError its decode() raises."""
        assert self._task is not None
        results = self._task.result()
        # Taken once: the chunk's list must not keep a dropped message's arrays.
        parts, results[self._index] = results[self._index], None
        if isinstance(parts, ValueError):
            raise message._reading_error(parts, self._used, message._chooser) from parts
        return self._table_set, parts, self._used


class _Chunk:
    """Messages for one worker, and for each decodable one its tables; here: left to the reading thread."""

    def __init__(self, here: bool = False) -> None:
        self.here = here
        self.messages: list[Message] = []
        self.pending: list[Ahead] = []
        self.buffers: list[Buffer] = []
        self.tables: list[TableSet] = []
        self.octets = 0

    def add(self, message: Message) -> None:
        self.messages.append(message)
        self.octets += message.length
        if self.here:
            return
        # Tables are chosen (and loaded) here: the chooser is not shared
        # with the workers. Tables that fail to load fail on decode().
        try:
            table_set, used = message._chooser.choose(message)
        except (ValueError, OSError):
            return
        pending = Ahead(None, len(self.pending), table_set, used)
        message._decoded_ahead(pending)
        self.pending.append(pending)
        self.buffers.append(message.bytes)
        self.tables.append(table_set)

    def full(self) -> bool:
        return self.octets >= CHUNK_OCTETS or len(self.messages) >= CHUNK_MESSAGES

    def submit(self, pool: Executor) -> list[Message]:
        if self.pending:
            task = pool.submit(_decode_chunk, self.buffers, self.tables)
            for pending in self.pending:
                pending._task = task
        return self.messages


def _decode_chunk(buffers: list[Buffer], tables: list[TableSet]) -> list[Any]:
    from . import _columns

    # Each item: the parts of one message, or the ValueError its decode gave.
    result: list[Any] = _columns.decode_many(buffers, tables, False)
    return result
