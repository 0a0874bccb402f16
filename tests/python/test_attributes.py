"""Attributes against the reference decoder, editions 3 and 4, compressed and not.

The reference side is made at test time: reference_attributes.py runs under
Debian's /usr/bin/python3 with its ecCodes binding and lists every
``#k#A->B`` key of a message with its values. Each must equal tarvane's
``get("A->B", rank=k)`` subset by subset (numbers within a relative 1e-9,
missing as NaN). Skipped where that binding is absent.
"""

import json
import math
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import tarvane

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bufr_builder import message, pack_bits  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, os.pardir, "data", "corpus")
SCRIPT = os.path.join(HERE, "reference_attributes.py")
DEBIAN_PYTHON = "/usr/bin/python3"

# Measured: every corpus message that has attribute keys in the reference
# (119, from ECMWF, NCEP, EUMETSAT and JMA) and every one of their keys.
AGREEING_MESSAGES = 119
AGREEING_KEYS = 9720


# Keys the reference lists that attribute_keys() leaves out (get still gives
# their values): file -> (why, the keys).
UNLISTED = {
    "pybufrkit__ncep.352.bufr": (
        "its bitmap designates three elements for four quality values; the reference gives the fourth "
        "(all missing) to the first data-present indicator, tarvane to nothing",
        ["dataPresentIndicator->nominalConfidenceThreshold", "dataPresentIndicator->percentConfidence",
         "dataPresentIndicator->qualityControl"],
    ),
    "pybufrkit__uegabe.bufr": (
        "the reference keeps 0 33 024 as a value of its own; tarvane has it qualify the height before it, "
        "so its associated field is listed under height->stationElevationQualityMarkForMobileStations",
        ["stationElevationQualityMarkForMobileStations->associatedField",
         "stationElevationQualityMarkForMobileStations->associatedField->associatedFieldSignificance"],
    ),
}


def _reference_available():
    if not os.path.exists(DEBIAN_PYTHON):
        return False
    return subprocess.run([DEBIAN_PYTHON, "-c", "import eccodes"], capture_output=True).returncode == 0


pytestmark = pytest.mark.skipif(not _reference_available(), reason="Debian's python3-eccodes is not installed")


def _reference(paths):
    done = subprocess.run([DEBIAN_PYTHON, SCRIPT, *paths], capture_output=True, text=True, check=True)
    return [json.loads(line) for line in done.stdout.splitlines()]


def _differences(data, keys):
    """Each listed key where tarvane differs, with the first subset that does."""
    n = data.number_of_subsets
    out = []
    for key, theirs in keys.items():
        rank, name = re.fullmatch(r"#(\d+)#(.+)", key).groups()
        try:
            ours = data.get(name, rank=int(rank)).tolist()
        except KeyError:
            out.append(f"{key}: not found")
            continue
        theirs = theirs * n if len(theirs) == 1 else theirs
        for j, (a, b) in enumerate(zip(ours, theirs)):
            missing = a is None or (isinstance(a, float) and math.isnan(a))
            if (b is None) != missing or (b is not None and not math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)):
                out.append(f"{key} subset {j + 1}: {b!r} expected, {a!r} decoded")
                break
    return out


@pytest.fixture(scope="module")
def corpus_reference():
    paths = [
        os.path.join(CORPUS, folder, name)
        for folder in ("messages", os.path.join("edition3", "messages"))
        for name in sorted(os.listdir(os.path.join(CORPUS, folder)))
    ]
    return [e for e in _reference(paths) if e.get("keys")]


def test_corpus_attributes_agree(corpus_reference):
    failures, keys = [], 0
    messages = {}
    for entry in corpus_reference:
        path = entry["file"]
        if path not in messages:
            messages[path] = {m.offset: m for m in tarvane.read(path, errors="skip")}
        data = messages[path][entry["offset"]].decode()
        differences = _differences(data, entry["keys"])
        listed = {re.sub(r"^#\d+#", "", key) for key in entry["keys"]}
        ours = data.attribute_keys()
        assert all(len(data[key]) == data.number_of_subsets for key in ours)
        unlisted = sorted(listed - set(ours))
        if unlisted != UNLISTED.get(os.path.basename(path), ("", []))[1]:
            differences.append(f"{unlisted} not among attribute_keys()")
        failures.extend(f"{os.path.basename(path)}@{entry['offset']}: {d}" for d in differences[:3])
        keys += len(entry["keys"])
    assert failures == []
    assert (len(corpus_reference), keys) == (AGREEING_MESSAGES, AGREEING_KEYS)


