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

.PHONY: setup setup-user dev build test wheel-check clean demo bench bench-services bench-batch install uninstall \
	transcribe

# The developer set-up: what the command needs plus the toolchain the tests
# use (requirements-dev.txt, chromium for the browser tests).
setup:
	VENV="$(abspath $(VENV))" bash scripts/provision.sh

# What the command needs to build and run, nothing more (requirements.txt).
setup-user:
	VENV="$(abspath $(VENV))" bash scripts/provision.sh --user

# A checkout ready for development: the toolchain and the developer build.
dev: build

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

# Puts the `vantor` command on PATH: installs the package (built as
# `pip install .` builds it) with what it needs to run, and no developer
# tools, into $(VENV), and links $(BINDIR)/vantor to the script there.
# /usr/local/bin is on the PATH of every Debian shell, root's and users', so
# `vantor` works at once, in the same shell, from any directory, without
# activating anything; a user who cannot write there gets the link through
# sudo, as provisioning gets its packages. A link there that leads to another
# checkout's command is left as it is unless FORCE=1; `make uninstall`
# removes the link only when it leads to this checkout's.
BINDIR ?= /usr/local/bin
FORCE ?= 0
AS_BINDIR_OWNER = $(if $(shell { mkdir -p "$(BINDIR)" && [ -w "$(BINDIR)" ]; } 2>/dev/null || echo no),sudo)
LINK_COMMAND = $(AS_BINDIR_OWNER) env FORCE="$(FORCE)" bash scripts/link_command.sh
install: setup-user
	$(PY) -m pip install --disable-pip-version-check -q --no-deps $(WHEEL_PIP_ARGS) .
	$(LINK_COMMAND) install "$(abspath $(VENV))/bin/vantor" "$(BINDIR)/vantor"
	@case ":$$PATH:" in \
	  *":$(BINDIR):"*) echo "installed: $(BINDIR)/vantor (try: vantor demo)" ;; \
	  *) echo "installed: $(BINDIR)/vantor; $(BINDIR) is not on PATH: add it, e.g. export PATH=\"$(BINDIR):\$$PATH\"" ;; \
	esac

# Speech recognition for videos without captions (the transcribe extra):
# its pinned packages into $(VENV), beside what `make install` put there.
transcribe: setup-user
	$(PY) -m pip install --disable-pip-version-check -q -r requirements-transcribe.txt
	@echo "speech recognition installed in $(VENV) (vantor doctor checks it)"

uninstall:
	$(LINK_COMMAND) uninstall "$(abspath $(VENV))/bin/vantor" "$(BINDIR)/vantor"
	$(PY) -m pip uninstall --disable-pip-version-check -q -y vantor

clean:
	rm -rf $(BUILD_DIR) build dist .pytest_cache .mypy_cache
	rm -f vantor/*.so vantor/_service_settings.py
	find . -path ./$(VENV) -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +

# A complete recap on this machine alone: a synthetic video on a loopback web
# page, fetched by the local download service through yt-dlp, narrations
# spoken by the local speech service with espeak-ng, the engine's real
# clients, wget and ffmpeg. Writes demo-output/.
demo: build
	$(PY) -m vantor demo --output-dir demo-output --force

# Where a run's time goes for 4, 16 and 64 segments; writes bench/results.json.
# Then a warm recap against a one-pass ffmpeg floor and burned captions against
# none (BEFORE=/other/built/tree for a before/after); bench/host_results.json.
bench: build
	$(PY) bench/bench.py
	$(PY) bench/host_bench.py $(if $(BEFORE),--before $(BEFORE))

# --- Sanitizers -------------------------------------------------------------
# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer in
# its own build tree, and the engine's tests (below) run against it in a scratch copy of
# the tree (scripts/asan_suite.sh). Any sanitizer report fails the run.
.PHONY: test-asan
ASAN_BUILD_DIR ?= build/asan
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
# The sanitizers watch the extension's own code, so their run covers the
# tests that drive the engine in a Python process (its interface, bindings,
# clients, leaks, properties and the run paths through it); the services,
# batch, studio and command-line tests add nothing the engine runs that
# these do not. ASAN_TESTS="tests" runs the whole suite.
ASAN_TESTS ?= $(addprefix tests/test_,$(addsuffix .py,interface engine_bindings download_client tts_client \
	mp4_check leaks properties segments_fuzz two_threads overlapping_runs recap_run run_host interrupt \
	make_recap smoke_build output_faults messages working_folder captions run_rules local_recap))
test-asan: setup
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD_DIR) -G Ninja \
		-DPython_EXECUTABLE="$(abspath $(PY))" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)" -DCMAKE_MODULE_LINKER_FLAGS="$(ASAN_FLAGS)" $(CMAKE_ARGS)
	$(VENV)/bin/cmake --build $(ASAN_BUILD_DIR)
	BUILD_DIR="$(ASAN_BUILD_DIR)" PYTHON="$(abspath $(PY))" bash scripts/asan_suite.sh $(PYTEST_ARGS) $(ASAN_TESTS)

# --- Soak ---------------------------------------------------------------------
# 200 recaps in one process on a tiny source: RSS after the first and the last
# run, time per run; writes bench/soak.json (figures in docs/security.md).
.PHONY: soak
soak: build
	$(PY) bench/soak.py

# --- Fault table ----------------------------------------------------------------
# Runs the tests behind each fault class and prints the table that
# docs/security.md shows; fails when any of them fails.
.PHONY: faults
faults: build
	$(PY) scripts/faults.py

# The local services: warm-cache against cold-cache service time, and the
# speech real-time factor; writes bench/services_results.json.
bench-services: build
	$(PY) bench/services_bench.py

# The studio in headless chromium: cached address to first frame, typed
# narration to its fit, the page's weight; writes bench/studio_results.json
# and the picture of the editor in docs/studio.md.
.PHONY: bench-studio
bench-studio: build
	$(PY) bench/studio_bench.py --screenshot docs/studio.png

# Batch throughput: 8 short recaps on 1, 2 and 4 worker processes; writes
# bench/batch_results.json.
bench-batch: build
	$(PY) bench/batch_bench.py --workers 1 2 4
