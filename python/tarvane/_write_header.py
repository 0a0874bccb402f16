"""The section 1 fields of a message being written: names, ranges and defaults."""

from __future__ import annotations

import difflib
from collections.abc import Mapping
from typing import Any

from . import _bundle

# The section 1 fields a caller may set, each with its largest value (the
# order is the writing module's header tuple, edition and the two flags
# around them).
FIELDS: dict[str, int] = {
    "master_table_number": 255,
    "originating_centre": 65535,
    "originating_subcentre": 65535,
    "update_sequence_number": 255,
    "data_category": 255,
    "international_data_subcategory": 255,
    "local_data_subcategory": 255,
    "master_tables_version_number": 255,
    "local_tables_version_number": 255,
    "typical_year": 65535,
    "typical_month": 255,
    "typical_day": 255,
    "typical_hour": 255,
    "typical_minute": 255,
    "typical_second": 255,
    "observed_data": 1,
}

# The header of a message written from a template where the caller gives
# no value: WMO master table 0 at the newest bundled version, no centre,
# "other" data category with undefined international sub-category, and the
# date of the first subset's year/month/day/hour/minute/second keys, else
# 2000-01-01 00:00:00.
_DATE_KEYS = {
    "typical_year": ("year", 2000),
    "typical_month": ("month", 1),
    "typical_day": ("day", 1),
    "typical_hour": ("hour", 0),
    "typical_minute": ("minute", 0),
    "typical_second": ("second", 0),
}


def _template_defaults() -> dict[str, int]:
    versions = _bundle.master_versions(0)
    return {
        "master_table_number": 0,
        "originating_centre": 0,
        "originating_subcentre": 0,
        "update_sequence_number": 0,
        "data_category": 255,
        "international_data_subcategory": 255,
        "local_data_subcategory": 0,
        "master_tables_version_number": versions[-1] if versions else 0,
        "local_tables_version_number": 0,
        "observed_data": 1,
    }


def checked_header(header: Mapping[str, object], base: dict[str, int]) -> dict[str, int]:
    out = dict(base)
    for name, value in header.items():
        if name not in FIELDS:
            close = difflib.get_close_matches(name, list(FIELDS), n=3)
            hint = f" (did you mean {', '.join(close)}?)" if close else ""
            raise TypeError(f"encode() got an unexpected keyword argument {name!r}{hint}")
        if isinstance(value, bool):
            value = int(value)
        if not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if not 0 <= value <= FIELDS[name]:
            raise ValueError(f"{name} must be 0 to {FIELDS[name]}, not {value}")
        out[name] = value
    return out


def header_tuple(fields: Mapping[str, int], edition: int, compressed: bool) -> tuple[int, ...]:
    if edition not in (3, 4):
        raise ValueError(f"edition must be 3 or 4, not {edition}")
    return (edition, *(fields[name] for name in FIELDS if name != "observed_data"),
            fields["observed_data"], int(compressed))


def template_header(header: Mapping[str, int], first: Mapping[str, Any], edition: int,
                    compressed: bool) -> tuple[dict[str, int], tuple[int, ...]]:
    """The checked fields and the module's header tuple of a message written from a template."""
    base = _template_defaults()
    for name, (key, default) in _DATE_KEYS.items():
        value = first.get(key, first.get(f"#1#{key}"))
        try:
            base[name] = int(value) if value is not None and value == value else default
        except (TypeError, ValueError):
            base[name] = default
        if not 0 <= base[name] <= FIELDS[name]:
            base[name] = default
    fields = checked_header(header, base)
    return fields, header_tuple(fields, edition, compressed)
