import collections
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet.frozen as qf
import quillet.utils as qu
from hostile import Boom, ClassHook, ClassRaises, RaisingEq, Witness, class_claiming, collected

FrozenDict, NullFrozenDict, freeze = qf.FrozenDict, qf.NullFrozenDict, qf.freeze
NULL = qf.NULL_FROZEN_DICT


class SubFD(FrozenDict):
    pass


class SubList(list):
    pass


class SubTuple(tuple):
    pass


class SubSet(set):
    pass


class SubDict(dict):
    """Overrides every way of reading itself; freeze reads the storage."""

    def __iter__(self):
        return iter(["bogus"])

    def keys(self):
        return ["bogus"]

    def items(self):
        return [("bogus", 0)]


class HashableList(list):
    def __hash__(self):
        return 7


class CountingHash:
    calls = 0

    def __hash__(self):
        CountingHash.calls += 1
        return 11


Point = collections.namedtuple("Point", "x y")


# --- module -----------------------------------------------------------------


def test_module_surface():
    assert qf.__doc__ == "Immutable FrozenDict + recursive freeze(). Raw C."
    names = [n for n in vars(qf) if not n.startswith("__")]
    assert names == ["freeze", "FrozenDict", "NullFrozenDict", "NULL_KEY", "NULL_TUPLE", "NONE_TUPLE",
                     "NONE_ITEMS_TUPLE", "NULL_FROZEN_DICT"]
    assert "quillet.utils" in sys.modules
    assert qf.NULL_KEY is sys.intern("__null__")
    assert (qf.NULL_TUPLE, qf.NONE_TUPLE, qf.NONE_ITEMS_TUPLE) == (("__null__",), (None,), (("__null__", None),))
    assert isinstance(NULL, NullFrozenDict) and isinstance(NULL, FrozenDict)
    assert not isinstance(FrozenDict(), qu.BasicHashable)


# --- construction -------------------------------------------------------------


@pytest.mark.parametrize("make", [FrozenDict, lambda: FrozenDict(None), lambda: FrozenDict(data=None),
                                  lambda: FrozenDict({}), lambda: FrozenDict([])])
def test_empty(make):
    fd = make()
    assert (len(fd), fd.data_size, bool(fd), "a" in fd, repr(fd), list(fd)) == (0, 0, False, False, "FrozenDict({})", [])


@pytest.mark.parametrize("data, expected", [
    ({"a": [1, {"b": {2}}]}, [("a", (1, FrozenDict({"b": frozenset({2})})))]),
    ([("a", 1), ("b", 2), ("a", 3)], [("a", 3), ("b", 2)]),
    (["ab"], [("a", "b")]),
    ([["k", [1]]], [("k", (1,))]),
    (FrozenDict({"ab": 1}), [("a", "b")]),
    (zip("xy", [[1], 2]), [("x", (1,)), ("y", 2)]),
    (SubDict(z=[1], y=2), [("z", (1,)), ("y", 2)]),
    ({"s": SubSet([1]), "t": SubTuple([[2]])}, [("s", frozenset({1})), ("t", ((2,),))]),
])
def test_construction_content(data, expected):
    fd = FrozenDict(data)
    assert fd.items() == expected
    assert [type(v) for _, v in fd.items()] == [type(v) for _, v in expected]
    assert len(fd) == fd.data_size == len(expected)


class GetitemFails:
    """Iterates like a pair but cannot be indexed."""

    def __getitem__(self, index):
        raise Boom("index")

    def __iter__(self):
        return iter(("k", "v"))


@pytest.mark.parametrize("items", [
    [("a", 1, 2)], [1], [()], [("a",)], [{1, 2}], [frozenset({"a", "b"})], [{"x": 1, "y": 2}],
    [iter(("a", 1))], [GetitemFails()], [("a", 1), {1, 2}, ("b", 2)],
])
def test_items_that_are_not_pairs(items):
    with pytest.raises(ValueError, match=r"^FrozenDict expects iterable of \(k,v\) pairs$"):
        FrozenDict(items)


