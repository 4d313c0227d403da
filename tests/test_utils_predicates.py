"""quillet.utils: the function table, type predicates, conditional logic and attribute probes."""

import collections
import pathlib
import types

import pytest

import quillet.utils as qu
from hostile import Boom, ClassRaises, RaisingBool, class_claiming
from quillet.utils import utils as native

# Module functions in table order with their calling style: O one object,
# F fast positional (the function's own message for no arguments), T argument tuple.
_TABLE = [
    "has_attrs",
    "F",
    "has_attr",
    "F",
    "check_conditions",
    "F",
    "lazy_implies",
    "F",
    "lazy_anti_implies",
    "F",
    "implies",
    "F",
    "get_cache_key",
    "F",
    "two_obj_hash",
    "F",
    "none_to_null",
    "O",
    "null_to_none",
    "O",
    "filter_out_nones",
    "O",
    "xor_hash",
    "T",
    "alt_two_obj_hash",
    "T",
    "alt_xor_hash",
    "T",
    "is_truthy",
    "O",
    "is_falsy",
    "O",
    "is_int",
    "O",
    "is_bool",
    "O",
    "is_float",
    "O",
    "is_none",
    "O",
    "is_tuple",
    "O",
    "is_list",
    "O",
    "is_dict",
    "O",
    "is_bytes",
    "O",
    "is_str",
    "O",
    "is_mapping",
    "O",
    "is_object",
    "O",
    "is_set",
    "O",
    "is_type",
    "O",
    "is_primitive",
    "O",
    "is_collection",
    "O",
    "is_path_type",
    "O",
    "path_exists",
    "O",
    "has_nested_dicts",
    "O",
    "has_hook",
    "O",
    "is_container",
    "O",
    "is_resource",
    "O",
    "has_service_name",
    "O",
    "has_dict",
    "O",
    "has_slots",
    "O",
    "has_shutdown",
    "O",
]
FUNCTION_TABLE = list(zip(_TABLE[::2], _TABLE[1::2], strict=True))

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


def test_module_functions_in_table_order():
    functions = [name for name, value in vars(native).items() if isinstance(value, types.BuiltinFunctionType)]
    assert functions == [name for name, _ in FUNCTION_TABLE] and len(functions) == 41
    assert all(getattr(qu, name) is getattr(native, name) and getattr(qu, name).__doc__ is None for name in functions)


@pytest.mark.parametrize("name, style", FUNCTION_TABLE)
def test_calling_style(name, style):
    function = getattr(qu, name)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        function(1, 2, 3, x=1)
    if style == "O":
        for args in ((), (1, 2)):
            with pytest.raises(TypeError, match=rf"\b{name}\(\) takes exactly one argument \({len(args)} given\)$"):
                function(*args)
    elif style == "F":
        with pytest.raises(TypeError) as info:
            function()
        assert str(info.value) == FAST_MESSAGES[name]
    else:
        with pytest.raises(TypeError, match=r"takes exactly 3 arguments \(0 given\)"):
            function()


# ---------------------------------------------------------------------------
# Kind predicates

IntSub, FloatSub, StrSub, BytesSub = (type("Sub", (base,), {}) for base in (int, float, str, bytes))
ListSub, TupleSub, SetSub, DictSub = (type("Sub", (base,), {}) for base in (list, tuple, set, dict))
Meta = type("Meta", (type,), {})
WithMeta = Meta("WithMeta", (), {})
Point = collections.namedtuple("Point", "x y")


class Plain:
    pass


class Slotted:
    __slots__ = ("a",)


class Subscriptable:
    def __getitem__(self, key):
        return key


