# `make test`: set everything up (idempotent), build, run every test.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV := .venv
PY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
ENGINE_BUILD := build/engine

.PHONY: all setup test test-engine clean

all: test

setup:
	@scripts/setup.sh

test: setup test-engine

test-engine:
	@cmake -S . -B $(ENGINE_BUILD) -G Ninja -DTALVIK_BUILD_TESTS=ON -DTALVIK_WERROR=ON > /dev/null
	@cmake --build $(ENGINE_BUILD)
	@ctest --test-dir $(ENGINE_BUILD) --output-on-failure

clean:
	rm -rf build
