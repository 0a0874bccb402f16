"""Properties of decoding at the Python surface, over every corpus message.

Edits that leave a decode unchanged: bytes appended to section 4 after its
data, section 2 added or removed, the section 1 date changed. Edits that must
fail cleanly: section 4 cut short, one subset more than the data hold.
Hypothesis chooses the bytes and sizes; a few examples per message keep the
suite fast.
"""

import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvane
from bufr_builder import DATA_DIR, u24

CORPUS = os.path.join(DATA_DIR, "corpus", "messages")
DEFINITIONS = "/usr/share/eccodes/definitions"
EXAMPLES = settings(
    max_examples=3, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
)

_tables = {}


def tables_for(message):
    key = (
        message.master_table_number,
        message.master_tables_version_number,
        message.local_tables_version_number,
        message.originating_centre,
        message.originating_subcentre,
    )
    if key not in _tables:
        try:
            _tables[key] = tarvane.TableSet.from_definitions(DEFINITIONS, message)
        except ValueError:
            _tables[key] = None
    return _tables[key]


def corpus_messages():
    """(id, bytes) of every message of the corpus that decodes."""
    found = []
    for name in sorted(os.listdir(CORPUS)):
        with open(os.path.join(CORPUS, name), "rb") as f:
            data = f.read()
        pos = 0
        while (pos := data.find(b"BUFR", pos)) >= 0 and pos + 8 <= len(data):
            piece = data[pos : pos + max(int.from_bytes(data[pos + 4 : pos + 7], "big"), 1)]
            try:
                message = tarvane.parse_bytes(piece)
            except ValueError:
                pos += 4
                continue
            tables = tables_for(message)
            try:
                if tables is not None:
                    tarvane.decode_values_with_tables(piece, tables)
                    found.append((f"{name}@{pos}", piece))
            except ValueError:
                pass
            pos += len(piece)
    return found


MESSAGES = corpus_messages()
IDS = [name for name, _ in MESSAGES]


def decode(data):
    values = tarvane.decode_values_with_tables(data, tables_for(tarvane.parse_bytes(data)))
    return [(v.descriptor, v.raw, v.raw_text, v.raw_meaning) for v in values]


def sections(data):
    """Offsets of sections 1 to 5 of a sound message."""
    m = tarvane.parse_bytes(data)
    s1 = 8
    s2 = s1 + m.section1_length
    s3 = s2 + m.section2_length
    s4 = s3 + m.section3_length
    return s1, s2, s3, s4, s4 + m.section4_length


def reframed(parts):
    body = b"".join(parts)
    return b"BUFR" + u24(8 + len(body) + 4) + b"\x04" + body + b"7777"


def with_section4(data, payload):
    s1, _, _, s4, end = sections(data)
    return reframed([data[s1:s4], u24(4 + len(payload)) + data[s4 + 3 : s4 + 4] + payload])


def payload(data):
    _, _, _, s4, end = sections(data)
    return data[s4 + 4 : end]


@pytest.fixture(scope="module", params=MESSAGES, ids=IDS)
def sound(request):
    data = request.param[1]
    return data, decode(data)


def test_the_corpus_is_all_there():
    assert len(MESSAGES) >= 60


@EXAMPLES
@given(extra=st.binary(min_size=1, max_size=64))
def test_bytes_after_the_data_change_nothing(sound, extra):
    data, values = sound
    assert decode(with_section4(data, payload(data) + extra)) == values


@EXAMPLES
@given(content=st.binary(max_size=40))
def test_section_2_added_or_removed_changes_nothing(sound, content):
    data, values = sound
    s1, s2, s3, _, end = sections(data)
    section1 = bytearray(data[s1:s2])
    if data[s2:s3]:
        section1[9] &= 0x7F
        edited = reframed([bytes(section1), data[s3:end]])
    else:
        section1[9] |= 0x80
        edited = reframed([bytes(section1), u24(4 + len(content)) + b"\0" + content, data[s3:end]])
    assert tarvane.parse_bytes(edited).local_section_present != bool(data[s2:s3])
    assert decode(edited) == values


@EXAMPLES
@given(date=st.tuples(st.integers(0, 65535), *[st.integers(0, 255)] * 5))
def test_the_section_1_date_changes_nothing(sound, date):
    data, values = sound
    edited = bytearray(data)
    edited[23:30] = struct.pack(">H5B", *date)
    m = tarvane.parse_bytes(bytes(edited))
    assert (m.typical_year, m.typical_month, m.typical_day, m.typical_hour, m.typical_minute, m.typical_second) == date
    assert decode(bytes(edited)) == values


@EXAMPLES
@given(cut=st.integers(1, 1 << 24))
def test_section_4_cut_short_fails_or_only_lost_padding(sound, cut):
    data, values = sound
    body = payload(data)
    if not body:
        return
    edited = with_section4(data, body[: -(1 + cut % len(body))])
    try:
        result = decode(edited)
    except ValueError:
        return
    # Only bytes no value was read from went: the same values.
    assert result == values


def test_one_subset_too_many_fails_or_keeps_the_subsets(sound):
    data, values = sound
    _, _, s3, _, _ = sections(data)
    m = tarvane.parse_bytes(data)
    if m.number_of_subsets == 0xFFFF:
        return
    edited = bytearray(data)
    edited[s3 + 4 : s3 + 6] = struct.pack(">H", m.number_of_subsets + 1)
    try:
        result = decode(bytes(edited))
    except ValueError:
        return
    if not m.compressed_data:
        # The subsets the data hold come first and unchanged.
        assert result[: len(values)] == values
