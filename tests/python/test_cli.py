"""The tarvane command line over real files: ls, dump (text, JSON, GeoJSON), convert.

The corpus tests run over tests/data/corpus, or over the corpus named by
TARVANE_CORPUS (a folder with messages/, expected/ and edition3/).
"""

import gzip
import json
import math
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest

import tarvane
from tarvane import _tables, cli
from tarvane.cli import inputs

TESTS = Path(__file__).resolve().parents[1]
DATA = TESTS / "data" / "cli"
SYNOP = DATA / "synop2bufr__15015.bin"  # one subset, uncompressed, master version 14
COMPRESSED = DATA / "pybufrkit__g2nd_208.bufr"  # 18 subsets, compressed
# Edition 3 at 0 (needs a descriptor the tables lack), a sound 2-subset
# message at 522, and at 616 one whose section 4 is too short.
MULTI = DATA / "pybufrkit__multi_invalid_messages.bufr"
CORPUS = Path(os.environ.get("TARVANE_CORPUS", TESTS / "data" / "corpus"))
EDITION4 = sorted((CORPUS / "messages").iterdir())
EDITION3 = sorted((CORPUS / "edition3" / "messages").iterdir())
DEFINITIONS = Path(_tables.ECCODES_DEFINITIONS)
needs_eccodes = pytest.mark.skipif(
    not (DEFINITIONS / "bufr" / "tables" / "0" / "wmo" / "14").is_dir(),
    reason="Debian's libeccodes-data is not installed",
)


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


def subset_rows(document):
    """{subset: [(descriptor, value), ...]} from a document's groups."""
    rows = {}
    for group in document["groups"]:
        for k, number in enumerate(group["subsets"]):
            rows[number] = [
                (int(code), value[k] if isinstance(value, list) else value)
                for code, value in zip(group["descriptors"], group["values"])
            ]
    return rows


def expected(path):
    folder = path.parent.parent / "expected"
    with gzip.open(folder / f"{path.name}.json.gz", "rt") as f:
        return {m["offset"]: m for m in json.load(f)["messages"]}


