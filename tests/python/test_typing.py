import subprocess
import sys
from pathlib import Path

import pyvorl

EXAMPLE = Path(__file__).parent / "typing_example" / "usage.py"


def test_the_package_ships_its_stubs_and_marker():
    folder = Path(pyvorl.__file__).parent
    assert (folder / "py.typed").is_file() and (folder / "_vorl.pyi").is_file()


def test_mypy_strict_accepts_the_example_and_it_runs(tmp_path):
    (tmp_path / EXAMPLE.name).write_text(EXAMPLE.read_text())
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / ".cache")]
    result = subprocess.run([*mypy, EXAMPLE.name], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    subprocess.run([sys.executable, str(EXAMPLE)], check=True, capture_output=True, timeout=60)
