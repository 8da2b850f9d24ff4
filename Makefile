# Front door: `make demo`, `make test`, `make build`.
# Each target sets up what it needs on a fresh machine: system packages (installed with apt-get when
# run as root, otherwise the command is printed), the virtual environment and the build.
VENV      := .venv
VPY       := $(VENV)/bin/python
BUILD     := build
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
DEV_TOOLS := $(VENV)/.dev-tools

.PHONY: all build test test-core test-python demo bench clean venv system-packages

all: build

system-packages:
	@scripts/system-packages.sh build

# The demo needs nothing from the package index, so the environment starts without the test tools.
$(VPY):
	@PY=$$(scripts/find-python.sh) && echo "creating $(VENV) with $$PY" && $$PY -m venv $(VENV)

venv: $(VPY)

# pytest, Hypothesis and mypy, for the tests only.
$(DEV_TOOLS): requirements-dev.txt | $(VPY)
	$(VPY) -m pip install -q -r requirements-dev.txt
	@touch $@

$(BUILD)/CMakeCache.txt: | $(VPY)
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(abspath $(VPY)) $(CMAKE_ARGS)

# A configure that did not find GoogleTest is repeated, so that installing it later is enough.
build: system-packages $(BUILD)/CMakeCache.txt
	@if grep -qs '^OZU_GTEST_MISSING:INTERNAL=ON' $(BUILD)/CMakeCache.txt; then \
	  cmake -S . -B $(BUILD) >/dev/null || exit 1; fi
	cmake --build $(BUILD) -j $(JOBS)
	@$(VPY) scripts/dev_path.py $(abspath $(BUILD)/python)

test-core: build
	@if [ -x $(BUILD)/ozu_core_tests ]; then $(BUILD)/ozu_core_tests --gtest_brief=1; \
	else echo "core tests not built (GoogleTest missing)"; scripts/system-packages.sh test --report; exit 1; fi

test-python: build $(DEV_TOOLS)
	$(VPY) -m pytest -q tests/python tests/cli

# Without GoogleTest (and no way to install it) the Python tests still run; the target fails after them
# and repeats the command that installs it.
test:
	@exec 3>&1; missing=$$(scripts/system-packages.sh test 2>&1 1>&3); status=$$?; \
	[ -z "$$missing" ] || echo "$$missing" >&2; [ $$status -ne 1 ] || exit 1; \
	$(MAKE) --no-print-directory build $(DEV_TOOLS) || exit 1; \
	failed=0; \
	if [ -x $(BUILD)/ozu_core_tests ]; then $(BUILD)/ozu_core_tests --gtest_brief=1 || failed=1; \
	else echo "core tests not built (GoogleTest missing)"; failed=1; fi; \
	$(VPY) -m pytest -q tests/python tests/cli || failed=1; \
	if [ ! -x $(BUILD)/ozu_core_tests ]; then echo "core tests not built (GoogleTest missing)"; \
	  [ $$status -eq 0 ] || echo "$$missing" >&2; fi; \
	exit $$failed

# The build's output is shown only when it fails.
demo:
	@scripts/system-packages.sh build
	@echo "building ozu_mew and ozu_brix (output is shown only if the build fails)"
	@log=$$(mktemp); \
	if ! $(MAKE) --no-print-directory build >$$log 2>&1; then cat $$log; rm -f $$log; exit 1; fi; \
	rm -f $$log
	$(VPY) examples/demo.py

bench: build
	$(VPY) bench/codec.py

clean:
	rm -rf $(BUILD)
