"""Decoding in a pool of threads: messages decoded ahead, still handed on in order."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from concurrent.futures import Executor, Future

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


def threads_argument(threads: object, default: int = 1) -> int:
    """threads as a count of workers: None is default; anything but a positive int is refused."""
    if threads is None:
        return default
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be positive, not {threads}")
    return threads


# A worker's share: messages decoded in one native call with the GIL
# released once. One call per message made the workers queue for the GIL
# behind the reader's own Python work.
CHUNK_OCTETS = 1 << 18
CHUNK_MESSAGES = 256


def decode_ahead(messages: Iterable[Message], threads: int) -> Iterator[Message]:
    """messages in order, decoded by a pool of threads in chunks, up to 2 threads chunks ahead.

    A message's first decode() without tables takes the pool's result; its
    own reader's table choice is used. One pool serves every file of the
    iterable.
    """
    from collections import deque
    from concurrent.futures import ThreadPoolExecutor

    from . import _data  # noqa: F401  NumPy is imported here, not by a worker
    chunks: deque[list[Message]] = deque()
    chunk = _Chunk()
    given: list[Message] = []  # the chunk being yielded
    pool = ThreadPoolExecutor(threads, thread_name_prefix="tarvane-read")
    try:
        for message in messages:
            chunk.add(message)
            if chunk.full():
                chunks.append(chunk.submit(pool))
                chunk = _Chunk()
                if len(chunks) > 2 * threads:
                    given = chunks.popleft()
                    yield from given
        chunks.append(chunk.submit(pool))
        while chunks:
            given = chunks.popleft()
            yield from given
    finally:
        # A reader that stops early waits only for the decodes under way;
        # those that never started are decoded on decode().
        pool.shutdown(wait=True, cancel_futures=True)
        for rest in (given, chunk.messages, *chunks):
            for message in rest:
                if message._ahead is not None:
                    message._ahead.cancel()


class _Chunk:
    """Messages for one worker: each decodable one with its tables and a future of its parts."""

    def __init__(self) -> None:
        self.messages: list[Message] = []
        self.work: list[tuple[Message, TableSet, str, Future[Any]]] = []
        self.octets = 0

    def add(self, message: Message) -> None:
        from concurrent.futures import Future

        self.messages.append(message)
        # Tables are chosen (and loaded) here: the chooser is not shared
        # with the workers. Tables that fail to load fail on decode().
        try:
            table_set, used = message._chooser.choose(message)
        except (ValueError, OSError):
            return
        future: Future[Any] = Future()
        message._decoded_ahead(future)
        self.work.append((message, table_set, used, future))
        self.octets += message.length

    def full(self) -> bool:
        return self.octets >= CHUNK_OCTETS or len(self.work) >= CHUNK_MESSAGES

    def submit(self, pool: Executor) -> list[Message]:
        if self.work:
            pool.submit(_decode_chunk, self.work)
        return self.messages


def _decode_chunk(work: list[tuple[Message, TableSet, str, Future[Any]]]) -> None:
    from . import _columns

    try:
        results = _columns.decode_many([m.bytes for m, _, _, _ in work], [t for _, t, _, _ in work], False)
    except BaseException as exc:  # MemoryError and the like: each message's decode() says so
        for _, _, _, future in work:
            future.set_exception(exc)
        raise
    for (message, table_set, used, future), parts in zip(work, results):
        if isinstance(parts, ValueError):
            error = message._reading_error(parts, used, message._chooser)
            error.__cause__ = parts
            future.set_exception(error)
        else:
            future.set_result((table_set, parts, used))
