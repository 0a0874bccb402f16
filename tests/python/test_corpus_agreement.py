"""Real messages against the values an independent, widely used decoder reads.

Every edition-4 message of tests/data/corpus/messages that has an entry in
tests/data/corpus/expected is decoded with the tables of the installed
ecCodes definitions root and compared value for value (see the README beside
the data for the filter and the tolerances). Messages where the two decoders
differ by design are listed in KNOWN_DIFFERENCES with the reason.
"""

import gzip
import json
import math
import os

import pytest

import tarvane

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "corpus")
MESSAGES = os.path.join(DATA, "messages")
EXPECTED = os.path.join(DATA, "expected")
DEFINITIONS = "/usr/share/eccodes/definitions"

ODD_SECTION3 = (
    "section 3 is padded to an even length; this decoder rejects a descriptor area of odd byte count "
    "instead of guessing that the last byte is padding"
)

# (file, offset) -> (why the decoders differ, the error this decoder raises)
KNOWN_DIFFERENCES = {
    ("pybufrkit-bench__ISND02_LLBD.bufr", 37): (
        "2 03 014 ... 2 03 255 defines new reference values for 0 07 030 and 0 07 031 in the data; this "
        "decoder does not implement 2 03 YYY, reads no bits for it, so the values after it are read "
        "out of place and the data run out",
        "not enough bits while reading section 4",
    ),
    ("pybufrkit__ISMD01_OKPR.bufr", 31): (ODD_SECTION3, "section 3 descriptor area has odd byte count"),
    ("pybufrkit__ISMD01_OKPR.bufr", 758): (ODD_SECTION3, "section 3 descriptor area has odd byte count"),
    ("pybufrkit__ISMD01_OKPR.bufr", 1507): (ODD_SECTION3, "section 3 descriptor area has odd byte count"),
    ("pybufrkit__ISMD01_OKPR.bufr", 2242): (ODD_SECTION3, "section 3 descriptor area has odd byte count"),
    ("pybufrkit__ncep.352.bufr", 0): (ODD_SECTION3, "section 3 descriptor area has odd byte count"),
    ("pybufrkit__uegabe.bufr", 0): (ODD_SECTION3, "section 3 descriptor area has odd byte count"),
}


def _load_cases():
    cases = []
    if not os.path.isdir(EXPECTED):
        return cases
    for name in sorted(os.listdir(EXPECTED)):
        if not name.endswith(".json.gz"):
            continue
        with gzip.open(os.path.join(EXPECTED, name), "rt", encoding="utf-8") as f:
            entry = json.load(f)
        for message in entry["messages"]:
            cases.append((entry["file"], message))
    return cases


CASES = _load_cases()


def _message_bytes(file_name, offset):
    with open(os.path.join(MESSAGES, file_name), "rb") as f:
        data = f.read()
    length = int.from_bytes(data[offset + 4 : offset + 7], "big")
    return data[offset : offset + length]


def _is_listed(code):
    # Element descriptors outside class 31; marker values carry the code of
    # the element they designate.
    return code < 100000 and (code // 1000) % 100 != 31


def _value_of(v):
    if v.raw_text is not None:
        return v.raw_text
    if v.raw is None:  # a character element whose bytes are all 0xFF
        return None
    return v.raw_value


def _strip_text(s):
    return s.rstrip().rstrip("\0").rstrip()


def _differences(expected, ours):
    """Position-by-position differences between the reference and our list."""
    out = []
    if len(expected) != len(ours):
        out.append(f"{len(expected)} reference values, {len(ours)} decoded")
    for i, ((ecode, evalue), (ocode, ovalue)) in enumerate(zip(expected, ours)):
        marker = ecode == -1
        if not marker and ecode != ocode:
            out.append(f"#{i}: code {ecode} expected, {ocode} decoded")
        elif isinstance(evalue, str) or isinstance(ovalue, str):
            if not (isinstance(evalue, str) and isinstance(ovalue, str) and _strip_text(evalue) == _strip_text(ovalue)):
                out.append(f"#{i} ({ocode}): {evalue!r} expected, {ovalue!r} decoded")
        elif evalue is None or ovalue is None:
            if evalue is not ovalue:
                out.append(f"#{i} ({ocode}): {evalue!r} expected, {ovalue!r} decoded")
        elif not math.isclose(evalue, ovalue, rel_tol=1e-5 if marker else 1e-9, abs_tol=0.0):
            out.append(f"#{i} ({ocode}): {evalue!r} expected, {ovalue!r} decoded")
        if len(out) >= 10:
            break
    return out


@pytest.mark.skipif(not os.path.isdir(DEFINITIONS), reason="ecCodes definitions are not installed")
@pytest.mark.parametrize(
    "file_name,message", CASES, ids=[f"{f}@{m['offset']}" for f, m in CASES]
)
def test_message_agrees_with_reference(file_name, message):
    data = _message_bytes(file_name, message["offset"])
    key = (file_name, message["offset"])
    if "error" in message:
        # The reference decoder cannot unpack these data either; nothing
        # partial may come back.
        with pytest.raises(ValueError, match="not enough bits while reading section 4"):
            tarvane.decode_values_with_definitions(data, DEFINITIONS)
        return
    if key in KNOWN_DIFFERENCES:
        _, error = KNOWN_DIFFERENCES[key]
        with pytest.raises(ValueError, match=error):
            tarvane.decode_values_with_definitions(data, DEFINITIONS)
        return
    values = tarvane.decode_values_with_definitions(data, DEFINITIONS)
    ours = [(v.descriptor, _value_of(v)) for v in values if _is_listed(v.descriptor)]
    expected = [tuple(pair) for subset in message["subsets"] for pair in subset]
    assert _differences(expected, ours) == []


@pytest.mark.skipif(not CASES, reason="corpus reference values are not present")
def test_corpus_covers_the_agreed_messages():
    compared = [(f, m["offset"]) for f, m in CASES if "error" not in m]
    assert len(compared) == 99
    assert set(KNOWN_DIFFERENCES) <= set(compared)
    # 92 of the 99 agree; every other one is explained above.
    assert len(compared) - len(KNOWN_DIFFERENCES) == 92


def test_differences_detects_each_kind_of_mismatch():
    # The comparison itself must be able to fail.
    assert _differences([(1001, 1.0)], [(1001, 1.0)]) == []
    assert _differences([(1001, 1.0)], [(1002, 1.0)])
    assert _differences([(1001, 1.0)], [(1001, 1.0 + 1e-6)])
    assert _differences([(-1, 1.0)], [(12101, 1.000001)]) == []
    assert _differences([(1015, "AB")], [(1015, "AB  ")]) == []
    assert _differences([(1015, "AB")], [(1015, "AC")])
    assert _differences([(1001, None)], [(1001, 0.0)])
    assert _differences([(1001, 1.0)], [])
