# Front door: `make build`, `make test`, `make demo`.
VENV      := .venv
VPY       := $(VENV)/bin/python
BUILD     := build
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all build test test-core test-python demo bench clean venv

all: build

$(VPY):
	@PY=$$(scripts/find-python.sh) && echo "creating $(VENV) with $$PY" && $$PY -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt

venv: $(VPY)

$(BUILD)/CMakeCache.txt: | $(VPY)
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_ARGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	@$(VPY) scripts/dev_path.py $(abspath $(BUILD)/python)

test-core: build
	@if [ -x $(BUILD)/ozu_core_tests ]; then $(BUILD)/ozu_core_tests --gtest_brief=1; \
	else echo "core tests not built (GoogleTest missing)"; exit 1; fi

test-python: build
	$(VPY) -m pytest -q tests/python

test: test-core test-python

demo: build
	$(VPY) examples/demo.py

bench: build
	$(VPY) bench/codec.py

clean:
	rm -rf $(BUILD)
