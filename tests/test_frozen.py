import builtins
import collections
import copy
import ctypes
import functools
import gc
import json
import operator
import pickle
import subprocess
import sys
import tracemalloc
import types
from typing import ClassVar

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet.frozen as qf
import quillet.utils as qu
from hostile import (
    Boom,
    ClassHook,
    ClassRaises,
    RaisingEq,
    RaisingIter,
    class_claiming,
    collected,
    run_with_small_stack,
)

FrozenDict, NullFrozenDict, freeze, NULL = qf.FrozenDict, qf.NullFrozenDict, qf.freeze, qf.NULL_FROZEN_DICT
Point = collections.namedtuple("Point", "x y")
SubFD = type("SubFD", (FrozenDict,), {})
SubList, SubTuple, SubSet = type("SubList", (list,), {}), type("SubTuple", (tuple,), {}), type("SubSet", (set,), {})
HashableList = type("HashableList", (list,), {"__hash__": lambda self: 7})
NEEDS_FROZENDICT = pytest.mark.skipif(not hasattr(builtins, "frozendict"), reason="no built-in frozendict")


class SubDict(dict):
    """Overrides every way of reading itself: dict() and FrozenDict() read it
    through keys() and [], as its __iter__ is not dict's; freeze reads the storage."""

    def __iter__(self):
        return iter(["bogus"])

    def keys(self):
        return ["bogus"]

    def items(self):
        return [("bogus", 0)]

    def __getitem__(self, key):
        return [0]


# With dict's own __iter__, dict() and FrozenDict() read the storage.
StorageDict = type("StorageDict", (dict,), {"keys": lambda self: ["bogus"], "__getitem__": lambda self, key: 0})


def test_module_surface():
    assert qf.__doc__ == "Immutable FrozenDict + recursive freeze(). Raw C."
    assert [n for n, v in vars(qf).items() if not n.startswith("_") and not isinstance(v, types.ModuleType)] == [
        "freeze",
        "FrozenDict",
        "NullFrozenDict",
        "NULL_KEY",
        "NULL_TUPLE",
        "NONE_TUPLE",
        "NONE_ITEMS_TUPLE",
        "NULL_FROZEN_DICT",
        "FrozenDictKeys",
        "FrozenDictItems",
    ]
    assert "quillet.utils" in sys.modules and qf.NULL_KEY is sys.intern("__null__")
    assert (qf.NULL_TUPLE, qf.NONE_TUPLE, qf.NONE_ITEMS_TUPLE) == (("__null__",), (None,), (("__null__", None),))
    assert isinstance(NULL, NullFrozenDict) and isinstance(NULL, FrozenDict)
    assert not isinstance(FrozenDict(), qu.BasicHashable)


# --- construction ---------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [
        (None, []),
        ({}, []),
        ({"a": [1, {"b": {2}}]}, [("a", (1, FrozenDict({"b": frozenset({2})})))]),
        ([("a", 1), ("b", 2), ("a", 3)], [("a", 3), ("b", 2)]),
        (["ab"], [("a", "b")]),
        ([["k", [1]]], [("k", (1,))]),
        (FrozenDict({"ab": 1}), [("ab", 1)]),
        (SubFD({"name": 1}), [("name", 1)]),
        (NULL, []),
        (zip("xy", [[1], 2], strict=True), [("x", (1,)), ("y", 2)]),
        (SubDict(z=[1], y=2), [("bogus", (0,))]),
        (StorageDict(z=[1], y=2), [("z", (1,)), ("y", 2)]),
        ({"n": SubDict(z=[1])}, [("n", FrozenDict({"z": (1,)}))]),
        ({"s": SubSet([1]), "t": SubTuple([[2]])}, [("s", frozenset({1})), ("t", ((2,),))]),
        (types.MappingProxyType({"ab": [1]}), [("ab", (1,))]),
        (collections.UserDict(name={1}), [("name", frozenset({1}))]),
        (collections.ChainMap({"a": 1}, {"a": 2, "b": 3}), [("a", 1), ("b", 3)]),
        pytest.param(
            getattr(builtins, "frozendict", dict)(ab=[1], c={}),
            [("ab", (1,)), ("c", FrozenDict())],
            marks=NEEDS_FROZENDICT,
        ),
    ],
)
def test_construction(data, expected):
    fd = FrozenDict(data)
    assert (fd is data) is (type(data) is FrozenDict), "an exact FrozenDict is its own copy"
    assert FrozenDict(fd) is FrozenDict.__new__(FrozenDict, fd) is freeze(fd) is fd
    assert fd.items() == expected and len(fd) == fd.data_size == len(expected) and bool(fd) is bool(expected)
    assert [type(v) for _, v in fd.items()] == [type(v) for _, v in expected]
    assert FrozenDict(data=None) == FrozenDict() and FrozenDict(data={"a": [1]}) == FrozenDict({"a": (1,)})


class GetitemFails:
    """Iterates like a pair but cannot be indexed."""

    def __getitem__(self, index):
        raise Boom("index")

    def __iter__(self):
        return iter(("k", "v"))


