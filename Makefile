# The two commands: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
PY := /usr/bin/python3
CMAKE_FLAGS ?=
SHELL := /bin/bash

.PHONY: deps configure build test demo bench bench-quick fuzz clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PY) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS) -- --no-print-directory

# Every C++ and Python test through CTest, then both counts together: CTest's own summary
# scrolls away under the list of skipped tests, and pytest's runs inside one CTest test.
test: build
	@cd $(BUILD) && set -o pipefail && ctest --output-on-failure -j $(JOBS) --timeout 900 | tee ctest-output.log; \
	 status=$$?; \
	 echo; \
	 echo "ctest:  $$(grep -E '^[0-9]+% tests passed' ctest-output.log | tail -1)"; \
	 echo "pytest: $$(grep -E '^[0-9]+ [a-z]+.* in [0-9.]+s' Testing/Temporary/LastTest.log | tail -1)"; \
	 exit $$status

demo: build
	@PYTHONPATH=$(BUILD)/py_quillmere $(PY) examples/demo.py

# The side-by-side comparison (its duration: the README's Benchmarks; Fashion-MNIST, single-query latency, the tuning
# sweep, synthetic data at 200,000 and 1,000,000 records, inserts and searches quiet and beside one
# busy process per core), or its few-minute smoke run. BASELINE=dir of an earlier build's
# py_quillmere module runs its single queries and its busy-machine runs beside this build's;
# BENCH_PARTS=fashion,latency,tuning,scale,busy picks parts.
BASELINE ?=
BENCH_PARTS ?= fashion,latency,tuning,scale,busy
BENCH_ARGS = --parts $(BENCH_PARTS) --bench-bin $(BUILD)/bench $(if $(BASELINE),--baseline $(BASELINE))
bench: build
	@PYTHONPATH=$(BUILD)/py_quillmere $(PY) bench/compare.py $(BENCH_ARGS)

bench-quick: build
	@PYTHONPATH=$(BUILD)/py_quillmere $(PY) bench/compare.py --quick $(BENCH_ARGS)

# Every fuzz target for FUZZ_SECONDS each (clang build with libFuzzer in $(BUILD)/fuzz-build;
# `make test` only replays the kept corpora, built by the main compiler); fails on any finding.
FUZZ_SECONDS ?= 120
fuzz: deps
	@bash fuzz/run.sh $(abspath $(BUILD))/fuzz-build $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
