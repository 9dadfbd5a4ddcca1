# Thin wrappers over pip, CMake and pytest. `make test` does all set-up on a
# fresh machine; later runs are incremental.
SHELL := /bin/bash
.DEFAULT_GOAL := build

PYTHON_FOUND := $(shell PYTHON="$(PYTHON)" scripts/find-python)
ifeq ($(PYTHON_FOUND),)
$(error CPython 3.9 with its headers is required: set PYTHON=/path/to/python3.9)
endif

VENV     := .venv
VPY      := $(VENV)/bin/python
JOBS     ?= 2
DEV_DIR  := build/dev
ASAN_DIR := build/asan
DIST_DIR := dist
# Wheels of the runtime dependencies, for the test that installs dist/'s
# wheel into a new environment without building anything.
WHEELS   := build/wheels
CMAKE_ARGS := -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The interpreter itself is not instrumented: the sanitizer runtime is
# preloaded and leak detection is off (the interpreter keeps its own objects
# alive until exit, which LeakSanitizer would report).
ASAN_LIBS = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
ASAN_ENV  = LD_PRELOAD="$(ASAN_LIBS)" \
            ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
            PYTHONMALLOC=malloc

.PHONY: dev build dist test test-installed test-fast test-asan demo bench clean venv system-deps \
  system-deps-demo system-deps-test sim help

help:
	@echo "make targets (each sets up what it needs first; later runs are incremental):"
	@echo "  build      build the module and install the commands into $(VENV)/bin (the default)"
	@echo "             QUORVANE_EXCHANGE_HOST=host: build for that exchange, kept for later builds"
	@echo "  demo       rehearse a listing against the loopback exchange over a simulated network"
	@echo "  test       the whole test suite: C++ unit tests and pytest, and at the same time under sanitizers"
	@echo "  test-fast  the pytest suite alone (no wheel test), stopping at the first failure"
	@echo "  test-asan  the C++ unit tests and the module's pytest tests against the sanitizer build"
	@echo "  sim        the order path against scripted exchanges: SEEDS=N more seeds, SEED=N in full, FAULTS=1"
	@echo "  bench      the benchmarks (a few minutes)"
	@echo "  dist       the sdist and the manylinux wheel in $(DIST_DIR)/"
	@echo "  dev        the developer build: test-only modules and the C++ unit tests"
	@echo "  clean      remove build/ (the kept exchange host too), $(DIST_DIR)/ and $(VENV)"
	@echo "  help       this list"

# System packages, by what needs them: the build (OpenSSL's headers), the demo
# (the openssl command) and the tests (GoogleTest); `make demo` installs no
# test-only package.
system-deps:
	@scripts/ensure-system-deps build
system-deps-demo:
	@scripts/ensure-system-deps demo
system-deps-test:
	@scripts/ensure-system-deps test

$(VENV)/.created:
	@echo "creating $(VENV) (Python 3.9)"
	@$(PYTHON_FOUND) -m venv $(VENV)
	@$(VPY) -m pip install --quiet --upgrade pip
	@touch $@

# Build tools and the runtime dependencies: all that `make build` and
# `make demo` need.
$(VENV)/.runtime-deps: $(VENV)/.created pyproject.toml scripts/extra-requirements
	@echo "installing the build tools and the runtime dependencies into $(VENV)"
	@$(VPY) -m pip install --quiet "scikit-build-core>=0.11" ninja
	@$(VPY) -m pip install --quiet $$($(VPY) scripts/extra-requirements runtime)
	@touch $@

# The test and packaging extras, for `make test`, `make dev` and `make dist`
# (the project itself is installed by `make build`).
$(VENV)/.deps: $(VENV)/.runtime-deps pyproject.toml
	@echo "installing the test and packaging tools into $(VENV)"
	@$(VPY) -m pip install --quiet $$($(VPY) scripts/extra-requirements test dist)
	@touch $@

venv: $(VENV)/.deps

# The exchange's host built into the module: `make build
# QUORVANE_EXCHANGE_HOST=host` once, kept in build/exchange-host for every
# later build, demo and dist (scripts/exchange-host); else the placeholder.
EXCHANGE_HOST = $(VPY) scripts/exchange-host
HOST_DEFINE = -C cmake.define.QUORVANE_EXCHANGE_HOST=$$host

# The first build compiles everything (scikit-build-core keeps its build
# folder in build/cp39-*); later ones only what changed.  One line per stage.
build: system-deps $(VENV)/.runtime-deps
	@host=$$($(EXCHANGE_HOST)) && \
	  if ls -d build/cp39-* >/dev/null 2>&1; then echo "building the module (only what changed)"; \
	  else echo "building the module: the first build compiles everything, a minute or two"; fi && \
	  $(EXCHANGE_HOST) --say && \
	  $(VPY) scripts/build-progress $(VPY) -m pip install -v --no-build-isolation --no-deps $(HOST_DEFINE) .
	@echo "built: the commands are in $(VENV)/bin (run $(VENV)/bin/quorvane-host --help, or first: source $(VENV)/bin/activate)"

# Portable packages: sdist and manylinux wheel in dist/ (scripts/build-dist),
# for the same exchange's host as `make build`.
BUILD_DIST = @host=$$($(EXCHANGE_HOST)) && echo "building the packages into $(DIST_DIR)/" && \
  $(EXCHANGE_HOST) --say && PATH=$(abspath $(VENV))/bin:$$PATH scripts/build-dist $(VPY) $(DIST_DIR) $(HOST_DEFINE)
