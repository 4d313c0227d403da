"""The documentation site: the Sphinx build with warnings as errors, every
example in the pages and the stubs run as a doctest, and every public name in
the built reference. Sphinx is installed only in the docs environment, where
tools/test.sh runs this file; elsewhere it is skipped."""

import importlib
import importlib.util
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

if importlib.util.find_spec("autoapi") is None:
    pytest.skip("Sphinx and AutoAPI are in the docs environment only", allow_module_level=True)

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / ".cache" / "docs"
MODULES = ["quillet", "quillet.frozen", "quillet.utils", "quillet.utils.attrs", "quillet.text_walker"]
# Exist only to raise TypeError; the class texts say so, the reference leaves them out.
MUTATORS = {"clear", "pop", "popitem", "setdefault", "update"}


def sphinx(builder):
    return subprocess.run(
        [sys.executable, "-m", "sphinx", "-E", "-W", "--keep-going", "-q", "-b", builder, ROOT / "docs", OUT / builder],
        capture_output=True,
        text=True,
        check=False,
    )


@pytest.fixture(scope="module")
def documented():
    """The full names of every object in the built HTML reference."""
    result = sphinx("html")
    assert result.returncode == 0, result.stderr
    with open(OUT / "html" / "objects.inv", "rb") as inventory:
        for _ in range(4):  # the plain-text header
            inventory.readline()
        lines = zlib.decompress(inventory.read()).decode().splitlines()
    return {line.split(" ", 1)[0] for line in lines}


def public_names(module):
    names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
    return names + (["__version__"] if module.__name__ == "quillet" else [])


@pytest.mark.parametrize("module_name", MODULES)
def test_every_public_name_is_in_the_reference(documented, module_name):
    module = importlib.import_module(module_name)
    missing = [name for name in public_names(module) if f"{module_name}.{name}" not in documented]
    for name in public_names(module):
        cls = getattr(module, name, None)
        if isinstance(cls, type):
            members = [m for m in vars(cls) if not m.startswith("_") and m not in MUTATORS]
            # A member redefined at run time may be documented once, on a base.
            owners = [f"{module_name}.{base.__name__}" for base in cls.__mro__]
            missing += [f"{name}.{m}" for m in members if not any(f"{o}.{m}" in documented for o in owners)]
    assert missing == []


def test_examples_run_as_doctests():
    result = sphinx("doctest")
    report = OUT / "doctest" / "output.txt"
    assert result.returncode == 0, report.read_text() if report.exists() else result.stderr