KIND_CASES = [
    # (predicate, true for, false for)
    ("is_none", [None], [0, False, "", "None", Plain()]),
    ("is_bool", [True, False], [1, 0, None, IntSub(1)]),
    ("is_int", [0, 1, -(10**30), IntSub(3)], [True, False, 1.0, "1", None]),
    ("is_float", [1.5, float("nan"), FloatSub(2.0)], [1, "1.5", True, None]),
    ("is_str", ["", "x", StrSub("y")], [b"x", bytearray(b"x"), None, str]),
    ("is_bytes", [b"", b"x", BytesSub(b"y")], [bytearray(b"x"), memoryview(b"x"), "x"]),
    (
        "is_dict",
        [{}, collections.OrderedDict(), collections.defaultdict(int), DictSub()],
        [types.MappingProxyType({}), [], dict],
    ),
    ("is_list", [[], ListSub()], [(), set(), "ab", list]),
    ("is_tuple", [(), (1,), TupleSub(), Point(1, 2)], [[], "ab", tuple]),
    ("is_set", [set(), {1}, SetSub()], [frozenset(), {}, [], set]),
    ("is_type", [int, type, Plain, WithMeta, Meta], [1, Plain(), None]),
    (
        "is_primitive",
        [None, True, 0, 1.5, FloatSub(1.0), IntSub(2), "", StrSub("s"), b"", BytesSub(b"b")],
        [1j, bytearray(), (), [], {}, set(), Plain(), int],
    ),
    (
        "is_collection",
        [
            [],
            (),
            {},
            set(),
            SetSub(),
            "abc",
            b"",
            bytearray(),
            range(3),
            memoryview(b"x"),
            Subscriptable(),
            DictSub(),
            Point(1, 2),
        ],
        [frozenset(), iter([]), (x for x in ()), 1, None, Plain()],
    ),
    (
        "is_object",
        [Plain(), Slotted(), collections.OrderedDict()],
        [int, type, Plain, WithMeta, object(), 1, "x", [], {}, None],
    ),
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
    [
        ("is_dict", dict),
        ("is_str", str),
        ("is_int", int),
        ("is_list", list),
        ("is_tuple", tuple),
        ("is_set", set),
        ("is_float", float),
        ("is_bytes", bytes),
        ("is_type", type),
        ("is_bool", bool),
        ("is_primitive", int),
        ("is_collection", list),
    ],
)
def test_kind_predicates_ignore_class_attribute(name, pretends):
    impostor = class_claiming(pretends)
    assert isinstance(impostor, pretends)
    assert getattr(qu, name)(impostor) is False
    assert getattr(qu, name)(ClassRaises()) is False


class Looked(Subscriptable):
    """Subscriptable; answers every missing attribute with `behaviour`, or raises it."""

    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __getattr__(self, name):
        if isinstance(self.behaviour, BaseException):
            raise self.behaviour
        return self.behaviour


@pytest.mark.parametrize(
    "make, expected",
    [
        (dict, True),
        (DictSub, True),
        (lambda: types.MappingProxyType({}), True),
        (lambda: Looked(0), True),
        (list, False),
        (lambda: "abc", False),
        (Subscriptable, False),
        (lambda: type("K", (), {"keys": 1})(), False),
        (lambda: Looked(AttributeError("keys")), False),
        (lambda: Looked(ValueError("keys")), ValueError),
    ],
)
def test_is_mapping(make, expected):
    if expected is ValueError:
        with pytest.raises(ValueError, match="keys"):
            qu.is_mapping(make())
    else:
        assert qu.is_mapping(make()) is expected


def test_frozen_dict_kinds():
    frozen = pytest.importorskip("quillet.frozen")
    value = frozen.FrozenDict({"a": 1})
    assert (qu.is_collection(value), qu.is_mapping(value), qu.is_dict(value)) == (True, True, False)


def test_path_predicates(tmp_path):
    present = tmp_path / "present"
    present.write_text("x")
    values = [pathlib.Path("/"), present, tmp_path / "missing", pathlib.PurePath("/"), "/", str(present)]
    assert [qu.is_path_type(v) for v in values] == [True, True, True, False, False, False]
    assert [qu.path_exists(v) for v in values] == [True, True, False, False, False, False]


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


class Len:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


@pytest.mark.parametrize(
    "value, truth",
    [
        ([], False),
        ([0], True),
        (0, False),
        ("x", True),
        (None, False),
        (Len(0), False),
        (Len(3), True),
        (RaisingBool(), Boom),
        (Len(-1), ValueError),
        (Len("x"), TypeError),
        (type("NonBool", (), {"__bool__": lambda self: 1})(), TypeError),
    ],
)
def test_truthiness(value, truth):
    if isinstance(truth, bool):
        assert (qu.is_truthy(value), qu.is_falsy(value)) == (truth, not truth)
        return
    for function in (qu.is_truthy, qu.is_falsy):
        with pytest.raises(truth):
            function(value)


# ---------------------------------------------------------------------------
# Conditional logic


class Recorder:
    """A callable that records its calls and answers with a fixed value, or raises it."""

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
    [
        ((False, RaisingBool()), True),
        ((0, None), True),
        ((True, []), False),
        ((True, [0]), True),
        ((1, 0), False),
        ((True, True, "ignored"), True),
        (([], RaisingBool(), RaisingBool()), True),
        ((RaisingBool(), True), Boom),
        ((True, RaisingBool()), Boom),
    ],
)
def test_implies(args, expected):
    if expected is Boom:
        with pytest.raises(Boom):
            qu.implies(*args)
    else:
        assert qu.implies(*args) is expected


@pytest.mark.parametrize(
    "name, first, answer, expected, called",
    [
        ("lazy_implies", False, 0, True, False),
        ("lazy_implies", True, 0, False, True),
        ("lazy_implies", True, [1], True, True),
        ("lazy_implies", True, Boom("call"), Boom, True),
        ("lazy_implies", True, RaisingBool(), Boom, True),
        ("lazy_implies", RaisingBool(), 1, Boom, False),
        ("lazy_anti_implies", True, 1, False, False),
        ("lazy_anti_implies", False, 1, True, True),
        ("lazy_anti_implies", False, "", False, True),
        ("lazy_anti_implies", False, RaisingBool(), Boom, True),
        ("lazy_anti_implies", RaisingBool(), 1, Boom, False),
    ],
)
def test_lazy_implications(name, first, answer, expected, called):
    second = Recorder(answer)
    if expected is Boom:
        with pytest.raises(Boom):
            getattr(qu, name)(first, second)
    else:
        assert getattr(qu, name)(first, second, "ignored") is expected
    assert second.calls == ([()] if called else [])


