#!/bin/bash
# Checks a wheel as a user gets it: a manylinux tag, and a fresh CPython venv
# (3.13 unless told otherwise), made in a temporary folder that has never seen
# the source tree and with no compiler on PATH, installs it from binaries alone,
# imports it, reports the version the wheel was built with and runs a small demo.
# Usage: scripts/check-wheel.sh WHEEL [PYTHON_MINOR]
set -uo pipefail
wheel=$(realpath "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
python=$("$root/scripts/find-python.sh" "${2:-3.13}") || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0 failed=0

check() {  # check NAME COMMAND...: runs COMMAND, shows its output only when it fails
    local name=$1 output
    shift
    if output=$("$@" 2>&1); then
        echo "ok   $name"; passed=$((passed + 1))
    else
        echo "FAIL $name"
        [ -z "$output" ] || printf '%s\n' "$output" | grep -v "^WARNING: Location" | tail -n 20 | sed 's/^/     /'
        failed=$((failed + 1))
    fi
}

name=$(basename "$wheel")
version=$(echo "$name" | cut -d- -f2)
check "tag: $name is manylinux" grep -qE -- '-cp312-abi3-manylinux_2_[0-9]+_[a-z0-9_]+\.whl$' <<<"$name"

# The venv's own bin is all there is on PATH: no cc, no c++, no source tree.
install() {
    "$python" -m venv venv &&
        env -u CC -u CXX PATH="$work/venv/bin" venv/bin/python -m pip install -q --only-binary :all: "$wheel"
}
check "install into a fresh $("$python" -V) venv without a compiler" install

run() { env -u PYTHONPATH PATH="$work/venv/bin" "$@"; }
imports() {
    run python -c 'import pyvorl, sys; sys.exit(not pyvorl.__file__.startswith(sys.prefix))' &&
        [ "$(run python -c 'import pyvorl; print(pyvorl.__version__)')" = "$version" ]
}
check "import from the venv, __version__ $version" imports
check "pyvorl --version prints $version" test "$(run pyvorl --version 2>&1)" = "pyvorl $version"
check "pyvorl demo --rows 20000" run pyvorl demo --rows 20000 --frames 4

echo "wheel: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
