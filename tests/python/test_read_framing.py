"""tarvane.read: the same messages from every kind of source, past junk and damage."""

import io
import mmap
import pickle
import warnings
from pathlib import Path

import pytest

import tarvane

DATA = Path(__file__).resolve().parents[1] / "data" / "corpus"
SYNOP = (DATA / "messages" / "synop2bufr__15015.bin").read_bytes()
# An edition-3 aircraft report from centre 98, sub-centre 0, of 2012-10-31 00:14.
ED3 = (DATA / "edition3" / "messages" / "pybufrkit__tests_benchmark_data_airc_144.bufr").read_bytes()

JUNK = b"\x00junk BUF not a marker\n"
BAD_LENGTH = b"BUFR\xff\xff\xff\x04" + b"\x00" * 40  # runs past the end of the data
NO_7777 = SYNOP[:-4] + b"7778"
EDITION_2 = b"BUFR\x00\x00\x1c\x02" + b"\x00" * 16 + b"7777"


def stitched():
    """Junk, good and bad pieces; the good ones and where they start."""
    parts = [JUNK, SYNOP, BAD_LENGTH[:12], NO_7777, ED3, EDITION_2, JUNK, SYNOP, JUNK]
    good = {1, 4, 7}
    buffer, offsets, bad = b"", [], []
    for i, part in enumerate(parts):
        (offsets if i in good else bad).append(len(buffer))
        buffer += part
    return buffer, offsets


class Trickle(io.RawIOBase):
    """A stream that hands out a few octets per read, as a pipe may."""

    def __init__(self, data: bytes, step: int = 7) -> None:
        self.data, self.pos, self.step = data, 0, step

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> bytes:
        chunk = self.data[self.pos : self.pos + min(self.step, n if n >= 0 else self.step)]
        self.pos += len(chunk)
        return chunk


def sources(buffer, tmp_path):
    path = tmp_path / "mixed.bufr"
    path.write_bytes(buffer)
    f = open(path, "rb")
    mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    return {
        "str": str(path),
        "path": path,
        "bytes": buffer,
        "bytearray": bytearray(buffer),
        "memoryview": memoryview(buffer),
        "mmap": mapped,
        "file": io.BytesIO(buffer),
        "trickle": Trickle(buffer),
    }


@pytest.mark.parametrize("kind", ["str", "path", "bytes", "bytearray", "memoryview", "mmap", "file", "trickle"])
def test_every_source_gives_the_good_messages_in_order(kind, tmp_path):
    buffer, offsets = stitched()
    source = sources(buffer, tmp_path)[kind]
    messages = list(tarvane.read(source, errors="skip"))
    assert [m.offset for m in messages] == offsets
    assert [m.edition for m in messages] == [4, 3, 4]
    assert [m.bytes for m in messages] == [SYNOP, ED3, SYNOP]
    assert all(len(m.decode()) > 0 for m in messages)


def test_raise_names_source_and_offset_of_the_first_bad_piece(tmp_path):
    buffer, offsets = stitched()
    path = tmp_path / "mixed.bufr"
    path.write_bytes(buffer)
    seen = []
    with pytest.raises(ValueError) as error:
        for m in tarvane.read(path):
            seen.append(m.offset)
    assert seen == offsets[:1]
    assert str(error.value).startswith(f"{path}: message at offset {offsets[0] + len(SYNOP)}: ")


def test_warn_reports_each_bad_piece_and_goes_on():
    buffer, offsets = stitched()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert [m.offset for m in tarvane.read(buffer, errors="warn")] == offsets
    texts = [str(w.message) for w in caught]
    assert len(texts) == 3
    assert any("edition 2" in t or "unsupported" in t.lower() for t in texts), texts
    assert all(t.startswith("<bytes>: message at offset ") for t in texts)


@pytest.mark.parametrize(
    "bad, error",
    [
        ({"errors": "ignore"}, ValueError),
        ({"tables": 3}, TypeError),
    ],
)
def test_bad_arguments_are_refused_before_reading(bad, error):
    with pytest.raises(error):
        list(tarvane.read(SYNOP, **bad))
    with pytest.raises(TypeError):
        tarvane.read(12345)


def test_edition_3_header_fields():
    m = tarvane.Message(ED3)
    assert (m.edition, m.originating_centre, m.originating_subcentre, m.data_category) == (3, 98, 0, 4)
    assert m.international_data_subcategory is None and m.typical_second is None
    assert str(m.datetime) == "2012-10-31 00:14:00"


@pytest.mark.parametrize("year_of_century, year", [(79, 1979), (21, 2021), (99, 1999), (0, 2000)])
def test_edition_3_year_of_century(year_of_century, year):
    octets = bytearray(ED3)
    octets[8 + 12] = year_of_century  # section 1 octet 13
    assert tarvane.Message(bytes(octets)).typical_year == year


def test_messages_and_data_pickle():
    m = next(tarvane.read(SYNOP))
    copy = pickle.loads(pickle.dumps(m))
    assert copy.bytes == m.bytes and copy.offset == m.offset
    assert copy.decode().value.tobytes() == m.decode().value.tobytes()


def test_empty_and_markerless_sources_give_nothing(tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    assert list(tarvane.read(empty)) == []
    assert list(tarvane.read(b"no marker here" * 1000)) == []
