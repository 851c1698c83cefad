# `make test` sets up everything it needs on a fresh machine: Debian packages
# with apt-get, Python packages in the virtual environment .venv.
#
# Every Python package comes from a hash-locked requirements/NAME.lock
# (written from requirements/NAME.txt by scripts/lock-requirements), installed
# with --require-hashes after the pip that requirements/pip.lock pins.

PYTHON ?= python3
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
SYSTEM_PACKAGES := g++ libgtest-dev

.PHONY: test test-codec test-codec-sanitize test-python install system-packages

test: test-codec test-codec-sanitize test-python

system-packages:
	scripts/install-system-packages $(SYSTEM_PACKAGES)

LOCKED := --require-hashes --only-binary :all: -r

$(VENV)/installed: requirements/pip.lock requirements/dev.lock
	$(PYTHON) -m venv $(VENV)
	$(VENV_PYTHON) -m pip install -q $(LOCKED) requirements/pip.lock
	$(VENV_PYTHON) -m pip install -q $(LOCKED) requirements/dev.lock
	touch $@

# Built by the environment's own pinned backend: an isolated build would
# fetch the newest scikit-build-core, unpinned.
install: $(VENV)/installed
	$(VENV_PYTHON) -m pip install -q --no-deps --no-build-isolation --force-reinstall .

# The codec's C++ tests, plainly and under AddressSanitizer + UBSan.
test-codec: system-packages $(VENV)/installed
	$(CMAKE) -S . -B build/codec -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DORVANTILE_CODEC_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/codec
	$(VENV)/bin/ctest --test-dir build/codec --output-on-failure

test-codec-sanitize: system-packages $(VENV)/installed
	$(CMAKE) -S . -B build/codec-sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DORVANTILE_CODEC_TESTS=ON -DORVANTILE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build build/codec-sanitize
	$(VENV)/bin/ctest --test-dir build/codec-sanitize --output-on-failure

# Under a temporary folder as long as a hosted macOS runner's (scripts/
# runner-tmpdir), where a socket's path under pytest's tmp_path meets the
# platform's limit; a pass is recorded for make release-check in
# build/test-python.passed, with what the tree held.
test-python: install
	scripts/test-python $(VENV_PYTHON)

# dumps against its peers and the walk floor (checked to be below them all):
# benchmarks/results.md and .png; where its instructions go and how far its
# own share is from the floor (callgrind): benchmarks/profile.md.
.PHONY: bench bench-pypy bench-curve
bench: install
	scripts/install-system-packages valgrind
	$(VENV_PYTHON) -m pip install -q $(LOCKED) requirements/bench.lock
	$(VENV_PYTHON) benchmarks/bench.py
	$(VENV_PYTHON) benchmarks/profile_shares.py

# The same on PyPy, in a virtual environment of its own with the module and
# the pure-Python peers: benchmarks/results-pypy.md, and what each way of
# reading elements through PyPy's C-API costs: benchmarks/read_patterns-pypy.md.
PYPY ?= pypy3
PYPY_VENV := .venv-pypy
$(PYPY_VENV)/installed: requirements/pip.lock requirements/bench-pypy.lock
	scripts/install-system-packages pypy3 pypy3-dev
	$(PYPY) -m venv $(PYPY_VENV)
	$(PYPY_VENV)/bin/python -m pip install -q $(LOCKED) requirements/pip.lock
	$(PYPY_VENV)/bin/python -m pip install -q --require-hashes -r requirements/bench-pypy.lock
	touch $@

bench-pypy: system-packages $(PYPY_VENV)/installed
	$(PYPY_VENV)/bin/python -m pip install -q --no-deps --force-reinstall .
	$(PYPY_VENV)/bin/python benchmarks/bench.py
	$(PYPY_VENV)/bin/python benchmarks/read_patterns.py

# Time per element against output size, 1 MiB to 512 MiB, and dicts of
# 1 Mi and 8 Mi entries, one process per point: benchmarks/cost_curve.md
# and .png (benchmarks/cost_curve.py --baseline COMMIT measures that
# commit's build beside the work tree's).
bench-curve: install
	$(VENV_PYTHON) -m pip install -q $(LOCKED) requirements/bench.lock
	$(VENV_PYTHON) benchmarks/cost_curve.py

# The same against the win_amd64 build under wine, on python.org's CPython
# WINDOWS_CURVE_PYTHON (scripts/test-windows --bench-curve), up to 256 MiB by
# default, with the test requirements' cbor2 and no chart (wine runs neither
# the benchmarks' cbor2 nor matplotlib): build/windows/3.X/cost_curve.md.
# WINDOWS_CURVE_ARGS takes cost_curve.py's options (--sizes 16 64 256,
# --kinds integers, ...). The heap is wine's, not Windows': the hosted
# workflow runs the curve natively.
WINDOWS_CURVE_PYTHON ?= 3.13
WINDOWS_CURVE_ARGS ?= --largest 256 --dict-entries 131072 1048576
.PHONY: bench-curve-windows
bench-curve-windows:
	scripts/install-system-packages $(WINDOWS_PACKAGES)
	scripts/test-windows --bench-curve $(WINDOWS_CURVE_PYTHON) $(WINDOWS_CURVE_ARGS)

