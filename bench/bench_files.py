"""File reading without cliffs: parse_all_file and tarvane.read by file
size, decode_values* on a buffer holding many messages, and the cost of
`import tarvane`.

Files of 18, 37, 73 and 147 MB are made of the corpus's sound messages
repeated; "bytes cpu" is parse_all_bytes on the same bytes in memory,
"read ms" tarvane.read over the file (framing and headers, no decoding). Each
figure is the best of several calls (wall clock and the
calling thread's CPU time; the machine is shared). The reference decoder
(ecCodes through /usr/bin/python3) counts the messages of the same files in
the same run, without unpacking them.

    PYTHONPATH=build/python python3.12 bench/bench_files.py [--repeat N] [--no-reference]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import tarvane

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "data" / "corpus" / "messages"
SIZES_MB = (18, 37, 73, 147)
DEFINITIONS = "/usr/share/eccodes/definitions"

REFERENCE = r"""
import sys, time, eccodes
best = None
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    count = 0
    with open(sys.argv[1], "rb") as f:
        while True:
            h = eccodes.codes_bufr_new_from_file(f)
            if h is None:
                break
            count += 1
            eccodes.codes_release(h)
    elapsed = time.perf_counter() - start
    best = elapsed if best is None else min(best, elapsed)
print(count, best)
"""


def sound_messages():
    """Every message of the corpus that parses, as bytes."""
    out = []
    for path in sorted(CORPUS.iterdir()):
        data = path.read_bytes()
        pos = 0
        while True:
            pos = data.find(b"BUFR", pos)
            if pos < 0 or pos + 8 > len(data):
                break
            length = int.from_bytes(data[pos + 4:pos + 7], "big")
            piece = data[pos:pos + max(length, 1)]
            try:
                tarvane.parse_bytes(piece)
                out.append(piece)
                pos += length
            except ValueError:
                pos += 4
    return out


def best_of(repeat, call):
    wall = cpu = float("inf")
    for _ in range(repeat):
        w, c = time.perf_counter(), time.thread_time()
        result = call()
        wall = min(wall, time.perf_counter() - w)
        cpu = min(cpu, time.thread_time() - c)
        del result
    return wall, cpu


def reference_count(path, repeat):
    try:
        run = subprocess.run(["/usr/bin/python3", "-c", REFERENCE, path, str(repeat)],
                             capture_output=True, text=True, timeout=600, check=True)
    except (OSError, subprocess.SubprocessError):
        return None
    count, seconds = run.stdout.split()
    return int(count), float(seconds)


def import_time(python, module, env, runs=15):
    code = f"import time; t = time.perf_counter(); import {module}; print(time.perf_counter() - t)"
    times = []
    for _ in range(runs):
        run = subprocess.run([python, "-c", code], capture_output=True, text=True, env=env)
        if run.returncode != 0:
            return None
        times.append(float(run.stdout))
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--no-reference", action="store_true")
    args = parser.parse_args()

    messages = sound_messages()
    blob = b"".join(messages)
    with tempfile.TemporaryDirectory() as tmp:
        print(f"parse_all_file ({len(messages)} corpus messages repeated; best of {args.repeat})")
        print(f"{'size':>8} {'messages':>9} {'wall ms':>9} {'cpu ms':>9} {'ns/byte':>8} {'bytes cpu':>10} {'read ms':>8} {'ecCodes ms':>11}")
        first = None
        for mb in SIZES_MB:
            data = blob * (mb * 1_000_000 // len(blob) + 1)
            path = os.path.join(tmp, f"{mb}.bufr")
            with open(path, "wb") as f:
                f.write(data)
            count = len(tarvane.parse_all_file(path))
            wall, cpu = best_of(args.repeat, lambda: tarvane.parse_all_file(path))
            in_memory = best_of(args.repeat, lambda: tarvane.parse_all_bytes(data))[1]
            reading = best_of(args.repeat, lambda: sum(1 for _ in tarvane.read(path, errors="skip")))[0]
            ref = None if args.no_reference else reference_count(path, 3)
            ref_text = "-" if ref is None else f"{ref[1] * 1e3:.1f}"
            if ref is not None and ref[0] != count:
                ref_text += f" ({ref[0]} messages)"
            print(f"{len(data) / 1e6:7.0f}M {count:9d} {wall * 1e3:9.1f} {cpu * 1e3:9.1f} "
                  f"{wall * 1e9 / len(data):8.3f} {in_memory * 1e3:10.1f} {reading * 1e3:8.1f} {ref_text:>11}")
            if first is None:
                first = (wall, cpu)
            last = (wall, cpu, data)
        wall, cpu, data = last
        print(f"147 MB against 18 MB: {wall / first[0]:.1f}x wall, {cpu / first[1]:.1f}x cpu "
              f"(sizes {len(data) / (len(blob) * (SIZES_MB[0] * 1_000_000 // len(blob) + 1)):.1f}x)")

        # decode_values*: the first message of a large buffer against the message alone.
        one = messages[0]
        tables = tarvane.TableSet.from_definitions(DEFINITIONS, tarvane.parse_bytes(one))
        alone = best_of(args.repeat * 5, lambda: tarvane.decode_values_with_tables(one, tables))[0]
        framed = best_of(args.repeat, lambda: tarvane.decode_values_with_tables(data, tables))[0]
        print(f"decode_values_with_tables, first message: alone {alone * 1e3:.3f} ms, "
              f"followed by {len(data) / 1e6:.0f} MB of messages {framed * 1e3:.3f} ms")

    env = dict(os.environ)
    ours = import_time(sys.executable, "tarvane", env)
    ref_env = {k: v for k, v in env.items() if k != "PYTHONPATH"}
    ref = None if args.no_reference else import_time("/usr/bin/python3", "eccodes", ref_env)
    print(f"import tarvane: {ours * 1e3:.1f} ms (best of 15)"
          + ("" if ref is None else f"; import eccodes (reference): {ref * 1e3:.1f} ms"))


if __name__ == "__main__":
    main()
