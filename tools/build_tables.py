"""Rebuild the table bundle of python/tarvane/tables/bundle from its sources.

Sources: an ecCodes definitions root (Debian's libeccodes-data: master
versions 2 and 6-39 with keys and code tables, and the local tables of the
centres it carries) and the WMO's CSV edition of versions 40-45 (Table B,
Table D, code and flag tables).

Every source file becomes one piece, the table set byte form of its entries,
zlib-compressed; identical pieces are stored once. The index names, for each
table set ("0/wmo/13", "0/local/1/98/0"), the pieces to insert in order.

    python tools/build_tables.py [--definitions DIR] [--wmo DIR] [--out DIR] [--report]
"""

from __future__ import annotations

import argparse
import csv
import hashlib
import json
import os
import re
import struct
import sys
import zlib
from collections import Counter
from collections.abc import Iterable

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, os.pardir, "python", "tarvane", "tables", "bundle")
DEFINITIONS = "/usr/share/eccodes/definitions"


def _shared_tables() -> str:
    # The project's shared folder sits beside the repository (or a parent of it).
    path = HERE
    while os.path.dirname(path) != path:
        path = os.path.dirname(path)
        candidate = os.path.join(path, "shared", "tables")
        if os.path.isdir(candidate):
            return candidate
    return os.path.join(HERE, os.pardir, os.pardir, "shared", "tables")


WMO = _shared_tables()
WMO_VERSIONS = range(40, 46)
FORMAT = 1

# code -> (key, type, name, unit, scale, reference, width)
Elements = dict[int, tuple[str, str, str, str, int, int, int]]
Sequences = dict[int, list[int]]
CodeTables = dict[int, dict[int, str]]


# --- the table set byte form -------------------------------------------------

def _text(s: str) -> bytes:
    b = s.encode("utf-8")
    return struct.pack("<I", len(b)) + b


def table_bytes(elements: Elements, sequences: Sequences, code_tables: CodeTables) -> bytes:
    out = [b"TVTABLE1", struct.pack("<I", len(elements))]
    for code in sorted(elements):
        key, kind, name, unit, scale, reference, width = elements[code]
        out += [struct.pack("<I", code), _text(key), _text(kind), _text(name), _text(unit),
                struct.pack("<IQH", scale & 0xFFFFFFFF, reference & 0xFFFFFFFFFFFFFFFF, width)]
    out.append(struct.pack("<I", len(sequences)))
    for code in sorted(sequences):
        members = sequences[code]
        out.append(struct.pack(f"<II{len(members)}I", code, len(members), *members))
    out.append(struct.pack("<I", len(code_tables)))
    for code in sorted(code_tables):
        table = code_tables[code]
        out.append(struct.pack("<II", code, len(table)))
        for figure in sorted(table):
            out += [struct.pack("<Q", figure), _text(table[figure])]
    return b"".join(out)


# --- ecCodes table directories ----------------------------------------------

def _strip(s: str) -> str:
    return s.rstrip(" \t")


def read_element_table(path: str) -> Elements:
    elements: Elements = {}
    with open(path, encoding="utf-8", newline="") as f:
        rows = csv.reader(f, delimiter="|")
        next(rows, None)
        for row in rows:
            if len(row) < 8:
                continue
            code, key, kind, name, unit = row[:5]
            elements[int(code)] = (key, kind, name, unit, int(_strip(row[5])), int(_strip(row[6])),
                                   int(_strip(row[7])))
    return elements


def read_sequence_def(path: str) -> Sequences:
    with open(path, encoding="utf-8") as f:
        text = "\n".join(line for line in f.read().splitlines() if not line.strip().startswith("#"))
    sequences: Sequences = {}
    for key, members in re.findall(r'"?(\d+)"?\s*=\s*\[([^\]]*)\]', text):
        sequences[int(key)] = [int(m) for m in members.replace(",", " ").split()]
    return sequences


def read_code_table(path: str) -> dict[int, str]:
    table: dict[int, str] = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if len(words) < 3 or words[0].startswith("#"):
                continue
            table[int(words[0])] = " ".join(words[2:])
    return table


def resolve_dir(path: str) -> str | None:
    """A table directory, following symbolic links and alias files (a file naming a sibling)."""
    for _ in range(32):
        if os.path.isdir(path):
            return os.path.realpath(path)
        if not os.path.isfile(path):
            return None
        with open(path, encoding="utf-8") as f:
            path = os.path.join(os.path.dirname(path), f.read().strip())
    return None


