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


def string_dtype(pd: Any) -> Any:
    """pandas' string dtype as pandas 3 and Dask make it: Arrow-backed where pyarrow is installed.

    pandas 2 would otherwise store texts as Python objects while a Dask
    DataFrame of the same query stores them in Arrow.
    """
    import importlib.util

    return pd.StringDtype("pyarrow" if importlib.util.find_spec("pyarrow") else "python")
