"""Tables from an archive at scale: one process against a Dask cluster.

Builds a synthetic archive (default 2,000 files of 50 messages: 100,000
messages) from the corpus messages that decode, in a temporary folder, then
measures with the same columns:

- tarvane.read_dataframe in one process over 10 %, 25 %, 50 % and 100 % of
  the files (the cost should grow linearly);
- on a LocalCluster of 1 and of 2 worker processes (one thread each, the
  tables loaded on every worker beforehand), the mean airTemperature per
  station and hour, worked out on the cluster (only the small result comes
  back): rows/s, peak memory per worker and the speed-up from one to two
  workers; with --gather also .compute() of the whole frame, which ships
  every row into the client and so scales less;
- the reference decoder (ecCodes' Python binding under /usr/bin/python3)
  reading the same keys from a sample of the files, for scale.

    PYTHONPATH=build/python .venv/bin/python bench/bench_scale.py [--files N] [--per-file M] [--gather]
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
from typing import Any

COLUMNS = ["WMO_station_id", "datetime", "data_category", "latitude", "longitude", "airTemperature", "pressure"]
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


def build_archive(folder: str, files: int, per_file: int) -> tuple[list[str], int]:
    """The files, and how many of the first ones hold every distinct message."""
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
    return paths, min(files, -(-len(messages) // per_file))


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


def measure_two_processes(paths: list[str], folder: str) -> float:
    """Wall seconds of two interpreters reading half the files each at once: what two cores allow here."""
    commands = []
    for k, half in enumerate((paths[: len(paths) // 2], paths[len(paths) // 2 :])):
        list_file = os.path.join(folder, f"half{k}.txt")
        with open(list_file, "w") as f:
            f.write("\n".join(half))
        commands.append([sys.executable, __file__, "--one-process", list_file])
    start = time.perf_counter()
    running = [subprocess.Popen(c, stdout=subprocess.PIPE, env=os.environ) for c in commands]
    outputs = [json.loads(p.communicate()[0]) for p in running]
    wall = time.perf_counter() - start
    # Less each interpreter's own start-up and table loading, as the timed reads inside leave out.
    return float(wall - max(wall - o["seconds"] for o in outputs))


def station_hour_means(frame: Any) -> Any:
    """The mean air temperature per station and hour: a result that stays small however large the archive."""
    hour = frame["datetime"].dt.floor("h").rename("hour")
    # One output partition: the groups are few, a shuffle would only add traffic.
    return frame.groupby(["WMO_station_id", hour])["airTemperature"].mean(split_out=1)


def warm(paths: list[str]) -> int:
    """Run on every worker before the timing: the tables of every message kind loaded, as a long-lived cluster has."""
    import tarvane

    return len(tarvane.read_dataframe(paths, columns=COLUMNS, required_columns=False))


def measure_cluster(paths: list[str], workers: int, warm_files: int, gather: bool) -> dict[str, float]:
    """Seconds of the aggregation (kept on the cluster) and, with gather, of the whole frame's .compute()."""
    import dask
    import distributed

    import tarvane.dask

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, memory_limit=0) as cluster:
        with distributed.Client(cluster) as client:
            client.run(warm, paths[:warm_files])
            frame = tarvane.dask.read_dataframe(paths, columns=COLUMNS, required_columns=False, files_per_partition=20)
            start = time.perf_counter()
            means, rows = dask.compute(station_hour_means(frame), frame.shape[0])
            result = {"rows": int(rows), "groups": len(means), "seconds": time.perf_counter() - start}
            if gather:
                start = time.perf_counter()
                result["gather_rows"] = len(frame.compute())
                result["gather_seconds"] = time.perf_counter() - start
            result["peak_mib"] = max(client.run(peak_mib).values())
    return result


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


