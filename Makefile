# Two entry points: `make demo` (build, then run the demo) and `make test`
# (build, then run every test). Both set up their own virtual environments.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := demo

VENV := .venv
VENV313 := .venv313
PY := $(VENV)/bin/python
PY313 := $(VENV313)/bin/python
JOBS ?= 2
SYSTEM_PACKAGES := libgtest-dev zlib1g-dev clang libclang-rt-14-dev

CORE_SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
PACKAGE_SOURCES := $(shell find python -type f -not -path '*/__pycache__/*')

.PHONY: demo test test-cpp test-cpp-plain test-sanitize fuzz-smoke fuzz-long fuzz-python test-python test-python313 audit bench clean

$(VENV)/.ready: requirements-dev.txt requirements-test.txt
	rm -rf $(VENV)
	"$$(scripts/find-python.sh 3.12 3.13 3.14)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

$(VENV313)/.ready: requirements-test.txt
	rm -rf $(VENV313)
	"$$(scripts/find-python.sh 3.13)" -m venv $(VENV313)
	$(PY313) -m pip install -q --upgrade pip
	$(PY313) -m pip install -q -r requirements-test.txt
	touch $@

dist/.built: $(VENV)/.ready $(CORE_SOURCES) $(PACKAGE_SOURCES)
	scripts/ensure-system-packages.sh zlib1g-dev
	scripts/build-wheel.sh $(PY)
	touch $@

demo: dist/.built
	$(PY) -m pyvorl demo

test: test-cpp test-cpp-plain test-sanitize fuzz-smoke test-python audit test-python313

test-cpp: $(VENV)/.ready
	scripts/ensure-system-packages.sh $(SYSTEM_PACKAGES)
	$(VENV)/bin/cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORL_BUILD_TESTS=ON \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/cpp -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp --output-on-failure --no-tests=error

# The engine's tests again with the SIMD kernels left out: the plain loops alone.
test-cpp-plain: $(VENV)/.ready
	scripts/ensure-system-packages.sh $(SYSTEM_PACKAGES)
	$(VENV)/bin/cmake -S . -B build/cpp-plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORL_BUILD_TESTS=ON \
		-DVORL_SIMD=OFF -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja >/dev/null
	$(VENV)/bin/cmake --build build/cpp-plain -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp-plain --output-on-failure --no-tests=error

# The engine's tests again under clang with ASan and UBSan.
test-sanitize: $(VENV)/.ready
	scripts/sanitize.sh

# A bounded fuzzing run of the frame reader; `make fuzz-long` runs ten minutes.
fuzz-smoke: $(VENV)/.ready
	scripts/fuzz.sh 45

fuzz-long: $(VENV)/.ready
	scripts/fuzz.sh 600

# atheris over pack and parse, against a sanitizer-instrumented build.
fuzz-python: dist/.built
	scripts/fuzz-python.sh 180

test-python: dist/.built
	$(PY) -m pytest -q

audit: dist/.built
	$(VENV)/bin/abi3audit --strict --report dist/*.whl

# Speed and size against a NumPy copy, pyarrow IPC and pickle (bench/README.md);
# prints the table and writes bench/results.json. Takes a few minutes.
bench: dist/.built bench/requirements.txt
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) bench/run.py

test-python313: dist/.built $(VENV313)/.ready
	$(PY313) -m pip install -q --force-reinstall --no-deps dist/*.whl
	$(PY313) -m pytest -q

clean:
	rm -rf build dist $(VENV) $(VENV313)
