"""The README's recipes that need a server, as modules: the tests run the code the README shows.

Such a block is marked ```py NAME rather than ```python, which test_readme.py runs on its own."""

import re
import types
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def recipe(name):
    """The module that the ```py `name` block of the README defines."""
    found = re.search(rf"^```py {name}\n(.*?)^```$", README.read_text(), re.M | re.S)
    if not found:
        raise LookupError(f"no ```py {name} block in README.md")
    module = types.ModuleType(f"recipe_{name}")
    exec(compile(found[1], f"README.md:{name}", "exec"), module.__dict__)
    return module
