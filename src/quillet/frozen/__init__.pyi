"""Read-only, hashable versions of your dicts, lists and sets, frozen all the way down.

:class:`FrozenDict` is a read-only mapping that freezes its values on the way
in and computes its hash once; :func:`freeze` turns nested dicts, lists, tuples
and sets into immutable, hashable counterparts; :data:`NULL_FROZEN_DICT` is the
null mapping, which stands for the absence of a mapping.
"""

from collections.abc import Hashable, Iterable, Iterator, Mapping
from types import GenericAlias
from typing import Any, Final, NoReturn, TypeVar, final, overload

from typing_extensions import disjoint_base

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

_K = TypeVar("_K")
_V = TypeVar("_V")
_K2 = TypeVar("_K2")
_V_co = TypeVar("_V_co", covariant=True)
_T = TypeVar("_T")
_H = TypeVar("_H", bound=Hashable)
# Values that freezing leaves as they are, so that their type is kept.
_Leaf = TypeVar("_Leaf", str, bytes, int, float, None)

# FrozenDict is registered as a collections.abc.Mapping at import time. Unlike
# a Mapping's views, keys(), values() and items() return lists (and tuples for
# the null mapping); those of keys() and items() have the views' set
# operations. The mutating methods (clear, pop, popitem, setdefault, update)
# and item assignment exist at run time only to raise TypeError; they
# are left out here so that a type checker reports the mutation instead.