@pytest.mark.parametrize(
    "items",
    [
        [("a", 1, 2)],
        [1],
        [()],
        [("a",)],
        [{1, 2}],
        [frozenset("ab")],
        [{"x": 1, "y": 2}],
        [iter(("a", 1))],
        [GetitemFails()],
        [("a", 1), {1, 2}, ("b", 2)],
        (("a", 1), ("b",)),
    ],
)
def test_items_that_are_not_ordered_pairs(items):
    with pytest.raises(ValueError, match=r"^FrozenDict expects iterable of \(k,v\) pairs$"):
        FrozenDict(items)


def failing_pairs():
    yield ("a", 1)
    raise Boom("iter")


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: FrozenDict(5), TypeError),
        (lambda: FrozenDict([([1], 2)]), TypeError),
        (lambda: FrozenDict(x=1), TypeError),
        (lambda: FrozenDict({}, {}), TypeError),
        (lambda: FrozenDict({}, data={}), TypeError),
        (lambda: FrozenDict(failing_pairs()), Boom),
    ],
)
def test_construction_errors(call, error):
    with pytest.raises(error):
        call()


class Interned(FrozenDict):
    """Hands out one instance per content, so Python calls __init__ on an existing one."""

    pool: ClassVar[dict] = {}

    def __new__(cls, data=None):
        return cls.pool.setdefault(repr(data), super().__new__(cls))


class Missing(FrozenDict):
    """Passes the constructor's arguments to __new__, as dict subclasses may, and answers misses of []."""

    def __new__(cls, *args, **kwargs):
        return super().__new__(cls, *args, **kwargs)

    def __missing__(self, key):
        if key == "raise":
            raise Boom("missing")
        return ("missing", key)


def failed_then(data):
    fd = FrozenDict.__new__(FrozenDict)
    with pytest.raises(ValueError, match=r"^FrozenDict expects iterable of \(k,v\) pairs$"):
        fd.__init__([1])
    fd.__init__(data)
    return fd


@pytest.mark.parametrize(
    "build, again, expected",
    [
        (lambda: FrozenDict({"a": 1}), lambda fd: fd.__init__({"b": 2}), {"a": 1}),
        (lambda: FrozenDict({"a": 1}), lambda fd: fd.__init__([1], x=2), {"a": 1}),
        (lambda: SubFD({"a": 1}), lambda fd: FrozenDict.__init__(fd, {"b": 2}), {"a": 1}),
        (lambda: NULL, lambda fd: FrozenDict.__init__(fd, {"b": 2}), {"__null__": None}),
        (lambda: NULL, lambda fd: NullFrozenDict.__init__(fd), {"__null__": None}),
        (lambda: Interned({"a": [1]}), lambda fd: Interned({"a": [1]}), {"a": (1,)}),
        (lambda: Missing({"a": [1]}), lambda fd: fd.__init__({"b": 2}), {"a": (1,)}),
        (lambda: failed_then({"a": [1]}), lambda fd: fd.__init__({"b": 2}), {"a": (1,)}),
        (
            lambda: type("Twice", (FrozenDict,), {"__init__": lambda self, d: super(type(self), self).__init__(d)})(
                {"a": 1}
            ),
            lambda fd: fd.__init__({"b": 2}),
            {"a": 1},
        ),
    ],
)
def test_built_once(build, again, expected):
    fd = build()
    before = hash(fd) if type(fd) is not NullFrozenDict else None
    held = {fd} if before is not None else set()
    again(fd)
    assert dict(fd) == expected and fd.__frozen__
    if before is not None:
        assert hash(fd) == before and fd in held and len(fd) == len(expected)


# --- hash and equality --------------------------------------------------------------


def with_holes():
    source = {f"k{i}": i for i in range(20)}
    for i in range(0, 20, 2):
        del source[f"k{i}"]
    return source


def split_table(**attributes):
    holder = type("Holder", (), {})()
    holder.__dict__.update(attributes)
    return vars(holder)


# Equal mappings hash equal whichever path built them and whichever path
# hashes them (the in-place reads of exact str and int, or __hash__).
@pytest.mark.parametrize(
    "data, same",
    [
        ({1: 2, 3: 4}, {3: 4, 1: 2}),
        (with_holes(), {f"k{i}": i for i in range(19, 0, -2)}),
        (split_table(a=1, b="x"), {"b": "x", "a": 1}),
        ([("a", 1), ("b", (2,))], {"b": [2], "a": 1}),
        (types.MappingProxyType({"a": 1}), {"a": 1}),
        ({type("Str", (str,), {})("a"): 1}, {"a": 1}),
        ({1: "a", 2.0: "b"}, {True: "a", 2: "b"}),
        ({1.0: "a"}, {1: "a"}),
        ({"a": 1, "b": -1}, {"a": type("Int", (int,), {})(1), "b": -1.0}),
        ({"a": {"b": 1}}, {"a": FrozenDict({"b": 1})}),
    ],
    ids=[
        "order",
        "holes",
        "split-table",
        "pairs",
        "mapping",
        "str-subclass",
        "numeric",
        "float",
        "int-subclass",
        "nested",
    ],
)
def test_equal_mappings_hash_equal(data, same):
    fd = FrozenDict(data)
    assert fd == FrozenDict(same)
    assert hash(fd) == fd.get_hash() == hash(FrozenDict(same))
    assert len({fd: 1, FrozenDict(same): 2}) == 1


def test_empty_mappings_hash_to_zero():
    assert hash(FrozenDict()) == FrozenDict({}).get_hash() == NULL.get_hash() == 0


