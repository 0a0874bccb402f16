"""Decode + encode of the corpus beside ecCodes' Python re-encoding, in one run.

- corpus: every corpus message (editions 3 and 4) that both tarvane decodes
  and the reference unpacks; tarvane: ``tarvane.encode(Message(b).decode())``
  per message; the reference: Debian's python3-eccodes in /usr/bin/python3
  (``codes_new_from_message``, ``unpack``, ``pack``, ``codes_get_message``),
  run in a subprocess right after. Messages per second, best of --passes.
- large: the three compressed corpus messages with the most values, values
  per second the same way.
- memory: the largest compressed message decoded, then encoded in a fresh
  process; the growth of the peak resident size over the encode, per value.

Wall-clock: on a shared machine the ratios hold better than the rates.

    PYTHONPATH=build/python .venv/bin/python bench/bench_encode.py [--passes N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent / "tests" / "data" / "corpus"

REFERENCE = r"""
import json, sys, time
import eccodes

messages = [open(p, "rb").read() for p in sys.argv[2:]]
passes = int(sys.argv[1])
def run():
    for octets in messages:
        h = eccodes.codes_new_from_message(octets)
        try:
            eccodes.codes_set(h, "unpack", 1)
            eccodes.codes_set(h, "pack", 1)
            eccodes.codes_get_message(h)
        finally:
            eccodes.codes_release(h)
run()
times = []
for _ in range(passes):
    t = time.perf_counter(); run(); times.append(time.perf_counter() - t)
print(json.dumps({"seconds": min(times)}))
"""

REFERENCE_CHECK = r"""
import json, sys
import eccodes
ok = []
for p in sys.argv[1:]:
    h = eccodes.codes_new_from_message(open(p, "rb").read())
    try:
        eccodes.codes_set(h, "unpack", 1)
        eccodes.codes_set(h, "pack", 1)
        ok.append(p)
    except Exception:
        pass
    finally:
        eccodes.codes_release(h)
print(json.dumps(ok))
"""

MEMORY = r"""
import sys
import tarvane

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

m = next(iter(tarvane.read(sys.argv[1])))
d = m.decode()
values = len(d)
# The decode's own transient peak is forgotten (writing 5 to clear_refs
# resets VmHWM), so the growth is the encode's alone, over what is resident.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
out = tarvane.encode(d)
print(values, status("VmHWM") - before, len(out))
"""

def corpus_messages() -> list[bytes]:
    import tarvane

    found = []
    for folder in (CORPUS / "messages", CORPUS / "edition3" / "messages"):
        for path in sorted(folder.iterdir()):
            for message in tarvane.read(path, errors="skip"):
                try:
                    tarvane.encode(message.decode())
                except ValueError:
                    continue
                found.append(message.bytes)
    return found


def tarvane_seconds(messages: list[bytes], passes: int) -> float:
    import tarvane

    def run() -> None:
        for octets in messages:
            tarvane.encode(tarvane.Message(octets).decode())

    run()
    times = []
    for _ in range(passes):
        t = time.perf_counter()
        run()
        times.append(time.perf_counter() - t)
    return min(times)


def reference_seconds(paths: list[str], passes: int) -> float:
    run = subprocess.run(["/usr/bin/python3", "-c", REFERENCE, str(passes), *paths],
                         capture_output=True, text=True, check=True)
    return float(json.loads(run.stdout.splitlines()[-1])["seconds"])


def write_all(messages: list[bytes], folder: str) -> list[str]:
    paths = []
    for i, octets in enumerate(messages):
        path = os.path.join(folder, f"{i:04d}.bufr")
        Path(path).write_bytes(octets)
        paths.append(path)
    return paths


def measure(passes: int = 3) -> dict[str, float]:
    """The three figures in one run: messages/s and values/s of each side, their ratios, bytes per value."""
    import tarvane

    messages = corpus_messages()
    out: dict[str, float] = {}
    with tempfile.TemporaryDirectory() as folder:
        paths = write_all(messages, folder)
        check = subprocess.run(["/usr/bin/python3", "-c", REFERENCE_CHECK, *paths], capture_output=True, text=True,
                               check=True)
        both = set(json.loads(check.stdout))
        kept = [(m, p) for m, p in zip(messages, paths) if p in both]
        ours = tarvane_seconds([m for m, _ in kept], passes)
        theirs = reference_seconds([p for _, p in kept], passes)
        n = len(kept)
        out.update(corpus_messages=n, tarvane_messages_per_s=n / ours, eccodes_messages_per_s=n / theirs,
                   corpus_ratio=theirs / ours)

        compressed = [(m, p) for m, p in kept if tarvane.Message(m).compressed_data]
        sizes = {p: len(tarvane.Message(m).decode()) for m, p in compressed}
        large = sorted(compressed, key=lambda mp: -sizes[mp[1]])[:3]
        values = sum(sizes[p] for _, p in large)
        ours = tarvane_seconds([m for m, _ in large], passes)
        theirs = reference_seconds([p for _, p in large], passes)
        out.update(large_messages=len(large), large_values=values, tarvane_values_per_s=values / ours,
                   eccodes_values_per_s=values / theirs, large_ratio=theirs / ours)

        memory = subprocess.run([sys.executable, "-c", MEMORY, large[0][1]], capture_output=True, text=True,
                                check=True, env=os.environ)
        count, grown, size = (int(x) for x in memory.stdout.split())
        out.update(memory_values=count, memory_bytes_written=size, memory_growth_bytes=grown,
                   memory_bytes_per_value=grown / count)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=3)
    args = parser.parse_args()
    r = measure(args.passes)
    print(f"corpus: {r['corpus_messages']:.0f} messages; tarvane decode+encode {r['tarvane_messages_per_s']:,.0f} "
          f"messages/s, ecCodes unpack+pack {r['eccodes_messages_per_s']:,.0f} messages/s, "
          f"ratio {r['corpus_ratio']:.1f}x")
    print(f"large compressed: {r['large_messages']:.0f} messages, {r['large_values']:,.0f} values; tarvane "
          f"{r['tarvane_values_per_s']:,.0f} values/s, ecCodes {r['eccodes_values_per_s']:,.0f} values/s, "
          f"ratio {r['large_ratio']:.1f}x")
    print(f"memory: encoding {r['memory_values']:,.0f} values ({r['memory_bytes_written']:,.0f} bytes written) grew "
          f"the peak resident size by {r['memory_growth_bytes']:,.0f} bytes, "
          f"{r['memory_bytes_per_value']:.1f} bytes per value")


if __name__ == "__main__":
    main()
