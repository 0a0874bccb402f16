"""Optional dependencies, imported where needed."""

from __future__ import annotations

import importlib
from typing import Any


def need(module: str, extra: str) -> Any:
    """Import an optional dependency, naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{module} is needed for this; install it with: pip install tarvane[{extra}]") from exc