@pytest.mark.parametrize("call", [
    lambda: FrozenDict(5), lambda: FrozenDict([([1], 2)]), lambda: FrozenDict(x=1),
    lambda: FrozenDict({}, {}), lambda: FrozenDict({}, data={}),
])
def test_construction_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_iterator_error_propagates():
    def pairs():
        yield ("a", 1)
        raise Boom("iter")

    with pytest.raises(Boom):
        FrozenDict(pairs())


def test_subclass_and_reinit():
    sub = SubFD({"a": [1]})
    assert type(sub) is SubFD and sub == FrozenDict({"a": (1,)}) and repr(sub) == "SubFD({'a': (1,)})"
    fd = FrozenDict({"a": 1})
    assert hash(fd) == hash(FrozenDict({"a": 1}))
    fd.__init__({"b": 2})
    assert fd == FrozenDict({"b": 2}) and hash(fd) == hash(FrozenDict({"b": 2})) and list(fd) == ["b"]
    with pytest.raises(ValueError):
        fd.__init__([1])
    assert fd == FrozenDict({"b": 2})  # a failed re-initialisation keeps the content


# --- hash ------------------------------------------------------------------


@pytest.mark.parametrize("data, expected", [
    ({}, 0), ({0: 0}, 2654435769), ({1: 2}, 2654435835), ({1: 2, 3: 4}, 902), ({3: 4, 1: 2}, 902),
    ({-2: 0}, 2654435640),
])
def test_hash_worked_values(data, expected):
    fd = FrozenDict(data)
    assert hash(fd) == fd.get_hash() == expected


def test_hash_order_independent_and_usable_as_key():
    a, b = FrozenDict([("a", 1), ("b", (2,))]), FrozenDict([("b", [2]), ("a", 1)])
    assert hash(a) == hash(b)
    assert len({a: 1, b: 2}) == 1 and len({a, b}) == 1


def test_hash_computed_once():
    CountingHash.calls = 0
    fd = FrozenDict({"k": CountingHash()})
    assert hash(fd) == hash(fd) == fd.get_hash()
    assert CountingHash.calls == 1


@pytest.mark.parametrize("value, error", [(bytearray(b"x"), TypeError), (NULL, NotImplementedError),
                                          ([bytearray()], TypeError)])
def test_hash_failure_raises_every_time(value, error):
    fd = FrozenDict({"k": value})
    for _ in range(2):
        with pytest.raises(error):
            hash(fd)
        with pytest.raises(error):
            fd.get_hash()


# --- equality ------------------------------------------------------------------


@pytest.mark.parametrize("left, right, equal", [
    (FrozenDict({"a": 1}), FrozenDict([("a", 1)]), True),
    (FrozenDict({"a": [1]}), FrozenDict({"a": (1,)}), True),
    (FrozenDict({"a": 1}), SubFD({"a": 1}), True),
    (FrozenDict({"a": {"b": 1}}), FrozenDict({"a": FrozenDict({"b": 1})}), True),
    (FrozenDict({"a": 1}), FrozenDict({"a": 2}), False),
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
])
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


def test_ordering_and_raising_values():
    with pytest.raises(TypeError):
        FrozenDict({"a": 1}) < FrozenDict({"a": 1})
    with pytest.raises(TypeError):
        NULL <= NULL
    with pytest.raises(Boom):
        FrozenDict({"k": RaisingEq()}) == FrozenDict({"k": RaisingEq()})


# --- lookup ----------------------------------------------------------------------

FD_A = FrozenDict({"a": 1, (1, 2): "t"})


@pytest.mark.parametrize("key, args", [("b", ("b",)), ((3, 4), (3, 4)), (None, ()), ((), ())])
def test_missing_key_error_args(key, args):
    with pytest.raises(KeyError) as info:
        FD_A[key]
    assert info.value.args == args


@pytest.mark.parametrize("call, expected", [
    (lambda: FD_A["a"], 1), (lambda: FD_A[(1, 2)], "t"), (lambda: FD_A.get("a"), 1),
    (lambda: FD_A.get("b"), None), (lambda: FD_A.get("b", 5), 5), (lambda: "a" in FD_A, True),
    (lambda: "b" in FD_A, False),
])
def test_lookup(call, expected):
    assert call() == expected


