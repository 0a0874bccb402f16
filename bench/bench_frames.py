"""tarvane.read_dataframe beside the established pandas reader of BUFR (pdbufr), in one run.

Both read the same files with the same columns, filters and required
columns; each case is timed as the best of a few whole calls, tarvane in
this process, pdbufr in its own venv (a subprocess that times its own
calls, so its start-up is not counted). Both give the same rows (checked
here by row count; tests/python/test_frames_pdbufr.py compares the rows).
The last rows are the Dask path on the same files, against the serial one.

    PYTHONPATH=build/python .venv/bin/python bench/bench_frames.py [--repeat N] [--pdbufr PYTHON]
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import subprocess
import sys
import time

import tarvane

CORPUS = os.path.join(os.path.dirname(__file__), "..", "tests", "data", "corpus")
ED3 = os.path.join(CORPUS, "edition3", "messages")
ED4 = os.path.join(CORPUS, "messages")

CASES = [
    ("TEMP profile", os.path.join(ED3, "earthkit-data__docs_examples_temp_10.bufr"),
     ["stationNumber", "pressure", "airTemperature", "windSpeed"], "{}"),
    ("TEMP, range filter", os.path.join(ED3, "earthkit-data__docs_examples_temp_10.bufr"),
     ["WMO_station_id", "data_datetime", "pressure", "airTemperature"], "{'pressure': slice(30000, 85000)}"),
    ("SYNOP clouds", os.path.join(ED3, "earthkit-data__docs_examples_synop_10.bufr"),
     ["WMO_station_id", "cloudType", "heightOfBaseOfCloud"], "{}"),
    ("SYNOP surface", os.path.join(ED3, "earthkit-data__docs_examples_synop_10.bufr"),
     ["WMO_station_id", "data_datetime", "latitude", "longitude", "airTemperatureAt2M"], "{}"),
    ("radiosonde ed. 4", os.path.join(ED4, "pybufrkit__IUSK73_AMMC_182300.bufr"),
     ["stationNumber", "pressure", "airTemperature", "windSpeed"], "{}"),
    ("aircraft", os.path.join(ED3, "pybufrkit__tests_benchmark_data_amda_144.bufr"),
     ["aircraftFlightNumber", "data_datetime", "latitude", "airTemperature"], "{}"),
]

PDBUFR = r"""
import json, sys, time, pdbufr
repeat, cases = json.loads(sys.stdin.read())
out = []
for path, columns, filters in cases:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        rows = len(pdbufr.read_bufr(path, columns=columns, filters=eval(filters)))
        best = min(best, time.perf_counter() - start)
    out.append((best, rows))
print(json.dumps(out))
"""


def best_of(repeat: int, call) -> tuple[float, int]:
    best, rows = float("inf"), 0
    for _ in range(repeat):
        start = time.perf_counter()
        rows = len(call())
        best = min(best, time.perf_counter() - start)
    return best, rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--pdbufr", default="/work/pdbufr-venv/bin/python")
    args = parser.parse_args()
    payload = json.dumps([args.repeat, [(p, c, f) for _, p, c, f in CASES]])
    done = subprocess.run([args.pdbufr, "-c", PDBUFR], input=payload, capture_output=True, text=True)
    if done.returncode:
        sys.exit(done.stderr[-2000:])
    theirs = json.loads(done.stdout)
    print(f"{'case':<20} {'rows':>6} {'tarvane ms':>11} {'pdbufr ms':>10} {'speed-up':>9}")
    total_ours = total_theirs = 0.0
    for (name, path, columns, filters), (their_time, their_rows) in zip(CASES, theirs):
        tarvane.read_dataframe(path, columns, filters=eval(filters))  # tables loaded before the clock
        ours, rows = best_of(args.repeat, lambda: tarvane.read_dataframe(path, columns, filters=eval(filters)))
        total_ours += ours
        total_theirs += their_time
        same = "" if rows == their_rows else f"  (pdbufr: {their_rows} rows)"
        print(f"{name:<20} {rows:>6} {ours * 1e3:>11.2f} {their_time * 1e3:>10.1f} {their_time / ours:>8.0f}x{same}")
    print(f"{'all':<20} {'':>6} {total_ours * 1e3:>11.2f} {total_theirs * 1e3:>10.1f} {total_theirs / total_ours:>8.0f}x")
    try:
        lazy_reader = importlib.import_module("tarvane.dask")
    except ImportError:
        return
    files = [p for _, p, _, _ in CASES]
    columns = ["stationNumber", "latitude", "pressure", "airTemperature"]
    serial, rows = best_of(args.repeat, lambda: tarvane.read_dataframe(files, columns, required_columns=False))
    lazy, lazy_rows = best_of(args.repeat, lambda: lazy_reader.read_dataframe(
        files, columns, required_columns=False, files_per_partition=1).compute(scheduler="synchronous"))
    print(f"dask (synchronous) {lazy_rows:>8} rows {lazy * 1e3:.1f} ms; serial {rows} rows {serial * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