@disjoint_base
class FrozenDict(Mapping[_K, _V_co]):
    """An immutable, hashable mapping whose values are frozen on the way in.

    ``FrozenDict(data)`` reads ``data`` the way ``dict(data)`` does: a
    ``FrozenDict`` gives its own content (the null mapping gives none), an
    object with a ``keys()`` method is read as ``key -> data[key]``, anything
    else is iterated as (key, value) pairs. Keys are kept as they are; every
    value goes through :func:`freeze`, so a dict becomes a ``FrozenDict``, a
    list or tuple a tuple and a set a frozenset. A later key replaces the value
    of an earlier equal key and keeps its first position.

    Once built, nothing changes the mapping, a further ``__init__`` included,
    so ``FrozenDict(fd)`` and ``freeze(fd)`` return an exact ``FrozenDict``
    ``fd`` itself, as ``tuple(t)`` does. As with dict, ``__new__`` takes the
    constructor's arguments and leaves the building to ``__init__``, and a
    subclass' ``__missing__(key)`` gives the result of ``fd[key]`` for a
    missing key (``get`` and ``in`` do not call it).
    The hash is computed on first use, from the (key, value) pairs in any
    order, and then cached. A ``FrozenDict`` is never equal to a plain dict;
    ``keys()``, ``values()`` and ``items()`` return new lists in insertion
    order.
    Python classes may derive from it.

    Args:
        data: a mapping or an iterable of (key, value) pairs; ``None`` (the
            default) gives an empty mapping.

    Raises:
        ValueError: "FrozenDict expects iterable of (k,v) pairs", for an item
            that is not a sequence of exactly two elements.
        TypeError: ``data`` is not iterable, a key is unhashable, or more
            arguments were given.
        RecursionError: the values nest too deep or contain themselves.

    Example:
        >>> from quillet.frozen import FrozenDict
        >>> config = FrozenDict({"name": "api", "ports": [80, 443]})
        >>> config
        FrozenDict({'name': 'api', 'ports': (80, 443)})
        >>> {config: "seen"}[FrozenDict([("ports", (80, 443)), ("name", "api")])]
        'seen'
    """

    # The value type is what freezing makes of the given one, one level deep
    # (deeper, Any). Other value types are kept, as freeze() keeps them: no
    # overload gives Any for the whole value, which would let a wrong
    # declared type pass. A union value type is kept as it is, containers
    # included.
    @overload
    def __init__(self, data: None = None) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, _Leaf], data: Mapping[_K, _Leaf]) -> None: ...
    @overload
    def __init__(
        self: FrozenDict[_K, tuple[_Leaf, ...]], data: Mapping[_K, list[_Leaf] | tuple[_Leaf, ...]]
    ) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, tuple[Any, ...]], data: Mapping[_K, list[_T] | tuple[_T, ...]]) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, frozenset[_H]], data: Mapping[_K, set[_H] | frozenset[_H]]) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, FrozenDict[_K2, _Leaf]], data: Mapping[_K, dict[_K2, _Leaf]]) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, FrozenDict[_K2, Any]], data: Mapping[_K, dict[_K2, _T]]) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, _T], data: Mapping[_K, _T]) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, _Leaf], data: Iterable[tuple[_K, _Leaf]]) -> None: ...
    @overload
    def __init__(
        self: FrozenDict[_K, tuple[_Leaf, ...]], data: Iterable[tuple[_K, list[_Leaf] | tuple[_Leaf, ...]]]
    ) -> None: ...
    @overload
    def __init__(
        self: FrozenDict[_K, tuple[Any, ...]], data: Iterable[tuple[_K, list[_T] | tuple[_T, ...]]]
    ) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, FrozenDict[_K2, Any]], data: Iterable[tuple[_K, dict[_K2, _T]]]) -> None: ...
    @overload
    def __init__(self: FrozenDict[_K, _T], data: Iterable[tuple[_K, _T]]) -> None: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """Make ``FrozenDict[K, V]`` usable in annotations and in code.

        Returns:
            A :class:`types.GenericAlias`; calling it builds a ``FrozenDict``.
        """

    def __getitem__(self, key: _K, /) -> _V_co:
        """Return the value stored under ``key``: ``fd[key]``.

        Raises:
            KeyError: the key is missing; the exception carries the key.
            TypeError: the key is unhashable.
        """

    def __contains__(self, key: object, /) -> bool:
        """Tell whether ``key`` is a key of the mapping: ``key in fd``.

        Raises:
            TypeError: the key is unhashable.
        """

    def __len__(self) -> int:
        """Return the number of keys; an empty mapping is false."""

    def __iter__(self) -> Iterator[_K]:
        """Iterate over the keys in insertion order, without copying them."""

    def __reversed__(self) -> Iterator[_K]:
        """Iterate over the keys in reverse insertion order: ``reversed(fd)``."""

    def __hash__(self) -> int:
        """Return the hash, computed on first use and then cached.

        The hash depends on the (key, value) pairs, not on their order, so
        equal mappings hash alike. An empty mapping hashes to 0.

        Raises:
            TypeError: a value cannot be hashed (``freeze`` keeps values such
                as a ``bytearray`` as they are). Nothing is cached then.
            NotImplementedError: a value is the null mapping.
        """

    def __eq__(self, other: object, /) -> bool:
        """Compare the content with another ``FrozenDict`` (or subclass).

        Anything that is not a ``FrozenDict``, a plain dict included, is
        unequal; the null mapping equals only null mappings.
        """

    def __ne__(self, other: object, /) -> bool:
        """The opposite of ``==``."""

    @overload
    def __or__(self, other: Mapping[_K, _Leaf], /) -> FrozenDict[_K, _V_co | _Leaf]: ...
    @overload
    def __or__(self, other: Mapping[_K2, Any], /) -> FrozenDict[_K | _K2, Any]:
        """Merge with another mapping: ``fd | other``.

        The result holds the keys of ``fd`` and then the new keys of
        ``other``; for a key in both, the value of ``other`` wins. Values
        from ``other`` are frozen. The result is a plain ``FrozenDict``, as
        ``frozendict | dict`` gives a ``frozendict``.

        Returns:
            A new ``FrozenDict``, or ``NotImplemented`` when ``other`` is not
            a mapping (then ``|`` raises ``TypeError``).

        Example:
            >>> from quillet.frozen import FrozenDict
            >>> FrozenDict({"a": 1, "b": 2}) | {"b": [3], "c": 4}
            FrozenDict({'a': 1, 'b': (3,), 'c': 4})
        """

    @overload
    def __ror__(self, other: dict[_K2, Any], /) -> dict[_K | _K2, Any]: ...
    @overload
    def __ror__(self, other: Mapping[_K2, Any], /) -> Mapping[_K | _K2, Any]:
        """Merge into another mapping: ``other | fd``.

        Runs when ``other`` does not handle the ``|`` itself. The values of
        ``fd`` win. The result type is what the built-in ``frozendict`` gives
        for the same operands with ``FrozenDict`` in its place: a plain dict
        when ``other`` is a dict.

        Returns:
            The merged mapping, or ``NotImplemented`` when ``other`` is not a
            mapping.
        """

    @overload
    @classmethod
    def fromkeys(cls, iterable: Iterable[_T], value: None = None, /) -> FrozenDict[_T, None]: ...
    @overload
    @classmethod
    def fromkeys(cls, iterable: Iterable[_T], value: _Leaf, /) -> FrozenDict[_T, _Leaf]: ...
    @overload
    @classmethod
    def fromkeys(cls, iterable: Iterable[_T], value: Any, /) -> FrozenDict[_T, Any]:
        """Build a mapping from keys that all map to one value.

        Args:
            iterable: the keys, in order.
            value: the value of every key, frozen once.

        Returns:
            An instance of the class it is called on.

        Example:
            >>> from quillet.frozen import FrozenDict
            >>> FrozenDict.fromkeys("ab", [0])
            FrozenDict({'a': (0,), 'b': (0,)})
        """

    def copy(self) -> FrozenDict[_K, _V_co]:
        """Return the mapping itself for an exact ``FrozenDict`` or a null mapping.

        Nothing can change them, so a copy is never needed. An instance of a
        subclass gives a ``FrozenDict`` with the same content, as
        ``dict.copy()`` gives a ``dict``.
        """

    def __copy__(self) -> FrozenDict[_K, _V_co]:
        """``copy.copy(fd)``: the mapping itself, as :meth:`copy`.

        A subclass instance is copied with its class and attributes.
        """

    def __deepcopy__(self, memo: dict[int, Any], /) -> FrozenDict[_K, _V_co]:
        """``copy.deepcopy(fd)``: the mapping itself, or a new mapping of the copies.

        As for a tuple, the mapping itself comes back when every key and value
        deep-copies to itself.
        """

    def __sizeof__(self) -> int:
        """Return the size in bytes of the object and of the storage it owns."""

    @overload
    def get(self, key: _K, /) -> _V_co | None: ...
    @overload
    def get(self, key: _K, default: _V_co, /) -> _V_co: ...  # type: ignore[misc]  # covariant type as parameter, as in Mapping
    @overload
    def get(self, key: _K, default: _T, /) -> _V_co | _T:
        """Return the value for ``key``, or ``default`` when it is missing.

        Args:
            key: the key to look up.
            default: what to return for a missing key; ``None`` if omitted.

        Raises:
            TypeError: "FrozenDict.get() takes 1 or 2 arguments", or the key
                is unhashable. Keywords are refused.
        """

    def keys(self) -> FrozenDictKeys[_K]:  # type: ignore[override]
        """Return the keys as a new list, in insertion order.

        Each call gives a list of its own, which the caller may change without
        touching the mapping. The list has the set operations of
        ``dict.keys()``; see :class:`FrozenDictKeys`.
        """

    def values(self) -> list[_V_co]:  # type: ignore[override]
        """Return the frozen values as a new plain list, in insertion order."""

    def items(self) -> FrozenDictItems[_K, _V_co]:  # type: ignore[override]
        """Return the (key, value) pairs as a new list of tuples, in insertion order.

        The list has the set operations of ``dict.items()``; see
        :class:`FrozenDictItems`.
        """

    def get_hash(self) -> int:
        """Return the hash, exactly as ``hash(fd)`` does.

        For the null mapping, whose ``hash()`` refuses, this returns 0.
        """

    @property
    def __frozen__(self) -> bool:
        """``True`` once the mapping has been built."""

    @property
    def cacheable(self) -> bool:
        """``True``; ``False`` for the null mapping. Informational only."""

    @property
    def data_size(self) -> int:
        """The number of keys, the same as ``len(fd)``."""