def test_hash_computed_once():
    calls = []
    fd = FrozenDict({"k": type("Counted", (), {"__hash__": lambda self: calls.append(1) or 11})()})
    assert hash(fd) == hash(fd) == fd.get_hash() and calls == [1]


@pytest.mark.parametrize(
    "value, error", [(bytearray(b"x"), TypeError), (NULL, NotImplementedError), ([bytearray()], TypeError)]
)
def test_hash_failure_raises_every_time(value, error):
    fd = FrozenDict({"k": value})
    for call in (hash, FrozenDict.get_hash, hash):
        with pytest.raises(error):
            call(fd)


NAN = float("nan")


def hashed(fd):
    hash(fd)
    return fd


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (FrozenDict({"a": 1}), FrozenDict([("a", 1)]), True),
        (FrozenDict({"a": [1]}), FrozenDict({"a": (1,)}), True),
        (FrozenDict({"a": 1}), SubFD({"a": 1}), True),
        (FrozenDict({"a": {"b": 1}}), FrozenDict({"a": FrozenDict({"b": 1})}), True),
        (FrozenDict({"a": 1}), FrozenDict({"a": 2}), False),
        (FrozenDict({"a": {"b": {"c": 1}}}), FrozenDict({"a": {"b": {"c": 2}}}), False),
        (FrozenDict({"a": "xy", "b": 1}), FrozenDict({"a": "".join("xy"), "b": 1}), True),
        (FrozenDict({"a": "xy"}), FrozenDict({"a": "xz"}), False),
        (FrozenDict({"a": NAN}), FrozenDict({"a": NAN}), True),
        (FrozenDict({"a": NAN}), FrozenDict({"a": float("nan")}), False),
        (FrozenDict({1: {"a": 1}, "b": 2}), FrozenDict({"b": 2, 1.0: {"a": 1}}), True),
        (hashed(FrozenDict({"a": (1, 2)})), hashed(FrozenDict({"a": [1, 2]})), True),
        (hashed(FrozenDict({"a": 1})), hashed(FrozenDict({"b": 1})), False),
        (FrozenDict({"a": 1}), FrozenDict({"a": 1, "b": 2}), False),
        (FrozenDict({"a": 1}), {"a": 1}, False),
        ({"a": 1}, FrozenDict({"a": 1}), False),
        (FrozenDict(), class_claiming(FrozenDict), False),
        (FrozenDict(), NULL, False),
        (NULL, FrozenDict(), False),
        (NULL, {}, False),
        (NULL, NullFrozenDict(1, 2), True),
        (NULL, NullFrozenDict(a=1), True),
        (NULL, class_claiming(NullFrozenDict), False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right) is equal and (left != right) is (not equal)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: FrozenDict({"a": 1}) < FrozenDict({"a": 1}), TypeError),
        (lambda: NULL <= NULL, TypeError),
        (lambda: FrozenDict({"k": RaisingEq()}) == FrozenDict({"k": RaisingEq()}), Boom),
    ],
)
def test_comparison_errors(call, error):
    with pytest.raises(error):
        call()


# --- lookup, views, repr, mutation ------------------------------------------------------

FD_A = FrozenDict({"a": 1, (1, 2): "t"})
MISSING_A = Missing({"a": 1})


@pytest.mark.parametrize("key", ["b", (3, 4), None, (), ((),), 0])
def test_missing_key_error_args(key):
    with pytest.raises(KeyError) as info:
        FD_A[key]
    assert info.value.args == (key,)
    with pytest.raises(KeyError) as info:
        SubFD(FD_A)[key]
    assert info.value.args == (key,)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: FD_A["a"], 1),
        (lambda: FD_A[(1, 2)], "t"),
        (lambda: FD_A.get("a"), 1),
        (lambda: FD_A.get("b"), None),
        (lambda: FD_A.get("b", 5), 5),
        (lambda: "a" in FD_A, True),
        (lambda: "b" in FD_A, False),
        (lambda: MISSING_A["a"], 1),
        (lambda: MISSING_A["b"], ("missing", "b")),
        (lambda: MISSING_A.get("b"), None),
        (lambda: "b" in MISSING_A, False),
        (lambda: type("NoMissing", (FrozenDict,), {})({"a": 1}).get("b", 5), 5),
    ],
)
def test_lookup(call, expected):
    assert call() == expected


GET_ERRORS = [
    (lambda m: m.get([1]), "unhashable"),
    (lambda m: m.get(), r"^FrozenDict.get\(\) takes 1 or 2 arguments$"),
    (lambda m: m.get(1, 2, 3), r"^FrozenDict.get\(\) takes 1 or 2 arguments$"),
    (lambda m: m.get("a", default=1), "keyword"),
]


@pytest.mark.parametrize(
    "mapping, call, message",
    [(FD_A, *e) for e in GET_ERRORS]
    + [(NULL, *e) for e in GET_ERRORS]
    + [(FD_A, lambda m: m[[1]], "unhashable"), (FD_A, lambda m: [1] in m, "unhashable")]
    + [(MISSING_A, lambda m: m[[1]], "unhashable")],
)
def test_lookup_errors(mapping, call, message):
    with pytest.raises(TypeError, match=message):
        call(mapping)


