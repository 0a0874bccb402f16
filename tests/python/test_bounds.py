"""What one call may read and quote: message files, pipes and devices, table files, error texts."""

import os
import resource
import subprocess

import pytest

from bufr_builder import message
from tarvane import _tarvane as t

MAX_MESSAGE = 2**24 - 1
MAX_TABLE_FILE = 64 << 20
MAX_STREAM = 256 << 20


def peak_rss_growth(call):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    call()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024


def sparse_file(path, size, head=b""):
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(size)
    return str(path)


@pytest.mark.parametrize(
    "head, error",
    [
        (message([1001])[:8], f"declared length 47 does not match buffer length {2**31}"),
        (b"BUFR\x00\x00\x2f\x03", "unsupported BUFR edition 3; only edition 4 is implemented"),
        (b"JUNK\x00\x00\x2f\x04", "missing BUFR marker"),
    ],
)
def test_parse_file_judges_an_oversized_file_unread(tmp_path, head, error):
    path = sparse_file(tmp_path / "big.bufr", 2**31, head)
    holder = {}

    def call():
        with pytest.raises(ValueError) as exc:
            t.parse_file(path)
        holder["error"] = str(exc.value)

    assert peak_rss_growth(call) < 64 << 20
    assert holder["error"] == error


def test_parse_file_just_within_the_bound_reads_the_file(tmp_path):
    path = sparse_file(tmp_path / "max.bufr", MAX_MESSAGE, message([1001])[:8])
    with pytest.raises(ValueError, match=f"^declared length 47 does not match buffer length {MAX_MESSAGE}$"):
        t.parse_file(path)


def feed_fifo(path, source, size):
    """A writer in another process: the module holds the interpreter lock while it reads."""
    return subprocess.Popen(["sh", "-c", f'head -c {size} "$0" > "$1"', source, path], stderr=subprocess.DEVNULL)


@pytest.mark.parametrize(
    "fn, bound",
    [(t.parse_file, MAX_MESSAGE), (t.parse_all_file, MAX_STREAM)],
)
def test_pipes_and_devices_are_read_up_to_a_bound(tmp_path, fn, bound):
    with pytest.raises(OSError) as exc:
        fn("/dev/zero")
    assert str(exc.value) == f"not a regular file and holds more than {bound} bytes"
    assert type(exc.value) is OSError

    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    writer = feed_fifo(fifo, "/dev/zero", bound + 1)
    with pytest.raises(OSError, match=f"^not a regular file and holds more than {bound} bytes$"):
        fn(fifo)
    writer.wait(timeout=60)


def test_a_pipe_within_the_bound_is_read_whole(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    source = tmp_path / "three.bufr"
    source.write_bytes(b"junk" + message([1001]) * 3 + b"\n")
    writer = feed_fifo(fifo, source, 1000)
    assert len(t.parse_all_file(fifo)) == 3
    writer.wait(timeout=60)


def table_dir(tmp_path):
    d = tmp_path / "tables"
    d.mkdir()
    (d / "element.table").write_text("001001|a|long|N|U|0|0|7\n")
    (d / "sequence.def").write_text("301001 = [001001]\n")
    (d / "codetables").mkdir()
    return d


@pytest.mark.parametrize(
    "name, prefix",
    [
        ("element.table", "csv/table parse error: "),
        ("sequence.def", "io error: "),
        ("codetables/1001.table", "io error: "),
    ],
)
@pytest.mark.parametrize("kind", ["sparse", "device"])
def test_table_files_have_a_size_bound(tmp_path, name, prefix, kind):
    d = table_dir(tmp_path)
    target = d / name
    if target.exists():
        target.unlink()
    if kind == "sparse":
        sparse_file(target, MAX_TABLE_FILE + 1)
    else:
        target.symlink_to("/dev/zero")
    with pytest.raises(ValueError) as exc:
        t.TableSet.from_eccodes(str(d))
    assert str(exc.value) == f"{prefix}file holds more than {MAX_TABLE_FILE} bytes"


def test_an_alias_file_of_megabytes_is_cut_in_its_error(tmp_path):
    root = tmp_path / "defs"
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    wmo.mkdir(parents=True)
    (wmo / "38").write_text("x" * 20_000_000)
    with pytest.raises(ValueError) as exc:
        t.decode_values_with_definitions(message([1001]), str(root))
    assert str(exc.value) == (
        f"csv/table parse error: invalid ecCodes table alias {wmo / '38'} -> "
        f'"{"x" * 200}"... (20000000 bytes)'
    )


def test_an_unterminated_sequence_statement_is_an_error(tmp_path):
    d = table_dir(tmp_path)
    (d / "sequence.def").write_text('301001 = [001001]\n"301002" = [ 001001,\n  001002\n')
    with pytest.raises(ValueError) as exc:
        t.TableSet.from_eccodes(str(d))
    assert str(exc.value) == (
        'csv/table parse error: sequence.def statement from line 2 has no closing "]": "301002" = [ 001001, 001002'
    )
