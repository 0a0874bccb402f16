"""Frames beside the established pandas reader of BUFR (pdbufr on ecCodes), run as a black box.

The same rows, as multisets, on everyday cases: profiles with typed, list,
range and callable filters, required and optional columns, SYNOP, ship,
buoy, aircraft, edition 3 and 4, station ids and observation times. The
reader runs in its own venv (/work/pdbufr-venv, or PDBUFR_PYTHON); without
it these tests skip.
"""

import collections
import json
import math
import os
import subprocess

import pytest

pd = pytest.importorskip("pandas")

import tarvane  # noqa: E402
from test_corpus_agreement import MESSAGES  # noqa: E402

ED3 = os.path.join(os.path.dirname(MESSAGES), "edition3", "messages")
PDBUFR_PYTHON = os.environ.get("PDBUFR_PYTHON", "/work/pdbufr-venv/bin/python")
TEMP = os.path.join(ED3, "earthkit-data__docs_examples_temp_10.bufr")
SYNOP = os.path.join(ED3, "earthkit-data__docs_examples_synop_10.bufr")
PROFILE = ["stationNumber", "pressure", "airTemperature"]

# (file, columns, filters as Python source, required_columns)
CASES = [
    (TEMP, PROFILE, "{}", True),
    (TEMP, PROFILE, "{}", False),
    (TEMP, PROFILE, "{'pressure': 50000}", True),
    (TEMP, PROFILE, "{'pressure': [50000, 85000.0]}", True),
    (TEMP, PROFILE, "{'pressure': slice(30000, 70000)}", True),
    (TEMP, PROFILE, "{'pressure': slice(None, 10000), 'stationNumber': 836}", True),
    (TEMP, PROFILE, "{'airTemperature': lambda t: t > 250}", True),
    (TEMP, ["stationNumber", "pressure", "absoluteWindShearIn1KmLayerBelow"], "{}", True),
    (TEMP, ["WMO_station_id", "data_datetime", "pressure", "windSpeed"], "{'WMO_station_id': 2836}", True),
    (TEMP, ["stationNumber", "cloudType"], "{}", True),
    (SYNOP, ["stationNumber", "cloudType", "heightOfBaseOfCloud"], "{}", False),
    (SYNOP, ["stationNumber", "cloudAmount", "verticalSignificanceSurfaceObservations"], "{}", True),
    (SYNOP, ["WMO_station_id", "data_datetime", "airTemperatureAt2M", "dataCategory", "typicalDate"], "{}", True),
    (SYNOP, ["stationNumber", "airTemperatureAt2M"], "{'blockNumber': 999}", True),
    (os.path.join(ED3, "pybufrkit__tests_benchmark_data_ship_11.bufr"),
     ["shipOrMobileLandStationIdentifier", "latitude", "longitude", "airTemperatureAt2M", "data_datetime"], "{}", True),
    (os.path.join(ED3, "pybufrkit__tests_benchmark_data_buoy_27.bufr"),
     ["buoyOrPlatformIdentifier", "latitude", "longitude", "data_datetime"], "{}", False),
    (os.path.join(ED3, "pybufrkit__tests_benchmark_data_airc_142.bufr"),
     ["aircraftFlightNumber", "data_datetime", "latitude", "height", "airTemperature", "windSpeed"], "{}", True),
    (os.path.join(ED3, "pybufrkit__tests_benchmark_data_amda_144.bufr"),
     ["aircraftFlightNumber", "latitude", "airTemperature", "mixingRatio"], "{}", False),
    (os.path.join(ED3, "pybufrkit__tests_benchmark_data_pilo_91.bufr"),
     ["stationNumber", "nonCoordinateGeopotential", "windSpeed"], "{'windSpeed': slice(20, None)}", True),
    (os.path.join(ED3, "pybufrkit__tests_benchmark_data_temp_101.bufr"),
     ["stationNumber", "pressure", "airTemperature", "dewpointTemperature"], "{'stationNumber': {219, 273, 1}}", True),
    (os.path.join(MESSAGES, "pybufrkit__IUSK73_AMMC_182300.bufr"),
     ["stationNumber", "data_datetime", "pressure", "airTemperature", "windSpeed"], "{}", True),
    (os.path.join(MESSAGES, "synop2bufr__15015.bin"),
     ["WMO_station_id", "stationOrSiteName", "airTemperature", "cloudType", "heightOfBaseOfCloud"], "{}", False),
    (os.path.join(MESSAGES, "csv2bufr__0-454-2-awsbalaka_2021-11-18_0955.bufr"),
     ["WIGOS_station_id", "data_datetime", "airTemperature", "nonCoordinatePressure"], "{}", True),
]

READER = r"""
import json, math, sys, pdbufr
out = []
for path, columns, filters, required in json.loads(sys.stdin.read()):
    df = pdbufr.read_bufr(path, columns=columns, filters=eval(filters), required_columns=required)
    rows = []
    for row in df.to_dict("records"):
        rows.append([None if (v := row.get(c)) is None or (isinstance(v, float) and math.isnan(v))
                     else v.isoformat() if hasattr(v, "isoformat") else v.item() if hasattr(v, "item") else v
                     for c in columns])
    out.append(rows)
print(json.dumps(out))
"""


def plain(value):
    """One cell as a comparable value: numbers to nine significant digits, times as ISO text."""
    if value is None or value is pd.NA or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return None
    if hasattr(value, "isoformat"):
        return value.isoformat()
    if hasattr(value, "item"):
        value = value.item()
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(f"{value:.9g}")
    return value.rstrip() if isinstance(value, str) else value


@pytest.fixture(scope="module")
def reference():
    if not os.path.exists(PDBUFR_PYTHON):
        pytest.skip("the pdbufr venv is not installed")
    # The reader's own interpreter and libraries: nothing of this run's
    # (its path, a preloaded sanitizer runtime) is passed on.
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "LD_PRELOAD") and not k.endswith("SAN_OPTIONS")}
    done = subprocess.run([PDBUFR_PYTHON, "-c", READER], input=json.dumps(CASES), capture_output=True, text=True, env=env,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


@pytest.mark.parametrize("case", range(len(CASES)))
def test_rows_equal_the_established_reader(reference, case):
    path, columns, filters, required = CASES[case]
    df = tarvane.read_dataframe(path, columns, filters=eval(filters), required_columns=required)
    assert list(df.columns) == columns
    got = collections.Counter(tuple(plain(v) for v in row) for row in df.itertuples(index=False))
    want = collections.Counter(tuple(plain(v) for v in row) for row in reference[case])
    assert got == want
    assert sum(want.values()) > 0 or "999" in filters
