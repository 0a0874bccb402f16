"""tarvane.read(threads=N) against threads=None on one archive, in one run.

The archive is every corpus message that decodes (editions 3 and 4: SYNOP,
TEMP, satellite and the rest), written --copies times into one file. Each
setting reads it whole and decodes every message; the settings alternate
and the best of --repeat wall times is kept. The ratio means something only
on an idle machine: the load average is printed beside it.

    PYTHONPATH=build/python .venv/bin/python bench/bench_read_ahead.py [--threads 2] [--copies 10] [--repeat 3]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time
from pathlib import Path

import tarvane

CORPUS = Path(__file__).resolve().parent.parent / "tests" / "data" / "corpus"


def decodable() -> bytes:
    octets = []
    for path in sorted([*CORPUS.glob("messages/*"), *CORPUS.glob("edition3/messages/*")]):
        for message in tarvane.read(path, errors="skip"):
            try:
                message.decode()
            except ValueError:
                continue
            octets.append(message.bytes)
    return b"".join(octets)


def one_pass(path: str, threads: int | None) -> tuple[float, int]:
    start = time.perf_counter()
    values = sum(len(m.decode()) for m in tarvane.read(path, threads=threads))
    return time.perf_counter() - start, values


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--copies", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.NamedTemporaryFile(suffix=".bufr") as f:
        f.write(decodable() * args.copies)
        f.flush()
        one_pass(f.name, None)  # tables loaded, file in the page cache
        settings: list[int | None] = [None, args.threads]
        best = {s: float("inf") for s in settings}
        for _ in range(args.repeat):
            for setting in settings:
                seconds, values = one_pass(f.name, setting)
                best[setting] = min(best[setting], seconds)
        size = os.path.getsize(f.name) / 1e6
    print(f"{size:.1f} MB archive, {values:,} records; cpus {os.cpu_count()}, load average {os.getloadavg()[0]:.1f}")
    for setting in settings:
        print(f"  threads={setting!s:5}  {best[setting]:7.3f} s  {values / best[setting] / 1e6:6.1f} M records/s")
    print(f"threads={args.threads} is {best[None] / best[args.threads]:.2f}x threads=None")


if __name__ == "__main__":
    main()