def test_views_are_fresh_lists_over_a_private_snapshot():
    fd = FrozenDict({"b": 1, "a": [2]})
    keys, values, items = fd.keys(), fd.values(), fd.items()
    assert (keys, values, items) == (["b", "a"], [1, (2,)], [("b", 1), ("a", (2,))]) and fd.keys() is not keys
    assert list(fd) == keys and dict(fd) == {**fd} == {"b": 1, "a": (2,)}
    assert (type(keys), type(values), type(items)) == (qf.FrozenDictKeys, list, qf.FrozenDictItems)
    assert [pickle.loads(pickle.dumps(v)) for v in (keys, items)] == [keys, items] == [copy.copy(keys), items[:]]
    keys.append("x"), keys.sort(), values.clear(), items.reverse()
    assert (fd.keys(), fd.values(), fd.items()) == (["b", "a"], [1, (2,)], [("b", 1), ("a", (2,))])
    assert list(fd) == ["b", "a"] and len(fd) == 2


def isdisjoint(left, right):
    return left.isdisjoint(right)


@pytest.mark.parametrize("operation", [operator.and_, operator.or_, operator.sub, operator.xor, isdisjoint])
@pytest.mark.parametrize(
    "other",
    [{"b", "c"}, ["c", "b", "b"], (), {"b": 0, "c": 1}.keys(), FrozenDict({"c": 1, "b": 0}).keys(), {("b", (2,)), "a"}],
)
@pytest.mark.parametrize("view", ["keys", "items"])
def test_key_and_item_lists_combine_as_dict_views(view, other, operation):
    ours, theirs = getattr(FrozenDict({"a": 1, "b": [2]}), view)(), getattr({"a": 1, "b": (2,)}, view)()
    assert operation(ours, other) == operation(theirs, other)
    if operation is not isdisjoint:
        assert operation(other, ours) == operation(other, theirs)
        assert operation(ours, ours) == operation(theirs, theirs) and type(operation(other, ours)) is set


@pytest.mark.parametrize("operation", [operator.and_, operator.or_, operator.sub, operator.xor, isdisjoint])
@pytest.mark.parametrize("other, error", [(1, TypeError), ([[1]], TypeError), (RaisingIter(), Boom)])
def test_key_list_set_operations_refuse_what_dict_views_refuse(operation, other, error):
    for keys in (FD_A.keys(), {"a": 1, (1, 2): "t"}.keys()):
        with pytest.raises(error):
            operation(keys, other)


@pytest.mark.parametrize(
    "obj, text, frozen, cacheable",
    [
        (FrozenDict({"a": 1}), "FrozenDict({'a': 1})", True, True),
        (FrozenDict({"x": {"y": 1}}), "FrozenDict({'x': FrozenDict({'y': 1})})", True, True),
        (SubFD({"a": 1}), "SubFD({'a': 1})", True, True),
        (NULL, "NullFrozenDict()", True, False),
    ],
)
def test_repr_and_attributes(obj, text, frozen, cacheable):
    assert repr(obj) == str(obj) == text and (obj.__frozen__, obj.cacheable) == (frozen, cacheable)
    for name in ("__frozen__", "cacheable", "data_size"):
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)


@pytest.mark.parametrize(
    "mutate",
    [
        lambda m: m.__setitem__("a", 1),
        lambda m: m.__delitem__("a"),
        lambda m: m.update({}),
        lambda m: m.clear(),
        lambda m: m.pop(),
        lambda m: m.popitem(),
        lambda m: m.setdefault("a", default=1),
    ],
)
@pytest.mark.parametrize(
    "obj, name",
    [(FrozenDict({"a": 1}), "quillet.frozen.FrozenDict"), (SubFD(), "SubFD"), (NULL, "quillet.frozen.NullFrozenDict")],
)
def test_mutation_refused(obj, name, mutate):
    with pytest.raises(TypeError, match=f"^Cannot modify immutable type: {name}$"):
        mutate(obj)


# --- union, fromkeys, copies, reversed, size -----------------------------------------------------------

FD_AB = FrozenDict({"a": 1, "b": [2]})


@pytest.mark.parametrize(
    "left, right, expected",
    [
        (FD_AB, {"b": [3], "c": {4}}, FrozenDict({"a": 1, "b": (3,), "c": frozenset({4})})),
        (FD_AB, SubFD({"a": 0}), FrozenDict({"a": 0, "b": (2,)})),
        (SubFD({"c": 0}), FD_AB, FrozenDict({"c": 0, **FD_AB})),
        (FD_AB, types.MappingProxyType({"z": [1]}), FrozenDict({**FD_AB, "z": (1,)})),
        (FD_AB, collections.UserDict(a=[0]), FrozenDict({"a": (0,), "b": (2,)})),
        (FD_AB, SubDict(b=[5]), FrozenDict({"a": 1, "b": (2,), "bogus": (0,)})),
        (FD_AB, StorageDict(b=[5]), FrozenDict({"a": 1, "b": (5,)})),
        ({"b": [3], "c": [4]}, FD_AB, {"b": (2,), "c": [4], "a": 1}),
        (types.MappingProxyType({"c": [4]}), FD_AB, {"c": [4], "a": 1, "b": (2,)}),
        (NULL, FD_AB, FrozenDict(FD_AB)),
        (FD_AB, NULL, FrozenDict(FD_AB)),
        (NULL, NULL, FrozenDict()),
        ({"c": 4}, NULL, {"c": 4, "__null__": None}),
    ],
)
def test_union(left, right, expected):
    result = left | right
    assert type(result) is type(expected) and list(dict(result).items()) == list(dict(expected).items())
    if type(left) is not types.MappingProxyType:
        merged = left
        merged |= right
        assert merged == result and (merged is not left or type(left) is dict)