GET_ERRORS = [
    (lambda fd: fd.get([1]), "unhashable"),
    (lambda fd: fd.get(), "^FrozenDict.get\\(\\) takes 1 or 2 arguments$"),
    (lambda fd: fd.get(1, 2, 3), "^FrozenDict.get\\(\\) takes 1 or 2 arguments$"),
    (lambda fd: fd.get("a", default=1), "keyword"),
]


@pytest.mark.parametrize("call, message", GET_ERRORS + [(lambda fd: fd[[1]], "unhashable"),
                                                        (lambda fd: [1] in fd, "unhashable")])
def test_lookup_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call(FD_A)


@pytest.mark.parametrize("call, message", GET_ERRORS)
def test_null_get_errors(call, message):
    with pytest.raises(TypeError, match=message):
        call(NULL)


# --- views, iteration, repr, attributes -------------------------------------------


def test_views_are_fresh_lists_over_a_private_snapshot():
    fd = FrozenDict({"b": 1, "a": [2]})
    keys, values, items = fd.keys(), fd.values(), fd.items()
    assert (keys, values, items) == (["b", "a"], [1, (2,)], [("b", 1), ("a", (2,))])
    assert list(fd) == keys and dict(fd) == {**fd} == {"b": 1, "a": (2,)}
    assert fd.keys() is not keys
    keys.append("x"), keys.sort(), values.clear(), items.reverse()
    assert (fd.keys(), fd.values(), fd.items()) == (["b", "a"], [1, (2,)], [("b", 1), ("a", (2,))])
    assert list(fd) == ["b", "a"] and len(fd) == 2


@pytest.mark.parametrize("obj, text", [
    (FrozenDict({"a": 1}), "FrozenDict({'a': 1})"),
    (FrozenDict({"x": {"y": 1}}), "FrozenDict({'x': FrozenDict({'y': 1})})"),
    (SubFD({"a": 1}), "SubFD({'a': 1})"),
    (NULL, "NullFrozenDict()"),
])
def test_repr_and_str(obj, text):
    assert repr(obj) == str(obj) == text


@pytest.mark.parametrize("obj, frozen, cacheable", [(FrozenDict(), True, True), (NULL, True, False)])
def test_read_only_attributes(obj, frozen, cacheable):
    assert (obj.__frozen__, obj.cacheable) == (frozen, cacheable)
    for name in ("__frozen__", "cacheable", "data_size"):
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)


MUTATIONS = [
    lambda m: m.__setitem__("a", 1), lambda m: m.__delitem__("a"), lambda m: m.update({}), lambda m: m.clear(),
    lambda m: m.pop(), lambda m: m.popitem(), lambda m: m.setdefault("a", default=1),
]


@pytest.mark.parametrize("mutate", MUTATIONS)
@pytest.mark.parametrize("obj, name", [(FrozenDict({"a": 1}), "quillet.frozen.FrozenDict"), (SubFD(), "SubFD"),
                                       (NULL, "quillet.frozen.NullFrozenDict")])
def test_mutation_refused(obj, name, mutate):
    with pytest.raises(TypeError, match=f"^Cannot modify immutable type: {name}$"):
        mutate(obj)


# --- NullFrozenDict -----------------------------------------------------------------


@pytest.mark.parametrize("call, expected", [
    (lambda: len(NULL), 0), (lambda: bool(NULL), False), (lambda: NULL.data_size, 0),
    (lambda: NULL["anything"], None), (lambda: NULL[[1]], None), (lambda: "__null__" in NULL, False),
    (lambda: [1] in NULL, False), (lambda: NULL.get("__null__"), None), (lambda: NULL.get("__null__", 7), 7),
    (lambda: list(NULL), ["__null__"]), (lambda: dict(NULL), {"__null__": None}), (lambda: NULL.get_hash(), 0),
    (lambda: NullFrozenDict() == NULL, True),
])
def test_null_behaviour(call, expected):
    assert call() == expected


def test_null_constants_and_refusals():
    assert NULL.keys() is qf.NULL_TUPLE and NULL.values() is qf.NONE_TUPLE and NULL.items() is qf.NONE_ITEMS_TUPLE
    with pytest.raises(NotImplementedError, match="^NullFrozenDict does not support hashing$"):
        hash(NULL)
    with pytest.raises(TypeError):
        type("Sub", (NullFrozenDict,), {})


# --- freeze ----------------------------------------------------------------------------