@final
class FrozenDictKeys(list[_K]):
    """The list that :meth:`FrozenDict.keys` returns, with the set operations of ``dict.keys()``.

    ``&``, ``|``, ``-`` and ``^``, with the list on either side, and
    :meth:`isdisjoint` give what a dict's keys view gives: a new ``set``.
    Everything else is the list's: indexing, changing it, and ``==``, which
    depends on order where a view compares as a set.

    Example:
        >>> from quillet.frozen import FrozenDict
        >>> keys = FrozenDict({"a": 1, "b": 2}).keys()
        >>> keys, keys & {"b", "c"}, ["a"] - keys, keys.isdisjoint("xy")
        (['a', 'b'], {'b'}, set(), True)
    """

    def __and__(self, other: Iterable[Any], /) -> set[_K]: ...
    def __rand__(self, other: Iterable[_T], /) -> set[_T]: ...
    def __or__(self, other: Iterable[_T], /) -> set[_K | _T]: ...
    def __ror__(self, other: Iterable[_T], /) -> set[_K | _T]: ...
    def __sub__(self, other: Iterable[Any], /) -> set[_K]: ...
    def __rsub__(self, other: Iterable[_T], /) -> set[_T]: ...
    def __xor__(self, other: Iterable[_T], /) -> set[_K | _T]: ...
    def __rxor__(self, other: Iterable[_T], /) -> set[_K | _T]: ...
    def isdisjoint(self, other: Iterable[Any], /) -> bool:
        """Tell whether no key is an element of ``other``."""