@pytest.mark.parametrize(
    "call",
    [
        lambda: FD_AB | 1,
        lambda: FD_AB | [("a", 1)],
        lambda: 1 | FD_AB,
        lambda: {1, 2} | FD_AB,
        lambda: NULL | "ab",
        lambda: FrozenDict.fromkeys(),
        lambda: FrozenDict.fromkeys("ab", 1, 2),
        lambda: FrozenDict.fromkeys([[1]]),
        lambda: FrozenDict.fromkeys(5),
        lambda: FrozenDict.fromkeys("a", value=1),
    ],
)
def test_union_and_fromkeys_refusals(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "cls, args, expected",
    [
        (FrozenDict, ("ab",), FrozenDict({"a": None, "b": None})),
        (FrozenDict, ("ab", [1]), FrozenDict({"a": (1,), "b": (1,)})),
        (SubFD, ("ab", {"x": [1]}), SubFD({"a": {"x": (1,)}, "b": {"x": (1,)}})),
        (NullFrozenDict, ("ab", [1]), NULL),
    ],
)
def test_fromkeys(cls, args, expected):
    result = cls.fromkeys(*args)
    values = result.values()
    assert type(result) is cls and result == expected and all(v is values[0] for v in values), "frozen once"


@pytest.mark.parametrize(
    "obj, same",
    [
        (FrozenDict({"a": (1, "x"), "b": FrozenDict({"c": [None]})}), True),
        (FrozenDict(), True),
        (NULL, True),
        (FrozenDict({"a": bytearray(b"x")}), False),
        (FrozenDict({"a": (1, frozenset({2}))}), False),
        (NullFrozenDict(1), NULL),
    ],
)
def test_copies(obj, same):
    itself = same if type(same) is NullFrozenDict else obj
    assert obj.copy() is itself and copy.copy(obj) is itself
    deep = copy.deepcopy(obj)
    assert (deep is itself) is (same is not False) and deep == obj and type(deep) is type(obj)


def test_subclass_and_cyclic_copies():
    sub = SubFD({"a": [1]})
    sub.note = ["n"]
    shallow, deep = copy.copy(sub), copy.deepcopy(sub)
    assert type(shallow) is type(deep) is SubFD and shallow == deep == sub and shallow is not sub
    assert shallow.note is sub.note and deep.note == sub.note and deep.note is not sub.note
    assert type(sub.copy()) is FrozenDict and sub.copy() == sub
    owner = collections.namedtuple("Owner", "x")  # any class whose instances take attributes
    holder = type("Holder", (), {})()
    holder.fd = FrozenDict({"self": holder, "t": owner([1])})
    twin = copy.deepcopy(holder)
    assert twin.fd["self"] is twin and twin.fd["t"] == holder.fd["t"]


@pytest.mark.parametrize(
    "obj, expected",
    [
        (FrozenDict([("b", 1), ("a", 2), ("c", 3)]), ["c", "a", "b"]),
        (FrozenDict(), []),
        (NULL, ["__null__"]),
    ],
)
def test_reversed(obj, expected):
    forward = iter(obj)
    assert operator.length_hint(forward) == len(expected) and type(forward) is type(reversed(obj))
    assert list(reversed(obj)) == expected and list(forward) == expected[::-1] and operator.length_hint(forward) == 0
    with pytest.raises(TypeError):
        type(forward)()


def test_sizes_include_the_private_storage_and_nothing_read_from_it():
    content = {i: i for i in range(1000)}
    fd = FrozenDict(content)
    assert sys.getsizeof(fd) > sys.getsizeof(content) > sys.getsizeof(FrozenDict())
    # The empty and null mappings share their private dicts, which no instance counts.
    assert FrozenDict().__sizeof__() == FrozenDict({}).__sizeof__() == NULL.__sizeof__() == FrozenDict.__basicsize__
    before = sys.getsizeof(fd)
    fd.keys(), fd.values(), fd.items(), list(fd), list(reversed(fd)), fd.__reduce__()
    assert sys.getsizeof(fd) == before, "reading the content keeps no copy of it"


def traced_bytes_per_call(call, count=300):
    """Bytes still allocated per call while the results of `count` calls are kept."""
    results = [None] * count
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(count):
            results[i] = call(i)
        gc.collect()
        return (tracemalloc.get_traced_memory()[0] - before) / count
    finally:
        tracemalloc.stop()


READ_MAPPINGS = [FrozenDict({i: i, "k": (i, "x")}) for i in range(300)]
INSTANCE_BYTES = FrozenDict.__basicsize__ + 16  # with the collector's header


def read_all(fd):
    fd.keys(), fd.values(), fd.items(), list(fd), list(reversed(fd)), fd.__reduce__(), copy.deepcopy(fd), hash(fd)


