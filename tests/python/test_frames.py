"""Tables of real messages: the tasks users bring, checked against the reference values."""

import gzip
import json
import os
import pickle
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

import tarvane  # noqa: E402
from tarvane import _columns  # noqa: E402
from tarvane._convert import convert  # noqa: E402
from test_corpus_agreement import EXPECTED, KNOWN_DIFFERENCES, MESSAGES, _differences  # noqa: E402


def reference(name):
    with gzip.open(os.path.join(EXPECTED, name + ".json.gz"), "rt") as f:
        return json.load(f)["messages"]


def occurrences(subset, code):
    return [v for c, v in subset if c == code]


def test_synop_stations_with_temperature_and_pressure():
    files = sorted(f for f in os.listdir(MESSAGES) if f.startswith("synop2bufr__1"))  # one station each
    df = tarvane.read_dataframe(
        [os.path.join(MESSAGES, f) for f in files],
        columns=["blockNumber", "stationNumber", "stationOrSiteName", "airTemperature", "nonCoordinatePressure", "datetime"],
    )
    assert len(df) == len(files)
    assert str(df["stationNumber"].dtype) == "Int64" and df["datetime"].dtype == "datetime64[s]"
    for (_, row), name in zip(df.iterrows(), files):
        [subset] = reference(name)[0]["subsets"]
        assert row["stationNumber"] == occurrences(subset, 1002)[0]
        for key, code in (("airTemperature", 12101), ("nonCoordinatePressure", 10004)):
            want = occurrences(subset, code)[0]
            assert (pd.isna(row[key]) and want is None) or row[key] == pytest.approx(want, rel=1e-9)


def test_radiosonde_profile_gives_one_row_per_level():
    name = "pybufrkit__IUSK73_AMMC_182300.bufr"
    [subset] = reference(name)[0]["subsets"]
    df = tarvane.read_dataframe(
        os.path.join(MESSAGES, name), columns=["stationNumber", "pressure", "airTemperature", "windSpeed"]
    )
    assert len(df) == len(occurrences(subset, 7004))
    assert df["stationNumber"].nunique() == 1 and df["stationNumber"].notna().all()
    for key, code in (("pressure", 7004), ("airTemperature", 12101), ("windSpeed", 11002)):
        want = np.array([np.nan if v is None else v for v in occurrences(subset, code)])
        np.testing.assert_allclose(df[key].to_numpy(dtype=float, na_value=np.nan)[: len(want)], want, rtol=1e-9)
    high = tarvane.read_dataframe(
        os.path.join(MESSAGES, name), columns=["pressure"], filters={"pressure": lambda p: p < 85000}
    )
    assert len(high) and (high["pressure"] < 85000).all()


def test_satellite_channels_as_columns():
    name = "pybufrkit-bench__aaen_55.bufr"
    channels = [f"#{k}#brightnessTemperature" for k in range(1, 20)]
    df = tarvane.read_dataframe(os.path.join(MESSAGES, name), columns=["latitude", *channels])
    with pytest.raises(KeyError, match="#20#brightnessTemperature"):
        tarvane.read_dataframe(os.path.join(MESSAGES, name), columns=["latitude", "#20#brightnessTemperature"])
    subsets = [s for m in reference(name) for s in m["subsets"]]
    assert len(df) == len(subsets)
    want = np.array([[np.nan if v is None else v for v in occurrences(s, 12063)] for s in subsets])
    np.testing.assert_allclose(df[channels].to_numpy(dtype=float), want, rtol=1e-9)


@pytest.mark.parametrize(
    "filters,keep",
    [
        ({"data_category": 2}, lambda c: c == 2),
        ({"data_category": {0, 2}}, lambda c: c in (0, 2)),
        ({"data_category": lambda c: c > 2}, lambda c: c > 2),
    ],
)
def test_filters_on_header_fields(filters, keep):
    every = tarvane.read_dataframe(MESSAGES, columns=["data_category"], errors="skip")
    df = tarvane.read_dataframe(MESSAGES, columns=["data_category"], filters=filters, errors="skip")
    assert len(df) == sum(keep(c) for c in every["data_category"]) > 0


