"""Which corpus messages take the decode + encode time, and how much of it each half takes.

Every message bench_encode.py times, decoded and encoded again alone (best
of --repeat), sorted by the sum; the head of the list and the totals. The
share of the largest messages tells whether fixed costs or per-value costs
rule the corpus figure.

    PYTHONPATH=build/python .venv/bin/python bench/encode_profile.py [--top N] [--repeat N]
"""

from __future__ import annotations

import argparse
import time

import tarvane
from bench_encode import corpus_messages


def timed(octets: bytes, repeat: int) -> tuple[float, float, tarvane.Message, int]:
    decode = encode = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        data = tarvane.Message(octets).decode()
        t1 = time.perf_counter()
        tarvane.encode(data)
        t2 = time.perf_counter()
        decode, encode = min(decode, t1 - t0), min(encode, t2 - t1)
    return decode, encode, data.message, len(data)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rows = sorted((timed(octets, args.repeat) for octets in corpus_messages()), key=lambda r: -(r[0] + r[1]))
    decode = sum(r[0] for r in rows)
    encode = sum(r[1] for r in rows)
    print(f"{len(rows)} messages: decode {decode * 1e3:.1f} ms, encode {encode * 1e3:.1f} ms, "
          f"{len(rows) / (decode + encode):,.0f} messages/s")
    top = rows[: args.top]
    share = sum(r[0] + r[1] for r in top) / (decode + encode)
    print(f"the {len(top)} slowest take {share:.0%}:")
    for d, e, m, values in top:
        print(f"  decode {d * 1e6:7.0f} us  encode {e * 1e6:7.0f} us  {values:8,} values  {m.number_of_subsets:5} subsets "
              f"{'compressed' if m.compressed_data else 'uncompressed':12} edition {m.edition}  {m.unexpanded_descriptors[:3]}")


if __name__ == "__main__":
    main()
