"""Decoding throughput of the Python API over the corpus.

Decodes every edition-4 message of the corpus with decode_values_with_tables
(tables loaded once per table version, outside the timing) and prints records
per second, messages per second for the small messages (under 1 kB), the
page faults per pass (fresh memory from the system is costly on some virtual
machines), the peak resident memory and the bytes per value of the result list
for the largest message.

    PYTHONPATH=build/python python3.12 bench/bench_decode.py [--seconds S] [--definitions ROOT]
"""

import argparse
import gc
import pathlib
import resource
import sys
import time
import tracemalloc

import tarvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "data" / "corpus" / "messages"


def split(data):
    """(offset, bytes) of every marked message, as the splitter cuts them."""
    pos = 0
    while True:
        pos = data.find(b"BUFR", pos)
        if pos < 0 or pos + 8 > len(data):
            return
        length = int.from_bytes(data[pos + 4:pos + 7], "big")
        if length == 0 or pos + length > len(data):
            return
        yield pos, data[pos:pos + length]
        pos += length


def load(definitions):
    """Decodable messages with their tables, tables loaded once per version."""
    tables_by_version = {}
    items = []
    for path in sorted(CORPUS.iterdir()):
        for offset, raw in split(path.read_bytes()):
            try:
                message = tarvane.parse_bytes(raw)
            except ValueError:
                continue
            key = (message.master_table_number, message.master_tables_version_number,
                   message.local_tables_version_number, message.originating_centre,
                   message.originating_subcentre)
            if key not in tables_by_version:
                tables_by_version[key] = tarvane.TableSet.from_definitions(definitions, message)
            tables = tables_by_version[key]
            try:
                count = len(tarvane.decode_values_with_tables(raw, tables))
            except ValueError:
                continue
            items.append((f"{path.name}@{offset}", raw, tables, count))
    return items


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def timed_rounds(items, seconds):
    """Whole passes over items until seconds have passed; (passes, elapsed,
    page faults per pass)."""
    decode = tarvane.decode_values_with_tables
    passes = 0
    faults = minor_faults()
    start = time.perf_counter()
    while True:
        for _, raw, tables, _ in items:
            decode(raw, tables)
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return passes, elapsed, (minor_faults() - faults) / passes


def bytes_per_value(raw, tables):
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    values = tarvane.decode_values_with_tables(raw, tables)
    used = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return used / len(values), len(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--definitions", default="/usr/share/eccodes/definitions")
    args = parser.parse_args()

    items = load(args.definitions)
    records = sum(item[3] for item in items)
    small = [item for item in items if len(item[1]) < 1024]
    print(f"messages decoded: {len(items)} ({len(small)} under 1 kB), records per pass: {records}")

    passes, elapsed, faults = timed_rounds(items, args.seconds)
    print(f"all messages:   {records * passes / elapsed / 1e6:8.2f} million records/s "
          f"({passes} passes in {elapsed:.2f} s, {faults:.0f} page faults per pass)")
    passes, elapsed, _ = timed_rounds(small, args.seconds)
    small_records = sum(item[3] for item in small)
    print(f"small messages: {len(small) * passes / elapsed:10.0f} messages/s "
          f"({small_records / len(small):.0f} values each on average)")

    name, raw, tables, _ = max(items, key=lambda item: item[3])
    per_value, count = bytes_per_value(raw, tables)
    print(f"largest result: {name}, {count} values, {per_value:.1f} bytes per value")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak resident memory: {peak:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
