# vantor developer entry points. `make test` is what CI runs (.ci/run).
SHELL := bash
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := test

VENV ?= .venv
BUILD_DIR ?= build
# Extra CMake arguments for the developer build, e.g.
#   make build CMAKE_ARGS="-DVANTOR_TTS_HOST=tts.example.org"
CMAKE_ARGS ?=
# Extra pytest arguments, e.g. make test PYTEST_ARGS="-m 'not slow' -x"
PYTEST_ARGS ?=

PY := $(VENV)/bin/python
# cmake, ninja and the pip-installed tools come from the venv.
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: setup build test wheel-check clean demo bench bench-batch

setup:
	VENV="$(abspath $(VENV))" bash scripts/provision.sh

build: setup
	$(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja \
		-DPython_EXECUTABLE="$(abspath $(PY))" \
		-DVANTOR_DEV_BUILD=ON $(CMAKE_ARGS)
	$(VENV)/bin/cmake --build $(BUILD_DIR)

# Locally the wheel is built with the venv's pinned scikit-build-core
# (--no-build-isolation) so that build/pip/ is reused and rebuilds are
# incremental; a fresh isolated build environment makes scikit-build-core start
# over every time. CI (CI=true) builds exactly as a user's `pip install .` does.
# WHEEL_ISOLATION=1 / 0 overrides.
ifeq ($(CI),true)
WHEEL_ISOLATION ?= 1
else
WHEEL_ISOLATION ?= 0
endif
ifeq ($(WHEEL_ISOLATION),1)
WHEEL_PIP_ARGS ?=
else
WHEEL_PIP_ARGS ?= --no-build-isolation
endif
WHEEL_CHECK = PYTHON="$(abspath $(PY))" PIP_WHEEL_ARGS="$(WHEEL_PIP_ARGS)" bash scripts/wheel_check.sh

test: build
	$(PY) -m pytest $(PYTEST_ARGS)
	$(WHEEL_CHECK)

# Builds the wheel the way `pip install .` does (build tree in build/pip/),
# checks its contents, installs it into a scratch directory and imports
# vantor.vantor from there with the source tree out of the way.
wheel-check: setup
	$(WHEEL_CHECK)

clean:
	rm -rf $(BUILD_DIR) build dist .pytest_cache .mypy_cache
	rm -f vantor/*.so vantor/_service_settings.py
	find . -path ./$(VENV) -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +

# A complete recap offline: synthetic source, loopback stand-ins, real
# download client, wget, speech client and ffmpeg. Writes demo-output/.
demo: build
	$(PY) -m vantor demo --output-dir demo-output

# Where a run's time goes for 4, 16 and 64 segments; writes bench/results.json.
bench: build
	$(PY) bench/bench.py

# Batch throughput: 8 short recaps on 1, 2 and 4 worker processes; writes
# bench/batch_results.json.
bench-batch: build
	$(PY) bench/batch_bench.py --workers 1 2 4
