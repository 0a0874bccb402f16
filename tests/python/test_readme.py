"""README's Python examples run as written, from the project root."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarvane

ROOT = Path(__file__).resolve().parents[2]
BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(block):
    built = Path(tarvane.__file__).resolve().parents[1]
    done = subprocess.run(
        [sys.executable, "-c", block], cwd=ROOT, capture_output=True, text=True, timeout=300,
        # Under the sanitizer build, objects still cached when a short script
        # exits are not leaks; the in-process suite checks the module's.
        env={**os.environ, "PYTHONPATH": str(built), "ASAN_OPTIONS": "detect_leaks=0"},
    )
    assert done.returncode == 0, done.stderr[-3000:]
