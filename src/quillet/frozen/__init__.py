# The native module quillet.frozen.frozen is the package's public face: its
# names are re-exported here. FrozenDict becomes a collections.abc.Mapping by
# registration, which leaves the type itself as it is.
import collections.abc as _abc

from quillet.frozen import frozen as _native
from quillet.frozen.frozen import *
from quillet.frozen.frozen import _in_place_reads_enabled as _in_place_reads_enabled  # private: for the tests

__doc__ = _native.__doc__
__all__ = [
    "NONE_ITEMS_TUPLE",
    "NONE_TUPLE",
    "NULL_FROZEN_DICT",
    "NULL_KEY",
    "NULL_TUPLE",
    "FrozenDict",
    "FrozenDictItems",
    "FrozenDictKeys",
    "NullFrozenDict",
    "freeze",
]

_abc.Mapping.register(FrozenDict)
