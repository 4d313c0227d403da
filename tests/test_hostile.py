"""Hostile input across the whole package.

Every entry point meets every hostile object: raising __hash__, __eq__,
__bool__, __len__, __iter__, __class__ and __getattr__; container and str
subclasses that override everything; astral and U+0000 text; huge integers;
and instances of every type made by T.__new__(T) alone. Each case names its
outcome, a value or an exception. Then containers mutated while they are
processed, deep nesting and cycles, and every operation on uninitialised
instances.
"""

import copy
import ctypes
import functools
import gc
import pickle
import weakref

import pytest

import quillet.frozen as qf
import quillet.utils as qu
from hostile import (
    PREDICATES,
    ArmedKey,
    Boom,
    ClassRaises,
    HashingAs,
    HostileStr,
    HostileTuple,
    RaisingBool,
    RaisingEq,
    RaisingGetattr,
    RaisingGetattribute,
    RaisingHash,
    RaisingIter,
    RaisingLen,
    Witness,
    collected,
    hostile_dict,
    hostile_list,
    hostile_set,
    run_with_small_stack,
)
from quillet.text_walker import TextWalker
from quillet.utils import attrs

FrozenDict, NullFrozenDict, NULL, freeze = qf.FrozenDict, qf.NullFrozenDict, qf.NULL_FROZEN_DICT, qf.freeze
HashableValues, CacheKey, BasicHashable = qu.HashableValues, qu.CacheKey, qu.BasicHashable


@pytest.fixture(autouse=True)
def empty_attrs_cache():
    # Shapes built per call would otherwise stay pinned by the cache.
    yield
    attrs.cache_clear()


def uninitialised(cls):
    return cls.__new__(cls)


HOSTILE = {
    "raising_hash": RaisingHash,
    "raising_eq": RaisingEq,
    "raising_bool": RaisingBool,
    "raising_len": RaisingLen,
    "raising_iter": RaisingIter,
    "raising_class": ClassRaises,
    "raising_getattr": RaisingGetattr,
    "raising_getattribute": RaisingGetattribute,
    "dict_sub": lambda: hostile_dict({"k": None, "n": "null", "d": {}}),
    "list_sub": lambda: hostile_list([None, {}]),
    "tuple_sub": lambda: HostileTuple((bool, str)),
    "set_sub": lambda: hostile_set({1, 2}),
    "str_sub": lambda: HostileStr("null"),
    "astral_nul": lambda: "\U0001f600\x00",
    "huge_int": lambda: 2**100,
    "huge_negative": lambda: -(2**100),
    "new_frozen_dict": lambda: uninitialised(FrozenDict),
    "new_null_frozen_dict": lambda: uninitialised(NullFrozenDict),
    "new_values": lambda: uninitialised(HashableValues),
    "new_cache_key": lambda: uninitialised(CacheKey),
    "new_basic": lambda: uninitialised(BasicHashable),
    "new_walker": lambda: uninitialised(TextWalker),
    "null_frozen_dict": lambda: NULL,
}


class From:
    """An expected result computed from the hostile object by a model."""

    def __init__(self, model):
        self.model = model


SAME = object()  # the result is the hostile object itself


def check(call, h, expected):
    """Runs call(h) and compares with the expected outcome. Only type() is
    asked of results: isinstance() would consult a hostile __class__."""
    try:
        result, error = call(h), None
    except BaseException as exc:  # compared below
        result, error = None, exc
    if type(expected) is type and issubclass(expected, BaseException):
        assert error is not None, f"expected {expected.__name__}, got {result!r}"
        assert issubclass(type(error), expected), f"expected {expected.__name__}, got {error!r}"
        return
    if error is not None:
        raise error
    if expected is SAME:
        assert result is h
        return
    if type(expected) is From:
        expected = expected.model(h)
    assert type(result) is type(expected) and result == expected, f"{result!r} != {expected!r}"


# --- the predicates of quillet.utils: which answer True, which raise; all others give False ---------

MARKERS = dict.fromkeys(
    ("has_hook", "is_container", "is_resource", "has_service_name", "has_slots", "has_shutdown"), Boom
)
TRUTH = {"is_truthy": Boom, "is_falsy": Boom}
INSTANCE = {"is_object", "is_truthy", "has_dict"}  # a plain instance of a class defined in Python

PREDICATE_ANSWERS = {
    "raising_hash": (INSTANCE, {}),
    "raising_eq": (INSTANCE, {}),
    "raising_bool": ({"is_object", "has_dict"}, TRUTH),
    "raising_len": ({"is_object", "has_dict"}, TRUTH),
    "raising_iter": (INSTANCE, {}),
    # isinstance() asks __class__; the kind predicates and the probes do not.
    "raising_class": (INSTANCE, {"is_path_type": Boom, "path_exists": Boom}),
    "raising_getattr": (INSTANCE, MARKERS),
    "raising_getattribute": (
        {"is_object", "is_truthy"},
        {**MARKERS, "has_dict": Boom, "is_path_type": Boom, "path_exists": Boom},
    ),
    # The dict's own storage is searched; its overridden methods are never called.
    "dict_sub": ({"is_dict", "is_collection", "is_mapping", "is_object", "has_nested_dicts", "has_dict"}, TRUTH),
    "list_sub": ({"is_list", "is_collection", "is_object", "has_dict"}, {**TRUTH, "has_nested_dicts": Boom}),
    "tuple_sub": ({"is_tuple", "is_collection", "is_object", "has_dict"}, {**TRUTH, "has_nested_dicts": Boom}),
    "set_sub": ({"is_set", "is_collection", "is_object", "has_dict"}, TRUTH),
    "str_sub": ({"is_str", "is_primitive", "is_collection", "is_object", "has_dict"}, TRUTH),
    "astral_nul": ({"is_str", "is_primitive", "is_collection", "is_truthy"}, {}),
    "huge_int": ({"is_int", "is_primitive", "is_truthy"}, {}),
    "huge_negative": ({"is_int", "is_primitive", "is_truthy"}, {}),
    "new_frozen_dict": ({"is_collection", "is_mapping", "is_falsy"}, {}),
    "new_null_frozen_dict": ({"is_collection", "is_mapping", "is_falsy"}, {}),
    "new_values": ({"is_falsy"}, {}),
    "new_cache_key": ({"is_truthy"}, {}),
    "new_basic": ({"is_truthy"}, {}),
    "new_walker": ({"is_truthy"}, {}),
    "null_frozen_dict": ({"is_collection", "is_mapping", "is_falsy"}, {}),
}


