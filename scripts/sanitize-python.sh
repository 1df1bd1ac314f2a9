#!/bin/bash
# The Python tests that feed dumps and loads hostile frames and changing
# buffers, against the extension built under ASan and UBSan: a memory error
# or undefined behaviour fails the run, in the test process or its children.
#
# The build is the one the Python fuzzers use (build/fuzz-python, with
# coverage instrumentation), so that `make test` builds it once: the
# libFuzzer runtime in its sanitizers.so stays idle under pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/fuzz-python
mkdir -p "$work"
scripts/build-sanitized-extension.sh "$work" coverage > "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; exit 1; }
# Python objects go through malloc, so that ASan sees them too. Leaks are left
# to the leak tests: the interpreter does not free everything at exit.
env PYTHONPATH="$work/site" LD_PRELOAD="$work/sanitizers.so" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:halt_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider \
    tests/python/test_changing_input.py tests/python/test_hostile_frames.py tests/python/test_api.py \
    tests/python/test_parse.py tests/python/test_pack.py tests/python/test_decoder.py tests/python/test_nulls.py \
    tests/python/test_projection.py tests/python/test_arrow_export.py tests/python/test_arrow_intake.py
