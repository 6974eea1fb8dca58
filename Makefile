# The two set-up commands (README): `make demo` runs the main job, `make test` runs all tests.
# Both start from a fresh clone: they provide CPython >= 3.12, .venv and the requirements.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

VENV := .venv
PYTHON := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
CPP_BUILD := build/cpp
CPP_SOURCES := $(shell git ls-files '*.cpp' '*.hpp' 2>/dev/null)
PY_SOURCES := $(wildcard tests bench examples scripts src/sorvexfit)
DEMO_ARGS ?=

BENCH_VENV := .venv-bench
BENCH_ARGS ?=

.PHONY: setup build test test-cpp test-python demo lint format bench bench-quick sanitize fuzz clean

setup:
	@bash scripts/setup-env.sh requirements/dev.txt

## Build and install the extension into .venv (warnings are errors here).
build: setup
	@$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps \
		-Ccmake.define.SORVEX_WERROR=ON .

test-cpp: setup
	@$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DSORVEX_BUILD_TESTS=ON -DSORVEX_BUILD_EXTENSION=OFF -DSORVEX_WERROR=ON \
		-DSORVEX_BUILD_PROBE=ON -DPython_EXECUTABLE=$(abspath $(PYTHON)) >/dev/null
	@$(CMAKE) --build $(CPP_BUILD)
	@$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure --timeout 300 -j2

test-python: build
	@$(PYTHON) -m pytest

test: test-cpp test-python

## The main job: the one-zone SSC fit of Mrk 421 (out/result.ecsv, out/sed.png).
demo: build
	@$(PYTHON) examples/mrk421_fit.py $(DEMO_ARGS)

## Benchmark against naima, agnpy and NumPy/SciPy in its own environment (they need another
## NumPy than the tests); sorvex is built there in build/bench. BENCH_ARGS=--quick: smoke run.
bench:
	@SORVEX_VENV=$(BENCH_VENV) bash scripts/setup-env.sh requirements/build.txt requirements/bench.txt
	@$(BENCH_VENV)/bin/python -m pip install --quiet --disable-pip-version-check \
		--no-build-isolation --no-deps -Cbuild-dir=build/bench .
	@$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

bench-quick:
	@$(MAKE) --no-print-directory bench BENCH_ARGS=--quick

## The tests against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: setup
	@bash scripts/sanitize.sh

## libFuzzer on the numeric core (FUZZ_SECONDS, default 60).
fuzz: setup
	@bash scripts/fuzz.sh

lint: setup
	@bash scripts/lint.sh

format: setup
	@clang-format -i $(CPP_SOURCES)
	@$(VENV)/bin/ruff format $(PY_SOURCES) src/sorvex.pyi
	@$(VENV)/bin/ruff check --fix --quiet $(PY_SOURCES) src/sorvex.pyi || true

clean:
	rm -rf build dist
