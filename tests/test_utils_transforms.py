"""quillet.utils: the in-place dict transforms and nested-dict detection."""

import collections
import copy
import sys
import weakref

import pytest

import quillet.utils as qu
from hostile import ArmedKey, Boom, raise_boom, run_with_small_stack

TRANSFORMS = [qu.none_to_null, qu.null_to_none, qu.filter_out_nones]

# What each transform makes of {"n": None, "s": "null"}.
SMALL_RESULT = {
    qu.none_to_null: {"n": "null", "s": "null"},
    qu.null_to_none: {"n": None, "s": None},
    qu.filter_out_nones: {"s": "null"},
}


def _forbidden(self, *args):
    raise AssertionError("Python-level dict access")


class DictSub(dict):
    """A dict whose Python-level access methods must never be used."""

    __setitem__ = __delitem__ = __iter__ = keys = items = values = _forbidden


NullStr = type("NullStr", (str,), {})
WeakableDict = type("WeakableDict", (dict,), {})


# ---------------------------------------------------------------------------
# Dict transforms


@pytest.mark.parametrize(
    "transform, data, expected",
    [
        (qu.none_to_null, {"a": None, "b": None, "c": 1}, {"a": "null", "b": "null", "c": 1}),
        (
            qu.none_to_null,
            {"a": {"b": None, "c": {"d": None}}, "e": 0},
            {"a": {"b": "null", "c": {"d": "null"}}, "e": 0},
        ),
        (qu.none_to_null, {None: 1, "f": False, "g": ""}, {None: 1, "f": False, "g": ""}),
        (
            qu.null_to_none,
            {"a": "null", "b": "NULL", "c": "null ", "d": "nul", "e": b"null"},
            {"a": None, "b": "NULL", "c": "null ", "d": "nul", "e": b"null"},
        ),
        (
            qu.null_to_none,
            {"a": NullStr("null"), "b": {"c": "null"}, "null": 1},
            {"a": None, "b": {"c": None}, "null": 1},
        ),
        (qu.filter_out_nones, {"a": None, "b": None}, {}),
        (qu.filter_out_nones, {"a": {"b": None}, "c": 1}, {"a": {}, "c": 1}),
        (
            qu.filter_out_nones,
            {None: 1, "a": 0, "b": None, "c": {"d": {"e": None, "f": 2}}},
            {None: 1, "a": 0, "c": {"d": {"f": 2}}},
        ),
    ]
    + [
        (
            t,
            {"a": [None, {"b": None}, "null"], "c": (None,), "d": {None, "null"}},
            {"a": [None, {"b": None}, "null"], "c": (None,), "d": {None, "null"}},
        )
        for t in TRANSFORMS
    ],
)
def test_transform_results(transform, data, expected):
    assert transform(data) is data
    assert data == expected


def test_none_to_null_shares_the_interned_string():
    data = qu.none_to_null({"a": None, "b": {"c": None}})
    assert data["a"] is data["b"]["c"] is sys.intern("null")


def test_round_trip_turns_existing_null_strings_into_none():
    data = {"a": None, "b": "null", "c": {"d": None}}
    assert qu.null_to_none(qu.none_to_null(data)) == {"a": None, "b": None, "c": {"d": None}}


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_dict_subclasses_are_walked_through_storage(transform):
    inner = collections.OrderedDict(x=None, y="null")
    data = DictSub()
    dict.update(data, {"a": None, "b": inner, "c": "null"})
    assert transform(data) is data
    expected = {
        qu.none_to_null: {"a": "null", "b": {"x": "null", "y": "null"}, "c": "null"},
        qu.null_to_none: {"a": None, "b": {"x": None, "y": None}, "c": None},
        qu.filter_out_nones: {"b": {"y": "null"}, "c": "null"},
    }[transform]
    assert data == expected
    assert dict.__getitem__(data, "b") is inner


