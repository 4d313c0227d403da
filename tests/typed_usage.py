"""Typed use of the whole public API: checked by `mypy --strict` and by
basedpyright against the shipped stubs, and run by test_ecosystem.py so that
every call here also holds at run time.

The `# type: ignore[...]` lines are claims: --strict (warn_unused_ignores) and
basedpyright (reportUnnecessaryTypeIgnoreComment) fail if either checker stops
reporting them.
"""

import contextlib
from collections.abc import Callable, Hashable, Mapping
from pathlib import Path
from typing import Any, assert_type

from quillet.frozen import (
    NONE_ITEMS_TUPLE,
    NONE_TUPLE,
    NULL_FROZEN_DICT,
    NULL_KEY,
    NULL_TUPLE,
    FrozenDict,
    FrozenDictItems,
    FrozenDictKeys,
    NullFrozenDict,
    freeze,
)
from quillet.text_walker import TextWalker
from quillet.utils import (
    NOT_CACHEABLE,
    BasicHashable,
    CacheKey,
    HashableValues,
    alt_two_obj_hash,
    alt_xor_hash,
    check_conditions,
    filter_out_nones,
    get_cache_key,
    has_attr,
    has_attrs,
    has_dict,
    has_hook,
    has_nested_dicts,
    has_service_name,
    has_shutdown,
    has_slots,
    implies,
    is_bool,
    is_bytes,
    is_collection,
    is_container,
    is_dict,
    is_falsy,
    is_float,
    is_int,
    is_list,
    is_mapping,
    is_none,
    is_object,
    is_path_type,
    is_primitive,
    is_resource,
    is_set,
    is_str,
    is_truthy,
    is_tuple,
    is_type,
    lazy_anti_implies,
    lazy_implies,
    none_to_null,
    null_to_none,
    path_exists,
    two_obj_hash,
    xor_hash,
)
from quillet.utils.attrs import attr_check, cache_clear, cache_size, type_attr_check


def refused(call: Callable[[], object]) -> None:
    try:
        call()
    except TypeError:
        return
    raise AssertionError("the call was accepted")


def shared_keys(a: Mapping[str, int], b: Mapping[str, int]) -> set[str]:
    return a.keys() & b.keys()


def frozen_dicts() -> None:
    prices = FrozenDict({"tea": 3, "cake": 5})
    assert_type(prices, FrozenDict[str, int])
    assert prices["tea"] == 3 and "cake" in prices and len(prices) == 2
    assert_type(prices.get("milk"), int | None)
    assert_type(prices.get("milk", 0), int)
    assert_type(prices.get("milk", "none"), int | str)
    assert_type(prices.keys(), FrozenDictKeys[str])
    assert_type(prices.items(), FrozenDictItems[str, int])
    assert list(prices) == prices.keys() == ["tea", "cake"]
    assert_type(prices.keys() & {"tea", "milk"}, set[str])
    assert_type(["milk"] - prices.keys(), set[str])
    assert prices.items() | {("milk", 1)} == {("tea", 3), ("cake", 5), ("milk", 1)}
    assert shared_keys(prices, FrozenDict({"tea": 1})) == {"tea"} and prices.keys().isdisjoint(["milk"])
    assert prices.get_hash() == hash(prices) and prices.data_size == 2
    assert prices.__frozen__ and prices.cacheable

    # Values are frozen on the way in, so their element types are not kept.
    nested = FrozenDict({"a": [1, {"b": 2}]})
    assert_type(nested, FrozenDict[str, tuple[Any, ...]])
    assert nested["a"] == (1, FrozenDict({"b": 2}))
    pairs: FrozenDict[str, float] = FrozenDict([("x", 1.5), ("y", 2.5)])
    empty: FrozenDict[str, int] = FrozenDict()
    assert not empty
    ok: FrozenDict[str, tuple[int, ...]] = FrozenDict({"a": [1]})
    assert_type(FrozenDict({"s": {1}}), FrozenDict[str, frozenset[int]])
    assert_type(FrozenDict({"d": {"e": 1.5}}), FrozenDict[str, FrozenDict[str, float]])
    assert_type(FrozenDict({"p": Path("/")}), FrozenDict[str, Path])
    listed: FrozenDict[str, tuple[bytes, ...]] = FrozenDict([("t", [b"x"])])
    bad: FrozenDict[str, str] = FrozenDict({"a": 1})  # type: ignore[dict-item]
    assert ok["a"] == (1,) and len(bad) == 1 and listed["t"] == (b"x",) and pairs["x"] == 1.5

    # A FrozenDict is a Mapping and can be subscripted as a generic at run time.
    as_mapping: Mapping[str, int] = prices
    assert isinstance(as_mapping, Mapping) and isinstance(prices, Hashable)
    alias = FrozenDict[str, int]
    assert alias({"n": 1}) == FrozenDict({"n": 1})

    refused(lambda: prices.__setitem__("tea", 4))  # type: ignore[index]
    refused(lambda: prices.update({"tea": 4}))  # type: ignore[attr-defined]


