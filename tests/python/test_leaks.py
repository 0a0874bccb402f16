"""Long-lived use: decoding and failing many times in one process keeps
memory and the number of live objects flat.

The release interpreter has no total reference count, so three other
measures stand in: memory traced by tracemalloc (every allocation of the
module's objects goes through the interpreter's allocators), the resident
set size, and the number of objects the collector knows.
"""

import gc
import os
import tracemalloc

import pytest

import tarvane

HERE = os.path.dirname(os.path.abspath(__file__))
MESSAGES = os.path.join(HERE, os.pardir, "data", "corpus", "messages")
TABLES = os.path.join(HERE, os.pardir, "data", "tables")
DEFINITIONS = "/usr/share/eccodes/definitions"
# Under AddressSanitizer freed memory waits in its quarantine, so resident
# memory grows without a leak; its leak check stands in for this one.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def _pieces(data):
    pos = 0
    while (pos := data.find(b"BUFR", pos)) >= 0 and pos + 8 <= len(data):
        length = int.from_bytes(data[pos + 4:pos + 7], "big")
        yield data[pos:pos + max(length, 8)]
        pos += max(length, 1)


def _workload():
    """Decodable messages with their tables, plus inputs that fail."""
    good, bad = [], []
    tables = {}
    for name in sorted(os.listdir(MESSAGES)):
        with open(os.path.join(MESSAGES, name), "rb") as f:
            data = f.read()
        bad.append(data + b"BUFR\x00\x01")  # a marker running past the end
        for piece in _pieces(data):
            try:
                message = tarvane.parse_bytes(piece)
            except ValueError:
                bad.append(piece)
                continue
            if len(piece) > 20000:
                continue  # the big satellite files would only slow the rounds down
            key = (message.master_tables_version_number, message.local_tables_version_number,
                   message.originating_centre, message.originating_subcentre)
            if key not in tables:
                tables[key] = tarvane.TableSet.from_definitions(DEFINITIONS, message)
            good.append((piece, tables[key]))
            bad.append(piece[:-1])      # length mismatch
            bad.append(piece[:-4] + b"7778")  # terminator
    return good, bad


def _round(good, bad):
    for piece, tables in good:
        try:
            values = tarvane.decode_values_with_tables(piece, tables)
        except ValueError:
            continue
        for v in values[:50]:
            repr(v), v.data, v.name, v.raw_text, v.raw_meaning, v.raw, v.raw_value
        tarvane.parse_all_bytes(piece)
    for piece in bad:
        for call in (tarvane.parse_bytes, tarvane.parse_all_bytes):
            try:
                call(piece)
            except ValueError:
                pass
        try:
            tarvane.decode_values_with_definitions(piece, DEFINITIONS)
        except ValueError:
            pass
    for args in ((b"x", 1), ("x", tarvane.TableSet()), (b"", tarvane.TableSet())):
        try:
            tarvane.decode_values_with_tables(*args)
        except (TypeError, ValueError):
            pass
    for path in ("/nonexistent", TABLES, os.path.join(TABLES, "eccodes_dir")):
        for call in (tarvane.TableSet.from_eccodes, tarvane.TableSet.from_bufr4_45):
            try:
                call(path)
            except ValueError:
                pass
        try:
            tarvane.parse_file(path)
        except (OSError, ValueError):
            pass
    try:
        tarvane.TableSet().expand([101000])
    except ValueError:
        pass


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(not os.path.isdir(DEFINITIONS), reason="needs the ecCodes definitions root")
def test_memory_and_objects_stay_flat_over_many_rounds():
    good, bad = _workload()
    assert len(good) > 50 and len(bad) > 100
    for _ in range(3):  # warm up caches of the interpreter itself
        _round(good, bad)
    gc.collect()
    objects_before = len(gc.get_objects())
    rss_before = _rss_kib()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    for _ in range(15):
        _round(good, bad)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    objects_growth = len(gc.get_objects()) - objects_before
    rss_growth = _rss_kib() - rss_before
    # 15 rounds of ~100 decodes and ~400 failures each: a leak of even one
    # small object per call would show as tens of kilobytes and thousands
    # of objects.
    assert traced_growth < 16 * 1024, traced_growth
    assert objects_growth < 100, objects_growth
    assert UNDER_ASAN or rss_growth < 8 * 1024, rss_growth
