"""`make test-wheels`: each wheel in dist/ into a fresh venv of its own interpreter, then used.

For every wheel: a new venv of the CPython it was built for (from pyenv), the
wheel installed with nothing but that venv on PATH (no compiler, binaries
only), the smoke test from another folder with and (as root, in a private
mount namespace) without the ecCodes definitions, and the module's own test
files under that interpreter.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "tests" / "data" / "corpus" / "messages" / "synop2bufr__15015.bin"
EXPECTED = ROOT / "tests" / "data" / "corpus" / "expected" / "synop2bufr__15015.bin.json.gz"
# The low-level module's tests, and its agreement with the reference decoder.
MODULE_TESTS = ["test_module.py", "test_parse.py", "test_decode.py", "test_descriptor.py", "test_tables.py",
                "test_corpus_agreement.py"]
TEST_REQUIREMENTS = ["pytest", "hypothesis", "pandas"]
# With the lowest versions the package claims: the reading layer and frames.
MIN_DEPS_PYTHON = "cp311"
MIN_DEPS_TESTS = ["test_read.py", "test_frames.py", "test_dask.py"]
COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++", "cmake"]


def interpreter(tag: str) -> Path:
    """The pyenv CPython a cpXY wheel was built for."""
    version = f"{tag[2]}.{tag[3:]}"
    for name in subprocess.run(["pyenv", "versions", "--bare"], capture_output=True, text=True,
                               check=True).stdout.split():
        if name.startswith(version + "."):
            prefix = subprocess.run(["pyenv", "prefix", name], capture_output=True, text=True, check=True)
            return Path(prefix.stdout.strip()) / "bin" / f"python{version}"
    sys.exit(f"no CPython {version} in pyenv for the {tag} wheel")


def run(command: list[str | Path], **kwargs: object) -> None:
    print("+", " ".join(map(str, command)), flush=True)
    subprocess.run(command, check=True, **kwargs)  # type: ignore[call-overload]


def bare_env(venv: Path) -> dict[str, str]:
    """The environment with only the venv on PATH and nothing of this run's import path."""
    drop = {"PYTHONPATH", "PYTHONHOME", "PYTHONSAFEPATH", "VIRTUAL_ENV", "CC", "CXX", "PATH"}
    env = {k: v for k, v in os.environ.items() if k not in drop}
    env["PATH"] = str(venv / "bin")
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def smoke(python: Path, env: dict[str, str], elsewhere: Path) -> None:
    script = ROOT / "tests" / "wheels" / "smoke.py"
    run([python, script, SAMPLE, EXPECTED], cwd=elsewhere, env=env)
    unshare, mount = shutil.which("unshare"), shutil.which("mount")
    if os.geteuid() != 0 or not unshare or not mount or not Path("/usr/share/eccodes").is_dir():
        print("skipped: the run without the ecCodes definitions needs root, unshare and mount", flush=True)
        return
    # /usr/share/eccodes hidden under an empty tmpfs, for this process only.
    hide = f"{mount} -t tmpfs tmpfs /usr/share/eccodes && exec \"$@\""
    run([unshare, "--mount", "/bin/sh", "-c", hide, "sh", python, script, SAMPLE, EXPECTED, "--no-ecCodes"],
        cwd=elsewhere, env=env)


def lowest_claimed() -> list[str]:
    """The package's dependencies and extras pinned to the lowest version each claims."""
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    claims = list(project["dependencies"])
    for extra in ("pandas", "arrow", "dask"):
        claims += project["optional-dependencies"][extra]
    pins = {}
    for claim in claims:
        name, low = re.fullmatch(r"([\w.\[\]-]+)>=([\w.]+)", claim).groups()  # type: ignore[union-attr]
        pins[name] = f"{name}=={low}"  # 2.1 is 2.1.0
    # The Dask tests run a cluster, from the release of the lowest Dask.
    dask = pins["dask[dataframe]"].split("==")[1]
    return [*pins.values(), f"distributed=={dask}"]


def check_wheel(wheel: Path, work: Path, with_tests: bool, min_deps: bool = False) -> None:
    tag = re.search(r"-(cp3\d+)-", wheel.name)
    if not tag:
        sys.exit(f"{wheel.name}: not a CPython wheel")
    venv = work / f"venv-{tag[1]}"
    shutil.rmtree(venv, ignore_errors=True)
    run([interpreter(tag[1]), "-m", "venv", venv])
    env = bare_env(venv)
    found = [c for c in COMPILERS if shutil.which(c, path=env["PATH"])]
    assert not found, f"compilers on the install PATH: {found}"
    python = venv / "bin" / "python"
    pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--only-binary", ":all:"]
    if min_deps:
        run([*pip, wheel, *lowest_claimed(), "pytest", "hypothesis"], env=env)
        run([python, "-m", "pip", "list", "--disable-pip-version-check"], env=env)
    else:
        run([*pip, wheel], env=env)
        run([*pip, *TEST_REQUIREMENTS], env=env)
    smoke(python, env, work)
    if with_tests:
        names = MIN_DEPS_TESTS if min_deps else MODULE_TESTS
        tests = [ROOT / "tests" / "python" / name for name in names]
        run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", "not slow", *tests], cwd=ROOT, env=env)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", type=Path, default=ROOT / "dist")
    parser.add_argument("--no-tests", action="store_true", help="the smoke test only")
    parser.add_argument("--min-deps", action="store_true",
                        help=f"the {MIN_DEPS_PYTHON} wheel with the lowest NumPy, pandas, pyarrow and Dask claimed")
    args = parser.parse_args()
    wheels = sorted(args.dist.glob("tarvane-*.whl"))
    if args.min_deps:
        wheels = [w for w in wheels if f"-{MIN_DEPS_PYTHON}-" in w.name]
    if not wheels:
        sys.exit(f"no wheels in {args.dist}: run make wheels first")
    for wheel in wheels:
        if "manylinux" not in wheel.name:
            sys.exit(f"{wheel.name}: not repaired to a manylinux tag")
    with tempfile.TemporaryDirectory(prefix="tarvane-wheels-") as tmp:
        for wheel in wheels:
            start = time.monotonic()
            print(f"== {wheel.name}", flush=True)
            check_wheel(wheel, Path(tmp), not args.no_tests, args.min_deps)
            print(f"== {wheel.name}: passed in {time.monotonic() - start:.0f} s", flush=True)
    print(f"{len(wheels)} passed, 0 failed")


if __name__ == "__main__":
    main()