@pytest.mark.parametrize(
    "call, budget",
    [
        (lambda i: read_all(READ_MAPPINGS[i]), 8),
        (lambda i: FrozenDict(), INSTANCE_BYTES + 8),
        (lambda i: FrozenDict({}), INSTANCE_BYTES + 8),
        (lambda i: FrozenDict([]), INSTANCE_BYTES + 8),
        (lambda i: freeze({}), INSTANCE_BYTES + 8),
        (lambda i: FrozenDict.fromkeys(()), INSTANCE_BYTES + 8),
        (lambda i: FrozenDict() | {}, INSTANCE_BYTES + 8),
    ],
    ids=["reading", "empty", "empty_dict", "empty_pairs", "freeze", "fromkeys", "union"],
)
def test_memory_held_per_mapping(call, budget):
    assert traced_bytes_per_call(call) <= budget


def test_json_of_nested_frozen_dicts():
    value = freeze({"a": [1, {"b": None}], "c": {"d": "e"}, "f": FrozenDict({"g": NULL})})
    assert json.dumps(value, default=dict) == '{"a": [1, {"b": null}], "c": {"d": "e"}, "f": {"g": {"__null__": null}}}'


def test_repr_keeps_its_class_while_a_value_replaces_it():
    other = type("Other", (FrozenDict,), {})

    def make():
        holder = {}
        swap = type(
            "Swap", (), {"__repr__": lambda self: (setattr(holder["fd"], "__class__", other), gc.collect(), "s")[2]}
        )
        holder["fd"] = type("Temp", (FrozenDict,), {})({"k": swap()})
        return holder["fd"]

    assert repr(make()) == "Temp({'k': s})"


# --- NullFrozenDict -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: len(NULL), 0),
        (lambda: bool(NULL), False),
        (lambda: NULL.data_size, 0),
        (lambda: NULL["x"], None),
        (lambda: NULL[[1]], None),
        (lambda: "__null__" in NULL, False),
        (lambda: [1] in NULL, False),
        (lambda: NULL.get("__null__"), None),
        (lambda: NULL.get("__null__", 7), 7),
        (lambda: list(NULL), ["__null__"]),
        (lambda: dict(NULL), {"__null__": None}),
        (lambda: NULL.get_hash(), 0),
        (lambda: NullFrozenDict() == NULL, True),
        (lambda: FrozenDict.__len__(NULL), 0),
        (lambda: FrozenDict.__eq__(FrozenDict({"__null__": None}), NULL), False),
    ],
)
def test_null_behaviour(call, expected):
    assert call() == expected


def test_null_constants_and_refusals():
    assert NULL.keys() is qf.NULL_TUPLE and NULL.values() is qf.NONE_TUPLE and NULL.items() is qf.NONE_ITEMS_TUPLE
    with pytest.raises(NotImplementedError, match=r"^NullFrozenDict does not support hashing$"):
        hash(NULL)
    with pytest.raises(TypeError):
        type("Sub", (NullFrozenDict,), {})


# --- freeze ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        ([1, [2, 3], {"a": {4}}], (1, (2, 3), FrozenDict({"a": frozenset({4})}))),
        ({"k": [1]}, FrozenDict({"k": (1,)})),
        ({}, FrozenDict()),
        ([], ()),
        ((), ()),
        (set(), frozenset()),
        (Point(1, [2]), (1, (2,))),
        (SubList([1, [2]]), (1, (2,))),
        (SubDict(a=[1]), FrozenDict({"a": (1,)})),
        ({HashableList([1, 2])}, frozenset({(1, 2)})),
        ({(1, 2), HashableList([1, 2])}, frozenset({(1, 2)})),
        ((1, [2]), (1, (2,))),
        ((1, 2), (1, 2)),
        pytest.param(
            getattr(builtins, "frozendict", dict)(a=[1], b={"c": {2}}),
            FrozenDict({"a": (1,), "b": FrozenDict({"c": frozenset({2})})}),
            marks=NEEDS_FROZENDICT,
        ),
    ],
)
def test_freeze_converts(value, expected):
    result = freeze(value)
    assert result == expected and type(result) is type(expected)
    assert result is not value or value == (), "containers are always rebuilt"


SNEAKY = type("Sneaky", (SubList,), {"__class__": property(lambda self: qu.BasicHashable)})([1])


@pytest.mark.parametrize(
    "value",
    [
        frozenset({1}),
        "abc",
        5,
        None,
        1.5,
        True,
        b"x",
        range(3),
        bytearray(b"x"),
        FrozenDict({"a": 1}),
        NULL,
        SubFD(),
        qu.HashableValues([1]),
        qu.CacheKey(1, 2),
        type("SubHashable", (qu.BasicHashable,), {})(),
        SNEAKY,
    ],
)
def test_freeze_passes_through(value):
    assert freeze(value) is value


@pytest.mark.parametrize(
    "call, error",
    [(lambda: freeze(), TypeError), (lambda: freeze(1, 2), TypeError), (lambda: freeze([1, ClassRaises()]), Boom)],
)
def test_freeze_errors(call, error):
    with pytest.raises(error):
        call()


def test_freeze_when_construction_is_replaced():
    script = """if 1:
        import quillet.frozen as qf
        seen, original = [], qf.FrozenDict.__init__
        qf.FrozenDict.__init__ = lambda self, data=None: seen.append(data) or original(self, data)
        result = qf.freeze({"a": [1], "b": {"c": 2}})
        calls = list(seen)
        assert type(result) is qf.FrozenDict and result == qf.FrozenDict({"a": (1,), "b": {"c": 2}}), result
        assert calls == [(("c", 2),), (("a", (1,)), ("b", qf.FrozenDict({"c": 2})))], calls
        print("ok")
    """
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=False)
    assert out.stdout.strip() == "ok", out.stderr