@pytest.mark.parametrize("name", PREDICATES)
@pytest.mark.parametrize("hostile", HOSTILE)
def test_predicates_meet_hostile_objects(hostile, name):
    true, raising = PREDICATE_ANSWERS[hostile]
    check(getattr(qu, name), HOSTILE[hostile](), raising.get(name, name in true))


# --- every other entry point, with the hostile object in each argument position ----------------------

# The outcome for hostile objects that cannot be hashed or compared.
HASH_FAILS = {
    "raising_hash": Boom,
    "dict_sub": Boom,
    "list_sub": Boom,
    "tuple_sub": Boom,
    "set_sub": Boom,
    "str_sub": Boom,
    "new_frozen_dict": TypeError,
    "new_values": TypeError,
    "new_cache_key": TypeError,
    "new_null_frozen_dict": NotImplementedError,
    "null_frozen_dict": NotImplementedError,
}
EQ_FAILS = {"raising_eq": Boom, "dict_sub": Boom, "list_sub": Boom, "tuple_sub": Boom, "set_sub": Boom, "str_sub": Boom}
TRUTH_FAILS = {
    "raising_bool": Boom,
    "raising_len": Boom,
    "dict_sub": Boom,
    "list_sub": Boom,
    "tuple_sub": Boom,
    "set_sub": Boom,
    "str_sub": Boom,
}
INT_FAILS = {"huge_int": OverflowError, "huge_negative": OverflowError}
# Freezing looks __class__ up (the instance test) and converts the containers:
# dicts, lists and tuples from their storage, sets through their iterator.
FROZEN_DICT_SUB = FrozenDict({"k": None, "n": "null", "d": FrozenDict()})
FREEZE_FAILS = {"raising_class": Boom, "raising_getattribute": Boom, "set_sub": Boom}
FREEZE = {**FREEZE_FAILS, "dict_sub": FROZEN_DICT_SUB, "list_sub": (None, FrozenDict()), "tuple_sub": (bool, str)}


class Plain:
    def __init__(self):
        self.present = 1


def walker_at(index):
    w = TextWalker("null\U0001f600\x00x")
    w.index = index
    return w