# One wheel per interpreter on this machine (CPython 3.7-3.13, PyPy), then
# the Python test-suite in each and the cross-interpreter version check.
# PyPy's virtual environments take pip and setuptools from Debian's wheels.
INTERPRETER_PACKAGES := pypy3 pypy3-dev python3-pip-whl python3-setuptools-whl
.PHONY: wheels test-all
wheels:
	scripts/install-system-packages $(INTERPRETER_PACKAGES)
	scripts/build-wheels

test-all: wheels $(VENV)/installed
	scripts/test-all
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV_PYTHON) scripts/check-version-refusal

# CPython 3.14 and 3.15 in a Debian testing userland made with debootstrap
# (build/userlands/testing, made once): their wheels, their test-suites, and
# the version check across all nine CPython versions.
.PHONY: test-newest
test-newest: wheels $(VENV)/installed
	scripts/test-newest
test-all: test-newest

# PyPy from other Debian suites, each in its userland (build/userlands/NAME,
# made once): bullseye's PyPy 7.3.5 (Python 3.7), trixie's 7.3.19 and
# testing's 8.0 (Python 3.11). Each builds its wheel into wheelhouse/ with
# `pip wheel .` and runs the Python test-suite against it.
.PHONY: test-pypy-userlands
test-pypy-userlands:
	scripts/test-pypy-userlands
test-all: test-pypy-userlands

# The release files in dist/: the sdist, and a manylinux2014 wheel for each
# of CPython 3.7-3.15 and PyPy, each tested where its interpreter lives, the
# cp39 one in Debian bullseye too; the sdist alone passes the tests.
DIST_VENV := .venv-dist
$(DIST_VENV)/installed: requirements/pip.lock requirements/dist.lock
	$(PYTHON) -m venv $(DIST_VENV)
	$(DIST_VENV)/bin/python -m pip install -q $(LOCKED) requirements/pip.lock
	$(DIST_VENV)/bin/python -m pip install -q $(LOCKED) requirements/dist.lock
	touch $@

.PHONY: dist
dist: system-packages $(DIST_VENV)/installed
	scripts/install-system-packages $(INTERPRETER_PACKAGES)
	PATH="$(abspath $(DIST_VENV))/bin:$$PATH" scripts/dist

# A million random doubles and singles through the codec and through dumps.
.PHONY: test-floats-long
test-floats-long: test-codec install
	CBOR_FLOAT_SAMPLES=1000000 build/codec/tests/cbor/cbor_tests --gtest_filter='FloatRandom.*'
	ORVANTILE_FLOAT_SAMPLES=1000000 $(VENV_PYTHON) -m pytest tests/python/test_floats.py -q

# The converter on the bundled example: its CBOR in hexadecimal.
.PHONY: example
example: install
	$(VENV)/bin/orvantile-cbor --hex examples/order.json

# The HTML reference in docs/_build/html, with warnings as errors.
.PHONY: docs
docs: install
	$(VENV_PYTHON) -m sphinx -W --keep-going -b html docs docs/_build/html

# ---- Reliability ------------------------------------------------------------
# The Python test-suite against an AddressSanitizer + UBSan build of the
# module, run by the .venv's own CPython with the sanitizer runtime preloaded
# and Python's objects allocated by malloc, where ASan watches them, after
# the codec's C++ tests under the same sanitizers (which also detect leaks:
# CPython itself leaks at exit, so the Python runs do not). The build is
# optimised like a release (RelWithDebInfo): unoptimised ASan frames take
# six times the stack per nesting level. Child interpreters and the test
# builds of tests/python/module_builds.py inherit the sanitizer.
SANITIZE_BUILD := build/module-sanitize
SANITIZE_SITE := build/sanitize-site
SANITIZER_RUNTIME = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZER_ENV = LD_PRELOAD="$(SANITIZER_RUNTIME)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH=$(abspath $(SANITIZE_SITE)) ORVANTILE_MODULE_UNDER_TEST=$(abspath $(SANITIZE_SITE))

