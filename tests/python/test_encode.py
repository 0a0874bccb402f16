"""Writing BUFR: corpus messages written again read the same in tarvane and in ecCodes; values by key."""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarvane

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, os.pardir, "data", "corpus")
REFERENCE = os.path.join(HERE, "reference_values.py")
DEBIAN_PYTHON = "/usr/bin/python3"


def _corpus():
    out = []
    for folder in (os.path.join(CORPUS, "messages"), os.path.join(CORPUS, "edition3", "messages")):
        for name in sorted(os.listdir(folder)):
            try:
                for m in tarvane.read(os.path.join(folder, name)):
                    out.append((name, m, m.decode()))
            except ValueError:
                continue
    return out


@pytest.fixture(scope="module")
def corpus():
    return _corpus()


def _records(data):
    return data.descriptor.tolist(), data.value.tobytes(), data.text.tolist(), data.subset.tolist()


# What the other layout cannot hold, refused rather than written wrong.
REFUSALS = {
    True: {None: "differ between subsets, which compressed data cannot hold",
           "pybufrkit-bench__ISND02_LLBD.bufr": "new reference values of 007031 differ between subsets"},
    # A compressed column may read an all-ones value that is not missing;
    # uncompressed, those bits mean missing.
    False: {"pybufrkit-bench__sentinel1.bufr": "value 255 (raw) of 042009"},
}


def _written(corpus, compressed):
    """(name, original, written) for every corpus message, in both forms where asked."""
    out, failed = [], []
    for name, m, d in corpus:
        if compressed and m.number_of_subsets < 2:
            continue
        try:
            out.append((name, m, tarvane.encode(d, compressed=compressed)))
        except ValueError as e:
            refusal = REFUSALS.get(compressed, {})
            expected = refusal.get(name, refusal.get(None))
            if expected is None or expected not in str(e):
                failed.append(f"{name}: {e}")
    return out, failed


@pytest.mark.parametrize("compressed", [None, True, False])
def test_corpus_written_again_decodes_to_the_same_records(corpus, compressed):
    written, failed = _written(corpus, compressed)
    assert not failed
    by_name = {(n, m.offset): d for n, m, d in corpus}
    differ = [name for name, m, out in written
              if _records(tarvane.Message(out).decode()) != _records(by_name[name, m.offset])]
    assert not differ
    assert len(written) > (50 if compressed else 200)


def _reference(paths):
    run = subprocess.run([DEBIAN_PYTHON, REFERENCE, *paths], capture_output=True, text=True, check=True)
    return [json.loads(line) for line in run.stdout.splitlines()]


def _reference_available():
    return os.path.exists(DEBIAN_PYTHON) and subprocess.run(
        [DEBIAN_PYTHON, "-c", "import eccodes"], capture_output=True).returncode == 0


@pytest.mark.skipif(not _reference_available(), reason="Debian's python3-eccodes is not installed")
@pytest.mark.parametrize("compressed", [None, True])
def test_corpus_written_again_reads_the_same_in_ecCodes(corpus, compressed, tmp_path):
    written, _ = _written(corpus, compressed)
    originals, copies = tmp_path / "original.bufr", tmp_path / "written.bufr"
    originals.write_bytes(b"".join(m.bytes for _, m, _ in written))
    copies.write_bytes(b"".join(out for _, _, out in written))
    before, after = _reference([str(originals)]), _reference([str(copies)])
    assert len(before) == len(after) == len(written)
    compared = 0
    differ = []
    for (name, _, _), a, b in zip(written, before, after):
        if "error" in a:
            continue
        if "error" in b or a["subsets"] != b["subsets"] or a["values"] != b["values"]:
            differ.append(name)
        compared += 1
    assert not differ
    assert compared > (50 if compressed else 200)


HEADER_CASES = [
    ({"originating_centre": 98, "typical_year": 2031, "data_category": 2}, None),
    ({"edition": 3}, None),
    ({"typical_second": 256}, (ValueError, "typical_second must be 0 to 255, not 256")),
    ({"originating_center": 98}, (TypeError, "did you mean originating_centre")),
    ({"number_of_subsets": 3}, (TypeError, "unexpected keyword argument 'number_of_subsets'")),
    ({"typical_year": "2020"}, (TypeError, "typical_year must be an int")),
    ({"edition": 5}, (ValueError, "edition must be 3 or 4")),
]


