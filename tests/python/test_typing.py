import subprocess
import sys
from pathlib import Path

import pyvorl

EXAMPLE = Path(__file__).parent / "typing_example" / "usage.py"


def test_the_stubs_accept_the_example_and_refuse_its_misuse(request):
    folder = Path(pyvorl.__file__).parent
    assert (folder / "py.typed").is_file() and (folder / "_vorl.pyi").is_file()
    cache = request.config.cache.mkdir("mypy")
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), str(EXAMPLE)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    subprocess.run([sys.executable, str(EXAMPLE)], check=True, capture_output=True, timeout=60)
