"""What a source names: files as named, directories walked recursively, globs
expanded; the same for the API and the command line. (Compressed files are
opened by the reader.)"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterator, Sequence
from typing import Union

PathSource = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]


def walk(directory: str) -> Iterator[str]:
    """The files under directory, sorted so that every file system gives the same
    order; hidden entries (.git, editor files) are not data."""
    for root, dirs, files in os.walk(directory):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in sorted(files):
            if not name.startswith("."):
                yield os.path.join(root, name)


def expand_item(item: str) -> list[tuple[str, bool]]:
    """The files one argument names, each with whether it was named itself (so
    finding no message in it is a failure) rather than found in a directory.

    A glob that matches nothing raises FileNotFoundError; a missing file is
    left for the reader to report.
    """
    if os.path.isdir(item):
        return [(path, False) for path in walk(item)]
    if os.path.lexists(item) or not glob.has_magic(item):
        return [(item, True)]
    matches = sorted(glob.glob(item, recursive=True))
    if not matches:
        raise FileNotFoundError(f"{item}: no file matches")
    found: list[tuple[str, bool]] = []
    for path in matches:
        found += [(p, False) for p in walk(path)] if os.path.isdir(path) else [(path, True)]
    return found


def expand_source(source: PathSource) -> list[str]:
    """The files of a path, a directory, a glob, or a list of these."""
    items = [os.fspath(source)] if isinstance(source, (str, os.PathLike)) else [os.fspath(s) for s in source]
    return [path for item in items for path, _ in expand_item(item)]
