"""JSON lines and GeoJSON output of decoded messages.

JSON: one document per message. What belongs to the message is said once:
its header, and in "elements" the key, name and unit of each descriptor it
holds, with the code-table meanings of the values met. The values come in
"groups" of consecutive subsets that share one descriptor sequence (a
compressed message is one group; uncompressed subsets differ where delayed
replication differs). In a group, "values" has one entry per descriptor: the
value when every subset of the group has the same, else a list of one value
per subset of "subsets". Value j of subset subsets[k] is so
``v[k] if isinstance(v := values[j], list) else v``:

    {"file": ..., "offset": 0, ..., "tables": "...",
     "elements": {"002001": {"key": "stationType", "name": "...", "unit": "CODE TABLE",
                             "meanings": {"1": "MANNED STATION"}}, ...},
     "groups": [{"subsets": [1, 2, 3], "descriptors": ["001001", "001002", ...],
                 "values": [15, [15, 20, 31], ...]}]}

Collapsing what every subset shares keeps the output small and quick to
write: most of a satellite message is the same in every subset.

GeoJSON: one Feature per subset that has a position, its values as
properties by key (a key met several times gives a list) with their units
under "units", in one FeatureCollection for the whole run. A feature's
"datetime" is the observation's own (the subset's first year to second),
section 1's typical time only where the subset has none; "WMO_station_id"
and "WIGOS_station_id" are given where the subset has their parts.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np

from .records import Attributes, Records, code_text, header_fields, python_rows, python_values

if TYPE_CHECKING:
    from .._read import Message

_json_encode = json.JSONEncoder(separators=(",", ":")).encode

orjson: Any
try:  # the cli extra: an encoder an order of magnitude quicker than json's
    import orjson
except ImportError:  # pragma: no cover - depends on the installation
    orjson = None


def _encode(document: Any) -> bytes:
    """Compact JSON as UTF-8 (orjson's and json's texts parse to the same values)."""
    if orjson is not None:
        try:
            encoded: bytes = orjson.dumps(document)
            return encoded
        except (TypeError, orjson.JSONEncodeError):
            pass  # a text with lone surrogates: json escapes them
    return _json_encode(document).encode("ascii")

# Where a subset is: the first latitude and longitude it holds, by key or by
# descriptor (high accuracy 0 05 001 / 0 06 001, coarse 0 05 002 / 0 06 002).
LATITUDE = ("latitude", (5001, 5002))
LONGITUDE = ("longitude", (6001, 6002))


def message_json(message: Message, records: Records, tables: str) -> bytes:
    document = header_fields(message)
    document["tables"] = tables
    meanings = records.meanings()
    elements: dict[str, dict[str, Any]] = {}
    for code, described, present in zip(records.codes, records.elements, records.present()):
        if not present:
            continue  # not among the selected records
        element: dict[str, Any] = {"key": described.key, "name": described.name, "unit": described.unit}
        if code in meanings:
            element["meanings"] = meanings[code]
        elements[code_text(code)] = element
    document["elements"] = elements
    document["groups"] = _groups(records)
    return _encode(document)


def _groups(records: Records) -> list[dict[str, Any]]:
    numbers = records.subset_numbers()
    bounds = records.subset_bounds(numbers)
    text = records.text if records.has_text() else None
    # Where text can be (the text elements' records): elsewhere the text
    # column is None, and comparing those Nones one by one was a sixth of
    # an edition-3 dump.
    holds_text = None if text is None else records.element_is_text()
    attributes = records.attributes()
    groups = []
    for first, last in _runs(records.descriptor, bounds):
        start, stop = int(bounds[first]), int(bounds[last])
        count = last - first
        length = (stop - start) // count
        text_columns = None if holds_text is None else np.flatnonzero(holds_text[start:start + length])
        group = {
            "subsets": numbers[first:last],
            "descriptors": records.code_texts(start, start + length),
            "values": _columns_of(
                records.value[start:stop].reshape(count, length),
                None if text_columns is None or not len(text_columns)
                else (text[start:stop].reshape(count, length)[:, text_columns], text_columns),  # type: ignore[index]
            ),
        }
        if attributes is not None:
            group.update(_group_attributes(attributes, start, stop, count, length))
        groups.append(group)
    return groups


def _group_attributes(attributes: Attributes, start: int, stop: int, count: int, length: int) -> dict[str, Any]:
    """A group's "refers_to" (the position in the group of what each position
    qualifies, or null) and "attributes" (each position's name as an attribute,
    or null), collapsed over subsets as the values are."""
    refers_to = attributes.refers_to[start:stop].reshape(count, length)
    subset_start = (start + length * np.arange(count))[:, np.newaxis]
    local = np.where(refers_to >= 0, refers_to - subset_start, np.nan)
    table = attributes.names[start:stop].reshape(count, length)
    named: list[Any] = table[0].tolist()
    if count > 1:
        codes = attributes.codes[start:stop].reshape(count, length)
        for position in np.flatnonzero(~(codes == codes[0]).all(axis=0)).tolist():
            named[position] = table[:, position].tolist()
    return {"refers_to": _columns_of(local, None), "attributes": named}


def _runs(descriptor: np.ndarray, bounds: np.ndarray) -> list[tuple[int, int]]:
    """Runs [first, last) of consecutive subsets with the same descriptor sequence."""
    count = len(bounds) - 1
    if count <= 0:
        return []
    lengths = np.diff(bounds)
    if (lengths == lengths[0]).all():
        # Every subset as long as the first (always so when compressed): compare
        # each with the one before it in one go.
        table = descriptor[bounds[0]:bounds[-1]].reshape(count, -1)
        same = (table[1:] == table[:-1]).all(axis=1)
    else:
        same = np.array([
            lengths[i] == lengths[i + 1]
            and bool((descriptor[bounds[i]:bounds[i + 1]] == descriptor[bounds[i + 1]:bounds[i + 2]]).all())
            for i in range(count - 1)
        ], dtype=bool)
    starts = [0, *(np.flatnonzero(~same) + 1).tolist(), count]
    return list(zip(starts[:-1], starts[1:]))


def _columns_of(value: np.ndarray, texts: tuple[np.ndarray, np.ndarray] | None) -> list[Any]:
    """One entry per column of a (subsets x positions) table: the value when every
    subset has the same, else the list of each subset's value. texts: the text
    columns' (subsets x text columns) table and their positions, or None."""
    missing = np.isnan(value)
    constant = ((value == value[0]) | (missing & missing[0])).all(axis=0)
    columns: list[Any] = python_values(value[0], None)
    if texts is not None:
        text, at = texts
        for position, first in zip(at.tolist(), python_values(value[0, at], text[0])):
            columns[position] = first
        # The varying text columns with their texts; then they are done.
        varying = np.flatnonzero(~(constant[at] & (text == text[0]).all(axis=0)))
        if len(varying):
            lists = python_rows(value[:, at[varying]].T, text[:, varying].T)
            for position, values in zip(at[varying].tolist(), lists):
                columns[position] = values
        constant[at] = True
    rest = np.flatnonzero(~constant)
    if len(rest):
        for position, values in zip(rest.tolist(), python_rows(value[:, rest].T, None)):
            columns[position] = values
    return columns