def measure(files: int = 2000, per_file: int = 50, gather: bool = False, linear: bool = False,
            out: Any = None) -> dict[str, Any]:
    """Build the archive and time it: one process, Dask with 1 and 2 workers, the reference on a sample.

    Prints as it goes to out (None: quiet); the figures are returned.
    """
    def say(text: str) -> None:
        if out is not None:
            print(text, file=out, flush=True)

    result: dict[str, Any] = {"load_start": os.getloadavg()[0]}
    with tempfile.TemporaryDirectory(prefix="tarvane-scale-") as folder:
        paths, warm_files = build_archive(folder, files, per_file)
        size = sum(os.path.getsize(p) for p in paths) / 2**20
        say(f"archive: {len(paths)} files, {len(paths) * per_file} messages, {size:.0f} MiB; columns {COLUMNS}")
        say("\none process, tarvane.read_dataframe:")
        # Linear growth: the cost of each further share of files, per file,
        # stays the same (the first share also pays for loading the tables).
        previous = (0, 0.0)
        for share in (0.1, 0.25, 0.5, 1.0) if linear else (1.0,):
            part = paths[: max(1, int(len(paths) * share))]
            r = measure_one_process(part, folder)
            marginal_ms = 1000 * (r["seconds"] - previous[1]) / (len(part) - previous[0])
            previous = (len(part), r["seconds"])
            say(f"  {share:4.0%} of files: {r['rows']:9d} rows in {r['seconds']:7.2f} s = "
                f"{r['rows'] / r['seconds']:9.0f} rows/s, {marginal_ms:6.2f} ms per further file, "
                f"peak {r['peak_mib']:.0f} MiB")
        result["one_process"] = r
        two = measure_two_processes(paths, folder)
        result["two_processes_speedup"] = r["seconds"] / two
        say(f"  two processes at once, half the files each: {two:7.2f} s, x{result['two_processes_speedup']:.2f} "
            "(what two cores give here, the ceiling of two workers)")
        say("\nDask LocalCluster (warm workers), mean airTemperature per station and hour, computed on the cluster:")
        for workers in (1, 2):
            c = result[f"workers_{workers}"] = measure_cluster(paths, workers, warm_files, gather)
            assert c["rows"] == r["rows"], (c["rows"], r["rows"])
            gathered = (f"; the whole frame's .compute() {c['gather_seconds']:.2f} s" if gather else "")
            say(f"  {workers} worker(s): {c['rows']:9d} rows into {c['groups']} groups in {c['seconds']:7.2f} s = "
                f"{c['rows'] / c['seconds']:9.0f} rows/s, peak per worker {c['peak_mib']:.0f} MiB{gathered}")
        result["speedup"] = result["workers_1"]["seconds"] / result["workers_2"]["seconds"]
        say(f"  speed-up 1 -> 2 workers: x{result['speedup']:.2f}")
        if gather:
            g = result["workers_1"]["gather_seconds"] / result["workers_2"]["gather_seconds"]
            say(f"  speed-up 1 -> 2 workers of the whole frame's .compute(): x{g:.2f}")
        sample = paths[: max(1, len(paths) // 20)]
        e = measure_eccodes(sample)
        t = measure_one_process(sample, folder)
        if e is not None:
            result["reference_ratio"] = e["seconds"] / t["seconds"]
            say(f"\nreference (ecCodes Python binding) on {len(sample)} files, same keys: "
                f"{e['seconds']:.2f} s; tarvane.read_dataframe on them: {t['seconds']:.2f} s "
                f"(x{result['reference_ratio']:.1f})")
    result["load_end"] = os.getloadavg()[0]
    return result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--per-file", type=int, default=50)
    parser.add_argument("--gather", action="store_true", help="also time .compute() of the whole frame")
    parser.add_argument("--one-process")
    args = parser.parse_args()
    if args.one_process:
        one_process(args.one_process)
        return
    print(f"cpus: {os.cpu_count()}, load average: {os.getloadavg()[0]:.1f}")
    result = measure(args.files, args.per_file, gather=args.gather, linear=True, out=sys.stdout)
    print(f"load average at the end: {result['load_end']:.1f}")


if __name__ == "__main__":
    main()
