#!/bin/bash
# Builds the abi3 wheel into dist/ and installs it into the given venv.
# Serialised with a lock: concurrent builds would share build/ and dist/.
set -euo pipefail
python=$1
cd "$(dirname "$0")/.."
mkdir -p build
exec 9>build/.wheel.lock
flock 9
rm -rf dist
"$python" -m pip wheel -q --no-build-isolation --no-deps -w dist . 2> >(grep -v "^WARNING: Location" >&2)
"$python" -m pip install -q --force-reinstall --no-deps dist/*.whl 2> >(grep -v "^WARNING: Location" >&2)
