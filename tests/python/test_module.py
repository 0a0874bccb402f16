"""Registration, documentation and the shared argument rules of every entry point."""

import pytest

import tarvane
from tarvane import _tarvane

NAMES = [
    "BufrMessage",
    "DecodedValue",
    "Descriptor",
    "ElementDefinition",
    "SequenceDefinition",
    "TableSet",
    "parse_bytes",
    "parse_file",
    "parse_all_bytes",
    "parse_all_file",
    "expand_descriptors",
    "decode_values",
    "decode_values_with_tables",
    "decode_values_with_definitions",
]

FUNCTIONS = {
    "parse_bytes": ["data"],
    "parse_file": ["path"],
    "parse_all_bytes": ["data"],
    "parse_all_file": ["path"],
    "expand_descriptors": ["table_dir", "descriptors"],
    "decode_values": ["data", "table_dir"],
    "decode_values_with_tables": ["data", "tables"],
    "decode_values_with_definitions": ["data", "definitions_root"],
}

METHODS = {
    ("TableSet", "get_element"): "($self, code)",
    ("TableSet", "get_sequence"): "($self, code)",
    ("TableSet", "get_meaning"): "($self, code, raw)",
    ("TableSet", "expand"): "($self, descriptors)",
    ("TableSet", "from_eccodes"): "(path)",
    ("TableSet", "from_bufr4_45"): "(path)",
    ("TableSet", "from_definitions"): "(path, message)",
    ("Descriptor", "from_fxy"): "(code)",
}


def test_all_lists_the_fourteen_names_in_registration_order():
    assert _tarvane.__all__ == NAMES
    assert [n for n in vars(_tarvane) if not n.startswith("__")] == NAMES
    assert _tarvane.__doc__ == ""


def test_package_reexports_the_module():
    # the package may add pure-Python names after the module's own
    assert tarvane.__all__[: len(NAMES)] == NAMES
    assert _tarvane.__all__ == NAMES
    for name in NAMES:
        assert getattr(tarvane, name) is getattr(_tarvane, name)


