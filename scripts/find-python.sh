#!/bin/sh
# Prints the path of a CPython 3.12 or later interpreter, preferring the
# oldest one (the wheel targets the 3.12 stable ABI). Usage: find-python.sh [MINOR...]
# The default python3 on these machines is 3.11, which cannot load the module,
# so this looks at PATH first and then asks pyenv for each installed version.
minors=${*:-"3.12 3.13 3.14"}
for minor in $minors; do
    for candidate in "python$minor"; do
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            command -v "$candidate"
            exit 0
        fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        version=$(pyenv versions --bare 2>/dev/null | grep -E "^$minor(\.[0-9]+)?$" | sort -V | tail -n 1)
        if [ -n "$version" ]; then
            path=$(PYENV_VERSION="$version" pyenv which "python$minor" 2>/dev/null)
            if [ -n "$path" ] && "$path" -c 'import sys' >/dev/null 2>&1; then
                echo "$path"
                exit 0
            fi
        fi
    fi
done
echo "find-python.sh: no CPython $minors found (tried PATH and pyenv)" >&2
exit 1
