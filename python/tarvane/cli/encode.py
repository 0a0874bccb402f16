"""``tarvane encode``: messages written from rows by key (CSV, Parquet) or from ``dump --json`` documents."""

from __future__ import annotations

import argparse
import csv
import json
import re
from collections.abc import Iterator
from typing import Any, TextIO

from .inputs import Failures

# Options that set section 1 fields, by the header name they set.
_HEADER_OPTIONS = {
    "centre": "originating_centre",
    "subcentre": "originating_subcentre",
    "category": "data_category",
    "subcategory": "international_data_subcategory",
    "local_subcategory": "local_data_subcategory",
    "master_version": "master_tables_version_number",
    "local_version": "local_tables_version_number",
}

# What a dump document says that is not a section 1 field to write.
_NOT_WRITTEN = {"file", "offset", "length", "edition", "datetime", "number_of_subsets", "compressed_data",
                "unexpanded_descriptors", "tables", "elements", "groups"}


def add_parser(commands: Any) -> None:
    encode = commands.add_parser(
        "encode",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Write BUFR messages.\n\n"
            "--template CODE[,CODE...] ROWS.csv|ROWS.parquet: one message, a subset per row, the\n"
            "columns named by keys (airTemperature, #2#airTemperature, 012101); an empty cell\n"
            "is missing, a cell holding a JSON list gives a delayed replication's values.\n"
            "--json DUMP.jsonl: one message per document that 'tarvane dump --json' wrote,\n"
            "so that 'dump --json' and 'encode --json' round-trip.\n\n"
            "--centre, --category, ... set section 1 fields (for --json, over the dump's)."
        ),
    )
    source = encode.add_mutually_exclusive_group(required=True)
    source.add_argument("--template", action="append", metavar="CODE[,CODE...]",
                        help="the section 3 descriptors (e.g. 307080); repeatable")
    source.add_argument("--json", action="store_true", help="INPUT is JSON lines from 'tarvane dump --json'")
    encode.add_argument("input", metavar="INPUT", help="ROWS.csv, ROWS.parquet or DUMP.jsonl ('-': standard input)")
    encode.add_argument("-o", "--output", required=True, metavar="OUT", help="the BUFR file to write")
    for option in _HEADER_OPTIONS:
        encode.add_argument(f"--{option.replace('_', '-')}", type=int, metavar="N", dest=option)
    encode.add_argument("--edition", type=int, choices=(3, 4), help="the edition to write (default 4, or the dump's)")
    encode.add_argument("--compressed", action="store_true", default=None,
                        help="write compressed data (default: uncompressed, or as the dump says)")
    encode.add_argument("--tables", metavar="T", help="a TableSet directory or definitions root (default: as read)")


def run(args: argparse.Namespace, out: TextIO, failures: Failures) -> None:
    header = {name: getattr(args, option) for option, name in _HEADER_OPTIONS.items()
              if getattr(args, option) is not None}
    try:
        if args.json:
            messages = list(_from_dump(args, header))
        else:
            from .._write import encode

            messages = [encode([int(c) for option in args.template for c in option.split(",") if c], _rows(args.input), tables=args.tables,
                               compressed=bool(args.compressed), edition=args.edition or 4, **header)]
        with open(args.output, "wb") as f:
            for message in messages:
                f.write(message)
    except (ValueError, KeyError, TypeError, OSError, ImportError) as exc:
        failures.report(f"encode: {exc}")
        return
    out.write(f"{args.output}: {len(messages)} messages\n")


def _open(path: str) -> TextIO:
    import sys

    return sys.stdin if path == "-" else open(path, encoding="utf-8", newline="")


def _cell(text: str) -> Any:
    if text == "":
        return None
    if text.startswith("["):
        return json.loads(text)
    try:
        return float(text)
    except ValueError:
        return text


def _rows(path: str) -> Any:
    if path.endswith(".parquet"):
        from .._optional import need

        pandas = need("pandas", "frames")
        return pandas.read_parquet(path)
    with _open(path) as f:
        return [{k: _cell(v) for k, v in row.items()} for row in csv.DictReader(f)]


def _documents(path: str) -> Iterator[dict[str, Any]]:
    with _open(path) as f:
        for line in f:
            if line.strip():
                yield json.loads(line)


def _date(text: str) -> dict[str, int]:
    # As written, valid or not: "2022-03-21T12:00:00" (edition 3: no seconds).
    parts = [int(p) for p in re.findall(r"\d+", text or "")]
    names = ("typical_year", "typical_month", "typical_day", "typical_hour", "typical_minute", "typical_second")
    return dict(zip(names, parts))


def _subsets(document: dict[str, Any]) -> list[tuple[list[int], list[Any]]]:
    by_number: dict[int, tuple[list[int], list[Any]]] = {}
    for group in document["groups"]:
        codes = [int(c) for c in group["descriptors"]]
        for k, number in enumerate(group["subsets"]):
            by_number[number] = (codes, [v[k] if isinstance(v, list) else v for v in group["values"]])
    return [by_number[n] for n in sorted(by_number)]


def _from_dump(args: argparse.Namespace, header: dict[str, int]) -> Iterator[bytes]:
    from .. import _encode
    from .._write_header import checked_header, header_tuple
    from .._write_keys import _tables_for

    for document in _documents(args.input):
        given = {k: v for k, v in document.items() if k not in _NOT_WRITTEN and v is not None}
        given.update(_date(document.get("datetime", "")))
        given.update(header)
        fields = checked_header(given, {"observed_data": 1, "typical_second": 0, "international_data_subcategory": 0})
        edition = args.edition or document["edition"]
        compressed = document["compressed_data"] if args.compressed is None else args.compressed
        template = [int(c) for c in document["unexpanded_descriptors"]]
        tables = _tables_for(args.tables, fields, edition, template)
        yield _encode.encode_records(template, tables, _subsets(document), header_tuple(fields, edition, compressed))
