"""quillet.utils: the function table, type predicates, conditional logic and attribute probes."""

import collections
import pathlib
import types

import pytest

import quillet.utils as qu
from quillet.utils import utils as native
from hostile import Boom, ClassRaises, RaisingBool, class_claiming

ONE_OBJECT, FAST, ARG_TUPLE = "one object", "fast positional", "argument tuple"

FUNCTION_TABLE = [
    ("has_attrs", FAST),
    ("has_attr", FAST),
    ("check_conditions", FAST),
    ("lazy_implies", FAST),
    ("lazy_anti_implies", FAST),
    ("implies", FAST),
    ("get_cache_key", FAST),
    ("two_obj_hash", FAST),
    ("none_to_null", ONE_OBJECT),
    ("null_to_none", ONE_OBJECT),
    ("filter_out_nones", ONE_OBJECT),
    ("xor_hash", ARG_TUPLE),
    ("alt_two_obj_hash", ARG_TUPLE),
    ("alt_xor_hash", ARG_TUPLE),
    ("is_truthy", ONE_OBJECT),
    ("is_falsy", ONE_OBJECT),
    ("is_int", ONE_OBJECT),
    ("is_bool", ONE_OBJECT),
    ("is_float", ONE_OBJECT),
    ("is_none", ONE_OBJECT),
    ("is_tuple", ONE_OBJECT),
    ("is_list", ONE_OBJECT),
    ("is_dict", ONE_OBJECT),
    ("is_bytes", ONE_OBJECT),
    ("is_str", ONE_OBJECT),
    ("is_mapping", ONE_OBJECT),
    ("is_object", ONE_OBJECT),
    ("is_set", ONE_OBJECT),
    ("is_type", ONE_OBJECT),
    ("is_primitive", ONE_OBJECT),
    ("is_collection", ONE_OBJECT),
    ("is_path_type", ONE_OBJECT),
    ("path_exists", ONE_OBJECT),
    ("has_nested_dicts", ONE_OBJECT),
    ("has_hook", ONE_OBJECT),
    ("is_container", ONE_OBJECT),
    ("is_resource", ONE_OBJECT),
    ("has_service_name", ONE_OBJECT),
    ("has_dict", ONE_OBJECT),
    ("has_slots", ONE_OBJECT),
    ("has_shutdown", ONE_OBJECT),
]

# What each fast positional function says when called without arguments.
FAST_MESSAGES = {
    "has_attrs": "has_attrs() requires an object and at least one attr name",
    "has_attr": "has_attrs() requires an object and at least one attr name",
    "check_conditions": "check_conditions() takes exactly 2 arguments",
    "lazy_implies": "lazy_implies() requires two arguments",
    "lazy_anti_implies": "lazy_anti_implies() requires two arguments",
    "implies": "implies() requires two arguments",
    "get_cache_key": "get_cache_key() takes exactly 2 arguments",
    "two_obj_hash": "two_obj_hash() requires exactly three arguments",
}


# ---------------------------------------------------------------------------
# The function table


def test_module_functions_in_table_order():
    functions = [name for name, value in vars(native).items() if isinstance(value, types.BuiltinFunctionType)]
    assert functions == [name for name, _ in FUNCTION_TABLE]
    for name in functions:
        assert getattr(qu, name) is getattr(native, name)
        assert getattr(native, name).__doc__ is None


@pytest.mark.parametrize("name, style", FUNCTION_TABLE)
def test_calling_style(name, style):
    function = getattr(qu, name)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        function(1, 2, 3, x=1)
    if style == ONE_OBJECT:
        for args in ((), (1, 2)):
            with pytest.raises(TypeError, match=rf"\b{name}\(\) takes exactly one argument \({len(args)} given\)$"):
                function(*args)
    elif style == FAST:
        with pytest.raises(TypeError) as info:
            function()
        assert str(info.value) == FAST_MESSAGES[name]
    else:
        with pytest.raises(TypeError, match=r"takes exactly 3 arguments \(0 given\)"):
            function()


def test_has_attr_is_has_attrs():
    class C:
        a = b = 1

    for args in [(C, "a"), (C, "a", "b"), (C, "a", "zz"), (C, "zz", 5)]:
        assert qu.has_attr(*args) is qu.has_attrs(*args)


# ---------------------------------------------------------------------------
# Kind predicates


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class SetSub(set):
    pass


class DictSub(dict):
    pass


class Meta(type):
    pass


class WithMeta(metaclass=Meta):
    pass


class Plain:
    pass


class Slotted:
    __slots__ = ("a",)


class Subscriptable:
    def __getitem__(self, key):
        return key


