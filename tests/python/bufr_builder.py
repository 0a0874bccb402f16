"""Builds BUFR edition-4 messages byte by byte for the tests."""

import os
import struct

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")


def u24(n):
    return n.to_bytes(3, "big")


def section1(
    *,
    master_table=0,
    centre=98,
    subcentre=0,
    update=0,
    optional_flag=0,
    category=0,
    intl_subcategory=1,
    local_subcategory=2,
    master_version=38,
    local_version=0,
    year=2024,
    month=5,
    day=6,
    hour=7,
    minute=8,
    second=9,
    extra=b"",
):
    body = struct.pack(
        ">BHHBBBBBBBHBBBBB",
        master_table,
        centre,
        subcentre,
        update,
        optional_flag,
        category,
        intl_subcategory,
        local_subcategory,
        master_version,
        local_version,
        year,
        month,
        day,
        hour,
        minute,
        second,
    )
    return u24(3 + len(body) + len(extra)) + body + extra


def descriptor_bytes(code):
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    return bytes([(f << 6) | x, y])


def section3(descriptors, *, subsets=1, flags=0x80, pad=b""):
    body = b"".join(descriptor_bytes(c) for c in descriptors) + pad
    return u24(7 + len(body)) + b"\x00" + struct.pack(">HB", subsets, flags) + body


def section4(data=b""):
    return u24(4 + len(data)) + b"\x00" + data


def message(
    descriptors=(1001,),
    data=b"",
    *,
    subsets=1,
    flags=0x80,
    edition=4,
    s1=None,
    s2=None,
    s3=None,
    s4=None,
    tail=b"",
    terminator=b"7777",
    length_delta=0,
    **s1_fields,
):
    """A whole message; every section can be replaced by raw bytes."""
    if s1 is None:
        s1 = section1(optional_flag=1 if s2 is not None else 0, **s1_fields)
    if s3 is None:
        s3 = section3(descriptors, subsets=subsets, flags=flags)
    if s4 is None:
        s4 = section4(data)
    body = s1 + (s2 or b"") + s3 + s4 + terminator + tail
    total = 8 + len(body)
    return b"BUFR" + u24(total + length_delta) + bytes([edition]) + body


def pack_bits(fields):
    """(value, width) pairs, most significant bit first, padded to bytes."""
    acc = 0
    nbits = 0
    for value, width in fields:
        acc = (acc << width) | (value & ((1 << width) - 1))
        nbits += width
    pad = (-nbits) % 8
    return (acc << pad).to_bytes((nbits + pad) // 8, "big")


def write_table_dir(path, elements, sequences=(), code_tables=None):
    """An ecCodes-style table directory: elements are (code, name, unit,
    scale, reference, width) tuples, sequences (code, [members])."""
    path.mkdir(parents=True, exist_ok=True)
    lines = ["#code|abbreviation|type|name|unit|scale|reference|width"]
    for code, name, unit, scale, reference, width in elements:
        lines.append(f"{code:06d}|abbr{code}|long|{name}|{unit}|{scale}|{reference}|{width}")
    (path / "element.table").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (path / "sequence.def").write_text(
        "".join(f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n' for code, members in sequences),
        encoding="utf-8",
    )
    if code_tables is not None:
        ct = path / "codetables"
        ct.mkdir()
        for code, entries in code_tables.items():
            (ct / f"{code}.table").write_text(
                "".join(f"{figure} {figure} {meaning}\n" for figure, meaning in entries.items()), encoding="utf-8"
            )
    return str(path)
