"""The package as users get it: bundled default tables, exports, and a real install.

The slow tests build an sdist and, from it, a wheel with `python -m build`
(isolated, so the build requirements come from PyPI; about two minutes on two
cores), install the wheel into a fresh venv and use it from another folder.
Deselect them with -k "not slow".
"""

import gzip
import json
import math
import os
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import tarvane
from tarvane import _defaults, _tarvane

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data" / "cli"
SYNOP = DATA / "synop2bufr__15015.bin"


def reference_values(path):
    """The elements outside class 31 of the one subset of a message, from the reference decoder."""
    with gzip.open(DATA / "expected" / f"{path.name}.json.gz", "rt") as f:
        (message,) = json.load(f)["messages"]
    (subset,) = message["subsets"]
    return subset


def listed(values):
    return [
        [v.descriptor, v.raw_text.rstrip() if v.raw_text is not None else v.raw_value]
        for v in values
        if v.descriptor < 100000 and (v.descriptor // 1000) % 100 != 31
    ]


def test_package_exports_the_module_and_default_tables():
    assert tarvane.__all__[:15] == [*_tarvane.__all__, "default_tables"]
    assert {"read", "Message", "Data"} <= set(tarvane.__all__)
    assert len(_tarvane.__all__) == 14  # the module's own list is not extended
    for name in _tarvane.__all__:
        assert getattr(tarvane, name) is getattr(_tarvane, name)
    for name in tarvane.__all__:
        assert getattr(tarvane, name) is not None
    with pytest.raises(AttributeError):
        tarvane.no_such_name


def test_default_tables_are_the_bundled_wmo_tables():
    tables = tarvane.default_tables()
    assert isinstance(tables, tarvane.TableSet)
    assert tables.element_count > 1000 and tables.sequence_count > 300
    assert tables.get_element(1001).name == "WMO block number"
    assert tables.get_sequence(301011).members == [4001, 4002, 4003]
    assert tables.get_meaning(2001, 1) is None  # the CSV edition has no code tables
    # A new set every call: nothing is kept between calls.
    assert tarvane.default_tables() is not tables
    directory = Path(_defaults.BUNDLED_TABLES_DIR)
    assert directory.parent.parent == Path(tarvane.__file__).parent
    assert (directory / "LICENSE").is_file()


def test_default_tables_decode_a_wmo_message_with_nothing_else():
    values = tarvane.decode_values_with_tables(SYNOP.read_bytes(), tarvane.default_tables())
    ours = listed(values)
    reference = reference_values(SYNOP)
    assert [code for code, _ in ours] == [code for code, _ in reference]
    for (code, value), (_, expected) in zip(ours, reference):
        if isinstance(expected, float):
            assert math.isclose(value, expected, rel_tol=1e-9), code
        else:
            assert value == expected, code


@pytest.mark.parametrize("state", ["missing", "empty", "table B only"])
def test_default_tables_refuse_a_damaged_installation(monkeypatch, tmp_path, state):
    directory = tmp_path / "wmo-bufr4-v45"
    if state != "missing":
        directory.mkdir()
    if state == "table B only":
        source = Path(tarvane.__file__).parent / "tables" / "wmo-bufr4-v45" / "BUFRCREX_TableB_en_01.csv"
        (directory / source.name).write_bytes(source.read_bytes())
    monkeypatch.setattr(_defaults, "BUNDLED_TABLES_DIR", directory)
    with pytest.raises(FileNotFoundError, match="reinstall tarvane") as error:
        tarvane.default_tables()
    assert str(directory) in str(error.value)


# --- building and installing --------------------------------------------------


def clean_env(**extra):
    """The environment without this test run's import path, so nothing leaks in."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSAFEPATH", "VIRTUAL_ENV")}
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    env.update(extra)
    return env


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    """An sdist and a wheel built the standard way, the wheel from the sdist."""
    if not (ROOT / "pyproject.toml").is_file():
        pytest.skip("not a source checkout")
    out = tmp_path_factory.mktemp("dist")
    done = subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)],
        env=clean_env(), capture_output=True, text=True, timeout=1800,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    (sdist,) = out.glob("tarvane-*.tar.gz")
    (wheel,) = out.glob("tarvane-*.whl")
    return sdist, wheel


def test_slow_sdist_holds_the_sources_and_not_the_builds(dists):
    sdist, _ = dists
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in (
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "src/message/message.cpp",
        "src/lib/module.cpp",
        "python/tarvane/__init__.py",
        "python/tarvane/_tarvane.pyi",
        "python/tarvane/py.typed",
        "python/tarvane/tables/wmo-bufr4-v45/LICENSE",
        "python/tarvane/tables/wmo-bufr4-v45/BUFRCREX_TableB_en_01.csv",
    ):
        assert needed in names
    assert not [n for n in names if n.startswith(("build", "tests/", "fuzz/", ".venv")) or n.endswith(".so")]


INSTALLED_CHECK = """
import json, sys, tarvane
values = tarvane.decode_values_with_tables(open(sys.argv[1], "rb").read(), tarvane.default_tables())
print(json.dumps({
    "package": tarvane.__file__,
    "module": tarvane._tarvane.__file__,
    "path": sys.path,
    "values": len(values),
    "first": [values[0].descriptor, values[0].raw_value],
}))
"""


def test_slow_wheel_installs_into_a_fresh_venv_and_works_from_anywhere(dists, tmp_path):
    """The wheel installed with pip into a new venv, then used from outside the tree."""
    _, wheel = dists
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, env=clean_env())
    python = venv / "bin" / "python"
    site = Path(
        subprocess.run(
            [python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
            capture_output=True, text=True, check=True, env=clean_env(),
        ).stdout.strip()
    )
    install = subprocess.run(
        [python, "-m", "pip", "install", "--disable-pip-version-check", str(wheel)],
        cwd=tmp_path, env=clean_env(), capture_output=True, text=True, timeout=1200,
    )
    assert install.returncode == 0, install.stdout[-3000:] + install.stderr[-3000:]

    # What was installed: a platform wheel with the module, stubs and tables.
    package = site / "tarvane"
    modules = list(package.glob("_tarvane.cpython-312*.so"))
    assert len(modules) == 1
    for name in ("__init__.py", "cli/__init__.py", "_read.py", "_defaults.py", "__main__.py", "_tarvane.pyi", "py.typed"):
        assert (package / name).is_file(), name
    tables = package / "tables" / "wmo-bufr4-v45"
    assert (tables / "LICENSE").is_file()
    assert sorted(p.name for p in tables.glob("*.csv")) == sorted(p.name for p in Path(_defaults.BUNDLED_TABLES_DIR).glob("*.csv"))
    (dist_info,) = site.glob("tarvane-*.dist-info")
    wheel = (dist_info / "WHEEL").read_text()
    assert "Root-Is-Purelib: false" in wheel
    assert "Tag: cp312-cp312-linux_" in wheel and "manylinux" not in wheel
    assert "tarvane = tarvane._command:main" in (dist_info / "entry_points.txt").read_text()

    # Used from outside the source tree.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    check = subprocess.run(
        [python, "-c", INSTALLED_CHECK, str(SYNOP)],
        cwd=elsewhere, env=clean_env(), capture_output=True, text=True, check=True,
    )
    seen = json.loads(check.stdout)
    assert Path(seen["package"]).parent == package and Path(seen["module"]).parent == package
    assert not [p for p in seen["path"] if "dist-packages" in p or str(ROOT) in p]
    assert seen["values"] == len(tarvane.decode_values_with_tables(SYNOP.read_bytes(), tarvane.default_tables()))
    assert seen["first"] == [1001, 15.0]

    listing = subprocess.run(
        [venv / "bin" / "tarvane", "ls", str(SYNOP)], cwd=elsewhere, env=clean_env(), capture_output=True, text=True
    )
    assert listing.returncode == 0 and listing.stderr == ""
    assert listing.stdout.splitlines()[1].split()[:2] == [str(SYNOP), "0"]
    version = subprocess.run(
        [python, "-m", "tarvane", "--version"], cwd=elsewhere, env=clean_env(), capture_output=True, text=True
    )
    assert version.stdout.strip() == "tarvane 0.1.0"


def test_import_from_the_project_root_finds_the_built_package():
    """README's import line, run from the root: nothing there shadows the build."""
    built = Path(_tarvane.__file__).resolve().parents[1]
    done = subprocess.run(
        [sys.executable, "-c", "import tarvane, tarvane._tarvane; print(tarvane.__file__)"],
        cwd=ROOT, env=clean_env(PYTHONPATH=str(built)), capture_output=True, text=True,
    )
    assert done.returncode == 0, done.stderr
    assert Path(done.stdout.strip()).parent == built / "tarvane"


def _imports_of(path: Path, package: str) -> set[str]:
    """The package modules a module imports, at any depth of its code, leaving out
    what only type checkers read (``if TYPE_CHECKING:``)."""
    import ast

    tree = ast.parse(path.read_text())
    found: set[str] = set()

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, ast.ImportFrom) and node.level:
            here = package.split(".")
            parent = ".".join(here[: len(here) - node.level + 1])
            target = f"{parent}.{node.module}" if node.module else parent
            found.add(target)
            if not node.module:
                found.update(f"{parent}.{alias.name}" for alias in node.names)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


def test_the_package_modules_import_one_another_in_layers():
    root = Path(tarvane.__file__).parent
    graph: dict[str, set[str]] = {}
    for path in root.rglob("*.py"):
        parts = path.relative_to(root.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        package = name if parts[-1] == "__init__" else ".".join(parts[:-1])
        graph[name] = {m for m in _imports_of(path, package) if m != name}
    assert {"tarvane._data", "tarvane._frames", "tarvane._read", "tarvane._tables"} <= graph.keys()
    # Depth-first: a module met again while it is still being followed closes a circle.
    state: dict[str, int] = {}

    def follow(module: str, trail: list[str]) -> None:
        state[module] = 1
        for target in sorted(graph.get(module, ())):
            assert state.get(target) != 1, " -> ".join([*trail, module, target])
            if target in graph and target not in state:
                follow(target, [*trail, module])
        state[module] = 2

    for module in sorted(graph):
        if module not in state:
            follow(module, [])
