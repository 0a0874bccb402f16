"""The ``tarvane`` command: list and dump the BUFR messages of files.

    tarvane ls FILE...      one line per message
    tarvane dump FILE...    the decoded values of every message

Every message of every file is handled; a message that cannot be read is
reported on standard error with its file and offset, and the command goes on
with the next one. The exit status is 1 when anything failed, 2 for a usage
error, 0 otherwise.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from typing import Any, TextIO

from . import _tarvane
from ._inputs import ECCODES_DEFINITIONS, PROG, Failures, TableChooser, messages_of
from ._tarvane import BufrMessage, DecodedValue

# --- formatting -------------------------------------------------------------


def code_text(code: int) -> str:
    return f"{code:06d}"


def escaped(text: str, quoted: bool = False) -> str:
    """A text with control and other unprintable characters written as escapes.

    In a quoted text the quote and the backslash are escaped as well.
    """
    out = []
    for ch in text:
        if quoted and ch in '\\"':
            out.append("\\" + ch)
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\0":
            out.append("\\0")
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return "".join(out)


def is_operator(value: DecodedValue) -> bool:
    # Operator records (F = 2) stand for a descriptor met on the way; their
    # value 0.0 is no data. The characters of 2 05 YYY are data.
    return value.descriptor // 100000 == 2 and value.name == "operator"


def value_of(value: DecodedValue) -> str | float | None:
    """The value a reader wants: the text, the number, or None when missing."""
    if is_operator(value):
        return None
    if value.raw_text is not None:
        return value.raw_text
    if value.raw is None:
        # A character element whose bytes are all 0xFF: its raw_value only
        # numbers the text and is no data.
        return None
    return value.raw_value


def number_text(number: float) -> str:
    if math.isfinite(number) and number.is_integer() and abs(number) < 1e16:
        return str(int(number))
    return repr(number)


def value_text(value: str | float | None) -> str:
    if value is None:
        return "missing"
    if isinstance(value, str):
        return f'"{escaped(value, quoted=True)}"'
    return number_text(value)


def json_number(number: float) -> float | str:
    # JSON has no infinities or NaN; write them as the strings Python reads back.
    return number if math.isfinite(number) else repr(number)


def subset_numbers(message: BufrMessage, count: int) -> list[int] | None:
    """The subset (from 1) of each of the count values, or None when unknown.

    Compressed data gives every subset the same number of values, so the flat
    list cuts evenly. Uncompressed subsets may differ in length (delayed
    replication) and the list carries no boundaries, so with more than one
    subset they are not known.
    """
    subsets = message.number_of_subsets
    if subsets == 1:
        return [1] * count
    if message.compressed_data and subsets > 0 and count % subsets == 0:
        per = count // subsets
        return [index // per + 1 for index in range(count)]
    return None


def print_table(rows: list[list[str]], out: TextIO) -> None:
    """Rows as columns separated by two spaces, each as wide as its widest cell."""
    if not rows:
        return
    widths = [max(len(row[col]) for row in rows) for col in range(len(rows[0]))]
    for row in rows:
        line = "  ".join(cell.ljust(width) for cell, width in zip(row, widths))
        out.write(line.rstrip() + "\n")


# --- ls ---------------------------------------------------------------------

LS_HEADER = [
    "FILE",
    "OFFSET",
    "EDITION",
    "CATEGORY",
    "CENTRE",
    "SUBCENTRE",
    "MASTER",
    "LOCAL",
    "SUBSETS",
    "COMPRESSED",
    "DESCRIPTORS",
]


def ls_fields(name: str, offset: int, message: BufrMessage) -> dict[str, Any]:
    return {
        "file": name,
        "offset": offset,
        "length": message.total_length,
        "edition": message.edition,
        "master_table_number": message.master_table_number,
        "data_category": message.data_category,
        "originating_centre": message.originating_centre,
        "originating_subcentre": message.originating_subcentre,
        "master_tables_version_number": message.master_tables_version_number,
        "local_tables_version_number": message.local_tables_version_number,
        "number_of_subsets": message.number_of_subsets,
        "compressed_data": message.compressed_data,
        "unexpanded_descriptors": message.unexpanded_descriptors,
    }


def ls_line(cells: list[str], widths: list[int]) -> str:
    # The file name is left-aligned, the numbers right-aligned, the
    # descriptors (of any length) last.
    parts = [cells[0].ljust(widths[0])]
    parts += [cell.rjust(width) for cell, width in zip(cells[1:-2], widths[1:-1])]
    parts.append(cells[-2].ljust(widths[-1]))
    return ("  ".join(parts) + "  " + cells[-1]).rstrip() + "\n"


def run_ls(args: argparse.Namespace, out: TextIO, failures: Failures) -> None:
    # Widths are fixed up front so that lines stream out as messages are read.
    widths = [max([len("FILE")] + [len(name) for name in args.files])]
    widths += [max(len(h), 3) for h in LS_HEADER[1:-1]]
    widths[1] = 10
    if not args.json:
        out.write(ls_line(LS_HEADER, widths))
    for name, offset, _, message in messages_of(args.files, failures):
        if args.json:
            out.write(json.dumps(ls_fields(name, offset, message)) + "\n")
            continue
        cells = [
            name,
            str(offset),
            str(message.edition),
            str(message.data_category),
            str(message.originating_centre),
            str(message.originating_subcentre),
            str(message.master_tables_version_number),
            str(message.local_tables_version_number),
            str(message.number_of_subsets),
            "yes" if message.compressed_data else "no",
            " ".join(code_text(code) for code in message.unexpanded_descriptors),
        ]
        out.write(ls_line(cells, widths))


# --- dump -------------------------------------------------------------------


def dump_text(
    name: str,
    offset: int,
    message: BufrMessage,
    label: str,
    values: list[DecodedValue],
    out: TextIO,
) -> None:
    subsets = message.number_of_subsets
    out.write(
        f"== {name}, message at offset {offset}: {subsets} subset{'' if subsets == 1 else 's'}, "
        f"{'compressed' if message.compressed_data else 'uncompressed'}, "
        f"data category {message.data_category}, "
        f"centre {message.originating_centre}/{message.originating_subcentre}, "
        f"master table {message.master_table_number} version "
        f"{message.master_tables_version_number}, local version "
        f"{message.local_tables_version_number}\n"
    )
    out.write(f"   tables: {label}\n")
    numbers = subset_numbers(message, len(values))
    rows: list[list[str]] = []

    def flush(title: str) -> None:
        out.write(title + "\n")
        print_table(rows, out)
        rows.clear()

    current = 1
    for index, value in enumerate(values):
        if numbers is not None and numbers[index] != current:
            flush(f"-- subset {current} of {subsets}")
            current = numbers[index]
        rows.append(
            [
                code_text(value.descriptor),
                escaped(value.name),
                "" if is_operator(value) else value_text(value_of(value)),
                escaped(value.raw_meaning or ""),
            ]
        )
    if numbers is not None:
        if subsets > 0:
            flush(f"-- subset {current} of {subsets}")
    elif values:
        flush(
            f"-- subsets 1 to {subsets}, one after another: the boundaries between "
            "uncompressed subsets are not known"
        )
    out.write("\n")


def dump_json(
    name: str,
    offset: int,
    message: BufrMessage,
    label: str,
    values: list[DecodedValue],
    out: TextIO,
) -> None:
    numbers = subset_numbers(message, len(values))
    records = []
    for index, value in enumerate(values):
        data = value_of(value)
        records.append(
            {
                "subset": None if numbers is None else numbers[index],
                "descriptor": value.descriptor,
                "name": value.name,
                "value": json_number(data) if isinstance(data, float) else data,
                "raw": value.raw,
                "meaning": value.raw_meaning,
            }
        )
    fields = ls_fields(name, offset, message)
    del fields["unexpanded_descriptors"]
    fields["tables"] = label
    fields["values"] = records
    out.write(json.dumps(fields) + "\n")


def run_dump(args: argparse.Namespace, out: TextIO, failures: Failures) -> None:
    try:
        chooser = TableChooser(args.tables, args.definitions, args.wmo_csv)
    except ValueError as exc:
        failures.report("cannot load the tables", exc)
        return
    write = dump_json if args.json else dump_text
    for name, offset, data, message in messages_of(args.files, failures):
        try:
            tables, label = chooser.tables_for(message)
            values = _tarvane.decode_values_with_tables(data, tables)
        except (ValueError, OSError) as exc:
            failures.report(f"{name}: offset {offset}", exc)
            continue
        write(name, offset, message, label, values, out)


# --- entry point ------------------------------------------------------------


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarvane")
    except PackageNotFoundError:
        return "(not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="List and decode WMO FM-94 BUFR edition 4 messages.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=(
            "A message that cannot be read is reported on standard error with its file\n"
            "and offset, and the others are still shown. Exit status: 0 when everything\n"
            "was read, 1 when anything failed, 2 for a usage error.\n\n"
            f"Run '{PROG} COMMAND --help' for the options of a command."
        ),
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {package_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    files_help = "BUFR files ('-' reads standard input); every message of every file is read"

    ls = commands.add_parser(
        "ls",
        help="one line per message",
        description=(
            "List every BUFR message of the files, one line each: file, byte offset of the "
            "message, edition, data category, originating centre and sub-centre, master and "
            "local table versions, number of subsets, compressed or not, and the descriptors "
            "of section 3. Messages that cannot be read are reported on standard error."
        ),
    )
    ls.add_argument("files", nargs="+", metavar="FILE", help=files_help)
    ls.add_argument("--json", action="store_true", help="one JSON object per message instead")

    dump = commands.add_parser(
        "dump",
        help="the decoded values of every message",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Decode every BUFR message of the files and print its values, one row each:\n"
            "descriptor, element name, value (a number, a \"text\" or 'missing') and\n"
            "code-table meaning. Operator records have no value.\n\n"
            "Subsets: compressed messages and messages of one subset are shown subset by\n"
            "subset. An uncompressed message of several subsets is shown as one run of\n"
            "values in decoding order: its subsets may differ in length and the decoder\n"
            "does not mark where one ends (in JSON their \"subset\" is null).\n\n"
            "Tables: --tables, --definitions or --wmo-csv. Without them, the ecCodes\n"
            f"definitions at {ECCODES_DEFINITIONS} where they hold the\n"
            "message's master table version, otherwise the WMO BUFR4 v45 tables bundled\n"
            "with tarvane (no code tables, so no meanings). Each message says which\n"
            "tables it used."
        ),
    )
    dump.add_argument("files", nargs="+", metavar="FILE", help=files_help)
    dump.add_argument(
        "--json",
        action="store_true",
        help="one JSON object per message, its values in a list 'values'",
    )
    source = dump.add_mutually_exclusive_group()
    source.add_argument(
        "--tables",
        metavar="DIR",
        help="an ecCodes table directory (element.table, sequence.def, codetables/)",
    )
    source.add_argument(
        "--definitions",
        metavar="ROOT",
        help="an ecCodes definitions root; tables chosen by each message's versions and centre",
    )
    source.add_argument(
        "--wmo-csv",
        metavar="DIR",
        help="a directory of the WMO BUFR4 CSV tables (BUFRCREX_TableB_en_*.csv, BUFR_TableD_en_*.csv)",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = sys.stdout
    if hasattr(out, "reconfigure"):
        out.reconfigure(errors="backslashreplace")
    failures = Failures(sys.stderr)
    try:
        if args.command == "ls":
            run_ls(args, out, failures)
        else:
            run_dump(args, out, failures)
        out.flush()
    except BrokenPipeError:
        # The reader went away (`tarvane dump x | head`): stop quietly, and keep
        # the interpreter from complaining when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 1 if failures.count else 0