@pytest.mark.parametrize("header, error", HEADER_CASES)
def test_header_fields_are_set_or_refused(corpus, header, error):
    name, m, d = next(c for c in corpus if c[1].edition == 4 and c[1].number_of_subsets > 1)
    if error:
        with pytest.raises(error[0], match=error[1]):
            tarvane.encode(d, **header)
        return
    back = tarvane.Message(tarvane.encode(d, **header))
    for field, value in header.items():
        assert getattr(back, field) == value
    assert back.unexpanded_descriptors == m.unexpanded_descriptors
    assert _records(back.decode()) == _records(d)


def test_one_subset_of_a_message_is_written_alone(corpus):
    _, m, d = next(c for c in corpus if c[1].number_of_subsets > 2)
    third = list(d.subsets())[2]
    back = tarvane.Message(tarvane.encode(third))
    assert back.number_of_subsets == 1
    got = back.decode()
    assert got.value.tobytes() == third.value.tobytes() and got.text.tolist() == third.text.tolist()


# Keys: a decoded subset as a mapping, found by walking its template beside
# its records: sequences and fixed replications unrolled, a key numbered by
# its place in the template (once for a delayed replication's group, used
# or not), a delayed replication's values as lists.
def _keys_of(data, tables, template):
    records = iter(zip(data.value.tolist(), data.text.tolist()))
    names, seen, out = {}, {}, {}

    def put(name, value, path):
        if not path:
            out[name] = value
            return
        entry = out.setdefault(name, [])
        for i in path[:-1]:
            entry.extend([] for _ in range(i + 1 - len(entry)))
            entry = entry[i]
        entry.extend(None for _ in range(path[-1] + 1 - len(entry)))
        entry[path[-1]] = value

    def element(code, place, path, read):
        if place not in names:
            key = tables.get_element(code).abbreviation
            seen[key] = seen.get(key, 0) + 1
            names[place] = f"#{seen[key]}#{key}"
        if not read:
            return None
        value, text = next(records)
        value = text if text is not None else (None if math.isnan(value) else value)
        put(names[place], value, path)
        return value

    def walk(codes, place, path, read):
        i = 0
        while i < len(codes):
            code = codes[i]
            f, x, y = code // 100000, code // 1000 % 100, code % 1000
            if f == 0:
                element(code, (*place, i), path, read)
                i += 1
            elif f == 3:
                walk(tables.get_sequence(code).members, (*place, i), path, read)
                i += 1
            elif f == 1 and y:
                for k in range(y):
                    walk(codes[i + 1:i + 1 + x], (*place, i, k), path, read)
                i += x + 1
            elif f == 1:
                factor = element(codes[i + 1], (*place, i, "factor"), path, read) or 0
                for r in range(max(int(factor), 1)):
                    walk(codes[i + 2:i + 2 + x], (*place, i), [*path, r], read and factor > 0)
                i += x + 2
            else:
                raise AssertionError(f"operator {code} in a key test")

    walk(template, (), [], True)
    return out


def _synop(corpus):
    return [(n, m, d) for n, m, d in corpus if n.startswith("synop2bufr")]


def test_a_synop_is_rebuilt_from_its_keys_and_template(corpus):
    cases = _synop(corpus)
    assert len(cases) >= 5
    for name, m, d in cases:
        keys = [_keys_of(s, d.tables, m.unexpanded_descriptors) for s in list(d.subsets())]
        header = {f: getattr(m, f) for f in ("originating_centre", "originating_subcentre", "data_category",
                                              "master_tables_version_number")}
        out = tarvane.encode(m.unexpanded_descriptors, keys, tables=d.tables, **header)
        back = tarvane.Message(out).decode()
        assert back.descriptor.tolist() == d.descriptor.tolist(), name
        assert back.value.tobytes() == d.value.tobytes(), name
        assert [t.rstrip() if t else t for t in back.text.tolist()] == [
            t.rstrip() if t else t for t in d.text.tolist()], name
        # The typical date comes from the first subset's date keys.
        assert (tarvane.Message(out).typical_year, tarvane.Message(out).typical_hour) == (
            int(keys[0]["#1#year"]), int(keys[0]["#1#hour"]))


@pytest.fixture(scope="module")
def bundled():
    # The tables encode and read choose for a template's default header.
    return tarvane.Message(tarvane.encode([12101], [{}])).decode().tables


# Template 1 01 000 031 001 012101: a temperature per repetition.
REPLICATED = [101000, 31001, 12101]

