"""parse_bytes, parse_file, parse_all_bytes and parse_all_file: framing, header fields and failures."""

import os
import pathlib

import pytest

from bufr_builder import DATA_DIR, message, section1, section3, section4, u24
from tarvane import _tarvane as t

CORPUS = os.path.join(DATA_DIR, "corpus", "messages")


def test_minimal_message_fields_and_repr():
    data = message([1001])
    assert len(data) == 47
    m = t.parse_bytes(data)
    assert repr(m) == "BufrMessage(edition=4, length=47, subsets=1, descriptors=[1001])"
    assert str(m) == repr(m)
    expected = dict(
        total_length=47,
        edition=4,
        section1_length=22,
        master_table_number=0,
        originating_centre=98,
        originating_subcentre=0,
        update_sequence_number=0,
        local_section_present=False,
        data_category=0,
        international_data_subcategory=1,
        local_data_subcategory=2,
        master_tables_version_number=38,
        local_tables_version_number=0,
        typical_year=2024,
        typical_month=5,
        typical_day=6,
        typical_hour=7,
        typical_minute=8,
        typical_second=9,
        section2_length=0,
        section3_length=9,
        number_of_subsets=1,
        observed_data=True,
        compressed_data=False,
        unexpanded_descriptors=[1001],
        section4_length=4,
        section4_data_offset=43,
        section4_data_length=0,
    )
    assert {k: getattr(m, k) for k in expected} == expected
    assert type(m.local_section_present) is bool and type(m.edition) is int


def test_header_values_are_reported_as_they_stand():
    m = t.parse_bytes(
        message(
            [],
            master_table=12,
            centre=65535,
            subcentre=258,
            update=7,
            category=255,
            master_version=99,
            local_version=3,
            year=65535,
            month=13,
            day=32,
            hour=25,
            minute=61,
            second=99,
            subsets=65535,
        )
    )
    assert (m.master_table_number, m.originating_centre, m.originating_subcentre) == (12, 65535, 258)
    assert (m.update_sequence_number, m.data_category) == (7, 255)
    assert (m.master_tables_version_number, m.local_tables_version_number) == (99, 3)
    assert (m.typical_year, m.typical_month, m.typical_day) == (65535, 13, 32)
    assert (m.typical_hour, m.typical_minute, m.typical_second) == (25, 61, 99)
    assert m.number_of_subsets == 65535
    assert m.unexpanded_descriptors == []
    assert repr(m).endswith("subsets=65535, descriptors=[])")


def test_descriptor_bytes_and_repr_list():
    m = t.parse_bytes(message([301011, 1, 1001, 222000, 101000, 31002, 63255]))
    assert m.unexpanded_descriptors == [301011, 1, 1001, 222000, 101000, 31002, 63255]
    assert repr(m) == (
        "BufrMessage(edition=4, length=59, subsets=1, descriptors=[301011, 1, 1001, 222000, 101000, 31002, 63255])"
    )


def test_attributes_are_read_only_and_descriptor_list_is_fresh():
    m = t.parse_bytes(message([1001, 1002]))
    with pytest.raises(AttributeError):
        m.edition = 3
    with pytest.raises(AttributeError):
        m.unexpanded_descriptors = []
    first = m.unexpanded_descriptors
    first.append(5)
    assert m.unexpanded_descriptors == [1001, 1002]
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors


@pytest.mark.parametrize(
    "flag_byte,observed,compressed", [(0xC0, True, True), (0x3F, False, False), (0x40, False, True), (0x80, True, False)]
)
def test_section3_flags(flag_byte, observed, compressed):
    m = t.parse_bytes(message([1001], flags=flag_byte))
    assert (m.observed_data, m.compressed_data) == (observed, compressed)


@pytest.mark.parametrize("flag", [0x01, 0x80, 0xFF])
def test_any_nonzero_optional_flag_marks_section2(flag):
    s2 = u24(6) + b"\x00ab"
    data = message([1001], s1=section1(optional_flag=flag), s2=s2)
    m = t.parse_bytes(data)
    assert m.local_section_present is True
    assert m.section2_length == 6
    assert m.section4_data_offset == 8 + 22 + 6 + 9 + 4


def test_section4_shorter_than_its_header_and_trailing_bytes_before_the_end():
    # the terminator directly after the 3-byte length: no data, no underflow
    m = t.parse_bytes(message([1001], s4=u24(3)))
    assert (m.section4_length, m.section4_data_length) == (3, 0)
    # bytes after "7777" within the declared length are not looked at
    m = t.parse_bytes(message([1001], b"\x12\x34", tail=b"junk"))
    assert m.total_length == 47 + 2 + 4
    assert (m.section4_data_offset, m.section4_data_length) == (43, 2)


