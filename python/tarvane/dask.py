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

from ._frames import (
    HEADER_KINDS,
    FLOAT,
    Filter,
    PathSource,
    WideQuery,
    element_by_key,
    expand_source,
    gather_wide,
    kind_of,
    messages_of,
    need,
    split_rank,
    to_pandas_columns,
)
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
    """What each task runs: decode a group of files into one pandas frame of fixed columns and dtypes."""

    def __init__(self, columns: list[str], filters: dict[str, Filter], tables: TablesArg, errors: ErrorPolicy,
                 kinds: dict[str, str]) -> None:
        self.columns = columns
        self.filters = filters
        self.tables = tables
        self.errors = errors
        self.kinds = kinds

    def __call__(self, files: list[str]) -> pandas.DataFrame:
        query = WideQuery.make(self.columns, self.filters)
        values, _ = gather_wide(messages_of(files, self.tables, self.errors), query, self.errors, kinds=self.kinds)
        return to_pandas_columns(values, self.kinds)


def _kinds(files: list[str], columns: list[str], tables: TablesArg, errors: ErrorPolicy) -> dict[str, str]:
    """Column kinds from the header names and the first message's tables, decoding nothing."""
    tables_found = None
    for message in messages_of(files[:1], tables, errors):
        tables_found = TableChooser(tables).tables_for(message)
        break
    kinds: dict[str, str] = {}
    for name in columns:
        if name in HEADER_KINDS:
            kinds[name] = HEADER_KINDS[name]
            continue
        base, _ = split_rank(name)
        element = None
        if tables_found is not None:
            element = (tables_found.get_element(int(base)) if str(base).isdigit()
                       else element_by_key(tables_found, str(base)))
        kinds[name] = kind_of(element) if element is not None else FLOAT
    return kinds


def read_dataframe(
    paths: PathSource,
    columns: Sequence[str] | None = None,
    filters: Mapping[str, Filter] | None = None,
    tables: TablesArg = None,
    errors: ErrorPolicy = "raise",
    files_per_partition: int | None = None,
) -> dask.dataframe.DataFrame:
    """``tarvane.read_dataframe`` as a lazy Dask DataFrame, one partition per file group.

    Parameters
    ----------
    paths, filters, tables, errors
        As for ``tarvane.read_dataframe``.
    columns : list of str, optional
        As for ``tarvane.read_dataframe``, descriptor codes given as digit
        strings; None takes the keys of the first file (decoding that file
        only).
    files_per_partition : int, optional
        Files per partition; None groups consecutive small files up to about
        32 MiB a partition.

    Returns
    -------
    dask.dataframe.DataFrame
        The dtypes come from the tables of the first message, so every
        partition agrees on them. Each partition's index counts from 0.
    """
    dd = need("dask.dataframe", "dask")
    from ._read import _check_policy

    _check_policy(errors)
    files = expand_source(paths)
    if columns is None:
        from ._frames import read_dataframe as read_one

        columns = [] if not files else list(read_one(files[0], None, filters, tables, errors).columns)
    columns = [str(c) for c in columns]
    kinds = _kinds(files, columns, tables, errors)
    partition = _Partition(columns, dict(filters or {}), tables, errors, kinds)
    meta = to_pandas_columns({c: _empty(kinds[c]) for c in columns}, kinds)
    groups = group_files(files, files_per_partition) or [[]]
    frame: dask.dataframe.DataFrame = dd.from_map(partition, groups, meta=meta, enforce_metadata=False)
    return frame


def _empty(kind: str) -> Any:
    from ._frames import _blank

    return _blank(kind, 0)
