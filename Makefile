# The two commands a newcomer needs: `make demo` and `make test`. Each sets up what is
# missing (scripts/setup.sh), builds, then runs.
BUILD ?= build
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
# Seconds per fuzz target: `make fuzz` (FUZZ_SECONDS) and the CI smoke run (FUZZ_SMOKE_SECONDS).
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 20
JOBS ?= $(shell nproc)
VENV := .venv
PYTHON := $(VENV)/bin/python
# Builds _morvex_dic, the morvex package and its extension with their own copy of the library
# (build/python-<tag>, kept between runs, so a second install rebuilds only what changed) and
# installs them into .venv.
INSTALL_MODULE := CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VENV)/bin/pip install \
  --no-build-isolation --disable-pip-version-check -q .

CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVEX_WERROR=ON \
  -DMORVEX_BUILD_TESTS=ON -DMORVEX_BUILD_EXAMPLES=ON -DMORVEX_BUILD_BENCH=ON

.PHONY: lint stubs stubs-check setup build python wheel wheel-check demo test test-cpp bench bench-guided bench-resolution sanitize fuzz-build fuzz fuzz-smoke clean

setup:
	bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

python: setup
	$(INSTALL_MODULE)

# Binary wheels for CPython 3.12 and 3.13 in dist/, with the libraries they link inside them
# (scripts/wheel.sh: pip wheel, then auditwheel repair); `make wheel-check` installs each into a
# fresh environment without building anything and runs the tests and the README's commands.
wheel: setup
	bash scripts/wheel.sh

wheel-check: wheel
	bash scripts/wheel_check.sh

# A synthetic sequence with a known field: accuracy against the truth, plots in out/demo.
demo: python
	$(VENV)/bin/morvex demo

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The module is installed after the C++ tests so the two builds never compete for the cores.
test: test-cpp
	$(INSTALL_MODULE)
	$(PYTHON) -m pytest tests/python tests/app -q

# Engine benchmark: speed at 1 and 2 threads, accuracy against the known fields, targets.
BENCH_DATA ?= ../shared/bench-data
bench: build
	$(BUILD)/bench/engine_bench $(BENCH_DATA)

# DICEngine and the guided path side by side (speed, accuracy, uncertainty,
# sequences, memory), then the DIC Challenge checks.
DIC_CHALLENGE ?= ../shared/dic-challenge
bench-guided: build
	$(BUILD)/bench/guided_bench $(BENCH_DATA)
	$(BUILD)/bench/guided_bench --challenge $(DIC_CHALLENGE)

# Affine against quadratic subsets at 15, 21, 29 px: l10%, noise, MEI, calibration, sine
# RMS, bias sweep, speed and the DIC Challenge sample 14 L5 resolution.
bench-resolution: build
	$(BUILD)/bench/resolution_bench $(BENCH_DATA) $(DIC_CHALLENGE)

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVEX_WERROR=ON -DMORVEX_BUILD_TESTS=ON -DMORVEX_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

# libFuzzer targets (tests/fuzz) under AddressSanitizer and UndefinedBehaviorSanitizer, built
# with clang in their own folder; each target runs for FUZZ_SECONDS (scripts/fuzz.sh).
fuzz-build: setup
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DMORVEX_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build
	bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)

# The package's structure: its import graph has no cycle and the run layer's rules hold; the
# extension's checked-in stubs match what the installed bindings give; ruff's rules and
# mypy --strict (both configured in pyproject.toml) hold; the C++ sources are formatted as the
# pinned clang-format formats them (scripts/cpp_format.sh; `--fix` rewrites them).
lint: stubs-check
	$(PYTHON) scripts/check_imports.py
	$(VENV)/bin/ruff check python/morvex scripts tests bench
	$(PYTHON) -m mypy
	bash scripts/cpp_format.sh

# The extension's type stubs match the built module (after `make python`); `make stubs`
# regenerates them after a binding change.
stubs-check: python
	$(PYTHON) scripts/check_stubs.py

stubs: python
	$(PYTHON) scripts/check_stubs.py --write
