"""Fast type checks, hashable holders and dict clean-ups for ordinary Python objects.

Holders whose hash is computed once (:class:`CacheKey`,
:class:`HashableValues`), type predicates that never run your code
(:func:`is_int`, :func:`is_dict`, :func:`is_primitive`, ...), attribute probes,
short-circuiting implication helpers, in-place dict transforms and
:func:`has_nested_dicts`. The structural attribute check with its cache is the
submodule :mod:`quillet.utils.attrs`.
"""

from collections.abc import Callable, Hashable
from pathlib import Path
from typing import Any, Final, Self, SupportsIndex, TypeGuard, TypeVar

from typing_extensions import TypeIs, disjoint_base

__all__ = [
    "NOT_CACHEABLE",
    "BasicHashable",
    "CacheKey",
    "HashableValues",
    "alt_two_obj_hash",
    "alt_xor_hash",
    "check_conditions",
    "filter_out_nones",
    "get_cache_key",
    "has_attr",
    "has_attrs",
    "has_dict",
    "has_hook",
    "has_nested_dicts",
    "has_service_name",
    "has_shutdown",
    "has_slots",
    "implies",
    "is_bool",
    "is_bytes",
    "is_collection",
    "is_container",
    "is_dict",
    "is_falsy",
    "is_float",
    "is_int",
    "is_list",
    "is_mapping",
    "is_none",
    "is_object",
    "is_path_type",
    "is_primitive",
    "is_resource",
    "is_set",
    "is_str",
    "is_truthy",
    "is_tuple",
    "is_type",
    "lazy_anti_implies",
    "lazy_implies",
    "none_to_null",
    "null_to_none",
    "path_exists",
    "two_obj_hash",
    "xor_hash",
]

_T = TypeVar("_T")
_D = TypeVar("_D", bound=dict[Any, Any])

# The mutating methods (clear, pop, popitem, setdefault, update) and item
# assignment exist at run time only to raise TypeError; they are left out here
# so that a type checker reports the mutation instead.

@disjoint_base
class BasicHashable:
    """The base of the immutable holders :class:`HashableValues` and :class:`CacheKey`.

    The constructor accepts and ignores any arguments. A plain instance hashes
    and compares by identity, like ``object``. Item assignment and deletion
    and the methods ``clear``, ``pop``, ``popitem``, ``setdefault`` and
    ``update`` raise ``TypeError`` "Cannot modify immutable type: <full type
    name>" on every holder. :func:`quillet.frozen.freeze` returns every
    ``BasicHashable`` as it is. Python classes may derive from it.
    """

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    @property
    def __frozen__(self) -> bool:
        """``True`` once the initialiser has run."""

    @property
    def cacheable(self) -> bool:
        """Informational flag: nothing reads it, and every holder caches its hash."""

