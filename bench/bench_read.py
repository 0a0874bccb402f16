"""tarvane.read's Data decoding beside the reference decoder's Python interface, in one run.

Both sides get every edition-4 message of the corpus that both decode, as
bytes in memory, and time whole passes over them (one untimed pass first, so
tables are loaded and cached on both sides before the clock starts):

- tarvane: per message Message(octets) (section 0 to 3 parsed, tables chosen
  through the reader's process-wide cache), .decode() (NumPy columns filled
  by the core with the GIL released), then the value column is taken.
- reference: ecCodes through Debian's python3-eccodes in /usr/bin/python3, a
  subprocess: per message codes_new_from_message(octets),
  codes_set(h, "unpack", 1), codes_get_array(h, "numericValues") (one
  float64 NumPy array of every numeric data value), codes_release(h).

Values/s count the same values on both sides: the records of our Data (the
reference's numericValues has as many for all but text-bearing messages; its
count is printed too). The rows: (a) the whole corpus; (b) the large
compressed satellite messages alone; (c) messages/s on messages under 1 kB;
(d) two threads decoding different halves of the corpus against one thread
decoding all of it; (e) bytes per value of the numeric columns the decoder
gives (subset, descriptor and raw are left out where they are made only when
asked for) and the resident memory that holding decoded messages costs.

    PYTHONPATH=build/python .venv/bin/python bench/bench_read.py [--seconds S] [--corpus DIR]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import threading
import time

import tarvane
from tarvane._read import Message
from tarvane._tables import TableChooser

CORPUS = "/work/shared/corpus/messages"
REFERENCE_PYTHON = "/usr/bin/python3"
SATELLITE_CATEGORIES = {3, 5, 12, 21}  # vertical and single-level satellite soundings, surface, radiances
LARGE = 10_000  # values in a message, for (b)

REFERENCE = r"""
import json, sys, time
import eccodes

job = json.load(sys.stdin)
seconds = job["seconds"]
cache = {}

def octets(path, offset, length):
    if path not in cache:
        with open(path, "rb") as f:
            cache[path] = f.read()
    return cache[path][offset:offset + length]

def one_pass(messages):
    count = 0
    for raw in messages:
        h = eccodes.codes_new_from_message(raw)
        eccodes.codes_set(h, "unpack", 1)
        count += len(eccodes.codes_get_array(h, "numericValues"))
        eccodes.codes_release(h)
    return count

out = {}
for name, items in job["groups"].items():
    messages = [octets(*item) for item in items]
    count = one_pass(messages)  # warm: tables loaded and cached
    passes, start = 0, time.perf_counter()
    while True:
        one_pass(messages)
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            break
    out[name] = {"seconds_per_pass": elapsed / passes, "numeric_values": count}
