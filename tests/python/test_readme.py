"""Every Python example of README.md runs, each in its own interpreter, in an empty folder."""

import ast
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import pyvorl

README = Path(__file__).resolve().parents[2] / "README.md"
OPTIONAL = {"pandas", "polars", "pyarrow", "zmq", "fsspec", "dask", "distributed"}
CONVERTERS = {"to_pandas": "pandas", "to_polars": "polars", "to_arrow": "pyarrow"}
# A block that imports nothing goes on from the prose of its section, which gives it these names;
# one that imports anything imports all it uses.
SECTION_IMPORTS = "import asyncio\nimport numpy as np\nimport pyvorl\n"
CONTEXT = {"chunks": "import numpy as np\nchunks = [{'price': np.array([101.25, 101.5]), 'qty': np.arange(2)}] * 3\n"}


def examples():
    """(section heading, code) of every ```python block."""
    heading, found = "", {}
    for match in re.finditer(r"^(#+) ([^\n]*)$|^```python\n(.*?)^```$", README.read_text(), re.M | re.S):
        if match[2]:
            heading = match[2]
        else:
            found[heading if heading not in found else f"{heading} ({len(found)})"] = match[3]
    return found


EXAMPLES = examples()


def imported(tree):
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module.partition(".")[0]


@pytest.mark.parametrize("section", EXAMPLES)
def test_readme_example_runs(section, tmp_path):
    code = EXAMPLES[section]
    modules = set(imported(ast.parse(code)))
    needed = (modules | {library for method, library in CONVERTERS.items() if f".{method}(" in code}) & OPTIONAL
    for library in sorted(needed):
        if importlib.util.find_spec(library) is None:
            pytest.skip(f"needs {library}")
    setup = "" if modules else SECTION_IMPORTS
    setup += "".join(value for name, value in CONTEXT.items() if re.search(rf"\b{name}\b", code))
    with open(tmp_path / "trades.vorl", "wb") as stream:  # the file the examples of files read
        for day in range(3):
            pyvorl.write_frame(stream, {"price": np.array([101.25, 101.5]) + day}, obj="trades", decimals={"price": 2})
    (tmp_path / "example.py").write_text(setup + code)
    run = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
