# Everything from a fresh clone: find CPython 3.13, make .venv, build, run.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
DEV_BUILD ?= build/dev
ASAN_BUILD := build/asan
JOBS ?= 2
# What the optional features need (YAML schemas, OpenLineage events, query logs
# on Dask with Parquet and lineage databases, the page's browser tests).
EXTRA_DEPS := pyyaml "openlineage-python>=1.20" "dask[dataframe,distributed]>=2024.8" \
  "pyarrow>=16" "duckdb>=1.0" "selenium>=4.20" types-PyYAML

.PHONY: all venv install demo test build quicktest asan-test valgrind clean

all: install

$(VENV)/.deps-stamp: pyproject.toml
	@PY313=$$(scripts/find-python313) || exit 1; \
	  [ -x $(PY) ] || "$$PY313" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.18" ninja \
	  "moz-sql-parser==4.40.21126" ply "pytest>=8" "hypothesis>=6" "mypy>=1.10" \
	  $(EXTRA_DEPS)
	touch $@

venv: $(VENV)/.deps-stamp

# Builds and installs both modules into .venv.
install: venv
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

# The main job: the column lineage of every bundled example.
demo: install
	$(VENV)/bin/sql-lineage examples

test: install
	$(PY) -m pytest -q tests

# Fast development loop: an in-tree CMake build, tests against it.
build: venv
	$(VENV)/bin/cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKEEP_ASSERTS=ON -DQM_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(DEV_BUILD) -j $(JOBS)

quicktest: build
	PYTHONPATH=$(DEV_BUILD):python $(PY) -m pytest -q tests

# The whole suite against an AddressSanitizer + UBSan build. Every report stops
# the process with a non-zero status (children of the tests included, which the
# tests check). Leaks are looked for in memory allocated by our own frames only:
# .ci/lsan.supp hides what the interpreter and system libraries keep at exit.
asan-test: venv
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	PYTHONPATH=$(ASAN_BUILD):python PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(abspath .ci/lsan.supp):malloc_context_size=2:print_suppressions=0 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  $(PY) -m pytest -q -p no:cacheprovider tests

# Invalid reads and writes under valgrind memcheck, on a short tour of every entry
# point (leak totals are the leak tests' business).
valgrind: build
	PYTHONPATH=$(DEV_BUILD):python PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no \
	  --undef-value-errors=no --error-exitcode=99 -q $(PY) tests/support/valgrind_smoke.py

clean:
	rm -rf build $(VENV)

# Benchmarks: their own environment in bench/.venv (with the peer tools they
# compare against), the module installed there the normal way, then every
# benchmark; BENCH_ARGS=--quick for the short run. Symbols are kept for the profile.
BENCH_VENV := bench/.venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_ARGS ?=

.PHONY: bench bench-quick

$(BENCH_VENV)/.deps-stamp: bench/requirements.txt
	@PY313=$$(scripts/find-python313) || exit 1; \
	  [ -x $(BENCH_PY) ] || "$$PY313" -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet -r bench/requirements.txt
	touch $@

bench: $(BENCH_VENV)/.deps-stamp
	$(BENCH_PY) -m pip install --quiet --no-build-isolation --no-deps \
	  -C build-dir=build/bench-wheel -C install.strip=false .
	$(BENCH_PY) bench/run.py $(BENCH_ARGS)

bench-quick:
	$(MAKE) bench BENCH_ARGS=--quick

# Fuzzing our own SQL parser: a libFuzzer harness built with clang (Debian's
# `clang` package), AddressSanitizer and UBSan, every dialect, its corpus seeded
# from every statement we have. FUZZ_SECONDS=60 is CI's short run.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 240

.PHONY: fuzz

fuzz:
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang++: apt-get install clang" >&2; exit 1; }
	mkdir -p $(FUZZ_BUILD)/corpus
	clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc \
	  fuzz/parse_fuzzer.cpp src/sql_parser/*.cpp src/query_logs/*.cpp -o $(FUZZ_BUILD)/parse_fuzzer
	python3 fuzz/seed_corpus.py $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/parse_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=10 \
	  -rss_limit_mb=4096 -dict=fuzz/sql.dict -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/corpus