.PHONY: module-sanitize test-sanitize
module-sanitize: system-packages install
	$(CMAKE) -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DORVANTILE_MODULE=ON -DORVANTILE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$(abspath $(VENV_PYTHON)) \
	  -Dpybind11_DIR="$$($(VENV_PYTHON) -c 'import pybind11; print(pybind11.get_cmake_dir())')"
	$(CMAKE) --build $(SANITIZE_BUILD)
	$(VENV_PYTHON) scripts/site-with-module $(SANITIZE_BUILD)/src/binding/orvantile_cbor*.so $(SANITIZE_SITE)

test-sanitize: module-sanitize test-codec-sanitize
	$(SANITIZER_ENV) $(VENV_PYTHON) -m pytest tests/python -q

# The long runs; docs/reliability.rst has the figures they print.
.PHONY: test-allocation-long test-deep test-leaks fuzz fuzz-atheris reliability
# Every codec allocation made to fail in turn for some 160 values, in a
# plain test build and in a sanitized one.
test-allocation-long: install module-sanitize
	ORVANTILE_ALLOCATION_SWEEP=long $(VENV_PYTHON) -m pytest tests/python/test_allocation_failure.py -q -s
	$(SANITIZER_ENV) ORVANTILE_ALLOCATION_SWEEP=long $(VENV_PYTHON) -m pytest tests/python/test_allocation_failure.py -q -s

# 10^6 levels of lists, tuples and dicts, and self-references, with every
# recursion limit and in a 256 KiB thread; in the sanitized module as well.
test-deep: install module-sanitize
	ORVANTILE_DEEP_LEVELS=1000000 $(VENV_PYTHON) -m pytest tests/python/test_depth_and_errors.py -v -k deep_nesting
	$(SANITIZER_ENV) ORVANTILE_DEEP_LEVELS=1000000 $(VENV_PYTHON) -m pytest tests/python/test_depth_and_errors.py -v -k deep_nesting

# A million calls through success and every error path: flat memory.
test-leaks: install
	$(VENV_PYTHON) tests/leaks/leak_check.py --calls 1000000

# A million generated values against a reference encoder and cbor2, and
# 20,000 more drawn by Hypothesis from the pytest suite's strategies.
fuzz: install
	$(VENV_PYTHON) tests/fuzz/properties.py --values 1000000
	$(VENV_PYTHON) tests/fuzz/properties.py --engine hypothesis --values 20000

# atheris: values built from fuzzer bytes; failing inputs land in build/fuzz.
$(VENV)/fuzz-installed: requirements/fuzz.lock $(VENV)/installed
	$(VENV_PYTHON) -m pip install -q --require-hashes -r requirements/fuzz.lock
	touch $@

fuzz-atheris: install $(VENV)/fuzz-installed
	mkdir -p build/fuzz
	$(VENV_PYTHON) tests/fuzz/atheris_dumps.py -runs=200000 -artifact_prefix=build/fuzz/ -print_final_stats=1

reliability: test-sanitize test-allocation-long test-deep test-leaks fuzz fuzz-atheris

# ---- Release ----------------------------------------------------------------
# The release configuration proven here before any hosted run
# (scripts/release-check): the locks current for their sources, the
# workflow against GitHub's schema, the artifacts that publish takes (the
# wheels and the sdist alone), the test-suite under a temporary folder as
# long as a hosted macOS runner's (make test-python's run of the same tree,
# reused), and the sdist from the tracked files passing twine check --strict.
RELEASE_VENV := build/platforms/release-check
.PHONY: release-check
release-check: $(RELEASE_VENV)/installed
	PATH="$(abspath $(RELEASE_VENV))/bin:$$PATH" scripts/release-check $(abspath $(VENV_PYTHON))

# ---- Platforms ----------------------------------------------------------------
# The stack bounds behind the nesting guard (tests/platform), natively and as
# a Windows program run under wine, headless, in a prefix of its own (every
# source is compiled for Windows by make check-platforms); then the
# win_amd64 wheel of each CPython of WINDOWS_PYTHONS, cross-built with
# mingw-w64 into build/windows/wheels, and the whole Python test-suite
# against it under wine on python.org's embeddable CPython of that version
# (scripts/test-windows).
WINDOWS_CXX := x86_64-w64-mingw32-g++-posix
PLATFORM_BUILD := build/platform
PLATFORM_FLAGS := -std=c++17 -O2 -Wall -Wextra -Wconversion -Werror
STACK_BOUNDS_TEST := -Isrc/encoder tests/platform/stack_bounds_test.cpp src/encoder/stack_bounds.cpp
# No Mono or Gecko: their installers would ask for a display.
WINE := WINEPREFIX=$(abspath build/wine) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= wine

WINDOWS_PYTHONS := 3.7 3.8 3.9 3.10 3.11 3.12 3.13
WINDOWS_PACKAGES := g++ g++-mingw-w64-x86-64-posix wine wine64 osslsigncode

