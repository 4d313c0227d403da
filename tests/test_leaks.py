"""Every public operation, and each of its error paths, run many times must not
leave memory behind: neither interpreter blocks (sys.getallocatedblocks(),
which counts the interpreter's own allocator and reads 0 when it is bypassed,
as in sanitizer runs) nor bytes traced by tracemalloc.
"""

import gc
import pathlib
import sys
import tracemalloc

import pytest

import quillet.frozen as qf
import quillet.utils as qu
from hostile import (
    PREDICATES,
    ArmedKey,
    Boom,
    ClassRaises,
    RaisingBool,
    RaisingEq,
    RaisingGetattr,
    RaisingHash,
    RaisingIter,
    hostile_dict,
    hostile_list,
    raise_boom,
)
from quillet.text_walker import TextWalker
from quillet.utils import attrs

FrozenDict, NullFrozenDict, NULL, freeze = qf.FrozenDict, qf.NullFrozenDict, qf.NULL_FROZEN_DICT, qf.freeze
HashableValues, CacheKey = qu.HashableValues, qu.CacheKey

CALLS = 100  # per round
DEEP_CALLS = 10  # for operations that recurse until the interpreter's guard trips
ROUNDS = 3  # measured rounds, after one to warm caches and free lists


def run(operation, expected):
    """One call; the outcome must be the expected error (or none)."""
    try:
        operation()
    except BaseException as error:  # checked right here
        if expected is None or not isinstance(error, expected):
            raise
    else:
        assert expected is None, f"expected {expected.__name__}"


def growth(operation, expected, calls):
    gc.collect()
    blocks, traced = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
    for _ in range(calls):
        run(operation, expected)
    gc.collect()
    return sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced


def assert_no_leak(operation, expected=None, calls=CALLS):
    """Fails when every measured round leaves more than noise behind. A leak
    leaves at least one block, of more than 8 bytes, per call in each round."""
    run(operation, expected)
    growth(operation, expected, calls)
    rounds = [growth(operation, expected, calls) for _ in range(ROUNDS)]
    assert min(blocks for blocks, _ in rounds) <= max(2, calls // 10), f"blocks grew every round: {rounds}"
    assert min(traced for _, traced in rounds) <= calls * 8, f"traced bytes grew every round: {rounds}"


@pytest.fixture(scope="module", autouse=True)
def tracing():
    tracemalloc.start(1)
    yield
    tracemalloc.stop()


class Plain:
    def __init__(self):
        self.a = 1


class Exploding:
    @property
    def boom(self):
        raise ValueError("boom")


class SubDict(dict):
    def items(self):
        raise Boom("items")


class IterRaises(list):
    def __iter__(self):
        raise Boom("iter")


def cyclic_dict():
    d = {"x": None}
    d["d"] = d
    return d


def cyclic_list():
    items = [1]
    items.append(items)
    return items


def failing_pairs():
    yield ("a", 1)
    raise Boom("pairs")


def key_clearing(data):
    key = ArmedKey("k")
    data[key] = None
    key.action = raise_boom
    return data


def list_changing_size():
    items = [1, 2]

    class Shrinks:
        @property
        def __class__(self):
            items.clear()
            return Shrinks

    items.insert(1, Shrinks())
    return items


def self_keyed():
    key = CacheKey(0, 1)
    key.__init__(key, 1)
    return key


def self_held():
    holder = HashableValues()
    holder.__init__(None, holder)
    return holder


def uninitialised(cls):
    return cls.__new__(cls)


SHAPE = ("a",)
MANY_TYPES = [type(f"T{i}", (), {"a": i}) for i in range(70)]  # more pairs than the cache holds


def fill_cache_past_capacity():
    for cls in MANY_TYPES:
        attrs.type_attr_check(cls, SHAPE)
    attrs.cache_clear()


def reinit_walker_with_raising_flag():
    w = TextWalker("abc")
    w.__init__("xyz", allow_negative=RaisingBool())


FD = FrozenDict({"a": [1, {"b": {2}}], (1, 2): "t"})
SPLIT_TABLE = vars(Plain())  # made here: the interpreter may make it empty when an allocation fails


class MissingHook(FrozenDict):
    def __new__(cls, *args, **kwargs):
        return super().__new__(cls, *args, **kwargs)

    def __missing__(self, key):
        if key == "raise":
            raise Boom("missing")
        return [key]


MISSING_HOOK = MissingHook(FD)
HUGE_VALUES = HashableValues([1])
for _ in range(62):
    HUGE_VALUES = HUGE_VALUES.combine(HUGE_VALUES)
WALKER = TextWalker("ab\x00\U0001f600", allow_negative=True)

OPERATIONS = {
    # hashable holders
    "basic_hashable": (lambda: qu.BasicHashable(1, k=2), None),
    "basic_hashable_pop": (lambda: qu.BasicHashable().pop(1), TypeError),
    "values": (lambda: hash(HashableValues([1, "a", (2,)], op="o", cacheable=True)), None),
    "values_not_a_list": (lambda: HashableValues((1,)), TypeError),
    "values_bad_keyword": (lambda: HashableValues(x=1), TypeError),
    "values_cacheable_raises": (lambda: HashableValues(cacheable=RaisingBool()), Boom),
    "values_element_hash_raises": (lambda: hash(HashableValues([1, RaisingHash()])), Boom),
    "values_element_unhashable": (lambda: hash(HashableValues([[]])), TypeError),
    "values_op_unhashable": (lambda: hash(HashableValues(None, {})), TypeError),
    "values_iteration_raises": (lambda: hash(HashableValues(IterRaises([1]))), Boom),
    "values_self_containing": (lambda: hash(self_held()), RecursionError),
    "values_new_combine": (
        lambda: HashableValues.new(HashableValues([1]), HashableValues([2])).combine(HashableValues(), cacheable=True),
        None,
    ),
    "values_new_wrong_item1": (lambda: HashableValues.new(1), TypeError),
    "values_new_wrong_item2": (lambda: HashableValues.new(HashableValues(), [1]), TypeError),
    "values_new_item_hash_raises": (lambda: HashableValues.new(HashableValues([RaisingHash()])), Boom),
    "values_new_uninitialised": (lambda: HashableValues.new(uninitialised(HashableValues)), TypeError),
    "values_combine_no_argument": (lambda: HashableValues().combine(), TypeError),
    "values_setitem": (lambda: HashableValues().__setitem__(0, 1), TypeError),
    "values_reinit": (lambda: HashableValues([1]).__init__([2, 3], op=4), None),
    "cache_key": (lambda: hash(CacheKey(Plain(), "a")) + (CacheKey(1, [2]) == qu.get_cache_key(1, [2])), None),
    "cache_key_missing_value": (lambda: CacheKey(1), TypeError),
    "cache_key_unhashable": (lambda: hash(CacheKey([], 1)), TypeError),
    "cache_key_eq_raises": (lambda: CacheKey(RaisingEq(), 1) == CacheKey(RaisingEq(), 1), Boom),
    "cache_key_order": (lambda: CacheKey(1, 2) < CacheKey(1, 3), TypeError),
    "cache_key_uninitialised": (lambda: hash(uninitialised(CacheKey)), TypeError),
    "cache_key_self_containing": (lambda: hash(self_keyed()), RecursionError),
    "cache_key_reinit": (lambda: CacheKey(1, 2).__init__("a", "b"), None),
    "get_cache_key_count": (lambda: qu.get_cache_key(1), TypeError),
    "holders_repr": (
        lambda: (
            repr(CacheKey(self_keyed(), [1]))
            + repr(HashableValues([1], self_held(), True))
            + repr(HashableValues([1]).combine(None))
            + repr(uninitialised(CacheKey))
        ),
        None,
    ),
    "holders_reduce": (
        lambda: (
            qu.BasicHashable().__reduce__(),
            HashableValues([1], 2, True).__reduce__(),
            CacheKey(1, 2).__reduce__(),
        ),
        None,
    ),
    "values_reduce_combined": (lambda: HashableValues([1]).combine(None).__reduce__(), TypeError),
    "values_combine_overflow": (lambda: HUGE_VALUES.combine(HUGE_VALUES), OverflowError),
    # combiners
    "two_obj_hash": (lambda: qu.two_obj_hash(Plain(), "a", 3) + qu.alt_two_obj_hash(1, Plain(), 3), None),
    "two_obj_hash_unhashable": (lambda: qu.two_obj_hash([Plain()], 1, 0), TypeError),
    "two_obj_hash_bad_current": (lambda: qu.two_obj_hash(1, 2, "x"), TypeError),
    "two_obj_hash_count": (lambda: qu.two_obj_hash(1, 2), TypeError),
    "alt_two_obj_hash_raises": (lambda: qu.alt_two_obj_hash(1, RaisingHash(), 0), Boom),
    "xor_hash": (lambda: qu.xor_hash(1, 2, 3) + qu.alt_xor_hash(-1, 2**62, 3), None),
    "xor_hash_overflow": (lambda: qu.xor_hash(2**63, 0, 0), OverflowError),
    "alt_xor_hash_type": (lambda: qu.alt_xor_hash(1.5, 0, 0), TypeError),
    # predicates and probes, answering and raising
    "predicates": (
        lambda: [
            getattr(qu, name)(value)
            for name in PREDICATES
            for value in (None, 1, "s", [{}], Plain(), Plain, pathlib.Path("/"))
        ],
        None,
    ),
    "is_truthy_raises": (lambda: qu.is_truthy(RaisingBool()), Boom),
    "is_falsy_raises": (lambda: qu.is_falsy(RaisingBool()), Boom),
    "is_path_type_raises": (lambda: qu.is_path_type(ClassRaises()), Boom),
    "path_exists_missing": (lambda: qu.path_exists(pathlib.Path("/no/such/path")), None),
    "is_mapping_raises": (lambda: qu.is_mapping(type("M", (dict,), {"keys": property(raise_boom)})()), Boom),
    "probe_raises": (lambda: qu.has_hook(RaisingGetattr()), Boom),
    "is_resource_raises": (lambda: qu.is_resource(RaisingGetattr()), Boom),
    "has_attrs": (lambda: qu.has_attrs(Plain(), "a", "__class__") and not qu.has_attr(Plain(), "z", 5), None),
    "has_attrs_count": (lambda: qu.has_attrs(Plain()), TypeError),
    "has_attrs_name_type": (lambda: qu.has_attrs(Plain(), 5), TypeError),
    "has_attrs_raises": (lambda: qu.has_attrs(Exploding(), "boom"), ValueError),
    # conditional logic
    "implications": (
        lambda: (
            qu.implies(1, [1]),
            qu.lazy_implies(1, list),
            qu.lazy_anti_implies(0, tuple),
            qu.check_conditions((bool, str), 1),
        ),
        None,
    ),
    "implies_count": (lambda: qu.implies(True), TypeError),
    "implies_raises": (lambda: qu.implies(RaisingBool(), 1), Boom),
    "lazy_implies_not_callable": (lambda: qu.lazy_implies(True, 42), TypeError),
    "lazy_anti_implies_raises": (lambda: qu.lazy_anti_implies(False, raise_boom), Boom),
    "check_conditions_not_tuple": (lambda: qu.check_conditions([bool], 1), TypeError),
    "check_conditions_raises": (lambda: qu.check_conditions((bool, raise_boom), 1), Boom),
    "check_conditions_result_raises": (lambda: qu.check_conditions((lambda x: RaisingBool(),), 1), Boom),
    # dict transforms and nested-dict detection
    "transforms": (
        lambda: qu.filter_out_nones(
            qu.null_to_none(qu.none_to_null({"a": None, "b": {"c": None, "d": "null"}, "e": [None]}))
        ),
        None,
    ),
    "transform_subclass": (lambda: qu.none_to_null(SubDict(a=None, b=SubDict(c=None))), None),
    "transform_not_a_dict": (lambda: qu.null_to_none([None]), TypeError),
    "transform_cycle": (lambda: qu.none_to_null(cyclic_dict()), RecursionError),
    "filter_cycle": (lambda: qu.filter_out_nones(cyclic_dict()), RecursionError),
    "transform_store_raises": (lambda: qu.none_to_null(key_clearing({"a": None})), Boom),
    "filter_delete_raises": (lambda: qu.filter_out_nones(key_clearing({"a": 1})), Boom),
    "has_nested_dicts": (lambda: qu.has_nested_dicts({"a": [1, (2, {"b": 3})]}), None),
    "has_nested_dicts_cycle": (lambda: qu.has_nested_dicts(cyclic_list()), RecursionError),
    "has_nested_dicts_iter_raises": (lambda: qu.has_nested_dicts([IterRaises()]), Boom),
    # FrozenDict and freeze
    "frozen_dict": (lambda: hash(FrozenDict({"a": [1, {"b": {2}}], "c": (3, [4])})), None),
    "frozen_dict_pairs": (lambda: FrozenDict(zip("abc", [[1], {2}, {"x": 3}], strict=True)), None),
    "frozen_dict_subclass_data": (lambda: FrozenDict(SubDict(a=[1])), None),
    "frozen_dict_hostile_data": (lambda: FrozenDict({"h": hostile_dict({"a": hostile_list([1])})}), None),
    "frozen_dict_not_pairs": (lambda: FrozenDict([("a", 1), [1, 2, 3]]), ValueError),
    "frozen_dict_not_iterable": (lambda: FrozenDict(5), TypeError),
    "frozen_dict_unhashable_key": (lambda: FrozenDict([([1], 2)]), TypeError),
    "frozen_dict_pairs_raise": (lambda: FrozenDict(failing_pairs()), Boom),
    "frozen_dict_iter_raises": (lambda: FrozenDict(RaisingIter()), Boom),
    "frozen_dict_keyword": (lambda: FrozenDict(x=1), TypeError),
    "frozen_dict_cycle": (lambda: FrozenDict(cyclic_dict()), RecursionError),
    "frozen_dict_value_raises": (lambda: FrozenDict({"a": [ClassRaises()]}), Boom),
    "frozen_dict_reinit": (lambda: FrozenDict({"a": 1}).__init__([("b", [2])]), None),
    "frozen_dict_init_fails": (lambda: uninitialised(FrozenDict).__init__([1]), ValueError),
    "frozen_dict_union": (lambda: (FD | {"x": [1]}, {"x": [1]} | FD, FD | SubDict(a=[1]), FD | NULL), None),
    "frozen_dict_union_refused": (lambda: FD | [("x", 1)], TypeError),
    "frozen_dict_copies": (
        lambda: (FD.copy(), FrozenDict.fromkeys("ab", [1]), list(reversed(FD)), FD.__sizeof__()),
        None,
    ),
    "frozen_dict_deepcopy": (lambda: FrozenDict({"b": bytearray()}).__deepcopy__({}), None),
    "frozen_dict_reads": (
        lambda: (
            FD["a"],
            FD.get(Plain(), 0),
            Plain() in FD,
            FD.keys(),
            FD.values(),
            FD.items(),
            list(FD),
            repr(FD),
            FD.get_hash(),
            FrozenDict(FD.items()) == FD,
            len(FD),
        ),
        None,
    ),
    "frozen_dict_fresh_reads": (
        lambda: (lambda fd: (fd.keys(), fd.values(), fd.items(), list(fd), hash(fd), next(iter(fd))))(
            FrozenDict({"a": 1})
        ),
        None,
    ),
    "frozen_dict_split_table_reads": (
        lambda: (lambda fd: (list(fd), list(reversed(fd)), next(reversed(fd))))(FrozenDict(SPLIT_TABLE)),
        None,
    ),
    "frozen_dict_list_set_operations": (
        lambda: (
            FD.keys() & {"a"},
            {"a"} | FD.items(),
            [1] - FD.keys(),
            FD.items() ^ FD.items(),
            FD.keys().isdisjoint("a"),
        ),
        None,
    ),
    "frozen_dict_list_set_operation_raises": (lambda: FD.keys() - RaisingIter(), Boom),
    "frozen_dict_missing_key": (lambda: FD[Plain()], KeyError),
    "frozen_dict_missing_hook": (lambda: (MISSING_HOOK[Plain()], FrozenDict(FD), MISSING_HOOK[(1, 2)]), None),
    "frozen_dict_missing_hook_raises": (lambda: MISSING_HOOK["raise"], Boom),
    "frozen_dict_tuple_key_missing": (lambda: FD[(3, Plain())], KeyError),
    "frozen_dict_unhashable_lookup": (lambda: FD.get([Plain()]), TypeError),
    "frozen_dict_get_count": (lambda: FD.get(), TypeError),
    "frozen_dict_hash_fails": (lambda: hash(FrozenDict({"k": bytearray()})), TypeError),
    "frozen_dict_eq_raises": (lambda: FrozenDict({"k": RaisingEq()}) == FrozenDict({"k": RaisingEq()}), Boom),
    "frozen_dict_order": (lambda: FD < FD, TypeError),
    "frozen_dict_update": (lambda: FD.update({}), TypeError),
    "frozen_dict_uninitialised": (lambda: repr(uninitialised(FrozenDict)), TypeError),
    "null_frozen_dict": (
        lambda: (
            NullFrozenDict(1, a=2) == NULL,
            NULL["x"],
            NULL.get("x"),
            NULL.keys(),
            list(NULL),
            repr(NULL),
            NULL.get_hash(),
        ),
        None,
    ),
    "null_frozen_dict_hash": (lambda: hash(NULL), NotImplementedError),
    "freeze": (lambda: freeze([1, [2, (3, {4})], {"a": {"b": [5]}}, collections_like()]), None),
    "freeze_class_raises": (lambda: freeze([1, ClassRaises()]), Boom),
    "freeze_list_changes_size": (lambda: freeze(list_changing_size()), RuntimeError),
    "freeze_cycle": (lambda: freeze(cyclic_list()), RecursionError),
    # TextWalker
    "walker": (lambda: walk(TextWalker("ab\x00\U0001f600xyz")), None),
    "walker_reads": (
        lambda: (
            WALKER.peek(1),
            WALKER.is_char("a"),
            WALKER.n_char_equals(3, "\U0001f600"),
            WALKER.matches_ahead("ab"),
            WALKER.head_value,
            WALKER.tail_value,
            WALKER.collection,
        ),
        None,
    ),
    "walker_not_a_str": (lambda: TextWalker(1), TypeError),
    "walker_flag_raises": (reinit_walker_with_raising_flag, Boom),
    "walker_offset_type": (lambda: WALKER.move("x"), TypeError),
    "walker_offset_overflow": (lambda: WALKER.peek(2**63), OverflowError),
    "walker_current_outside": (lambda: TextWalker("").current, IndexError),
    "walker_head_empty": (lambda: TextWalker("").head_value, IndexError),
    "walker_matches_not_a_str": (lambda: WALKER.matches_ahead(b"a"), TypeError),
    "walker_n_char_count": (lambda: WALKER.n_char_equals(1), TypeError),
    "walker_delete_index": (lambda: delattr(TextWalker("a"), "index"), AttributeError),
    "walker_reinit": (lambda: TextWalker("abc").__init__("\U0001f600" * 50, allow_negative=True), None),
    # attrs
    "attr_check": (
        lambda: (attrs.attr_check(Plain(), SHAPE), attrs.type_attr_check(Plain, ("a", "b")), attrs.cache_clear()),
        None,
    ),
    "attr_check_hit": (lambda: attrs.attr_check(Plain(), SHAPE) and attrs.cache_size(), None),
    "attr_check_full_cache": (fill_cache_past_capacity, None),
    "attr_check_count": (lambda: attrs.attr_check(Plain()), TypeError),
    "attr_check_shape_type": (lambda: attrs.attr_check(Plain(), ["a"]), TypeError),
    "type_attr_check_not_a_type": (lambda: attrs.type_attr_check(1, ()), TypeError),
    "attr_check_name_type": (lambda: attrs.attr_check(Plain(), (5,)), TypeError),
    "attr_check_raises": (lambda: attrs.attr_check(Exploding(), ("boom",)), ValueError),
}


def collections_like():
    return SubDict(a=IterRaises([1]), b={frozenset({1}), (2, 3)})


def walk(w):
    w.tail()
    w.tick()
    w.tock()
    w.move(-2)
    w.set_index(1)
    w.index = 2
    return (
        w.current,
        w.within_bounds,
        w.prev_char_equals("b"),
        w.next_char_equals("\U0001f600"),
        w.head_equals("a"),
        w.tail_equals("z"),
        w.size,
        w.is_empty,
        w.not_empty,
        w.allow_neg,
    )


@pytest.mark.parametrize("operation, expected", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_operation_leaves_nothing_behind(operation, expected):
    assert_no_leak(operation, expected, DEEP_CALLS if expected is RecursionError else CALLS)


def test_the_check_sees_a_leak():
    kept = []
    with pytest.raises(AssertionError, match="grew every round"):
        assert_no_leak(lambda: kept.append(object()))
    assert len(kept) > CALLS * ROUNDS


def test_path_exists_names_the_method_with_one_interned_string():
    # A string made per call would be kept by the interpreter's method cache,
    # which is keyed by the name's address: up to thousands of copies.
    names = []

    class Recording(type(pathlib.Path())):
        def __getattribute__(self, name):
            names.append(name)
            return super().__getattribute__(name)

    path = Recording("/")
    assert qu.path_exists(path) and qu.path_exists(path)
    asked = [name for name in names if name == "exists"]
    assert len(asked) == 2 and asked[0] is asked[1] is sys.intern("exists")
