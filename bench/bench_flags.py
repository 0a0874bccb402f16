"""The cost of reading flag tables as flags, in instructions, under callgrind.

Decodes every message of the corpus into columns (Message.decode) with the
ecCodes definitions, tables loaded first; callgrind counts only the core's
decode_columns, the function that makes the meanings. Compare the count of
two builds (the figure is independent of machine load):

    PYTHONPATH=build/python valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.out \\
        --toggle-collect='*decode_columns*' .venv/bin/python bench/bench_flags.py
    callgrind_annotate /tmp/cg.out | head -20

Run plainly, it prints the decode time and how many flag-table records were read.
"""

from __future__ import annotations

import os
import sys
import time

import numpy as np

import tarvane

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "data", "corpus")
DEFINITIONS = "/usr/share/eccodes/definitions"


def main() -> None:
    paths = []
    for sub in ("messages", os.path.join("edition3", "messages")):
        directory = os.path.join(CORPUS, sub)
        paths += [os.path.join(directory, n) for n in sorted(os.listdir(directory))]
    messages = [m for p in paths for m in tarvane.read(p, tables=DEFINITIONS, errors="skip")]
    good = []
    for m in messages:  # tables loaded and failing messages dropped before timing
        try:
            m.decode()
            good.append(m)
        except ValueError:
            pass
    start = time.perf_counter()
    datas = [m.decode() for m in good]
    seconds = time.perf_counter() - start
    records = sum(len(d) for d in datas)
    flags = sum(int(np.isin(d.unit, ["FLAG TABLE", "Flag table"]).sum()) for d in datas)
    print(f"{len(good)} messages, {records} records, {flags} flag-table records, decoded in {seconds:.3f} s",
          file=sys.stderr)


if __name__ == "__main__":
    main()