def assert_same_values(rows, reference, edition):
    # The reference's filter: elements outside class 31 (and, for edition 3,
    # outside class 33: it keeps those as attributes).
    def listed(code):
        return code < 100000 and (code // 1000) % 100 != 31 and (edition == 4 or (code // 1000) % 100 != 33)

    ours = [(c, v) for c, v in rows if listed(c)]
    reference = [(c, v) for c, v in reference if c == -1 or listed(c)]
    assert len(ours) == len(reference)
    for (code, value), (ref_code, ref_value) in zip(ours, reference):
        assert ref_code in (-1, code)
        if ref_value is None or isinstance(ref_value, str):
            assert (value.rstrip(" \0") if isinstance(value, str) else value) == ref_value, code
        else:
            assert math.isclose(value, ref_value, rel_tol=1e-5 if ref_code == -1 else 1e-9), (code, value, ref_value)


# --- every corpus file ----------------------------------------------------------


@needs_eccodes
@pytest.mark.parametrize("path", EDITION4 + EDITION3, ids=lambda p: p.name)
def test_every_corpus_file_gives_json_and_geojson_with_units_and_subsets(capsys, path):
    messages = list(tarvane.read(path, errors="skip"))
    status, out, err = run(capsys, "dump", "--json", path)
    documents = json_lines(out)
    # Each message is a document or a failure naming the file and offset
    # (as is each damaged piece the reader skips).
    failed = err.splitlines()
    assert all(line.startswith(f"tarvane: {path}: message at offset ") for line in failed)
    failed_offsets = {int(line.split("message at offset ")[1].split(":")[0]) for line in failed}
    offsets = [m.offset for m in messages]
    assert sorted([d["offset"] for d in documents] + [o for o in failed_offsets if o in offsets]) == offsets
    assert status == (1 if failed else 0)
    for document in documents:
        message = next(m for m in messages if m.offset == document["offset"])
        assert document["number_of_subsets"] == message.number_of_subsets
        assert sorted(subset_rows(document)) == list(range(1, message.number_of_subsets + 1))
        for group in document["groups"]:
            assert len(group["values"]) == len(group["descriptors"])
            assert all(len(v) == len(group["subsets"]) for v in group["values"] if isinstance(v, list))
            for code in group["descriptors"]:
                element = document["elements"][code]
                assert set(element) >= {"key", "name", "unit"}
                if int(code) < 100000:
                    assert element["unit"], code
    status, out, _ = run(capsys, "dump", "--geojson", path)
    collection = json.loads(out)
    assert collection["type"] == "FeatureCollection"
    for feature in collection["features"]:
        longitude, latitude = feature["geometry"]["coordinates"]
        assert -180 <= longitude <= 360 and -90 <= latitude <= 90
        assert feature["properties"]["file"] == str(path)


@needs_eccodes
@pytest.mark.parametrize(
    "path, edition",
    [(SYNOP, 4), (COMPRESSED, 4), (MULTI, 4)]
    + [(p, 4) for p in EDITION4 if "ISIA21" in p.name]
    + [(p, 3) for p in EDITION3 if p.name.endswith(("synop_10.bufr", "temp_10.bufr"))],
    ids=lambda p: getattr(p, "name", str(p)),
)
def test_json_values_equal_the_reference_subset_by_subset(capsys, path, edition):
    _, out, _ = run(capsys, "dump", "--json", path)
    documents = json_lines(out)
    reference = expected(path) if path.parent != DATA else expected_cli(path)
    assert documents
    for document in documents:
        subsets = reference[document["offset"]]["subsets"]
        rows = subset_rows(document)
        assert len(rows) == len(subsets)
        for number, ref in enumerate(subsets, start=1):
            assert_same_values(rows[number], ref, edition)


def expected_cli(path):
    with gzip.open(DATA / "expected" / f"{path.name}.json.gz", "rt") as f:
        return {m["offset"]: m for m in json.load(f)["messages"]}


# --- dump -------------------------------------------------------------------------


@needs_eccodes
def test_dump_text_shows_units_meanings_and_every_subset(capsys):
    status, out, _ = run(capsys, "dump", SYNOP, MULTI)
    assert status == 1
    blocks = out.split("\n\n")
    head = blocks[0].splitlines()
    assert head[0] == (f"== {SYNOP}, message 1 at offset 0: 1 subset, uncompressed, edition 4, data category 0, "
                       "centre 242/0, master table 0 version 14, local version 0, 2022-03-21T12:00:00")
    assert head[1] == "   tables: bundled tables: WMO master table 0 version 14"
    assert head[2] == "-- subset 1 of 1"
    rows = {line.split()[0]: line.split() for line in head[3:]}
    assert rows["012101"][1:] == ["airTemperature", "283.45", "K"]
    assert rows["002001"][1:] == ["stationType", "1", "CODE", "TABLE", "MANNED", "STATION"]
    assert rows["001015"][1:3] == ["stationOrSiteName", '"OC.SUGATAG"']
    assert rows["010051"][1:] == ["pressureReducedToMeanSeaLevel", "missing", "Pa"]
    # An uncompressed message of two subsets, shown subset by subset.
    titles = [line for line in blocks[1].splitlines() if line.startswith("-- ")]
    assert titles == ["-- subset 1 of 2", "-- subset 2 of 2"]


@needs_eccodes
@pytest.mark.parametrize(
    "options, subsets, codes",
    [
        (["--subset", "3", "--subset", "5"], [3, 5], None),
        (["--key", "latitude", "--key", "004001"], list(range(1, 19)), {"005001", "004001"}),
        (["--subset", "2", "--key", "satelliteIdentifier"], [2], {"001007"}),
        (["--key", "noSuchKey"], [], set()),
    ],
)
def test_dump_selects_subsets_and_keys(capsys, options, subsets, codes):
    status, out, _ = run(capsys, "dump", "--json", *options, COMPRESSED)
    assert status == 0
    (document,) = json_lines(out)
    rows = subset_rows(document)
    assert sorted(rows) == subsets
    if codes is not None:
        assert {f"{c:06d}" for row in rows.values() for c, _ in row} == codes
        assert set(document["elements"]) == codes


def test_dump_selects_messages_by_number_in_each_file(capsys):
    status, out, err = run(capsys, "dump", "--json", "--message", "2", MULTI, SYNOP)
    assert status == 0 and err == ""
    assert [(d["file"], d["offset"]) for d in json_lines(out)] == [(str(MULTI), 522)]


@needs_eccodes
def test_json_says_units_and_meanings_once_per_message(capsys):
    _, out, _ = run(capsys, "dump", "--json", SYNOP)
    (document,) = json_lines(out)
    assert document["datetime"] == "2022-03-21T12:00:00"
    assert document["elements"]["012101"] == {"key": "airTemperature", "name": "TEMPERATURE/DRY-BULB TEMPERATURE",
                                              "unit": "K"}
    assert document["elements"]["002001"]["meanings"] == {"1": "MANNED STATION"}
    (group,) = document["groups"]
    assert group["subsets"] == [1]
    assert dict(zip(group["descriptors"], group["values"]))["001015"] == "OC.SUGATAG"


@needs_eccodes
def test_geojson_features_carry_position_and_values(capsys):
    status, out, _ = run(capsys, "dump", "--geojson", SYNOP, COMPRESSED)
    assert status == 0
    features = json.loads(out)["features"]
    assert len(features) == 1 + 18
    synop = features[0]
    assert synop["geometry"] == {"type": "Point", "coordinates": [23.94028, 47.77694]}
    properties = synop["properties"]
    assert (properties["file"], properties["offset"], properties["subset"]) == (str(SYNOP), 0, 1)
    assert properties["airTemperature"] == 283.45 and properties["stationOrSiteName"] == "OC.SUGATAG"
    assert isinstance(properties["heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"], list)
    assert [f["properties"]["subset"] for f in features[1:]] == list(range(1, 19))
    assert (properties["WMO_station_id"], properties["units"]["airTemperature"]) == (15015, "K")
    # Each feature's time is its observation's, as the reference decoder reads it from the data section.
    for feature, subset in zip(features[1:], [s for m in expected_cli(COMPRESSED).values() for s in m["subsets"]]):
        year, month, day, hour, minute = (int(next(v for c, v in subset if c == code)) for code in range(4001, 4006))
        second = int(next((v for c, v in subset if c == 4006), 0))
        assert feature["properties"]["datetime"] == f"{year:04d}-{month:02d}-{day:02d}T{hour:02d}:{minute:02d}:{second:02d}"
    # --key narrows the properties, not the features.
    _, out, _ = run(capsys, "dump", "--geojson", "--key", "airTemperature", SYNOP)
    (feature,) = json.loads(out)["features"]
    assert feature["geometry"]["coordinates"] == [23.94028, 47.77694]
    assert set(feature["properties"]) == {"file", "offset", "subset", "datetime", "WMO_station_id", "units",
                                          "airTemperature"}
    assert feature["properties"]["WMO_station_id"] == 15015 and feature["properties"]["units"] == {"airTemperature": "K"}


def test_geojson_finds_positions_by_descriptor_without_keys(capsys):
    # The WMO CSV tables have no keys: 005001/006001 still place the subset.
    _, out, _ = run(capsys, "dump", "--geojson", "--wmo-csv", tarvane._defaults.BUNDLED_TABLES_DIR, SYNOP)
    (feature,) = json.loads(out)["features"]
    assert feature["geometry"]["coordinates"] == [23.94028, 47.77694]
    assert feature["properties"]["012101"] == 283.45


@needs_eccodes
def test_tables_options_and_their_labels(capsys, monkeypatch, tmp_path):
    directory = DEFINITIONS / "bufr" / "tables" / "0" / "wmo" / "14"
    csv = tarvane._defaults.BUNDLED_TABLES_DIR
    for options, label in [
        (["--tables", directory], f"ecCodes table directory {directory}"),
        (["--wmo-csv", csv], f"WMO BUFR4 CSV tables {csv} (no code tables)"),
        (["--definitions", DEFINITIONS], f"ecCodes definitions {DEFINITIONS}: bufr/tables/0/wmo/14"),
    ]:
        status, out, _ = run(capsys, "dump", "--json", *options, SYNOP)
        (document,) = json_lines(out)
        assert (status, document["tables"]) == (0, label)
        assert_same_values(subset_rows(document)[1], expected_cli(SYNOP)[0]["subsets"][0], 4)
    _, out, _ = run(capsys, "dump", "--json", SYNOP)
    assert json_lines(out)[0]["tables"] == "bundled tables: WMO master table 0 version 14"
    # The variable ecCodes itself reads names a root to use instead.
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", f"{tmp_path}:{DEFINITIONS}")
    _, out, _ = run(capsys, "dump", "--json", SYNOP)
    assert json_lines(out)[0]["tables"] == f"ecCodes definitions {DEFINITIONS}: bufr/tables/0/wmo/14"
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", str(tmp_path))
    status, out, err = run(capsys, "dump", "--json", SYNOP)
    assert (status, out) == (1, "") and "ECCODES_DEFINITION_PATH" in err


# --- failures -------------------------------------------------------------------


def test_failures_name_file_and_offset_and_the_rest_is_shown(capsys, tmp_path):
    absent = tmp_path / "absent.bufr"
    text = tmp_path / "text.txt"
    text.write_text("no messages here")
    status, out, err = run(capsys, "ls", absent, text, MULTI, tmp_path / "*.nothing")
    assert status == 1
    assert err.splitlines() == [
        f"tarvane: {tmp_path / '*.nothing'}: no file matches",
        f"tarvane: {absent}: No such file or directory",
        f"tarvane: {text}: no BUFR message found",
    ]
    assert [line.split()[1] for line in out.splitlines()[1:]] == ["0", "522", "616"]
    status, out, err = run(capsys, "dump", "--json", MULTI)
    assert [d["offset"] for d in json_lines(out)] == [522]
    assert [line.split(": ")[1:3] for line in err.splitlines()] == [
        [str(MULTI), "message at offset 0"], [str(MULTI), "message at offset 616"]]


def test_a_table_loading_error_names_the_table_file(capsys, monkeypatch):
    def broken(self, message):
        error = ValueError("line 3: bad width")
        error.table_path = "/tables/element.table"
        raise error

    monkeypatch.setattr(_tables.TableChooser, "choose", broken)
    status, out, err = run(capsys, "dump", "--json", SYNOP)
    assert (status, out) == (1, "")
    assert err == f"tarvane: {SYNOP}: message at offset 0: while loading /tables/element.table: line 3: bad width\n"


def test_unusable_tables_stop_before_reading(capsys, tmp_path):
    status, out, err = run(capsys, "dump", "--tables", tmp_path / "nothing", SYNOP)
    assert (status, out) == (1, "")
    assert err.startswith("tarvane: cannot use the tables: ")


# --- arguments --------------------------------------------------------------------


def test_ls_reads_directories_globs_and_standard_input(capsys, monkeypatch, tmp_path):
    (tmp_path / "a" / "b").mkdir(parents=True)
    (tmp_path / "a" / "b" / "one.bufr").write_bytes(SYNOP.read_bytes())
    (tmp_path / "a" / "notes.txt").write_text("plain notes, left out quietly")
    (tmp_path / "two.bin").write_bytes(COMPRESSED.read_bytes())
    monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(buffer=open(SYNOP, "rb")))
    status, out, err = run(capsys, "ls", tmp_path / "a", tmp_path / "*.bin", "-")
    assert err == ""
    assert status == 0
    header, *rows = [line.split() for line in out.splitlines()]
    assert header == cli.text.LS_HEADER
    assert [(r[0], r[10]) for r in rows] == [
        (str(tmp_path / "a" / "b" / "one.bufr"), "2022-03-21T12:00:00"),
        (str(tmp_path / "two.bin"), "2012-11-02T01:05:49"),
        (str(SYNOP), "2022-03-21T12:00:00"),
    ]


