"""Frames: the rules beyond the rows themselves (dtypes past int64, chunks, the flat form, header names, mistakes)."""

import os
import sys

import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import tarvane  # noqa: E402
from bufr_builder import message, pack_bits, write_table_dir  # noqa: E402
from test_frames_pdbufr import ED3, SYNOP, TEMP  # noqa: E402

BIG = 2**63 + 2048


@pytest.fixture(scope="module")
def wide_counts(tmp_path_factory):
    """Two subsets of one 64-bit count without scale: a value past int64's range and a small one."""
    root = tmp_path_factory.mktemp("wide")
    tables = write_table_dir(root / "tables", [(1001, "STATION", "Numeric", 0, 0, 7),
                                               (33250, "BIG COUNT", "Numeric", 0, 0, 64)])
    path = root / "big.bufr"
    path.write_bytes(message((1001, 33250), pack_bits([(5, 7), (BIG, 64), (6, 7), (3, 64)]), subsets=2, flags=0x80))
    return str(path), tables


def test_values_past_int64_are_never_wrapped(wide_counts):
    path, tables = wide_counts
    df = tarvane.read_dataframe(path, ["abbr1001", "abbr33250"], tables=tables)
    assert str(df["abbr33250"].dtype) == "UInt64" and str(df["abbr1001"].dtype) == "Int64"
    assert df["abbr33250"].tolist() == [BIG, 3]
    table = tarvane.read_arrow(path, ["abbr33250"], tables=tables)
    assert table.column(0).type == pa.uint64() and table.column(0).to_pylist() == [BIG, 3]


@pytest.mark.parametrize("reader", [tarvane.read_dataframe, tarvane.read_arrow])
@pytest.mark.parametrize("size", [1, 100, 10_000])
def test_chunks_join_to_the_whole(reader, size):
    columns = ["WMO_station_id", "pressure", "airTemperature"]
    whole = tarvane.read_arrow(TEMP, columns, filters={"pressure": slice(10000, None)})
    chunks = list(reader(TEMP, columns, filters={"pressure": slice(10000, None)}, chunksize=size))
    assert all(len(c) == size for c in chunks[:-1]) and 0 < len(chunks[-1]) <= size
    joined = pa.concat_tables([c if isinstance(c, pa.Table) else pa.Table.from_pandas(c, preserve_index=False)
                               for c in chunks])
    assert joined.to_pydict() == whole.to_pydict()


def test_flat_form_has_a_row_per_subset_and_every_value():
    flat = tarvane.read_dataframe(SYNOP, flat=True)
    assert len(flat) == 10 and list(flat.columns[:2]) == ["edition", "master_table_number"]
    records = [m.decode() for m in tarvane.read(SYNOP)]
    assert flat["#3#cloudType"].tolist() == pytest.approx([d.get("cloudType", 3)[0] for d in records], nan_ok=True)
    assert flat["#1#stationNumber"].tolist() == [int(d["stationNumber"][0]) for d in records]


def test_header_fields_under_ecCodes_names_equal_tarvane_names():
    names = {"dataCategory": "data_category", "bufrHeaderCentre": "originating_centre",
             "masterTablesVersionNumber": "master_tables_version_number", "numberOfSubsets": "number_of_subsets"}
    df = tarvane.read_dataframe(TEMP, ["stationNumber", "typicalDate", *names, *names.values()])
    for eccodes, ours in names.items():
        assert df[eccodes].tolist() == df[ours].tolist()
    first = next(tarvane.read(TEMP))
    assert df["typicalDate"][0] == f"{first.typical_year:04d}{first.typical_month:02d}{first.typical_day:02d}"


@pytest.mark.parametrize("column,close", [("airTemperatur", "airTemperature"), ("pressur", "pressure"),
                                          ("#2#windSped", "windSpeed")])
def test_a_column_no_message_has_is_a_KeyError_naming_the_closest(column, close):
    with pytest.raises(KeyError, match=close):
        tarvane.read_dataframe(TEMP, ["stationNumber", column])


def test_directories_are_read_recursively(tmp_path):
    (tmp_path / "a" / "b").mkdir(parents=True)
    for folder, name in ((tmp_path, "synop.bufr"), (tmp_path / "a" / "b", "temp.bufr")):
        (folder / name).write_bytes(open(os.path.join(ED3, os.path.basename(SYNOP if "synop" in name else TEMP)),
                                         "rb").read())
    (tmp_path / ".copy.bufr").write_bytes(open(SYNOP, "rb").read())  # hidden: not data
    df = tarvane.read_dataframe(tmp_path, ["stationNumber", "typical_datetime"])
    assert len(df) == 20
    # A glob that matches a directory reads its files, as the command line does.
    assert len(tarvane.read_dataframe(str(tmp_path / "a*"), ["stationNumber"])) == 10
    from tarvane.cli.inputs import Failures, expand

    named = [str(tmp_path), str(tmp_path / "a*")]
    assert [s.name for s in expand(named, Failures(sys.stderr))] == tarvane._sources.expand_source(named)