def _first_per_subset(records: Records, which: tuple[str, tuple[int, ...]]) -> dict[int, float]:
    """Each subset's first value of an element, where it is not missing."""
    key, codes = which
    mask = np.equal(records.element("key"), key) | np.isin(records.descriptor, codes)
    positions = np.flatnonzero(mask)
    subsets, first = np.unique(records.subset[positions], return_index=True)
    chosen = positions[first]
    found = records.value[chosen]
    present = ~np.isnan(found)
    return dict(zip(subsets[present].tolist(), found[present].tolist()))


TIME_PARTS = (("year", (4001,)), ("month", (4002,)), ("day", (4003,)), ("hour", (4004,)), ("minute", (4005,)),
              ("second", (4006,)))
WIGOS_PARTS = (("wigosIdentifierSeries", (1125,)), ("wigosIssuerOfIdentifier", (1126,)),
               ("wigosIssueNumber", (1127,)))


def _observation_times(records: Records) -> dict[int, str]:
    """Each subset's own date and time, where it has a valid one."""
    import datetime as _dt

    parts = [_first_per_subset(records, which) for which in TIME_PARTS]
    times: dict[int, str] = {}
    for number in parts[0]:
        if all(number in p for p in parts[:5]):
            try:
                year, month, day, hour, minute = (int(p[number]) for p in parts[:5])
                when = _dt.datetime(year, month, day, hour, minute, int(parts[5].get(number, 0)))
            except ValueError:
                continue
            times[number] = when.isoformat()
    return times