def test_ls_json_gives_the_header_fields(capsys):
    status, out, _ = run(capsys, "ls", "--json", MULTI)
    records = json_lines(out)
    messages = list(tarvane.read(MULTI))
    assert [r["offset"] for r in records] == [m.offset for m in messages] == [0, 522, 616]
    for record, message in zip(records, messages):
        assert (record["edition"], record["number_of_subsets"]) == (message.edition, message.number_of_subsets)
    assert records[0]["international_data_subcategory"] is None  # edition 3


def test_convert_calls_the_converter_or_says_it_is_missing(capsys, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "tarvane._convert", None)
    status, _, err = run(capsys, "convert", SYNOP, "-o", tmp_path / "out.parquet")
    assert status == 1 and "no converter" in err
    calls = []

    def convert(paths, output, *, columns=None, tables=None, errors="raise", threads=None):
        calls.append((paths, output, columns, tables, errors))
        return 1

    monkeypatch.setitem(sys.modules, "tarvane._convert", types.SimpleNamespace(convert=convert))
    status, out, _ = run(capsys, "convert", "--columns", "latitude,airTemperature", DATA, "-o", "out.csv",
                         "--errors", "skip")
    assert (status, out) == (0, "out.csv: 1 rows\n")
    (paths, output, columns, tables, errors), = calls
    assert sorted(paths) == sorted(str(p) for p in DATA.rglob("*") if p.is_file())
    assert (output, columns, tables, errors) == ("out.csv", ["latitude", "airTemperature"], None, "skip")


