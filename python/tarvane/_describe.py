"""What a descriptor is (its key, name, unit and kind), for Data, frames and the
command line alike; and what a column of a frame is: an element, a header
field under tarvane's or ecCodes' name, or a key computed from others."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._filters import missing

if TYPE_CHECKING:
    from ._data import Data
    from ._tarvane import TableSet

# The kinds of a column, which fix its dtype.
INT, FLOAT, TEXT, BOOL, DATETIME = "int", "float", "text", "bool", "datetime"

# Header fields a frame may name as columns, with their kinds. Section 1 is
# read without decoding, so filters on these skip messages cheaply.
HEADER_KINDS: dict[str, str] = {
    "edition": INT,
    "master_table_number": INT,
    "originating_centre": INT,
    "originating_subcentre": INT,
    "update_sequence_number": INT,
    "data_category": INT,
    "international_data_subcategory": INT,
    "local_data_subcategory": INT,
    "master_tables_version_number": INT,
    "local_tables_version_number": INT,
    "typical_year": INT,
    "typical_month": INT,
    "typical_day": INT,
    "typical_hour": INT,
    "typical_minute": INT,
    "typical_second": INT,
    "number_of_subsets": INT,
    "observed_data": BOOL,
    "compressed_data": BOOL,
    "datetime": DATETIME,
    "typical_datetime": DATETIME,
    "typicalDate": TEXT,
    "typicalTime": TEXT,
    "source": TEXT,
    "offset": INT,
}

# The names ecCodes gives the same header fields.
ECCODES_HEADER = {
    "edition": "edition",
    "masterTableNumber": "master_table_number",
    "bufrHeaderCentre": "originating_centre",
    "bufrHeaderSubCentre": "originating_subcentre",
    "updateSequenceNumber": "update_sequence_number",
    "dataCategory": "data_category",
    "internationalDataSubCategory": "international_data_subcategory",
    "dataSubCategory": "local_data_subcategory",
    "masterTablesVersionNumber": "master_tables_version_number",
    "localTablesVersionNumber": "local_tables_version_number",
    "typicalYear": "typical_year",
    "typicalMonth": "typical_month",
    "typicalDay": "typical_day",
    "typicalHour": "typical_hour",
    "typicalMinute": "typical_minute",
    "typicalSecond": "typical_second",
    "numberOfSubsets": "number_of_subsets",
    "observedData": "observed_data",
    "compressedData": "compressed_data",
}

TEXT_UNITS = ("CCITT IA5", "CCITT_IA5")


def header_name(name: str) -> str | None:
    """The header field a column name means, or None for an element or computed key."""
    if name in HEADER_KINDS:
        return name
    return ECCODES_HEADER.get(name)


# --- elements --------------------------------------------------------------------

# Records that are not Table B elements, and the word each is known by.
ASSOCIATED_FIELD_CODE = 999999


def synthetic_name(code: int) -> str | None:
    if code == ASSOCIATED_FIELD_CODE:
        return "associatedField"
    if 205000 <= code <= 205255:
        return "characters"
    if 200000 <= code < 300000:
        return "operator"
    return None


@dataclass(frozen=True)
class ElementInfo:
    """What a descriptor is: its ecCodes key, name and unit, and the kind of a column of it."""

    key: str | None
    name: str | None
    unit: str | None
    kind: str

    @property
    def is_text(self) -> bool:
        # The decoder's own rule: CCITT IA5 elements and the characters of 2 05 YYY are text.
        return self.unit == "CCITT IA5" or self.key == "characters"


_element_cache: dict[TableSet, dict[int, ElementInfo]] = {}


def describe(tables: TableSet, code: int) -> ElementInfo:
    """Key, name, unit and column kind of a descriptor under tables, cached per table set."""
    per_set = _element_cache.get(tables)
    if per_set is None:
        if len(_element_cache) > 64:
            _element_cache.clear()
        per_set = _element_cache.setdefault(tables, {})
    info = per_set.get(code)
    if info is None:
        synthetic = synthetic_name(code)
        element = tables.get_element(code)
        if synthetic is not None:
            info = ElementInfo(synthetic, synthetic, None, kind_of(element))
        elif element is None:
            info = ElementInfo(None, None, None, FLOAT)
        else:
            key = element.abbreviation or None
            info = ElementInfo(key, element.name, element.unit, kind_of(element) if key is not None else FLOAT)
        per_set[code] = info
    return info


_infos_cache: dict[tuple[object, tuple[int, ...]], list[ElementInfo]] = {}


def element_infos(data: Data, codes: list[int]) -> list[ElementInfo]:
    """describe of each of codes; messages of one kind share the list."""
    index = (data.tables, tuple(codes))
    infos = _infos_cache.get(index)
    if infos is None:
        if len(_infos_cache) > 256:
            _infos_cache.clear()
        infos = _infos_cache[index] = [describe(data.tables, c) for c in codes]
    return infos


def kind_of(element: Any) -> str:
    if element is None:
        return FLOAT
    if element.unit in TEXT_UNITS:
        return TEXT
    # Plain counts, code figures and flag sets: whole numbers.
    return INT if element.scale == 0 else FLOAT


_by_key: dict[TableSet, dict[str, Any]] = {}


def element_by_key(tables: TableSet, key: str) -> Any:
    """The Table B element whose ecCodes key is key, or None (an index built once per set)."""
    index = _by_key.get(tables)
    if index is None:
        if len(_by_key) > 16:
            _by_key.clear()
        index = {}
        for x in range(64):
            for y in range(256):
                element = tables.get_element(x * 1000 + y)
                if element is not None and element.abbreviation:
                    index.setdefault(element.abbreviation, element)
        _by_key[tables] = index
    return index.get(key)


# --- computed keys -----------------------------------------------------------------

Columns = Mapping[str, npt.NDArray[Any]]
Present = Mapping[str, npt.NDArray[np.bool_]]


@dataclass(frozen=True)
class Computed:
    parts: tuple[str, ...]
    kind: str
    make: Callable[[Columns, Present, int], tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]]


def _wmo_station_id(columns: Columns, present: Present, n: int) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]:
    block, station = columns["blockNumber"], columns["stationNumber"]
    ok = present["blockNumber"] & present["stationNumber"] & ~np.isnan(block) & ~np.isnan(station)
    return np.where(ok, block * 1000 + station, np.nan), ok


WIGOS_PARTS = ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber", "wigosLocalIdentifierCharacter")


def _wigos_station_id(columns: Columns, present: Present, n: int) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]:
    ok = np.ones(n, dtype=bool)
    for name in WIGOS_PARTS:
        values = columns[name]
        ok &= present[name] & ~missing(values)
    out = np.full(n, None, dtype=object)
    numbers = [columns[name][ok] for name in WIGOS_PARTS[:3]]
    local = columns[WIGOS_PARTS[3]][ok]
    out[ok] = [f"{int(a)}-{int(b)}-{int(c)}-{str(d).strip()}" for a, b, c, d in zip(*numbers, local)]
    return out, ok


TIME_PARTS = ("year", "month", "day", "hour", "minute", "second")


MONTH_DAYS = np.array([31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])


def _data_datetime(columns: Columns, present: Present, n: int) -> tuple[npt.NDArray[Any], npt.NDArray[np.bool_]]:
    ok = np.ones(n, dtype=bool)
    for name in TIME_PARTS[:5]:
        ok &= present[name] & ~np.isnan(columns[name])
    second = np.where(present["second"] & ~np.isnan(columns["second"]), columns["second"], 0.0)
    out = np.full(n, np.datetime64("NaT", "s"), dtype="datetime64[s]")
    if not ok.any():
        return out, ok
    year, month, day = (columns[name][ok].astype(np.int64) for name in ("year", "month", "day"))
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    length = MONTH_DAYS[np.clip(month - 1, 0, 11)] + (leap & (month == 2))
    valid = (month >= 1) & (month <= 12) & (day >= 1) & (day <= length) & (year >= 1) & (year <= 9999)
    # Days since 1970-01-01 of a proleptic Gregorian date (years counted from March).
    shifted = year - (month <= 2)
    era = shifted // 400
    of_era = shifted - era * 400
    of_year = (153 * ((month + 9) % 12) + 2) // 5 + day - 1
    days = era * 146097 + of_era * 365 + of_era // 4 - of_era // 100 + of_year - 719468
    seconds = days * 86400 + np.rint(columns["hour"][ok] * 3600 + columns["minute"][ok] * 60 + second[ok]).astype(np.int64)
    out[np.flatnonzero(ok)[valid]] = seconds[valid].astype("datetime64[s]")
    ok[np.flatnonzero(ok)[~valid]] = False
    return out, ok


COMPUTED: dict[str, Computed] = {
    "WMO_station_id": Computed(("blockNumber", "stationNumber"), INT, _wmo_station_id),
    "WIGOS_station_id": Computed(WIGOS_PARTS, TEXT, _wigos_station_id),
    "data_datetime": Computed(TIME_PARTS, DATETIME, _data_datetime),
}
