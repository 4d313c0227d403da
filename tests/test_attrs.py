"""quillet.utils.attrs: structural attribute checks and their (type, shape) cache."""

import gc
import importlib
import sys
import weakref

import pytest

from hostile import Boom, RaisingHash
from quillet.utils import attrs
from quillet.utils.attrs import attr_check, cache_clear, cache_size, type_attr_check

CAPACITY = 64


@pytest.fixture(autouse=True)
def empty_cache():
    cache_clear()
    yield
    cache_clear()


def shape(*names):
    """A fresh tuple object (never a shared code constant)."""
    items = list(names)  # tuple() of a tuple would hand back the same object
    return tuple(items)


class Plain:
    cls_attr = 1

    def __init__(self):
        self.inst = 2


class Child(Plain):
    pass


class WithProperty:
    @property
    def good(self):
        return 1

    @property
    def attr_error(self):
        raise AttributeError("computed away")

    @property
    def value_error(self):
        raise ValueError("broken getter")


class Dynamic:
    def __getattr__(self, name):
        if name.startswith("dyn_"):
            return name
        raise AttributeError(name)


class Exploding:
    def __getattr__(self, name):
        raise Boom(name)


class Slotted:
    __slots__ = ("set_slot", "unset_slot")

    def __init__(self):
        self.set_slot = 1


class Meta(type):
    meta_attr = 1


class WithMeta(metaclass=Meta):
    own = 1


class NameStr(str):
    pass


class ShapeTuple(tuple):
    pass


# ---------------------------------------------------------------------------
# Module surface and argument checking


def test_module_surface():
    assert attrs.__doc__ == "quillet.utils.attrs \u2014 structural attr check with a (type, shape) cache."
    for function in (attr_check, type_attr_check, cache_clear, cache_size):
        assert function.__doc__ is None
    assert [name for name in dir(attrs) if not name.startswith("__")] == [
        "attr_check",
        "cache_clear",
        "cache_size",
        "type_attr_check",
    ]


