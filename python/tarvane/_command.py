"""The ``tarvane`` command's entry point, for the script and for ``python -m tarvane``."""

from __future__ import annotations

import os


def main() -> int:
    # NumPy's OpenBLAS starts a thread per core that spins while NumPy is
    # imported: a tenth of a second of CPU for every command, which computes
    # no linear algebra. The command's own process asks for one thread,
    # unless the caller set it.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from .cli import main as run

    return run()