Point = collections.namedtuple("Point", "x y")

KIND_CASES = [
    # (predicate, true for, false for)
    ("is_none", [None], [0, False, "", "None", Plain()]),
    ("is_bool", [True, False], [1, 0, None, IntSub(1)]),
    ("is_int", [0, 1, -(10**30), IntSub(3)], [True, False, 1.0, "1", None]),
    ("is_float", [1.5, float("nan"), FloatSub(2.0)], [1, "1.5", True, None]),
    ("is_str", ["", "x", StrSub("y")], [b"x", bytearray(b"x"), None, str]),
    ("is_bytes", [b"", b"x", BytesSub(b"y")], [bytearray(b"x"), memoryview(b"x"), "x"]),
    ("is_dict", [{}, collections.OrderedDict(), collections.defaultdict(int), DictSub()],
     [types.MappingProxyType({}), [], dict]),
    ("is_list", [[], ListSub()], [(), set(), "ab", list]),
    ("is_tuple", [(), (1,), TupleSub(), Point(1, 2)], [[], "ab", tuple]),
    ("is_set", [set(), {1}, SetSub()], [frozenset(), {}, [], set]),
    ("is_type", [int, type, Plain, WithMeta, Meta], [1, Plain(), None]),
    ("is_primitive", [None, True, 0, 1.5, FloatSub(1.0), IntSub(2), "", StrSub("s"), b"", BytesSub(b"b")],
     [1j, bytearray(), (), [], {}, set(), Plain(), int]),
    ("is_collection",
     [[], (), {}, set(), SetSub(), "abc", b"", bytearray(), range(3), memoryview(b"x"), Subscriptable(),
      DictSub(), Point(1, 2)],
     [frozenset(), iter([]), (x for x in ()), 1, None, Plain()]),
    ("is_object", [Plain(), Slotted(), collections.OrderedDict()],
     [int, type, Plain, WithMeta, object(), 1, "x", [], {}, None]),
]


@pytest.mark.parametrize(
    "name, value, expected",
    [(name, value, True) for name, yes, _ in KIND_CASES for value in yes]
    + [(name, value, False) for name, _, no in KIND_CASES for value in no],
)
def test_kind_predicates(name, value, expected):
    assert getattr(qu, name)(value) is expected


# Kinds come from the real type: a lying or raising __class__ changes nothing.
@pytest.mark.parametrize(
    "name, pretends",
    [("is_dict", dict), ("is_str", str), ("is_int", int), ("is_list", list), ("is_tuple", tuple),
     ("is_set", set), ("is_float", float), ("is_bytes", bytes), ("is_type", type), ("is_bool", bool),
     ("is_primitive", int), ("is_collection", list)],
)
def test_kind_predicates_ignore_class_attribute(name, pretends):
    impostor = class_claiming(pretends)
    assert isinstance(impostor, pretends)
    assert getattr(qu, name)(impostor) is False
    assert getattr(qu, name)(ClassRaises()) is False


class KeysAttribute:
    keys = None


class RaisingKeys(Subscriptable):
    def __init__(self, error):
        self.error = error

    @property
    def keys(self):
        raise self.error


class GetattrKeys(Subscriptable):
    def __getattr__(self, name):
        if name == "keys":
            return 0
        raise AttributeError(name)


@pytest.mark.parametrize(
    "value, expected",
    [({}, True), (DictSub(), True), (types.MappingProxyType({}), True), (GetattrKeys(), True),
     ([], False), ("abc", False), (Subscriptable(), False), (KeysAttribute(), False),
     (RaisingKeys(AttributeError("keys")), False), (1, False)],
)
def test_is_mapping(value, expected):
    assert qu.is_mapping(value) is expected


def test_is_mapping_propagates_other_errors():
    with pytest.raises(ValueError, match="keys"):
        qu.is_mapping(RaisingKeys(ValueError("keys")))


def test_frozen_dict_kinds():
    frozen = pytest.importorskip("quillet.frozen")
    value = frozen.FrozenDict({"a": 1})
    assert qu.is_collection(value) is True
    assert qu.is_mapping(value) is True
    assert qu.is_dict(value) is False


def test_path_predicates(tmp_path):
    missing = tmp_path / "missing"
    present = tmp_path / "present"
    present.write_text("x")
    assert [qu.is_path_type(v) for v in (pathlib.Path("."), present, pathlib.PurePath("."), "a/b", None)] == [
        True, True, False, False, False]
    assert [qu.path_exists(v) for v in (pathlib.Path("/"), present, missing, "/", str(present))] == [
        True, True, False, False, False]