KEY_ERRORS = [
    ([12101], [{"airTemperatur": 1}], KeyError, "close matches: .*airTemperature"),
    ([12101], [{"#2#airTemperature": 1}], KeyError, "not a key of the template"),
    ([12101], [{"airTemperature": 1e9}], ValueError,
     r"1e\+09 of #1#airTemperature \(012101, .*\) in subset 1 is outside \[0, 655.34\] K"),
    ([12101], [{"airTemperature": 280}, {"airTemperature": -1}], ValueError, r"-1 of #1#airTemperature .* subset 2"),
    ([12101], [{"airTemperature": "warm"}], ValueError, "a text given for a number element"),
    ([12101], [{"airTemperature": [1, 2]}], ValueError, "a list where a single value is written"),
    (REPLICATED, [{"airTemperature": 280.0}], ValueError, "takes a list"),
    (REPLICATED, [{"airTemperature": [280.0], "delayedDescriptorReplicationFactor": 2}], ValueError,
     "gives 1 repetitions where its replication has 2"),
    (REPLICATED, [{"airTemperature": [280.0] * 256}], ValueError, "replication factor 256"),
    ([1015], [{"stationOrSiteName": "x" * 21}], ValueError,
     r"#1#stationOrSiteName \(001015, .* longer than its 20 characters"),
    ([12101], [], ValueError, "at least one subset"),
    ([399999], [{}], ValueError, "399999 was not found in Table D"),
]


@pytest.mark.parametrize("template, subsets, error, text", KEY_ERRORS)
def test_key_form_refuses_what_it_cannot_write(bundled, template, subsets, error, text):
    with pytest.raises(error, match=text):
        tarvane.encode(template, subsets)


def test_key_form_factors_lists_codes_and_defaults(bundled):
    subsets = [{"airTemperature": [280.0, 281.5]}, {"012101": [270.25]}, {}]
    out = tarvane.encode(REPLICATED, subsets)
    m = tarvane.Message(out)
    assert (m.typical_year, m.typical_month, m.typical_day, m.data_category) == (2000, 1, 1, 255)
    d = m.decode()
    got = [(int(s), float(v)) for s, v in zip(d.subset, d.value)]
    assert got == [(1, 2.0), (1, 280.0), (1, 281.5), (2, 1.0), (2, 270.25), (3, 0.0)]
    # Nested replications take nested lists, each inner length its own factor.
    nested = tarvane.encode([103000, 31001, *REPLICATED], [{"airTemperature": [[280.0, 281.0], [282.0]]}])
    assert tarvane.Message(nested).decode().value.tolist() == [2.0, 2.0, 280.0, 281.0, 1.0, 282.0]


# Elements of several widths, scales, references and kinds; values drawn
# inside each one's range at its scale.
ELEMENTS = [1001, 1015, 4001, 5001, 6001, 7030, 10004, 11001, 12101, 20010, 33005]
OPERATORS = [(201130, 201000), (202129, 202000), (207001, 207000)]


def _value(draw, tables, code, widen=0, rescale=0, ref_power=0):
    e = tables.get_element(code)
    if e.unit == "CCITT IA5":
        n = e.width // 8
        return draw(st.text(st.characters(min_codepoint=32, max_codepoint=126), max_size=n))
    width, scale = e.width + widen, e.scale + rescale
    # 2 07 YYY multiplies the reference by 10^YYY as it adds YYY to the scale.
    reference = e.reference * 10 ** ref_power
    raw = draw(st.integers(0, 2 ** width - 2))
    return (raw + reference) / 10 ** scale if scale > 0 else float((raw + reference) * 10 ** -scale)


