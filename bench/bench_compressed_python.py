"""Passes of tarvane.Message(...).decode().value over the compressed edition-4 messages of the corpus.

The Python side of bench/compressed_instructions.sh: the same messages as
bench_decode's compressed benchmarks (those the core decodes), one untimed
pass first so that tables are loaded and cached.

    PYTHONPATH=build/python .venv/bin/python bench/bench_compressed_python.py PASSES [--corpus DIR]
"""

from __future__ import annotations

import argparse
import os
import sys

import tarvane
from tarvane._read import Message
from tarvane._tables import TableChooser


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("passes", type=int)
    parser.add_argument("--corpus", default=os.path.join(os.path.dirname(__file__), "..", "tests/data/corpus/messages"))
    args = parser.parse_args()
    octets, values = [], 0
    for name in sorted(os.listdir(args.corpus)):
        for message in tarvane.read(os.path.join(args.corpus, name), errors="skip"):
            if message.edition != 4 or not message.compressed_data:
                continue
            try:
                values += len(message.decode())
            except ValueError:
                continue
            octets.append(message.bytes)
    chooser = TableChooser(None)
    for _ in range(args.passes + 1):
        for raw in octets:
            Message(raw, tables=chooser).decode().value
    print(f"{len(octets)} messages, {values} values")
    return 0


if __name__ == "__main__":
    sys.exit(main())