class ExistsAnswer(type(pathlib.Path())):
    """A Path whose exists() answers with a chosen object, or raises it."""

    answer = None

    def exists(self, *args, **kwargs):
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize(
    "answer, outcome",
    [([1], True), ([], False), (0, False), (RaisingBool(), Boom), (PermissionError("denied"), PermissionError)],
)
def test_path_exists_takes_truth_of_exists(answer, outcome):
    path = ExistsAnswer("/")
    path.answer = answer
    if isinstance(outcome, bool):
        assert qu.path_exists(path) is outcome
    else:
        with pytest.raises(outcome):
            qu.path_exists(path)


@pytest.mark.parametrize("name", ["is_path_type", "path_exists"])
def test_path_predicates_propagate_isinstance_errors(name):
    with pytest.raises(Boom):
        getattr(qu, name)(ClassRaises())


class BadLen:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


class NonBoolBool:
    def __bool__(self):
        return 1


@pytest.mark.parametrize("value, truth", [([], False), ([0], True), (0, False), ("x", True), (None, False),
                                          (BadLen(0), False), (BadLen(3), True)])
def test_truthiness(value, truth):
    assert qu.is_truthy(value) is truth
    assert qu.is_falsy(value) is (not truth)


@pytest.mark.parametrize("value, error", [(RaisingBool(), Boom), (BadLen(-1), ValueError),
                                          (BadLen("x"), TypeError), (NonBoolBool(), TypeError)])
def test_truthiness_errors(value, error):
    with pytest.raises(error):
        qu.is_truthy(value)
    with pytest.raises(error):
        qu.is_falsy(value)


# ---------------------------------------------------------------------------
# Conditional logic


class Recorder:
    """A callable that records its calls and answers with a fixed value."""

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize(
    "args, expected",
    [((False, RaisingBool()), True), ((0, None), True), ((True, []), False), ((True, [0]), True),
     ((1, 0), False), ((True, True, "ignored"), True), (([], RaisingBool(), RaisingBool()), True)],
)
def test_implies(args, expected):
    assert qu.implies(*args) is expected


@pytest.mark.parametrize("args", [(RaisingBool(), True), (True, RaisingBool())])
def test_implies_errors(args):
    with pytest.raises(Boom):
        qu.implies(*args)


@pytest.mark.parametrize(
    "name, first, answer, expected, called",
    [("lazy_implies", False, 0, True, False),
     ("lazy_implies", True, 0, False, True),
     ("lazy_implies", True, [1], True, True),
     ("lazy_anti_implies", True, 1, False, False),
     ("lazy_anti_implies", False, 1, True, True),
     ("lazy_anti_implies", False, "", False, True)],
)
def test_lazy_implications(name, first, answer, expected, called):
    second = Recorder(answer)
    assert getattr(qu, name)(first, second, "ignored") is expected
    assert second.calls == ([()] if called else [])


@pytest.mark.parametrize(
    "name, first, second, error",
    [("lazy_implies", True, 42, TypeError),
     ("lazy_implies", True, Recorder(Boom("call")), Boom),
     ("lazy_implies", True, Recorder(RaisingBool()), Boom),
     ("lazy_implies", RaisingBool(), 42, Boom),
     ("lazy_anti_implies", False, 42, TypeError),
     ("lazy_anti_implies", False, Recorder(RaisingBool()), Boom),
     ("lazy_anti_implies", RaisingBool(), 42, Boom)],
)
def test_lazy_implication_errors(name, first, second, error):
    with pytest.raises(error):
        getattr(qu, name)(first, second)


def test_lazy_implications_skip_uncallable_second():
    assert qu.lazy_implies(False, 42) is True
    assert qu.lazy_anti_implies(True, 42) is False


class ConditionTuple(tuple):
    pass


@pytest.mark.parametrize(
    "answers, expected, calls",
    [((), True, []),
     ((1, True, "x"), True, [1, 1, 1]),
     ((1, 0, 1), False, [1, 1, 0]),
     ((None, 1), False, [1, 0]),
     ((1, Boom("c2"), 1), Boom, [1, 1, 0]),
     ((RaisingBool(), 1), Boom, [1, 0])],
)
def test_check_conditions(answers, expected, calls):
    conditions = ConditionTuple(Recorder(answer) for answer in answers)
    if expected is Boom:
        with pytest.raises(Boom):
            qu.check_conditions(conditions, "arg")
    else:
        assert qu.check_conditions(conditions, "arg") is expected
    assert [len(c.calls) for c in conditions] == calls
    assert all(c.calls == [("arg",)] for c, n in zip(conditions, calls) if n)