@needs_eccodes
def test_convert_writes_a_table_file(capsys, tmp_path):
    pytest.importorskip("pyarrow")
    # The option repeated, before the files: it takes one value and leaves the files alone.
    status, out, err = run(capsys, "convert", "--columns", "latitude", "--columns", "longitude", SYNOP, COMPRESSED,
                           "-o", tmp_path / "out.csv")
    assert (status, err) == (0, "")
    rows = int(out.split(": ")[1].split()[0])
    assert rows >= 19 and len((tmp_path / "out.csv").read_text().splitlines()) == rows + 1


def test_progress_bar_only_on_a_terminal(capsys, monkeypatch):
    pytest.importorskip("tqdm")
    monkeypatch.setattr(inputs, "_is_terminal", lambda stream: stream is sys.stderr)
    _, _, err = run(capsys, "ls", SYNOP, COMPRESSED)
    assert "/2 [" in err
    monkeypatch.setattr(inputs, "_is_terminal", lambda stream: False)
    assert run(capsys, "ls", SYNOP, COMPRESSED)[2] == ""


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


@pytest.mark.parametrize("argv, status", [([], 2), (["dump", "--subset", "0", str(SYNOP)], 2),
                                          (["dump", "--json", "--geojson", str(SYNOP)], 2)])