# (name, call, outcome for most hostile objects, outcomes that differ)
ENTRY_POINTS = [
    # quillet.frozen
    ("freeze", lambda h: freeze(h), SAME, FREEZE),
    ("freeze_in_list", lambda h: freeze([h])[0], SAME, FREEZE),
    ("frozen_dict_value", lambda h: FrozenDict({"k": h})["k"], SAME, FREEZE),
    ("frozen_dict_pair_value", lambda h: FrozenDict([("k", h)]).get("k"), SAME, FREEZE),
    (
        "frozen_dict_data",
        lambda h: FrozenDict(h),
        TypeError,
        {
            "raising_iter": Boom,
            "dict_sub": Boom,
            "list_sub": Boom,
            "tuple_sub": Boom,
            "set_sub": Boom,
            "str_sub": Boom,
            "raising_getattr": Boom,
            "raising_getattribute": Boom,
            "astral_nul": ValueError,
            "null_frozen_dict": FrozenDict(),
            "new_null_frozen_dict": FrozenDict(),
        },
    ),
    (
        "frozen_dict_or",
        lambda h: FrozenDict({"a": 1}) | h,
        TypeError,
        {
            "raising_getattr": Boom,
            "raising_getattribute": Boom,
            "dict_sub": Boom,
            "null_frozen_dict": FrozenDict({"a": 1}),
            "new_null_frozen_dict": FrozenDict({"a": 1}),
        },
    ),
    (
        "or_frozen_dict",
        lambda h: h | FrozenDict({"a": 1}),
        TypeError,
        {
            "raising_getattr": Boom,
            "raising_getattribute": Boom,
            "dict_sub": Boom,
            "null_frozen_dict": FrozenDict({"a": 1}),
            "new_null_frozen_dict": FrozenDict({"a": 1}),
        },
    ),
    (
        "frozen_dict_hash",
        lambda h: hash(FrozenDict({"k": h})),
        From(lambda h: hash(FrozenDict({"k": HashingAs(hash(h))}))),
        {
            **HASH_FAILS,
            **FREEZE_FAILS,
            "dict_sub": hash(FrozenDict({"k": FROZEN_DICT_SUB})),
            "list_sub": hash(FrozenDict({"k": (None, FrozenDict())})),
            "tuple_sub": hash(FrozenDict({"k": (bool, str)})),
        },
    ),
    (
        "frozen_dict_eq",
        lambda h: FrozenDict({"k": h}) == FrozenDict({"k": 0}),
        False,
        {**FREEZE_FAILS, "raising_eq": Boom, "str_sub": Boom},
    ),
    (
        "frozen_dict_repr",
        lambda h: repr(FrozenDict({"k": h})),
        From(lambda h: f"FrozenDict({{'k': {h!r}}})"),
        {
            **FREEZE_FAILS,
            "new_frozen_dict": TypeError,
            "dict_sub": "FrozenDict({'k': FrozenDict({'k': None, 'n': 'null', 'd': FrozenDict({})})})",
            "list_sub": "FrozenDict({'k': (None, FrozenDict({}))})",
            "tuple_sub": "FrozenDict({'k': (<class 'bool'>, <class 'str'>)})",
        },
    ),
    ("frozen_dict_contains", lambda h: h in FrozenDict({"a": 1}), False, HASH_FAILS),
    ("frozen_dict_get", lambda h: FrozenDict({"a": 1}).get(h, "d"), "d", HASH_FAILS),
    ("frozen_dict_getitem", lambda h: FrozenDict({"a": 1})[h], KeyError, HASH_FAILS),
    ("frozen_dict_key", lambda h: len(FrozenDict([(h, 1)])), 1, HASH_FAILS),
    ("eq_frozen_dict", lambda h: h == FrozenDict(), False, {**EQ_FAILS, "new_frozen_dict": TypeError}),
    (
        "frozen_dict_keys_unbound",
        lambda h: FrozenDict.keys(h),
        TypeError,
        {"null_frozen_dict": qf.FrozenDictKeys(["__null__"])},
    ),
    ("null_getitem", lambda h: NULL[h], None, {}),
    ("null_contains", lambda h: h in NULL, False, {}),
    ("null_get", lambda h: NULL.get(h), None, HASH_FAILS),
    # quillet.utils: the holders
    (
        "cache_key_hash",
        lambda h: hash(CacheKey(h, 1)),
        From(lambda h: hash(CacheKey(HashingAs(hash(h)), 1))),
        HASH_FAILS,
    ),
    ("cache_key_eq", lambda h: CacheKey(h, 1) == CacheKey(0, 1), False, EQ_FAILS),
    ("get_cache_key", lambda h: qu.get_cache_key(h, h) == CacheKey(h, h), True, {}),
    (
        "values_hash",
        lambda h: hash(HashableValues([h])),
        From(lambda h: hash(HashableValues([HashingAs(hash(h))]))),
        HASH_FAILS,
    ),
    (
        "values_op_hash",
        lambda h: hash(HashableValues(None, h)),
        From(lambda h: hash(HashableValues([HashingAs(hash(h))]))),
        HASH_FAILS,
    ),
    ("values_op_len", lambda h: len(HashableValues(None, h)), 1, {}),
    ("values_list", lambda h: len(HashableValues(h)), TypeError, {"list_sub": 2}),
    # The length is read from the list's storage, the hash through its iterator.
    ("values_list_hash", lambda h: hash(HashableValues(h)), TypeError, {"list_sub": Boom}),
    ("values_cacheable", lambda h: HashableValues(cacheable=h).cacheable, From(bool), TRUTH_FAILS),
    ("values_new", lambda h: HashableValues.new(h), TypeError, {}),
    ("values_combine", lambda h: HashableValues([1]).combine(h), TypeError, {}),
    ("values_combine_unbound", lambda h: HashableValues.combine(h, HashableValues()), TypeError, {}),
    ("cache_key_init_unbound", lambda h: CacheKey.__init__(h, 1, 2), TypeError, {"new_cache_key": None}),
    # quillet.utils: the combiners
    ("two_obj_hash_object", lambda h: qu.two_obj_hash(h, 1, 0), From(lambda h: hash(h) ^ 31), HASH_FAILS),
    (
        "alt_two_obj_hash_object",
        lambda h: qu.alt_two_obj_hash(1, h, 0),
        From(lambda h: qu.alt_xor_hash(1, hash(h), 0)),
        HASH_FAILS,
    ),
    ("two_obj_hash_current", lambda h: qu.two_obj_hash(1, 2, h), TypeError, INT_FAILS),
    ("alt_two_obj_hash_current", lambda h: qu.alt_two_obj_hash(1, 2, h), TypeError, INT_FAILS),
    ("xor_hash", lambda h: qu.xor_hash(h, 0, 0), TypeError, INT_FAILS),
    ("alt_xor_hash", lambda h: qu.alt_xor_hash(0, 0, h), TypeError, INT_FAILS),
    # quillet.utils: conditional logic
    ("implies_first", lambda h: qu.implies(h, 0), From(lambda h: not h), TRUTH_FAILS),
    ("implies_second", lambda h: qu.implies(True, h), From(bool), TRUTH_FAILS),
    ("lazy_implies_result", lambda h: qu.lazy_implies(True, lambda: h), From(bool), TRUTH_FAILS),
    ("lazy_anti_implies_result", lambda h: qu.lazy_anti_implies(False, lambda: h), From(bool), TRUTH_FAILS),
    ("lazy_implies_call", lambda h: qu.lazy_implies(True, h), TypeError, {}),
    ("check_conditions_arg", lambda h: qu.check_conditions((bool,), h), From(bool), TRUTH_FAILS),
    # A tuple subclass is read from its storage: (bool, str) both accept 1.
    ("check_conditions_tuple", lambda h: qu.check_conditions(h, 1), TypeError, {"tuple_sub": True}),
    # quillet.utils: attribute probes and transforms
    (
        "has_attrs_object",
        lambda h: qu.has_attrs(h, "x"),
        False,
        {"raising_getattr": Boom, "raising_getattribute": Boom},
    ),
    # A str subclass name is hashed by the instance dict lookup.
    ("has_attrs_name", lambda h: qu.has_attrs(Plain(), h), TypeError, {"str_sub": Boom, "astral_nul": False}),
    ("none_to_null", lambda h: qu.none_to_null(h), TypeError, {"dict_sub": SAME}),
    ("none_to_null_value", lambda h: qu.none_to_null({"k": h})["k"], SAME, {}),
    ("null_to_none_value", lambda h: qu.null_to_none({"k": h})["k"], SAME, {"str_sub": None}),
    ("filter_out_nones_value", lambda h: list(qu.filter_out_nones({"k": h, "z": None})), ["k"], {}),
    (
        "has_nested_dicts_in_list",
        lambda h: qu.has_nested_dicts([h]),
        False,
        {"dict_sub": True, "list_sub": Boom, "tuple_sub": Boom},
    ),
    (
        "has_nested_dicts_in_dict",
        lambda h: qu.has_nested_dicts({"k": h}),
        False,
        {"dict_sub": True, "list_sub": Boom, "tuple_sub": Boom},
    ),
    # quillet.utils.attrs
    (
        "attr_check_object",
        lambda h: attrs.attr_check(h, ("x",)),
        False,
        {"raising_getattr": Boom, "raising_getattribute": Boom},
    ),
    ("attr_check_name", lambda h: attrs.attr_check(Plain(), (h,)), TypeError, {"str_sub": Boom, "astral_nul": False}),
    ("attr_check_shape", lambda h: attrs.attr_check(Plain(), h), TypeError, {}),
    ("type_attr_check", lambda h: attrs.type_attr_check(h, ()), TypeError, {}),
    # quillet.text_walker, over "null😀\0x"
    ("walker_text", lambda h: TextWalker(h).size, TypeError, {"str_sub": 4, "astral_nul": 2}),
    ("walker_allow_negative", lambda h: TextWalker("a", allow_negative=h).allow_neg, From(bool), TRUTH_FAILS),
    ("walker_is_char", lambda h: walker_at(0).is_char(h), False, {"str_sub": True}),
    ("walker_n_char_equals", lambda h: walker_at(0).n_char_equals(4, h), False, {"astral_nul": True}),
    ("walker_tail_equals", lambda h: walker_at(0).tail_equals(h), False, {}),
    (
        "walker_matches_ahead",
        lambda h: walker_at(0).matches_ahead(h),
        TypeError,
        {"str_sub": True, "astral_nul": False},
    ),
    (
        "walker_matches_at_astral",
        lambda h: walker_at(4).matches_ahead(h),
        TypeError,
        {"str_sub": False, "astral_nul": True},
    ),
    ("walker_move", lambda h: walker_at(0).move(h), TypeError, INT_FAILS),
    ("walker_peek", lambda h: walker_at(0).peek(h), TypeError, INT_FAILS),
    ("walker_set_index", lambda h: walker_at(0).set_index(h), TypeError, INT_FAILS),
    ("walker_index", lambda h: setattr(walker_at(0), "index", h), TypeError, INT_FAILS),
    ("walker_n_char_offset", lambda h: walker_at(0).n_char_equals(h, "n"), TypeError, INT_FAILS),
    ("walker_peek_unbound", lambda h: TextWalker.peek(h, 0), TypeError, {"new_walker": ""}),
]


