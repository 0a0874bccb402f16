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

from ._describe import COMPUTED, FLOAT, HEADER_KINDS, ElementInfo, describe, header_name
from ._filters import Filter
from ._frames import _check_known, messages_of, need, part_frame, to_pandas_columns
from ._read import _check_policy
from ._rows import split_rank
from ._sources import PathSource, expand_source
from ._tables import TableChooser, TablesArg
from ._wide import NOT_KEYS, WideQuery, blank

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

    from ._read import ErrorPolicy
    from ._tarvane import TableSet

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
        frame = part_frame(files, self.columns, self.options)
        shaped: pandas.DataFrame = frame.reindex(columns=self.columns).astype(self.dtypes)
        return shaped


def _described(message: Any, chooser: TableChooser,
               expansions: dict[tuple[TableSet, tuple[int, ...]], list[tuple[int, ElementInfo]]],
               ) -> list[tuple[int, ElementInfo]] | None:
    """The distinct elements a message's descriptors expand to, or None where they do not expand."""
    try:
        table_set = chooser.tables_for(message)
        index = (table_set, tuple(message.unexpanded_descriptors))
        found = expansions.get(index)
        if found is None:
            codes = dict.fromkeys(table_set.expand(message.unexpanded_descriptors))
            found = expansions[index] = [(c, describe(table_set, c)) for c in codes]
        return found
    except ValueError:
        return None  # the partition that decodes it deals with it as errors= says


def _take(name: str, info: ElementInfo, kinds: dict[str, str], units: dict[str, str]) -> None:
    kinds.setdefault(name, info.kind)
    if info.unit:
        units.setdefault(name, info.unit)


def layout(files: Sequence[str], query: WideQuery, chooser: TableChooser, errors: ErrorPolicy
           ) -> tuple[list[str], dict[str, str], dict[str, str]]:
    """The columns of the whole frame with their kinds and units, over every file.

    From each message's section 1 and descriptors (nothing is decoded): an
    element column takes the kind of the first message that has the key,
    as the serial reader does, so every partition agrees with the meta.
    """
    kinds = {name: HEADER_KINDS[header_name(name) or name] for name in query.header}
    kinds.update({name: COMPUTED[name].kind for name in query.computed})
    units: dict[str, str] = {}
    seen: set[str] = set()
    known: dict[str, None] = {}
    expansions: dict[tuple[TableSet, tuple[int, ...]], list[tuple[int, ElementInfo]]] = {}
    wanted = [(str(k), *split_rank(k)) for k in query.keys]
    any_read = False
    for message in messages_of(files, chooser, errors):
        elements = _described(message, chooser, expansions) if query.message_passes(message) else None
        if elements is None:
            continue
        any_read = True
        for code, info in elements:
            if info.key is not None and info.key not in NOT_KEYS:
                known.setdefault(info.key)
                if query.columns is None:
                    _take(info.key, info, kinds, units)
            for name, base, _ in wanted:
                numeric = isinstance(base, int) or (isinstance(base, str) and base.isdigit())
                if (int(base) == code) if numeric else (base == info.key):
                    seen.add(name)
                    _take(name, info, kinds, units)
    if query.columns is None:
        return list(known), kinds, units
    if any_read:
        _check_known(query, seen, set(known))
    return list(query.columns), kinds, units


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
    those of ``tarvane.read_dataframe``. The columns and their dtypes are
    worked out here from every file's header and descriptors (nothing is
    decoded), as the serial reader's would be, and every partition takes
    them; a column that no file has raises KeyError. columns=None takes
    every key the files' descriptors name (a key only inside a replication
    that no message repeats is an empty column here, absent serially).
    With flat=True the columns come from the first file.
    files_per_partition: files per partition; None groups consecutive small
    files up to about 32 MiB a partition. Each partition's index counts from 0.
    """
    dd = need("dask.dataframe", "dask")
    _check_policy(errors)
    # Chosen here, once: every worker decodes with the client's tables.
    tables = TableChooser(tables)
    files = expand_source(source)
    options: dict[str, Any] = {"filters": dict(filters or {}), "required_columns": required_columns, "flat": flat,
                               "tables": tables, "errors": errors}
    if flat:
        meta = part_frame(files[:1], columns, {**options, "filters": None, "required_columns": False}).iloc[:0]
    else:
        names, kinds, units = layout(files, WideQuery.make(columns, filters, required_columns), tables, errors)
        options["kinds"] = kinds
        meta = to_pandas_columns({n: blank(kinds.get(n, FLOAT), 0) for n in names}, kinds, units)
    partition = _Partition(list(meta.columns), options, dict(meta.dtypes))
    groups = group_files(files, files_per_partition) or [[]]
    frame: dask.dataframe.DataFrame = dd.from_map(partition, groups, meta=meta, enforce_metadata=False)
    return frame
