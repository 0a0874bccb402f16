"""Tables from an archive at scale: one process against a Dask cluster.

Builds a synthetic archive (default 2,000 files of 50 messages: 100,000
messages) from the corpus messages that decode, in a temporary folder, then
measures with the same columns:

- tarvane.read_dataframe in one process over 10 %, 25 %, 50 % and 100 % of
  the files (the cost should grow linearly);
- tarvane.dask.read_dataframe(...).compute() on a LocalCluster of 1 and of 2
  worker processes (one thread each, no memory limit: the whole frame is
  gathered to the client): rows/s, peak memory per worker and the
  speed-up from one to two workers;
- the reference decoder (ecCodes' Python binding under /usr/bin/python3)
  reading the same keys from a sample of the files, for scale.

    PYTHONPATH=build/python .venv/bin/python bench/bench_scale.py [--files N] [--per-file M]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

COLUMNS = ["datetime", "data_category", "latitude", "longitude", "airTemperature", "pressure"]
CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "data", "corpus", "messages")


def corpus_messages(max_subsets: int) -> list[bytes]:
    """Edition-4 messages of the corpus that decode, each once, small enough to repeat."""
    import tarvane

    found = []
    for name in sorted(os.listdir(CORPUS)):
        for message in tarvane.read(os.path.join(CORPUS, name), errors="skip"):
            if message.edition != 4 or message.number_of_subsets > max_subsets:
                continue
            try:
                message.decode()
            except ValueError:
                continue
            found.append(message.bytes)
    return found


def build_archive(folder: str, files: int, per_file: int) -> list[str]:
    messages = corpus_messages(max_subsets=128)
    paths = []
    k = 0
    for i in range(files):
        chunk = []
        for _ in range(per_file):
            chunk.append(messages[k % len(messages)])
            k += 1
        path = os.path.join(folder, f"part{i:05d}.bufr")
        with open(path, "wb") as f:
            f.write(b"".join(chunk))
        paths.append(path)
    return paths


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def one_process(list_file: str) -> None:
    """Run in a fresh interpreter: read_dataframe over the listed files; prints JSON."""
    import tarvane

    with open(list_file) as f:
        paths = f.read().split("\n")
    start = time.perf_counter()
    df = tarvane.read_dataframe(paths, columns=COLUMNS, required_columns=False)
    seconds = time.perf_counter() - start
    print(json.dumps({"rows": len(df), "seconds": seconds, "peak_mib": peak_mib()}))


def measure_one_process(paths: list[str], folder: str) -> dict[str, float]:
    list_file = os.path.join(folder, f"list{len(paths)}.txt")
    with open(list_file, "w") as f:
        f.write("\n".join(paths))
    out = subprocess.run([sys.executable, __file__, "--one-process", list_file], check=True,
                         capture_output=True, text=True, env=os.environ)
    result: dict[str, float] = json.loads(out.stdout)
    return result


def measure_cluster(paths: list[str], workers: int) -> dict[str, float]:
    import distributed

    import tarvane.dask

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, memory_limit=0) as cluster:
        with distributed.Client(cluster) as client:
            # Warm up: each worker loads its tables once, as a long-lived cluster has.
            tarvane.dask.read_dataframe(paths[: 2 * workers], columns=COLUMNS, required_columns=False,
                                        files_per_partition=1).compute()
            frame = tarvane.dask.read_dataframe(paths, columns=COLUMNS, required_columns=False, files_per_partition=20)
            start = time.perf_counter()
            df = frame.compute()
            seconds = time.perf_counter() - start
            peaks = client.run(peak_mib)
    return {"rows": len(df), "seconds": seconds, "peak_mib": max(peaks.values())}


ECCODES_SCRIPT = r"""
import sys, time, eccodes
keys = sys.argv[1].split(",")
paths = sys.argv[2:]
rows = 0
start = time.perf_counter()
for path in paths:
    with open(path, "rb") as f:
        while True:
            h = eccodes.codes_bufr_new_from_file(f)
            if h is None:
                break
            try:
                eccodes.codes_set(h, "unpack", 1)
                n = 0
                for k in keys:
                    try:
                        n = max(n, len(eccodes.codes_get_array(h, k)))
                    except Exception:
                        pass
                rows += n
            except Exception:
                pass
            eccodes.codes_release(h)
print(rows, time.perf_counter() - start)
"""


def measure_eccodes(paths: list[str]) -> dict[str, float] | None:
    if not os.path.exists("/usr/bin/python3"):
        return None
    keys = [c for c in COLUMNS if c not in ("datetime", "data_category")]
    out = subprocess.run(["/usr/bin/python3", "-c", ECCODES_SCRIPT, ",".join(keys), *paths],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    rows, seconds = out.stdout.split()
    return {"rows": int(rows), "seconds": float(seconds)}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--per-file", type=int, default=50)
    parser.add_argument("--one-process")
    args = parser.parse_args()
    if args.one_process:
        one_process(args.one_process)
        return
    with tempfile.TemporaryDirectory(prefix="tarvane-scale-") as folder:
        paths = build_archive(folder, args.files, args.per_file)
        size = sum(os.path.getsize(p) for p in paths) / 2**20
        print(f"archive: {len(paths)} files, {len(paths) * args.per_file} messages, {size:.0f} MiB; "
              f"columns {COLUMNS}")
        print("\none process, tarvane.read_dataframe:")
        # Linear growth: the cost of each further share of files, per file,
        # stays the same (the first share also pays for loading the tables).
        previous = (0, 0.0)
        for share in (0.1, 0.25, 0.5, 1.0):
            part = paths[: max(1, int(len(paths) * share))]
            r = measure_one_process(part, folder)
            marginal_ms = 1000 * (r["seconds"] - previous[1]) / (len(part) - previous[0])
            previous = (len(part), r["seconds"])
            print(f"  {share:4.0%} of files: {r['rows']:9d} rows in {r['seconds']:7.2f} s = "
                  f"{r['rows'] / r['seconds']:9.0f} rows/s, {marginal_ms:6.2f} ms per further file, "
                  f"peak {r['peak_mib']:.0f} MiB")
        one = r
        print("\nDask LocalCluster, tarvane.dask.read_dataframe(...).compute():")
        timings = {}
        for workers in (1, 2):
            c = measure_cluster(paths, workers)
            timings[workers] = c["seconds"]
            assert c["rows"] == one["rows"], (c["rows"], one["rows"])
            print(f"  {workers} worker(s): {c['rows']:9d} rows in {c['seconds']:7.2f} s = "
                  f"{c['rows'] / c['seconds']:9.0f} rows/s, peak per worker {c['peak_mib']:.0f} MiB")
        print(f"  speed-up 1 -> 2 workers: x{timings[1] / timings[2]:.2f}")
        sample = paths[: max(1, len(paths) // 20)]
        e = measure_eccodes(sample)
        t = measure_one_process(sample, folder)
        if e is not None:
            print(f"\nreference (ecCodes Python binding) on {len(sample)} files, same keys: "
                  f"{e['seconds']:.2f} s; tarvane.read_dataframe on them: {t['seconds']:.2f} s "
                  f"(x{e['seconds'] / t['seconds']:.1f})")


if __name__ == "__main__":
    main()
