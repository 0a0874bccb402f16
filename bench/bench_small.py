"""The fixed cost of a small message, as callgrind instruction counts per message.

Instruction counts, not seconds: they do not move when other work shares
the machine. Every edition-4 corpus message under 1 kB that decodes is
concatenated into one buffer; each step below runs under callgrind twice, for
one pass and for 1 + --passes passes over it (after one untimed pass that
loads the tables in both), and the difference over the extra passes and
messages is the cost of one message:

- core: ``_columns.decode(octets, tables, False)`` alone (the decode, its columns
  and the call);
- parse: ``_columns.parse(octets)`` alone (sections 0 to 3);
- read: ``for m in tarvane.read(buffer)`` (framing and Message construction);
- read+decode: ``m.decode()`` for every message of ``tarvane.read(buffer)``
  (table choice and Data construction besides), the path a reader takes;
- read+decode+value: the same, and the value column of each Data.

    PYTHONPATH=build/python .venv/bin/python bench/bench_small.py [--passes N]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent / "tests" / "data" / "corpus" / "messages"
STEPS = ("core", "parse", "read", "read+decode", "read+decode+value")


def small_messages() -> list[bytes]:
    import tarvane

    found = []
    for path in sorted(CORPUS.glob("*.bufr")):
        for message in tarvane.read(path, errors="skip"):
            if message.length < 1024 and message.edition == 4:
                try:
                    message.decode()
                except ValueError:
                    continue
                found.append(message.bytes)
    return found


def run_step(step: str, passes: int) -> None:
    """What callgrind measures: one warm-up pass, then `passes` more."""
    import tarvane
    from tarvane import _columns

    buffer = Path(os.environ["SMALL_MESSAGES"]).read_bytes()
    messages = [m.bytes for m in tarvane.read(buffer)]
    tables = [m.decode().tables for m in tarvane.read(buffer)]
    for _ in range(1 + passes):
        if step == "core":
            for octets, table_set in zip(messages, tables):
                _columns.decode(octets, table_set, False)
        elif step == "parse":
            for octets in messages:
                _columns.parse(octets)
        elif step == "read":
            for _message in tarvane.read(buffer):
                pass
        elif step == "read+decode":
            for message in tarvane.read(buffer):
                message.decode()
        else:
            for message in tarvane.read(buffer):
                message.decode().value


def instructions(step: str, passes: int, env: dict[str, str]) -> int:
    with tempfile.NamedTemporaryFile(suffix=".callgrind") as out:
        command = [
            "valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}",
            sys.executable, __file__, "--step", step, "--passes", str(passes),
        ]
        run = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
        found = re.search(r"Collected : (\d+)", run.stderr)
        if found is None:
            raise RuntimeError(f"no instruction count from callgrind:\n{run.stderr[-2000:]}")
        return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=200)
    parser.add_argument("--step", choices=STEPS, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.step:
        run_step(args.step, args.passes)
        return
    messages = small_messages()
    with tempfile.NamedTemporaryFile(suffix=".bufr") as f:
        f.write(b"".join(messages))
        f.flush()
        # A fixed hash seed: the counts of two runs differ only by the passes.
        # NumPy's OpenBLAS threads spin while they wait, and callgrind counts
        # their instructions too: with them the difference of two runs moved
        # by a third.
        env = {**os.environ, "SMALL_MESSAGES": f.name, "PYTHONHASHSEED": "0", "OPENBLAS_NUM_THREADS": "1"}
        print(f"{len(messages)} edition-4 messages under 1 kB, {args.passes} passes; "
              "instructions per message (callgrind):")
        per_message = {}
        for step in STEPS:
            extra = instructions(step, args.passes, env) - instructions(step, 0, env)
            per_message[step] = extra / (args.passes * len(messages))
            print(f"  {step:18}  {per_message[step]:10,.0f}")
    core = per_message["core"]
    print(f"read+decode is {per_message['read+decode'] / core:.2f}x the core's instructions")


if __name__ == "__main__":
    main()
