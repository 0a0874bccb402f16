"""Row filters on whole columns: one NumPy operation per filter, not a Python call per value.

A filter is a value (equal by value whatever its numeric type: 50000
matches 50000.0), a list/set/tuple (any of its members), a slice (an
inclusive range, either end open) or a callable (called once per distinct
value). A row whose value is missing never passes.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable, Iterable
from typing import Any, Union

import numpy as np
import numpy.typing as npt

Filter = Union[object, Iterable[object], slice, Callable[[Any], bool]]


def missing(values: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    if values.dtype.kind == "f":
        return np.isnan(values)
    if values.dtype.kind == "M":
        return np.isnat(values)
    if values.dtype == object:
        return np.fromiter((v is None for v in values), dtype=bool, count=len(values))
    return np.zeros(len(values), dtype=bool)


def _target(values: npt.NDArray[Any], wanted: object) -> Any:
    """wanted in the terms of the column: a float for numbers, datetime64 for times."""
    if values.dtype.kind == "M":
        if isinstance(wanted, str):
            return np.datetime64(wanted, "s")
        if isinstance(wanted, (_dt.datetime, _dt.date)):
            return np.datetime64(wanted, "s")
        return wanted
    if values.dtype.kind in "fiu" and isinstance(wanted, (int, float, np.number)) and not isinstance(wanted, bool):
        return float(wanted)
    return wanted


def filter_mask(values: npt.NDArray[Any], wanted: Filter) -> npt.NDArray[np.bool_]:
    """Which entries of values pass the filter wanted."""
    present = ~missing(values)
    if isinstance(wanted, slice):
        if wanted.step is not None:
            raise ValueError(f"a range filter takes no step: {wanted!r}")
        keep = present.copy()
        with np.errstate(invalid="ignore"):
            if wanted.start is not None:
                keep[present] &= values[present] >= _target(values, wanted.start)
            if wanted.stop is not None:
                keep[present] &= values[present] <= _target(values, wanted.stop)
        passed: npt.NDArray[np.bool_] = keep
        return passed
    if callable(wanted):
        keep = np.zeros(len(values), dtype=bool)
        shown = values[present]
        if not len(shown):
            return keep
        distinct, inverse = np.unique(shown.astype(str) if shown.dtype == object else shown, return_inverse=True)
        firsts = np.zeros(len(distinct), dtype=np.intp)
        firsts[inverse[::-1]] = np.arange(len(shown))[::-1]
        passed = np.array([bool(wanted(_plain(shown[i]))) for i in firsts], dtype=bool)
        keep[present] = passed[inverse]
        return keep
    if isinstance(wanted, (set, frozenset, list, tuple, range)):
        members = [_target(values, w) for w in wanted]
        if values.dtype == object:
            allowed = set(members)
            found = np.fromiter((v in allowed for v in values), dtype=bool, count=len(values))
        else:
            numeric = [m for m in members if not isinstance(m, str)]
            found = np.isin(values, np.array(numeric, dtype=values.dtype)) if numeric else np.zeros(len(values), bool)
        return found & present
    target = _target(values, wanted)
    if values.dtype != object and isinstance(target, str):
        return np.zeros(len(values), dtype=bool)
    with np.errstate(invalid="ignore"):
        equal = np.asarray(values == target, dtype=bool)
    if equal.shape != values.shape:
        return np.zeros(len(values), dtype=bool)
    return equal & present


def _plain(value: Any) -> Any:
    """A NumPy scalar as the Python value a callable filter expects."""
    if isinstance(value, np.datetime64):
        return value.astype("datetime64[s]").item()
    if isinstance(value, np.floating) and float(value).is_integer():
        return float(value)
    return value.item() if isinstance(value, np.generic) else value
