"""The bundled tables against their sources: ecCodes' definitions read by the core's own loaders, the WMO CSV."""

import importlib.util
import os

import pytest

import tarvane
from tarvane import _bundle, _columns

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
DEFINITIONS = "/usr/share/eccodes/definitions"
TABLES = os.path.join(DEFINITIONS, "bufr", "tables")
spec = importlib.util.spec_from_file_location("build_tables", os.path.join(ROOT, "tools", "build_tables.py"))
build_tables = importlib.util.module_from_spec(spec)
spec.loader.exec_module(build_tables)
WMO = build_tables.WMO

needs_eccodes = pytest.mark.skipif(not os.path.isdir(TABLES), reason="ecCodes definitions are not installed")
needs_wmo = pytest.mark.skipif(not os.path.isdir(os.path.join(WMO, "wmo-bufr4-v45")), reason="WMO CSV tables absent")


def _sets(kind):
    return sorted(n for n in _bundle.index()["sets"] if n.split("/")[1] == kind and not n.startswith("0/wmo/4"))


def _bundled(*names):
    return _columns.dump_tables(_bundle.load(names)[0])


def test_every_master_version_from_2_to_45_is_bundled():
    assert _bundle.master_versions(0) == (2, *range(6, 46))


@needs_eccodes
@pytest.mark.parametrize("name", _sets("wmo"))
def test_master_set_is_what_the_core_reads_from_ecCodes(name):
    table, _, version = name.split("/")
    directory = os.path.join(TABLES, table, "wmo", version)
    assert _bundled(name) == _columns.dump_tables(tarvane.TableSet.from_eccodes(directory))


@needs_eccodes
@pytest.mark.parametrize("name", _sets("local"))
def test_local_set_over_its_master_is_what_the_core_reads_from_ecCodes(name):
    table, _, local, centre, subcentre = name.split("/")
    version = 19 if local.startswith("19-") else max(v for v in _bundle.master_versions(int(table)) if v <= 39)
    number = int(local.removeprefix("19-"))
    read = _columns.load_definitions(DEFINITIONS, int(table), version, number, int(centre), int(subcentre))
    assert _bundled(f"{table}/wmo/{version}", name) == _columns.dump_tables(read)


@needs_wmo
@pytest.mark.parametrize("version", range(40, 46))
def test_newer_versions_have_the_wmo_csv_widths_and_sequences(version):
    csv = tarvane.TableSet.from_bufr4_45(os.path.join(WMO, f"wmo-bufr4-v{version}"))
    ours = _bundle.load((f"0/wmo/{version}",))[0]
    assert ours.element_count == csv.element_count and ours.sequence_count == csv.sequence_count
    for code in range(0, 64000):
        theirs = csv.get_element(code)
        if theirs is None:
            continue
        mine = ours.get_element(code)
        assert (mine.width, mine.scale, mine.reference) == (theirs.width, theirs.scale, theirs.reference)
        assert mine.name.casefold() == theirs.name.casefold() and mine.abbreviation
    for code in range(300000, 364000):
        theirs = csv.get_sequence(code)
        assert (ours.get_sequence(code) is None) == (theirs is None)
        if theirs is not None:
            assert ours.get_sequence(code).members == theirs.members


@needs_eccodes
@needs_wmo
def test_newer_versions_keep_ecCodes_keys_units_and_meanings():
    v39 = _bundle.load(("0/wmo/39",))[0]
    v40 = _bundle.load(("0/wmo/40",))[0]
    compared = same_meaning = 0
    for code in range(0, 64000):
        old, new = v39.get_element(code), v40.get_element(code)
        if old is None or new is None:
            continue
        assert new.abbreviation == old.abbreviation
        if (old.width, old.scale) == (new.width, new.scale):
            assert new.unit == old.unit, code
        for figure in range(0, 64):
            before, after = v39.get_meaning(code, figure), v40.get_meaning(code, figure)
            if before is not None and after is not None:
                compared += 1
                same_meaning += before.casefold() == after.casefold()
    # The WMO's own texts, upper-cased as ecCodes writes them; a few were reworded since.
    assert compared > 3000 and same_meaning > 0.9 * compared
    # Flag tables carry bit number -> text, as ecCodes' do.
    assert v40.get_meaning(8001, 5) == "SIGNIFICANT LEVEL, TEMPERATURE AND/OR RELATIVE HUMIDITY"


@needs_eccodes
@needs_wmo
def test_rebuilding_from_the_sources_gives_the_bundle(tmp_path):
    build_tables.main(["--definitions", DEFINITIONS, "--wmo", WMO, "--out", str(tmp_path)])
    for name in ("index.json", "pieces.bin"):
        with open(os.path.join(_bundle.BUNDLE_DIR, name), "rb") as a, open(tmp_path / name, "rb") as b:
            assert a.read() == b.read(), name


@pytest.mark.parametrize("name,want", [
    ("Air temperature", "airTemperature"),
    ("Height of sensor above local ground (or deck of marine platform)",
     "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform"),
    ("Method of sea/water current measurement", "methodOfSeaOrWaterCurrentMeasurement"),
    ("Earth's local radius of curvature", "earthLocalRadiusOfCurvature"),
    ("Accuracy of the position of the centre of the tropical cyclone", "accuracyOfPositionOfCentreOfTropicalCyclone"),
])
def test_key_rule(name, want):
    assert build_tables.derived_key(name) == want


def test_bundle_is_small():
    size = sum(os.path.getsize(os.path.join(_bundle.BUNDLE_DIR, n)) for n in os.listdir(_bundle.BUNDLE_DIR))
    assert size <= 10 << 20


def test_piece_cache_stays_bounded_and_gives_the_same_tables(monkeypatch):
    whole = _bundled("0/wmo/13", "0/local/1/98/0")
    monkeypatch.setattr(_bundle, "PIECE_CACHE_OCTETS", 1 << 20)
    monkeypatch.setattr(_bundle, "_pieces", {})
    monkeypatch.setattr(_bundle, "_pieces_octets", 0)
    for name in ("0/wmo/12", "0/wmo/13", "0/wmo/14"):
        _bundle.load((name,))
        assert 0 < _bundle._pieces_octets <= 1 << 20
    assert _bundled("0/wmo/13", "0/local/1/98/0") == whole