@pytest.mark.parametrize("value, expected", [
    ([1, [2, 3], {"a": {4}}], (1, (2, 3), FrozenDict({"a": frozenset({4})}))),
    ({"k": [1]}, FrozenDict({"k": (1,)})),
    ({}, FrozenDict()), ([], ()), ((), ()), (set(), frozenset()),
    (Point(1, [2]), (1, (2,))), (SubList([1, [2]]), (1, (2,))), (SubDict(a=[1]), FrozenDict({"a": (1,)})),
    ({HashableList([1, 2])}, frozenset({(1, 2)})), ({(1, 2), HashableList([1, 2])}, frozenset({(1, 2)})),
])
def test_freeze_converts(value, expected):
    result = freeze(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value", [
    frozenset({1}), "abc", 5, None, 1.5, True, b"x", range(3), bytearray(b"x"), FrozenDict({"a": 1}), NULL, SubFD(),
    qu.HashableValues([1]), qu.CacheKey(1, 2), qu.BasicHashable(),
    type("SubHashable", (qu.BasicHashable,), {})(),
])
def test_freeze_passes_through(value):
    assert freeze(value) is value


def test_freeze_rebuilds_tuples_and_checks_arguments():
    t = (1, 2)
    assert freeze(t) == t and freeze(t) is not t
    for args in [(), (1, 2)]:
        with pytest.raises(TypeError):
            freeze(*args)


def test_freeze_class_claiming_basic_hashable_is_kept():
    sneaky = type("Sneaky", (SubList,), {"__class__": property(lambda self: qu.BasicHashable)})([1])
    assert freeze(sneaky) is sneaky
    with pytest.raises(Boom):
        freeze([1, ClassRaises()])


