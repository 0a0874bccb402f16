"""Decoding in a pool of threads: messages decoded ahead, still handed on in order."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._read import Message


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


def decode_ahead(messages: Iterable[Message], threads: int) -> Iterator[Message]:
    """messages in order, each decoded by a pool of threads up to 2 threads messages ahead.

    A message's first decode() without tables takes the pool's result; its
    own reader's table choice is used. One pool serves every file of the
    iterable.
    """
    from collections import deque
    from concurrent.futures import ThreadPoolExecutor

    from ._read import _SET_AHEAD, _data_class

    _data_class()  # NumPy is imported here, not by a worker
    pending: deque[Message] = deque()
    pool = ThreadPoolExecutor(threads, thread_name_prefix="tarvane-read")
    try:
        for message in messages:
            chooser = message._chooser
            # Tables are chosen (and loaded) here: the chooser is not shared
            # with the workers. Tables that fail to load fail on decode().
            try:
                table_set, used = chooser.choose(message)
            except (ValueError, OSError):
                pass
            else:
                _SET_AHEAD(message, pool.submit(message._decode_parts, table_set, used, chooser))
            pending.append(message)
            if len(pending) > 2 * threads:
                yield pending.popleft()
        while pending:
            yield pending.popleft()
    finally:
        # A reader that stops early waits only for the decodes under way.
        pool.shutdown(wait=True, cancel_futures=True)
