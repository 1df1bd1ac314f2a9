#!/bin/bash
# Fuzzes the extension through its Python surface with atheris:
#   scripts/fuzz-python.sh [SECONDS]    (each harness runs SECONDS, default 30)
#
# The extension is built a second time with clang under ASan, UBSan and
# coverage instrumentation (build/fuzz-python), so that the fuzzer is guided
# by the native branches and memory errors stop the run. libFuzzer and the
# sanitizer runtimes are preloaded as one library: a separate ASan runtime
# would answer the coverage callbacks with its own empty defaults.
# FUZZ_PLAIN=1 fuzzes the installed wheel instead (Python-side coverage only).
#
# Exit status: 0 when no harness found anything, 1 otherwise. Findings are
# written to fuzz/artifacts/python/; the corpus grows in build/fuzz-python.
set -euo pipefail
seconds=${1:-30}
cd "$(dirname "$0")/.."
root=$PWD
python=$root/.venv/bin/python
work=$root/build/fuzz-python
artifacts=$root/fuzz/artifacts/python
mkdir -p "$work" "$artifacts"

"$python" -m pip install -q -r fuzz/python/requirements.txt 2> >(grep -v "^WARNING: Location" >&2)

# Every step must succeed; `set -e` does not reach into a function tested by `if`.
build_instrumented() {
    scripts/ensure-system-packages.sh clang libclang-rt-14-dev || return 1
    local runtime
    runtime=$(clang -print-resource-dir)/lib/linux || return 1
    if [ ! -f "$work/sanitizers_with_fuzzer.so" ]; then
        rm -rf "$work/asan-objects" && mkdir -p "$work/asan-objects" &&
            (cd "$work/asan-objects" && ar x "$runtime/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o) &&
            clang++ -shared -fPIC -o "$work/sanitizers_with_fuzzer.so" "$work"/asan-objects/*.o \
                -Wl,--whole-archive "$runtime/libclang_rt.asan_cxx-x86_64.a" \
                "$runtime/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm ||
            return 1
    fi
    rm -rf "$work/wheel" "$work/site" &&
        CC=clang CXX=clang++ CMAKE_BUILD_PARALLEL_LEVEL=2 "$python" -m pip wheel -q --no-build-isolation --no-deps \
            -w "$work/wheel" . -C build-dir="$work/cmake" -C cmake.build-type=RelWithDebInfo \
            -C cmake.define.VORL_SANITIZE=address,undefined \
            "-Ccmake.define.CMAKE_CXX_FLAGS=-fsanitize-coverage=inline-8bit-counters,pc-table,trace-cmp -g" &&
        "$python" -m pip install -q --no-deps --target "$work/site" "$work"/wheel/*.whl
}

run_environment=()
if [ "${FUZZ_PLAIN:-0}" != 1 ]; then
    if build_instrumented > "$work/build.log" 2>&1; then
        # Python objects go through malloc, so that ASan sees them too.
        run_environment=(PYTHONPATH="$work/site" LD_PRELOAD="$work/sanitizers_with_fuzzer.so" PYTHONMALLOC=malloc
                         ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=0:abort_on_error=0
                         UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
        echo "fuzzing the instrumented build (ASan, UBSan, native coverage)"
    else
        echo "instrumented build failed (see $work/build.log); fuzzing the installed wheel" >&2
    fi
fi

"$python" fuzz/python/write_seeds.py "$work/corpus/fuzz_parse"
mkdir -p "$work/corpus/fuzz_pack"

status=0
for harness in fuzz_parse fuzz_pack; do
    echo "== $harness: ${seconds}s"
    options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
             -artifact_prefix="$artifacts/$harness-")
    (cd fuzz/python && env "${run_environment[@]}" "$python" "$harness.py" "$work/corpus/$harness" "${options[@]}") \
        > "$work/$harness.log" 2>&1 || status=1
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]+DONE)" "$work/$harness.log" || true
    grep -E -A30 "ERROR: |=== Uncaught Python exception|Test unit written" "$work/$harness.log" | head -60 || true
done
[ "$status" = 0 ] && echo "no findings" || echo "findings: see $artifacts and $work/*.log" >&2
exit "$status"
