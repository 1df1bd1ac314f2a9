"""The README's recipes that need a server, as modules: the tests run the code the README shows.

Such a block is marked ```py NAME rather than ```python, which test_readme.py runs on its own."""

import re
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = ("README.md", "README-bus.md")


def recipe(name):
    """The module that the ```py `name` block of the README defines."""
    for document in DOCUMENTS:
        path = ROOT / document
        found = path.exists() and re.search(rf"^```py {name}\n(.*?)^```$", path.read_text(), re.M | re.S)
        if found:
            module = types.ModuleType(f"recipe_{name}")
            exec(compile(found[1], f"{document}:{name}", "exec"), module.__dict__)
            return module
    raise LookupError(f"no ```py {name} block in {' or '.join(DOCUMENTS)}")
