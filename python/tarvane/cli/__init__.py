"""The ``tarvane`` command: list, dump and convert the BUFR messages of files.

    tarvane ls FILE...                 one line per message
    tarvane dump FILE...               the decoded values of every message
    tarvane convert FILE... -o OUT     a table file of the decoded values
    tarvane encode ... -o OUT          messages written from rows by key or from dump --json

FILE may be a file, a directory (read recursively), a glob or '-' for
standard input. Every message of every file is handled; a message that
cannot be read is reported on standard error with its file and offset, and
the command goes on with the next one. The exit status is 1 when anything
failed, 2 for a usage error, 0 otherwise.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import warnings
from collections.abc import Sequence
from typing import BinaryIO, TextIO

from .._tables import DEFINITION_PATH_VARIABLE
from . import encode as encode_command
from .inputs import PROG, Failures, decode, expand, messages
from .records import Records, Selection, header_fields

__all__ = ["main", "build_parser"]


def run_ls(args: argparse.Namespace, out: TextIO, failures: Failures) -> None:
    from .text import LsWriter

    sources = expand(args.files, failures)
    writer = None if args.json else LsWriter([s.name for s in sources], out)
    for _, message in messages(sources, None, failures):
        if writer is None:
            out.write(json.dumps(header_fields(message)) + "\n")
        else:
            writer.message(message)


def run_dump(args: argparse.Namespace, out: TextIO, failures: Failures) -> None:
    from .jsonout import FeatureCollection, geojson_features, message_json
    from .text import dump_text

    tables = args.tables or args.definitions or args.wmo_csv
    if not _tables_usable(tables, failures):
        return
    selection = Selection(
        subsets=None if args.subset is None else frozenset(args.subset),
        keys=None if args.key is None else frozenset(args.key),
    )
    wanted = None if args.message is None else set(args.message)
    sources = expand(args.files, failures)
    # JSON is made as UTF-8 bytes and written as such.
    binary = _binary(out) if args.json or args.geojson else None
    collection = FeatureCollection(binary) if binary is not None and args.geojson else None
    try:
        for number, message in messages(sources, tables, failures):
            if wanted is not None and number not in wanted:
                continue
            data = decode(message, failures)
            if data is None:
                continue
            records = Records(data, selection)
            if collection is not None:
                placing = None if selection.keys is None else Records(data, Selection(subsets=selection.subsets))
                collection.add(geojson_features(message, records, placing))
            elif selection.subsets is not None and not len(records):
                continue  # none of the subsets asked for
            elif binary is not None:
                binary.write(message_json(message, records, data.tables_used) + b"\n")
            else:
                dump_text(message, number, records, data.tables_used, out)
    finally:
        if collection is not None:
            collection.close()
        if binary is not None:
            binary.flush()


def _binary(out: TextIO) -> BinaryIO:
    out.flush()
    buffer: BinaryIO | None = getattr(out, "buffer", None)
    return buffer if buffer is not None else _Utf8Writer(out)  # type: ignore[return-value]


class _Utf8Writer:
    """Bytes to a text stream that has no binary buffer under it."""

    def __init__(self, out: TextIO) -> None:
        self.out = out

    def write(self, data: bytes) -> int:
        return self.out.write(data.decode("utf-8"))

    def flush(self) -> None:
        self.out.flush()


def _tables_usable(tables: str | None, failures: Failures) -> bool:
    """Check the tables named on the command line (or by the environment) once, before any message."""
    from .._tables import TableChooser

    try:
        TableChooser(tables)
    except (ValueError, OSError) as exc:
        table_path = getattr(exc, "table_path", None)
        failures.report(f"while loading {table_path}: {exc}" if table_path else f"cannot use the tables: {exc}")
        return False
    return True


def run_convert(args: argparse.Namespace, out: TextIO, failures: Failures) -> None:
    try:
        from .._convert import convert  # type: ignore[import-not-found,unused-ignore]
    except ImportError:
        failures.report("convert: this installation of tarvane has no converter (tarvane._convert)")
        return
    if "-" in args.files:
        failures.report("convert: reads files, not standard input")
        return
    paths = [source.name for source in expand(args.files, failures)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        try:
            columns = [c for option in args.columns or [] for c in option.split(",") if c] or None
            rows = convert(paths, args.output, columns=columns, tables=args.tables, errors=args.errors,
                           threads=args.threads)
        except (ValueError, OSError, KeyError, ImportError) as exc:
            failures.report(f"convert: {exc}")
        else:
            out.write(f"{args.output}: {rows} rows\n")
    for w in caught:
        if issubclass(w.category, RuntimeWarning):
            failures.report(w.message)
        else:
            warnings.showwarning(w.message, w.category, w.filename, w.lineno)


# --- the parser ---------------------------------------------------------------


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarvane")
    except PackageNotFoundError:
        return "(not installed)"


class _Version(argparse.Action):
    # The version is looked up only when asked: importlib.metadata is slow to import.
    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        sys.stdout.write(f"{PROG} {package_version()}\n")
        parser.exit()


FILES_HELP = "BUFR files, directories (read recursively) or globs; '-' reads standard input"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="List, decode and convert WMO FM-94 BUFR messages (editions 3 and 4).",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=(
            "A message that cannot be read is reported on standard error with its file\n"
            "and offset, and the others are still shown. Exit status: 0 when everything\n"
            "was read, 1 when anything failed, 2 for a usage error. Over several files a\n"
            "progress bar is drawn on standard error when it is a terminal and tqdm is\n"
            "installed (pip install 'tarvane[cli]').\n\n"
            f"Run '{PROG} COMMAND --help' for the options of a command."
        ),
    )
    parser.add_argument("--version", action=_Version, nargs=0, help="show the version and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    ls = commands.add_parser(
        "ls",
        help="one line per message",
        description=(
            "List every BUFR message of the files, one line each: file, byte offset, edition, "
            "data category, originating centre and sub-centre, master and local table versions, "
            "number of subsets, compressed or not, the date and time of section 1 and the "
            "descriptors of section 3."
        ),
    )
    ls.add_argument("files", nargs="+", metavar="FILE", help=FILES_HELP)
    ls.add_argument("--json", action="store_true", help="one JSON object per message instead")

    dump = commands.add_parser(
        "dump",
        help="the decoded values of every message",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Decode every BUFR message of the files and print its values subset by subset,\n"
            "one row each: descriptor, key (or name), value (a number, a \"text\" or\n"
            "'missing'), unit and code-table meaning. Operator records have no value.\n\n"
            "--json writes one JSON document per message (JSON lines): the header fields,\n"
            "'tables', 'elements' (per six-digit descriptor its 'key', 'name' and 'unit',\n"
            "and 'meanings' of the code figures met) and 'groups' of consecutive subsets\n"
            "with one descriptor sequence: 'subsets' (their numbers), 'descriptors', and\n"
            "'values' with one entry per descriptor, the value where every subset of the\n"
            "group has the same, else a list of one value per subset; where records qualify\n"
            "others, 'refers_to' (the position qualified, or null) and 'attributes' (the\n"
            "name as an attribute, or null), collapsed the same way.\n"
            "--geojson writes one FeatureCollection: a Feature per subset that has a\n"
            "latitude and longitude, its values as properties by key with their 'units',\n"
            "its 'datetime' the observation's own, and 'WMO_station_id'/'WIGOS_station_id'.\n\n"
            "Tables: --tables, --definitions or --wmo-csv. Without them, the tables\n"
            "bundled with tarvane (WMO master versions 2 to 45 and the centres' local\n"
            f"tables), or the definitions root {DEFINITION_PATH_VARIABLE} names when set.\n"
            "Each message is decoded with its own master version; the \"tables:\" line says\n"
            "which tables were used."
        ),
    )
    dump.add_argument("files", nargs="+", metavar="FILE", help=FILES_HELP)
    form = dump.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help="one JSON document per message")
    form.add_argument("--geojson", action="store_true", help="a GeoJSON FeatureCollection of the subsets")
    dump.add_argument("--message", type=_positive, action="append", metavar="N",
                      help="only the N-th message of each file, from 1 (repeatable)")
    dump.add_argument("--subset", type=_positive, action="append", metavar="N",
                      help="only subset N, from 1 (repeatable)")
    dump.add_argument("--key", action="append", metavar="K",
                      help="only the records of key K (e.g. airTemperature), attribute K (e.g. "
                           "windSpeed->percentConfidence) or descriptor K (e.g. 012101); repeatable")
    source = dump.add_mutually_exclusive_group()
    source.add_argument("--tables", metavar="DIR",
                        help="an ecCodes table directory (element.table, sequence.def, codetables/)")
    source.add_argument("--definitions", metavar="ROOT",
                        help="an ecCodes definitions root; tables chosen by each message's versions and centre")
    source.add_argument("--wmo-csv", metavar="DIR",
                        help="a directory of the WMO BUFR4 CSV tables (BUFRCREX_TableB_en_*.csv, BUFR_TableD_en_*.csv)")

    convert = commands.add_parser(
        "convert",
        help="write the decoded values as a table file",
        description="Decode every message of the files into one table file (.parquet or .csv by OUT's suffix).",
    )
    convert.add_argument("files", nargs="+", metavar="FILE", help=FILES_HELP.split(";")[0])
    convert.add_argument("-o", "--output", required=True, metavar="OUT", help="the file to write")
    convert.add_argument("--columns", action="append", metavar="K,K...",
                         help="keys (or header fields) to take as columns, comma-separated or the option "
                              "repeated; all by default")
    convert.add_argument("--tables", metavar="T",
                         help="an ecCodes definitions root, an ecCodes table directory or a WMO CSV folder")
    convert.add_argument("--errors", choices=("raise", "skip", "warn"), default="warn",
                         help="a message that cannot be read: stop, leave it out, or leave it out and say so (default)")
    convert.add_argument("--threads", type=_positive, metavar="N",
                         help="threads that decode (default: the cores this process may use)")
    encode_command.add_parser(commands)
    return parser


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a number from 1: {text!r}")
    return number


def _drop_output() -> None:
    # What is still buffered goes nowhere, so the interpreter's flush at exit
    # does not fail a second time.
    try:
        fileno = sys.stdout.fileno()
    except (OSError, ValueError):
        return  # not a file: nothing is flushed to it at exit
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fileno)
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    out = sys.stdout
    if hasattr(out, "reconfigure"):
        out.reconfigure(errors="backslashreplace")
    failures = Failures(sys.stderr)
    run = {"ls": run_ls, "dump": run_dump, "convert": run_convert, "encode": encode_command.run}[args.command]
    try:
        run(args, out, failures)
        out.flush()
    except BrokenPipeError:
        # The reader went away (`tarvane dump x | head`): stop quietly.
        _drop_output()
        return 1
    except OSError as exc:
        # Reading failures are reported where they happen: this is the
        # output (a full disk, a device that fails).
        _drop_output()
        failures.report(f"cannot write the output: {exc.strerror or exc}")
        return 1
    except KeyboardInterrupt:
        return 130
    return 1 if failures.count else 0
