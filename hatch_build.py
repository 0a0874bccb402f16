"""Wheel build hook: compile `_tarvane` with the project's CMake build.

The extension module is built by the same CMakeLists.txt as every other
build (tests, benchmarks and fuzzers switched off) and added to the wheel
beside the pure-Python package, which makes the wheel a platform wheel for
the interpreter that runs the build.

The CMake build directory is kept (build-wheel/<interpreter> in the source
tree by default) so that a rebuild only compiles what changed. pip asks the
backend for a wheel twice (once for its metadata, once to install), and the
second build then costs seconds instead of a full compile.

Environment:
  TARVANE_BUILD_DIR           the CMake build directory to use instead
  CMAKE_BUILD_PARALLEL_LEVEL  compile jobs (default: one per processor)
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Any

from hatchling.builders.hooks.plugin.interface import BuildHookInterface


def platform_tag() -> str:
    """The wheel tag of this interpreter and platform, e.g. cp312-cp312-linux_x86_64."""
    from packaging.tags import cpython_tags

    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return str(next(iter(cpython_tags(platforms=[platform]))))


class CMakeBuildHook(BuildHookInterface[Any]):
    PLUGIN_NAME = "custom"

    def initialize(self, version: str, build_data: dict[str, Any]) -> None:
        if self.target_name != "wheel":
            return
        if version == "editable":
            # An editable install imports the package from the source tree,
            # where no compiled module lives.
            raise RuntimeError(
                "tarvane does not support editable installs: build with CMake "
                "(make build) and put build/python on PYTHONPATH instead"
            )
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError(
                "building tarvane needs CMake 3.25 or newer on PATH and a C++23 "
                "compiler (g++ 12 or newer)"
            )
        chosen = os.environ.get("TARVANE_BUILD_DIR")
        if chosen:
            build = Path(chosen).resolve()
        else:
            build = Path(self.root) / "build-wheel" / sys.implementation.cache_tag
        module = self._build_module(cmake, build)
        build_data["force_include"][str(module)] = f"tarvane/{module.name}"
        build_data["pure_python"] = False
        build_data["infer_tag"] = True
        # Inferring the tag would claim the best manylinux tag this machine
        # supports, which a plain compiler build does not meet (it links the
        # system's libstdc++): the wheel is tagged for this platform only.
        build_data["tag"] = platform_tag()

    def _build_module(self, cmake: str, build: Path) -> Path:
        configure = [
            cmake,
            "-S",
            self.root,
            "-B",
            str(build),
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTARVANE_PYTHON=ON",
            "-DTARVANE_TESTS=OFF",
            "-DTARVANE_BENCH=OFF",
            "-DTARVANE_FUZZ=OFF",
            "-DTARVANE_SANITIZE=OFF",
        ]
        compile_ = [cmake, "--build", str(build), "--target", "_tarvane"]
        if not os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL"):
            compile_ += ["--parallel", str(os.cpu_count() or 1)]
        # CMake's progress goes to stderr so that it never mixes with a
        # front end's protocol on stdout.
        for command in (configure, compile_):
            subprocess.run(command, check=True, stdout=sys.stderr)
        module = build / "python" / "tarvane" / f"_tarvane{sysconfig.get_config_var('EXT_SUFFIX')}"
        if not module.is_file():
            raise RuntimeError(f"the CMake build did not produce {module}")
        return module