DIST_INPUTS := pyproject.toml CMakeLists.txt README.md scripts/build-dist $(wildcard build/exchange-host) \
  $(wildcard module/* coroutine/* order/* stubs/*/* LICENSES/*) \
  $(shell find quorvane_host quorvane_rehearsal -name "*.py" -o -name py.typed)

dist: system-deps $(VENV)/.deps
	$(BUILD_DIST)
	@touch $(DIST_DIR)/.built

# What the tests use: rebuilt only when a source changed.
$(DIST_DIR)/.built: $(DIST_INPUTS) $(VENV)/.deps
	$(BUILD_DIST)
	@touch $@

# The oldest websockets that pyproject.toml allows, for the test that runs the
# host's connections against it, offline, from this folder.
OLDEST_WS := build/oldest-websockets
$(OLDEST_WS)/.downloaded: pyproject.toml $(VENV)/.deps
	rm -rf $(OLDEST_WS)
	$(VPY) -m pip download --quiet --only-binary :all: --no-deps --dest $(OLDEST_WS) \
	  "$$($(VPY) scripts/extra-requirements runtime | sed -n 's/^websockets>=\([0-9.]*\).*/websockets==\1/p')"
	@touch $@

$(WHEELS)/.downloaded: $(DIST_DIR)/.built
	$(VPY) -m pip download --quiet --only-binary :all: --dest $(WHEELS) $(DIST_DIR)/*.whl
	rm -f $(WHEELS)/quorvane_3-*
	@touch $@

# Developer build: the module plus test-only helpers and the C++ unit tests.
$(DEV_DIR)/build.ninja: CMakeLists.txt $(VENV)/.deps | system-deps-test
	cmake -S . -B $(DEV_DIR) -G Ninja $(CMAKE_ARGS) -DQUORVANE_TESTING=ON

$(ASAN_DIR)/build.ninja: CMakeLists.txt $(VENV)/.deps | system-deps-test
	cmake -S . -B $(ASAN_DIR) -G Ninja $(CMAKE_ARGS) -DQUORVANE_TESTING=ON -DQUORVANE_SANITIZE=ON

dev: system-deps-test $(DEV_DIR)/build.ninja
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(DEV_DIR) -j $(JOBS)

# The pytest suite runs in worker processes (pytest-xdist). Most of its time
# is spent waiting for child processes and the loopback network, so there are
# more workers than cores; each takes the next test as it finishes one, so a
# long test holds up no other.
PYTEST_WORKERS ?= 4
PYTEST = $(VPY) -m pytest -q -n $(PYTEST_WORKERS) --dist worksteal

# Tests against the installed module (dist/'s wheel, also installed in a new
# environment), and at the same time the tests that drive the module's C++
# against the sanitizer build of the same sources: the first run mostly waits,
# the second mostly computes. Each part's output is shown when it ends; every
# part runs even when another fails.
test: system-deps-test $(VENV)/.deps
	@echo "building, then testing the installed module and, at the same time, the sanitizer build;" \
	  "each part's output comes when it ends (a few minutes)"
	@$(MAKE) --no-print-directory --jobs=3 --keep-going --output-sync=target test-installed test-asan

# The tests run against dist/'s wheel installed into $(VENV): the package as
# it ships, the same sources as `make build` installs, one compile fewer.
$(VENV)/.wheel-installed: $(DIST_DIR)/.built
	@echo "installing $(DIST_DIR)/'s wheel into $(VENV)"
	@$(VPY) -m pip install --quiet --no-deps --force-reinstall $(DIST_DIR)/*.whl
	@touch $@

test-installed: $(VENV)/.wheel-installed dev $(WHEELS)/.downloaded $(OLDEST_WS)/.downloaded
	$(DEV_DIR)/tests/unit_tests --gtest_brief=1
	PYTHONPATH=$(DEV_DIR)/testing $(PYTEST) tests

# Without the wheel test: dist/ may be older than the sources here.
test-fast: build dev
	PYTHONPATH=$(DEV_DIR)/testing $(PYTEST) -x --ignore=tests/test_wheel.py tests

# The C++ unit tests and the pytest suite less the tests marked python_side
# (tests/conftest.py says what they are, and why one run is enough).
test-asan: system-deps-test $(ASAN_DIR)/build.ninja
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build $(ASAN_DIR) -j $(JOBS)
	$(ASAN_ENV) $(ASAN_DIR)/tests/unit_tests --gtest_brief=1
	$(ASAN_ENV) QUORVANE_SANITIZED=1 PYTHONPATH=$(ASAN_DIR)/python:$(ASAN_DIR)/testing \
	  $(VPY) -m pytest -q -n $(JOBS) --dist worksteal -p no:cacheprovider tests

# The order path against scripted exchanges in virtual time: SEEDS=N seeds
# (default 10000) after those `make test` runs, or SEED=N alone, told in full;
# FAULTS=1: each planted fault in turn, against the 2000 seeds `make test` runs.
SEEDS ?= 10000
sim: build
	$(VPY) -m tests.sim $(if $(FAULTS),--faults --seeds 2000,$(if $(SEED),--seed $(SEED),--first 2000 --seeds $(SEEDS)))

demo: build system-deps-demo
	@echo "starting the demo"
	@$(VENV)/bin/quorvane-demo

# The bench extra (matplotlib, for the listing picture), without reinstalling the project.
$(VENV)/.bench-deps: $(VENV)/.deps pyproject.toml
	$(VPY) -m pip install --quiet $$($(VPY) scripts/extra-requirements bench)
	@touch $@

bench: build dev $(VENV)/.bench-deps
	PYTHONPATH=$(DEV_DIR)/testing $(VPY) bench/run.py
	$(VPY) bench/listing.py
	$(VPY) bench/cadence.py

clean:
	rm -rf build $(DIST_DIR) $(VENV) *.egg-info