def test_empty_descriptor_area():
    m = t.parse_bytes(message(s3=section3([])))
    assert m.section3_length == 7
    assert m.unexpanded_descriptors == []


def valid():
    return message([1001])


@pytest.mark.parametrize(
    "data,text",
    [
        (b"", "message is too short to be BUFR"),
        (b"BUFR\x00\x00\x08", "message is too short to be BUFR"),
        (b"XUFR" + valid()[4:], "missing BUFR marker"),
        (message([1001], edition=3), "unsupported BUFR edition 3; only edition 4 is implemented"),
        (valid()[:20], "declared length 47 does not match buffer length 20"),
        (b"BUFR" + u24(21) + b"\x04" + bytes(12), "declared length 21 does not match buffer length 20"),
        # the length is checked before any section, even a damaged section 1
        (b"BUFR" + u24(48) + b"\x04" + u24(1000) + bytes(36), "declared length 48 does not match buffer length 47"),
        (b"BUFR" + u24(10) + b"\x04\x00\x00", "section 1 at offset 8 is truncated"),
        (b"BUFR" + u24(20) + b"\x04" + u24(22) + bytes(9), "section 1 at offset 8 is truncated"),
        (b"BUFR" + u24(24) + b"\x04" + u24(5) + bytes(13), "section 0 at offset 23 is truncated"),
        (message(s3=u24(6) + b"\x00\x00\x01"), "section 3 at offset 30 is truncated"),
        (message(s3=u24(100) + bytes(4)), "section 3 at offset 30 is truncated"),
        (message([1001], s4=u24(50)), "section 4 at offset 39 is truncated"),
        (message([1001], terminator=b"777"), "section 5 at offset 43 is truncated"),
        (message([1001], terminator=b"7770"), "section 5 terminator is not 7777"),
        (message([1001], s2=u24(1000) + b"\x00"), "section 2 at offset 30 is truncated"),
    ],
)
def test_parse_failures(data, text):
    with pytest.raises(ValueError) as info:
        t.parse_bytes(data)
    assert info.value.args == (text,)
    assert type(info.value) is ValueError


def test_padded_section3_reads_the_whole_descriptor_pairs():
    m = t.parse_bytes(message([301011, 1001], s3=section3([301011, 1001], pad=b"\x00")))
    assert (m.section3_length, m.unexpanded_descriptors) == (12, [301011, 1001])


def test_short_section1_is_rejected_not_read_past_the_end():
    # Section 1 declaring 10 octets leaves the buffer shorter than the fixed
    # header offsets it is read at.
    data = b"BUFR" + u24(8 + 10 + 7) + b"\x04" + u24(10) + bytes(14)
    with pytest.raises(ValueError):
        t.parse_bytes(data)


def test_parse_bytes_refuses_bytearray_and_accepts_bytes():
    data = valid()
    assert t.parse_bytes(bytes(data)).total_length == 47
    with pytest.raises(TypeError, match="^argument 'data': 'bytearray' object cannot be cast as 'bytes'$"):
        t.parse_bytes(bytearray(data))


def test_parse_file_and_parse_all_file(tmp_path):
    p = tmp_path / "one.bufr"
    p.write_bytes(valid())
    assert repr(t.parse_file(str(p))) == repr(t.parse_bytes(valid()))
    assert t.parse_file(path=str(p)).total_length == 47
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object cannot be cast as 'str'$"):
        t.parse_file(pathlib.Path(p))
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object cannot be cast as 'str'$"):
        t.parse_all_file(pathlib.Path(p))
    # a trailing newline: one message for parse_all_file, a length mismatch for parse_file
    p.write_bytes(valid() + b"\n")
    with pytest.raises(ValueError, match="^declared length 47 does not match buffer length 48$"):
        t.parse_file(str(p))
    [m] = t.parse_all_file(str(p))
    assert m.total_length == 47


@pytest.mark.parametrize("fn", [t.parse_file, t.parse_all_file])
def test_file_errors_are_plain_os_errors(fn, tmp_path):
    cases = [
        (str(tmp_path / "missing.bufr"), "No such file or directory (os error 2)"),
        (str(tmp_path), "Is a directory (os error 21)"),
        (str(tmp_path) + "/a\0b", "file name contained an unexpected NUL byte"),
    ]
    for path, text in cases:
        with pytest.raises(OSError) as info:
            fn(path)
        assert type(info.value) is OSError
        assert info.value.args == (text,)
        assert info.value.errno is None


