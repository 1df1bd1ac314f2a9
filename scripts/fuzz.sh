#!/usr/bin/env bash
# Fuzzes the frame reader for SECONDS (default 60), single process, under
# AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   scripts/fuzz.sh [SECONDS]
#
# Builds the targets in build/fuzz, writes the seed corpus there, and grows a
# working corpus in build/fuzz/corpus/work that later runs start from. A
# crash, leak, hang or an allocation beyond the limits below (what a hostile
# count would cause) fails the run, and its input is copied to fuzz/regressions/.
set -euo pipefail
seconds="${1:-60}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
cd "$(dirname "$0")/.."
root="$PWD"
tools="$root/.venv/bin"
[ -x "$tools/cmake" ] && [ -x "$tools/ninja" ] || { echo "fuzz.sh: $tools lacks cmake/ninja (run make test-cpp first)" >&2; exit 1; }
scripts/ensure-system-packages.sh clang libclang-rt-14-dev libgtest-dev zlib1g-dev

build="$root/build/fuzz"
"$tools/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORL_SANITIZE=address,undefined -DVORL_BUILD_FUZZERS=ON -DVORL_BUILD_TESTS=OFF >/dev/null
"$tools/cmake" --build "$build" -j 2 --target frame_reader_fuzzer make_corpus

seed="$build/corpus/seed"
work="$build/corpus/work"
artifacts="$build/artifacts"
log="$build/fuzz.log"
rm -rf "$seed" "$artifacts"
mkdir -p "$seed" "$work" "$artifacts"
"$build/fuzz/make_corpus" "$seed"

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
echo "fuzzing the frame reader for ${seconds}s (log: ${log#"$root"/})"
status=0
"$build/fuzz/frame_reader_fuzzer" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=512 -max_len=65536 -timeout=10 \
    -dict=fuzz/frame.dict -artifact_prefix="$artifacts/" -print_final_stats=1 \
    "$work" "$seed" fuzz/regressions >"$log" 2>&1 || status=$?

# The last status line carries the execution count and the coverage.
grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true
grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' "$log" || true

found=$(find "$artifacts" -type f | sort)
if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "fuzz.sh: the frame reader fuzzer failed (exit $status); the end of its log:" >&2
    tail -n 60 "$log" >&2
    for input in $found; do
        cp "$input" fuzz/regressions/
        echo "kept fuzz/regressions/$(basename "$input")" >&2
    done
    exit 1
fi
echo "fuzz.sh: no failures"
