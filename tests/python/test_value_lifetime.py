"""Lifetime of DecodedValue objects.

The values of one call are made in shared blocks, so these tests keep
values beyond their list, mix survivors of several calls, drop results
and fail calls halfway, and check that every kept value still reads right
and that everything dropped gives its memory back.
"""

import gc
import os
import sys
import tracemalloc

import pytest

from bufr_builder import message, pack_bits, write_table_dir
from tarvane import DecodedValue, TableSet, decode_values_with_tables

ELEMENTS = [
    (1015, "STATION OR SITE NAME", "CCITT IA5", 0, 0, 24),
    (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 8),
    (1003, "WMO REGION", "Code table", 0, 0, 8),
    (12101, "TEMPERATURE", "K", 2, 0, 16),
]
DESCRIPTORS = [1015, 1001, 1003, 12101]
REGIONS = {1: "Region I", 2: "Region II", 5: "Region V"}


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    path = tmp_path_factory.mktemp("lifetime") / "tables"
    return TableSet.from_eccodes(write_table_dir(path, ELEMENTS, code_tables={1003: REGIONS}))


def subset_fields(i):
    """The four values of subset i: name (or None), block, region, temperature.

    Blocks of 256 values start at subsets 0, 64, 128...: these have a name,
    so a block is also begun while a new str is held."""
    name = f"S{i % 100:02d}" if i % 32 == 0 else None
    return name, i % 251, i % 7, (i * 37) % 65000


def stations(subsets):
    # Every field is whole bytes, so a subset is 7 bytes.
    data = bytearray()
    for i in range(subsets):
        name, block, region, temp = subset_fields(i)
        data += (name.encode() if name else b"\xff\xff\xff") + bytes([block, region]) + temp.to_bytes(2, "big")
    return message(DESCRIPTORS, bytes(data), subsets=subsets)


def expected(index):
    """(descriptor, name, raw_value, raw, raw_text, raw_meaning) of value index."""
    subset, position = divmod(index, 4)
    name, block, region, temp = subset_fields(subset)
    if position == 0:
        # a text element's value is its text number times 1000 plus its width
        return 1015, "STATION OR SITE NAME", (subset + 1) * 1000 + 3.0, None, name, None
    if position == 1:
        return 1001, "WMO BLOCK NUMBER", float(block), block, None, None
    if position == 2:
        return 1003, "WMO REGION", float(region), region, None, REGIONS.get(region)
    return 12101, "TEMPERATURE", temp / 100, temp, None, None


def observed(v):
    return v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning


def expected_repr(index):
    descriptor, _, raw_value, _, text, meaning = expected(index)
    shown = f'"{text or meaning}"' if text or meaning else f"Some({raw_value!r})"
    return f"DecodedValue({descriptor:06d}, {shown})"


def churn(tables):
    """Reuses freed memory, so that a value left pointing into it would show."""
    for subsets in (5000, 3, 700):
        values = decode_values_with_tables(stations(subsets), tables)
        del values
    junk = [float(i) for i in range(100000)]
    del junk
    gc.collect()


def test_values_kept_from_several_results_outlive_their_lists(tables):
    type_refs = sys.getrefcount(DecodedValue)
    # one value, exactly one block of 256, just over it, and many blocks
    kept = []
    for subsets in (1, 64, 65, 5000, 64):
        values = decode_values_with_tables(stations(subsets), tables)
        n = len(values)
        assert n == 4 * subsets
        picks = {0, 1, 2, 3, 255, 256, 257, 511, 512, 513, n - 1} | set(range(0, n, 997))
        kept += [(i, values[i]) for i in sorted(picks) if i < n]
        del values
    churn(tables)
    for i, v in kept:
        assert type(v) is DecodedValue
        assert observed(v) == expected(i), i
        assert repr(v) == expected_repr(i), i
        assert v.data == (v.raw_text or v.raw_meaning or v.raw_value)
    del kept, i, v
    gc.collect()
    assert sys.getrefcount(DecodedValue) == type_refs