def test_file_parse_errors_are_value_errors(tmp_path):
    p = tmp_path / "bad.bufr"
    p.write_bytes(b"")
    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        t.parse_file(str(p))
    assert t.parse_all_file(str(p)) == []


def two_messages():
    return message([1001]), message([1002, 1003], subsets=2)


@pytest.mark.parametrize("junk", [b"", b"0123456789"])
def test_parse_all_bytes_skips_junk_between_messages(junk):
    a, b = two_messages()
    messages = t.parse_all_bytes(junk + a + junk + b + junk)
    assert [m.unexpanded_descriptors for m in messages] == [[1001], [1002, 1003]]
    assert [m.number_of_subsets for m in messages] == [1, 2]


@pytest.mark.parametrize("data", [b"", b"no messages here", b"BUF", b"xx"])
def test_parse_all_bytes_without_marker_is_empty(data):
    assert t.parse_all_bytes(data) == []


def test_marker_inside_a_message_does_not_start_another():
    [m] = t.parse_all_bytes(message([1001], b"BUFR" + u24(9) + b"\x04"))
    assert m.section4_data_length == 8


@pytest.mark.parametrize(
    "data,text",
    [
        (b"".join(two_messages()) + message([1001], terminator=b"7776"), "section 5 terminator is not 7777"),
        (b"".join(two_messages()) + b"BUFR" + u24(100) + b"\x04" + bytes(10), "section 0 at offset 96 is truncated"),
        (b"junk!BUFR" + u24(100) + b"\x04" + bytes(10), "section 0 at offset 5 is truncated"),
        (valid() + b"BUFR\x00\x00\x00", "message is too short to be BUFR"),
        (b"BUFR\x00\x00\x00\x04" + valid(), "message is too short to be BUFR"),
        (b"BUFR\x00\x00\x05\x04" + valid(), "message is too short to be BUFR"),
        (message([1001], edition=3) + valid(), "unsupported BUFR edition 3; only edition 4 is implemented"),
    ],
)
def test_parse_all_bytes_fails_whole(data, text):
    with pytest.raises(ValueError) as info:
        t.parse_all_bytes(data)
    assert info.value.args == (text,)


RAISING_FILES = {
    "pybufrkit__multi_invalid_messages.bufr": "unsupported BUFR edition 3; only edition 4 is implemented",
}


def corpus_files():
    return sorted(os.listdir(CORPUS))


def test_corpus_parses_every_edition4_message():
    files = corpus_files()
    assert len(files) == 121
    total = 0
    parsed_files = 0
    for name in files:
        path = os.path.join(CORPUS, name)
        if name in RAISING_FILES:
            with pytest.raises(ValueError) as info:
                t.parse_all_file(path)
            assert info.value.args == (RAISING_FILES[name],), name
            continue
        raw = open(path, "rb").read()
        messages = t.parse_all_file(path)
        assert messages, name
        parsed_files += 1
        total += len(messages)
        pos = 0
        for m in messages:
            p = raw.index(b"BUFR", pos)
            msg = raw[p : p + m.total_length]
            # header fields against the bytes
            assert int.from_bytes(msg[4:7], "big") == m.total_length == len(msg)
            assert m.edition == msg[7] == 4
            assert m.section1_length == int.from_bytes(msg[8:11], "big")
            assert m.master_table_number == msg[11]
            assert m.originating_centre == int.from_bytes(msg[12:14], "big")
            assert m.originating_subcentre == int.from_bytes(msg[14:16], "big")
            assert m.data_category == msg[18]
            assert m.master_tables_version_number == msg[21]
            assert m.local_tables_version_number == msg[22]
            assert m.typical_year == int.from_bytes(msg[23:25], "big")
            assert (m.typical_month, m.typical_day, m.typical_hour) == tuple(msg[25:28])
            s3 = 8 + m.section1_length + m.section2_length
            assert m.section3_length == int.from_bytes(msg[s3 : s3 + 3], "big")
            assert m.number_of_subsets == int.from_bytes(msg[s3 + 4 : s3 + 6], "big")
            assert m.compressed_data == bool(msg[s3 + 6] & 0x40)
            assert len(m.unexpanded_descriptors) == (m.section3_length - 7) // 2
            s4 = s3 + m.section3_length
            assert m.section4_data_offset == s4 + 4
            assert msg[s4 + m.section4_length : s4 + m.section4_length + 4] == b"7777"
            # the same message parsed alone gives the same header
            assert repr(t.parse_bytes(msg)) == repr(m)
            pos = p + m.total_length
    assert (parsed_files, total) == (120, 155)
