"""quillet: immutable hashable data, fast predicates and a text cursor, as CPython extensions."""

from quillet._version import __version__ as __version__

__all__ = ["frozen", "text_walker", "utils"]
