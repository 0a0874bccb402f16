"""Decoding throughput of the Python API over the corpus, beside the reference.

Decodes every edition-4 message of the corpus with decode_values_with_tables
(tables loaded once per table version, outside the timing) and prints, for
three groups of messages (all, small under 1 kB, large compressed satellite
messages), tarvane's rate and the rate of ecCodes' Python binding doing the
comparable work (unpack, then all values as one NumPy array) on the same
messages in the same run. The reference runs in /usr/bin/python3 as a
subprocess of this script, group after group, between tarvane's timings.
Each figure is the median of --repeat timings of --seconds each. Also printed:
page faults per pass, the bytes per value of the largest result and the peak
resident memory.

    PYTHONPATH=build/python python3.12 bench/bench_decode.py [--seconds S] [--repeat N] [--no-reference]
"""

import argparse
import gc
import json
import pathlib
import resource
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "data" / "corpus" / "messages"
REFERENCE_PYTHON = "/usr/bin/python3"


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
    """Decodable messages with their tables, tables loaded once per version:
    (name, bytes, tables, record count, compressed, data category)."""
    import tarvane

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
            items.append((f"{path.name}@{offset}", raw, tables, count,
                          message.compressed_data, message.data_category))
    return items


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def timed_passes(decode_one, messages, seconds):
    """Whole passes until seconds have passed: (seconds per pass, faults per pass)."""
    passes = 0
    faults = minor_faults()
    start = time.perf_counter()
    while True:
        for m in messages:
            decode_one(m)
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return elapsed / passes, (minor_faults() - faults) / passes


def median_pass(decode_one, messages, seconds, repeat):
    runs = [timed_passes(decode_one, messages, seconds) for _ in range(repeat)]
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def reference_worker():
    """Runs under /usr/bin/python3: reads {"messages": [hex...], "seconds", "repeat"}
    from stdin, prints the median seconds per pass."""
    import eccodes

    job = json.load(sys.stdin)
    messages = [bytes.fromhex(h) for h in job["messages"]]

    def decode_one(raw):
        h = eccodes.codes_new_from_message(raw)
        try:
            eccodes.codes_set(h, "unpack", 1)
            eccodes.codes_get_array(h, "numericValues")
        finally:
            eccodes.codes_release(h)

    seconds, _ = median_pass(decode_one, messages, job["seconds"], job["repeat"])
    json.dump({"seconds_per_pass": seconds}, sys.stdout)
    return 0


def reference_pass(messages, seconds, repeat):
    job = json.dumps({"messages": [m.hex() for m in messages], "seconds": seconds, "repeat": repeat})
    done = subprocess.run([REFERENCE_PYTHON, __file__, "--reference-worker"], input=job,
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)["seconds_per_pass"]


def bytes_per_value(raw, tables):
    import tracemalloc

    import tarvane

    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    values = tarvane.decode_values_with_tables(raw, tables)
    used = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    return used / len(values), len(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--definitions", default="/usr/share/eccodes/definitions")
    parser.add_argument("--no-reference", action="store_true")
    parser.add_argument("--reference-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.reference_worker:
        return reference_worker()

    import tarvane

    items = load(args.definitions)
    groups = [
        ("all messages", items),
        ("small (< 1 kB)", [i for i in items if len(i[1]) < 1024]),
        ("satellite, compressed", [i for i in items if i[4] and i[5] == 3 and i[3] >= 10000]),
    ]
    print(f"{len(items)} messages; median of {args.repeat} timings of {args.seconds} s each")
    print(f"{'group':24} {'msgs':>5} {'values':>8} {'tarvane msg/s':>14} {'M values/s':>11} "
          f"{'reference msg/s':>16} {'M values/s':>11} {'ratio':>7} {'faults/pass':>12}")

    def decode_one(item):
        tarvane.decode_values_with_tables(item[1], item[2])

    for label, group in groups:
        values = sum(i[3] for i in group)
        ours, faults = median_pass(decode_one, group, args.seconds, args.repeat)
        line = (f"{label:24} {len(group):5} {values:8} {len(group) / ours:14.0f} {values / ours / 1e6:11.2f} ")
        if args.no_reference:
            line += f"{'':16} {'':11} {'':7} "
        else:
            ref = reference_pass([i[1] for i in group], args.seconds, args.repeat)
            line += f"{len(group) / ref:16.0f} {values / ref / 1e6:11.2f} {ref / ours:6.2f}x "
        print(line + f"{faults:12.0f}", flush=True)

    name, raw, tables, *_ = max(items, key=lambda item: item[3])
    per_value, count = bytes_per_value(raw, tables)
    print(f"largest result: {name}, {count} values, {per_value:.1f} bytes per value")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak resident memory: {peak:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