# --- mended faults ---------------------------------------------------------------------------


def nested(depth, wrap):
    x = 0
    for _ in range(depth):
        x = wrap(x)
    return x


def self_containing(container, add):
    add(container, container)
    return container


@pytest.mark.parametrize(
    "value", [self_containing([1], list.append), self_containing({}, lambda d, v: d.update(d=[v]))]
)
def test_freeze_cycles(value):
    for call in (freeze, lambda v: FrozenDict({"v": v})):
        with pytest.raises(RecursionError):
            call(value)


def only(container, kind):
    assert type(container) is kind and len(container) == 1
    return next(iter(container))


# How to nest one level, and how to step into one level of the frozen result.
DEEP = {
    "list": (lambda x: [x], lambda r: only(r, tuple)),
    "tuple": (lambda x: (x,), lambda r: only(r, tuple)),
    "dict": (lambda x: {"k": x}, lambda r: r[only(r, FrozenDict)]),
    "set": (lambda x: {HashableList([x])}, lambda r: only(only(r, frozenset), tuple)),
}


@pytest.mark.parametrize("wrap, unwrap", DEEP.values(), ids=DEEP.keys())
def test_freeze_deep_nesting(wrap, unwrap):
    value = nested(100_000, wrap)
    # A stack-based guard (3.14 on) may finish the job on a large stack; the result must then be right.
    try:
        result = freeze(value)
    except RecursionError:
        pass
    else:
        for _ in range(100_000):
            result = unwrap(result)
        assert result == 0
    for build in (freeze, lambda v: FrozenDict({"v": v})):
        with pytest.raises(RecursionError):
            run_with_small_stack(functools.partial(build, value))


def test_deep_frozen_dict_chain():
    chains = [nested(100_000, lambda x: FrozenDict([("k", x)])) for _ in range(2)]
    for op in (hash, repr, lambda c: c == chains[1]):
        with pytest.raises(RecursionError):
            run_with_small_stack(functools.partial(op, chains[0]))
    # The errors' tracebacks keep a chain alive through a cycle; once that is
    # gone, the last references drop on the small stack.
    gc.collect()
    assert sys.getrefcount(chains[0]) == sys.getrefcount(chains[1])
    run_with_small_stack(chains.clear)  # deallocation must not exhaust the native stack either


def list_with_hook(change, at):
    items = [1, 2, 3]
    items.insert(at, ClassHook(lambda: change(items)))
    return items


@pytest.mark.parametrize(
    "change, at", [(list.clear, 1), (lambda xs: xs.append(9), 1), (list.pop, 1), (lambda xs: xs.append(9), 3)]
)
def test_list_changing_while_frozen(change, at):
    with pytest.raises(RuntimeError, match="changed size"):
        freeze(list_with_hook(change, at))


def test_dicts_and_sets_changing_while_frozen():
    source, sub = {"a": 1}, SubDict(a=1)
    source["hook"], sub["hook"] = ClassHook(lambda: source.update(x=1)), ClassHook(lambda: sub.update(x=1))
    assert list(freeze(source)) == list(freeze(sub)) == ["a", "hook"], "frozen from a snapshot of the storage"
    hooks = []
    sub = SubDict({type("HookKey", (), {"__hash__": lambda self: ([h() for h in hooks], 1)[1]})(): [1], "b": 2})
    hooks.append(lambda: sub.update(x=1))
    assert len(freeze(sub)) == 2, "a key's hash changing the source does not reach the snapshot"
    members = {1, 2}
    members.add(ClassHook(lambda: members.add(len(members))))
    with pytest.raises(RuntimeError, match="changed size"):
        freeze(members)


class Rehashing:
    """A key that hashes differently on every call."""

    count = 0

    def __hash__(self):
        Rehashing.count += 1
        return Rehashing.count


@pytest.mark.parametrize("source", [dict, StorageDict], ids=["dict", "subclass"])
@pytest.mark.parametrize("build", [FrozenDict, freeze, lambda d: FrozenDict({"outer": d})["outer"]])
def test_one_insertion_per_pair(build, source):
    key = Rehashing()
    fd = build(source({key: [1], "b": {"c": [2]}}))
    assert fd.keys() == [key, "b"] and fd.values() == [(1,), FrozenDict({"c": (2,)})]


def test_reinitialisation_during_lookup_changes_nothing():
    key_type = type("Key", (), {"__hash__": lambda self: 1, "__eq__": lambda self, other: fd.__init__({}) or True})
    fd = FrozenDict({key_type(): "v"})
    assert fd[key_type()] == "v" and len(fd) == 1


UNINITIALISED_OPS = {
    "reversed": reversed,
    "copy": lambda o: o.copy() is NULL,
    "or": lambda o: o | {},
    "hash": hash,
    "repr": repr,
    "iter": iter,
    "in": lambda o: 1 in o,
    "[]": lambda o: o[1],
    "get": lambda o: o.get(1),
    "keys": lambda o: o.keys(),
    "values": lambda o: o.values(),
    "items": lambda o: o.items(),
    "get_hash": lambda o: o.get_hash(),
    "eq": lambda o: o == FrozenDict(),
    "ne": lambda o: FrozenDict() != o,
    "construct": FrozenDict,
}
NULL_UNINITIALISED = {
    "copy": True,
    "or": FrozenDict(),
    "repr": "NullFrozenDict()",
    "in": False,
    "[]": None,
    "get": None,
    "keys": qf.NULL_TUPLE,
    "values": qf.NONE_TUPLE,
    "items": qf.NONE_ITEMS_TUPLE,
    "eq": False,
    "ne": True,
    "hash": NotImplementedError,
    "construct": FrozenDict(),
}


