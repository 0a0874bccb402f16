"""Worst-case memory of one decode: the densest legal message per size.

A compressed message of 65,535 subsets whose columns all hold one value
(no increments) costs 7 bits per 65,535 values; the decoder's output bound,
L = 1,048,576 + 16 x (section 4 data bits) values, is what stops it. For
each section 4 size this builds the message that reaches L (a delayed
replication of 0 31 031, the payload padded to the size), decodes it with
decode_values_with_tables in a fresh interpreter and prints the values, the
growth of peak resident memory, the bytes per value and the time.

    PYTHONPATH=build/python python3.12 bench/bench_memory.py [KB ...]
"""

import json
import os
import subprocess
import sys

CHILD = r"""
import json, resource, sys, time
import tarvane

def u24(n): return n.to_bytes(3, "big")

size = int(sys.argv[1])
subsets = 65535
limit = 1_048_576 + 16 * 8 * size
factor = limit // subsets - 1                 # the factor is a value too
bits = "{:016b}".format(factor) + "0" * 6     # 0 31 002: the factor, no increments
bits += "0" * 7 * factor                      # 0 31 031: one bit, no increments
bits += "0" * (-len(bits) % 8)
payload = int(bits, 2).to_bytes(len(bits) // 8, "big")
payload += bytes(size - len(payload))
codes = [101000, 31002, 31031]
s1 = u24(22) + bytes([0, 0, 98, 0, 0, 0, 0, 0, 1, 0, 38, 0]) + (2024).to_bytes(2, "big") + bytes([5, 6, 7, 8, 9])
s3 = u24(7 + 2 * len(codes)) + b"\0" + subsets.to_bytes(2, "big") + bytes([0xC0])
s3 += b"".join(((c // 100000) << 14 | ((c // 1000) % 100) << 8 | c % 1000).to_bytes(2, "big") for c in codes)
s4 = u24(4 + len(payload)) + b"\0" + payload
body = s1 + s3 + s4 + b"7777"
data = b"BUFR" + u24(8 + len(body)) + b"\x04" + body
tables = tarvane.default_tables()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
values = tarvane.decode_values_with_tables(data, tables)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"message": len(data), "values": len(values), "limit": limit,
                  "peak": (peak - before) * 1024, "seconds": elapsed}))
"""


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [1, 10, 100]
    print(f"{'section 4':>10} {'message':>9} {'values':>11} {'peak growth':>12} {'bytes/value':>12} {'seconds':>8}")
    for kb in sizes:
        run = subprocess.run([sys.executable, "-c", CHILD, str(kb * 1024)], capture_output=True, text=True,
                             env=os.environ)
        if run.returncode != 0:
            print(f"{kb:>8} kB failed: {run.stderr.strip().splitlines()[-1]}")
            continue
        r = json.loads(run.stdout)
        assert r["values"] <= r["limit"]
        print(f"{kb:>8} kB {r['message']:>9} {r['values']:>11,} {r['peak'] / 2**20:>9.0f} MiB "
              f"{r['peak'] / r['values']:>12.0f} {r['seconds']:>8.2f}")


if __name__ == "__main__":
    main()
