# The two commands: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
PY := /usr/bin/python3
CMAKE_FLAGS ?=

.PHONY: deps configure build test demo bench fuzz clean

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PY) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

demo: build
	@if [ -f examples/demo.py ]; then PYTHONPATH=$(BUILD)/py_quillmere $(PY) examples/demo.py; \
	 else echo "make demo: the Python module is not built yet"; fi

bench: build
	@if [ -f bench/compare.py ]; then PYTHONPATH=$(BUILD)/py_quillmere $(PY) bench/compare.py; \
	 else echo "make bench: the side-by-side benchmark is not built yet"; fi

# Every fuzz target for FUZZ_SECONDS each (clang build in $(BUILD)-fuzz); fails on any finding.
FUZZ_SECONDS ?= 120
fuzz: deps
	@bash fuzz/run.sh $(abspath $(BUILD))-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
