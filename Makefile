# Everything starts from a fresh machine: `make demo` and `make test` install
# what is missing (scripts/setup.sh), build, and run.

PY      := .venv/bin/python
JOBS    ?= 2
CMAKE   := .venv/bin/cmake
CTEST   := .venv/bin/ctest
CPP_DIR := build/cpp
SAN_DIR := build/sanitize

.PHONY: all setup build test cpp-test sanitize-test py-test demo bench clean

all: build

setup:
	@scripts/setup.sh

# The module, built the way users build it (pip install .), without build
# isolation so that repeated builds reuse the build directory.
build: setup
	$(PY) -m pip install -q --no-build-isolation .

cpp-test: setup
	$(CMAKE) -S . -B $(CPP_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTEMBREL_BUILD_MODULE=OFF -DTEMBREL_BUILD_TESTS=ON -DTEMBREL_CHECKED=ON
	$(CMAKE) --build $(CPP_DIR) -j $(JOBS)
	$(CTEST) --test-dir $(CPP_DIR) --output-on-failure -j $(JOBS)

sanitize-test: setup
	$(CMAKE) -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DTEMBREL_BUILD_MODULE=OFF -DTEMBREL_BUILD_TESTS=ON -DTEMBREL_SANITIZE=ON
	$(CMAKE) --build $(SAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(CTEST) --test-dir $(SAN_DIR) --output-on-failure -j $(JOBS)

py-test: build
	$(PY) -m pytest -q tests/python

test: build cpp-test sanitize-test py-test

demo: build
	$(PY) examples/airline.py

BENCH_DIR := build/bench

bench: build
	$(CMAKE) -S . -B $(BENCH_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DTEMBREL_BUILD_MODULE=OFF -DTEMBREL_BUILD_BENCH=ON
	$(CMAKE) --build $(BENCH_DIR) -j $(JOBS)
	$(BENCH_DIR)/kalman_bench
	$(PY) -m pip install -q "statsmodels>=0.14"
	$(PY) bench/bench_loglike.py

clean:
	rm -rf build