@pytest.mark.parametrize("hostile", HOSTILE)
@pytest.mark.parametrize("name, call, default, differs", ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_entry_points_meet_hostile_objects(name, call, default, differs, hostile):
    check(call, HOSTILE[hostile](), differs.get(hostile, default))


# --- containers and objects changed while they are being processed -------------------------------------


def test_pairs_list_growing_and_shrinking_during_construction():
    grow, shrink = ArmedKey("grow"), ArmedKey("shrink")
    pairs = [(grow, 1), ("b", 2)]
    grow.action = lambda: pairs.append(("c", 3))
    assert FrozenDict(pairs).items() == [(grow, 1), ("b", 2), ("c", 3)]
    pairs = [(shrink, 1), ("b", 2)]
    shrink.action = pairs.clear
    assert FrozenDict(pairs).items() == [(shrink, 1)]


class Reinit:
    """Equal to everything; comparing it first re-initialises `target` with `args`."""

    def __init__(self, target=None, *args):
        self.target, self.args = target, args

    def __hash__(self):
        return 1

    def __eq__(self, other):
        if self.target is not None:
            target, self.target = self.target, None
            target.__init__(*self.args)
        return True


@pytest.mark.parametrize(
    "operation, expected",
    [
        (lambda fd, key: key in fd, True),
        (lambda fd, key: fd.get(key), "v"),
        (lambda fd, key: fd.get(key, 0), "v"),
    ],
)
def test_lookup_key_reinitialising_the_frozen_dict(operation, expected):
    stored = Reinit()
    fd = FrozenDict({stored: "v"})
    stored.target, stored.args = fd, ({"new": 1},)
    assert operation(fd, Reinit()) == expected
    assert fd.values() == ["v"], "a built FrozenDict is not re-initialised"


def test_value_reinitialising_the_other_side_of_a_comparison():
    other = FrozenDict({"k": 0, "z": 1})
    assert FrozenDict({"k": Reinit(other, {}), "z": 1}) == other
    assert len(other) == 2
    key = CacheKey(0, 2)
    assert (CacheKey(Reinit(key, 0, 1), 1) == key) is False, "the values held when the comparison began"
    assert key == CacheKey(0, 1)


class HashHook:
    """Hashes to 5; the first time, it first runs `action`."""

    def __init__(self):
        self.action = None

    def __hash__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return 5


# (build the holder around a hook, arguments to re-initialise it with)
REINITIALISED = {
    "values": (lambda hook: HashableValues([hook]), ([7],)),
    "values_op": (lambda hook: HashableValues(None, hook), ([1], 2)),
    "cache_key": (lambda hook: CacheKey(1, hook), (3, 4)),
}


@pytest.mark.parametrize("build, args", REINITIALISED.values(), ids=REINITIALISED.keys())
def test_reinitialised_while_being_hashed(build, args):
    hook = HashHook()
    holder = build(hook)
    hook.action = lambda: holder.__init__(*args)
    with pytest.raises(RuntimeError, match=r"^object re-initialised while it was being hashed$"):
        hash(holder)
    assert hash(holder) == hash(type(holder)(*args)), "the hash of the old content was not kept"


HOLDERS = {
    "frozen_dict": lambda hook: FrozenDict({"k": hook}),
    **{name: REINITIALISED[name][0] for name in REINITIALISED},
}


@pytest.mark.parametrize("build", HOLDERS.values(), ids=HOLDERS.keys())
def test_hashed_again_from_inside_its_own_hash(build):
    hook = HashHook()
    holder = build(hook)
    inner = []
    hook.action = lambda: inner.append(hash(holder))
    assert hash(holder) == inner[0] == hash(build(HashHook()))


def test_combining_a_holder_that_is_reinitialised_meanwhile():
    second = HashableValues([9])
    first = HashableValues([type("Item", (), {"__hash__": lambda self: second.__init__([5, 6]) or 4})()])
    combined = first.combine(second)
    assert (hash(combined), len(combined)) == (hash(HashableValues([4, 5, 6])), 3)


def test_walker_reinitialised_while_reading_its_own_arguments():
    w = TextWalker("abc")

    class Flag:
        def __bool__(self):
            w.__init__("zzzz")
            return True

    w.__init__("xy", allow_negative=Flag())
    assert (w.collection, w.size, w.index, w.allow_neg, w.tail_value) == ("xy", 2, 0, True, "y")


@pytest.mark.parametrize("change, expected", [(list.clear, False), (lambda outer: outer.append({}), True)])
def test_nested_list_changing_the_outer_list_while_walked(change, expected):
    outer = []

    class Changing(list):
        def __iter__(self):
            change(outer)
            return iter(())

    outer.extend([Changing(), "x"])
    assert qu.has_nested_dicts(outer) is expected


# --- the private dict of a FrozenDict never reaches Python code -----------------------------------------------

MARKER = "quillet private dict marker"


class Snoop:
    """Each of its dunders, once per operation, looks through everything the
    collector can reach for a dict holding MARKER, other than the source, and
    fills it with new entries (growing its table), as code that found a
    mapping's private dict could."""

    source, searched = None, None  # set while an operation runs

    def fill_what_it_finds(self, dunder):
        if Snoop.searched is None or dunder in Snoop.searched:
            return
        Snoop.searched.add(dunder)
        referents = gc.get_referents(*gc.get_objects())
        for found in [x for x in referents if type(x) is dict and MARKER in x and x is not Snoop.source]:
            found.update({i: i for i in range(200)})

    def __repr__(self):
        self.fill_what_it_finds("repr")
        return "Snoop()"

    def __eq__(self, other):
        self.fill_what_it_finds("eq")
        return self is other

    def __hash__(self):
        self.fill_what_it_finds("hash")
        return 1

    def __reduce__(self):
        self.fill_what_it_finds("reduce")
        return (Snoop, ())


PUBLIC_OPERATIONS = {
    "repr": repr,
    "hash": hash,
    "get_hash": lambda fd: fd.get_hash(),
    "eq": lambda fd: fd == FrozenDict(list(fd.items())),
    "contains": lambda fd: Snoop() in fd,
    "getitem": lambda fd: fd[MARKER],
    "get": lambda fd: fd.get(Snoop()),
    "views": lambda fd: (fd.keys(), fd.values(), fd.items()),
    "iterate": lambda fd: (list(fd), list(reversed(fd))),
    "copies": lambda fd: (fd.copy(), copy.copy(fd), copy.deepcopy(fd)),
    "pickle": lambda fd: pickle.loads(pickle.dumps(fd)),
    "or": lambda fd: (fd | {"new": Snoop()}, {"new": Snoop()} | fd),
    "rebuild": lambda fd: (FrozenDict(fd), qf.freeze(fd), dict(fd), FrozenDict.fromkeys(fd)),
    "sizeof": lambda fd: fd.__sizeof__(),
}


@pytest.mark.parametrize("operation", PUBLIC_OPERATIONS.values(), ids=PUBLIC_OPERATIONS.keys())
def test_private_dict_never_reaches_python_code(operation):
    source = {MARKER: Snoop(), Snoop(): Snoop(), **{f"k{i}": i for i in range(40)}}
    fd = FrozenDict(source)
    for _ in range(2):  # the second time with the hash cached
        Snoop.source, Snoop.searched = source, set()
        try:
            operation(fd)
        finally:
            Snoop.source = Snoop.searched = None
        assert len(fd) == 42 and list(fd.items()) == list(source.items())
        assert hash(fd) == hash(FrozenDict(source)) and fd[MARKER] is source[MARKER]


# --- nesting 100 000 deep and cycles -------------------------------------------------------------------------

DEPTH = 100_000


def nest(wrap, leaf=0):
    value = leaf
    for _ in range(DEPTH):
        value = wrap(value)
    return value


def key_chain(leaf=0):
    return nest(lambda x: CacheKey(x, 1), leaf)


@functools.cache
def key_chain_hash():
    """hash(key_chain()), level by level without the recursion."""
    result = hash(0)
    for _ in range(DEPTH):
        result = hash(CacheKey(HashingAs(result), 1))
    return result


# (build, operation, its result or a function computing it). Recursive
# operations may end in RecursionError instead, never in a crash; the others
# must finish.
DEEP = {
    "cache_key_hash": (key_chain, hash, key_chain_hash, True),
    "cache_key_eq": (key_chain, lambda c: c == key_chain(), True, True),
    "cache_key_in_two_obj_hash": (
        key_chain,
        lambda c: qu.two_obj_hash(c, 0, 0),
        lambda: qu.two_obj_hash(HashingAs(key_chain_hash()), 0, 0),
        True,
    ),
    "cache_key_in_alt_two_obj_hash": (
        key_chain,
        lambda c: qu.alt_two_obj_hash(0, c, 0),
        lambda: qu.alt_two_obj_hash(0, HashingAs(key_chain_hash()), 0),
        True,
    ),
    "cache_key_in_frozen_dict": (
        key_chain,
        lambda c: hash(FrozenDict({"k": c})),
        lambda: hash(FrozenDict({"k": HashingAs(key_chain_hash())})),
        True,
    ),
    "frozen_dicts_eq": (
        lambda: nest(lambda x: FrozenDict({"k": x})),
        lambda fd: fd == nest(lambda x: FrozenDict({"k": x})),
        True,
        True,
    ),
    "values_list_hash": (lambda: nest(lambda x: HashableValues([x])), hash, 0, True),
    "values_op_hash": (lambda: nest(lambda x: HashableValues(None, x)), hash, 0, True),
    "values_new_chain": (lambda: nest(HashableValues.new, HashableValues([1])), len, 1, False),
    "freeze_leaves_keys_alone": (key_chain, lambda c: freeze([c])[0] is c, True, False),
    "nested_dicts_search_stops_at_keys": (key_chain, lambda c: qu.has_nested_dicts([c]), False, False),
}


@pytest.mark.parametrize("build, operation, expected, recursive", DEEP.values(), ids=DEEP.keys())
def test_deep_nesting(build, operation, expected, recursive):
    value = build()
    for run in (lambda: operation(value), lambda: run_with_small_stack(lambda: operation(value))):
        try:
            assert run() == (expected() if callable(expected) else expected)
        except RecursionError:
            assert recursive


CHAINS = {
    "cache_keys": lambda leaf: nest(lambda x: CacheKey(x, 1), leaf),
    "cache_keys_second": lambda leaf: nest(lambda x: CacheKey(1, x), leaf),
    "values_op": lambda leaf: nest(lambda x: HashableValues(None, x), leaf),
    "values_list": lambda leaf: nest(lambda x: HashableValues([x]), leaf),
    "keys_in_frozen_dicts": lambda leaf: nest(lambda x: FrozenDict({"k": CacheKey(x, 1)}), leaf),
    "walkers_in_text": lambda leaf: nest(lambda x: TextWalker(Text("t", x)), leaf),
}


class Text(str):
    """A str that carries an attribute, so that text can hold a walker."""

    def __new__(cls, value, payload):
        self = super().__new__(cls, value)
        self.payload = payload
        return self


@pytest.mark.parametrize("make", CHAINS.values(), ids=CHAINS.keys())
def test_deep_chains_are_released_without_exhausting_the_stack(make):
    def build_and_drop():
        witness = Witness()
        ref = weakref.ref(witness)
        chain = make(witness)
        del witness
        alive = ref() is not None
        del chain
        return alive, ref() is None

    # Releasing a level takes a few dozen bytes of native stack: a 1 MiB stack
    # holds only a fraction of the chain unless release is deferred.
    assert run_with_small_stack(build_and_drop, stack_size=1 << 20) == (True, True)


def self_keyed(second):
    key = CacheKey(0, second)
    key.__init__(key, second)
    return key


def self_held():
    holder = HashableValues()
    holder.__init__(None, holder)
    return holder


@pytest.mark.parametrize(
    "operation",
    [
        lambda: self_keyed(1) == self_keyed(1),
        lambda: hash(self_held()),
        lambda: hash(HashableValues([self_held()])),
        lambda: qu.two_obj_hash(self_keyed(1), 0, 0),
        lambda: hash(FrozenDict({"k": self_keyed(1)})),
        lambda: HashableValues.new(self_held()),
    ],
    ids=["cache_keys_eq", "values_op_hash", "values_holding_it", "two_obj_hash", "frozen_dict_hash", "new"],
)
def test_self_containing_holders_raise_recursion_error(operation):
    with pytest.raises(RecursionError):
        operation()


class SubValues(HashableValues):
    pass


class SubKey(CacheKey):
    pass


class SubWalker(TextWalker):
    pass


@pytest.mark.parametrize(
    "weave",
    [
        lambda w: setattr(w, "key", CacheKey(1, w)),
        lambda w: setattr(w, "key", qu.get_cache_key(w, w)),
        lambda w: setattr(w, "fd", FrozenDict([(w, 1)])),
        lambda w: setattr(w, "walker", TextWalker(Text("abc", w))),
        lambda w: setattr(w, "walker", SubWalker(Text("abc", w))),
        lambda w: setattr(w, "values", SubValues()) or setattr(w.values, "owner", w),
        lambda w: setattr(w, "key", SubKey(w, w)),
        lambda w: setattr(w, "fd", freeze({"a": {"b": [1, (w,)]}, "c": 2})),
    ],
    ids=[
        "key_second",
        "get_cache_key",
        "frozen_dict_key",
        "walker_text",
        "walker_subclass",
        "values_subclass",
        "key_subclass",
        "frozen_tuple_deep_inside",
    ],
)
def test_new_kinds_of_cycles_are_collected(weave):
    assert collected(weave)


# --- the class reassigned, and the old one freed, while a method still runs ----------------------------------


def swapping_class_in_getstate(base, *args):
    """An instance of a throw-away subclass of `base` whose __getstate__ moves
    it to another subclass and collects the old class before it returns."""
    other = type("Other", (base,), {})

    def make():
        def __getstate__(self):
            self.__class__ = other
            gc.collect()
            return object.__getstate__(self)

        return type("Temp", (base,), {"__getstate__": __getstate__})(*args)

    return make()


def swapping_class_in_missing():
    def make():
        def __missing__(self, key):
            del type(self).__missing__
            self.__class__ = type("Other", (FrozenDict,), {})
            gc.collect()
            return key

        return type("Temp", (FrozenDict,), {"__missing__": __missing__})({"a": 1})

    fd = make()
    return fd["b"], type(fd).__name__, fd.get("b")


class SwapsOnBool:
    def __init__(self, target):
        self.target = target

    def __bool__(self):
        self.target.__class__ = type("Other", (HashableValues,), {})
        gc.collect()
        return True


def combine_with_swapping_flag():
    def make():
        return type("Temp", (HashableValues,), {})([1])

    holder = make()
    return holder.combine(None, cacheable=SwapsOnBool(holder))


# The class reduce went on with is the one the object had when it began; the
# combined holder is no longer an instance of that class.
@pytest.mark.parametrize(
    "operation, expected",
    [
        (lambda: swapping_class_in_getstate(CacheKey, 1, 2).__reduce__()[0].__name__, "Temp"),
        (lambda: swapping_class_in_getstate(FrozenDict, {"a": 1}).__reduce__()[0].__name__, "Temp"),
        (lambda: swapping_class_in_getstate(HashableValues, [1]).__reduce__()[0].__name__, "Temp"),
        (lambda: swapping_class_in_getstate(BasicHashable).__reduce__()[0].__name__, "Temp"),
        (combine_with_swapping_flag, (TypeError, "^item1 must be a HashableValues$")),
        (swapping_class_in_missing, ("b", "Other", None)),
    ],
    ids=["cache_key_reduce", "frozen_dict_reduce", "values_reduce", "basic_reduce", "combine", "missing"],
)
def test_class_freed_while_in_use(operation, expected):
    assert_outcome(lambda _: operation(), None, expected)


SlottedFrozenDict = type("SlottedFrozenDict", (FrozenDict,), {"__slots__": ()})


# A null mapping never becomes another FrozenDict, nor any other FrozenDict a null mapping.
@pytest.mark.parametrize(
    "make, cls, allowed",
    [
        (lambda: FrozenDict({"a": 1}), NullFrozenDict, False),
        (lambda: SlottedFrozenDict({"a": 1}), NullFrozenDict, False),
        (NullFrozenDict, FrozenDict, False),
        (NullFrozenDict, SlottedFrozenDict, False),
        (lambda: FrozenDict({"a": 1}), SlottedFrozenDict, True),
        (lambda: SlottedFrozenDict({"a": 1}), FrozenDict, True),
        (NullFrozenDict, NullFrozenDict, True),
    ],
)
def test_class_assignment_keeps_null_mappings_apart(make, cls, allowed):
    for assign in (lambda o: setattr(o, "__class__", cls), lambda o: object.__dict__["__class__"].__set__(o, cls)):
        obj = make()
        before = type(obj)
        if allowed:
            assign(obj)
        else:
            with pytest.raises(TypeError, match=r"^__class__ assignment: '[\w.]+' \w+ differs from '[\w.]+'$"):
                assign(obj)
        assert type(obj) is (cls if allowed else before)


def finalisers_run(base, make):
    """How many times __del__ runs for two objects of a subclass of `base`:
    the first resurrects itself once as an exact `base`, so that its memory
    is released as a `base`'s; `make` then builds the second, as a `base`,
    in that memory."""
    log, keep = [], []

    class Sub(base):
        __slots__ = ()

        def __del__(self):
            log.append(1)
            if not keep:
                self.__class__ = base
                keep.append(self)

    held = [make() for _ in range(100)]  # empties the free list, so the next release is reused next
    Sub({"a": 1}) if base is FrozenDict else Sub(1, 2)
    keep.pop()
    later = make()
    later.__class__ = Sub
    del later, held
    return len(log)


@pytest.mark.parametrize(
    "base, make",
    [(FrozenDict, lambda: freeze({"b": [2]})), (CacheKey, lambda: qu.get_cache_key(3, 4))],
    ids=["frozen_dict", "cache_key"],
)
def test_memory_reused_after_a_finaliser_is_finalised_again(base, make):
    assert finalisers_run(base, make) == 2


# --- instances cleared by the collector and then reached again -------------------------------------------------

_get_slot = ctypes.pythonapi.PyType_GetSlot
_get_slot.restype, _get_slot.argtypes = ctypes.c_void_p, (ctypes.py_object, ctypes.c_int)
TP_CLEAR = 51


def gc_cleared(obj):
    """obj after the collector's clear ran on it, as finalisers of the rest of
    a dying cycle may still see it."""
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(_get_slot(type(obj), TP_CLEAR))
    assert clear(obj) == 0
    return obj


# (holder, operation on it once cleared, expected value or (exception, message pattern))
CLEARED = [
    (lambda: CacheKey(1, "a"), hash, (TypeError, "is not initialised")),
    (lambda: CacheKey(1, "a"), lambda o: o == CacheKey(1, "a"), (TypeError, "is not initialised")),
    (lambda: CacheKey(1, "a"), lambda o: hash(FrozenDict({"k": o})), (TypeError, "is not initialised")),
    (lambda: CacheKey(1, "a"), pickle.dumps, (TypeError, "is not initialised")),
    (lambda: CacheKey(1, "a"), repr, "<CacheKey object, not initialised>"),
    (lambda: HashableValues([1], op=2), hash, (TypeError, "is not initialised")),
    (lambda: HashableValues([1], op=2), lambda o: (len(o), bool(o)), (0, False)),
    (lambda: HashableValues([1], op=2), HashableValues.new, (TypeError, "is not initialised")),
    (lambda: HashableValues([1], op=2), pickle.dumps, (TypeError, "is not initialised")),
    (lambda: HashableValues([1], op=2), repr, "<HashableValues object, not initialised>"),
]


@pytest.mark.parametrize("make, operation, expected", CLEARED)
def test_cleared_holders_behave_as_never_initialised(make, operation, expected):
    assert_outcome(operation, gc_cleared(make()), expected)


# --- every operation on instances made by T.__new__(T) alone ------------------------------------------------


def refused(message):
    return TypeError, message


IMMUTABLE = "^Cannot modify immutable type: "
UNINITIALISED = "is not initialised"


def after_init(*args, **kwargs):
    def operation(obj):
        type(obj).__init__(obj, *args, **kwargs)
        return obj

    return operation


# (type, operation, expected value or (exception, message pattern))
NEW_ONLY = [
    (
        BasicHashable,
        lambda o: (o.__frozen__, o.cacheable, o == o, hash(o) == object.__hash__(o)),
        (False, False, True, True),
    ),
    (BasicHashable, lambda o: o.pop(1), refused(IMMUTABLE + r"quillet\.utils\.BasicHashable$")),
    (BasicHashable, lambda o: after_init(1, k=2)(o).__frozen__, True),
    (HashableValues, lambda o: (bool(o), o == o, o != HashableValues()), (False, True, True)),
    (HashableValues, lambda o: o.combine(HashableValues()), refused(UNINITIALISED)),
    (HashableValues, lambda o: o.combine(None, cacheable=True), refused(UNINITIALISED)),
    (HashableValues, lambda o: o.__setitem__(0, 1), refused(IMMUTABLE)),
    (HashableValues, lambda o: hash(FrozenDict({"k": o})), refused(UNINITIALISED)),
    (HashableValues, lambda o: (len(after_init([1, 2], 4)(o)), hash(o)), (3, hash(HashableValues([1, 2, 4])))),
    (CacheKey, lambda o: o != CacheKey(1, 2), refused(UNINITIALISED)),
    (CacheKey, lambda o: o < CacheKey(1, 2), refused("not supported")),
    (CacheKey, lambda o: {o: 1}, refused(UNINITIALISED)),
    (CacheKey, lambda o: o.update(), refused(IMMUTABLE + r"quillet\.utils\.CacheKey$")),
    (CacheKey, lambda o: (o.__frozen__, o.cacheable), (False, False)),
    (CacheKey, lambda o: (hash(after_init(1, 2)(o)), o == CacheKey(1, 2)), (hash(CacheKey(1, 2)), True)),
    (FrozenDict, lambda o: (len(o), bool(o), o.data_size, o.__frozen__, o.cacheable), (0, False, 0, False, False)),
    (FrozenDict, lambda o: str(o), refused(UNINITIALISED)),
    (FrozenDict, lambda o: FrozenDict(o), refused(UNINITIALISED)),
    (FrozenDict, lambda o: freeze({"k": o})["k"] is o, True),
    (FrozenDict, lambda o: o.setdefault("k"), refused(IMMUTABLE + r"quillet\.frozen\.FrozenDict$")),
    (FrozenDict, lambda o: o.__delitem__("k"), refused(IMMUTABLE)),
    (FrozenDict, lambda o: after_init({"a": [1]})(o)["a"], (1,)),
    (NullFrozenDict, lambda o: (len(o), o.data_size, o.__frozen__, o.cacheable, o.get_hash()), refused(UNINITIALISED)),
    (NullFrozenDict, lambda o: (after_init()(o) == NULL, o.get_hash(), list(o)), (True, 0, ["__null__"])),
    (NullFrozenDict, lambda o: o.popitem(), refused(IMMUTABLE + r"quillet\.frozen\.NullFrozenDict$")),
]


@pytest.mark.parametrize(
    "cls, operation, expected", NEW_ONLY, ids=[f"{c.__name__}-{i}" for i, (c, _, _) in enumerate(NEW_ONLY)]
)
def test_operations_on_instances_never_initialised(cls, operation, expected):
    assert_outcome(operation, uninitialised(cls), expected)


def assert_outcome(operation, obj, expected):
    if type(expected) is tuple and len(expected) == 2 and type(expected[0]) is type:
        with pytest.raises(expected[0], match=expected[1]):
            operation(obj)
    else:
        assert operation(obj) == expected