def eccodes_pieces(directory: str) -> Iterable[bytes]:
    """One piece per file of an ecCodes table directory, in loading order."""
    element_table = os.path.join(directory, "element.table")
    if os.path.isfile(element_table):
        yield table_bytes(read_element_table(element_table), {}, {})
    sequence_def = os.path.join(directory, "sequence.def")
    if os.path.isfile(sequence_def):
        yield table_bytes({}, read_sequence_def(sequence_def), {})
    codetables = os.path.join(directory, "codetables")
    if os.path.isdir(codetables):
        for name in sorted(os.listdir(codetables)):
            stem, dot, _ = name.rpartition(".")
            if dot and name.endswith(".table") and stem.isdigit():
                yield table_bytes({}, {}, {int(stem): read_code_table(os.path.join(codetables, name))})


def eccodes_sets(root: str) -> dict[str, str]:
    """Set name -> its table directory, for every master and local set of a definitions root."""
    sets: dict[str, str] = {}
    tables = os.path.join(root, "bufr", "tables")
    for master in sorted(os.listdir(tables), key=lambda n: (len(n), n)):
        wmo = os.path.join(tables, master, "wmo")
        if not master.isdigit() or not os.path.isdir(wmo):
            continue
        for version in sorted(os.listdir(wmo), key=int):
            directory = resolve_dir(os.path.join(wmo, version))
            if directory and os.path.isfile(os.path.join(directory, "element.table")):
                sets[f"{master}/wmo/{version}"] = directory
        local = os.path.join(tables, master, "local")
        for dirpath, _, files in sorted(os.walk(local)) if os.path.isdir(local) else []:
            parts = os.path.relpath(dirpath, local).split(os.sep)
            if len(parts) == 3 and {"element.table", "sequence.def"} & set(files) or (
                len(parts) == 3 and os.path.isdir(os.path.join(dirpath, "codetables"))
            ):
                sets[f"{master}/local/{'/'.join(parts)}"] = dirpath
    return sets


# --- keys for descriptors ecCodes does not have -------------------------------

def derived_key(name: str) -> str:
    """Lower camel case of the English element name, as ecCodes writes its keys.

    "/" reads "or", a possessive "'s" and the word "the" are left out; the
    words are then the runs of letters and digits, the first lower-cased
    whole, each further one with a capital first letter and the rest lower
    case ("Height of sensor above local ground (or deck of marine platform)"
    -> heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform).
    """
    name = re.sub(r"'s\b", "", name).replace("/", " or ")
    words = [w for w in re.findall(r"[A-Za-z0-9]+", name) if w.lower() != "the"]
    if not words:
        return ""
    return words[0].lower() + "".join(w[:1].upper() + w[1:].lower() for w in words[1:])


# --- the WMO CSV edition --------------------------------------------------------

def _csv_rows(directory: str, prefix: str) -> Iterable[list[str]]:
    for name in sorted(os.listdir(directory)):
        if name.startswith(prefix) and name.endswith(".csv"):
            with open(os.path.join(directory, name), encoding="utf-8-sig", newline="") as f:
                rows = csv.reader(f)
                next(rows, None)
                yield from rows


class EccodesStyle:
    """What the ecCodes tables say of a descriptor, to write the WMO's entries as ecCodes does."""

    def __init__(self, latest: dict[int, tuple[str, str, str, str, int, int, int]]) -> None:
        self.latest = latest
        self.units: dict[str, str] = {}

    def learn_units(self, wmo_units: dict[int, str]) -> None:
        # The ecCodes spelling of each WMO unit, from the descriptors both have.
        pairs: dict[str, Counter[str]] = {}
        for code, unit in wmo_units.items():
            if code in self.latest:
                pairs.setdefault(unit, Counter())[self.latest[code][3]] += 1
        self.units = {unit: counts.most_common(1)[0][0] for unit, counts in pairs.items()}

    def element(self, code: int, name: str, unit: str, scale: int, reference: int, width: int) -> tuple:
        known = self.latest.get(code)
        unit = self.units.get(unit, unit)
        key = known[0] if known else derived_key(name)
        if unit == "CODE TABLE":
            kind = "table"
        elif unit == "FLAG TABLE":
            kind = "flag"
        elif unit == "CCITT IA5":
            kind = "string"
        else:
            kind = "double" if scale > 0 else "long"
        return (key, kind, name.upper(), unit, scale, reference, width)


