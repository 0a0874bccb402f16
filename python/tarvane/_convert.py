"""Files of BUFR messages into one Parquet or CSV file.

Without columns the output is the long form, one row per record of every
message (source, offset, subset, descriptor, key, name, unit, value, text,
meaning), written file by file so memory stays bounded by the largest input
file. With columns it is the wide form of ``read_arrow``, one row per subset
(or per occurrence of a replicated key), plus a "<key>.meaning" column
beside each key whose values have code-table meanings.

Units: in the long form a column; in the wide form, Parquet keeps each
column's unit as field metadata ("unit"). CSV has no place for metadata, so
a wide CSV carries the key names only.
"""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Sequence
from typing import Any

from ._frames import decode_or_skip, gather, gather_long, long_arrow, messages_of, need, to_arrow_columns
from ._read import _check_policy
from ._sources import expand_source
from ._wide import WideQuery
from ._tables import TablesArg


def convert(
    paths: Sequence[str],
    output: str,
    *,
    columns: Sequence[str] | None = None,
    tables: TablesArg = None,
    errors: str = "raise",
    threads: int | None = None,
) -> int:
    """Write the messages of paths (files, directories or globs) to output, a .parquet or .csv file.

    threads: how many threads decode (None: the cores this process may use).
    Returns the number of rows written.
    """
    from ._parallel import machine_threads, threads_argument

    _check_policy(errors)
    workers = threads_argument(threads, machine_threads())
    kind = os.path.splitext(output)[1].lower()
    if kind not in (".parquet", ".csv"):
        raise ValueError(f"{output}: the output must end in .parquet or .csv")
    files = expand_source(list(paths))
    # Written beside the output and renamed when whole: a failure (a full
    # disk) never leaves a cut file under the output's name.
    folder, base = os.path.split(output)
    partial = os.path.join(folder, f".{base}.{secrets.token_hex(4)}.partial")
    try:
        if columns:
            query = WideQuery.make(columns, None, required_columns=False)
            values, out = next(gather(messages_of(files, tables, errors, workers), query, errors, with_meanings=True))  # type: ignore[arg-type]
            table = to_arrow_columns(values, out)
            _write_whole(table, partial, kind)
            rows = int(table.num_rows)
        else:
            rows = _write_long(files, partial, kind, tables, errors, workers)
        os.replace(partial, output)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise
    return rows


def _write_whole(table: Any, output: str, kind: str) -> None:
    if kind == ".parquet":
        need("pyarrow.parquet", "arrow").write_table(table, output)
    else:
        need("pyarrow.csv", "arrow").write_csv(table, output)


def _plain(table: Any) -> Any:
    """Dictionary columns decoded, for CSV."""
    pa = need("pyarrow", "arrow")
    columns = [c.cast(pa.string()) if pa.types.is_dictionary(c.type) else c for c in table.columns]
    return pa.Table.from_arrays(columns, names=table.column_names)


def _write_long(files: list[str], output: str, kind: str, tables: TablesArg, errors: str, threads: int) -> int:
    import itertools

    rows = 0
    writer: Any = None
    # One reader (and one pool) for every file; a table written per file.
    messages = messages_of(files, tables, errors, threads)  # type: ignore[arg-type]
    try:
        for _, of_file in itertools.groupby(messages, key=lambda m: m.source):
            datas = [d for m in of_file
                     if (d := decode_or_skip(m, errors, whole=True)) is not None]  # type: ignore[arg-type]
            table = long_arrow(gather_long(datas, with_message=True))
            if kind == ".csv":
                table = _plain(table)
            if writer is None:
                if kind == ".parquet":
                    writer = need("pyarrow.parquet", "arrow").ParquetWriter(output, table.schema)
                else:
                    writer = need("pyarrow.csv", "arrow").CSVWriter(output, table.schema)
            writer.write_table(table)
            rows += table.num_rows
        if writer is None:
            # No input: an empty file with the long form's columns.
            empty = long_arrow(gather_long([], with_message=True))
            _write_whole(empty if kind == ".parquet" else _plain(empty), output, kind)
    finally:
        if writer is not None:
            writer.close()
    return rows
