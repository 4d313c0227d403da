"""Immutable hashable data, fast predicates and a text cursor, as CPython extensions.

The package is four extension modules: :mod:`quillet.frozen`,
:mod:`quillet.utils`, :mod:`quillet.utils.attrs` and :mod:`quillet.text_walker`.
``from quillet import *`` imports the three top-level modules.
"""

from quillet import frozen as frozen
from quillet import text_walker as text_walker
from quillet import utils as utils

__all__ = ["frozen", "text_walker", "utils"]

__version__: str
"""The installed version of the package, such as ``"0.1.0"``."""