def test_corpus_refers_to_stays_in_its_subset(corpus_reference):
    # A quality or substituted value follows what it qualifies, in the same
    # subset; subset views give the same attributes as the whole message.
    path = os.path.join(CORPUS, "edition3", "messages", "pybufrkit__tests_benchmark_data_temp_101.bufr")
    data = list(tarvane.read(path))[1].decode()
    refers_to = data.refers_to
    qualifying = np.flatnonzero(refers_to >= 0)
    assert len(qualifying) > 500 and refers_to.dtype == np.int32
    assert (refers_to[qualifying] < qualifying).all()
    assert (data.subset[refers_to[qualifying]] == data.subset[qualifying]).all()
    view = next(data.subsets())
    for key in ("nonCoordinateGeopotential->substitutedValue", "pressure->percentConfidence"):
        for rank in (1, 40):
            np.testing.assert_array_equal(view.get(key, rank=rank), data.get(key, rank=rank))


def _compressed(descriptors, fields, subsets):
    """Compressed data where every subset holds the same values: each field, then a zero increment width."""
    return message(descriptors, pack_bits([f for field in fields for f in (field, (0, 6))]), subsets=subsets,
                   flags=0xC0)


# Small messages for the operators the corpus does not use, read by both
# decoders. (descriptors, (value, width) fields.)
SYNTHETIC = {
    "difference statistics": (
        [11001, 12101, 225000, 236000, 31031, 31031, 8024, 225255, 225255],
        [(180, 9), (27315, 16), (0, 1), (0, 1), (11, 6), (512 + 5, 10), (65536 - 20, 17)],
    ),
    "substituted values on a reused bitmap": (
        [11001, 12101, 222000, 236000, 31031, 31031, 33007, 223000, 237000, 223255],
        [(180, 9), (27315, 16), (1, 1), (0, 1), (60, 7), (27400, 16)],
    ),
    "chained quality blocks": (
        [11001, 12101, 222000, 236000, 31031, 31031, 33007, 33007, 222000, 237000, 33007, 33007],
        [(180, 9), (27315, 16), (0, 1), (0, 1), (60, 7), (70, 7), (61, 7), (71, 7)],
    ),
    "associated fields": (
        [204002, 31021, 11001, 12101, 204000, 11002],
        [(1, 6), (2, 2), (180, 9), (3, 2), (27315, 16), (55, 12)],
    ),
}


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
@pytest.mark.parametrize("case", sorted(SYNTHETIC))
def test_operators_agree(case, compressed, tmp_path):
    descriptors, fields = SYNTHETIC[case]
    raw = _compressed(descriptors, fields, 3) if compressed else message(descriptors, pack_bits(fields))
    path = tmp_path / "m.bufr"
    path.write_bytes(raw)
    (entry,) = _reference([str(path)])
    assert entry["keys"], "the reference names no attribute"
    assert _differences(tarvane.Message(raw).decode(), entry["keys"]) == []


def test_class33_after_an_element_and_bad_keys():
    # A class 33 element without 2 22 000 qualifies the element before it
    # (the reference lists these as plain values); so do the values read at
    # 2 32 255, which it names replacedRetainedValue.
    raw = message([11001, 33002, 12101, 232000, 236000, 31031, 31031, 232255],
                  pack_bits([(180, 9), (1, 2), (27315, 16), (1, 1), (0, 1), (27000, 16)]))
    data = tarvane.Message(raw).decode()
    assert data.refers_to[data.descriptor.tolist().index(33002)] == 0
    assert data["windDirection->qualityInformation"].tolist() == [1.0]
    assert data["#1#airTemperature->replacedRetainedValue"].tolist() == [270.0]
    assert math.isnan(data["#1#windDirection->replacedRetainedValue"][0])
    for bad in ("airTemperature->percentConfidence", "nothing->qualityInformation"):
        with pytest.raises(KeyError):
            data[bad]
        assert bad not in data


GOES = os.path.join(CORPUS, "edition3", "messages", "pybufrkit__tests_benchmark_data_goes_87.bufr")


def _dump(capsys, *argv):
    from tarvane import cli

    assert cli.main([str(a) for a in argv]) == 0
    return capsys.readouterr().out


def test_dump_shows_attributes_under_their_elements(capsys):
    data = next(tarvane.read(GOES)).decode()
    expected = data.get("windSpeed->percentConfidence->percentConfidence", rank=1)[1]
    text = _dump(capsys, "dump", "--subset", "2", "--key", "windSpeed",
                 "--key", "windSpeed->percentConfidence->percentConfidence", GOES)
    rows = [line.split() for line in text.splitlines() if line[:6].isdigit()]
    # Each wind speed, then under it its second confidence, named by the path from it.
    assert [r[1] for r in rows[:2]] == ["windSpeed", "->percentConfidence->percentConfidence"]
    assert float(rows[1][2]) == expected
    assert len(rows) == 10

    (line,) = _dump(capsys, "dump", "--json", GOES).splitlines()
    group = json.loads(line)["groups"][0]
    refers_to, names = group["refers_to"], group["attributes"]
    view = next(data.subsets())
    np.testing.assert_array_equal([-1 if r is None else r for r in refers_to], view.refers_to)
    attribute = int(np.flatnonzero(view.refers_to >= 0)[0])
    assert (names[attribute], names[view.refers_to[attribute]]) == ("percentConfidence", None)