@final
class FrozenDictItems(list[tuple[_K, _V]]):
    """The list that :meth:`FrozenDict.items` returns, with the set operations of ``dict.items()``.

    ``&``, ``|``, ``-`` and ``^``, with the list on either side, and
    :meth:`isdisjoint` give what a dict's items view gives: a new ``set``
    of (key, value) tuples. Everything else is the list's, as for
    :class:`FrozenDictKeys`.
    """

    def __and__(self, other: Iterable[Any], /) -> set[tuple[_K, _V]]: ...
    def __rand__(self, other: Iterable[_T], /) -> set[_T]: ...
    def __or__(self, other: Iterable[_T], /) -> set[tuple[_K, _V] | _T]: ...
    def __ror__(self, other: Iterable[_T], /) -> set[tuple[_K, _V] | _T]: ...
    def __sub__(self, other: Iterable[Any], /) -> set[tuple[_K, _V]]: ...
    def __rsub__(self, other: Iterable[_T], /) -> set[_T]: ...
    def __xor__(self, other: Iterable[_T], /) -> set[tuple[_K, _V] | _T]: ...
    def __rxor__(self, other: Iterable[_T], /) -> set[tuple[_K, _V] | _T]: ...
    def isdisjoint(self, other: Iterable[Any], /) -> bool:
        """Tell whether no (key, value) pair is an element of ``other``."""