@pytest.mark.parametrize("transform", TRANSFORMS)
@pytest.mark.parametrize("data", [[None], (None,), None, "null", collections.ChainMap({"a": None})])
def test_transform_rejects_non_dicts(transform, data):
    before = copy.deepcopy(data)
    with pytest.raises(TypeError) as info:
        transform(data)
    assert str(info.value) == "data must be a dict"
    assert data == before


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_transform_rejects_frozen_dict(transform):
    frozen = pytest.importorskip("quillet.frozen")
    with pytest.raises(TypeError, match=r"^data must be a dict$"):
        transform(frozen.FrozenDict({"a": None}))


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_transform_keeps_references_balanced(transform):
    inner = {"x": None, "y": "null", "z": 1}
    data = {"a": inner, "b": None, "c": "null"}
    counts = sys.getrefcount(inner), sys.getrefcount(data)
    for _ in range(3):
        transform(data)
    assert (sys.getrefcount(inner), sys.getrefcount(data)) == counts


def make_cycle(kind):
    data = {"n": None, "s": "null"}
    if kind == "self":
        data["self"] = data
    else:
        data["inner"] = {"back": data, "n": None}
    return data


@pytest.mark.parametrize("transform", TRANSFORMS)
@pytest.mark.parametrize("kind", ["self", "through another dict"])
def test_transform_cycles_raise_recursion_error(transform, kind):
    data = make_cycle(kind)
    count = sys.getrefcount(data)
    for _ in range(3):
        with pytest.raises(RecursionError):
            transform(data)
    assert sys.getrefcount(data) == count
    # The guard was left on every level: ordinary nesting still works afterwards.
    assert transform({"a": {"b": {"n": None, "s": "null"}}}) == {"a": {"b": SMALL_RESULT[transform]}}


def nest_dicts(depth, leaf):
    data = leaf
    for _ in range(depth):
        data = {"n": None, "d": data}
    return data


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_transform_deep_nesting_raises_recursion_error(transform):
    data = nest_dicts(100_000, {"n": None})
    with pytest.raises(RecursionError):
        run_with_small_stack(lambda: transform(data))


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_transform_moderate_nesting_completes(transform):
    data = nest_dicts(200, {"n": None, "s": "null"})
    transform(data)
    for _ in range(200):
        data = data["d"]
    assert data == SMALL_RESULT[transform]


# Code that runs while a transform stores or deletes can change the dict
# under it; the walk may fail but must hold on to what it works on.


@pytest.mark.parametrize("transform, value", [(qu.none_to_null, None), (qu.null_to_none, "null")])
def test_key_clearing_the_dict_mid_store(transform, value):
    key = ArmedKey("k")
    data = {"a": 1, key: value, "z": 2}
    key.action = data.clear
    ref = weakref.ref(key)
    del key  # the dict holds the only reference until clear() drops it
    with pytest.raises(RuntimeError, match="changed size"):
        transform(data)
    assert list(data) == [ref()]
    assert ref() is not None


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_key_clearing_the_dict_while_storing_a_nested_dict(transform):
    key = ArmedKey("k")
    inner = {"n": None, "s": "null"}
    data = {key: inner}
    key.action = data.clear  # drops the dict's references to key and inner
    del inner
    assert transform(data) is data
    assert list(data) == [key]
    assert data[key] == SMALL_RESULT[transform]


@pytest.mark.parametrize("transform", TRANSFORMS)
def test_nested_key_freeing_the_dict_being_walked(transform):
    key = ArmedKey("k")
    value = "null" if transform is qu.null_to_none else None
    outer = {"first": WeakableDict({"m": None, key: value, "later": value}), "other": 1}
    ref = weakref.ref(outer["first"])
    key.action = outer.clear  # drops the only reference to the dict being walked
    with pytest.raises(RuntimeError, match="changed size"):
        transform(outer)
    assert list(outer) == ["first"]
    assert outer["first"] is ref()


@pytest.mark.parametrize("transform", [qu.none_to_null, qu.null_to_none])
def test_failing_store_keeps_earlier_replacements(transform):
    key = ArmedKey("k")
    value = None if transform is qu.none_to_null else "null"
    data = {"a": value, key: value, "z": value}
    key.action = raise_boom
    with pytest.raises(Boom):
        transform(data)
    replaced = "null" if value is None else None
    assert list(data.values()) == [replaced, value, value]