@disjoint_base
class HashableValues(BasicHashable):
    """An immutable holder of a list of values and an optional companion ``op``.

    Its hash is the sum, modulo 2**64, of the hashes of every item and of
    ``op`` (counted as one more item), each mixed through a 64-bit finalizer
    first; it is computed on the first ``hash()`` and then cached. It does not
    depend on order, and equal or small items do not cancel out. Its length is the list's length plus one when
    ``op`` is given, counted at construction. The list is held, not copied:
    later changes to it change neither the length nor a computed hash.
    Holders compare by identity. Running ``__init__`` again replaces the
    content and forgets the hash.

    The repr shows the arguments, with ``op`` and ``cacheable`` only when they
    are not the defaults, as in ``HashableValues([1, 2], op=4)``, and evaluates
    back to an equal-hashing holder; one made by :meth:`new` or
    :meth:`combine` shows as ``<HashableValues combined, len 3>``.

    Args:
        values: a list (or list subclass), or ``None`` for no values.
        op: a companion object hashed with the values; ``None`` for none.
        cacheable: stored in the informational :attr:`cacheable` flag.

    Raises:
        TypeError: "values must be a list or None".

    Example:
        >>> from quillet.utils import HashableValues
        >>> values = HashableValues([1, 2], op=4)
        >>> len(values), hash(values) == hash(HashableValues([4, 2, 1]))
        (3, True)
        >>> values
        HashableValues([1, 2], op=4)
    """

    def __init__(self, values: list[Any] | None = None, op: object = None, cacheable: bool = False) -> None: ...
    @classmethod
    def new(cls, item1: Self, item2: Self | None = None, cacheable: bool = False) -> Self:
        """Combine one or two holders into a new one without reading their content.

        The result's hash is the sum of the two holders' hashes (computed
        now if needed), so that it hashes as a holder of both holders' items;
        its length is the sum of their lengths. It holds no values of its own.

        Args:
            item1: an instance of the class ``new`` is called on.
            item2: another such instance, or ``None``.
            cacheable: the new holder's :attr:`cacheable` flag.

        Returns:
            A new instance of the class ``new`` is called on.

        Raises:
            TypeError: "item1 must be a HashableValues" or "item2 must be a
                HashableValues or None".
            OverflowError: the summed length does not fit.

        Example:
            >>> from quillet.utils import HashableValues
            >>> both = HashableValues.new(HashableValues([1, 2]), HashableValues([4]))
            >>> len(both), hash(both) == hash(HashableValues([1, 2, 4]))
            (3, True)
        """

    def combine(self, other: Self | None, /, *, cacheable: bool = False) -> Self:
        """Return ``type(self).new(self, other, cacheable=cacheable)``.

        The result's :attr:`cacheable` is ``False`` unless given, whatever the
        two holders say.
        """

    def __hash__(self) -> int:
        """Return the sum of the mixed hashes of the items and ``op``, computed once.

        Raises:
            TypeError: an item or ``op`` is unhashable; nothing is cached.
        """

    def __len__(self) -> int:
        """Return the length counted at construction."""

@disjoint_base
class CacheKey(BasicHashable):
    """An immutable, hashable pair of two values, meant as a dict key.

    Two keys are equal when their values are equal position by position; a
    key is never equal to a tuple, nor to a key of another class. The hash is
    that of the tuple ``(v1, v2)`` (with -2 in place of -1), computed on the
    first ``hash()`` and then cached, so the position of each value counts as
    it does for equality. Nothing is hashed at
    construction, so a key over an unhashable value can be built and
    compared; only hashing it fails. Running ``__init__`` again replaces both
    values and forgets the hash.

    The repr evaluates back to an equal key: ``CacheKey(1, 'x')``.

    Args:
        v1: the first value.
        v2: the second value.

    Example:
        >>> from quillet.utils import CacheKey
        >>> prices = {CacheKey("tea", "large"): 3.5}
        >>> prices[CacheKey("tea", "large")]
        3.5
        >>> CacheKey(1, "x")
        CacheKey(1, 'x')
    """

    def __init__(self, v1: object, v2: object) -> None: ...
    def __hash__(self) -> int:
        """Return ``hash((v1, v2))``, computed once (-2 in place of -1).

        Raises:
            TypeError: a value is unhashable; nothing is cached.
        """

    def __eq__(self, other: object, /) -> bool:
        """Compare the values position by position with a key of the same class (or a subclass)."""

    def __ne__(self, other: object, /) -> bool:
        """The opposite of ``==``."""

NOT_CACHEABLE: Final[HashableValues]
"""An empty :class:`HashableValues` whose ``cacheable`` flag is ``False``: length 0, hash 0."""

