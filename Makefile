# The commands README names: `make demo` and `make test`; deps and build sit under them.
SHELL := /bin/bash
# The interpreter the project is built for: pyenv's CPython 3.12.1 where the
# machine has it, else a python3.12 on PATH.
PY312 := $(shell pyenv prefix 3.12.1 2>/dev/null)/bin/python3.12
BASE_PYTHON ?= $(if $(wildcard $(PY312)),$(PY312),python3.12)
VENV ?= .venv
PYTHON := $(VENV)/bin/python
BUILD ?= build
ASAN_BUILD ?= build-asan
ASAN_PY_BUILD ?= build-asan-python
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# Compilers, test and benchmark libraries, tables, the sanitizer and fuzzer
# runtimes, and the reference decoder's tools (benchmarks compare with them).
APT_PACKAGES := cmake g++ make ninja-build libgtest-dev googletest libbenchmark-dev libeccodes-data \
	clang libclang-rt-14-dev libfuzzer-14-dev valgrind libeccodes-tools python3-eccodes ccache
CMAKE_FLAGS := -DPython3_EXECUTABLE=$(CURDIR)/$(PYTHON) -DCMAKE_BUILD_TYPE=Release \
	$(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: deps apt venv build build-python test test-core test-asan test-asan-python demo bench clean fuzz \
	wheels test-wheels test-min-deps docs

deps: apt venv

apt:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# The project's own environment, with the pinned development requirements;
# reinstalled only when requirements-dev.txt changes.
venv: $(VENV)/.requirements-installed
$(VENV)/.requirements-installed: requirements-dev.txt
	[ -x $(PYTHON) ] || $(BASE_PYTHON) -m venv $(VENV)
	$(PYTHON) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Only the Python package and its compiled modules.
build-python: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target tarvane_python

# Every test: the C++ and Python suites, then both again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
test: test-core test-asan test-asan-python

test-core: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARVANE_SANITIZE=ON -DTARVANE_PYTHON=OFF -DTARVANE_BENCH=OFF \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

# The compiled module under AddressSanitizer and UBSan, loaded by the
# ordinary interpreter (the runtime preloaded), with leak detection on: the
# Python suite, which replays every fuzz seed and regression input through
# the module (test_fuzz_replay.py). The packaging tests build wheels and
# stubtest runs mypy's own compiled code: neither exercises the module.
# OpenBLAS's idle worker threads are left out (one thread): at exit the leak
# checker stops every thread of the process, and in child interpreters it
# was seen to crash doing so (a tracer fault, not a leak).
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
test-asan-python: deps
	cmake -S . -B $(ASAN_PY_BUILD) -DPython3_EXECUTABLE=$(CURDIR)/$(PYTHON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARVANE_SANITIZE=ON -DTARVANE_TESTS=OFF -DTARVANE_BENCH=OFF \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
	cmake --build $(ASAN_PY_BUILD) -j$(JOBS) --target tarvane_python
	LD_PRELOAD=$(ASAN_RUNTIME) ASAN_OPTIONS=detect_leaks=1 OPENBLAS_NUM_THREADS=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan-python.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN_PY_BUILD)/python PYTHONDONTWRITEBYTECODE=1 \
	  $(PYTHON) -P -m pytest -q -p no:cacheprovider tests/python -k "not slow and not stubtest"

demo: build-python
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py

bench: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/bench_decode.py

# One wheel per CPython that pyenv has, repaired by auditwheel to the widest
# manylinux tag the modules allow, into dist/ beside an sdist. The system's
# libstdc++ is linked as usual: linked in statically, the C++ runtime built
# against this glibc would narrow the tag (2_36 against 2_34). Each interpreter's build keeps its folder under
# build-wheel/ and the compiler cache is shared, so a rebuild is quick.
WHEEL_PYTHONS ?= 3.10.13 3.11.7 3.12.1 3.13.0
WHEEL_SETTINGS := $(if $(shell command -v ccache),--config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR ?= $(CURDIR)
wheels: deps
	rm -rf dist build-wheel/unrepaired
	$(PYTHON) -m build --sdist --outdir dist .
	@built=0; for v in $(WHEEL_PYTHONS); do \
	  prefix=$$(pyenv prefix $$v 2>/dev/null) || { echo "no CPython $$v in pyenv: no wheel for it"; continue; }; \
	  echo "== CPython $$v"; \
	  CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $$prefix/bin/python3 -m pip wheel -q --no-deps --disable-pip-version-check \
	    -w build-wheel/unrepaired $(WHEEL_SETTINGS) . || exit 1; \
	  built=$$((built + 1)); \
	done; [ $$built -gt 0 ] || { echo "no CPython of $(WHEEL_PYTHONS) in pyenv"; exit 1; }
	PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel repair -w dist build-wheel/unrepaired/*.whl
	ls -l dist

# Each wheel in dist/ into a fresh venv of its interpreter, no compiler on
# PATH: the smoke test and the module's own tests there.
test-wheels: deps
	$(PYTHON) tests/wheels/run.py

# The lowest NumPy, pandas, pyarrow and Dask the package claims, with the
# CPython 3.11 wheel: the reading layer's and the frames' tests.
test-min-deps: deps
	$(PYTHON) tests/wheels/run.py --min-deps

# The documentation site, warnings as errors, into build/docs/html.
docs: build-python
	PYTHONPATH=$(BUILD)/python $(PYTHON) -m sphinx -W --keep-going -q -b html docs $(BUILD)/docs/html

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(ASAN_PY_BUILD) build-wheel dist

# Fuzz every harness for SECONDS seconds each (clang, libFuzzer).
SECONDS ?= 60
fuzz: deps
	fuzz/run.sh $(SECONDS)
