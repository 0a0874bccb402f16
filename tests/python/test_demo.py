"""`make demo` runs examples/demo.py: it must decode every bundled sample."""

import os
import subprocess
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)


def test_demo_decodes_every_bundled_sample():
    result = subprocess.run(
        [sys.executable, "-P", os.path.join(ROOT, "examples", "demo.py")],
        capture_output=True, text=True, timeout=120, env=dict(os.environ),
    )
    assert result.returncode == 0, result.stderr
    samples = os.listdir(os.path.join(ROOT, "examples", "data"))
    lines = result.stdout.splitlines()
    for name in samples:
        assert any(line.startswith(f"{name} offset=") for line in lines), name
    assert "cannot decode" not in result.stdout
    assert sum(1 for line in lines if line.strip().endswith("values in all")) == len(samples)