.PHONY: test-windows
test-windows:
	scripts/install-system-packages $(WINDOWS_PACKAGES)
	mkdir -p $(PLATFORM_BUILD)
	g++ $(PLATFORM_FLAGS) -pthread $(STACK_BOUNDS_TEST) -o $(PLATFORM_BUILD)/stack_bounds_test
	$(PLATFORM_BUILD)/stack_bounds_test
	$(WINDOWS_CXX) $(PLATFORM_FLAGS) -static $(STACK_BOUNDS_TEST) -o $(PLATFORM_BUILD)/stack_bounds_test.exe
	$(WINE) $(PLATFORM_BUILD)/stack_bounds_test.exe
	scripts/test-windows $(WINDOWS_PYTHONS)

# The codec's output buffer alone (benchmarks/buffer_growth.cpp): maps of
# 2^17, 2^20 and 2^23 entries appended natively and, built with mingw-w64,
# on wine's heap, where a block that grows moves.
GROWTH_SOURCES := -Isrc/cbor benchmarks/buffer_growth.cpp src/cbor/allocation.cpp src/cbor/buffer.cpp src/cbor/head.cpp
GROWTH_COUNTS := 131072 1048576 8388608
.PHONY: bench-growth
bench-growth:
	scripts/install-system-packages g++ g++-mingw-w64-x86-64-posix wine wine64
	mkdir -p $(PLATFORM_BUILD)
	g++ $(PLATFORM_FLAGS) $(GROWTH_SOURCES) -o $(PLATFORM_BUILD)/buffer_growth
	$(PLATFORM_BUILD)/buffer_growth $(GROWTH_COUNTS)
	$(WINDOWS_CXX) $(PLATFORM_FLAGS) -static $(GROWTH_SOURCES) -o $(PLATFORM_BUILD)/buffer_growth.exe
	$(WINE) $(PLATFORM_BUILD)/buffer_growth.exe $(GROWTH_COUNTS)

# The Linux aarch64 wheel (manylinux2014) for CPython 3.11: cross-built here
# with zig against Debian's arm64 headers and tagged by auditwheel, then the
# whole Python test-suite against it with Debian's arm64 CPython under
# qemu-user (scripts/test-aarch64; about 9 minutes the first time, 6 after).
.PHONY: test-aarch64
test-aarch64:
	scripts/test-aarch64

# What can be proven here of the wheels the hosted workflow builds: the
# workflow checked offline against GitHub's schema, its jobs' runners, and
# what their pinned cibuildwheel releases build against the platform table
# of docs/platforms.rst (scripts/check-platforms); the test requirements of
# every wheel of the table resolved from PyPI's wheels for its interpreter
# and platform (scripts/check-test-requirements); every source compiled for
# macOS and Windows against the headers of CPython 3.7-3.15 and PyPy 3.7-3.11
# (scripts/compile-for-platforms; those that pyenv and this machine lack come
# from the userlands); the stack-bounds test as a static musl program, run
# here. One virtual environment per requirements file.
PLATFORM_VENVS := build/platforms
PLATFORM_PYTHON := $(PLATFORM_VENVS)/platforms-check/bin/python
PLATFORM_PACKAGES := clang-16 libc++-16-dev g++-mingw-w64-x86-64-posix pypy3-dev

$(PLATFORM_VENVS)/%/installed: requirements/%.lock requirements/pip.lock
	$(PYTHON) -m venv $(PLATFORM_VENVS)/$*
	$(PLATFORM_VENVS)/$*/bin/python -m pip install -q $(LOCKED) requirements/pip.lock
	$(PLATFORM_VENVS)/$*/bin/python -m pip install -q $(LOCKED) $<
	touch $@

.PHONY: check-platforms
check-platforms: $(PLATFORM_VENVS)/cibuildwheel-2/installed $(PLATFORM_VENVS)/cibuildwheel-4/installed \
  $(PLATFORM_VENVS)/platforms-check/installed
	scripts/install-system-packages $(PLATFORM_PACKAGES)
	for userland in testing bullseye trixie; do scripts/userland $$userland true || exit 1; done
	$(PLATFORM_VENVS)/platforms-check/bin/check-jsonschema --builtin-schema vendor.github-workflows \
	  .github/workflows/wheels.yml
	$(PLATFORM_PYTHON) scripts/check-platforms $(PLATFORM_VENVS)
	$(PLATFORM_PYTHON) scripts/check-test-requirements
	$(PLATFORM_PYTHON) scripts/compile-for-platforms
	mkdir -p $(PLATFORM_BUILD)
	$(PLATFORM_PYTHON) -m ziglang c++ -target x86_64-linux-musl $(PLATFORM_FLAGS) -static $(STACK_BOUNDS_TEST) \
	  -o $(PLATFORM_BUILD)/stack_bounds_test-musl
	$(PLATFORM_BUILD)/stack_bounds_test-musl
