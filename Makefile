# Two entry points: `make demo` (build, then run the demo) and `make test`
# (build, then run every test). Both set up their own virtual environments.
#
# Environments: .venv (CPython 3.12+) holds only what building and running the
# package needs (requirements-build.txt, plus CMake/Ninja when the system lacks
# them), so `make demo` stays quick; the test targets add the developer tools
# (requirements-dev.txt) to the same .venv. .venv313 runs the suite on 3.13.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo

VENV := .venv
VENV313 := .venv313
PY := $(VENV)/bin/python
PY313 := $(VENV313)/bin/python
PIP_QUIET := 2> >(grep -v "^WARNING: Location" >&2)
JOBS ?= 2
SYSTEM_PACKAGES := libgtest-dev zlib1g-dev clang libclang-rt-14-dev

CORE_SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
PACKAGE_SOURCES := $(shell find python -type f -not -path '*/__pycache__/*')

# An interpreter for a new venv; looked up only by the recipes that make one.
# $(call find_python,WHAT,MINORS...) stops make with one clear line when there is none.
find_python = $(or $(shell scripts/find-python.sh $(2) 2>/dev/null),$(error $(NO_PYTHON)))
NO_PYTHON = no CPython $(1) found on PATH or through pyenv; install one (pyenv install $(firstword $(2))) \
	and run make again

.PHONY: demo dev wheel sdist test test-cpp test-sanitize test-sanitize-python fuzz-smoke fuzz-long fuzz-python \
	fuzz-python-smoke test-python test-python313 test-wheel test-cpp-plain audit lint bench clean

# --- environments ---------------------------------------------------------

$(VENV)/.ready: requirements-build.txt
	@python=$(call find_python,3.12 or later,3.12 3.13 3.14); rm -rf $(VENV); \
		echo "creating $(VENV) with $$python"; "$$python" -m venv $(VENV)
	$(PY) -m pip install -q --no-compile -r requirements-build.txt $(PIP_QUIET)
	@extra=$$($(PY) -c 'from scikit_build_core.build import get_requires_for_build_wheel as r; print(*r())'); \
		if [ -n "$$extra" ]; then echo "from PyPI: $$extra"; $(PY) -m pip install -q --no-compile $$extra $(PIP_QUIET); fi
	touch $@

# The developer tools, for the test targets only.
$(VENV)/.dev: $(VENV)/.ready requirements-dev.txt requirements-test.txt
	$(PY) -m pip install -q --upgrade pip $(PIP_QUIET)
	$(PY) -m pip install -q -r requirements-dev.txt $(PIP_QUIET)
	touch $@

$(VENV313)/.ready: requirements-test.txt
	@python=$(call find_python,3.13,3.13); rm -rf $(VENV313); "$$python" -m venv $(VENV313)
	$(PY313) -m pip install -q --upgrade pip $(PIP_QUIET)
	$(PY313) -m pip install -q -r requirements-test.txt $(PIP_QUIET)
	touch $@

# --- build ----------------------------------------------------------------

# The wheel as built (tagged linux_x86_64), installed into .venv.
dist/.built: $(VENV)/.ready $(CORE_SOURCES) $(PACKAGE_SOURCES)
	@echo '#include <zlib.h>' | $${CXX:-c++} -E -x c++ - >/dev/null 2>&1 || scripts/ensure-system-packages.sh zlib1g-dev
	scripts/build-wheel.sh $(PY)
	touch $@