def test_freeze_when_construction_is_replaced():
    script = textwrap.dedent("""
        import quillet.frozen as qf
        seen = []
        original = qf.FrozenDict.__init__

        def spy(self, data=None):
            seen.append(data)
            original(self, data)

        qf.FrozenDict.__init__ = spy
        result = qf.freeze({"a": [1], "b": {"c": 2}})
        calls = list(seen)
        assert type(result) is qf.FrozenDict and result == qf.FrozenDict({"a": (1,), "b": {"c": 2}}), result
        assert calls == [(("c", 2),), (("a", (1,)), ("b", qf.FrozenDict({"c": 2})))], calls
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr


# --- mended faults ------------------------------------------------------------------


def self_containing_list():
    x = [1]
    x.append(x)
    return x


def self_containing_dict():
    d = {}
    d["d"] = [d]
    return d


def nested(depth, wrap):
    x = 0
    for _ in range(depth):
        x = wrap(x)
    return x


@pytest.mark.parametrize("make", [self_containing_list, self_containing_dict])
def test_freeze_cycles(make):
    value = make()
    with pytest.raises(RecursionError):
        freeze(value)
    with pytest.raises(RecursionError):
        FrozenDict({"v": value})


def in_small_stack(function):
    """Runs function() in a thread with a 512 KiB stack; returns its result or exception."""
    outcome = []

    def run():
        try:
            outcome.append(function())
        except BaseException as error:  # noqa: BLE001 - handed back to the test
            outcome.append(error)

    old = threading.stack_size(512 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    return outcome[0]


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
    # Where the interpreter's guard is stack-based (3.14 on) a large enough
    # stack may finish the job; the result must then be right.
    try:
        result = freeze(value)
    except RecursionError:
        pass
    else:
        for _ in range(100_000):
            result = unwrap(result)
        assert result == 0
    assert isinstance(in_small_stack(lambda: freeze(value)), RecursionError)
    assert isinstance(in_small_stack(lambda: FrozenDict({"v": value})), RecursionError)


def test_deep_frozen_dict_chain():
    chains = [nested(100_000, lambda x: FrozenDict([("k", x)])) for _ in range(2)]
    for op in (hash, repr, lambda c: c == chains[1]):
        assert isinstance(in_small_stack(lambda: op(chains[0])), RecursionError)
    del chains  # deallocation must not exhaust the native stack either


def hook_list_changes(change):
    items = [1, 2, 3]
    items.insert(1, ClassHook(lambda: change(items)))
    return items


@pytest.mark.parametrize("change", [lambda l: l.clear(), lambda l: l.append(9), lambda l: l.pop()])
def test_list_changing_while_frozen(change):
    with pytest.raises(RuntimeError, match="changed size"):
        freeze(hook_list_changes(change))


def test_dicts_and_sets_changing_while_frozen():
    source = {"a": 1}
    source["hook"] = ClassHook(lambda: source.update(x=1, y=2))
    assert list(freeze(source)) == ["a", "hook"]  # an exact dict is frozen from a snapshot
    sub = SubDict(a=1)
    sub["hook"] = ClassHook(lambda: sub.update(x=1))
    assert list(freeze(sub)) == ["a", "hook"]  # so is a subclass, once its storage is read

    hooks = []

    class HookKey:
        def __hash__(self):
            for hook in hooks:
                hook()
            return 1

    sub = SubDict({HookKey(): 1, "b": 2})
    hooks.append(lambda: sub.update(x=1))
    with pytest.raises(RuntimeError, match="changed size"):
        freeze(sub)
    members = {1, 2}
    members.add(ClassHook(lambda: members.add(len(members))))
    with pytest.raises(RuntimeError, match="changed size"):
        freeze(members)


def test_reinit_during_lookup_is_safe():
    class Key:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            fd.__init__({})
            return True

    fd = FrozenDict({Key(): "v"})
    assert fd[Key()] == "v" and len(fd) == 0


UNINITIALISED_OPS = {
    "hash": hash, "repr": repr, "iter": iter, "in": lambda o: 1 in o, "[]": lambda o: o[1], "get": lambda o: o.get(1),
    "keys": lambda o: o.keys(), "values": lambda o: o.values(), "items": lambda o: o.items(),
    "get_hash": lambda o: o.get_hash(), "eq": lambda o: o == FrozenDict(), "req": lambda o: FrozenDict() != o,
}


@pytest.mark.parametrize("cls", [FrozenDict, SubFD])
@pytest.mark.parametrize("op", UNINITIALISED_OPS.values(), ids=UNINITIALISED_OPS.keys())
def test_uninitialised_frozen_dict(cls, op):
    obj = cls.__new__(cls)
    assert (len(obj), obj.data_size, obj.__frozen__) == (0, 0, False)
    with pytest.raises(TypeError, match="object is not initialised$"):
        op(obj)


@pytest.mark.parametrize("op, expected", [
    ("repr", "NullFrozenDict()"), ("in", False), ("[]", None), ("get", None), ("keys", qf.NULL_TUPLE),
    ("values", qf.NONE_TUPLE), ("items", qf.NONE_ITEMS_TUPLE), ("eq", False), ("req", True),
    ("hash", NotImplementedError), ("iter", TypeError), ("get_hash", TypeError),
])
def test_uninitialised_null_frozen_dict(op, expected):
    obj = NullFrozenDict.__new__(NullFrozenDict)
    if isinstance(expected, type):
        with pytest.raises(expected):
            UNINITIALISED_OPS[op](obj)
    else:
        assert UNINITIALISED_OPS[op](obj) == expected


@pytest.mark.parametrize("wrap", [lambda o: FrozenDict({"o": o}), lambda o: FrozenDict([("o", [o])]),
                                  lambda o: SubFD({"o": o})])
def test_cycles_through_frozen_dicts_are_collected(wrap):
    def make_cycle(witness):
        witness.fd = wrap(witness)

    assert collected(make_cycle)


# --- properties ---------------------------------------------------------------------

json_like = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=5),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=25,
)
json_dicts = st.dictionaries(st.text(max_size=5), json_like, max_size=6)


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
@given(json_dicts)
def test_properties(d):
    fd = FrozenDict(d)
    frozen = freeze(d)
    assert freeze(frozen) == frozen == fd == deep_freeze_model(d)
    assert fd == FrozenDict(list(d.items()))
    assert hash(FrozenDict(dict(reversed(list(d.items()))))) == hash(fd)
    assert dict(fd) == {k: deep_freeze_model(v) for k, v in d.items()}


@settings(max_examples=150, deadline=None)
@given(json_like)
def test_general_path_agrees_with_fast_path(value):
    fast, slow = freeze(value), freeze(with_subclasses(value))
    assert fast == slow and type(fast) is type(slow)
