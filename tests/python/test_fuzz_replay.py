"""Every fuzz seed and regression input through the Python surface.

The C++ replay runs the harnesses on the core; this runs the same inputs
through `_tarvane`, so that argument conversion, result objects and error
raising meet them too (under AddressSanitizer in `make test-asan-python`).
Each input is decoded or loaded as its harness does; the only demand is a
result or a ValueError.
"""

import os
import re

import pytest

import tarvane
from bufr_builder import message
from tarvane import _tarvane as t

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FUZZ = os.path.join(ROOT, "fuzz")

# The small Table D of the expansion harness, self-reference and cycles included.
EXPAND_SEQUENCES = """\
300002 = [000002, 000003]
301001 = [001001, 001002]
301011 = [004001, 004002, 004003]
302000 = [101255, 301001]
302001 = [102000, 031001, 302000, 001001]
303000 = [303000]
303001 = [303002, 001001]
303002 = [303001]
304000 = []
305000 = [204007, 001001, 031021, 204000]
"""


def inputs(harness):
    found = []
    for kind in ("seeds", "regressions"):
        folder = os.path.join(FUZZ, kind, harness)
        if os.path.isdir(folder):
            found += [os.path.join(folder, name) for name in sorted(os.listdir(folder))]
    return found


def read(path):
    with open(path, "rb") as f:
        return f.read()


def either_value_or_value_error(call):
    try:
        return call()
    except ValueError:
        return None


@pytest.fixture(scope="module")
def wmo_tables():
    return tarvane.default_tables()


@pytest.mark.parametrize("path", inputs("fuzz_message"), ids=os.path.basename)
def test_message_inputs(path, wmo_tables):
    data = read(path)
    either_value_or_value_error(lambda: t.parse_bytes(data))
    either_value_or_value_error(lambda: [repr(m) for m in t.parse_all_bytes(data)])
    values = either_value_or_value_error(lambda: t.decode_values_with_tables(data, wmo_tables))
    for v in values or ():
        (v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning, v.data, repr(v))


@pytest.mark.parametrize("path", inputs("fuzz_decode"), ids=os.path.basename)
def test_decode_inputs(path, wmo_tables):
    # Layout: flags (bit 0 compressed), subsets, descriptor count, 16-bit
    # descriptors, payload; framed here as a whole message.
    data = read(path)
    if len(data) < 3:
        return
    count, pos, descriptors = data[2], 3, []
    while len(descriptors) < count and pos + 2 <= len(data):
        f, x, y = data[pos] >> 6, data[pos] & 0x3F, data[pos + 1]
        descriptors.append(f * 100000 + x * 1000 + y)
        pos += 2
    flags = 0x80 | (0x40 if data[0] & 1 else 0)
    framed = message(descriptors, data[pos:], subsets=data[1], flags=flags)
    values = either_value_or_value_error(lambda: t.decode_values_with_tables(framed, wmo_tables))
    for v in values or ():
        (v.name, v.data, repr(v))


@pytest.mark.parametrize("path", inputs("fuzz_expand"), ids=os.path.basename)
def test_expand_inputs(path, tmp_path):
    data = read(path)
    codes = []
    for i in range(0, len(data) - 2, 3):
        f, x, y = data[i] % 5, data[i + 1] % 64, data[i + 2]
        if f == 3:
            x, y = data[i + 1] % 6, data[i + 2] % 12
        codes.append(f * 100000 + x * 1000 + y)
        if len(codes) == 64:
            break
    (tmp_path / "element.table").write_text("")
    (tmp_path / "sequence.def").write_text(EXPAND_SEQUENCES)
    either_value_or_value_error(lambda: t.expand_descriptors(str(tmp_path), codes))


@pytest.mark.parametrize("path", inputs("fuzz_tables"), ids=os.path.basename)
def test_table_inputs(path, tmp_path):
    data = read(path)
    if not data:
        return
    which, text = data[0] % 6, data[1:]
    d = tmp_path / "tables"
    (d / "codetables").mkdir(parents=True)
    (d / "element.table").write_bytes(b"001001|a|long|N|U|0|0|7\n")
    (d / "sequence.def").write_bytes(b"")
    if which in (0, 1):
        (d / ("element.table" if which == 0 else "sequence.def")).write_bytes(text)
    elif which == 2:
        (d / "codetables" / "1003.table").write_bytes(text)
    elif which == 3:
        for name in ("BUFRCREX_TableB_en_00.csv", "BUFR_TableD_en_00.csv"):
            (d / name).write_bytes(text)
        either_value_or_value_error(lambda: t.TableSet.from_bufr4_45(str(d)))
        return
    elif which == 4:
        wmo = tmp_path / "defs" / "bufr" / "tables" / "0" / "wmo"
        wmo.mkdir(parents=True)
        (wmo / "37").write_bytes(text)
        (wmo / "38").write_bytes(b"37")
        either_value_or_value_error(lambda: t.decode_values_with_definitions(message([1001]), str(tmp_path / "defs")))
        return
    else:
        half = len(text) // 2
        (d / "element.table").write_bytes(text[:half])
        (d / "sequence.def").write_bytes(text[half:])
    tables = either_value_or_value_error(lambda: t.TableSet.from_eccodes(str(d)))
    if tables is not None:
        # The harness expands every loaded sequence; here those the text names.
        for code in sorted({int(c) for c in re.findall(rb"3\d{5}", text)})[:32]:
            sequence = tables.get_sequence(code)
            if sequence is not None:
                either_value_or_value_error(lambda: tables.expand(sequence.members))
