"""The type stubs of `_tarvane`: mypy reads them as intended, and they match the module.

mypy comes from Debian (python3-mypy, built for Debian's Python 3.11); it
checks the source tree's package, where the stubs live. The comparison with
the compiled module runs under the interpreter of the tests.
"""

import ast
import inspect
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tarvane
from tarvane import _tarvane

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "tarvane" / "_tarvane.pyi"
DATA = ROOT / "tests" / "data" / "cli"

Py_TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7
Py_TPFLAGS_BASETYPE = 1 << 10


MYPY_PYTHON = sys.executable


def mypy(tmp_path, *args, version="3.12"):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env["MYPYPATH"] = str(ROOT / "python")
    done = subprocess.run(
        [MYPY_PYTHON, "-m", "mypy", "--strict", "--python-version", version, "--no-error-summary",
         "--cache-dir", str(tmp_path / "mypy-cache"), *args],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    return done.returncode, done.stdout + done.stderr


GOOD = """
from collections.abc import Sequence
from typing import assert_type

import tarvane
from tarvane import (BufrMessage, DecodedValue, Descriptor, ElementDefinition,
                     SequenceDefinition, TableSet)

m = tarvane.parse_file(path="x.bufr")
assert_type(m, BufrMessage)
assert_type(tarvane.parse_bytes(data=b""), BufrMessage)
assert_type(tarvane.parse_all_bytes(data=b""), list[BufrMessage])
assert_type(tarvane.parse_all_file(path="x"), list[BufrMessage])
assert_type(m.total_length + m.section4_data_offset + m.typical_year, int)
assert_type(m.compressed_data, bool)
assert_type(m.observed_data, bool)
assert_type(m.local_section_present, bool)
assert_type(m.unexpanded_descriptors, list[int])

tables = tarvane.default_tables()
assert_type(tables, TableSet)

import datetime, numpy as np, numpy.typing as npt
for message in tarvane.read("x.bufr", tables=tables, errors="skip"):
    assert_type(message, tarvane.Message)
    assert_type(message.typical_second, int | None)
    assert_type(message.datetime, datetime.datetime | None)
    data = message.decode()
    assert_type(data, tarvane.Data)
    assert_type(data.value, npt.NDArray[np.float64])
    assert_type(data.subset, npt.NDArray[np.uint32])
    for view in data.subsets():
        assert_type(view, tarvane.Data)
assert_type(TableSet(), TableSet)
assert_type(TableSet.from_eccodes(path="d"), TableSet)
assert_type(TableSet.from_bufr4_45(path="d"), TableSet)
assert_type(TableSet.from_definitions(path="d", message=m), TableSet)
assert_type(tables.get_element(code=1001), ElementDefinition | None)
assert_type(tables.get_sequence(code=301011), SequenceDefinition | None)
assert_type(tables.get_meaning(code=1003, raw=2), str | None)
assert_type(tables.expand(descriptors=(301011,)), list[int])
assert_type(tables.element_count + tables.sequence_count, int)

class MyTables(TableSet):
    pass

assert_type(MyTables(), MyTables)
assert_type(MyTables.from_eccodes("d"), TableSet)

element = tables.get_element(1001)
if element is not None:
    assert_type(element.name + element.unit + element.abbreviation + element.element_type, str)
    assert_type(element.code + element.scale + element.reference + element.width, int)
sequence = tables.get_sequence(301011)
if sequence is not None:
    assert_type(sequence.members, list[int])
    assert_type(sequence.code, int)

descriptors: Sequence[int] = [1001, 1002]
assert_type(tarvane.expand_descriptors(table_dir="d", descriptors=descriptors), list[int])
values = tarvane.decode_values(data=b"", table_dir="d")
values += tarvane.decode_values_with_tables(data=b"", tables=tables)
values += tarvane.decode_values_with_definitions(data=b"", definitions_root="d")
v = values[0]
assert_type(v, DecodedValue)
assert_type(v.descriptor, int)
assert_type(v.name, str)
assert_type(v.raw_value, float | None)
assert_type(v.raw, int | None)
assert_type(v.raw_text, str | None)
assert_type(v.raw_meaning, str | None)
assert_type(v.data, str | float | None)

d = Descriptor(f=0, x=1, y=1)
assert_type(d, Descriptor)
assert_type(d.f + d.x + d.y + d.fxy, int)
assert_type(Descriptor.from_fxy(code=1001), Descriptor)
"""

# Every line that ends in "# E" must be reported by mypy, and no other.
BAD = """
import pathlib

import tarvane
from tarvane import BufrMessage, Descriptor, TableSet

m = tarvane.parse_file("x")
v = tarvane.decode_values(b"", "d")[0]
t = TableSet()
m.total_length = 5  # E
tarvane.parse_file(pathlib.Path("x"))  # E
tarvane.parse_bytes("text")  # E
tarvane.read("x", errors="ignore")  # E
next(tarvane.read(b"")).decode(tables=3)  # E
tarvane.expand_descriptors("d", "301011")  # E
t.expand([1.5])  # E
number: float = v.raw_value  # E
text: str = v.data  # E
meaning: str = t.get_meaning(1, 2)  # E
t.get_element("001001")  # E
t.get_element(1001).name  # E
Descriptor(0, 1)  # E
Descriptor.from_fxy(code="1")  # E
tarvane.decode_values_with_tables(b"", "d")  # E
TableSet.from_definitions("d", b"")  # E
tarvane.decode_values(data=b"", tables="d")  # E
class Mine(BufrMessage):  # E
    pass
m.unexpanded_descriptors.append(1)
"""


# 3.10 is the oldest interpreter the package supports (typing.assert_type
# came in 3.11, so the usage file is checked for the newer one only).
@pytest.mark.parametrize("version", ["3.10", "3.13"])
def test_mypy_accepts_the_package_on_each_supported_python(tmp_path, version):
    status, output = mypy(tmp_path, str(ROOT / "python" / "tarvane"), version=version)
    assert (status, output) == (0, "")


def test_mypy_accepts_the_package_and_gives_the_documented_types(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    status, output = mypy(tmp_path, "good.py", str(ROOT / "python" / "tarvane"))
    assert (status, output) == (0, "")


def test_mypy_rejects_misuse(tmp_path):
    (tmp_path / "bad.py").write_text(BAD)
    status, output = mypy(tmp_path, "bad.py")
    assert status == 1
    reported = {int(n) for n in re.findall(r"^bad\.py:(\d+): error:", output, re.M)}
    marked = {n for n, line in enumerate(BAD.splitlines(), start=1) if line.endswith("# E")}
    assert reported == marked, output


# --- stubs against the compiled module ----------------------------------------


def parameters(function):
    """Parameter names of a stub function, without self or cls."""
    args = function.args
    assert not args.posonlyargs and not args.kwonlyargs and not args.vararg and not args.kwarg
    names = [a.arg for a in args.args]
    return names[1:] if names[:1] in (["self"], ["cls"]) else names


def decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def read_stub():
    tree = ast.parse(STUB.read_text())
    classes, functions, names = {}, {}, None
    for node in tree.body:
        if isinstance(node, ast.Assign) and ast.unparse(node.targets[0]) == "__all__":
            names = ast.literal_eval(node.value)
        elif isinstance(node, ast.FunctionDef):
            functions[node.name] = (parameters(node), ast.unparse(node.returns))
        elif isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    kind = next(iter(decorators(item) & {"property", "staticmethod"}), "method")
                    members[item.name] = (kind, parameters(item), ast.unparse(item.returns))
            classes[node.name] = ("final" in decorators(node), members)
    return names, classes, functions


STUB_ALL, STUB_CLASSES, STUB_FUNCTIONS = read_stub()


def runtime_parameters(obj):
    return [p.name for p in inspect.signature(obj).parameters.values() if p.name not in ("self", "$self")]


def test_stub_names_are_the_module_names():
    assert STUB_ALL == _tarvane.__all__
    assert set(STUB_CLASSES) | set(STUB_FUNCTIONS) == set(_tarvane.__all__)


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_stub_functions_take_the_module_parameters(name):
    runtime = getattr(_tarvane, name)
    assert STUB_FUNCTIONS[name][0] == runtime_parameters(runtime)
    kinds = {p.kind for p in inspect.signature(runtime).parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize("name", sorted(STUB_CLASSES))
def test_stub_classes_have_the_module_members(name):
    cls = getattr(_tarvane, name)
    final, members = STUB_CLASSES[name]
    assert final == (not cls.__flags__ & Py_TPFLAGS_BASETYPE)
    constructor = members.pop("__new__", None)
    if constructor is None:
        assert cls.__flags__ & Py_TPFLAGS_DISALLOW_INSTANTIATION
    else:
        assert constructor[1] == runtime_parameters(cls)
    runtime = {n: v for n, v in vars(cls).items() if not n.startswith("__")}
    assert sorted(members) == sorted(runtime)
    for member, (kind, params, _) in members.items():
        value = runtime[member]
        if kind == "property":
            assert inspect.isgetsetdescriptor(value), member
        elif kind == "staticmethod":
            assert isinstance(value, staticmethod), member
            assert params == runtime_parameters(getattr(cls, member))
        else:
            assert inspect.ismethoddescriptor(value), member
            assert params == runtime_parameters(getattr(cls, member))


def allows(annotation, value):
    for part in annotation.split(" | "):
        if part == "None" and value is None:
            return True
        if part == "list[int]" and type(value) is list and all(type(x) is int for x in value):
            return True
        if part in ("int", "bool", "str", "float") and type(value).__name__ == part:
            return True
    return False


def sample_objects():
    message = tarvane.parse_file(str(DATA / "synop2bufr__15015.bin"))
    tables = tarvane.default_tables()
    values = tarvane.decode_values_with_tables((DATA / "synop2bufr__15015.bin").read_bytes(), tables)
    elements = [tables.get_element(v.descriptor) for v in values if v.descriptor < 100000]
    return [message, *values, *elements, tables.get_sequence(307080), tables, _tarvane.Descriptor(3, 7, 80)]


def test_property_values_have_the_stub_types():
    seen = set()
    for obj in sample_objects():
        _, members = STUB_CLASSES[type(obj).__name__]
        for member, (kind, _, returns) in members.items():
            if kind == "property":
                value = getattr(obj, member)
                assert allows(returns, value), (type(obj).__name__, member, value)
                seen.add((type(obj).__name__, member, type(value).__name__))
    # Both sides of the optional values were met.
    for member, kinds in [("raw_text", ("str", "NoneType")), ("raw", ("int", "NoneType")), ("raw_value", ("float", "NoneType"))]:
        for kind in kinds:
            assert ("DecodedValue", member, kind) in seen


def test_stubtest_accepts_the_stubs(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--ignore-missing-stub", "tarvane._tarvane"],
        env={
            **os.environ,
            "MYPYPATH": str(ROOT / "python"),
            "PYTHONPATH": str(Path(tarvane.__file__).parents[1]),
        },
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, textwrap.shorten(done.stdout + done.stderr, 4000)
