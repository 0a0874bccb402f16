"""Flag-table values read as flags, on the real corpora, against the ecCodes tables read here.

The table of a flag element lists bit numbers, bit 1 the most significant of
the element's width. A value means the entries of its set bits in bit order,
joined by "; "; a value with every bit set is missing (outside class 31). The meaning every
flag-table record should have is worked out in this file from the
element.table and codetables files of the message's master version, not
from tarvane's loaders, and compared with Data.meaning, the frames' meaning
column and the command line's JSON.

Run as a script, it prints how many flag-table records there are and how
many read otherwise when looked up as code figures.
"""

import functools
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import tarvane

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "corpus")
DEFINITIONS = "/usr/share/eccodes/definitions"
WMO = os.path.join(DEFINITIONS, "bufr", "tables", "0", "wmo")
CORPORA = {"edition4": os.path.join(CORPUS, "messages"), "edition3": os.path.join(CORPUS, "edition3", "messages")}

pytestmark = pytest.mark.skipif(not os.path.isdir(WMO), reason="no ecCodes definitions")


def _entries(path):
    entries = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            for line in f:
                words = line.split()
                if len(words) > 2 and not words[0].startswith("#"):
                    entries[int(words[0])] = " ".join(words[2:])
    return entries


@functools.lru_cache(maxsize=None)
def _flag_tables(version):
    """Flag element code -> (width, {bit: entry}) of a master version, None when absent."""
    directory = os.path.join(WMO, str(version))
    if not os.path.isfile(os.path.join(directory, "element.table")):
        return None
    out = {}
    with open(os.path.join(directory, "element.table"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("|")
            if line.startswith("#") or len(fields) < 8 or fields[4].strip().upper() != "FLAG TABLE":
                continue
            code = int(fields[0])
            out[code] = (int(fields[7]), _entries(os.path.join(directory, "codetables", f"{code}.table")))
    return out


def _bits_meaning(code, width, entries, raw):
    # All bits set is the missing value, except in class 31, which has none.
    if raw is None or (raw == (1 << width) - 1 and code // 1000 % 100 != 31):
        return None
    texts = [entries[bit] for bit in range(1, width + 1) if raw >> (width - bit) & 1 and bit in entries]
    return "; ".join(texts) if texts else None


def _flag_records(files):
    """Per decoded message: (message, data, positions of its flag records, their expected meanings)."""
    for path in files:
        for message in tarvane.read(path, tables=DEFINITIONS, errors="skip"):
            tables = _flag_tables(message.master_tables_version_number)
            if tables is None:
                continue  # no ecCodes tables of that version to compare with
            try:
                data = message.decode()
            except ValueError:
                continue  # the agreement tests cover messages that fail
            codes = data.descriptor
            positions = np.flatnonzero(np.isin(codes, np.fromiter(tables, dtype=np.uint32)))
            raw = data.raw  # masked where the decoder found the value missing
            expected = [
                _bits_meaning(code, *tables[code], None if missing else figure)
                for code, figure, missing in zip(codes[positions].tolist(), raw.data[positions].tolist(),
                                                 raw.mask[positions].tolist())
            ]
            yield message, data, positions, expected


def _files(corpus):
    directory = CORPORA[corpus]
    return [os.path.join(directory, n) for n in sorted(os.listdir(directory))] if os.path.isdir(directory) else []


@pytest.mark.parametrize("corpus", sorted(CORPORA))
def test_every_flag_record_means_its_set_bits(corpus):
    files = _files(corpus)
    if not files:
        pytest.skip(f"no {corpus} corpus")
    records = wrong = 0
    first = []
    for message, data, positions, expected in _flag_records(files):
        got = data.meaning[positions].tolist()
        records += len(got)
        bad = [(int(data.descriptor[p]), int(data.raw.data[p]), g, e)
               for p, g, e in zip(positions.tolist(), got, expected) if g != e]
        wrong += len(bad)
        first.extend((message.source, message.offset, *b) for b in bad[: 3 - len(first)])
    assert records > 1000, "the corpus holds flag-table records"
    assert wrong == 0, f"{wrong} of {records} flag-table records: {first}"


@functools.lru_cache(maxsize=None)
def _sample():
    """Edition-4 messages whose flag values have set bits: single-subset ones and compressed ones."""
    out = []
    for message, data, positions, expected in _flag_records(_files("edition4")):
        kind = "compressed" if message.compressed_data else "one" if message.number_of_subsets == 1 else None
        if kind and sum(k == kind for k, *_ in out) < 3 and any(e is not None for e in expected):
            out.append((kind, message, data, positions, expected))
    return out


def test_flag_meanings_in_frames_and_json():
    sample = _sample()
    if not sample:
        pytest.skip("no edition-4 corpus")
    for _, message, data, positions, expected in sample:
        assert data.to_pandas()["meaning"].iloc[positions].astype(object).where(lambda s: s.notna(), None).tolist() \
            == expected
        out = subprocess.run(
            [sys.executable, "-m", "tarvane", "dump", "--json", "--definitions", DEFINITIONS, message.source],
            capture_output=True, check=True, text=True,
        ).stdout.splitlines()
        document = next(d for d in map(json.loads, out) if d["offset"] == message.offset)
        for p, e in zip(positions.tolist(), expected):
            meanings = document["elements"][f"{int(data.descriptor[p]):06d}"].get("meanings", {})
            assert meanings.get(str(int(data.raw.data[p]))) == e


def _reference_flags(message, tables):
    """(code, occurrence, subset) -> the meaning of the reference decoder's flag value and width."""
    out = subprocess.run(["bufr_dump", "-jf", "-"], input=message.bytes, capture_output=True)
    assert out.returncode == 0, out.stderr
    meanings, seen = {}, {}

    def walk(node):
        if isinstance(node, list):
            for v in node:
                walk(v)
        elif isinstance(node, dict):
            if str(node.get("units", "")).upper() == "FLAG TABLE" and int(node["code"]) in tables \
                    and int(node["code"]) // 1000 % 100 != 31:
                code = int(node["code"])
                entries = tables[code][1]
                k = seen[code] = seen.get(code, -1) + 1
                values = node["value"] if isinstance(node["value"], list) else [node["value"]] * message.number_of_subsets
                for subset, value in enumerate(values, 1):
                    meanings[code, k, subset] = _bits_meaning(code, node["width"], entries, value)
            for v in node.values():
                walk(v)

    walk(json.loads(out.stdout))
    return meanings


@pytest.mark.skipif(subprocess.run(["sh", "-c", "command -v bufr_dump"], capture_output=True).returncode != 0,
                    reason="no bufr_dump")
def test_flag_meanings_from_the_reference_decoders_values():
    sample = _sample()
    if not sample:
        pytest.skip("no edition-4 corpus")
    assert {kind for kind, *_ in sample} == {"one", "compressed"}
    for _, message, data, positions, _ in sample:
        reference = _reference_flags(message, _flag_tables(message.master_tables_version_number))
        ours, seen = {}, {}
        for p in positions.tolist():
            code, subset = int(data.descriptor[p]), int(data.subset[p])
            if code // 1000 % 100 == 31:
                continue  # the reference's dump leaves out data present indicators
            k = seen[code, subset] = seen.get((code, subset), -1) + 1
            ours[code, k, subset] = data.meaning[p]
        assert ours == reference, (message.source, message.offset)


if __name__ == "__main__":
    for corpus in sorted(CORPORA):
        total = changed = 0
        for message, data, positions, expected in _flag_records(_files(corpus)):
            exact = data.tables
            for p, e in zip(positions.tolist(), expected):
                total += 1
                raw = data.raw
                looked_up = None if raw.mask[p] else exact.get_meaning(int(data.descriptor[p]), int(raw.data[p]))
                changed += looked_up != e
        print(f"{corpus}: {total} flag-table records, {changed} read otherwise as code figures")