@final
class NullFrozenDict(FrozenDict[str, None]):
    """The type of the null mapping, :data:`NULL_FROZEN_DICT`.

    It stands for the absence of a mapping: it is empty for ``len()``, truth
    value and ``in``, gives ``None`` for every key, cannot be hashed, and
    equals only other null mappings. ``keys()``, ``values()``, ``items()``
    and iteration show its one entry ``NULL_KEY -> None``. Every instance
    behaves alike, and the constructor ignores its arguments. It cannot be
    subclassed.

    Example:
        >>> from quillet.frozen import NULL_FROZEN_DICT, FrozenDict
        >>> NULL_FROZEN_DICT["anything"], len(NULL_FROZEN_DICT), "__null__" in NULL_FROZEN_DICT
        (None, 0, False)
        >>> list(NULL_FROZEN_DICT), NULL_FROZEN_DICT == FrozenDict()
        (['__null__'], False)
    """

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def __getitem__(self, key: object, /) -> None:
        """Return ``None`` for every key, without looking it up."""

    def __hash__(self) -> NoReturn:
        """Refuse to hash.

        Raises:
            NotImplementedError: "NullFrozenDict does not support hashing".
        """

    @overload
    def get(self, key: Hashable, /) -> None: ...
    @overload
    def get(self, key: Hashable, default: _T, /) -> _T:
        """Return ``default`` (``None`` if omitted): no key is present.

        Raises:
            TypeError: the key is unhashable, or the argument count is wrong.
        """

    def keys(self) -> tuple[str]:  # type: ignore[override]
        """Return :data:`NULL_TUPLE` itself, ``('__null__',)``."""

    def values(self) -> tuple[None]:  # type: ignore[override]
        """Return :data:`NONE_TUPLE` itself, ``(None,)``."""

    def items(self) -> tuple[tuple[str, None]]:  # type: ignore[override]
        """Return :data:`NONE_ITEMS_TUPLE` itself, ``(('__null__', None),)``."""

@overload
def freeze(obj: dict[_K, _Leaf], /) -> FrozenDict[_K, _Leaf]: ...
@overload
def freeze(obj: dict[_K, Any], /) -> FrozenDict[_K, Any]: ...
@overload
def freeze(obj: list[_Leaf] | tuple[_Leaf, ...], /) -> tuple[_Leaf, ...]: ...
@overload
def freeze(obj: list[Any] | tuple[Any, ...], /) -> tuple[Any, ...]: ...
@overload
def freeze(obj: set[_H], /) -> frozenset[_H]: ...
@overload
def freeze(obj: _T, /) -> _T:
    """Return an immutable counterpart of ``obj``, converting nested containers too.

    A dict (or dict subclass) becomes a ``FrozenDict``, a list or tuple (or
    subclass, named tuples included) a new plain tuple, a set (not a
    frozenset) a frozenset; their elements and values are frozen in turn.
    Everything else comes back as the very same object: a frozenset, a
    ``FrozenDict``, the holders of :mod:`quillet.utils`, strings, numbers,
    and also unhashable objects such as a ``bytearray``. Keys are not
    changed. Freezing a frozen value gives an equal value.

    Args:
        obj: any object.

    Returns:
        The frozen value.

    Raises:
        RecursionError: ``obj`` nests too deep or contains itself.
        RuntimeError: a container was changed by code that freezing ran.

    Example:
        >>> from quillet.frozen import freeze
        >>> freeze([1, [2, 3], {"a": {4}}])
        (1, (2, 3), FrozenDict({'a': frozenset({4})}))
    """

NULL_KEY: Final = "__null__"
"""The key ``"__null__"`` (an interned string) of the null mapping's one entry."""

NULL_TUPLE: Final[tuple[str]]
"""``('__null__',)``: what ``NULL_FROZEN_DICT.keys()`` returns."""

NONE_TUPLE: Final[tuple[None]]
"""``(None,)``: what ``NULL_FROZEN_DICT.values()`` returns."""

NONE_ITEMS_TUPLE: Final[tuple[tuple[str, None]]]
"""``(('__null__', None),)``: what ``NULL_FROZEN_DICT.items()`` returns."""

NULL_FROZEN_DICT: Final[NullFrozenDict]
"""The null mapping, the module's one ready-made :class:`NullFrozenDict`."""
