"""JSON lines and GeoJSON output of decoded messages.

JSON: one document per message. What belongs to the message is said once
(its header, and the key, name and unit of each descriptor it holds in
"elements"); each subset then has parallel lists "descriptors" and "values"
and, where code or flag tables give them, "meanings" by position:

    {"file": ..., "offset": 0, ..., "tables": "...",
     "elements": {"012101": {"key": "airTemperature", "name": "...", "unit": "K"}, ...},
     "subsets": [{"subset": 1, "descriptors": ["001001", ...], "values": [15, ...],
                  "meanings": {"3": "MANNED STATION"}}, ...]}

GeoJSON: one Feature per subset that has a position, its values as
properties by key (a key met several times gives a list), in one
FeatureCollection for the whole run.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, TextIO

import numpy as np

from .records import Records, code_text, header_fields

if TYPE_CHECKING:
    from .._read import Message

_encode = json.JSONEncoder(separators=(",", ":")).encode

# Where a subset is: the first latitude and longitude it holds, by key or by
# descriptor (high accuracy 0 05 001 / 0 06 001, coarse 0 05 002 / 0 06 002).
LATITUDE = ("latitude", (5001, 5002))
LONGITUDE = ("longitude", (6001, 6002))


def message_json(message: Message, records: Records, tables: str) -> str:
    document = header_fields(message)
    document["tables"] = tables
    codes, firsts, _ = records.distinct()
    keys = records.element("key")[firsts].tolist()
    names = records.element("name")[firsts].tolist()
    units = records.element("unit")[firsts].tolist()
    document["elements"] = {
        code_text(code): {"key": key, "name": name, "unit": unit}
        for code, key, name, unit in zip(codes.tolist(), keys, names, units)
    }
    descriptors = records.code_texts()
    values = records.values()
    meanings = _meanings(records)
    subsets = []
    numbers = records.subset_numbers()
    bounds = records.subset_bounds(numbers).tolist()
    for i, number in enumerate(numbers):
        start, stop = bounds[i], bounds[i + 1]
        entry: dict[str, Any] = {
            "subset": number,
            "descriptors": descriptors[start:stop],
            "values": values[start:stop],
        }
        if number in meanings:
            entry["meanings"] = {str(p - start): m for p, m in meanings[number]}
        subsets.append(entry)
    document["subsets"] = subsets
    return _encode(document)


def _meanings(records: Records) -> dict[int, list[tuple[int, str]]]:
    """The records that have a meaning, by subset: (position, meaning)."""
    positions = np.flatnonzero(np.not_equal(records.meaning, None))
    by_subset: dict[int, list[tuple[int, str]]] = {}
    for position, subset, meaning in zip(
        positions.tolist(), records.subset[positions].tolist(), records.meaning[positions].tolist()
    ):
        by_subset.setdefault(subset, []).append((position, meaning))
    return by_subset


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


def geojson_features(message: Message, records: Records) -> list[str]:
    """The Features of the message's subsets that have a position, each as JSON text."""
    latitudes = _first_per_subset(records, LATITUDE)
    longitudes = _first_per_subset(records, LONGITUDE)
    placed = [s for s in latitudes if s in longitudes]
    if not placed:
        return []
    keys = records.element("key")
    # Keyless elements (tables without keys) go by their descriptor.
    nameless = np.equal(keys, None)
    if nameless.any():
        keys = keys.copy()
        keys[nameless] = [code_text(int(c)) for c in records.descriptor[nameless]]
    data = ~records.is_operator()
    key_list = keys.tolist()
    values = records.values()
    keep = data.tolist()
    numbers = records.subset_numbers()
    bounds = records.subset_bounds(numbers).tolist()
    where = {n: i for i, n in enumerate(numbers)}
    date = header_fields(message)["datetime"]
    features = []
    for number in placed:
        i = where[number]
        properties: dict[str, Any] = {}
        repeated: set[str] = set()
        for position in range(bounds[i], bounds[i + 1]):
            if not keep[position]:
                continue
            key, value = key_list[position], values[position]
            if key not in properties:
                properties[key] = value
            elif key in repeated:
                properties[key].append(value)
            else:
                properties[key] = [properties[key], value]
                repeated.add(key)
        where_from = {"file": message.source, "offset": message.offset, "subset": number, "datetime": date}
        feature = {
            "type": "Feature",
            "geometry": {"type": "Point", "coordinates": [longitudes[number], latitudes[number]]},
            "properties": where_from | properties,
        }
        features.append(_encode(feature))
    return features


class FeatureCollection:
    """Writes one FeatureCollection, feature by feature, so that it streams."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.count = 0
        out.write('{"type":"FeatureCollection","features":[')

    def add(self, features: list[str]) -> None:
        for feature in features:
            self.out.write(("\n" if self.count == 0 else ",\n") + feature)
            self.count += 1

    def close(self) -> None:
        self.out.write("\n]}\n")
