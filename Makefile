# `make test`: set everything up (idempotent), build, run every test.
# `make demo`: the same set-up, then find the matches in the bundled sample.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV := .venv
PY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
ENGINE_BUILD := build/engine

.PHONY: all setup install engine test test-engine test-module demo bench clean

all: test

setup:
	@scripts/setup.sh

# Builds the module (warnings are errors here) and installs it into .venv.
install: setup
	@$(PY) -m pip install --quiet --no-build-isolation -C cmake.define.TALVIK_WERROR=ON .

test: test-engine test-module

engine: setup
	@cmake -S . -B $(ENGINE_BUILD) -G Ninja -DTALVIK_BUILD_TESTS=ON -DTALVIK_BUILD_BENCH=ON -DTALVIK_WERROR=ON > /dev/null
	@cmake --build $(ENGINE_BUILD)

test-engine: engine
	@ctest --test-dir $(ENGINE_BUILD) --output-on-failure

test-module: install
	@$(PY) -m pytest -q

demo: install
	@$(PY) bench/demo.py

# Timings for README: the engine alone, then end to end from Python.
bench: engine install
	@$(ENGINE_BUILD)/bench/engine_bench bench/data/names.txt bench/data/nicknames.json
	@echo
	@$(PY) bench/bench.py

clean:
	rm -rf build
