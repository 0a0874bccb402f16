"""The tarvane command line: ls and dump over good, compressed and damaged files."""

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
from tarvane import _inputs, cli

DATA = Path(__file__).resolve().parents[1] / "data" / "cli"
SYNOP = DATA / "synop2bufr__15015.bin"  # one subset, uncompressed, master version 14
COMPRESSED = DATA / "pybufrkit__g2nd_208.bufr"  # 18 subsets, compressed
# An edition 3 message at 0, a sound 2-subset message at 522, and at 616 a
# message whose section 4 is too short for its descriptors.
MULTI = DATA / "pybufrkit__multi_invalid_messages.bufr"
UEGABE = DATA / "pybufrkit__uegabe.bufr"  # section 3 padded to an even length, which is read
DEFINITIONS = Path(_inputs.ECCODES_DEFINITIONS)
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


def expected(path):
    with gzip.open(DATA / "expected" / f"{path.name}.json.gz", "rt") as f:
        return {m["offset"]: m for m in json.load(f)["messages"]}


def listed(values):
    """The reference decoder's view: elements outside class 31, code and value."""
    return [
        [v["descriptor"], v["value"]]
        for v in values
        if v["descriptor"] < 100000 and (v["descriptor"] // 1000) % 100 != 31
    ]


def assert_same_values(ours, reference):
    assert len(ours) == len(reference)
    for (code, value), (ref_code, ref_value) in zip(ours, reference):
        assert ref_code in (-1, code)
        if ref_value is None or isinstance(ref_value, str):
            assert (value.rstrip(" \0") if isinstance(value, str) else value) == ref_value
        else:
            # Values read at bitmap markers (code -1) are given to six digits.
            tolerance = 1e-5 if ref_code == -1 else 1e-9
            assert math.isclose(value, ref_value, rel_tol=tolerance), (code, value, ref_value)


# --- splitting ----------------------------------------------------------------


def message_bytes():
    return SYNOP.read_bytes()


def bad_length(length):
    return b"BUFR" + length.to_bytes(3, "big") + b"\x04" + b"\0" * 4


@pytest.mark.parametrize(
    "parts, pieces",
    [
        # (buffer parts, [(offset, good?, error)])
        (["", "M", ""], [(0, True, None)]),
        (["junk", "M", "junk", "M", "xy"], [(4, True, None), (232, True, None)]),
        # A length running past the end: reported at its marker, and the
        # message after it is still found.
        (["M", bad_length(5000), "M"], [(0, True, None), (224, False, "section 0 at offset 224 is truncated"), (236, True, None)]),
        (["M", bad_length(0), "M"], [(0, True, None), (224, False, "message is too short to be BUFR"), (236, True, None)]),
        (["M", "BUFR\x00"], [(0, True, None), (224, False, "message is too short to be BUFR")]),
        (["no marker at all"], []),
        ([""], []),
    ],
)
def test_split_pieces_cuts_like_the_decoder_and_goes_on_after_bad_framing(parts, pieces):
    good = message_bytes()
    data = b"".join(good if p == "M" else p.encode("latin-1") if isinstance(p, str) else p for p in parts)
    found = list(_inputs.split_pieces(data))
    assert [(p.offset, p.data is not None, p.error) for p in found] == pieces
    for piece in found:
        if piece.data is not None:
            assert piece.data == good
    # Where the decoder's own splitter succeeds, both cut the same messages.
    if all(p.error is None for p in found):
        assert len(tarvane.parse_all_bytes(data)) == len(found)


def test_split_pieces_does_not_look_for_markers_inside_a_message():
    good = bytearray(message_bytes())
    good[100:104] = b"BUFR"  # inside section 4
    assert [p.offset for p in _inputs.split_pieces(bytes(good) * 2)] == [0, len(good)]


# --- ls -----------------------------------------------------------------------


def test_ls_lists_every_message_and_reports_damaged_ones(capsys):
    status, out, err = run(capsys, "ls", SYNOP, MULTI, UEGABE, COMPRESSED)
    assert status == 1
    lines = out.splitlines()
    assert lines[0].split() == cli.LS_HEADER
    rows = [line.split() for line in lines[1:]]
    assert [(Path(r[0]).name, int(r[1])) for r in rows] == [
        (SYNOP.name, 0),
        (MULTI.name, 522),
        (MULTI.name, 616),
        (UEGABE.name, 0),
        (COMPRESSED.name, 0),
    ]
    # edition, category, centre, sub-centre, master, local, subsets, compressed, descriptors
    assert rows[0][2:] == ["4", "0", "242", "0", "14", "0", "1", "no", "307080"]
    assert rows[3][2:10] == ["4", "2", "78", "0", "13", "0", "1", "no"]
    assert rows[4][2:10] == ["4", "3", "98", "0", "13", "101", "18", "yes"]
    assert rows[4][10:] == [f"{c:06d}" for c in tarvane.parse_all_file(str(COMPRESSED))[0].unexpanded_descriptors]
    assert err.splitlines() == [
        f"tarvane: {MULTI}: offset 0: unsupported BUFR edition 3; only edition 4 is implemented",
    ]


def test_ls_columns_line_up(capsys):
    status, out, _ = run(capsys, "ls", SYNOP, COMPRESSED)
    assert status == 0
    header, synop, compressed = out.splitlines()
    first = f"{tarvane.parse_all_file(str(COMPRESSED))[0].unexpanded_descriptors[0]:06d}"
    assert header.index("DESCRIPTORS") == synop.index("307080") == compressed.index(first)
    assert header.index("OFFSET") + len("OFFSET") == synop.index("0  ") + 1


def test_ls_json_gives_the_header_fields(capsys):
    status, out, err = run(capsys, "ls", "--json", MULTI)
    assert status == 1 and "offset 0" in err
    records = json_lines(out)
    messages = [tarvane.parse_bytes(MULTI.read_bytes()[r["offset"] : r["offset"] + r["length"]]) for r in records]
    assert [r["offset"] for r in records] == [522, 616]
    for record, message in zip(records, messages):
        assert record["file"] == str(MULTI)
        for key, value in record.items():
            if key not in ("file", "offset", "length"):
                assert getattr(message, key) == value, key
        assert record["length"] == message.total_length


@pytest.mark.parametrize(
    "kind, error",
    [("absent", "No such file or directory"), ("directory", "Is a directory"), ("text", "no BUFR message found")],
)
def test_an_unreadable_or_empty_file_is_reported_and_the_rest_is_listed(capsys, tmp_path, kind, error):
    bad = tmp_path / "absent.bufr"
    if kind == "directory":
        bad = tmp_path
    elif kind == "text":
        bad = tmp_path / "text.txt"
        bad.write_text("no messages here")
    status, out, err = run(capsys, "ls", bad, SYNOP)
    assert status == 1
    assert err == f"tarvane: {bad}: {error}\n"
    assert len(out.splitlines()) == 2 and SYNOP.name in out


def test_ls_reads_standard_input(monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(buffer=open(COMPRESSED, "rb")))
    status, out, _ = run(capsys, "ls", "--json", "-")
    assert status == 0
    assert [(r["file"], r["number_of_subsets"]) for r in json_lines(out)] == [("-", 18)]


# --- dump ---------------------------------------------------------------------


@needs_eccodes
@pytest.mark.parametrize("path", [SYNOP, COMPRESSED])
def test_dump_json_matches_the_reference_values_subset_by_subset(capsys, path):
    status, out, err = run(capsys, "dump", "--json", path)
    assert (status, err) == (0, "")
    reference = expected(path)
    for record in json_lines(out):
        subsets = reference[record["offset"]]["subsets"]
        assert record["number_of_subsets"] == len(subsets)
        numbers = [v["subset"] for v in record["values"]]
        assert numbers == sorted(numbers) and set(numbers) == set(range(1, len(subsets) + 1))
        for index, ref in enumerate(subsets, start=1):
            assert_same_values(listed(v for v in record["values"] if v["subset"] == index), ref)
        # Operator records are shown without a value.
        operators = {(v["value"], v["raw"]) for v in record["values"] if v["descriptor"] // 100000 == 2}
        assert operators == ({(None, 0)} if path == COMPRESSED else set())


@needs_eccodes
def test_dump_keeps_uncompressed_subsets_unsplit_and_goes_on_after_a_bad_message(capsys):
    status, out, err = run(capsys, "dump", "--json", MULTI)
    assert status == 1
    assert err.splitlines() == [
        f"tarvane: {MULTI}: offset 0: unsupported BUFR edition 3; only edition 4 is implemented",
        f"tarvane: {MULTI}: offset 616: csv/table parse error: not enough bits while reading "
        "section 4 at bit 568 for width 16 (576 bits available)",
    ]
    (record,) = json_lines(out)
    assert record["offset"] == 522 and record["number_of_subsets"] == 2
    assert {v["subset"] for v in record["values"]} == {None}
    reference = expected(MULTI)[522]["subsets"]
    assert_same_values(listed(record["values"]), reference[0] + reference[1])
    text_status, text, _ = run(capsys, "dump", MULTI)
    assert text_status == 1
    assert "-- subsets 1 to 2, one after another: the boundaries between uncompressed subsets are not known" in text


@needs_eccodes
def test_dump_text_shows_values_meanings_and_tables_in_aligned_columns(capsys):
    status, out, _ = run(capsys, "dump", SYNOP, COMPRESSED)
    assert status == 0
    blocks = out.split("\n\n")
    head = blocks[0].splitlines()
    assert head[0].startswith(f"== {SYNOP}, message at offset 0: 1 subset, uncompressed, data category 0")
    assert head[1] == f"   tables: ecCodes definitions {DEFINITIONS}: bufr/tables/0/wmo/14"
    assert head[2] == "-- subset 1 of 1"
    rows = head[3:]
    assert rows[0].split() == ["001001", "WMO", "BLOCK", "NUMBER", "15"]
    assert any(r.split()[:1] == ["001015"] and r.rstrip().endswith('"OC.SUGATAG"') for r in rows)
    (station_type,) = [r for r in rows if r.startswith("002001")]
    assert station_type.split()[-3:] == ["1", "MANNED", "STATION"]
    assert any(r.startswith("010051") and r.split()[-1] == "missing" for r in rows)
    # The value column starts at one position in every row of the message.
    width = max(len(r.split("  ")[1]) for r in rows)
    assert {len(r) - len(r[8 + width :].lstrip()) for r in rows} == {8 + width + 2}
    compressed = blocks[1].splitlines()
    assert "18 subsets, compressed" in compressed[0]
    titles = [line for line in compressed if line.startswith("-- ")]
    assert titles == [f"-- subset {i} of 18" for i in range(1, 19)]


def test_dump_with_the_bundled_tables_when_eccodes_lacks_the_version(capsys, monkeypatch, tmp_path):
    monkeypatch.setattr(_inputs, "ECCODES_DEFINITIONS", str(tmp_path))
    status, out, _ = run(capsys, "dump", "--json", SYNOP)
    assert status == 0
    (record,) = json_lines(out)
    assert record["tables"].startswith("bundled WMO BUFR4 v45 tables")
    # The CSV tables have no code tables: values without meanings.
    assert {v["meaning"] for v in record["values"]} == {None}
    assert_same_values(listed(record["values"]), expected(SYNOP)[0]["subsets"][0])


def test_dump_with_wmo_csv_tables(capsys):
    status, out, _ = run(capsys, "dump", "--json", "--wmo-csv", tarvane._defaults.BUNDLED_TABLES_DIR, SYNOP)
    assert status == 0
    (record,) = json_lines(out)
    assert record["tables"] == f"WMO BUFR4 CSV tables {tarvane._defaults.BUNDLED_TABLES_DIR} (no code tables)"
    assert_same_values(listed(record["values"]), expected(SYNOP)[0]["subsets"][0])


@needs_eccodes
def test_dump_with_an_eccodes_table_directory(capsys):
    directory = DEFINITIONS / "bufr" / "tables" / "0" / "wmo" / "14"
    status, out, _ = run(capsys, "dump", "--json", "--tables", directory, SYNOP)
    assert status == 0
    (record,) = json_lines(out)
    assert record["tables"] == f"ecCodes table directory {directory}"
    (station_type,) = [v for v in record["values"] if v["descriptor"] == 2001]
    assert (station_type["value"], station_type["raw"], station_type["meaning"]) == (1.0, 1, "MANNED STATION")


def test_dump_reports_a_definitions_root_without_the_version_per_message(capsys, tmp_path):
    status, out, err = run(capsys, "dump", "--definitions", tmp_path, SYNOP, SYNOP)
    assert (status, out) == (1, "")
    missing = tmp_path / "bufr" / "tables" / "0" / "wmo" / "14"
    line = f"tarvane: {SYNOP}: offset 0: csv/table parse error: ecCodes table directory does not exist: {missing}"
    assert err.splitlines() == [line, line]


def test_dump_stops_early_on_tables_that_cannot_load(capsys, tmp_path):
    status, out, err = run(capsys, "dump", "--tables", tmp_path / "nothing", SYNOP)
    assert (status, out) == (1, "")
    assert err.startswith("tarvane: cannot load the tables: ")


def test_table_options_exclude_each_other(capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["dump", "--tables", "a", "--wmo-csv", "b", str(SYNOP)])
    assert exit_.value.code == 2
    assert "not allowed with argument" in capsys.readouterr().err


# --- value formatting ---------------------------------------------------------


def test_print_table_pads_every_column_to_its_widest_cell(capsys):
    cli.print_table([["001001", "A", "15", ""], ["012101", "LONGER NAME", "missing", "X"]], sys.stdout)
    assert capsys.readouterr().out == "001001  A            15\n012101  LONGER NAME  missing  X\n"


def fake_value(raw_value=None, raw=None, raw_text=None, descriptor=12101, name="TEMPERATURE"):
    return types.SimpleNamespace(raw_value=raw_value, raw=raw, raw_text=raw_text, descriptor=descriptor, name=name)


@pytest.mark.parametrize(
    "value, shown",
    [
        (fake_value(283.45, 28345), "283.45"),
        (fake_value(15.0, 15), "15"),
        (fake_value(-0.0, 0), "0"),
        (fake_value(1e16, 1), "1e+16"),
        (fake_value(None, 127), "missing"),
        (fake_value(float("inf"), 1), "inf"),
        (fake_value(1008.0, None, 'A "B"\\\t\x01'), '"A \\"B\\"\\\\\\t\\u{1}"'),
        # A character element whose bytes are all 0xFF: raw_value only numbers it.
        (fake_value(2008.0, None, None), "missing"),
        (fake_value(0.0, 0, descriptor=222000, name="operator"), "missing"),
        (fake_value(None, None, "Manual stop", descriptor=205060, name="characters"), '"Manual stop"'),
        (fake_value(7.0, 7, descriptor=999999), "7"),
    ],
)
def test_value_text(value, shown):
    assert cli.value_text(cli.value_of(value)) == shown


def test_json_writes_non_finite_numbers_as_strings():
    assert [cli.json_number(x) for x in (1.5, float("inf"), float("-inf"))] == [1.5, "inf", "-inf"]
    assert cli.json_number(float("nan")) == "nan"


@pytest.mark.parametrize(
    "subsets, compressed, count, numbers",
    [
        (1, False, 3, [1, 1, 1]),
        (3, True, 6, [1, 1, 2, 2, 3, 3]),
        (2, False, 4, None),
        (0, False, 0, None),
        (0, True, 0, None),
    ],
)
def test_subset_numbers_are_given_only_where_exact(subsets, compressed, count, numbers):
    message = types.SimpleNamespace(number_of_subsets=subsets, compressed_data=compressed)
    assert cli.subset_numbers(message, count) == numbers


# --- the program --------------------------------------------------------------


def child_env():
    """The environment for `python -m tarvane`, importing the package under test."""
    path = [str(Path(tarvane.__file__).resolve().parents[1]), os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in path if p), "COLUMNS": "100"}


@pytest.mark.parametrize("command", [[], ["ls"], ["dump"]])
def test_help_of_each_command(command, tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "tarvane", *command, "--help"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=child_env(),
        check=True,
    )
    assert result.stdout.startswith(f"usage: tarvane {' '.join(command)}".rstrip())
    if command == ["dump"]:
        assert "An uncompressed message of several subsets is shown as one run" in result.stdout
        for option in ("--json", "--tables DIR", "--definitions ROOT", "--wmo-csv DIR"):
            assert option in result.stdout


def test_no_command_is_a_usage_error(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "tarvane"], cwd=tmp_path, env=child_env(), capture_output=True, text=True
    )
    assert result.returncode == 2 and "required: COMMAND" in result.stderr


def test_a_closed_pipe_ends_the_output_quietly(tmp_path):
    reader = subprocess.Popen(
        [sys.executable, "-m", "tarvane", "dump", "--wmo-csv", str(tarvane._defaults.BUNDLED_TABLES_DIR), *[str(SYNOP)] * 50],
        cwd=tmp_path,
        env=child_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert reader.stdout is not None
    reader.stdout.readline()
    reader.stdout.close()
    _, err = reader.communicate(timeout=60)
    assert reader.returncode == 1
    assert err == b""


@needs_eccodes
def test_dump_shows_the_characters_of_2_05_yyy_as_text(capsys):
    # This report ends with 2 05 060: sixty characters of free text.
    path = Path(__file__).resolve().parents[1] / "data" / "corpus" / "messages" / "pybufrkit__IUSK73_AMMC_182300.bufr"
    status, out, _ = run(capsys, "dump", path)
    assert status == 0
    last = out.rstrip().splitlines()[-1]
    assert last.split()[:2] == ["205060", "characters"]
    assert last.rstrip().endswith('"Manual stop"')