def test_filter_out_nones_deletion_of_a_vanished_key():
    first, second = ArmedKey("first"), ArmedKey("second")
    data = {"keep": 1, first: None, second: None}
    first.action = lambda: data.pop(second)
    with pytest.raises(KeyError):
        qu.filter_out_nones(data)
    assert data == {"keep": 1}


def test_filter_out_nones_failing_delete_keeps_nested_work():
    key = ArmedKey("k")
    data = {"inner": {"n": None}, key: None, "after": None}
    key.action = raise_boom
    with pytest.raises(Boom):
        qu.filter_out_nones(data)
    assert data == {"inner": {}, key: None, "after": None}


# ---------------------------------------------------------------------------
# Nested-dict detection


class RaisingIterList(list):
    def __iter__(self):
        raise Boom("iter")


class DictYieldingList(list):
    """Its contents hold no dict, but iterating it yields one."""

    def __iter__(self):
        return iter([{}])


@pytest.mark.parametrize(
    "value, expected",
    [
        ({}, False),
        ([], False),
        ((), False),
        ({"a": 1, "b": "x", "c": [1, 2]}, False),
        ({"a": {}}, True),
        ({"a": [1, (2, {"b": 3})]}, True),
        ({"a": [[[[()]]]]}, False),
        ([{"a": 1}], True),
        (({},), True),
        ([[1], ([{}],)], True),
        ({"a": {1, 2}}, False),
        ({"a": frozenset()}, False),
        ({"a": iter([{}])}, False),
        ({"a": collections.OrderedDict()}, True),
        (collections.OrderedDict(a={}), True),
        ({"x": "abc", "k": b"", 5: None}, False),
        ("abc", False),
        (1, False),
        (None, False),
        (set(), False),
        ({"a": {}}.values(), False),
        (DictSub(a=1, b=[()]), False),
        (DictSub(a=[{}]), True),
        ([DictYieldingList()], True),
        (DictYieldingList(), True),
        ([{}, RaisingIterList()], True),
    ],
)
def test_has_nested_dicts(value, expected):
    before = repr(value)
    assert qu.has_nested_dicts(value) is expected
    assert repr(value) == before


def test_has_nested_dicts_frozen_dict_is_a_leaf():
    frozen = pytest.importorskip("quillet.frozen")
    value = frozen.FrozenDict({"a": {}})
    assert qu.has_nested_dicts({"f": value}) is False
    assert qu.has_nested_dicts({"f": value, "d": [{}]}) is True


def test_has_nested_dicts_self_containing_dict():
    data = {"a": 1}
    data["self"] = data
    assert qu.has_nested_dicts(data) is True


class RaisingMidwayList(list):
    """Its iterator yields an item, then fails."""

    def __iter__(self):
        yield 1
        raise Boom("midway")


@pytest.mark.parametrize("value", [[RaisingIterList(), {}], RaisingMidwayList(), [RaisingMidwayList(), {}]])
def test_has_nested_dicts_iteration_error(value):
    with pytest.raises(Boom):
        qu.has_nested_dicts(value)


def cyclic_list():
    items = [1]
    items.append(items)
    return items


def list_tuple_cycle():
    items = []
    pair = (items, 2)
    items.append(pair)
    return pair


def nest(depth, make, leaf=None):
    value = {} if leaf is None else leaf
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize("build", [cyclic_list, list_tuple_cycle])
def test_has_nested_dicts_cycles_raise_recursion_error(build):
    value = build()
    for _ in range(3):
        with pytest.raises(RecursionError):
            qu.has_nested_dicts(value)
    assert qu.has_nested_dicts([[[{}]]]) is True


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: (v,), lambda v: [1, (v,)]])
def test_has_nested_dicts_deep_nesting_raises_recursion_error(make):
    # Each level needs little native stack; a million outgrows any thread stack
    # the C library might hand out again, so the guard must trip.
    value = nest(1_000_000, make)
    with pytest.raises(RecursionError):
        run_with_small_stack(lambda: qu.has_nested_dicts(value))


def test_has_nested_dicts_moderate_nesting_completes():
    assert qu.has_nested_dicts(nest(200, lambda v: [v])) is True
    assert qu.has_nested_dicts(nest(200, lambda v: (1, [v]))) is True
    assert qu.has_nested_dicts(nest(200, lambda v: (1, [v]), leaf="x")) is False
