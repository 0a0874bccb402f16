"""First-decode latency per master table version, and the cost of `import tarvane`.

For each master version the bundle holds, one SYNOP message (template
3 07 005, the same in every version) with that version
in section 1 is decoded with the table cache empty (the set is read from the
bundle, then the message decoded), then again (the set is held). Beside it,
the same first decode with the ecCodes definitions root where it has that
version.
Run it on an idle machine:

    PYTHONPATH=build/python .venv/bin/python bench/bench_table_versions.py [--repeat 5]
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
MESSAGE = ROOT / "tests" / "data" / "corpus" / "edition3" / "messages" / "earthkit-data__docs_examples_synop_10.bufr"
DEFINITIONS = "/usr/share/eccodes/definitions"


def import_ms(repeat):
    """Median wall time of `import tarvane` in a fresh interpreter, less an empty one's start."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

    def run(code):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True, env=env)
        return time.perf_counter() - start

    empty = statistics.median(run("pass") for _ in range(repeat))
    full = statistics.median(run("import tarvane") for _ in range(repeat))
    return (full - empty) * 1e3


def with_version(octets, version):
    # The master table version: octet 11 of section 1 in edition 3, 14 in edition 4.
    out = bytearray(octets)
    out[8 + (10 if octets[7] == 3 else 13)] = version
    return bytes(out)


def first_decode_ms(octets, tables, repeat):
    """Median first decode (a new reader, the cache emptied) and one decode with the set held, in ms."""
    import tarvane
    from tarvane import _tables

    times = []
    for _ in range(repeat):
        _tables.CACHE.clear()
        start = time.perf_counter()
        tarvane.Message(octets, tables=tables).decode()
        times.append(time.perf_counter() - start)
    start = time.perf_counter()
    tarvane.Message(octets, tables=tables).decode()
    held = time.perf_counter() - start
    return statistics.median(times) * 1e3, held * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"import tarvane: {import_ms(max(args.repeat, 10)):.1f} ms")

    import tarvane
    from tarvane import _bundle

    octets = next(tarvane.read(str(MESSAGE))).bytes
    eccodes_root = DEFINITIONS if os.path.isdir(DEFINITIONS) else None
    print("version  bundled first / held (ms)   ecCodes root first (ms)")
    for version in _bundle.master_versions(0):
        message = with_version(octets, version)
        first, held = first_decode_ms(message, None, args.repeat)
        line = f"{version:7d}  {first:8.1f} / {held:5.2f}"
        if eccodes_root and os.path.isdir(os.path.join(eccodes_root, "bufr", "tables", "0", "wmo", str(version))):
            root_first, _ = first_decode_ms(message, eccodes_root, args.repeat)
            line += f"   {root_first:12.1f}"
        print(line)


if __name__ == "__main__":
    main()
