"""Table loading times through the Python API.

    PYTHONPATH=build/python python3.12 bench/bench_tables.py [--definitions ROOT]
"""

import argparse
import pathlib
import sys
import time

import tarvane

ROOT = pathlib.Path(__file__).resolve().parent.parent


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), sorted(times)[len(times) // 2], result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--definitions", default="/usr/share/eccodes/definitions")
    parser.add_argument("--repeat", type=int, default=50)
    args = parser.parse_args()

    wmo = pathlib.Path(args.definitions) / "bufr" / "tables" / "0" / "wmo"
    latest = max((p for p in wmo.iterdir() if p.is_dir() and p.name.isdigit()), key=lambda p: int(p.name))
    codetables = len(list((latest / "codetables").glob("*.table")))
    best, median, tables = best_of(lambda: tarvane.TableSet.from_eccodes(str(latest)), args.repeat)
    print(f"from_eccodes({latest}): best {best * 1e3:.2f} ms, median {median * 1e3:.2f} ms "
          f"({tables.element_count} elements, {tables.sequence_count} sequences, {codetables} code tables)")

    csv = ROOT / "tarvane" / "tables" / "wmo-bufr4-v45"
    best, median, tables = best_of(lambda: tarvane.TableSet.from_bufr4_45(str(csv)), args.repeat)
    print(f"from_bufr4_45({csv.name}): best {best * 1e3:.2f} ms, median {median * 1e3:.2f} ms "
          f"({tables.element_count} elements, {tables.sequence_count} sequences)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