def cleared_by_the_gc(cls):
    """A built, hashed instance after the collector's clear slot ran on it, as in a cycle a finaliser still sees."""
    obj = cls({"a": [1], "b": 2}) if cls is not NullFrozenDict else cls()
    obj.get_hash(), obj.keys()
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(cls, 51))(obj)  # 51: Py_tp_clear
    return obj


@pytest.mark.parametrize("make", [lambda cls: cls.__new__(cls), cleared_by_the_gc], ids=["new", "cleared"])
@pytest.mark.parametrize("cls", [FrozenDict, SubFD, NullFrozenDict])
@pytest.mark.parametrize("op", UNINITIALISED_OPS)
def test_uninitialised_instances(cls, op, make):
    obj = make(cls)
    assert (len(obj), obj.data_size, obj.__frozen__) == (0, 0, False)
    expected = NULL_UNINITIALISED.get(op, TypeError) if cls is NullFrozenDict else TypeError
    if expected in (TypeError, NotImplementedError):
        with pytest.raises(expected, match="not initialised$" if expected is TypeError else None):
            UNINITIALISED_OPS[op](obj)
    else:
        assert UNINITIALISED_OPS[op](obj) == expected


@pytest.mark.parametrize(
    "wrap",
    [
        lambda o: FrozenDict({"o": o}),
        lambda o: FrozenDict([("o", [o])]),
        lambda o: SubFD({"o": o}),
        lambda o: FrozenDict({"o": o}) | {"p": [o]},
    ],
)
def test_cycles_through_frozen_dicts_are_collected_and_the_content_stays_private(wrap):
    def make_cycle(witness):
        witness.fd = wrap(witness)
        witness.iterators = iter(witness.fd), reversed(witness.fd)
        content = dict(witness.fd)
        referents = gc.get_referents(witness.fd, *witness.iterators)
        assert [r for r in referents if type(r) is dict and r == content] == []

    assert collected(make_cycle)


def test_cleared_instance_can_be_built_again():
    fd = FrozenDict({"a": [1], "b": 2})
    forward, backward = iter(fd), reversed(fd)
    assert next(forward) == "a" and cleared_by_the_gc(FrozenDict) is not fd
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes, get_slot.restype = [ctypes.py_object, ctypes.c_int], ctypes.c_void_p
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(FrozenDict, 51))(fd)  # 51: Py_tp_clear
    fd.__init__({"x": [1]})
    assert fd == FrozenDict({"x": (1,)}) and fd.__frozen__ and list(fd) == ["x"]
    for stale in (forward, backward):
        with pytest.raises(RuntimeError):
            next(stale)
        assert list(stale) == []


# --- properties ----------------------------------------------------------------------------------

json_like = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=25,
)


def deep_freeze_model(value):
    """What freeze() should produce, computed without it."""
    if isinstance(value, dict):
        return FrozenDict([(k, deep_freeze_model(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return tuple(deep_freeze_model(v) for v in value)
    return value


def with_subclasses(value):
    """The same data built from container subclasses, which take freeze's general path."""
    if isinstance(value, dict):
        return SubDict((k, with_subclasses(v)) for k, v in value.items())
    if isinstance(value, list):
        return SubList(with_subclasses(v) for v in value)
    return value


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.text(max_size=5), json_like, max_size=6))
def test_properties(d):
    fd, frozen = FrozenDict(d), freeze(d)
    assert freeze(frozen) == frozen == fd == deep_freeze_model(d) == FrozenDict(list(d.items()))
    assert hash(FrozenDict(dict(reversed(list(d.items()))))) == hash(fd)
    assert dict(fd) == {k: deep_freeze_model(v) for k, v in d.items()}


@settings(max_examples=150, deadline=None)
@given(json_like)
def test_general_path_agrees_with_fast_path(value):
    fast, slow = freeze(value), freeze(with_subclasses(value))
    assert fast == slow and type(fast) is type(slow)


@NEEDS_FROZENDICT
@settings(max_examples=100, deadline=None)
@given(
    st.dictionaries(st.text(max_size=2), json_like, max_size=5),
    st.dictionaries(st.text(max_size=2), json_like, max_size=5),
    st.lists(st.text(max_size=2), max_size=5),
    json_like,
)
def test_parity_with_builtin_frozendict(a, b, keys, value):
    builtin = builtins.frozendict
    ours, theirs = FrozenDict(a), builtin(a)
    for mine, reference in [
        (ours | b, theirs | b),
        (b | ours, b | theirs),
        (ours | FrozenDict(b), theirs | builtin(b)),
        (FrozenDict.fromkeys(keys, value), builtin.fromkeys(keys, value)),
    ]:
        assert type(mine) is {builtin: FrozenDict, dict: dict}[type(reference)]
        assert list(mine) == list(reference) and freeze(mine) == freeze(reference)
    assert list(reversed(ours)) == list(reversed(theirs)) and ours.copy() is ours and theirs.copy() is theirs
    assert FrozenDict(theirs) == ours == freeze(theirs)