# The wheel to hand out: repaired by auditwheel into wheelhouse/ with a manylinux tag.
wheel: wheelhouse/.built
wheelhouse/.built: dist/.built $(VENV)/.dev
	rm -rf wheelhouse
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w wheelhouse dist/*.whl
	ls wheelhouse/*.whl
	touch $@

sdist: $(VENV)/.dev
	$(PY) -m build --sdist --no-isolation --outdir wheelhouse .

demo: dist/.built
	$(PY) -m pyvorl demo

# The built package plus the developer tools in .venv, for running single tests by hand.
dev: dist/.built $(VENV)/.dev

# --- tests ----------------------------------------------------------------

test: lint test-cpp test-cpp-plain test-sanitize test-sanitize-python fuzz-smoke fuzz-python-smoke test-python audit \
	test-python313 test-wheel

test-cpp: $(VENV)/.dev
	scripts/ensure-system-packages.sh $(SYSTEM_PACKAGES)
	$(VENV)/bin/cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORL_BUILD_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/cpp -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure --no-tests=error

# The engine's tests again with the SIMD kernels left out: the plain loops alone.
test-cpp-plain: $(VENV)/.dev
	scripts/ensure-system-packages.sh $(SYSTEM_PACKAGES)
	$(VENV)/bin/cmake -S . -B build/cpp-plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORL_BUILD_TESTS=ON \
		-DVORL_SIMD=OFF -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/cpp-plain -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp-plain --output-on-failure --no-tests=error

# The engine's tests again under clang with ASan and UBSan.
test-sanitize: $(VENV)/.dev
	scripts/sanitize.sh

# The Python tests of hostile frames and changing buffers against the extension
# built under ASan and UBSan (build/fuzz-python, which fuzz-python-smoke reuses).
test-sanitize-python: $(VENV)/.dev
	scripts/sanitize-python.sh

# A bounded fuzzing run of the frame reader; `make fuzz-long` runs ten minutes.
fuzz-smoke: $(VENV)/.dev
	scripts/fuzz.sh 45

fuzz-long: $(VENV)/.dev
	scripts/fuzz.sh 600

# atheris over pack, parse, dumps and loads, against a sanitizer-instrumented
# build; the smoke run gives each harness 20 s.
fuzz-python: dist/.built $(VENV)/.dev
	scripts/fuzz-python.sh 180

fuzz-python-smoke: dist/.built $(VENV)/.dev
	FUZZ_SEED=1 scripts/fuzz-python.sh 20

# nats-server: tests/python/test_nats.py starts one of its own.
test-python: dist/.built $(VENV)/.dev
	scripts/ensure-system-packages.sh nats-server
	$(PY) -m pytest -q

audit: wheelhouse/.built
	$(VENV)/bin/abi3audit --strict --report wheelhouse/*.whl
	$(VENV)/bin/auditwheel show wheelhouse/*.whl

test-python313: wheelhouse/.built $(VENV313)/.ready
	scripts/ensure-system-packages.sh nats-server
	$(PY313) -m pip install -q --force-reinstall --no-deps wheelhouse/*.whl $(PIP_QUIET)
	$(PY313) -m pytest -q

# The handed-out wheel in a fresh 3.13 venv, away from the source tree.
test-wheel: wheelhouse/.built
	scripts/check-wheel.sh wheelhouse/*.whl

# Style (ruff for Python, clang-format for C++; pyproject.toml and .clang-format)
# and the size of the test suite against the code.
LINT_PYTHON := python tests bench fuzz scripts
LINT_CXX = $(shell find src tests/cpp fuzz -name '*.cpp' -o -name '*.hpp')
lint: $(VENV)/.dev
	$(VENV)/bin/ruff check $(LINT_PYTHON)
	$(VENV)/bin/ruff format --check $(LINT_PYTHON)
	$(VENV)/bin/clang-format --dry-run --Werror $(LINT_CXX)
	$(PY) scripts/test-ratio.py

# Speed and size against a NumPy copy, pyarrow IPC and pickle (bench/README.md);
# prints the table and writes bench/results.json. Takes a few minutes.
bench: dist/.built bench/requirements.txt
	$(PY) -m pip install -q -r bench/requirements.txt $(PIP_QUIET)
	$(PY) bench/run.py

clean:
	rm -rf build dist wheelhouse $(VENV) $(VENV313)