def test_dropping_a_result_gives_its_memory_back(tables):
    data = stations(20000)
    decode_values_with_tables(data, tables)  # warm up the interpreter's own caches
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(3):
            values = decode_values_with_tables(data, tables)
            used = tracemalloc.get_traced_memory()[0] - base
            # each value and its list slot are counted, and little else
            assert 72 * len(values) <= used <= 80 * len(values)
            del values
            assert tracemalloc.get_traced_memory()[0] - base < 4096
        # one survivor keeps its own block of 256 values, not the result
        survivor = decode_values_with_tables(data, tables)[40000]
        assert tracemalloc.get_traced_memory()[0] - base < 256 * 64 + 4096
        assert observed(survivor) == expected(40000)
        del survivor
        assert tracemalloc.get_traced_memory()[0] - base < 4096
    finally:
        tracemalloc.stop()


def failing_calls(testcapi, data, tables):
    """Calls with every allocation from the n-th on failing, n = 0, 1, ...
    until one succeeds; the number of failed calls and the values."""
    for start in range(1000):
        testcapi.set_nomemory(start, 0)
        try:
            return start, decode_values_with_tables(data, tables)
        except MemoryError:
            pass
        finally:
            testcapi.remove_mem_hooks()
    pytest.fail("the call never succeeded")


def traced_here():
    """Traced bytes allocated from this file's lines: threads that other tests
    left running (a Dask cluster's, say) allocate on their own meanwhile."""
    snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, __file__)])
    return sum(stat.size for stat in snapshot.statistics("filename"))


def test_memory_failure_at_any_point_leaves_nothing_behind(tables):
    testcapi = pytest.importorskip("_testcapi")
    # five blocks: four full ones and a partial one of 176 values
    data = stations(300)
    failing_calls(testcapi, data, tables)  # warm up the interpreter's own caches
    gc.collect()
    type_refs = sys.getrefcount(DecodedValue)
    # Other code's collection hooks (Hypothesis times every collection)
    # allocate during gc.collect() and would count here.
    hooks = gc.callbacks[:]
    gc.callbacks.clear()
    tracemalloc.start()
    try:
        base = traced_here()
        for _ in range(2):
            failures, values = failing_calls(testcapi, data, tables)
            # at least 10 texts and the partial block (the shared strs are
            # the TableSet's, made once by the warm-up)
            assert failures >= 11
            assert [observed(v) for v in values] == [expected(i) for i in range(len(values))]
            del values
        gc.collect()
        # a single str left behind would show as 41 bytes or more
        assert traced_here() - base < 40
    finally:
        tracemalloc.stop()
        gc.callbacks[:] = hooks
    assert sys.getrefcount(DecodedValue) == type_refs


def test_names_and_meanings_beyond_ascii(tmp_path):
    # non-ASCII bytes within the first eight of a name and after them
    path = write_table_dir(
        tmp_path / "tables",
        [
            (1019, "NAME OF PLAC\u00c9", "CCITT IA5", 0, 0, 72),
            (1003, "\u00c9L\u00c9MENT R\u00c9GION", "Code table", 0, 0, 8),
        ],
        code_tables={1003: {2: "R\u00e9gion II"}},
    )
    tables = TableSet.from_eccodes(path)
    values = decode_values_with_tables(message([1019, 1003], b"ABCDEFGHI\x02"), tables)
    assert [observed(v) for v in values] == [
        (1019, "NAME OF PLAC\u00c9", 1009.0, None, "ABCDEFGHI", None),
        (1003, "\u00c9L\u00c9MENT R\u00c9GION", 2.0, 2, None, "R\u00e9gion II"),
    ]
    assert repr(values[1]) == 'DecodedValue(001003, "R\u00e9gion II")'


def resident_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer holds freed memory in quarantine"
)
def test_a_huge_result_gives_its_memory_back_to_the_system(tmp_path):
    # 65,535 compressed subsets of 160 one-byte columns, padded so that the
    # payload allows them: 10.5 million values from a 100 kB message.
    tables = TableSet.from_eccodes(write_table_dir(tmp_path / "t", [(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 8)]))
    data = message([101160, 1001], pack_bits([(7, 8), (0, 6)] * 160) + bytes(100_000), subsets=65535, flags=0xC0)
    gc.collect()
    start = resident_mib()
    for _ in range(2):  # the second call finds the first one's free memory
        values = decode_values_with_tables(data, tables)
        assert len(values) == 160 * 65535
        assert observed(values[-1]) == observed(values[0])
        assert resident_mib() - start > 600
        del values
        assert resident_mib() - start < 64