def wmo_pieces(directory: str, style: EccodesStyle) -> Iterable[bytes]:
    rows = [r for r in _csv_rows(directory, "BUFRCREX_TableB_en_") if len(r) >= 8]
    style.learn_units({int(r[2]): r[4] for r in rows})
    elements = {int(r[2]): style.element(int(r[2]), r[3], r[4], int(r[5]), int(r[6]), int(r[7])) for r in rows}
    yield table_bytes(elements, {}, {})
    sequences: Sequences = {}
    for r in _csv_rows(directory, "BUFR_TableD_en_"):
        if len(r) >= 6:
            sequences.setdefault(int(r[2]), []).append(int(r[5]))
    yield table_bytes({}, sequences, {})
    code_tables: CodeTables = {}
    for r in _csv_rows(directory, "BUFRCREX_CodeFlag_en_"):
        # Ranges ("2-7"), "All 7" (missing) and headings carry no single figure.
        if len(r) >= 4 and r[2].strip().isdigit():
            code_tables.setdefault(int(r[0]), {})[int(r[2])] = " ".join(r[3].split()).upper()
    for code in sorted(code_tables):
        yield table_bytes({}, {}, {code: code_tables[code]})


# --- the bundle ---------------------------------------------------------------

class Bundle:
    def __init__(self) -> None:
        self.pieces: list[bytes] = []
        self.raw_size = 0
        self._ids: dict[bytes, int] = {}
        self.sets: dict[str, list[int]] = {}

    def add_set(self, name: str, pieces: Iterable[bytes]) -> None:
        ids = []
        for piece in pieces:
            digest = hashlib.sha256(piece).digest()
            if digest not in self._ids:
                self._ids[digest] = len(self.pieces)
                self.pieces.append(zlib.compress(piece, 9))
                self.raw_size += len(piece)
            ids.append(self._ids[digest])
        self.sets[name] = ids

    def write(self, out: str) -> None:
        os.makedirs(out, exist_ok=True)
        offsets = []
        position = 0
        with open(os.path.join(out, "pieces.bin"), "wb") as f:
            for piece in self.pieces:
                f.write(piece)
                offsets.append([position, len(piece)])
                position += len(piece)
        digest = hashlib.sha256(b"".join(self.pieces)).hexdigest()[:16]
        index = {"format": FORMAT, "digest": digest, "pieces": offsets, "sets": self.sets}
        with open(os.path.join(out, "index.json"), "w", encoding="utf-8") as f:
            json.dump(index, f, separators=(",", ":"), sort_keys=True)
            f.write("\n")


def latest_eccodes_elements(sets: dict[str, str]) -> dict[int, tuple]:
    latest: dict[int, tuple] = {}
    masters = sorted((int(n.split("/")[2]), d) for n, d in sets.items() if n.startswith("0/wmo/"))
    for _, directory in masters:
        latest.update(read_element_table(os.path.join(directory, "element.table")))
    return latest


def build(definitions: str, wmo: str) -> tuple[Bundle, dict[str, float]]:
    bundle = Bundle()
    sets = eccodes_sets(definitions)
    for name, directory in sets.items():
        bundle.add_set(name, eccodes_pieces(directory))
    style = EccodesStyle(latest_eccodes_elements(sets))
    for version in WMO_VERSIONS:
        bundle.add_set(f"0/wmo/{version}", wmo_pieces(os.path.join(wmo, f"wmo-bufr4-v{version}"), style))
    return bundle, key_rule_report(style, os.path.join(wmo, f"wmo-bufr4-v{WMO_VERSIONS[0]}"))


def key_rule_report(style: EccodesStyle, directory: str) -> dict[str, float]:
    """How often the key rule gives ecCodes' own key, over the descriptors both tables have."""
    names = {int(r[2]): r[3] for r in _csv_rows(directory, "BUFRCREX_TableB_en_") if len(r) >= 8}
    both = [code for code in names if code in style.latest]
    same = sum(derived_key(names[code]) == style.latest[code][0] for code in both)
    return {"descriptors": len(both), "key rule reproduces": same, "share": round(same / max(1, len(both)), 4)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--definitions", default=DEFINITIONS)
    parser.add_argument("--wmo", default=WMO, help="the folder holding wmo-bufr4-v40 ... v45")
    parser.add_argument("--out", default=OUT)
    parser.add_argument("--report", action="store_true", help="print the key rule's agreement and sizes")
    args = parser.parse_args(argv)
    bundle, keys = build(args.definitions, args.wmo)
    bundle.write(args.out)
    if args.report:
        stored = sum(len(p) for p in bundle.pieces)
        print(json.dumps({"sets": len(bundle.sets), "pieces": len(bundle.pieces), "stored bytes": stored,
                          "raw bytes": bundle.raw_size, "keys": keys}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