json.dump(out, sys.stdout)
"""


class Item:
    __slots__ = ("path", "offset", "octets", "records", "compressed", "category")

    def __init__(self, path: str, message: Message, records: int) -> None:
        self.path = path
        self.offset = message.offset
        self.octets = message.bytes
        self.records = records
        self.compressed = message.compressed_data
        self.category = message.data_category


def load(corpus: str) -> list[Item]:
    items = []
    for name in sorted(os.listdir(corpus)):
        path = os.path.join(corpus, name)
        for message in tarvane.read(path, errors="skip"):
            if message.edition != 4:
                continue
            try:
                records = len(message.decode())
            except ValueError:
                continue  # the reference rejects these too
            items.append(Item(path, message, records))
    return items


def reference_seconds(groups: dict[str, list[Item]], seconds: float) -> dict[str, dict[str, float]]:
    job = {
        "seconds": seconds,
        "groups": {name: [(i.path, i.offset, len(i.octets)) for i in items] for name, items in groups.items()},
    }
    done = subprocess.run(
        [REFERENCE_PYTHON, "-c", REFERENCE], input=json.dumps(job), capture_output=True, text=True, check=True
    )
    result: dict[str, dict[str, float]] = json.loads(done.stdout)
    return result


def decode_pass(octets: list[bytes], chooser: TableChooser) -> None:
    for raw in octets:
        Message(raw, tables=chooser).decode().value


def ours_seconds(items: list[Item], seconds: float) -> float:
    chooser = TableChooser(None)
    octets = [i.octets for i in items]
    decode_pass(octets, chooser)  # warm: tables loaded and cached
    passes, start = 0, time.perf_counter()
    while True:
        decode_pass(octets, chooser)
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return elapsed / passes


def threaded_seconds(parts: list[list[Item]], passes: int) -> float:
    """Wall time for each thread to make passes over its own part."""
    chooser = TableChooser(None)
    work = [[i.octets for i in part] for part in parts]
    for octets in work:
        decode_pass(octets, chooser)
    barrier = threading.Barrier(len(work) + 1)

    def run(octets: list[bytes]) -> None:
        barrier.wait()
        for _ in range(passes):
            decode_pass(octets, chooser)

    threads = [threading.Thread(target=run, args=(octets,)) for octets in work]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(item: Item, copies: int = 20) -> tuple[float, float]:
    """Bytes per value: of the numeric columns, and of resident memory while copies are held."""
    data = Message(item.octets).decode()
    # The columns the decoder gave; the others are made only when asked for.
    numeric = sum(memoryview(c).nbytes for c in data._parts._columns.values() if c is not None)
    gc.collect()
    before = resident_bytes()
    held = [Message(item.octets).decode() for _ in range(copies)]
    after = resident_bytes()
    del held
    return numeric / len(data), (after - before) / (copies * len(data))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="least time per measurement")
    parser.add_argument("--corpus", default=CORPUS)
    args = parser.parse_args()

    items = load(args.corpus)
    satellite = [
        i for i in items if i.compressed and i.category in SATELLITE_CATEGORIES and i.records >= LARGE
    ]
    small = [i for i in items if len(i.octets) < 1024]
    groups = {"corpus": items, "satellite": satellite, "small": small}
    print(
        f"{len(items)} edition-4 messages ({sum(i.records for i in items)} values); "
        f"{len(satellite)} large compressed satellite messages ({sum(i.records for i in satellite)} values); "
        f"{len(small)} under 1 kB"
    )

    reference = reference_seconds(groups, args.seconds)
    ours = {name: ours_seconds(group, args.seconds) for name, group in groups.items()}

    rows = []
    for label, name, unit in (
        ("(a) values/s, whole corpus", "corpus", "values"),
        ("(b) values/s, large compressed satellite", "satellite", "values"),
        ("(c) messages/s, under 1 kB", "small", "messages"),
    ):
        group = groups[name]
        amount = sum(i.records for i in group) if unit == "values" else len(group)
        theirs = reference[name]["seconds_per_pass"]
        rows.append((label, amount / ours[name], amount / theirs, theirs / ours[name]))

    # Two halves of equal work: the messages by size, dealt out in turn.
    by_size = sorted(items, key=lambda i: i.records, reverse=True)
    halves = [by_size[0::2], by_size[1::2]]
    passes = max(1, round(args.seconds / ours["corpus"]))
    one = threaded_seconds([items], passes)
    two = threaded_seconds(halves, passes)
    total = sum(i.records for i in items) * passes

    print()
    print(f"{'':44s} {'tarvane':>14s} {'reference':>14s} {'ratio':>8s}")
    for label, mine, theirs, ratio in rows:
        print(f"{label:44s} {mine:14,.0f} {theirs:14,.0f} {ratio:7.1f}x")
    print(f"{'(d) values/s, one thread':44s} {total / one:14,.0f}")
    print(f"{'    values/s, two threads, own messages':44s} {total / two:14,.0f} {'':14s} {one / two:7.2f}x")
    largest = max(items, key=lambda i: i.records)
    numeric, resident = memory(largest)
    print(f"(e) bytes per value, numeric columns: {numeric:.1f}; resident while held: {resident:.1f} "
          f"({os.path.basename(largest.path)}, {largest.records} values)")
    ref_counts = {name: reference[name]["numeric_values"] for name in groups}
    print(f"reference numericValues per pass: {ref_counts}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
