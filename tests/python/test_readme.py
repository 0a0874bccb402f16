"""The examples of README and of the documentation run as written, from the project root.

Python blocks run in a fresh interpreter; console lines that call the
command line (``$ tarvane ...``) run through ``python -m tarvane``.
"""

import os
import re
import shlex
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarvane

ROOT = Path(__file__).resolve().parents[2]
DOCS = sorted((ROOT / "docs").glob("*.rst"))


def rst_blocks(text, language):
    """The bodies of the `.. code-block:: LANGUAGE` directives of an rst text, dedented."""
    pattern = rf"^\.\. code-block:: {language}\n((?:[ \t]*\n|[ \t]+.*\n)+)"
    return [textwrap.dedent(body).strip("\n") + "\n" for body in re.findall(pattern, text, re.M)]


def examples():
    found = [(f"README-{i}", block) for i, block in
             enumerate(re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S))]
    for page in DOCS:
        found += [(f"{page.stem}-{i}", block) for i, block in enumerate(rst_blocks(page.read_text(), "python"))]
    return found


def commands():
    found = []
    for page in DOCS:
        for block in rst_blocks(page.read_text(), "console"):
            found += [line[2:] for line in block.splitlines() if line.startswith("$ tarvane ")]
    return found


def run(argv):
    built = Path(tarvane.__file__).resolve().parents[1]
    return subprocess.run(
        argv, cwd=ROOT, capture_output=True, text=True, timeout=300,
        # Under the sanitizer build, objects still cached when a short script
        # exits are not leaks; the in-process suite checks the module's.
        env={**os.environ, "PYTHONPATH": str(built), "ASAN_OPTIONS": "detect_leaks=0"},
    )


def test_every_documentation_page_has_examples():
    pages = {name.rsplit("-", 1)[0] for name, _ in examples()}
    assert {"README", "getting-started", "reading", "frames", "attributes", "encoding"} <= pages
    assert commands()


@pytest.mark.parametrize("block", [b for _, b in examples()], ids=[n for n, _ in examples()])
def test_example_runs(block):
    done = run([sys.executable, "-c", block])
    assert done.returncode == 0, done.stderr[-3000:]


@pytest.mark.parametrize("command", commands())
def test_command_line_example_runs(command):
    done = run([sys.executable, "-m", *shlex.split(command)])
    assert done.returncode == 0 and done.stderr == "", done.stderr[-3000:]
    assert done.stdout