@pytest.mark.parametrize(
    "args, message",
    [(([bool], 1), "conditions must be a tuple"),
     ((None, 1), "conditions must be a tuple"),
     (((bool,), 1, 2), "check_conditions() takes exactly 2 arguments"),
     (([bool],), "check_conditions() takes exactly 2 arguments")],
)
def test_check_conditions_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        qu.check_conditions(*args)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Attribute probes

PROBES = [
    ("has_shutdown", "shutdown"),
    ("has_slots", "__slots__"),
    ("has_dict", "__dict__"),
    ("has_service_name", "service_name"),
    ("is_container", "__IS_CONTAINER__"),
    ("has_hook", "__HAS_HOOK__"),
]


def holder_with(name, value=()):
    return type("Holder", (), {name: value})


class Looked:
    """Answers every attribute through __getattr__ with the chosen behaviour."""

    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __getattr__(self, name):
        if isinstance(self.behaviour, BaseException):
            raise self.behaviour
        return self.behaviour


@pytest.mark.parametrize("probe, name", PROBES)
def test_fixed_name_probes_count_presence(probe, name):
    cls = holder_with(name)  # a false value must not matter
    assert getattr(qu, probe)(cls) is True
    assert getattr(qu, probe)(cls()) is True


@pytest.mark.parametrize("probe", [p for p, name in PROBES if name not in ("__dict__", "__slots__")])
@pytest.mark.parametrize(
    "make, expected",
    [(lambda: Looked(None), True), (lambda: Looked(AttributeError("x")), False), (lambda: Looked(Boom("x")), Boom),
     (Plain, False), (lambda: 1, False)],
)
def test_fixed_name_probes_lookup(probe, make, expected):
    value = make()
    if expected is Boom:
        with pytest.raises(Boom):
            getattr(qu, probe)(value)
    else:
        assert getattr(qu, probe)(value) is expected


class ShutdownProperty:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    @property
    def shutdown(self):
        if isinstance(self.behaviour, BaseException):
            raise self.behaviour
        return self.behaviour


@pytest.mark.parametrize("behaviour, expected", [(None, True), (AttributeError("x"), False), (ValueError("x"), ValueError)])
def test_has_shutdown_property(behaviour, expected):
    obj = ShutdownProperty(behaviour)
    if expected is ValueError:
        with pytest.raises(ValueError):
            qu.has_shutdown(obj)
    else:
        assert qu.has_shutdown(obj) is expected


@pytest.mark.parametrize(
    "value, has_dict, has_slots",
    [(1, False, False), (object(), False, False), (int, True, False), (Plain(), True, False),
     (Slotted(), False, True), (Slotted, True, True)],
)
def test_dict_and_slots(value, has_dict, has_slots):
    assert qu.has_dict(value) is has_dict
    assert qu.has_slots(value) is has_slots


class CountingLookups:
    """Records which attribute names are looked up through __getattr__."""

    def __init__(self, present):
        self.present = present
        self.looked = []

    def __getattr__(self, name):
        self.looked.append(name)
        if name in self.present:
            return None
        raise AttributeError(name)


@pytest.mark.parametrize(
    "present, expected, looked",
    [((), False, ["__RESOURCE__"]),
     (("shutdown",), False, ["__RESOURCE__"]),
     (("__RESOURCE__",), False, ["__RESOURCE__", "shutdown"]),
     (("__RESOURCE__", "shutdown"), True, ["__RESOURCE__", "shutdown"])],
)
def test_is_resource(present, expected, looked):
    obj = CountingLookups(present)
    assert qu.is_resource(obj) is expected
    assert obj.looked == looked


@pytest.mark.parametrize(
    "present, names, expected, looked",
    [(("a",), ("a",), True, ["a"]),
     ((), ("a",), False, ["a"]),
     (("a", "b"), ("a", "b"), True, ["a", "b"]),
     (("b",), ("a", "b"), False, ["a"]),
     (("a",), ("a", "missing", "c"), False, ["a", "missing"])],
)
def test_has_attrs(present, names, expected, looked):
    obj = CountingLookups(present)
    assert qu.has_attrs(obj, *names) is expected
    assert obj.looked == looked


@pytest.mark.parametrize("args, error", [((Plain(),), TypeError), ((), TypeError), ((Plain(), 5), TypeError),
                                         ((Plain(), "missing", 5), None), ((Boom("x"), "a"), Boom)])
def test_has_attrs_errors(args, error):
    if args and isinstance(args[0], Boom):
        args = (Looked(args[0]),) + args[1:]
    if error is None:
        assert qu.has_attrs(*args) is False
    else:
        with pytest.raises(error):
            qu.has_attrs(*args)