def null_mapping() -> None:
    null = NULL_FROZEN_DICT
    assert_type(null, NullFrozenDict)
    assert null["anything"] is None and not null and "x" not in null
    assert_type(null.keys(), tuple[str])
    assert null.keys() is NULL_TUPLE and null.values() is NONE_TUPLE and null.items() is NONE_ITEMS_TUPLE
    assert null.get("k", 7) == 7 and NULL_KEY == "__null__"
    assert NullFrozenDict(1, x=2) == null
    with contextlib.suppress(NotImplementedError):
        hash(null)


def freezing() -> None:
    assert_type(freeze([1, 2]), tuple[int, ...])
    assert_type(freeze({"a": "b"}), FrozenDict[str, str])
    assert_type(freeze({"a": [1]}), FrozenDict[str, Any])
    assert_type(freeze([[1]]), tuple[Any, ...])
    assert_type(freeze({1, 2}), frozenset[int])
    assert_type(freeze("text"), str)
    assert freeze([[1], {2}]) == ((1,), frozenset({2}))


def hashables() -> None:
    base = BasicHashable()
    assert base.__frozen__ and base.cacheable
    values = HashableValues([1, 2], op=4)
    assert (len(values), hash(values)) == (3, hash(HashableValues([4, 2, 1])))
    both = HashableValues.new(values, HashableValues([8]), cacheable=True)
    assert_type(both, HashableValues)
    assert values.combine(None).cacheable is False and both.cacheable
    assert len(NOT_CACHEABLE) == 0 and not NOT_CACHEABLE.cacheable

    key = CacheKey("user", 42)
    assert key == get_cache_key("user", 42) and hash(key) == hash(("user", 42))
    refused(lambda: key.pop())  # type: ignore[attr-defined]

    assert xor_hash(1, 2, 3) == 60 and alt_xor_hash(1, 2, 3) == 2654435832
    assert two_obj_hash(1, 2, 3) == 60 and alt_two_obj_hash(1, 2, 3) == 2654435832
    refused(lambda: two_obj_hash([], 1, 0))  # type: ignore[arg-type]


def narrowing(value: object, number: int | str, maybe: bytes | None) -> None:
    if is_str(number):
        assert_type(number, str)
    else:
        assert_type(number, int)
    if is_none(maybe):
        assert_type(maybe, None)
    else:
        assert_type(maybe, bytes)
    if is_int(value):
        assert_type(value, int)
    if is_float(value) or is_bytes(value) or is_bool(value):
        pass
    if is_dict(value) or is_list(value) or is_tuple(value) or is_set(value):
        assert_type(value, dict[Any, Any] | list[Any] | tuple[Any, ...] | set[Any])
    if is_type(value):
        assert_type(value, type[Any])
    if is_path_type(value) or path_exists(value):
        assert_type(value, Path)
    if is_primitive(value):
        assert_type(value, None | bool | int | float | str | bytes)


def predicates_and_logic() -> None:
    narrowing(1, 1, None)
    narrowing(Path("/"), "s", b"b")
    assert not is_int(True) and is_collection("abc") and is_mapping({}) and is_object(Path("."))
    assert is_truthy([0]) and is_falsy([])
    assert has_nested_dicts({"a": [{}]})
    assert implies(False, None) and lazy_implies(True, lambda: 1) and not lazy_anti_implies(True, lambda: 1)
    assert check_conditions((lambda n: n > 0, lambda n: n % 2 == 0), 4)
    assert has_attrs(Path("."), "name", "suffix") and has_attr(Path("."), "name")
    assert not (has_hook(1) or is_container(1) or is_resource(1) or has_service_name(1) or has_shutdown(1))
    assert has_dict(BasicHashable) and not has_slots(1)
    data: dict[str, object] = {"a": None, "b": {"c": "null"}}
    assert_type(none_to_null(data), dict[str, object])
    assert null_to_none(data) is data and filter_out_nones(data) == {"b": {}}
    refused(lambda: none_to_null([None]))  # type: ignore[type-var]


def attribute_cache() -> None:
    shape = ("name", "suffix")
    cache_clear()
    path = Path("a.txt")
    assert attr_check(path, shape) and type_attr_check(type(path), shape)
    assert cache_size() == 1


def text_walker() -> None:
    walker = TextWalker("key = value", allow_negative=True)
    while walker.within_bounds and not walker.is_char("="):
        walker.tick()
    assert walker.index == 4 and walker.current == "=" and walker.prev_char_equals(" ")
    walker.index = 6
    assert walker.matches_ahead("value") and walker.n_char_equals(-2, "=")
    walker.set_index(-1)
    assert walker.peek(1) == "k" and walker.current == ""
    walker.tail()
    assert walker.tail_value == "e" and walker.head_equals("k") and walker.size == 11
    refused(lambda: TextWalker("x", True))  # type: ignore[call-arg]


def main() -> None:
    frozen_dicts()
    null_mapping()
    freezing()
    hashables()
    predicates_and_logic()
    attribute_cache()
    text_walker()


if __name__ == "__main__":
    main()