def _station_ids(records: Records) -> dict[int, dict[str, Any]]:
    """Each subset's WMO_station_id (block x 1000 + station) and WIGOS_station_id, where it has their parts."""
    ids: dict[int, dict[str, Any]] = {}
    blocks = _first_per_subset(records, ("blockNumber", (1001,)))
    stations = _first_per_subset(records, ("stationNumber", (1002,)))
    for number in blocks.keys() & stations.keys():
        ids.setdefault(number, {})["WMO_station_id"] = int(blocks[number]) * 1000 + int(stations[number])
    wigos = [_first_per_subset(records, which) for which in WIGOS_PARTS]
    positions = np.flatnonzero(records.descriptor == 1128)
    if len(positions) and all(wigos):
        values = records.values()
        subsets, first = np.unique(records.subset[positions], return_index=True)
        for number, position in zip(subsets.tolist(), positions[first].tolist()):
            local = values[position]
            if isinstance(local, str) and local.strip() and all(number in w for w in wigos):
                series, issuer, issue = (int(w[number]) for w in wigos)
                ids.setdefault(number, {})["WIGOS_station_id"] = f"{series}-{issuer}-{issue}-{local.strip()}"
    return ids


def geojson_features(message: Message, records: Records, placing: Records | None = None) -> list[bytes]:
    """The Features of the message's subsets that have a position, each as JSON.

    placing: the records that give the positions, when records leaves them
    out (--key keeps the properties asked for; the position is still found).
    """
    placing = records if placing is None else placing
    latitudes = _first_per_subset(placing, LATITUDE)
    longitudes = _first_per_subset(placing, LONGITUDE)
    numbers = records.subset_numbers()
    placed = [s for s in numbers if s in latitudes and s in longitudes]
    if not placed:
        return []
    keys = records.element("key")
    # Keyless elements (tables without keys) go by their descriptor.
    nameless = keys == None  # noqa: E711 - elementwise
    if nameless.any():
        keys = keys.copy()
        keys[nameless] = [code_text(int(c)) for c in records.descriptor[nameless]]
    data = ~records.is_operator()
    key_list = keys.tolist()
    values = records.values()
    keep = data.tolist()
    bounds = records.subset_bounds(numbers).tolist()
    where = {n: i for i, n in enumerate(numbers)}
    date = header_fields(message)["datetime"]
    times = _observation_times(placing)
    ids = _station_ids(placing)
    units = records.element("unit").tolist()
    features = []
    for number in placed:
        i = where[number]
        properties: dict[str, Any] = {}
        unit_of: dict[str, str] = {}
        repeated: set[str] = set()
        for position in range(bounds[i], bounds[i + 1]):
            if not keep[position]:
                continue
            key, value = key_list[position], values[position]
            if units[position] is not None:
                unit_of.setdefault(key, units[position])
            if key not in properties:
                properties[key] = value
            elif key in repeated:
                properties[key].append(value)
            else:
                properties[key] = [properties[key], value]
                repeated.add(key)
        where_from = {"file": message.source, "offset": message.offset, "subset": number,
                      "datetime": times.get(number, date), **ids.get(number, {})}
        feature = {
            "type": "Feature",
            "geometry": {"type": "Point", "coordinates": [longitudes[number], latitudes[number]]},
            "properties": where_from | properties | {"units": unit_of},
        }
        features.append(_encode(feature))
    return features


class FeatureCollection:
    """Writes one FeatureCollection, feature by feature, so that it streams."""

    def __init__(self, out: BinaryIO) -> None:
        self.out = out
        self.count = 0
        out.write(b'{"type":"FeatureCollection","features":[')

    def add(self, features: list[bytes]) -> None:
        for feature in features:
            self.out.write((b"\n" if self.count == 0 else b",\n") + feature)
            self.count += 1

    def close(self) -> None:
        self.out.write(b"\n]}\n")
