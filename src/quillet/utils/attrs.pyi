"""Ask whether an object has all of a set of attributes, answered once per type and then from a cache.

"Does this object have all of these attributes?", answered by real attribute
lookups once per (type, shape tuple) and then from a process-wide cache of 64
entries. The key is the identity of the type and of the tuple, so keep each
shape in one constant. Cached answers, ``True`` and ``False`` alike, are not
re-validated when a class changes: :func:`cache_clear` drops them. When the
cache is full, new pairs are answered by a lookup every time and not stored.
"""

def attr_check(obj: object, shape: tuple[str, ...], /) -> bool:
    """Tell whether ``obj`` has every attribute named in ``shape``.

    The first call for ``type(obj)`` and this very tuple looks the names up
    on ``obj`` (instance attributes count) and caches the answer under the
    pair; later calls for any object of that type return it. A class passed
    as ``obj`` is probed as itself and its answer kept in an entry of its
    own, apart from its instances' answer and from every other class's. An
    empty shape gives ``True``.

    Args:
        obj: the object to probe.
        shape: a tuple of attribute names.

    Raises:
        TypeError: "attr_check() requires (obj, shape_tuple)", "attr_check()
            shape must be a tuple", or a name reached is not a string.
        Exception: whatever an attribute lookup raises other than
            ``AttributeError``; nothing is cached then.

    Example:
        >>> import io
        >>> from quillet.utils.attrs import attr_check, cache_clear
        >>> READABLE = ("read", "close")
        >>> cache_clear()
        >>> attr_check(io.StringIO("text"), READABLE), attr_check(42, READABLE)
        (True, False)
    """

def type_attr_check(cls: type, shape: tuple[str, ...], /) -> bool:
    """Tell whether the class ``cls`` has every attribute named in ``shape``.

    Looks the names up on the class (its own and inherited attributes, and
    what its metaclass supplies) and shares the cache with
    :func:`attr_check`: ``attr_check(x, S)`` and ``type_attr_check(type(x),
    S)`` return each other's stored answer.

    Raises:
        TypeError: "type_attr_check() requires (type, shape_tuple)",
            "type_attr_check() first arg must be a type" or
            "type_attr_check() shape must be a tuple".
    """

def cache_clear() -> None:
    """Drop every cached answer."""

def cache_size() -> int:
    """Return the number of cached (type, shape) pairs, 0 to 64."""
