#!/bin/bash
# Fuzzes the extension through its Python surface with atheris:
#   scripts/fuzz-python.sh [SECONDS]    (each harness runs SECONDS, default 30)
# Harnesses (fuzz/python): fuzz_parse and fuzz_pack over the specified
# functions, fuzz_loads (frames) and fuzz_dumps (argument shapes) over
# pyvorl.loads and pyvorl.dumps.
#
# The extension is built a second time with clang under ASan, UBSan and
# coverage instrumentation (build/fuzz-python, by build-sanitized-extension.sh),
# so that the fuzzer is guided by the native branches and memory errors stop
# the run.
# FUZZ_PLAIN=1 fuzzes the installed wheel instead (Python-side coverage only).
# FUZZ_SEED=N fixes libFuzzer's seed (and Python's hash seed), so that a run
# from the written seeds replays the same inputs: `make test` does, so that a
# shorter run on a slower machine tries a prefix of what a longer one tried.
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

run_environment=()
if [ "${FUZZ_PLAIN:-0}" != 1 ]; then
    if scripts/build-sanitized-extension.sh "$work" coverage > "$work/build.log" 2>&1; then
        # Python objects go through malloc, so that ASan sees them too.
        run_environment=(PYTHONPATH="$work/site" LD_PRELOAD="$work/sanitizers.so" PYTHONMALLOC=malloc
                         ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=0:abort_on_error=0
                         UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
        echo "fuzzing the instrumented build (ASan, UBSan, native coverage)"
    else
        echo "instrumented build failed (see $work/build.log); fuzzing the installed wheel" >&2
    fi
fi

harnesses=(fuzz_parse fuzz_pack fuzz_loads fuzz_dumps)
"$python" fuzz/python/write_seeds.py "$work/corpus"
for harness in "${harnesses[@]}"; do mkdir -p "$work/corpus/$harness"; done

status=0
for harness in "${harnesses[@]}"; do
    echo "== $harness: ${seconds}s"
    options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
             -artifact_prefix="$artifacts/$harness-")
    seeded=()
    if [ -n "${FUZZ_SEED:-}" ]; then
        options+=(-seed="$FUZZ_SEED")
        seeded=(PYTHONHASHSEED="$FUZZ_SEED")
    fi
    (cd fuzz/python && env "${run_environment[@]}" "${seeded[@]}" "$python" "$harness.py" "$work/corpus/$harness" \
        "${options[@]}") \
        > "$work/$harness.log" 2>&1 || status=1
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+[[:space:]]+DONE)" "$work/$harness.log" || true
    grep -E -A30 "ERROR: |=== Uncaught Python exception|Test unit written" "$work/$harness.log" | head -60 || true
done
[ "$status" = 0 ] && echo "no findings" || echo "findings: see $artifacts and $work/*.log" >&2
exit "$status"
