"""tarvane.read(threads=N) against threads=1 on one archive, in one run.

The archive: every corpus message that decodes (editions 3 and 4), sorted
by kind into four files (SYNOP, TEMP, satellite, the rest), each written
--copies times. Each setting reads every file and decodes every message;
the settings alternate and the best of --repeat is kept.

Wall-time ratios mean something only on an idle machine, so the load
average is printed, and beside them the CPU seconds: the whole process's,
and the reading thread's under threads=N (its Python work holds the GIL, so
it bounds what N threads can gain: wall >= max(cpu / N, reader's cpu)); and
the page faults of a pass, which storage freed on one thread and faulted in
afresh on another would raise.

Beside them, the machine's own ceiling for this work: N processes, each
reading the whole archive with threads=1 at once, against one process
alone. They share nothing but the machine (caches, memory, the hypervisor's
cores), so N threads of one process cannot do better than they do.

    PYTHONPATH=build/python .venv/bin/python bench/bench_read_ahead.py [--threads 2] [--copies 10] [--repeat 3]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import resource
import tempfile
import time
from pathlib import Path
from typing import Any

import tarvane

CORPUS = Path("/work/shared/corpus")
KINDS = {0: "synop", 1: "synop", 2: "temp", 3: "satellite", 5: "satellite", 12: "satellite", 21: "satellite"}


def archive(folder: str, copies: int) -> list[str]:
    """The archive's files, written into folder."""
    by_kind: dict[str, list[bytes]] = {}
    for path in sorted([*CORPUS.glob("messages/*"), *CORPUS.glob("edition3/messages/*")]):
        for message in tarvane.read(path, errors="skip"):
            try:
                message.decode()
            except ValueError:
                continue
            by_kind.setdefault(KINDS.get(message.data_category, "other"), []).append(message.bytes)
    files = []
    for kind, octets in sorted(by_kind.items()):
        files.append(os.path.join(folder, f"{kind}.bufr"))
        with open(files[-1], "wb") as f:
            f.write(b"".join(octets) * copies)
    return files


def one_pass(files: list[str], threads: int) -> tuple[float, float, float, int, int]:
    """Wall seconds, process CPU seconds, the reading thread's CPU seconds, records, page faults."""
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    wall, cpu, own = time.perf_counter(), time.process_time(), time.thread_time()
    records = sum(len(m.decode()) for path in files for m in tarvane.read(path, threads=threads))
    return (time.perf_counter() - wall, time.process_time() - cpu, time.thread_time() - own, records,
            resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults)


def _process_pass(files: list[str], start: Any, end: Any) -> None:
    one_pass(files, 1)  # warm, as the passes of this process are
    start.wait()
    one_pass(files, 1)
    end.wait()


def processes_seconds(files: list[str], count: int) -> float:
    """Wall seconds for count forked processes to read the archive at once, each with threads=1."""
    context = multiprocessing.get_context("fork")  # the tables this process loaded come along
    start, end = context.Barrier(count + 1), context.Barrier(count + 1)
    workers = [context.Process(target=_process_pass, args=(files, start, end)) for _ in range(count)]
    for w in workers:
        w.start()
    start.wait()
    began = time.perf_counter()
    end.wait()
    seconds = time.perf_counter() - began
    for w in workers:
        w.join()
    return seconds


def measure(threads: int = 2, copies: int = 10, repeat: int = 3) -> dict[str, Any]:
    with tempfile.TemporaryDirectory() as folder:
        files = archive(folder, copies)
        one_pass(files, 1)  # tables loaded, files in the page cache
        best: dict[int, tuple[float, float, float, int, int]] = {}
        alone = together = float("inf")
        for _ in range(repeat):
            for setting in (1, threads):
                run = one_pass(files, setting)
                if setting not in best or run[0] < best[setting][0]:
                    best[setting] = run
            alone = min(alone, processes_seconds(files, 1))
            together = min(together, processes_seconds(files, threads))
        size = sum(os.path.getsize(f) for f in files) / 1e6
    return {
        "threads": threads, "megabytes": size, "records": best[1][3], "load": os.getloadavg()[0],
        "seconds_1": best[1][0], "seconds_n": best[threads][0],
        "cpu_1": best[1][1], "cpu_n": best[threads][1], "reader_cpu_n": best[threads][2],
        "faults_1": best[1][4], "faults_n": best[threads][4],
        "speedup": best[1][0] / best[threads][0],
        # What an idle machine with threads cores allows, from the CPU seconds.
        "bound": best[1][1] / max(best[threads][1] / threads, best[threads][2]),
        "processes_1": alone, "processes_n": together, "ceiling": threads * alone / together,
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--copies", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    r = measure(args.threads, args.copies, args.repeat)
    n = r["threads"]
    print(f"{r['megabytes']:.1f} MB archive, {r['records']:,} records; cpus {os.cpu_count()}, "
          f"load average {r['load']:.1f}")
    print(f"  threads=1  {r['seconds_1']:7.3f} s wall  {r['cpu_1']:7.3f} s cpu  {r['faults_1']:6} page faults")
    print(f"  threads={n}  {r['seconds_n']:7.3f} s wall  {r['cpu_n']:7.3f} s cpu  {r['faults_n']:6} page faults  "
          f"(reading thread {r['reader_cpu_n']:.3f} s)")
    print(f"  at most {r['bound']:.2f}x on an idle machine, from the cpu seconds")
    print(f"  {n} processes at once, threads=1 each: {r['processes_n']:.3f} s, one alone {r['processes_1']:.3f} s: "
          f"the machine allows {r['ceiling']:.2f}x")
    print(f"threads={n} vs threads=1: {r['speedup']:.2f}×")


if __name__ == "__main__":
    main()
