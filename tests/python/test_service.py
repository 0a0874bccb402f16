"""The reading layer inside a long-running service: files cut while read,
huge and endless inputs, odd streams and buffers, memory exhaustion.

Each case that could kill or hang the process runs in a child: a signal, a
hang past 30 s or a traceback fails it.
"""

import bz2
import gzip
import io
import lzma
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarvane

DATA = Path(__file__).resolve().parents[1] / "data" / "cli"
SYNOP = DATA / "synop2bufr__15015.bin"  # 224 octets, one message
MULTI = DATA / "pybufrkit__multi_invalid_messages.bufr"
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def child(code, *args, prefix=(), timeout=30):
    """Run code in a fresh interpreter; its standard output, after checking it ended cleanly."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            capture_output=True, text=True, timeout=timeout, env=env)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr}"
    assert "Traceback" not in result.stderr, result.stderr
    return result.stdout


def test_a_file_cut_while_read_ends_like_a_damaged_one(tmp_path):
    # Three chunks' worth of messages; the file is cut inside one of them
    # after the reader has started.
    one = SYNOP.read_bytes()
    count = (3 << 20) // len(one)
    path = tmp_path / "cut.bufr"
    path.write_bytes(one * count)
    cut = (3 << 20) // 2 + 100
    out = child("""
        import os, sys, tarvane
        path, cut, policy = sys.argv[1], int(sys.argv[2]), sys.argv[3]
        reader = tarvane.read(path, errors=policy)
        seen = [next(reader).offset]
        os.truncate(path, cut)
        try:
            for m in reader:
                seen.append(m.offset)
        except ValueError as exc:
            print("error", exc)
        print(len(seen), max(seen))
    """, path, cut, "raise")
    whole = cut // len(one)
    assert out.split("\n")[-2] == f"{whole} {(whole - 1) * len(one)}"
    assert f"message at offset {whole * len(one)}: declared length 224 runs past the end" in out


def test_files_rewritten_while_read_never_fault(tmp_path):
    # A writer cuts and rewrites the file in place while every file reader
    # of the package reads it; any fault kills the child.
    path = tmp_path / "busy.bufr"
    whole = SYNOP.read_bytes() * 20000
    path.write_bytes(whole)
    child("""
        import os, sys, threading, time, warnings
        import tarvane, tarvane._tarvane as core
        path, whole = sys.argv[1], open(sys.argv[1], "rb").read()
        stop = time.monotonic() + 3
        def writer():
            while time.monotonic() < stop:
                os.truncate(path, len(whole) // 3)
                with open(path, "r+b") as f:
                    f.write(whole)
        thread = threading.Thread(target=writer)
        thread.start()
        warnings.simplefilter("ignore")
        while time.monotonic() < stop:
            for read in (lambda: core.parse_all_file(path), lambda: list(tarvane.read(path, errors="skip")),
                         lambda: tarvane.read_dataframe(path, columns=["stationNumber"], errors="skip")):
                try:
                    read()
                except ValueError:
                    pass
        thread.join()
    """, path, timeout=60)


def test_slow_a_huge_sparse_file_reads_in_bounded_memory(tmp_path):
    # 6 GiB that hold no data on disk: one message, then a hole.
    path = tmp_path / "sparse.bufr"
    path.write_bytes(SYNOP.read_bytes())
    os.truncate(path, 6 << 30)
    try:
        out = child("""
            import sys, tarvane
            found = [(m.offset, len(m.decode().keys()) > 0) for m in tarvane.read(sys.argv[1])]
            # VmHWM is this program's own peak: ru_maxrss would carry over
            # the parent's size from before the exec.
            peak = next(line for line in open("/proc/self/status") if line.startswith("VmHWM:"))
            print(found, int(peak.split()[1]) // 1024)
        """, path, prefix=("prlimit", f"--as={4 << 30}"), timeout=120)
    finally:
        path.unlink()
    found, peak_mib = out.rsplit(" ", 1)
    assert found == "[(0, True)]"
    assert int(peak_mib) < 512


ENDLESS = """
    import subprocess, sys, tarvane
    kind, policy = sys.argv[1], sys.argv[2]
    if kind == "pipe":
        source = subprocess.Popen(["yes", "no message here"], stdout=subprocess.PIPE).stdout
    else:
        source = "/dev/zero"
    try:
        list(tarvane.read(source, errors=policy, max_gap=1 << 22))
    except ValueError as exc:
        print(exc)
"""


@pytest.mark.parametrize("kind", ["device", "pipe"])
@pytest.mark.parametrize("policy", ["raise", "skip", "warn"])
def test_endless_inputs_end_with_an_error_naming_the_offset(kind, policy):
    out = child(ENDLESS, kind, policy)
    name = "/dev/zero" if kind == "device" else "<BufferedReader>"
    assert out == f"{name}: no BUFR message in the 4194304 octets after offset 0\n"


def test_the_gap_counts_from_the_last_message():
    data = SYNOP.read_bytes() + bytes(3000) + SYNOP.read_bytes() + bytes(3000)
    assert len(list(tarvane.read(io.BytesIO(data), max_gap=3000))) == 2
    with pytest.raises(ValueError, match=r"^<BytesIO>: no BUFR message in the 2999 octets after offset 224$"):
        list(tarvane.read(io.BytesIO(data), max_gap=2999))
    # A buffer or a regular file is bounded by its size.
    assert len(list(tarvane.read(data, max_gap=1))) == 2


def test_the_default_gap_ends_dev_zero_for_frames_and_the_command_line():
    out = child("""
        import subprocess, sys, tarvane
        try:
            tarvane.read_dataframe("/dev/zero")
        except ValueError as exc:
            print(exc)
        ls = subprocess.run([sys.executable, "-m", "tarvane", "ls", "/dev/zero"], capture_output=True, text=True)
        print(ls.returncode, ls.stderr.strip())
    """)
    error = "/dev/zero: no BUFR message in the 67108864 octets after offset 0"
    assert out == f"{error}\n1 tarvane: {error}\n"


class _Stalling(io.RawIOBase):
    """A non-blocking stream: its data, then no data ready."""

    def __init__(self, data):
        self.parts = [data]

    def readable(self):
        return True

    def read(self, size=-1):
        return self.parts.pop() if self.parts else None


def test_a_stream_with_no_data_ready_is_not_its_end():
    reader = tarvane.read(_Stalling(SYNOP.read_bytes()))
    with pytest.raises(BlockingIOError, match="no data ready at offset 224"):
        list(reader)


@pytest.mark.parametrize("make", [
    lambda b: memoryview(b).cast("I"),
    lambda b: __import__("numpy").frombuffer(b, dtype="<u4"),
    lambda b: memoryview(b).cast("B", (len(b) // 8, 8)),
    lambda b: __import__("array").array("I", b),
])
def test_a_buffer_of_wider_items_is_read_as_its_octets(make):
    data = SYNOP.read_bytes() + MULTI.read_bytes()
    data += bytes(-len(data) % 8)
    expected = [(m.offset, m.length) for m in tarvane.read(data, errors="skip")]
    assert len(expected) > 1
    assert [(m.offset, m.length) for m in tarvane.read(make(data), errors="skip")] == expected


def test_a_buffer_with_gaps_is_refused():
    strided = memoryview(bytes(SYNOP.read_bytes()) * 2)[::2]
    with pytest.raises(TypeError, match="C-contiguous"):
        tarvane.read(strided)


@pytest.mark.parametrize("opener, suffix", [(gzip.open, ".gz"), (bz2.open, ".bz2"), (lzma.open, ".xz")])
def test_compressed_files_are_read_and_a_cut_one_ends_by_the_policy(tmp_path, opener, suffix):
    raw = SYNOP.read_bytes() * 25000 + MULTI.read_bytes()  # 5.6 MB: a cut half holds whole chunks
    plain, packed = tmp_path / "a.bufr", tmp_path / f"a.bufr{suffix}"
    plain.write_bytes(raw)
    with opener(packed, "wb") as f:
        f.write(raw)
    expected = [(m.offset, m.length) for m in tarvane.read(plain, errors="skip")]
    assert [(m.offset, m.length) for m in tarvane.read(packed, errors="skip")] == expected
    whole = packed.read_bytes()
    packed.write_bytes(whole[: len(whole) // 2])
    got = []
    with pytest.raises(ValueError, match=f"^{packed}: message at offset "):
        got += [(m.offset, m.length) for m in tarvane.read(packed)]
    cut = [(m.offset, m.length) for m in tarvane.read(packed, errors="skip")]
    assert 0 < len(cut) < len(expected) and cut == expected[: len(cut)]


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more than any lowered limit")
def test_out_of_memory_without_the_gil_is_memory_error():
    out = child("""
        import resource, numpy as np, tarvane._columns as columns
        codes = np.zeros(1 << 26, dtype=np.uint32)  # the index needs 256 MiB more
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
        try:
            columns.index_descriptors(codes)
        except MemoryError:
            print("MemoryError")
    """)
    assert out == "MemoryError\n"


def tarvane_cli(*argv, cwd, stdout=subprocess.PIPE, prefix=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([*prefix, sys.executable, "-m", "tarvane", *argv], cwd=cwd, env=env, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=60)


@pytest.mark.parametrize("name, shown", [
    (b"a\nb\x1b[31m.bufr", b"a\\nb\\u{1b}[31m.bufr"),
    (b"caf\xe9.bufr", b"caf\\xe9.bufr"),
])
def test_file_names_reach_the_terminal_escaped(tmp_path, name, shown):
    (tmp_path / os.fsdecode(name)).write_bytes(SYNOP.read_bytes() + b"BUFR")
    listed = tarvane_cli("ls", os.fsdecode(name), cwd=tmp_path)
    assert listed.returncode == 1  # the stray marker is reported
    lines = listed.stdout.split(b"\n")
    assert len(lines) == 3 and lines[1].startswith(shown + b" ") and lines[2] == b""
    assert listed.stderr.startswith(b"tarvane: " + shown + b": message at offset 224: ")
    assert listed.stderr.count(b"\n") == 1 and b"\x1b" not in listed.stderr
    for argv in (["dump"], ["dump", "--json"]):
        dumped = tarvane_cli(*argv, os.fsdecode(name), cwd=tmp_path)
        assert dumped.returncode == 1 and b"Traceback" not in dumped.stderr and b"\x1b" not in dumped.stdout
        assert b"stationNumber" in dumped.stdout


def test_a_full_device_is_one_line_and_exit_1(tmp_path):
    with open("/dev/full", "wb") as full:
        result = tarvane_cli("dump", *[str(SYNOP)] * 200, cwd=tmp_path, stdout=full)
    assert (result.returncode, result.stderr) == (1, b"tarvane: cannot write the output: No space left on device\n")


def test_convert_on_a_full_file_system_leaves_no_cut_file(tmp_path):
    # The file size limit stands in for a full disk: writes past it fail.
    limit = ("prlimit", "--fsize=65536")
    out = tmp_path / "out.csv"
    out.write_bytes(b"the previous output\n")
    inputs = [str(DATA / "pybufrkit__g2nd_208.bufr")] * 20
    result = subprocess.run(
        [*limit, sys.executable, "-c",
         "import signal, sys; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
         "from tarvane.cli import main; sys.exit(main(sys.argv[1:]))", "convert", *inputs, "-o", str(out)],
        cwd=tmp_path, env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
        capture_output=True, timeout=60)
    assert result.returncode == 1 and result.stderr.startswith(b"tarvane: convert: ")
    assert result.stderr.count(b"\n") == 1
    assert out.read_bytes() == b"the previous output\n" and sorted(os.listdir(tmp_path)) == ["out.csv"]
    whole = tarvane_cli("convert", *inputs, "-o", str(out), cwd=tmp_path)
    assert whole.returncode == 0 and out.stat().st_size > 65536 and sorted(os.listdir(tmp_path)) == ["out.csv"]


def test_the_reading_layer_says_which_editions_and_which_section():
    from bufr_builder import message

    edition2 = bytearray(SYNOP.read_bytes())
    edition2[7] = 2
    short = message((1001,), data=b"")
    with pytest.raises(ValueError, match=r"^<bytes>: message at offset 0: unsupported BUFR edition 2; "
                                         r"editions 3 and 4 are read$"):
        list(tarvane.read(bytes(edition2)))
    with pytest.raises(ValueError, match=r"^<bytes>: message at offset 0: section 4: not enough bits "):
        next(tarvane.read(short)).decode()