@pytest.mark.parametrize(
    "function, args, message",
    [
        (attr_check, (), "attr_check() requires (obj, shape_tuple)"),
        (attr_check, (Plain(),), "attr_check() requires (obj, shape_tuple)"),
        (attr_check, (Plain(), ("a",), 1), "attr_check() requires (obj, shape_tuple)"),
        (attr_check, (Plain(), ["a"]), "attr_check() shape must be a tuple"),
        (attr_check, (Plain(), "a"), "attr_check() shape must be a tuple"),
        (attr_check, (Plain(), None), "attr_check() shape must be a tuple"),
        (type_attr_check, (Plain,), "type_attr_check() requires (type, shape_tuple)"),
        (type_attr_check, (Plain, (), ()), "type_attr_check() requires (type, shape_tuple)"),
        (type_attr_check, (1, []), "type_attr_check() first arg must be a type"),
        (type_attr_check, (Plain(), ()), "type_attr_check() first arg must be a type"),
        (type_attr_check, (Plain, ["a"]), "type_attr_check() shape must be a tuple"),
    ],
)
def test_argument_errors(function, args, message):
    with pytest.raises(TypeError) as info:
        function(*args)
    assert str(info.value) == message
    assert cache_size() == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda: attr_check(Plain(), shape=()),
        lambda: type_attr_check(Plain, shape=()),
        lambda: cache_clear(1),
        lambda: cache_size(1),
    ],
)
def test_keywords_and_extra_arguments_are_refused(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------------------
# Answers


@pytest.mark.parametrize(
    "make, names, expected",
    [
        (Plain, (), True),
        (Plain, ("inst", "cls_attr"), True),
        (Plain, ("inst", "nope"), False),
        (Child, ("inst", "cls_attr", "__init__"), True),
        (WithProperty, ("good",), True),
        (WithProperty, ("good", "attr_error"), False),
        (Dynamic, ("dyn_a", "dyn_b"), True),
        (Dynamic, ("dyn_a", "other"), False),
        (Slotted, ("set_slot",), True),
        (Slotted, ("unset_slot",), False),
        (Plain, ("missing", 5), False),  # stops before the non-string
        (Plain, (NameStr("inst"),), True),
        (lambda: 3, ("real", "bit_length"), True),
        (lambda: Plain, ("cls_attr", "mro"), True),  # a class object: probed as itself
    ],
)
def test_attr_check_answers_and_caches(make, names, expected):
    obj = make()
    s = shape(*names)
    assert attr_check(obj, s) is expected
    assert cache_size() == 1
    assert attr_check(obj, s) is expected
    assert cache_size() == 1


@pytest.mark.parametrize(
    "cls, names, expected",
    [
        (Plain, ("cls_attr", "__init__"), True),
        (Plain, ("inst",), False),  # instance attributes are not on the type
        (Child, ("cls_attr",), True),
        (WithMeta, ("own", "meta_attr"), True),
        (WithProperty, ("good", "attr_error", "value_error"), True),  # the descriptors themselves
        (int, ("from_bytes",), True),
        (Meta, ("meta_attr", "mro"), True),
    ],
)
def test_type_attr_check_probes_the_type(cls, names, expected):
    assert type_attr_check(cls, shape(*names)) is expected
    assert cache_size() == 1


def test_shape_may_be_a_tuple_subclass():
    s = ShapeTuple(["inst"])
    assert attr_check(Plain(), s) is True
    assert type_attr_check(Child, s) is False
    assert cache_size() == 2


@pytest.mark.parametrize(
    "make, names, error",
    [
        (Plain, (5,), TypeError),
        (Plain, ("inst", RaisingHash()), TypeError),
        (WithProperty, ("good", "value_error"), ValueError),
        (Exploding, ("anything",), Boom),
    ],
)
def test_failing_probe_raises_and_caches_nothing(make, names, error):
    obj = make()
    s = shape(*names)
    before = sys.getrefcount(s)
    for _ in range(2):
        with pytest.raises(error):
            attr_check(obj, s)
        assert cache_size() == 0
    assert sys.getrefcount(s) == before


def test_names_are_probed_in_order_and_stop_at_the_first_missing():
    looked_up = []

    class Recorder:
        def __getattr__(self, name):
            looked_up.append(name)
            if name == "gone":
                raise AttributeError(name)
            return 1

    assert attr_check(Recorder(), shape("a", "gone", "b")) is False
    assert looked_up == ["a", "gone"]


# ---------------------------------------------------------------------------
# Cache rules


def test_hit_performs_no_lookup():
    calls = []

    class Counted:
        @property
        def x(self):
            calls.append(1)
            return 1

    s = shape("x")
    assert attr_check(Counted(), s) is True
    assert attr_check(Counted(), s) is True
    assert type_attr_check(Counted, s) is True
    assert calls == [1]


def test_answer_is_filed_under_the_type():
    class C:
        pass

    s = shape("x")
    c1 = C()
    c1.x = 1
    assert attr_check(c1, s) is True
    assert attr_check(C(), s) is True  # cached under C, not re-validated
    assert type_attr_check(C, s) is True
    assert cache_size() == 1
    cache_clear()
    assert attr_check(C(), s) is False


def test_both_functions_share_one_key_space():
    class C:
        pass

    s = shape("late")
    assert type_attr_check(C, s) is False
    C.late = 1
    assert attr_check(C(), s) is False  # the stored answer, though C now has it
    cache_clear()
    assert attr_check(C(), s) is True


HasInst = type("HasInst", (), {"inst": 1})


# A class object's own answer is kept apart from its instances' (which
# type_attr_check shares) and from every other class's.
@pytest.mark.parametrize(
    "calls, answers, entries",
    [
        ([(attr_check, HasInst), (attr_check, Plain)], [True, False], 2),
        ([(attr_check, Plain), (attr_check, HasInst)], [False, True], 2),
        ([(attr_check, Plain()), (attr_check, Plain)], [True, False], 2),
        ([(attr_check, Plain), (attr_check, Plain())], [False, True], 2),
        ([(attr_check, Plain), (type_attr_check, Plain), (attr_check, Plain())], [False, False, False], 2),
    ],
)
def test_a_class_answers_for_itself(calls, answers, entries):
    s = shape("inst")
    assert [check(target, s) for check, target in calls] == answers
    assert cache_size() == entries


@pytest.mark.parametrize("same_object, entries", [(True, 1), (False, 2)])
def test_shapes_are_keys_by_identity(same_object, entries):
    first = shape("inst")
    second = first if same_object else shape("inst")
    assert first == second
    attr_check(Plain(), first)
    attr_check(Plain(), second)
    assert cache_size() == entries


@pytest.mark.parametrize("check", ["attr_check", "type_attr_check"])
def test_full_cache_answers_without_storing(check):
    shapes = [shape("inst", str(i)) for i in range(CAPACITY)]
    for s in shapes:
        attr_check(Plain(), s)
    assert cache_size() == CAPACITY

    class Toggled:
        pass

    extra = shape("flag")
    before = sys.getrefcount(extra)
    for present in (False, True, False, True):
        if present:
            Toggled.flag = 1
        elif hasattr(Toggled, "flag"):
            del Toggled.flag
        if check == "attr_check":
            assert attr_check(Toggled(), extra) is present
        else:
            assert type_attr_check(Toggled, extra) is present
        assert cache_size() == CAPACITY
    assert sys.getrefcount(extra) == before  # nothing stored, nothing held
    cache_clear()
    assert cache_size() == 0
    assert attr_check(Toggled(), extra) is True
    assert cache_size() == 1


def test_cache_survives_a_fresh_import_of_the_module():
    attr_check(Plain(), shape("inst"))
    del sys.modules["quillet.utils.attrs"]
    try:
        fresh = importlib.import_module("quillet.utils.attrs")
        assert fresh.cache_size() == 1
    finally:
        sys.modules["quillet.utils.attrs"] = attrs


# ---------------------------------------------------------------------------
# References held by stored entries


def test_temporary_shapes_never_share_an_answer():
    obj = Plain()
    for round_ in range(3 * CAPACITY):
        assert attr_check(obj, shape("inst")) is True, round_
        assert attr_check(obj, shape("nope")) is False, round_
        assert attr_check(obj, shape("inst", "cls_attr")) is True, round_
        assert attr_check(obj, shape("inst", "nope")) is False, round_
        if round_ % 40 == 39:
            cache_clear()


def test_temporary_types_never_share_an_answer():
    s = shape("x")

    def instance(has_x):
        class Temporary:
            pass

        if has_x:
            Temporary.x = 1
        return Temporary()

    for round_ in range(2 * CAPACITY):
        expected = round_ % 2 == 0
        assert attr_check(instance(expected), s) is expected, round_
        gc.collect()
        if round_ % 50 == 49:
            cache_clear()


def test_stored_entry_owns_its_shape_and_type():
    class Owned:
        pass

    s = shape("anything")
    base = sys.getrefcount(s)
    assert attr_check(Owned(), s) is False
    assert sys.getrefcount(s) == base + 1
    for _ in range(3):
        attr_check(Owned(), s)  # hits take no references
    assert sys.getrefcount(s) == base + 1

    ref = weakref.ref(Owned)
    del Owned
    gc.collect()
    assert ref() is not None
    cache_clear()
    gc.collect()
    assert ref() is None
    assert sys.getrefcount(s) == base


# ---------------------------------------------------------------------------
# Re-entrancy: probes run Python code that uses the cache


def reentrant_class(getter):
    class Reentrant:
        hook = property(getter)

    return Reentrant


def test_getter_clearing_the_cache():
    others = [shape("inst", str(i)) for i in range(10)]
    for other in others:
        attr_check(Plain(), other)
    del other
    bases = [sys.getrefcount(other) - 1 for other in others]
    cls = reentrant_class(lambda self: cache_clear())
    s = shape("hook")
    base = sys.getrefcount(s)

    assert attr_check(cls(), s) is True
    assert cache_size() == 1
    assert sys.getrefcount(s) == base + 1
    assert [sys.getrefcount(other) for other in others] == bases
    assert attr_check(cls(), s) is True  # now a hit: the getter does not run


def test_getter_checking_the_same_pair_again():
    depth = []

    def getter(self):
        depth.append(1)
        if len(depth) == 1:
            assert attr_check(self, s) is True
        return 1

    cls = reentrant_class(getter)
    s = shape("hook")
    base = sys.getrefcount(s)
    assert attr_check(cls(), s) is True
    assert depth == [1, 1]
    assert cache_size() == 1
    assert sys.getrefcount(s) == base + 1  # one entry, one reference


def test_getter_filling_the_cache():
    fillers = [shape("inst", str(i)) for i in range(CAPACITY)]

    def getter(self):
        for f in fillers:
            attr_check(Plain(), f)
        return 1

    cls = reentrant_class(getter)
    s = shape("hook")
    base = sys.getrefcount(s)
    assert attr_check(cls(), s) is True
    assert cache_size() == CAPACITY
    assert sys.getrefcount(s) == base  # not stored: the cache was full


def test_getter_freeing_the_type_being_checked():
    class Other:
        pass

    def instance():
        class Vanishing:
            @property
            def hook(self):
                self.__class__ = Other
                gc.collect()  # nothing else holds Vanishing now
                return 1

        return Vanishing(), weakref.ref(Vanishing)

    obj, ref = instance()
    assert attr_check(obj, shape("hook")) is True
    assert ref() is not None  # kept by the entry filed under it
    assert cache_size() == 1
    cache_clear()
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("action, left", [("store", 1), ("store_then_clear", 0), ("clear", 0)])
def test_release_during_clear_runs_code_that_uses_the_cache(action, left):
    later = shape("inst")

    class Finaliser:
        def __del__(self):
            if action.startswith("store"):
                attr_check(Plain(), later)
            if action.endswith("clear"):
                cache_clear()

    doomed = shape("missing", Finaliser())
    assert attr_check(Plain(), doomed) is False
    for i in range(5):
        attr_check(Plain(), shape("inst", str(i)))
    del doomed  # the cache holds the last reference now
    cache_clear()
    assert cache_size() == left
    assert attr_check(Plain(), later) is True