@st.composite
def templates(draw, tables):
    template, expected = [], []
    for code in draw(st.lists(st.sampled_from(ELEMENTS), min_size=1, max_size=6, unique=True)):
        op = draw(st.sampled_from([None, *OPERATORS]))
        if op and tables.get_element(code).unit not in ("CCITT IA5", "CODE TABLE", "FLAG TABLE", "Code table",
                                                         "Flag table"):
            template += [op[0], code, op[1]]
            y = op[0] % 1000
            change = {201: (y - 128, 0, 0), 202: (0, y - 128, 0), 207: ((10 * y + 2) // 3, y, y)}
            expected.append((code, *change[op[0] // 1000]))
        else:
            template.append(code)
            expected.append((code, 0, 0, 0))
    if draw(st.booleans()):
        template = [100000 + len(template) * 1000, 31001, *template]
    return template, expected


@st.composite
def messages(draw, tables):
    template, expected = draw(templates(tables))
    replicated = template[0] // 100000 == 1
    subsets = []
    for _ in range(draw(st.integers(1, 4))):
        n = draw(st.integers(0, 3)) if replicated else None
        row = {}
        for code, *change in expected:
            key = f"#1#{code:06d}"
            one = lambda: draw(st.one_of(st.none(), st.just(None).map(lambda _: _value(draw, tables, code, *change))))  # noqa: E731
            row[key] = [one() for _ in range(n)] if replicated else one()
        if replicated and n:
            row["#1#delayedDescriptorReplicationFactor"] = n
        subsets.append(row)
    # Compressed data need the same factors in every subset.
    compressible = not replicated or len({len(next(iter(r.values()), [])) for r in subsets}) == 1
    return template, subsets, compressible


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_values_by_key_round_trip(bundled, data):
    template, subsets, compressible = data.draw(messages(bundled))
    for compressed in (False, True) if compressible else (False,):
        out = tarvane.encode(template, subsets, compressed=compressed)
        d = tarvane.Message(out).decode()
        for s, row in zip(list(d.subsets()), subsets):
            for key, given in row.items():
                if key.startswith("#1#delayed"):
                    continue
                rank, code = int(key.split("#")[1]), int(key.split("#")[2])
                picked = [i for i, c in enumerate(s.descriptor.tolist()) if c == code]
                values = given if isinstance(given, list) else [given]
                assert len(picked) == len(values)
                for i, v in zip(picked, values):
                    if isinstance(v, str):
                        assert s.text[i].rstrip() == v.rstrip()
                    elif v is None:
                        assert math.isnan(s.value[i]) or s.text[i] is None
                    else:
                        assert s.value[i] == pytest.approx(v, rel=1e-12, abs=1e-9)


def _dump_json(capsys, *paths):
    from tarvane import cli

    assert cli.main(["dump", "--json", *map(str, paths)]) == 0
    return [json.loads(line) for line in capsys.readouterr().out.splitlines()]


def test_dump_json_and_encode_json_round_trip(capsys, tmp_path):
    from tarvane import cli

    folder = os.path.join(CORPUS, "messages")
    paths = [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.startswith(("synop2bufr", "bufr2geojson"))]
    paths.append(os.path.join(CORPUS, "edition3", "messages", "pybufrkit__tests_benchmark_data_b002_96.bufr"))
    before = _dump_json(capsys, *paths)
    dump = tmp_path / "dump.jsonl"
    dump.write_text("".join(json.dumps(d) + "\n" for d in before))
    assert cli.main(["encode", "--json", str(dump), "-o", str(tmp_path / "out.bufr")]) == 0
    capsys.readouterr()
    after = _dump_json(capsys, tmp_path / "out.bufr")
    assert len(after) == len(before) > 20
    for a, b in zip(before, after):
        for place in ("file", "offset", "length"):
            a.pop(place), b.pop(place)
        assert a == b


def test_encode_rows_of_a_csv_by_template(capsys, tmp_path):
    from tarvane import cli

    rows = tmp_path / "rows.csv"
    rows.write_text("blockNumber,stationOrSiteName,year,month,day,hour,#1#airTemperature,#1#pressure\n"
                    "15,OCNA SUGATAG,2022,3,21,12,271.15,\n15,X,2022,3,21,12,,91010\n")
    out = tmp_path / "out.bufr"
    assert cli.main(["encode", "--template", "307080", "--centre", "242", str(rows), "-o", str(out)]) == 0
    m = next(iter(tarvane.read(str(out))))
    assert (m.originating_centre, m.typical_year, m.typical_hour, m.number_of_subsets) == (242, 2022, 12, 2)
    d = m.decode()
    assert [d.get("airTemperature").tolist()[0], d.get("stationOrSiteName").tolist()] == [271.15, ["OCNA SUGATAG", "X"]]
    assert math.isnan(d["pressure"][0]) and d["pressure"][1] == 91010
    capsys.readouterr()
    assert cli.main(["encode", "--template", "307080", "--centre", "70000", str(rows), "-o", str(out)]) == 1
    assert "originating_centre must be 0 to 65535, not 70000" in capsys.readouterr().err


# Attributes by name: the bitmaps, factors and quality values they imply,
# read back by tarvane and by ecCodes under the same names.
QUALITY = [1001, 101000, 31001, 12101, 222000, 236000, 101000, 31002, 31031, 1031, 1032, 101000, 31002, 33007]
STATISTICS = [*QUALITY, 224000, 237000, 8023, 101000, 31002, 224255]
ATTRIBUTE_CASES = [
    (QUALITY, {"airTemperature": [280.0, 281.0, 282.5], "airTemperature->percentConfidence": [None, 90, 70],
               "blockNumber->percentConfidence": 10},
     {"airTemperature->percentConfidence": [None, 90, 70], "blockNumber->percentConfidence": [10]},
     {"airTemperature->percentConfidence": [90, 70], "blockNumber->percentConfidence": [10]}),
    (STATISTICS, {"airTemperature": [280.0, 281.5], "airTemperature->percentConfidence": [80, 70],
                  "airTemperature->firstOrderStatisticalValue": [0.5, None], "#1#firstOrderStatistics": 9},
     {"airTemperature->percentConfidence": [80, 70], "airTemperature->firstOrderStatisticalValue": [0.5, None]},
     None),
    # Differences: width + 1 bits about a reference of -2^width.
    ([1001, 12101, 225000, 236000, 101000, 31002, 31031, 8024, 101000, 31002, 225255],
     {"airTemperature": 280.0, "airTemperature->differenceStatisticalValue": -1.5, "differenceStatistics": 9},
     {"airTemperature->differenceStatisticalValue": [-1.5]}, None),
    # Substituted values, then the replaced ones through the same bitmap again.
    ([1001, 12101, 223000, 236000, 101000, 31002, 31031, 101000, 31002, 223255, 232000, 237000, 101000, 31002,
      232255],
     {"airTemperature": 280.0, "airTemperature->substitutedValue": 279.0, "airTemperature->replacedRetainedValue": 281.0},
     {"airTemperature->substitutedValue": [279.0], "airTemperature->replacedRetainedValue": [281.0]}, None),
]


def _reference_keys(path, keys):
    script = ("import sys, json, eccodes\nh = eccodes.codes_bufr_new_from_file(open(sys.argv[1], 'rb'))\n"
              "eccodes.codes_set(h, 'unpack', 1)\nout = {}\nfor k in sys.argv[2:]:\n"
              "    v = eccodes.codes_get_array(h, k).tolist()\n"
              "    out[k] = [None if x == eccodes.CODES_MISSING_DOUBLE else x for x in v]\nprint(json.dumps(out))")
    run = subprocess.run([DEBIAN_PYTHON, "-c", script, str(path), *keys], capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


@pytest.mark.parametrize("compressed", [False, True])
@pytest.mark.parametrize("template, row, expected, reference", ATTRIBUTE_CASES)
def test_attributes_by_name_read_the_same_in_tarvane_and_ecCodes(template, row, expected, reference, compressed,
                                                                 tmp_path):
    out = tarvane.encode(template, [row], master_tables_version_number=36, compressed=compressed)
    d = tarvane.Message(out).decode()
    for key, values in expected.items():
        got = [d.get(key, rank=r).tolist()[0] for r in range(1, len(values) + 1)]
        assert [None if math.isnan(v) else v for v in got] == values, key
    if _reference_available():
        (tmp_path / "a.bufr").write_bytes(out)
        # ecCodes lists the designated values only.
        assert _reference_keys(tmp_path / "a.bufr", list(expected)) == (reference or expected)


@pytest.mark.parametrize("template, row, text", [
    ([12101], {"airTemperature->percentConfidence": 1}, "no quality or statistics section giving 'percentConfidence'"),
    (QUALITY, {"airTemperature->percentConfidence->firstOrderStatisticalValue": 1}, "one attribute repeated"),
    (QUALITY, {"airTemperature": [1.0], "airTemperature->percentConfidence": [5], "#1#dataPresentIndicator": [1]},
     "not both"),
    ([12101, 222000, 101001, 31031, 33007], {"airTemperature->percentConfidence": 5, "blockNumber": 1}, "not a key"),
])
def test_attributes_by_name_refused(template, row, text):
    with pytest.raises((KeyError, ValueError), match=text):
        tarvane.encode(template, [row])


def test_attributes_by_name_compressed_and_fixed_bitmap():
    rows = [{"airTemperature": 280.0 + i, "airTemperature->percentConfidence": 50 + i} for i in range(3)]
    out = tarvane.encode([12101, 222000, 101001, 31031, 33007], rows, compressed=True)
    d = tarvane.Message(out).decode()
    assert d.get("airTemperature->percentConfidence").tolist() == [50, 51, 52]
