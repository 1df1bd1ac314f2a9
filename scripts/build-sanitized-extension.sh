#!/bin/bash
# Builds the extension a second time with clang under ASan and UBSan into
# WORK/site, with the sanitizer runtime as one preloadable library in
# WORK/sanitizers.so (Python itself is not instrumented, so the runtime must
# come first). With "coverage", the build also carries libFuzzer's coverage
# instrumentation and the library libFuzzer: a separate ASan runtime would
# answer the coverage callbacks with its own empty defaults.
#   scripts/build-sanitized-extension.sh WORK [coverage]
#
# A build of the same sources in the same mode is reused, so that the
# sanitized tests and the Python fuzzers share one (build/fuzz-python); a
# second caller waits for a build in progress.
set -euo pipefail
work=$1
coverage=${2:-}
cd "$(dirname "$0")/.."
python=$PWD/.venv/bin/python
mkdir -p "$work"
exec 9> "$work/.lock"
flock 9
scripts/ensure-system-packages.sh clang libclang-rt-14-dev
sources=$(find src python CMakeLists.txt pyproject.toml -type f -not -path '*/__pycache__/*' -not -name '*.so' |
    LC_ALL=C sort | xargs -d '\n' sha256sum | sha256sum)
stamp="$coverage $sources"
if [ -f "$work/site/.sources" ] && [ "$(cat "$work/site/.sources")" = "$stamp" ]; then
    echo "reusing the sanitized build in $work (sources unchanged)"
    exit 0
fi
runtime=$(clang -print-resource-dir)/lib/linux
if [ ! -f "$work/sanitizers.so" ] || [ "$(cat "$work/sanitizers.mode" 2>/dev/null)" != "$coverage" ]; then
    fuzzer=()
    [ "$coverage" = coverage ] && fuzzer=("$runtime/libclang_rt.fuzzer_no_main-x86_64.a")
    rm -rf "$work/asan-objects" && mkdir -p "$work/asan-objects"
    (cd "$work/asan-objects" && ar x "$runtime/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o)
    clang++ -shared -fPIC -o "$work/sanitizers.so" "$work"/asan-objects/*.o \
        -Wl,--whole-archive "$runtime/libclang_rt.asan_cxx-x86_64.a" \
        "${fuzzer[@]}" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
    echo "$coverage" > "$work/sanitizers.mode"
fi
flags="-g"
[ "$coverage" = coverage ] && flags="-fsanitize-coverage=inline-8bit-counters,pc-table,trace-cmp -g"
rm -rf "$work/wheel" "$work/site"
CC=clang CXX=clang++ CMAKE_BUILD_PARALLEL_LEVEL=2 "$python" -m pip wheel -q --no-build-isolation --no-deps \
    -w "$work/wheel" . -C build-dir="$work/cmake" -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.VORL_SANITIZE=address,undefined "-Ccmake.define.CMAKE_CXX_FLAGS=$flags"
"$python" -m pip install -q --no-deps --target "$work/site" "$work"/wheel/*.whl
echo "$stamp" > "$work/site/.sources"