def has_attrs(obj: object, name: str, /, *names: str) -> bool:
    """Tell whether ``obj`` has every one of the named attributes.

    Each name is looked up as ``getattr(obj, name)`` would, in order, and the
    first missing one answers ``False``; an ``AttributeError`` raised during a
    lookup counts as missing. Values are never used.

    Args:
        obj: the object to probe.
        name: the first attribute name.
        *names: further attribute names.

    Raises:
        TypeError: "has_attrs() requires an object and at least one attr
            name", or a name that is reached is not a string.

    Example:
        >>> from pathlib import Path
        >>> from quillet.utils import has_attrs
        >>> has_attrs(Path("."), "name", "suffix"), has_attrs(Path("."), "missing", 5)
        (True, False)
    """

def has_attr(obj: object, name: str, /, *names: str) -> bool:
    """Another name for :func:`has_attrs`, with the same messages."""

def check_conditions(conditions: tuple[Callable[[_T], object], ...], arg: _T, /) -> bool:
    """Tell whether every predicate in ``conditions`` accepts ``arg``.

    The predicates are called in order and the first false result answers
    ``False`` without calling the rest; an empty tuple gives ``True``.

    Raises:
        TypeError: "check_conditions() takes exactly 2 arguments" or
            "conditions must be a tuple".

    Example:
        >>> from quillet.utils import check_conditions
        >>> check_conditions((lambda n: n > 0, lambda n: n % 2 == 0), 4)
        True
    """

def implies(first: object, second: object, /) -> bool:
    """Return ``not first or bool(second)``, as a bool.

    ``second``'s truth value is taken only when ``first`` is true. Extra
    arguments are ignored.

    Raises:
        TypeError: "implies() requires two arguments".
    """

def lazy_implies(first: object, second: Callable[[], object], /) -> bool:
    """Return ``not first or bool(second())``: ``second`` is called only when ``first`` is true.

    Raises:
        TypeError: "lazy_implies() requires two arguments", or ``second`` is
            called and is not callable.

    Example:
        >>> from quillet.utils import lazy_implies
        >>> lazy_implies(False, lambda: 1 / 0)
        True
    """

def lazy_anti_implies(first: object, second: Callable[[], object], /) -> bool:
    """Return ``not first and bool(second())``: ``second`` is called only when ``first`` is false.

    Raises:
        TypeError: "lazy_anti_implies() requires two arguments", or
            ``second`` is called and is not callable.
    """

def get_cache_key(v1: object, v2: object, /) -> CacheKey:
    """Return ``CacheKey(v1, v2)``, always of the exact class :class:`CacheKey`.

    Raises:
        TypeError: "get_cache_key() takes exactly 2 arguments".
    """

def two_obj_hash(a: Hashable, b: Hashable, current: SupportsIndex, /) -> int:
    """Combine two objects' hashes: ``current ^ hash(a) ^ (hash(b) * 31)`` in signed 64 bits.

    ``current`` is converted before anything is hashed.

    Raises:
        TypeError: "two_obj_hash() requires exactly three arguments", an
            unhashable ``a`` or ``b``, or a non-integer ``current``.
        OverflowError: ``current`` does not fit in 64 bits.
    """

def alt_two_obj_hash(a: Hashable, b: Hashable, current: SupportsIndex, /) -> int:
    """Combine two objects' hashes with :func:`alt_xor_hash`'s mix: ``alt_xor_hash(hash(a), hash(b), current)``.

    Raises:
        TypeError: an unhashable ``a`` or ``b``, a non-integer ``current`` or
            a wrong argument count.
        OverflowError: ``current`` does not fit in 64 bits.
    """

def xor_hash(a: SupportsIndex, b: SupportsIndex, current: SupportsIndex, /) -> int:
    """Return ``current ^ a ^ (b * 31)``, wrapping in signed 64 bits.

    Raises:
        TypeError: an argument is not an integer.
        OverflowError: an argument does not fit in 64 bits.

    Example:
        >>> from quillet.utils import xor_hash
        >>> xor_hash(1, 2, 3)
        60
    """

