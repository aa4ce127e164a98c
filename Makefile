# The two commands a newcomer needs: `make demo` and `make test`. Each sets up what is
# missing (scripts/setup.sh), builds, then runs.
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)
VENV := .venv
PYTHON := $(VENV)/bin/python

CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DMORVEX_BUILD_TESTS=ON -DMORVEX_BUILD_EXAMPLES=ON -DMORVEX_BUILD_BENCH=ON

.PHONY: setup build demo test test-cpp sanitize clean

setup:
	bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/examples/integer_search_demo

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test: test-cpp

# C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVEX_BUILD_TESTS=ON -DMORVEX_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