@pytest.mark.parametrize("name", NAMES[:6])
def test_type_names_are_bare(name):
    cls = getattr(_tarvane, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "tarvane._tarvane"


@pytest.mark.parametrize("name,params", FUNCTIONS.items())
def test_function_documentation_is_the_signature_alone(name, params):
    fn = getattr(_tarvane, name)
    assert fn.__text_signature__ == "(" + ", ".join(params) + ")"
    assert fn.__doc__ is None
    assert fn.__name__ == name


@pytest.mark.parametrize("owner,name", METHODS)
def test_method_documentation_is_the_signature_alone(owner, name):
    method = getattr(getattr(_tarvane, owner), name)
    assert method.__text_signature__ == METHODS[(owner, name)]
    assert method.__doc__ is None


def test_class_signatures():
    assert _tarvane.Descriptor.__text_signature__ == "(f, x, y)"
    assert _tarvane.TableSet.__text_signature__ == "()"
    for name in ["BufrMessage", "DecodedValue", "ElementDefinition", "SequenceDefinition"]:
        assert getattr(_tarvane, name).__text_signature__ is None


@pytest.mark.parametrize("name", ["BufrMessage", "DecodedValue", "ElementDefinition", "SequenceDefinition"])
def test_classes_without_constructor_cannot_be_instantiated(name):
    with pytest.raises(TypeError):
        getattr(_tarvane, name)()


@pytest.mark.parametrize("name,params", FUNCTIONS.items())
def test_missing_argument_names_function_and_parameter(name, params):
    fn = getattr(_tarvane, name)
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing required argument '{params[0]}' \(pos 1\)$"):
        fn()
    if len(params) == 2:
        with pytest.raises(TypeError, match=rf"^{name}\(\) missing required argument '{params[1]}' \(pos 2\)$"):
            fn(b"x")


@pytest.mark.parametrize("name,params", FUNCTIONS.items())
def test_surplus_and_unexpected_arguments(name, params):
    fn = getattr(_tarvane, name)
    n = len(params)
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes {n} positional arguments? but {n + 1} were given$"):
        fn(*([None] * (n + 1)))
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'bogus'$"):
        fn(*([None] * n), bogus=1)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got multiple values for argument '{params[0]}'$"):
        fn(*([None] * n), **{params[0]: None})


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: _tarvane.TableSet(1), r"^TableSet\(\) takes 0 positional arguments but 1 was given$"),
        (lambda: _tarvane.TableSet(path="x"), r"^TableSet\(\) got an unexpected keyword argument 'path'$"),
        (lambda: _tarvane.Descriptor(0, 1), r"^Descriptor\(\) missing required argument 'y' \(pos 3\)$"),
        (lambda: _tarvane.TableSet().get_element(), r"^TableSet.get_element\(\) missing required argument 'code'"),
        (lambda: _tarvane.TableSet().get_meaning(1, 2, 3), r"^TableSet.get_meaning\(\) takes 2 positional"),
        (lambda: _tarvane.TableSet.from_eccodes(), r"^TableSet.from_eccodes\(\) missing required argument 'path'"),
        (lambda: _tarvane.Descriptor.from_fxy(cod=1), r"^Descriptor.from_fxy\(\) got an unexpected keyword"),
    ],
)
def test_argument_count_errors_of_methods_and_constructors(call, message):
    with pytest.raises(TypeError, match=message):
        call()


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: _tarvane.parse_bytes("x"), "argument 'data': 'str' object cannot be cast as 'bytes'"),
        (lambda: _tarvane.parse_bytes(bytearray(b"x")), "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
        (lambda: _tarvane.parse_all_bytes(memoryview(b"x")), "argument 'data': 'memoryview' object cannot be cast as 'bytes'"),
        (lambda: _tarvane.parse_file(b"/tmp"), "argument 'path': 'bytes' object cannot be cast as 'str'"),
        (lambda: _tarvane.parse_all_file(None), "argument 'path': 'NoneType' object cannot be cast as 'str'"),
        (lambda: _tarvane.decode_values(b"", 1), "argument 'table_dir': 'int' object cannot be cast as 'str'"),
        (lambda: _tarvane.decode_values_with_tables(b"", "t"), "argument 'tables': 'str' object cannot be cast as 'TableSet'"),
        (lambda: _tarvane.decode_values_with_definitions(b"", 2.0), "argument 'definitions_root': 'float' object cannot be cast as 'str'"),
        (lambda: _tarvane.expand_descriptors(1, []), "argument 'table_dir': 'int' object cannot be cast as 'str'"),
        (lambda: _tarvane.expand_descriptors("d", "301011"), "argument 'descriptors': Can't extract `str` to `Vec`"),
        (lambda: _tarvane.expand_descriptors("d", 5), "argument 'descriptors': 'int' object cannot be cast as 'Sequence'"),
        (lambda: _tarvane.expand_descriptors("d", {1: 2}), "argument 'descriptors': 'dict' object cannot be cast as 'Sequence'"),
        (lambda: _tarvane.expand_descriptors("d", [1, "2"]), "argument 'descriptors': 'str' object cannot be interpreted as an integer"),
        (lambda: _tarvane.TableSet.from_definitions("d", "m"), "argument 'message': 'str' object cannot be cast as 'BufrMessage'"),
        (lambda: _tarvane.TableSet.from_definitions(1, "m"), "argument 'path': 'int' object cannot be cast as 'str'"),
        (lambda: _tarvane.TableSet().get_element("001001"), "argument 'code': 'str' object cannot be interpreted as an integer"),
        (lambda: _tarvane.TableSet().get_meaning(1, 2.5), "argument 'raw': 'float' object cannot be interpreted as an integer"),
        (lambda: _tarvane.Descriptor(0, None, 1), "argument 'x': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: _tarvane.Descriptor(256, 0, 0), OUT_OF_RANGE),
        (lambda: _tarvane.Descriptor(0, -1, 0), OUT_OF_RANGE),
        (lambda: _tarvane.Descriptor.from_fxy(2**32), OUT_OF_RANGE),
        (lambda: _tarvane.Descriptor.from_fxy(-1), OUT_OF_RANGE),
        (lambda: _tarvane.TableSet().get_element(2**63 - 1), OUT_OF_RANGE),
        (lambda: _tarvane.TableSet().get_sequence(-(2**63)), OUT_OF_RANGE),
        (lambda: _tarvane.expand_descriptors("d", [1, -1]), OUT_OF_RANGE),
        (lambda: _tarvane.TableSet().expand((2**32,)), OUT_OF_RANGE),
        # beyond a signed 64-bit integer the interpreter's own texts stand
        (lambda: _tarvane.TableSet().get_element(2**64), "Python int too large to convert to C long"),
        (lambda: _tarvane.TableSet().get_meaning(1, -1), "can't convert negative int to unsigned"),
        (lambda: _tarvane.TableSet().get_meaning(1, 2**64), "int too big to convert"),
    ],
)
def test_integer_range_errors_are_overflow_errors_without_prefix(call, message):
    with pytest.raises(OverflowError) as info:
        call()
    assert str(info.value) == message


def test_integers_accept_index_and_bool():
    class Code:
        def __index__(self):
            return 1001

    assert _tarvane.Descriptor.from_fxy(Code()).fxy == 1001
    assert _tarvane.Descriptor(True, False, True).fxy == 100001
    assert _tarvane.TableSet().get_meaning(Code(), 2**64 - 1) is None


def test_str_and_bytes_subclasses_are_accepted():
    class Text(str):
        pass

    class Data(bytes):
        pass

    with pytest.raises(ValueError, match="^message is too short to be BUFR$"):
        _tarvane.parse_bytes(Data(b"BUF"))
    with pytest.raises(OSError, match="No such file or directory"):
        _tarvane.parse_file(Text("/nonexistent/tarvane"))


def test_lone_surrogate_path_raises_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        _tarvane.parse_file("/tmp/\udcff")


def test_keywords_work_everywhere(tmp_path):
    with pytest.raises(ValueError, match="^missing BUFR marker$"):
        _tarvane.decode_values_with_tables(tables=_tarvane.TableSet(), data=b"")
    assert _tarvane.parse_all_bytes(data=b"") == []
    assert _tarvane.Descriptor(y=3, x=2, f=1).fxy == 102003
    assert _tarvane.TableSet().get_meaning(raw=1, code=2) is None