def alt_xor_hash(a: SupportsIndex, b: SupportsIndex, current: SupportsIndex, /) -> int:
    """Return ``((b + 0x9E3779B9 + (a << 6) + (a >> 2)) & (2**63 - 1)) ^ current`` in signed 64 bits.

    The sum wraps, the right shift keeps the sign, and the mask clears bit 63,
    so the result is negative only when ``current`` is.

    Raises:
        TypeError: an argument is not an integer.
        OverflowError: an argument does not fit in 64 bits.

    Example:
        >>> from quillet.utils import alt_xor_hash
        >>> alt_xor_hash(1, 2, 3)
        2654435832
    """

def none_to_null(data: _D, /) -> _D:
    """Replace every ``None`` value with the string ``"null"``, in place, in nested dicts too.

    Only dict values (and dict subclasses) are entered; lists, tuples and
    ``FrozenDict`` values are left alone, and keys are never changed.

    Returns:
        ``data`` itself.

    Raises:
        TypeError: "data must be a dict".
        RecursionError: the dicts nest too deep or contain themselves.

    Example:
        >>> from quillet.utils import none_to_null
        >>> none_to_null({"a": None, "b": {"c": None}, "d": [None]})
        {'a': 'null', 'b': {'c': 'null'}, 'd': [None]}
    """

def null_to_none(data: _D, /) -> _D:
    """Replace every value that is exactly the string ``"null"`` with ``None``, in place, in nested dicts too.

    Returns:
        ``data`` itself.

    Raises:
        TypeError: "data must be a dict".
        RecursionError: the dicts nest too deep or contain themselves.
    """

def filter_out_nones(data: _D, /) -> _D:
    """Remove every key whose value is ``None``, in place, in nested dicts too.

    A nested dict that becomes empty stays. A ``None`` key is kept.

    Returns:
        ``data`` itself.

    Raises:
        TypeError: "data must be a dict".
        RecursionError: the dicts nest too deep or contain themselves.

    Example:
        >>> from quillet.utils import filter_out_nones
        >>> filter_out_nones({"a": 1, "b": None, "c": {"d": None}})
        {'a': 1, 'c': {}}
    """

# TypeIs where False means "not of that type" too; TypeGuard where it does
# not: bool is an int but is_int(True) is False, and type checkers let an int
# stand for a float and a bytearray for bytes.
def is_none(obj: object, /) -> TypeIs[None]:
    """Tell whether ``obj`` is ``None``."""

def is_bool(obj: object, /) -> TypeIs[bool]:
    """Tell whether ``obj``'s type is exactly ``bool``."""

def is_int(obj: object, /) -> TypeGuard[int]:
    """Tell whether ``obj`` is an ``int`` (or subclass) other than a ``bool``.

    Example:
        >>> from quillet.utils import is_int
        >>> is_int(7), is_int(True)
        (True, False)
    """

def is_float(obj: object, /) -> TypeGuard[float]:
    """Tell whether ``obj`` is a ``float`` (or subclass)."""

def is_str(obj: object, /) -> TypeIs[str]:
    """Tell whether ``obj`` is a ``str`` (or subclass)."""

def is_bytes(obj: object, /) -> TypeGuard[bytes]:
    """Tell whether ``obj`` is ``bytes`` (or subclass); a ``bytearray`` is not."""

def is_dict(obj: object, /) -> TypeIs[dict[Any, Any]]:
    """Tell whether ``obj`` is a ``dict`` (or subclass); other mappings, ``FrozenDict`` included, are not."""

def is_list(obj: object, /) -> TypeIs[list[Any]]:
    """Tell whether ``obj`` is a ``list`` (or subclass)."""

def is_tuple(obj: object, /) -> TypeIs[tuple[Any, ...]]:
    """Tell whether ``obj`` is a ``tuple`` (or subclass, named tuples included)."""

def is_set(obj: object, /) -> TypeIs[set[Any]]:
    """Tell whether ``obj`` is a ``set`` (or subclass); a ``frozenset`` is not."""

def is_type(obj: object, /) -> TypeIs[type[Any]]:
    """Tell whether ``obj`` is a class (an instance of ``type`` or of a metaclass)."""