def test_usage_errors_exit_2(argv, status, tmp_path):
    result = subprocess.run([sys.executable, "-m", "tarvane", *argv], cwd=tmp_path, env=child_env(),
                            capture_output=True, text=True)
    assert result.returncode == status and "usage: tarvane" in result.stderr


def test_a_closed_pipe_ends_the_output_quietly(tmp_path):
    reader = subprocess.Popen(
        [sys.executable, "-m", "tarvane", "dump", "--wmo-csv", str(tarvane._defaults.BUNDLED_TABLES_DIR),
         *[str(SYNOP)] * 50],
        cwd=tmp_path, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    reader.stdout.readline()
    reader.stdout.close()
    _, err = reader.communicate(timeout=60)
    assert (reader.returncode, err) == (1, b"")


@pytest.mark.parametrize("form", ["--json", "--geojson", None])
def test_dump_imports_no_frame_library(form):
    # Start-up is most of a short dump's time: pandas and pyarrow cost more than the decoding.
    argv = ["dump", *([form] if form else []), str(SYNOP), str(COMPRESSED)]
    code = ("import sys, contextlib, io\nfrom tarvane import cli\n"
            f"with contextlib.redirect_stdout(io.StringIO()):\n    status = cli.main({argv!r})\n"
            "print(status, sorted(m for m in ('pandas', 'pyarrow', 'dask') if m in sys.modules))")
    built = Path(tarvane.__file__).resolve().parents[1]
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": str(built), "ASAN_OPTIONS": "detect_leaks=0"})
    assert out.stdout.split("\n")[0] == "0 []"
