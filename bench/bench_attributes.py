"""Attribute lookups beside the reference decoder's Python interface, in one run.

Both sides get every corpus message (editions 3 and 4) that has attribute
keys, as bytes in memory, and read every ``#k#A->B`` key of it; each side
has one untimed pass first, so that tables are loaded on both.

- tarvane: per message Message(octets).decode(), then data.get(name, rank=k)
  for each key (refers_to is worked out on the first of them).
- reference: ecCodes through Debian's python3-eccodes in /usr/bin/python3, a
  subprocess: codes_new_from_message, codes_set(h, "unpack", 1),
  codes_get_array(h, key) for each key, codes_release.

Printed: keys read per second on each side and the ratio. Run it on an idle
machine:

    PYTHONPATH=build/python .venv/bin/python bench/bench_attributes.py [--passes N]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time

import tarvane

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, os.pardir, "tests", "data", "corpus")
LISTER = os.path.join(HERE, os.pardir, "tests", "python", "reference_attributes.py")

REFERENCE = r"""
import json, sys, time, eccodes
work = json.load(sys.stdin)
passes = int(sys.argv[1])
def one_pass():
    for path, offset, length, keys in work:
        with open(path, "rb") as f:
            f.seek(offset)
            h = eccodes.codes_new_from_message(f.read(length))
        eccodes.codes_set(h, "unpack", 1)
        for key in keys:
            eccodes.codes_get_array(h, key)
        eccodes.codes_release(h)
one_pass()
start = time.perf_counter()
for _ in range(passes):
    one_pass()
print(time.perf_counter() - start)
"""


def _work() -> list[tuple[str, int, int, list[str]]]:
    paths = [os.path.join(CORPUS, folder, name)
             for folder in ("messages", os.path.join("edition3", "messages"))
             for name in sorted(os.listdir(os.path.join(CORPUS, folder)))]
    listed = subprocess.run(["/usr/bin/python3", LISTER, *paths], capture_output=True, text=True, check=True)
    work = []
    for line in listed.stdout.splitlines():
        entry = json.loads(line)
        if entry.get("keys"):
            offset = int(entry["offset"])
            with open(entry["file"], "rb") as f:
                f.seek(offset + 4)
                length = int.from_bytes(f.read(3), "big")
            work.append((entry["file"], offset, length, list(entry["keys"])))
    return work


def _ours(work: list[tuple[str, int, int, list[str]]], passes: int) -> float:
    messages = []
    for path, offset, length, keys in work:
        with open(path, "rb") as f:
            f.seek(offset)
            octets = f.read(length)
        ranked = [(name, int(rank)) for rank, name in (re.fullmatch(r"#(\d+)#(.+)", k).groups() for k in keys)]
        messages.append((octets, ranked))

    def one_pass() -> None:
        for octets, ranked in messages:
            data = tarvane.Message(octets).decode()
            for name, rank in ranked:
                data.get(name, rank=rank)

    one_pass()
    start = time.perf_counter()
    for _ in range(passes):
        one_pass()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--passes", type=int, default=3)
    args = parser.parse_args()
    work = _work()
    keys = sum(len(w[3]) for w in work) * args.passes
    ours = _ours(work, args.passes)
    done = subprocess.run(["/usr/bin/python3", "-c", REFERENCE, str(args.passes)], input=json.dumps(work),
                          capture_output=True, text=True, check=True)
    theirs = float(done.stdout.strip())
    print(f"{len(work)} messages, {keys // args.passes} attribute keys, {args.passes} passes")
    print(f"tarvane   {keys / ours:12.0f} keys/s")
    print(f"reference {keys / theirs:12.0f} keys/s")
    print(f"ratio     {theirs / ours:12.2f}x")


if __name__ == "__main__":
    sys.exit(main())