def is_primitive(obj: object, /) -> TypeGuard[bool | int | float | str | bytes | None]:
    """Tell whether ``obj`` is ``None``, a ``bool``, or an ``int``, ``float``, ``str`` or ``bytes`` (or subclass).

    Example:
        >>> from quillet.utils import is_primitive
        >>> is_primitive(b"raw"), is_primitive(1j), is_primitive([])
        (True, False, False)
    """

def is_collection(obj: object, /) -> bool:
    """Tell whether ``obj`` is a list, tuple, dict or set (or subclass), or supports ``obj[key]``.

    So strings, bytes, ranges, ``FrozenDict`` and any class with
    ``__getitem__`` count; a ``frozenset``, an iterator or a generator does
    not.
    """

def is_mapping(obj: object, /) -> bool:
    """Tell whether ``obj`` supports ``obj[key]`` and has a ``keys`` attribute.

    Raises:
        Exception: whatever the lookup of ``keys`` raises, other than
            ``AttributeError`` (which answers ``False``).
    """

def is_object(obj: object, /) -> bool:
    """Tell whether ``obj`` is an instance, not a class, whose type gives it a ``__dict__`` or member slots."""

def is_path_type(obj: object, /) -> TypeIs[Path]:
    """Tell whether ``obj`` is a :class:`pathlib.Path` (``isinstance``); a ``PurePath`` or a ``str`` is not.

    Raises:
        Exception: whatever the ``isinstance`` test raises.
    """

def path_exists(obj: object, /) -> TypeGuard[Path]:
    """Tell whether ``obj`` is a :class:`pathlib.Path` whose ``exists()`` is true.

    Anything that is not a ``Path``, a ``str`` included, gives ``False``
    without touching the file system.

    Raises:
        OSError: what ``exists()`` raises, such as a ``PermissionError``.
    """

def is_truthy(obj: object, /) -> bool:
    """Return ``bool(obj)``.

    Raises:
        Exception: whatever ``__bool__`` or ``__len__`` raises.
    """

def is_falsy(obj: object, /) -> bool:
    """Return ``not obj``.

    Raises:
        Exception: whatever ``__bool__`` or ``__len__`` raises.
    """

def has_nested_dicts(obj: object, /) -> bool:
    """Tell whether a dict, list or tuple holds a dict anywhere below it, through lists and tuples.

    For a dict its values are searched, for a list or tuple its items; any
    other object gives ``False``. Sets, strings and ``FrozenDict`` values are
    not opened, and dict keys are not looked at. The search stops at the
    first dict found.

    Raises:
        RecursionError: lists and tuples nest too deep or contain themselves.

    Example:
        >>> from quillet.utils import has_nested_dicts
        >>> has_nested_dicts({"rows": [1, (2, {"x": 3})]}), has_nested_dicts({"a": [1, 2]})
        (True, False)
    """

def has_hook(obj: object, /) -> bool:
    """Tell whether ``obj`` has an attribute ``__HAS_HOOK__`` (its value is not looked at)."""

def is_container(obj: object, /) -> bool:
    """Tell whether ``obj`` has an attribute ``__IS_CONTAINER__`` (its value is not looked at)."""

def is_resource(obj: object, /) -> bool:
    """Tell whether ``obj`` has both ``__RESOURCE__`` and ``shutdown`` attributes (looked up in that order)."""

def has_service_name(obj: object, /) -> bool:
    """Tell whether ``obj`` has an attribute ``service_name``."""

def has_dict(obj: object, /) -> bool:
    """Tell whether ``obj`` has a ``__dict__`` attribute."""

def has_slots(obj: object, /) -> bool:
    """Tell whether ``obj`` has a ``__slots__`` attribute."""

def has_shutdown(obj: object, /) -> bool:
    """Tell whether ``obj`` has an attribute ``shutdown``."""
