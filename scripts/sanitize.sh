#!/usr/bin/env bash
# Builds the engine and its C++ tests with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (build/sanitize) and runs the tests; any report,
# leaks included, fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
tools="$root/.venv/bin"
[ -x "$tools/cmake" ] && [ -x "$tools/ninja" ] || { echo "sanitize.sh: $tools lacks cmake/ninja (run make test-cpp first)" >&2; exit 1; }
scripts/ensure-system-packages.sh clang libclang-rt-14-dev libgtest-dev zlib1g-dev

"$tools/cmake" -S . -B build/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORL_SANITIZE=address,undefined -DVORL_BUILD_TESTS=ON >/dev/null
"$tools/cmake" --build build/sanitize -j 2

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$tools/ctest" --test-dir build/sanitize --output-on-failure --no-tests=error