def test_lazy_implications_call_second_only_when_needed():
    assert (qu.lazy_implies(False, 42), qu.lazy_anti_implies(True, 42)) == (True, False)
    for function, first in ((qu.lazy_implies, True), (qu.lazy_anti_implies, False)):
        with pytest.raises(TypeError, match="not callable"):
            function(first, 42)


@pytest.mark.parametrize(
    "answers, expected, calls",
    [
        ((), True, []),
        ((1, True, "x"), True, [1, 1, 1]),
        ((1, 0, 1), False, [1, 1, 0]),
        ((None, 1), False, [1, 0]),
        ((1, Boom("c2"), 1), Boom, [1, 1, 0]),
        ((RaisingBool(), 1), Boom, [1, 0]),
    ],
)
def test_check_conditions(answers, expected, calls):
    conditions = TupleSub(Recorder(answer) for answer in answers)
    if expected is Boom:
        with pytest.raises(Boom):
            qu.check_conditions(conditions, "arg")
    else:
        assert qu.check_conditions(conditions, "arg") is expected
    assert [c.calls for c in conditions] == [[("arg",)] * n for n in calls]


@pytest.mark.parametrize(
    "args, message",
    [
        (([bool], 1), "conditions must be a tuple"),
        ((None, 1), "conditions must be a tuple"),
        (((bool,), 1, 2), "check_conditions() takes exactly 2 arguments"),
        (([bool],), "check_conditions() takes exactly 2 arguments"),
    ],
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


@pytest.mark.parametrize("probe, name", PROBES)
def test_fixed_name_probes_count_presence(probe, name):
    cls = type("Holder", (), {name: ()})  # a false value must not matter
    assert (getattr(qu, probe)(cls), getattr(qu, probe)(cls())) == (True, True)


@pytest.mark.parametrize("probe", [p for p, name in PROBES if name not in ("__dict__", "__slots__")])
@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: Looked(None), True),
        (lambda: Looked(AttributeError("x")), False),
        (lambda: Looked(Boom("x")), Boom),
        (Plain, False),
        (lambda: 1, False),
    ],
)
def test_fixed_name_probes_lookup(probe, make, expected):
    if expected is Boom:
        with pytest.raises(Boom):
            getattr(qu, probe)(make())
    else:
        assert getattr(qu, probe)(make()) is expected


@pytest.mark.parametrize(
    "value, has_dict, has_slots",
    [
        (1, False, False),
        (object(), False, False),
        (int, True, False),
        (Plain(), True, False),
        (Slotted(), False, True),
        (Slotted, True, True),
    ],
)
def test_dict_and_slots(value, has_dict, has_slots):
    assert (qu.has_dict(value), qu.has_slots(value)) == (has_dict, has_slots)


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
    [
        ((), False, ["__RESOURCE__"]),
        (("shutdown",), False, ["__RESOURCE__"]),
        (("__RESOURCE__",), False, ["__RESOURCE__", "shutdown"]),
        (("__RESOURCE__", "shutdown"), True, ["__RESOURCE__", "shutdown"]),
    ],
)
def test_is_resource(present, expected, looked):
    obj = CountingLookups(present)
    assert qu.is_resource(obj) is expected
    assert obj.looked == looked


@pytest.mark.parametrize("function", [qu.has_attrs, qu.has_attr])
@pytest.mark.parametrize(
    "present, names, expected, looked",
    [
        (("a",), ("a",), True, ["a"]),
        ((), ("a",), False, ["a"]),
        (("a", "b"), ("a", "b"), True, ["a", "b"]),
        (("b",), ("a", "b"), False, ["a"]),
        (("a",), ("a", "missing", 5), False, ["a", "missing"]),
        (("a",), ("a", 5), TypeError, ["a"]),
        ((), (5,), TypeError, []),
    ],
)
def test_has_attrs(function, present, names, expected, looked):
    obj = CountingLookups(present)
    if expected is TypeError:
        with pytest.raises(TypeError, match="attribute name must be string"):
            function(obj, *names)
    else:
        assert function(obj, *names) is expected
    assert obj.looked == looked


@pytest.mark.parametrize("function", [qu.has_attrs, qu.has_attr])
def test_has_attrs_errors(function):
    with pytest.raises(TypeError, match=r"^has_attrs\(\) requires an object and at least one attr name$"):
        function(Plain())
    with pytest.raises(Boom):
        function(Looked(Boom("x")), "a", "b")
