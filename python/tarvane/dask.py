"""Archives of BUFR files as Dask DataFrames, decoded on a cluster.

    import tarvane.dask
    frame = tarvane.dask.read_dataframe("archive/*.bufr", columns=[...])
    frame.compute()  # equals tarvane.read_dataframe on the same files

One partition reads one file, or a group of small files; every worker loads
each table set once (the process-wide cache of the reading layer) however
many partitions it runs.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from ._filters import Filter
from ._frames import PathSource, expand_source, need
from ._tables import TableChooser, TablesArg

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

    from ._read import ErrorPolicy

__all__ = ["read_dataframe"]

# Small files are grouped until a partition holds about this many octets.
PARTITION_BYTES = 32 << 20


def group_files(files: Sequence[str], files_per_partition: int | None) -> list[list[str]]:
    """Fixed-size groups, or (None) consecutive files up to PARTITION_BYTES each."""
    if files_per_partition is not None:
        if files_per_partition < 1:
            raise ValueError(f"files_per_partition must be at least 1, not {files_per_partition}")
        return [list(files[i : i + files_per_partition]) for i in range(0, len(files), files_per_partition)]
    groups: list[list[str]] = []
    size = 0
    for path in files:
        octets = os.path.getsize(path)
        if not groups or size + octets > PARTITION_BYTES:
            groups.append([])
            size = 0
        groups[-1].append(path)
        size += octets
    return groups


class _Partition:
    """What each task runs: read a group of files into one pandas frame of the given columns and dtypes."""

    def __init__(self, columns: list[str], options: dict[str, Any], dtypes: dict[str, Any]) -> None:
        self.columns = columns
        self.options = options
        self.dtypes = dtypes

    def __call__(self, files: list[str]) -> pandas.DataFrame:
        from ._frames import part_frame

        frame = part_frame(files, self.columns, self.options)
        shaped: pandas.DataFrame = frame.reindex(columns=self.columns).astype(self.dtypes)
        return shaped


def read_dataframe(
    source: PathSource,
    columns: Sequence[str | int] | str | int | None = None,
    *,
    filters: Mapping[str, Filter] | None = None,
    required_columns: bool | Sequence[str] = True,
    flat: bool = False,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
    files_per_partition: int | None = None,
) -> dask.dataframe.DataFrame:
    """``tarvane.read_dataframe`` as a lazy Dask DataFrame, one partition per file group.

    source, columns, filters, required_columns, flat, tables and errors are
    those of ``tarvane.read_dataframe``. The columns and their dtypes come
    from the first file (decoded once here), so every partition agrees on
    them; columns=None takes the first file's columns.
    files_per_partition: files per partition; None groups consecutive small
    files up to about 32 MiB a partition. Each partition's index counts from 0.
    """
    dd = need("dask.dataframe", "dask")
    from ._frames import part_frame
    from ._read import _check_policy

    _check_policy(errors)
    # Chosen here, once: every worker decodes with the client's tables.
    tables = TableChooser(tables)
    files = expand_source(source)
    options: dict[str, Any] = {"filters": dict(filters or {}), "required_columns": required_columns, "flat": flat,
                               "tables": tables, "errors": errors}
    head = part_frame(files[:1], columns, {**options, "filters": None, "required_columns": False})
    names = list(head.columns)
    meta = head.iloc[:0]
    partition = _Partition(names, options, dict(meta.dtypes))
    groups = group_files(files, files_per_partition) or [[]]
    frame: dask.dataframe.DataFrame = dd.from_map(partition, groups, meta=meta, enforce_metadata=False)
    return frame
