"""`tarvane dump --json` beside ecCodes' `bufr_dump -jf` on the same files, in one run.

Three sets: the edition-4 corpus, the edition-3 corpus, and one large file
(the edition-4 corpus concatenated N times). Each tool runs as one process
over the whole set, output to /dev/null; the runs alternate and the best of
--repeat (default 5) is kept, as wall time and as CPU time (user + system of the child,
the fairer figure on a shared machine).

The package's modules are compiled first (as an installed package's are).
bufr_dump stops at the first message it cannot decode, so files it rejects
(found by running it on each file once, untimed) are left out of both
tools' sets: both read the same messages.

    PYTHONPATH=build/python .venv/bin/python bench/bench_cli.py [--repeat R] [--copies N]
"""

from __future__ import annotations

import argparse
import compileall
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

CORPUS = Path("/work/shared/corpus")
SETS = {"edition 4": CORPUS / "messages", "edition 3": CORPUS / "edition3" / "messages"}


def readable_by_reference(files: list[Path]) -> list[Path]:
    keep = []
    for path in files:
        run = subprocess.run(["bufr_dump", "-jf", str(path)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if run.returncode == 0:
            keep.append(path)
    return keep


def timed(command: list[str]) -> tuple[float, float]:
    """(wall seconds, CPU seconds) of one run, output discarded."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def output_size(command: list[str]) -> int:
    size = 0
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as process:
        assert process.stdout is not None
        while chunk := process.stdout.read(1 << 20):
            size += len(chunk)
    return size


def compare(label: str, files: list[Path], repeat: int, sizes: bool, out: Any = None) -> dict[str, Any]:
    """Best wall and CPU seconds of each tool over the files; printed to out unless it is None."""
    names = [str(f) for f in files]
    commands = {
        "bufr_dump -jf": ["bufr_dump", "-jf", *names],
        "tarvane dump --json": [sys.executable, "-m", "tarvane", "dump", "--json", *names],
    }
    best = {tool: (float("inf"), float("inf")) for tool in commands}
    for _ in range(repeat):
        for tool, command in commands.items():
            wall, cpu = timed(command)
            best[tool] = (min(best[tool][0], wall), min(best[tool][1], cpu))
    ref, ours = best["bufr_dump -jf"], best["tarvane dump --json"]
    result = {"files": len(files), "reference_wall": ref[0], "reference_cpu": ref[1], "wall": ours[0],
              "cpu": ours[1], "wall_ratio": ref[0] / ours[0], "cpu_ratio": ref[1] / ours[1]}
    if out is None:
        return result
    megabytes = sum(f.stat().st_size for f in files) / 1e6
    print(f"\n{label}: {len(files)} files, {megabytes:.1f} MB of BUFR", file=out)
    for tool, command in commands.items():
        wall, cpu = best[tool]
        size = f"  output {output_size(command) / 1e6:8.1f} MB" if sizes else ""
        print(f"  {tool:20}  wall {wall:7.2f} s  CPU {cpu:7.2f} s{size}", file=out)
    print(f"  tarvane is {result['wall_ratio']:.2f}x as fast by wall time, {result['cpu_ratio']:.2f}x by CPU time",
          file=out, flush=True)
    return result


def chosen_sets(out: Any = None) -> dict[str, list[Path]]:
    """The files of each set that the reference reads, compiled modules made first."""
    if shutil.which("bufr_dump") is None:
        sys.exit("bufr_dump is not installed (Debian: libeccodes-tools)")
    # An installed package runs from compiled modules; without them (as under
    # PYTHONDONTWRITEBYTECODE) every run would compile the command line again.
    package = Path(__import__("tarvane").__file__).parent
    compileall.compile_dir(package, quiet=1)
    chosen = {}
    for label, folder in SETS.items():
        files = sorted(p for p in folder.iterdir() if p.is_file())
        chosen[label] = readable_by_reference(files)
        if out is not None:
            left_out = len(files) - len(chosen[label])
            print(f"{label}: {left_out} of {len(files)} files left out (bufr_dump rejects a message of each)",
                  file=out)
    return chosen


def measure(repeat: int = 5, copies: int = 0, out: Any = None) -> dict[str, Any]:
    """dump --json beside bufr_dump -jf on each set (and on the large file when copies > 0)."""
    chosen = chosen_sets(out)
    result = {label: compare(label, files, repeat, sizes=out is not None, out=out) for label, files in chosen.items()}
    if copies:
        with tempfile.TemporaryDirectory() as tmp:
            big = Path(tmp) / "corpus-x.bufr"
            whole = b"".join(f.read_bytes() for f in chosen["edition 4"])
            with open(big, "wb") as f:
                for _ in range(copies):
                    f.write(whole)
            result["large"] = compare(f"large file (edition-4 corpus x{copies})", [big], 1, sizes=False, out=out)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--copies", type=int, default=20, help="copies of the edition-4 corpus in the large file")
    args = parser.parse_args()
    print(f"cpus: {os.cpu_count()}, load average: {os.getloadavg()[0]:.1f}")
    measure(args.repeat, args.copies, out=sys.stdout)
    print(f"load average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
