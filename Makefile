# The commands README names: `make demo` and `make test`; deps and build sit under them.
SHELL := /bin/bash
PY312 := $(shell pyenv prefix 3.12.1 2>/dev/null)/bin/python3.12
PYTHON ?= $(if $(wildcard $(PY312)),$(PY312),python3.12)
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
APT_PACKAGES := cmake g++ make libgtest-dev googletest libbenchmark-dev libeccodes-data \
	python3-pytest python3-hatchling python3-mypy clang libclang-rt-14-dev libfuzzer-14-dev valgrind

.PHONY: deps build test test-core test-asan demo bench clean fuzz

deps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

# Every test: the C++ and Python suites, then the C++ suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
test: test-core test-asan

test-core: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTARVANE_SANITIZE=ON -DTARVANE_PYTHON=OFF -DTARVANE_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py

bench: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/bench_decode.py

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# Fuzz every harness for SECONDS seconds each (clang, libFuzzer).
SECONDS ?= 60
fuzz: deps
	fuzz/run.sh $(SECONDS)

# Install tarvane the way users do (pip, PEP 517, the extension built by the
# hatchling hook through CMake) into a fresh virtual environment, then use it
# from outside the source tree with nothing else on its path. PyPI is not
# needed: the build backend is Debian's hatchling, seen through a .pth file
# that is removed again after the install.
INSTALL_VENV ?= .venv-install-check
.PHONY: install-check
install-check: deps
	rm -rf $(INSTALL_VENV)
	$(PYTHON) -m venv $(INSTALL_VENV)
	site=$$($(INSTALL_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_path("purelib"))') && \
	echo /usr/lib/python3/dist-packages > $$site/debian-dist-packages.pth && \
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(INSTALL_VENV)/bin/pip install --no-build-isolation --no-index . && \
	rm $$site/debian-dist-packages.pth
	cd / && $(CURDIR)/$(INSTALL_VENV)/bin/python -c 'import tarvane, sys; \
	  values = tarvane.decode_values_with_tables(open(sys.argv[1], "rb").read(), tarvane.default_tables()); \
	  print(tarvane.__file__, len(values), "values")' $(CURDIR)/examples/data/15015.bin
	cd / && $(CURDIR)/$(INSTALL_VENV)/bin/tarvane ls $(CURDIR)/examples/data/*
