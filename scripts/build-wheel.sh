#!/bin/bash
# Builds the abi3 wheel into dist/ and installs it into the given venv, showing
# the build's steps as they happen (the full log stays in build/wheel.log).
# Serialised with a lock: concurrent builds would share build/ and dist/.
set -euo pipefail
python=$1
cd "$(dirname "$0")/.."
mkdir -p build
exec 9>build/.wheel.lock
flock 9
rm -rf dist
echo "building the extension (log: build/wheel.log)"
progress() {
    { grep --line-buffered -E '^ *(\[[0-9]+/[0-9]+\] |-- zlib:|\*\*\* )' || true; } |
        sed -u -E 's/^ *//; s|Building CXX object .*/([^/]+)\.o$|compiling \1|' |
        sed -u -E 's|Linking CXX .* ([^ ]*/)?([^ /]+)$|linking \2|'
}
if ! "$python" -m pip wheel -v --no-build-isolation --no-deps -w dist . 2>&1 | tee build/wheel.log | progress; then
    tail -n 40 build/wheel.log | grep -v "^WARNING: Location" >&2
    echo "build-wheel.sh: the build failed; the whole log is in build/wheel.log" >&2
    exit 1
fi
"$python" -m pip install -q --force-reinstall --no-deps dist/*.whl 2> >(grep -v "^WARNING: Location" >&2)
