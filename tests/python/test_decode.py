"""decode_values and friends: step order, argument rules, and the DecodedValue objects they return."""

import gc
import json
import os
import shutil
import subprocess
import sys

import pytest

from bufr_builder import DATA_DIR, message, pack_bits, u24, write_table_dir
from tarvane import (
    DecodedValue,
    TableSet,
    decode_values,
    decode_values_with_definitions,
    decode_values_with_tables,
    parse_all_bytes,
)

ELEMENTS = [
    (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    (1003, "WMO REGION", "Code table", 0, 0, 3),
    (1015, "STATION OR SITE NAME", "CCITT IA5", 0, 0, 24),
    (12101, "TEMPERATURE", "K", 2, 0, 16),
    (31021, "ASSOCIATED FIELD SIGNIFICANCE", "Code table", 0, 0, 6),
    (31001, "DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 8),
    (10001, "BIG", "m", -16, 0, 4),
    (10002, "TINY", "m", 6, 0, 8),
    (10003, "INFINITE", "m", -400, 0, 2),
    (10004, "NEGATIVE INFINITE", "m", -400, -5, 4),
    (10005, "SMALL", "m", 4, 0, 4),
]


@pytest.fixture
def table_dir(tmp_path):
    return write_table_dir(
        tmp_path / "tables", ELEMENTS, [(301001, [1001, 1003])], code_tables={1003: {1: "Region I", 7: "Missing"}}
    )


def station(block=15, region=1, name=b"ABC", temp=27315):
    return [(block, 7), (region, 3), (int.from_bytes(name, "big"), 24), (temp, 16)]


DESCRIPTORS = [1001, 1003, 1015, 12101]


def test_values_of_one_subset(table_dir):
    data = message(DESCRIPTORS, pack_bits(station()))
    values = decode_values(data, table_dir)
    assert type(values) is list and len(values) == 4
    assert all(type(v) is DecodedValue for v in values)
    block, region, name, temp = values
    assert (block.descriptor, block.name, block.raw_value, block.raw) == (1001, "WMO BLOCK NUMBER", 15.0, 15)
    assert (block.raw_text, block.raw_meaning, block.data) == (None, None, 15.0)
    assert (region.raw, region.raw_meaning, region.data) == (1, "Region I", "Region I")
    assert (name.raw_text, name.raw_value, name.raw, name.data) == ("ABC", 1003.0, None, "ABC")
    assert (temp.raw_value, temp.raw, temp.data) == (273.15, 27315, 273.15)
    assert [repr(v) for v in values] == [
        "DecodedValue(001001, Some(15.0))",
        'DecodedValue(001003, "Region I")',
        'DecodedValue(001015, "ABC")',
        "DecodedValue(012101, Some(273.15))",
    ]
    assert type(block.descriptor) is int and type(block.raw_value) is float


def test_missing_values(table_dir):
    data = message(DESCRIPTORS, pack_bits(station(block=127, region=7, name=b"\xff\xff\xff", temp=0xFFFF)))
    block, region, name, temp = decode_values(data, table_dir)
    # missing number without a code table: no data, raw keeps the all-ones pattern
    assert (block.raw_value, block.raw, block.data) == (None, 127, None)
    assert repr(block) == "DecodedValue(001001, None)"
    # a missing code figure the code table lists still has its meaning
    assert (region.raw_value, region.raw, region.raw_meaning, region.data) == (None, 7, "Missing", "Missing")
    # all-0xFF text: no text, so data is the text index
    assert (name.raw_text, name.data) == (None, 1003.0)
    assert repr(name) == "DecodedValue(001015, Some(1003.0))"
    assert temp.data is None


def test_text_quoting_in_repr(table_dir):
    data = message([1015], pack_bits([(int.from_bytes(b'"\t\\', "big"), 24)]))
    [v] = decode_values(data, table_dir)
    assert v.raw_text == '"\t\\'
    assert repr(v) == 'DecodedValue(001015, "\\"\\t\\\\")'


def test_operator_and_associated_field_records(table_dir):
    data = message([222000, 204003, 31021, 1001, 204000], pack_bits([(5, 6), (6, 3), (15, 7)]))
    op, significance, assoc, block = decode_values(data, table_dir)
    assert (op.descriptor, op.name, op.raw_value, op.raw, op.data) == (222000, "operator", 0.0, 0, 0.0)
    assert repr(op) == "DecodedValue(222000, Some(0.0))"
    assert (significance.descriptor, significance.raw) == (31021, 5)
    assert (assoc.descriptor, assoc.name, assoc.raw_value, assoc.raw) == (999999, "associatedField", 6.0, 6)
    assert repr(assoc) == "DecodedValue(999999, Some(6.0))"
    assert block.raw == 15


def reference_float_text(x):
    """The record layout rebuilt from Python's own shortest round-trip digits."""
    if x != x:
        return "NaN"
    if abs(x) == float("inf"):
        return "inf" if x > 0 else "-inf"
    sign = "-" if repr(x).startswith("-") else ""
    if x == 0:
        return sign + "0.0"
    digits, exp = repr(abs(x)), 0
    if "e" in digits:
        digits, e = digits.split("e")
        exp = int(e)
    whole, _, frac = digits.partition(".")
    # normalise to d.ddd x 10^exp
    all_digits = (whole + frac).lstrip("0")
    exp += len(whole) - 1 if whole != "0" else -(len(frac) - len(frac.lstrip("0")) + 1)
    all_digits = all_digits.rstrip("0") or "0"
    if x != 0 and (abs(x) >= 1e16 or abs(x) < 1e-4):
        return sign + all_digits[0] + ("." + all_digits[1:] if len(all_digits) > 1 else "") + f"e{exp}"
    if exp < 0:
        return sign + "0." + "0" * (-exp - 1) + all_digits
    int_part = all_digits[: exp + 1].ljust(exp + 1, "0")
    return sign + int_part + "." + (all_digits[exp + 1 :] or "0")


@pytest.mark.parametrize(
    "descriptor,bits,text",
    [
        (10001, [(1, 4)], "1e16"),
        (10001, [(15, 4)], "None"),
        (10001, [(12, 4)], "1.2e17"),
        (10002, [(25, 8)], "2.5e-5"),
        (10002, [(100, 8)], "0.0001"),
        (10002, [(99, 8)], "9.9e-5"),
        (10005, [(1, 4)], "0.0001"),
        (10003, [(0, 2)], "NaN"),
        (10003, [(1, 2)], "inf"),
        (10004, [(1, 4)], "-inf"),
        (10004, [(5, 4)], "NaN"),
        (12101, [(0, 16)], "0.0"),
        (12101, [(100, 16)], "1.0"),
        (12101, [(12345, 16)], "123.45"),
        (12101, [(1, 16)], "0.01"),
    ],
)
def test_float_repr(table_dir, descriptor, bits, text):
    [v] = decode_values(message([descriptor], pack_bits(bits)), table_dir)
    shown = repr(v)[len("DecodedValue(010001, ") : -1]
    assert shown == (f"Some({text})" if text != "None" else "None")
    if v.raw_value is not None:
        assert reference_float_text(v.raw_value) == text


def test_float_repr_across_scales(tmp_path):
    # one 32-bit element per scale from -20 to 20, against the layout rebuilt
    # from Python's own shortest digits
    scales = range(-20, 21)
    elements = [(20000 + i, f"E{i}", "m", scale, -(2**31), 32) for i, scale in enumerate(scales)]
    table_dir = write_table_dir(tmp_path / "t", elements)
    raws = [(2**31 + (-1) ** i * (7 ** (i % 12) + i * 1234567)) % (2**32 - 1) for i in range(len(elements))]
    data = message([e[0] for e in elements], pack_bits([(r, 32) for r in raws]))
    values = decode_values(data, table_dir)
    assert len(values) == len(elements)
    for v in values:
        assert repr(v) == f"DecodedValue({v.descriptor:06d}, Some({reference_float_text(v.raw_value)}))"


def test_values_are_small_untracked_and_share_their_strings(table_dir):
    subsets = 50
    data = message(DESCRIPTORS, pack_bits(station() * subsets), subsets=subsets)
    values = decode_values(data, table_dir)
    assert len(values) == 4 * subsets
    assert sys.getsizeof(values[0]) <= 64
    assert not any(gc.is_tracked(v) for v in values)
    assert all(v.name is values[0].name for v in values[::4])
    assert all(v.raw_meaning is values[1].raw_meaning for v in values[1::4])
    # text indices run over the whole message
    assert [v.raw_value for v in values[2::4][:3]] == [1003.0, 2003.0, 3003.0]
    for name in ["descriptor", "name", "raw_value", "raw", "raw_text", "raw_meaning", "data"]:
        with pytest.raises(AttributeError):
            setattr(values[0], name, 1)
    assert values[0] != values[4] and values[0] == values[0]


def test_compressed_values_are_regrouped_by_subset(table_dir):
    # three subsets: 1001 with R0 10, NBINC 3, increments 0 7 2 (7 is missing),
    # 1003 with R0 1 and NBINC 0
    bits = [(10, 7), (3, 6), (0, 3), (7, 3), (2, 3), (1, 3), (0, 6)]
    data = message([1001, 1003], pack_bits(bits), subsets=3, flags=0xC0)
    values = decode_values(data, table_dir)
    assert [(v.descriptor, v.raw_value) for v in values] == [
        (1001, 10.0), (1003, 1.0), (1001, None), (1003, 1.0), (1001, 12.0), (1003, 1.0)
    ]
    assert values[1].raw_meaning == "Region I"


def test_decoding_failures(table_dir):
    with pytest.raises(ValueError) as info:
        decode_values(message([13045], b"\x00"), table_dir)
    assert info.value.args == ("descriptor 013045 was not found in Table B",)
    with pytest.raises(ValueError) as info:
        decode_values(message([12101, 12101], b"\x00\x00\x00"), table_dir)
    assert info.value.args == (
        "csv/table parse error: not enough bits while reading section 4 at bit 16 for width 16 (24 bits available)",
    )


def test_step_order(tmp_path, table_dir):
    missing = str(tmp_path / "missing")
    good = message(DESCRIPTORS, pack_bits(station()))
    with pytest.raises(TypeError, match="^argument 'data': 'bytearray' object cannot be cast as 'bytes'$"):
        decode_values(bytearray(good), 1)
    with pytest.raises(TypeError, match="^argument 'table_dir': 'int' object cannot be cast as 'str'$"):
        decode_values(good, 1)
    # the message is framed and parsed before the tables are loaded
    for fn, tables in [(decode_values, missing), (decode_values_with_definitions, missing)]:
        with pytest.raises(ValueError, match="^missing BUFR marker$"):
            fn(b"", tables)
        with pytest.raises(ValueError, match="^missing BUFR marker$"):
            fn(b"no marker here", tables)
        with pytest.raises(ValueError, match="^section 5 terminator is not 7777$"):
            fn(message([1001], terminator=b"7770"), tables)
    with pytest.raises(ValueError, match="^missing BUFR marker$"):
        decode_values_with_tables(b"", TableSet())
    with pytest.raises(ValueError, match="No such file or directory"):
        decode_values(good, missing)
    with pytest.raises(ValueError, match="^csv/table parse error: ecCodes table directory does not exist: "):
        decode_values_with_definitions(good, missing)


def test_first_message_only_and_framing_of_the_rest(table_dir):
    first = message(DESCRIPTORS, pack_bits(station(block=1)))
    second = message(DESCRIPTORS, pack_bits(station(block=2)))
    expected = [repr(v) for v in decode_values(first, table_dir)]
    assert [repr(v) for v in decode_values(b"junk" + first + second, table_dir)] == expected
    assert [repr(v) for v in decode_values(first + b"\n", table_dir)] == expected
    with pytest.raises(ValueError, match=f"^section 0 at offset {len(first)} is truncated$"):
        decode_values(first + b"BUFR" + u24(500) + b"\x04", table_dir)


def test_zero_subsets_reads_nothing(table_dir):
    assert decode_values(message(DESCRIPTORS, b"", subsets=0), table_dir) == []


def test_with_tables_leaves_the_tables_usable(table_dir):
    tables = TableSet.from_eccodes(table_dir)
    before = repr(tables)
    data = message(DESCRIPTORS, pack_bits(station()))
    a = decode_values_with_tables(data, tables)
    b = decode_values_with_tables(tables=tables, data=data)
    assert [repr(v) for v in a] == [repr(v) for v in b] == [repr(v) for v in decode_values(data, table_dir)]
    assert repr(tables) == before
    # names and meanings are made once per TableSet, not once per call
    assert a[0].name is b[0].name and a[1].raw_meaning is b[1].raw_meaning
    del tables
    gc.collect()
    assert a[0].name == "WMO BLOCK NUMBER" and a[1].raw_meaning == "Region I"

    class MyTables(TableSet):
        pass

    with pytest.raises(ValueError, match="^descriptor 001001 was not found in Table B$"):
        decode_values_with_tables(data, MyTables())


def test_with_definitions(tmp_path):
    root = tmp_path / "root"
    write_table_dir(root / "bufr" / "tables" / "0" / "wmo" / "38", ELEMENTS[:1])
    data = message([1001], pack_bits([(15, 7)]))
    [v] = decode_values_with_definitions(data, str(root))
    assert (v.name, v.raw_value) == ("WMO BLOCK NUMBER", 15.0)
    [v] = decode_values_with_definitions(definitions_root=str(root), data=data)
    assert v.raw == 15


ECCODES = "/usr/share/eccodes/definitions"


@pytest.mark.skipif(not os.path.isdir(ECCODES), reason="libeccodes-data is not installed")
@pytest.mark.parametrize("name", ["synop2bufr__15015.bin", "pybufrkit-bench__ikco_217.bufr"])
def test_real_messages_decode_through_every_function(name):
    data = open(os.path.join(DATA_DIR, "corpus", "messages", name), "rb").read()
    m = parse_all_bytes(data)[0]
    values = decode_values_with_definitions(data, ECCODES)
    assert values and all(type(v) is DecodedValue for v in values)
    tables = TableSet.from_definitions(ECCODES, m)
    assert [repr(v) for v in decode_values_with_tables(data, tables)] == [repr(v) for v in values]
    names = {}
    for v in values:
        assert names.setdefault((v.descriptor, len(v.name)), v.name) is v.name or v.descriptor == 999999


# 0 25 192 is a local element no table here has; 2 06 008 says how wide it is.
LOCAL_UNDER_206 = [1001, 206008, 25192, 12101]


def test_an_element_the_tables_lack_is_read_under_2_06(table_dir):
    values = decode_values(message(LOCAL_UNDER_206, pack_bits([(15, 7), (200, 8), (27315, 16)])), table_dir)
    assert [(v.descriptor, v.name, v.raw) for v in values] == [(1001, "WMO BLOCK NUMBER", 15), (25192, "", 200),
                                                               (12101, "TEMPERATURE", 27315)]
    assert values[2].raw_value == 273.15
    [_, missing, _] = decode_values(message(LOCAL_UNDER_206, pack_bits([(15, 7), (255, 8), (27315, 16)])), table_dir)
    assert missing.raw_value is None
    with pytest.raises(ValueError, match="^descriptor 025192 was not found in Table B$"):
        decode_values(message([1001, 25192, 12101], pack_bits([(15, 7), (200, 8), (27315, 16)])), table_dir)


@pytest.mark.skipif(shutil.which("bufr_dump") is None, reason="ecCodes' tools are not installed")
def test_reading_under_2_06_agrees_with_the_reference(tmp_path):
    import tarvane as reader

    path = tmp_path / "local.bufr"
    path.write_bytes(message([1001, 206008, 25192, 1002, 12101], pack_bits([(7, 7), (200, 8), (123, 10), (2881, 16)])))
    dumped = json.loads(subprocess.run(["bufr_dump", "-jf", str(path)], capture_output=True, check=True).stdout)
    reference = {item["key"]: item["value"] for item in dumped["messages"] if "code" in item}
    data = next(reader.read(str(path))).decode()
    assert reference == {key: data[key][0] for key in data.keys()}
    assert data.get(25192)[0] == 200
