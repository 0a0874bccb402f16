"""TableSet, ElementDefinition and SequenceDefinition from Python: loaders, queries, expansion."""

import pytest

from bufr_builder import message, write_table_dir
from tarvane import ElementDefinition, SequenceDefinition, TableSet, expand_descriptors, parse_bytes

ELEMENTS = [
    (1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
    (1002, "WMO STATION NUMBER", "Numeric", 0, 0, 10),
    (2, "TABLE B ENTRY", "Numeric", 0, 0, 8),
    (3, "TABLE A ENTRY", "Numeric", 0, 0, 8),
    (1003, "WMO REGION", "Code table", 0, 0, 3),
    (31021, "ASSOCIATED FIELD SIGNIFICANCE", "Code table", 0, 0, 6),
    (31001, "DELAYED REPLICATION FACTOR", "Numeric", 0, 0, 8),
    (12101, "TEMPERATURE", "K", 2, -99999, 16),
]
SEQUENCES = [(300002, [2, 3]), (301001, [1001, 1002]), (301011, [4001, 4002, 4003]), (302000, [])]


@pytest.fixture
def table_dir(tmp_path):
    return write_table_dir(
        tmp_path / "tables", ELEMENTS, SEQUENCES, code_tables={1003: {0: "Region I", 2: "Region  III\tsouth"}}
    )


@pytest.fixture
def tables(table_dir):
    return TableSet.from_eccodes(table_dir)


def test_empty_table_set():
    ts = TableSet()
    assert (ts.element_count, ts.sequence_count) == (0, 0)
    assert repr(ts) == "TableSet(elements=0, sequences=0)"
    assert ts.get_element(1001) is None
    assert ts.get_sequence(301011) is None
    assert ts.get_meaning(1003, 0) is None
    assert ts.expand([]) == []
    assert ts.expand([1001]) == [1001]


def test_loaded_counts_and_element_copy(tables):
    assert (tables.element_count, tables.sequence_count) == (len(ELEMENTS), len(SEQUENCES))
    assert repr(tables) == f"TableSet(elements={len(ELEMENTS)}, sequences={len(SEQUENCES)})"
    e = tables.get_element(12101)
    assert type(e) is ElementDefinition
    got = (e.code, e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width)
    assert got == (12101, "abbr12101", "long", "TEMPERATURE", "K", 2, -99999, 16)
    assert repr(e) == 'ElementDefinition(012101, name="TEMPERATURE")'
    again = tables.get_element(code=12101)
    assert again is not e and again != e and again.name == e.name
    with pytest.raises(AttributeError):
        e.width = 3


def test_sequences_and_fresh_member_lists(tables):
    s = tables.get_sequence(301011)
    assert type(s) is SequenceDefinition
    assert (s.code, s.members) == (301011, [4001, 4002, 4003])
    assert repr(s) == "SequenceDefinition(301011, members=[4001, 4002, 4003])"
    s.members.append(1)
    assert s.members == [4001, 4002, 4003]
    empty = tables.get_sequence(302000)
    assert empty.members == []
    assert repr(empty) == "SequenceDefinition(302000, members=[])"


@pytest.mark.parametrize("code", [1234567, 4294967295, 0, 301011])
def test_absent_codes_give_none(tables, code):
    assert tables.get_element(code) is None


def test_reprs_quote_names_and_show_long_codes(tmp_path):
    d = write_table_dir(
        tmp_path / "t",
        [(1234567, 'say "hi"\\ now', "Numeric", 0, 0, 1), (5, "tab\there", "Numeric", 0, 0, 1)],
        [(1234567, [1, 22])],
    )
    ts = TableSet.from_eccodes(d)
    assert repr(ts.get_element(1234567)) == 'ElementDefinition(1234567, name="say \\"hi\\"\\\\ now")'
    assert repr(ts.get_element(5)) == 'ElementDefinition(000005, name="tab\\there")'
    assert repr(ts.get_sequence(1234567)) == "SequenceDefinition(1234567, members=[1, 22])"


def test_duplicate_definition_replaces(tmp_path):
    d = write_table_dir(tmp_path / "t", [(1001, "FIRST", "Numeric", 0, 0, 7), (1001, "SECOND", "Numeric", 1, 2, 9)])
    ts = TableSet.from_eccodes(d)
    assert ts.element_count == 1
    e = ts.get_element(1001)
    assert (e.name, e.scale, e.reference, e.width) == ("SECOND", 1, 2, 9)


def test_meanings(tables):
    assert tables.get_meaning(1003, 0) == "Region I"
    assert tables.get_meaning(1003, 2) == "Region III south"
    assert tables.get_meaning(1003, 1) is None
    assert tables.get_meaning(1002, 0) is None
    assert tables.get_meaning(code=1003, raw=2**64 - 1) is None
    with pytest.raises(OverflowError):
        tables.get_meaning(1003, -1)
    with pytest.raises(TypeError, match="^argument 'code': 'str' object cannot be interpreted as an integer$"):
        tables.get_meaning("1003", 0)


def test_subclass_and_static_methods(table_dir):
    class MyTables(TableSet):
        pass

    mine = MyTables()
    assert isinstance(mine, TableSet) and mine.element_count == 0
    loaded = MyTables.from_eccodes(table_dir)
    assert type(loaded) is TableSet  # static methods build the base class
    assert type(TableSet.from_eccodes(path=table_dir)) is TableSet


@pytest.mark.parametrize(
    "descriptors,expanded",
    [
        ([], []),
        ((1001,), [1001]),
        ([101002, 1001], [1001, 1001]),
        ([102000, 31001, 1001, 1002], [31001, 1001, 1002]),
        ([201130, 202129, 1001, 203014, 1002], [1001, 203014, 1002]),
        ([301001, 222000], [1001, 1002, 222000]),
        ([204007, 300002, 31021, 101002, 1001, 204000, 1002], [999999, 2, 999999, 3, 31021, 999999, 1001, 999999, 1001, 1002]),
    ],
)
def test_expand(tables, table_dir, descriptors, expanded):
    assert tables.expand(descriptors) == expanded
    assert tables.expand(descriptors=tuple(descriptors)) == expanded
    assert expand_descriptors(table_dir, descriptors) == expanded
    assert expand_descriptors(descriptors=list(descriptors), table_dir=table_dir) == expanded


@pytest.mark.parametrize(
    "descriptors,text",
    [
        ([101000], "unsupported replication descriptor 101000"),
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor or replicated descriptors"),
        ([100000, 1001], "unsupported replication descriptor 100000"),
        ([301999], "descriptor 301999 was not found in Table D"),
        ([400000], "csv/table parse error: invalid descriptor 400000"),
    ],
)
def test_expand_failures(tables, table_dir, descriptors, text):
    with pytest.raises(ValueError) as info:
        tables.expand(descriptors)
    assert info.value.args == (text,)
    with pytest.raises(ValueError) as info:
        expand_descriptors(table_dir, descriptors)
    assert info.value.args == (text,)


def test_expansion_depth_limit(tmp_path):
    # 64 nested sequences below the top level expand; 65 do not; a sequence
    # holding itself hits the limit too.
    chain = [(300000 + i, [300000 + i + 1]) for i in range(1, 65)] + [(300065, [1001]), (300100, [300100])]
    ts = TableSet.from_eccodes(write_table_dir(tmp_path / "t", [], chain))
    assert ts.expand([300002]) == [1001]
    with pytest.raises(ValueError, match="^csv/table parse error: sequence expansion exceeded recursion depth$"):
        ts.expand([300001])
    with pytest.raises(ValueError, match="^csv/table parse error: sequence expansion exceeded recursion depth$"):
        ts.expand([300100])


def test_expand_descriptors_step_order(tmp_path, table_dir):
    missing = str(tmp_path / "missing")
    # table_dir is converted before descriptors, descriptors before the load
    with pytest.raises(TypeError, match="^argument 'table_dir'"):
        expand_descriptors(None, "x")
    with pytest.raises(TypeError, match="^argument 'descriptors': Can't extract `str` to `Vec`$"):
        expand_descriptors(missing, "1001")
    with pytest.raises(ValueError):
        expand_descriptors(missing, [301999])
    with pytest.raises(ValueError, match="^descriptor 301999 was not found in Table D$"):
        expand_descriptors(table_dir, [301999])
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        expand_descriptors(table_dir, [-1])
    assert expand_descriptors(table_dir, []) == []


def test_loader_failures_are_value_errors(tmp_path):
    with pytest.raises(ValueError):
        TableSet.from_eccodes(str(tmp_path / "missing"))
    bad = tmp_path / "bad"
    write_table_dir(bad, [(1001, "X", "Numeric", 0, 0, 7)])
    (bad / "element.table").write_text("001001|a|long|X|Numeric|0|0|7a\n")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(str(bad))
    assert info.value.args == ('csv/table parse error: bad u16 "7a": invalid digit found in string',)
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object cannot be cast as 'str'$"):
        TableSet.from_eccodes(bad)


def test_table_errors_name_the_file_apart_from_the_message(tmp_path):
    missing = tmp_path / "no_sequences"
    write_table_dir(missing, [(1001, "X", "Numeric", 0, 0, 7)])
    (missing / "sequence.def").unlink()
    bad = tmp_path / "bad"
    write_table_dir(bad, [(1001, "X", "Numeric", 0, 0, 7)])
    (bad / "element.table").write_text("001001|a|long|X|Numeric|0|0|7a\n")
    cases = [
        (missing, "io error: No such file or directory (os error 2)", missing / "sequence.def"),
        (bad, 'csv/table parse error: bad u16 "7a": invalid digit found in string', bad / "element.table"),
    ]
    for directory, text, path in cases:
        with pytest.raises(ValueError) as info:
            TableSet.from_eccodes(str(directory))
        assert info.value.args == (text,)
        assert info.value.table_path == str(path)
        with pytest.raises(ValueError) as info:
            expand_descriptors(str(directory), [1001])
        assert info.value.table_path == str(path)
    # Message errors carry no table path.
    with pytest.raises(ValueError) as info:
        parse_bytes(b"")
    assert getattr(info.value, "table_path", None) is None


def write_csv(path, header, rows):
    path.write_text("\n".join([header] + [",".join(f'"{c}"' for c in row) for row in rows]) + "\n", encoding="utf-8")


def test_from_bufr4_45(tmp_path):
    b_header = "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits"
    write_csv(
        tmp_path / "BUFRCREX_TableB_en_01.csv",
        b_header,
        [
            ["01", "Identification", "001001", "WMO block number", "Numeric", "0", "0", "7"],
            ["01", "Identification", "001003", "WMO Region", "Code table", "0", "0", "3"],
            ["01", "Identification", "001015", "Station name", "CCITT IA5", "0", "0", "160"],
        ],
    )
    write_csv(
        tmp_path / "BUFR_TableD_en_01.csv",
        "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2",
        [["01", "Location", "301001", "WMO", "", "001001"], ["01", "Location", "301001", "WMO", "", "001002"]],
    )
    (tmp_path / "bufrcrex_tableb_en_02.csv").write_text("ignored")
    ts = TableSet.from_bufr4_45(str(tmp_path))
    assert (ts.element_count, ts.sequence_count) == (3, 1)
    assert [ts.get_element(c).element_type for c in (1001, 1003, 1015)] == ["long", "code", "string"]
    e = ts.get_element(1015)
    assert (e.abbreviation, e.name, e.unit, e.width) == ("", "Station name", "CCITT IA5", 160)
    assert ts.get_sequence(301001).members == [1001, 1002]
    assert ts.get_meaning(1003, 0) is None
    with pytest.raises(ValueError, match="^io error: No such file or directory \\(os error 2\\)$"):
        TableSet.from_bufr4_45(str(tmp_path / "missing"))


def make_root(tmp_path):
    root = tmp_path / "definitions"
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    write_table_dir(wmo / "38", [(1001, "MASTER", "Numeric", 0, 0, 7), (1002, "MASTER 2", "Numeric", 0, 0, 10)], [(301001, [1001])])
    (wmo / "37").write_text("38\n")  # an alias file naming its sibling
    write_table_dir(wmo / "19", [(1001, "MASTER 19", "Numeric", 0, 0, 7)])
    local = root / "bufr" / "tables" / "0" / "local"
    local_98 = local / "1" / "98" / "0"
    local_98.mkdir(parents=True)
    (local_98 / "element.table").write_text("001001|a|long|LOCAL|Numeric|0|0|7\n005001|b|long|LOCAL ONLY|Numeric|0|0|4\n")
    write_table_dir(local / "19-1" / "98" / "0", [(1001, "LOCAL 19-1", "Numeric", 0, 0, 7)])
    return str(root)


@pytest.mark.parametrize(
    "fields,name_1001,elements",
    [
        (dict(master_version=38, local_version=0), "MASTER", 2),
        (dict(master_version=38, local_version=1, centre=98), "LOCAL", 3),
        (dict(master_version=38, local_version=1, centre=7), "MASTER", 2),
        (dict(master_version=37, local_version=0), "MASTER", 2),
        (dict(master_version=19, local_version=1, centre=98), "LOCAL 19-1", 1),
    ],
)
def test_from_definitions(tmp_path, fields, name_1001, elements):
    root = make_root(tmp_path)
    m = parse_bytes(message([1001], **fields))
    ts = TableSet.from_definitions(root, m)
    assert ts.get_element(1001).name == name_1001
    assert ts.element_count == elements
    assert TableSet.from_definitions(message=m, path=root).element_count == elements


def test_from_definitions_failures(tmp_path):
    root = make_root(tmp_path)
    m = parse_bytes(message([1001], master_version=40))
    with pytest.raises(ValueError) as info:
        TableSet.from_definitions(root, m)
    assert info.value.args == (f"csv/table parse error: ecCodes table directory does not exist: {root}/bufr/tables/0/wmo/40",)
    with pytest.raises(TypeError, match="^argument 'message': 'bytes' object cannot be cast as 'BufrMessage'$"):
        TableSet.from_definitions(root, message([1001]))
