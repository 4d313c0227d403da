"""quillet: immutable hashable data, fast predicates and a text cursor, as CPython extensions."""

__all__ = ["frozen", "text_walker", "utils"]
