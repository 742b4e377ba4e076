# korvane: build, test and run. `make test` is all a fresh Debian 12 machine needs.
PYTHON ?= /usr/bin/python3
DEBUG_PYTHON ?= /usr/bin/python3.11-dbg
JOBS ?= 2

RELEASE_DIR := build/release
ASAN_DIR := build/asan
DEBUG_DIR := build/debug-python
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=malloc

FUZZ_SECONDS ?= 60

.PHONY: all bootstrap build run test asan-build asan-test fuzz refleak-test clean

all: build

bootstrap:
	scripts/bootstrap

build:
	cmake -S . -B $(RELEASE_DIR) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(RELEASE_DIR) -j $(JOBS)

# The main job: an example model solved with HiGHS (through SciPy) from the command line.
run: bootstrap build
	$(PYTHON) -m korvane solve examples/facility.mod examples/facility.dat

test: bootstrap build
	KORVANE_PROBE_DIR=$(RELEASE_DIR)/probe $(PYTHON) -m pytest -q tests

asan-build: bootstrap
	cmake -S . -B $(ASAN_DIR) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON \
		-DKORVANE_PACKAGE_DIR=$(CURDIR)/$(ASAN_DIR)/stage/korvane >/dev/null
	cmake --build $(ASAN_DIR) -j $(JOBS)
	scripts/stage $(ASAN_DIR)/stage

# Every test again, with the modules built under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: asan-build
	$(ASAN_ENV) KORVANE_STAGE=$(ASAN_DIR)/stage KORVANE_PROBE_DIR=$(ASAN_DIR)/probe $(PYTHON) -m pytest -q -p no:cacheprovider tests

# Mutated models, data and trees through the parser and both generators under the sanitizers,
# for FUZZ_SECONDS (FUZZ_SEED repeats a run); findings are kept in build/fuzz.
fuzz: asan-build
	$(ASAN_ENV) KORVANE_STAGE=$(ASAN_DIR)/stage FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_DIR=$(CURDIR)/build/fuzz \
		$(PYTHON) tests/fuzz/fuzz_generators.py

# Reference-count balance of every public call, measured by the debug interpreter.
refleak-test: bootstrap
	cmake -S . -B $(DEBUG_DIR) -DPython3_EXECUTABLE=$(DEBUG_PYTHON) -DCMAKE_BUILD_TYPE=Debug \
		-DKORVANE_PACKAGE_DIR=$(CURDIR)/$(DEBUG_DIR)/stage/korvane >/dev/null
	cmake --build $(DEBUG_DIR) -j $(JOBS)
	scripts/stage $(DEBUG_DIR)/stage
	KORVANE_STAGE=$(DEBUG_DIR)/stage KORVANE_PROBE_DIR=$(DEBUG_DIR)/probe $(DEBUG_PYTHON) tests/leaks/check_refcounts.py

clean:
	rm -rf build korvane/*.so
