"""Every headline figure of the benchmarks beside its anchor, in one run and one table.

Runs the benchmarks one after the other (those with a measure() function in
this interpreter, the others as subprocesses whose summary lines are read)
and prints one table: figure, tarvane, anchor, ratio, with the machine (cores,
load average at the start and at the end). Seconds taken while anything else
runs are not trustworthy; instruction counts (callgrind) are.

    PYTHONPATH=build/python .venv/bin/python bench/run_all.py [--rst] [--quick] [--only NAME ...]

--rst prints the table as an RST list-table (as docs/performance.rst takes
it) instead of Markdown.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

Row = tuple[str, str, str, str]  # figure, tarvane, anchor, ratio


def run(command: list[str]) -> str:
    """The standard output of a benchmark run from the project root; a failure stops the whole run."""
    done = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, env=os.environ)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{done.stderr[-2000:]}")
    return done.stdout


def script(name: str, *args: str) -> str:
    return run([sys.executable, str(BENCH / name), *args])


def find(pattern: str, text: str, source: str) -> re.Match[str]:
    found = re.search(pattern, text, re.M)
    if found is None:
        raise RuntimeError(f"{source}: no line matches {pattern!r}; its output was:\n{text}")
    return found


def number(text: str) -> float:
    return float(text.replace(",", ""))


def si(value: float) -> str:
    for scale, suffix in ((1e9, " G"), (1e6, " M"), (1e3, " k")):
        if value >= scale:
            return f"{value / scale:.3g}{suffix}"
    return f"{value:.3g}"


def read_rows(quick: bool) -> list[Row]:
    out = script("bench_read.py", "--seconds", "1" if quick else "3")
    rows = []
    for tag, label in (("(b)", "values/s, large compressed satellite messages"), ("(c)", "messages/s, under 1 kB")):
        m = find(rf"^{re.escape(tag)} .*?\s([\d,]+)\s+([\d,]+)\s+([\d.]+)x$", out, "bench_read.py")
        rows.append((f"{label} (bench_read.py)", si(number(m[1])), f"{si(number(m[2]))} (ecCodes numericValues)",
                     f"{m[3]}×"))
    return rows


def threads_rows(quick: bool) -> list[Row]:
    # In a process of its own: the heap and caches the other benchmarks
    # leave behind in this one moved the ratio.
    out = script("bench_read_ahead.py", "--copies", "3" if quick else "10", "--repeat", "3" if quick else "5")
    m = find(r"^threads=(\d+) vs threads=1: ([\d.]+)×", out, "bench_read_ahead.py")
    ceiling = find(r"the machine allows ([\d.]+)x", out, "bench_read_ahead.py")
    return [(f"tarvane.read, threads={m[1]} against 1 (bench_read_ahead.py)", "", "threads=1",
             f"{m[2]}× ({m[1]} processes at once against one: {ceiling[1]}×)")]


def dask_rows(quick: bool) -> list[Row]:
    import bench_scale

    r = bench_scale.measure(files=400 if quick else 2000)
    one, two = r["workers_1"], r["workers_2"]
    return [("Dask, 2 workers against 1, aggregation on the cluster (bench_scale.py)",
             f"{si(two['rows'] / two['seconds'])} rows/s", f"{si(one['rows'] / one['seconds'])} rows/s, 1 worker",
             f"{r['speedup']:.2f}× (two plain processes: {r['two_processes_speedup']:.2f}×)")]


def cli_rows(quick: bool) -> list[Row]:
    import bench_cli

    r = bench_cli.measure(repeat=3 if quick else 5)
    return [(f"dump --json wall time, {label} corpus, {s['files']} files (bench_cli.py)", f"{s['wall']:.2f} s",
             f"{s['reference_wall']:.2f} s (bufr_dump -jf)", f"{s['wall_ratio']:.2f}×")
            for label, s in r.items()]


def encode_rows(quick: bool) -> list[Row]:
    out = script("bench_encode.py", "--passes", "1" if quick else "3")
    m = find(r"^corpus: .*?decode\+encode ([\d,]+) messages/s, ecCodes unpack\+pack ([\d,]+) messages/s, "
             r"ratio ([\d.]+)x", out, "bench_encode.py")
    return [("decode + encode messages/s, corpus (bench_encode.py)", si(number(m[1])),
             f"{si(number(m[2]))} (ecCodes unpack + pack)", f"{m[3]}×")]


def instruction_rows(quick: bool) -> list[Row]:
    out = script("bench_small.py", "--passes", "20" if quick else "200")
    core = number(find(r"^\s+core\s+([\d,]+)", out, "bench_small.py")[1])
    full = number(find(r"^\s+read\+decode\s+([\d,]+)", out, "bench_small.py")[1])
    rows = [("instructions per small message, read + decode (bench_small.py, callgrind)", f"{full:,.0f}",
             f"{core:,.0f} (the core's decode alone)", f"{full / core:.2f}×")]
    walk = run(["sh", str(BENCH / "compressed_instructions.sh")])
    for m in re.finditer(r"^(\S+): (\d+) instructions per pass, ([\d.]+)M records", walk, re.M):
        per_record = int(m[2]) / (float(m[3]) * 1e6)
        rows.append((f"instructions per record, {m[1]} (compressed_instructions.sh, callgrind)",
                     f"{per_record:.1f}", "", ""))
    m = find(r"^python path: (\d+) instructions per pass, \d+ messages, (\d+) values", walk, "compressed_instructions.sh")
    rows.append(("instructions per value, Message.decode().value, compressed (compressed_instructions.sh, callgrind)",
                 f"{int(m[1]) / int(m[2]):.1f}", "", ""))
    return rows


SECTIONS: dict[str, Callable[[bool], list[Row]]] = {
    "read": read_rows, "threads": threads_rows, "dask": dask_rows, "cli": cli_rows, "encode": encode_rows,
    "instructions": instruction_rows,
}


def markdown(rows: list[Row]) -> str:
    lines = ["| figure | tarvane | anchor | ratio |", "|---|---|---|---|"]
    lines += ["| " + " | ".join(cell or ".." for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def rst(rows: list[Row]) -> str:
    lines = [".. list-table::", "   :header-rows: 1", ""]
    for row in [("figure", "tarvane", "anchor", "ratio"), *rows]:
        cells = [cell or ".." for cell in row]
        lines.append(f"   * - {cells[0]}")
        lines += [f"     - {cell}" for cell in cells[1:]]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rst", action="store_true", help="an RST list-table instead of Markdown")
    parser.add_argument("--quick", action="store_true", help="smaller inputs and fewer passes: a trial run")
    parser.add_argument("--only", nargs="+", choices=list(SECTIONS), help="only these benchmarks")
    args = parser.parse_args()
    start_load = os.getloadavg()
    started = time.perf_counter()
    rows: list[Row] = []
    for name in args.only or SECTIONS:
        print(f"running {name} ...", file=sys.stderr, flush=True)
        # Each benchmark gets this process's environment as it was: starting
        # a Dask cluster sets MALLOC_TRIM_THRESHOLD_ and the thread counts in
        # os.environ, and every later child (tarvane dump among them) ran
        # a third slower under them.
        environment = dict(os.environ)
        try:
            rows += SECTIONS[name](args.quick)
        finally:
            os.environ.clear()
            os.environ.update(environment)
    end_load = os.getloadavg()
    machine: dict[str, Any] = {"cpus": os.cpu_count(), "start": start_load, "end": end_load}
    print(f"Machine: {machine['cpus']} cores; load average (1, 5, 15 min) "
          f"{', '.join(f'{x:.2f}' for x in start_load)} at the start, "
          f"{', '.join(f'{x:.2f}' for x in end_load)} at the end; "
          f"{time.perf_counter() - started:.0f} s in all.\n")
    print(rst(rows) if args.rst else markdown(rows))


if __name__ == "__main__":
    main()
