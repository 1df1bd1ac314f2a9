import re
import subprocess
import sys
from pathlib import Path

import pytest

import pyvorl

EXAMPLE = Path(__file__).parent / "typing_example" / "usage.py"

# (file name, snippet, error codes mypy must report on its last line)
BAD = [
    ("bad_obj", "pyvorl.pack_table_frame(1, [])", {"arg-type"}),
    ("bad_column", 'pyvorl.pack_table_frame("x", [("a", (1, 2))])', {"list-item"}),
    ("bad_unpack", 'for table in pyvorl.read_frames(sys.stdin.buffer): table.obj = "x"', {"misc"}),
]


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory, request):
    """One mypy --strict run over the example and every bad snippet: {file: {(line, code)}}."""
    folder = tmp_path_factory.mktemp("typing")
    (folder / EXAMPLE.name).write_text(EXAMPLE.read_text())
    for name, snippet, _ in BAD:
        (folder / f"{name}.py").write_text(f"import sys\n\nimport pyvorl\n\n{snippet}\n")
    cache = request.config.cache.mkdir("mypy") if getattr(request.config, "cache", None) else folder / ".cache"
    files = sorted(p.name for p in folder.glob("*.py"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache), *files],
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=300,
    )
    errors = {}
    for match in re.finditer(r"^(\S+)\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M):
        errors.setdefault(match[1], set()).add((int(match[2]), match[3]))
    assert result.returncode in (0, 1), result.stdout + result.stderr
    return errors, result.stdout


def test_the_package_ships_its_stubs_and_marker():
    folder = Path(pyvorl.__file__).parent
    assert (folder / "py.typed").is_file() and (folder / "_vorl.pyi").is_file()


def test_mypy_strict_accepts_the_example(mypy_errors):
    errors, output = mypy_errors
    assert "usage" not in errors, output


def test_the_example_runs():
    subprocess.run([sys.executable, str(EXAMPLE)], check=True, capture_output=True, timeout=60)


@pytest.mark.parametrize("name, snippet, codes", BAD, ids=[name for name, _, _ in BAD])
def test_mypy_strict_rejects_misuse(mypy_errors, name, snippet, codes):
    errors, output = mypy_errors
    assert {code for line, code in errors.get(name, ())} == codes, output
    assert {line for line, code in errors[name]} == {5}