def test_directory_to_one_parquet_file_equals_reference(tmp_path):
    out = tmp_path / "corpus.parquet"
    rows = convert([MESSAGES], str(out), errors="skip")
    table = pq.read_table(out)
    assert table.num_rows == rows
    df = table.to_pandas()
    by_message = dict(iter(df.groupby(["source", "offset"], sort=False)))
    compared = 0
    for name in sorted(os.listdir(EXPECTED)):
        file_name = name[: -len(".json.gz")]
        for message in reference(file_name):
            if "error" in message:
                continue
            records = by_message[(os.path.join(MESSAGES, file_name), message["offset"])]
            ours = listed(records)
            expected = [tuple(p) for subset in message["subsets"] for p in subset]
            known = KNOWN_DIFFERENCES.get((file_name, message["offset"]), (None, []))[1]
            assert _differences(expected, ours) == known, (file_name, message["offset"])
            compared += 1
    assert compared == 155


def listed(records):
    # The reference's filter (see the corpus README), on the long form's columns.
    code = records["descriptor"].to_numpy(dtype=np.int64)
    after_quality = np.cumsum(code == 222000) > 0
    keep = (code < 100000) & ((code // 1000) % 100 != 31) & ~(after_quality & (code == 33007))
    out = []
    for c, v, t in zip(code[keep], records["value"][keep], records["text"][keep]):
        out.append((int(c), t if isinstance(t, str) else (None if pd.isna(v) else float(v))))
    return out


def test_long_form_matches_data_columns_and_keeps_units():
    data = next(tarvane.read(os.path.join(MESSAGES, "synop2bufr__15015.bin"))).decode()
    df, table = data.to_pandas(), data.to_arrow()
    assert list(df.columns) == ["subset", "descriptor", "key", "name", "unit", "value", "text", "meaning"]
    for column in ("key", "unit", "meaning", "text"):
        assert list(df[column].astype(object).where(df[column].notna(), None)) == list(getattr(data, column))
    np.testing.assert_array_equal(table["value"].to_numpy(zero_copy_only=False), data.value)
    assert pa.types.is_dictionary(table.schema.field("key").type)
    wide = tarvane.read_arrow(os.path.join(MESSAGES, "synop2bufr__15015.bin"), columns=["airTemperature"])
    assert wide.schema.field("airTemperature").metadata == {b"unit": b"K"}


def test_wide_csv_keeps_code_meanings(tmp_path):
    out = tmp_path / "synop.csv"
    assert convert([os.path.join(MESSAGES, "synop2bufr__15*.bin")], str(out), columns=["presentWeather"]) == 23
    df = pd.read_csv(out)
    assert list(df.columns) == ["presentWeather", "presentWeather.meaning"] and df["presentWeather.meaning"].notna().any()


def test_tables_pickle_and_hostile_bytes_fail_cleanly():
    data = next(tarvane.read(os.path.join(MESSAGES, "synop2bufr__15015.bin"))).decode()
    back = pickle.loads(pickle.dumps(data.tables))
    assert back.element_count == data.tables.element_count
    assert back.get_meaning(20003, 508) == data.tables.get_meaning(20003, 508)
    good = _columns.dump_tables(data.tables)
    for bad in (b"", b"TVTABLE1", b"TVTABLE1" + b"\xff" * 8, good[:-1], good + b"\0", good[:100]):
        with pytest.raises(ValueError, match="table bytes are damaged"):
            _columns.load_tables(bad)


def test_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    data = next(tarvane.read(os.path.join(MESSAGES, "synop2bufr__15015.bin"))).decode()
    with pytest.raises(ImportError, match=r"pip install tarvane\[pandas\]"):
        data.to_pandas()
