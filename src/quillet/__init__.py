"""quillet: immutable hashable data, fast predicates and a text cursor, as CPython extensions."""

import importlib as _importlib

from quillet._version import __version__ as __version__

__all__ = ["frozen", "text_walker", "utils"]


def __getattr__(name):
    # The submodules become attributes on first use, as the stub declares them.
    if name in __all__:
        return _importlib.import_module(f"quillet.{name}")
    raise AttributeError(f"module 'quillet' has no attribute {name!r}")
