"""The hashable holders of quillet.utils and the hash combiners."""

import copy
import itertools
import pickle
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillet.utils as qu
from hostile import Boom, RaisingEq, RaisingHash, collected
from quillet.frozen import FrozenDict

INT64 = st.integers(min_value=-(2**63), max_value=2**63 - 1)
HASHABLE = st.one_of(st.integers(), st.text(), st.floats(allow_nan=False), st.none(), st.tuples(st.integers()))


# ---------------------------------------------------------------------------
# Module frame


def test_module_face():
    assert qu.__doc__ == "quillet.utils \u2014 predicates, hashables, and dict utilities. Raw C."
    for name in ("BasicHashable", "HashableValues", "CacheKey"):
        cls = getattr(qu, name)
        assert cls.__module__ == "quillet.utils"
        assert cls.__qualname__ == name
    assert issubclass(qu.HashableValues, qu.BasicHashable)
    assert issubclass(qu.CacheKey, qu.BasicHashable)


def test_not_cacheable_constant():
    nc = qu.NOT_CACHEABLE
    assert type(nc) is qu.HashableValues
    assert (len(nc), hash(nc), nc.cacheable, nc.__frozen__) == (0, 0, False, True)


# ---------------------------------------------------------------------------
# Combiners


@pytest.mark.parametrize(
    "function, args, expected",
    [
        (qu.xor_hash, (1, 2, 3), 60),
        (qu.alt_xor_hash, (1, 2, 3), 2654435832),
        (qu.alt_xor_hash, (0, 0, 0), 2654435769),
        (qu.alt_xor_hash, (-1, 0, 0), 2654435704),
        (qu.alt_xor_hash, (0, 0, -1), -2654435770),
        (qu.alt_xor_hash, (2**57, 0, 0), 36028799673399737),
        (qu.xor_hash, (0, 2**62, 0), -4611686018427387904),
    ],
)
def test_combiner_values(function, args, expected):
    assert function(*args) == expected


def reference_xor(a, b, current):
    product = (b * 31) % 2**64
    product -= 2**64 if product >= 2**63 else 0
    return current ^ a ^ product


def reference_alt_xor(a, b, current):
    total = (b + 0x9E3779B9 + (a << 6) + (a >> 2)) % 2**64
    return (total & 0x7FFFFFFFFFFFFFFF) ^ current


@given(INT64, INT64, INT64)
def test_combiners_match_the_wrapping_arithmetic(a, b, current):
    assert qu.xor_hash(a, b, current) == reference_xor(a, b, current)
    assert qu.alt_xor_hash(a, b, current) == reference_alt_xor(a, b, current)
    if current >= 0:
        assert qu.alt_xor_hash(a, b, current) >= 0


@given(HASHABLE, HASHABLE, INT64)
def test_object_combiners_hash_their_arguments(a, b, current):
    assert qu.two_obj_hash(a, b, current) == qu.xor_hash(hash(a), hash(b), current)
    assert qu.alt_two_obj_hash(a, b, current) == qu.alt_xor_hash(hash(a), hash(b), current)


def test_two_obj_hash_takes_an_index_object():
    class Index:
        def __index__(self):
            return 3

    assert qu.two_obj_hash(1, 2, Index()) == qu.xor_hash(1, 2, 3)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: qu.two_obj_hash(1, 2), TypeError, "two_obj_hash() requires exactly three arguments"),
        (lambda: qu.two_obj_hash(1, 2, 3, 4), TypeError, "two_obj_hash() requires exactly three arguments"),
        (lambda: qu.two_obj_hash(1, 2, current=3), TypeError, "keyword"),
        # The integer is converted before anything is hashed.
        (lambda: qu.two_obj_hash([], 1, "x"), TypeError, "integer"),
        (lambda: qu.alt_two_obj_hash([], 1, "x"), TypeError, "integer"),
        (lambda: qu.two_obj_hash([], 1, 0), TypeError, "unhashable"),
        (lambda: qu.alt_two_obj_hash(1, [], 0), TypeError, "unhashable"),
        (lambda: qu.two_obj_hash(RaisingHash(), 1, 0), Boom, "hash"),
        (lambda: qu.two_obj_hash(1, 2, 2**63), OverflowError, ""),
        (lambda: qu.xor_hash(2**63, 0, 0), OverflowError, ""),
        (lambda: qu.alt_xor_hash(0, -(2**63) - 1, 0), OverflowError, ""),
        (lambda: qu.xor_hash(1.5, 0, 0), TypeError, ""),
        (lambda: qu.xor_hash(1, 2), TypeError, ""),
        (lambda: qu.alt_xor_hash(1, 2, 3, 4), TypeError, ""),
    ],
)
def test_combiner_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


# ---------------------------------------------------------------------------
# Immutability and flags


def all_holders():
    return [qu.BasicHashable(), qu.HashableValues([1]), qu.CacheKey(1, 2), qu.NOT_CACHEABLE]


MUTATIONS = [
    ("setitem", lambda o: o.__setitem__(0, 1)),
    ("delitem", lambda o: o.__delitem__(0)),
    ("update", lambda o: o.update({1: 2})),
    ("pop", lambda o: o.pop()),
    ("clear", lambda o: o.clear(1, x=2)),
    ("setdefault", lambda o: o.setdefault(1, 2)),
    ("popitem", lambda o: o.popitem()),
]


@pytest.mark.parametrize("holder", all_holders(), ids=lambda o: type(o).__name__)
@pytest.mark.parametrize("name, mutate", MUTATIONS, ids=[m[0] for m in MUTATIONS])
def test_every_mutation_is_refused(holder, name, mutate):
    with pytest.raises(
        TypeError, match=r"^Cannot modify immutable type: quillet\.utils\." + type(holder).__name__ + "$"
    ):
        mutate(holder)


def test_subclass_mutation_message_names_the_subclass():
    class Sub(qu.CacheKey):
        pass

    with pytest.raises(TypeError, match=r"^Cannot modify immutable type: Sub$"):
        Sub(1, 2)["a"] = 1


@pytest.mark.parametrize(
    "make, frozen, cacheable",
    [
        (lambda: qu.BasicHashable(), True, True),
        (lambda: qu.BasicHashable(1, 2, key=3), True, True),
        (lambda: qu.BasicHashable.__new__(qu.BasicHashable), False, False),
        (lambda: qu.HashableValues(), True, False),
        (lambda: qu.HashableValues([1], cacheable=1), True, True),
        (lambda: qu.HashableValues([1], cacheable="yes"), True, True),
        (lambda: qu.CacheKey(1, 2), True, True),
    ],
)
def test_flags(make, frozen, cacheable):
    obj = make()
    assert (obj.__frozen__, obj.cacheable) == (frozen, cacheable)


@pytest.mark.parametrize("attribute", ["__frozen__", "cacheable"])
def test_flags_are_read_only(attribute):
    with pytest.raises(AttributeError):
        setattr(qu.CacheKey(1, 2), attribute, False)


def test_basic_hashable_has_identity_semantics():
    a, b = qu.BasicHashable(), qu.BasicHashable()
    assert a != b and a == a
    assert hash(a) != hash(b)


# ---------------------------------------------------------------------------
# HashableValues


# The hash is order-free and counts op as one more item: each row names the
# items of a plain holder that hashes the same.
@pytest.mark.parametrize(
    "args, kwargs, length, same_items",
    [
        ((), {}, 0, []),
        (([1, 2],), {"op": 4}, 3, [4, 2, 1]),
        (([1, 2, 3],), {}, 3, [3, 1, 2]),
        (([7, 7],), {}, 2, [7, 7.0]),
        ((), {"op": None}, 0, []),
        ((None, "x"), {}, 1, ["x"]),
        (([-2, 1],), {}, 2, [True, -2.0]),
    ],
)
def test_values_length_and_hash(args, kwargs, length, same_items):
    holder = qu.HashableValues(*args, **kwargs)
    assert len(holder) == length
    assert hash(holder) == hash(qu.HashableValues(same_items))
    assert bool(holder) == (length > 0)


def test_empty_values_hash_to_zero():
    assert hash(qu.HashableValues()) == hash(qu.HashableValues(None, None)) == 0


def test_values_accepts_list_subclass_and_rejects_other_sequences():
    class L(list):
        pass

    assert len(qu.HashableValues(L([1, 2]))) == 2
    holder = qu.HashableValues([1])
    with pytest.raises(TypeError, match=r"^values must be a list or None$"):
        holder.__init__((1, 2))
    assert len(holder) == 1  # left as it was


def test_values_hash_is_taken_once_from_the_list_as_it_is_then():
    items = [1, 2]
    holder = qu.HashableValues(items)
    items.append(3)
    assert (len(holder), hash(holder)) == (2, hash(qu.HashableValues([1, 2, 3])))
    items.append(4)
    assert hash(holder) == hash(qu.HashableValues([1, 2, 3]))


def test_values_hash_runs_the_hasher_once():
    calls = []

    class Counted:
        def __hash__(self):
            calls.append(1)
            return 5

    holder = qu.HashableValues([Counted()])
    assert hash(holder) == hash(holder) == hash(qu.HashableValues([5]))
    assert len(calls) == 1


@pytest.mark.parametrize(
    "make, error",
    [
        (lambda: qu.HashableValues([[]]), TypeError),
        (lambda: qu.HashableValues(op=[]), TypeError),
        (lambda: qu.HashableValues([RaisingHash()]), Boom),
        (lambda: qu.CacheKey(1, []), TypeError),
        (lambda: qu.CacheKey(RaisingHash(), 1), Boom),
    ],
)
def test_failed_hash_raises_every_time_and_caches_nothing(make, error):
    holder = make()
    for _ in range(2):
        with pytest.raises(error):
            hash(holder)


def test_hash_of_a_list_that_changed_size_while_hashing():
    items = [1, 2, 3]

    class Grower:
        def __hash__(self):
            items.append(4)
            return 0

    items.insert(0, Grower())
    # The list iterator copes with growth; the result stays an integer.
    assert isinstance(hash(qu.HashableValues(items)), int)


def test_values_reinitialisation_resets_the_hash():
    holder = qu.HashableValues([1])
    assert hash(holder) == hash(qu.HashableValues([1]))
    holder.__init__([2, 8], cacheable=True)
    assert (hash(holder), len(holder), holder.cacheable) == (hash(qu.HashableValues([2, 8])), 2, True)


@pytest.mark.parametrize(
    "item1, item2, kwargs, length, cacheable",
    [
        ([1, 2], [4], {}, 3, False),
        ([1, 2], None, {}, 2, False),
        ([1, 2], [4], {"cacheable": True}, 3, True),
        ([-2], [1], {}, 2, False),
        ([5, 5], [5], {}, 3, False),
    ],
)
def test_new_and_combine(item1, item2, kwargs, length, cacheable):
    # A combined holder hashes as one holding both lists' items.
    a = qu.HashableValues(item1, cacheable=True)
    b = None if item2 is None else qu.HashableValues(item2, cacheable=True)
    expected_hash = hash(qu.HashableValues(item1 + (item2 or [])))
    for combined in (qu.HashableValues.new(a, b, **kwargs), a.combine(b, **kwargs)):
        assert type(combined) is qu.HashableValues
        assert (len(combined), hash(combined), combined.cacheable) == (length, expected_hash, cacheable)


def test_new_checks_its_items_against_the_class():
    class S(qu.HashableValues):
        pass

    with pytest.raises(TypeError, match=r"^item1 must be a HashableValues$"):
        qu.HashableValues.new(1)
    with pytest.raises(TypeError, match=r"^item2 must be a HashableValues or None$"):
        qu.HashableValues.new(qu.HashableValues(), [1])
    with pytest.raises(TypeError, match=r"^item1 must be a HashableValues$"):
        S.new(qu.HashableValues(), None)
    assert type(qu.HashableValues.new(S([1]), S([2]))) is qu.HashableValues
    assert type(S([1]).combine(None)) is S


def test_combined_length_that_overflows_raises():
    power, below = qu.HashableValues([1]), qu.HashableValues([1])  # lengths 2**i and 2**(i+1) - 1
    for _ in range(61):
        power = power.combine(power)
        below = below.combine(power)
    power = power.combine(power)
    assert (len(power), len(below)) == (2**62, 2**62 - 1)
    assert len(power.combine(below)) == 2**63 - 1
    with pytest.raises(OverflowError, match=r"^combined length is too large$"):
        power.combine(power)


def test_combine_argument_rules():
    a = qu.HashableValues([1])
    with pytest.raises(TypeError):
        a.combine()
    with pytest.raises(TypeError):
        a.combine(a, item1=a)
    with pytest.raises(TypeError):
        qu.HashableValues.new()


def test_new_propagates_an_item_hash_failure():
    bad = qu.HashableValues([[]])
    with pytest.raises(TypeError, match="unhashable"):
        qu.HashableValues.new(bad)
    with pytest.raises(TypeError, match="unhashable"):
        qu.HashableValues([1]).combine(bad)


def test_holders_compare_by_identity():
    h = qu.HashableValues([1])
    assert h == h
    assert qu.HashableValues([1]) != qu.HashableValues([1])
    with pytest.raises(TypeError):
        h < h  # noqa: B015


# ---------------------------------------------------------------------------
# CacheKey


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (qu.CacheKey(1, 2), qu.CacheKey(1, 2), True),
        (qu.CacheKey(1, 2), qu.CacheKey(2, 1), False),
        (qu.CacheKey(1, 2), qu.CacheKey(1.0, 2), True),
        (qu.CacheKey(v2=2, v1=1), qu.CacheKey(1, 2), True),
        (qu.CacheKey(1, v2=2), qu.CacheKey(1, 2), True),
        (qu.get_cache_key(1, 2), qu.CacheKey(1, 2), True),
        (qu.CacheKey(1, 2), (1, 2), False),
        (qu.CacheKey([1], 2), qu.CacheKey([1], 2), True),
    ],
)
def test_cache_key_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal


# Equal keys hash equal however they are built; the position of a value counts.
@pytest.mark.parametrize(
    "values, equal_values, swapped",
    [((1, 2), (1.0, 2), (2, 1)), ((True, 0), (1, 0.0), (0, True)), (("a", None), ("a", None), (None, "a"))],
)
def test_cache_key_hash(values, equal_values, swapped):
    expected = hash(qu.CacheKey(*equal_values))
    assert hash(qu.CacheKey(*values)) == hash(qu.get_cache_key(*values)) == expected
    assert hash(qu.CacheKey(*swapped)) != expected


def test_cache_key_as_dict_key():
    table = {qu.CacheKey("user", 1): "x"}
    assert table[qu.CacheKey("user", 1)] == "x"
    assert qu.CacheKey(1, 2) in {qu.CacheKey(1.0, 2)}


def test_cache_key_subclass_never_equals_a_plain_key():
    class Sub(qu.CacheKey):
        pass

    # == itself is under test, not !=
    assert (Sub(1, 2) == qu.CacheKey(1, 2)) is False
    assert (qu.CacheKey(1, 2) == Sub(1, 2)) is False
    assert Sub(1, 2) == Sub(1, 2)
    assert type(qu.get_cache_key(1, 2)) is qu.CacheKey


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: qu.CacheKey(1, 2) < qu.CacheKey(1, 3), TypeError, "<"),
        (lambda: qu.get_cache_key(1), TypeError, "get_cache_key() takes exactly 2 arguments"),
        (lambda: qu.get_cache_key(1, 2, 3), TypeError, "get_cache_key() takes exactly 2 arguments"),
        (lambda: qu.get_cache_key(1, v2=2), TypeError, "keyword"),
        (lambda: qu.CacheKey(1), TypeError, "v2"),
        (lambda: len(qu.CacheKey(1, 2)), TypeError, "len"),
        (lambda: qu.CacheKey(RaisingEq(), 1) == qu.CacheKey(RaisingEq(), 1), Boom, "eq"),
    ],
)
def test_cache_key_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


@pytest.mark.parametrize(
    "make", [lambda: qu.get_cache_key(1, 2), lambda: qu.CacheKey(1, 2)], ids=["get_cache_key", "constructor"]
)
def test_cache_key_construction_honours_a_replaced_initialiser(make):
    calls = []
    original = qu.CacheKey.__init__

    def init(self, v1, v2):
        calls.append((v1, v2))
        original(self, v2, v1)

    qu.CacheKey.__init__ = init
    try:
        key = make()
    finally:
        qu.CacheKey.__init__ = original
    assert calls == [(1, 2)]
    assert type(key) is qu.CacheKey and key == qu.CacheKey(2, 1)
    assert make() == qu.CacheKey(1, 2)


def test_cache_key_reinitialisation_replaces_values():
    key = qu.CacheKey(1, 2)
    assert hash(key) == hash(qu.CacheKey(1, 2))
    key.__init__(4, 8)
    assert key == qu.CacheKey(4, 8) and hash(key) == hash(qu.CacheKey(4, 8))


# ---------------------------------------------------------------------------
# How hashes spread over ordinary data: dicts and sets keyed by the holders
# stay fast only if distinct holders hash apart.

GRID = [(i, j) for i in range(200) for j in range(200)]
CORPORA = {
    "cache_key_grid": lambda: [qu.CacheKey(i, j) for i, j in GRID],
    "cache_key_diagonal": lambda: [qu.CacheKey(i, i) for i in range(40_000)],
    "frozen_dict_grid": lambda: [FrozenDict({"x": i, "y": j}) for i, j in GRID],
    "frozen_dict_int_keys": lambda: [FrozenDict({0: i, 1: j}) for i, j in GRID],
    "values_pairs": lambda: [qu.HashableValues([i, j]) for i in range(300) for j in range(i, 300)],
    "values_twins": lambda: [qu.HashableValues([x, x]) for x in range(40_000)],
    "int_to_bool_maps": lambda: [
        FrozenDict({i: a, j: b})
        for i in range(60)
        for j in range(i + 1, 60)
        for a in (False, True)
        for b in (False, True)
    ],
    "permuted_values": lambda: [FrozenDict(zip("abcdefg", p, strict=True)) for p in itertools.permutations(range(7))],
}


@pytest.mark.parametrize("corpus", CORPORA.values(), ids=CORPORA.keys())
def test_hashes_spread(corpus):
    objects = corpus()
    assert len({hash(o) for o in objects}) >= 0.99 * len(objects)


# ---------------------------------------------------------------------------
# Pickling, copying and repr


def uninitialised(cls):
    return cls.__new__(cls)


class SubBasic(qu.BasicHashable):
    pass


class SubValues(qu.HashableValues):
    pass


class SubKey(qu.CacheKey):
    pass


def with_note(obj):
    obj.note = [1]
    return obj


def grown_after_building():
    items = [1]
    holder = qu.HashableValues(items)
    items.append(2)
    return holder


def copies(obj):
    return [pickle.loads(pickle.dumps(obj, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)] + [
        copy.copy(obj),
        copy.deepcopy(obj),
    ]


@pytest.mark.parametrize(
    "holder",
    [
        qu.BasicHashable(),
        with_note(SubBasic()),
        qu.HashableValues(),
        qu.HashableValues([1, "a"]),
        qu.HashableValues([1, 2], op=4, cacheable=True),
        qu.HashableValues(op="x"),
        with_note(SubValues([3])),
        qu.NOT_CACHEABLE,
        qu.HashableValues().combine(None, cacheable=True),
    ],
    ids=repr,
)
def test_holders_round_trip_by_value(holder):
    for result in copies(holder):
        assert type(result) is type(holder) and result is not holder
        assert (result.__frozen__, result.cacheable) == (holder.__frozen__, holder.cacheable)
        assert getattr(result, "__dict__", None) == getattr(holder, "__dict__", None)
        if isinstance(holder, qu.HashableValues):
            assert (len(result), hash(result), repr(result)) == (len(holder), hash(holder), repr(holder))


@pytest.mark.parametrize(
    "holder, message",
    [
        (uninitialised(qu.BasicHashable), "is not initialised"),
        (uninitialised(qu.HashableValues), "is not initialised"),
        (qu.HashableValues([1]).combine(qu.HashableValues([2])), "combined"),
        (grown_after_building(), "changed size"),
    ],
    ids=["basic_uninitialised", "values_uninitialised", "combined", "list_grown"],
)
def test_holders_that_no_constructor_call_rebuilds_refuse_to_copy(holder, message):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match=message):
            pickle.dumps(holder, protocol)
    with pytest.raises(TypeError, match=message):
        copy.copy(holder)


def self_keyed():
    key = qu.CacheKey(0, 1)
    key.__init__(key, 1)
    return key


def self_held():
    holder = qu.HashableValues()
    holder.__init__(None, holder)
    return holder


REPR_NAMES = {"CacheKey": qu.CacheKey, "HashableValues": qu.HashableValues, "SubKey": SubKey, "SubValues": SubValues}


@pytest.mark.parametrize(
    "holder, text",
    [
        (qu.CacheKey(1, "x"), "CacheKey(1, 'x')"),
        (qu.get_cache_key(None, [2]), "CacheKey(None, [2])"),
        (SubKey(1, 2), "SubKey(1, 2)"),
        (qu.HashableValues(), "HashableValues()"),
        (qu.HashableValues([1, 2]), "HashableValues([1, 2])"),
        (qu.HashableValues([1], op="o", cacheable=True), "HashableValues([1], op='o', cacheable=True)"),
        (qu.HashableValues(None, 4), "HashableValues(op=4)"),
        (qu.HashableValues(cacheable=True), "HashableValues(cacheable=True)"),
        (SubValues([1]), "SubValues([1])"),
        (qu.CacheKey(qu.CacheKey(1, 2), (3,)), "CacheKey(CacheKey(1, 2), (3,))"),
        (self_keyed(), "CacheKey(CacheKey(...), 1)"),
        (self_held(), "HashableValues(op=HashableValues(...))"),
        (qu.HashableValues([1]).combine(qu.HashableValues([2, 3])), "<HashableValues combined, len 3>"),
        (uninitialised(qu.CacheKey), "<CacheKey object, not initialised>"),
        (uninitialised(SubValues), "<SubValues object, not initialised>"),
    ],
    ids=lambda value: value if isinstance(value, str) else "",
)
def test_repr_is_the_constructor_call(holder, text):
    assert repr(holder) == text
    if not text.startswith("<") and "..." not in text:
        rebuilt = eval(text, REPR_NAMES)
        assert type(rebuilt) is type(holder) and repr(rebuilt) == text
        if isinstance(holder, qu.CacheKey):
            assert rebuilt == holder
        else:
            assert (len(rebuilt), hash(rebuilt)) == (len(holder), hash(holder))


# ---------------------------------------------------------------------------
# Objects allocated without their initialiser


@pytest.mark.parametrize(
    "operation",
    [
        lambda: hash(uninitialised(qu.HashableValues)),
        lambda: hash(uninitialised(qu.CacheKey)),
        lambda: uninitialised(qu.CacheKey) == qu.CacheKey(1, 2),
        lambda: qu.CacheKey(1, 2) == uninitialised(qu.CacheKey),
        lambda: qu.HashableValues.new(uninitialised(qu.HashableValues)),
        lambda: qu.HashableValues([1]).combine(uninitialised(qu.HashableValues)),
    ],
)
def test_uninitialised_holders_raise_type_error(operation):
    with pytest.raises(TypeError, match="not initialised"):
        operation()


def test_uninitialised_holders_are_otherwise_inert():
    values = uninitialised(qu.HashableValues)
    assert (len(values), values.__frozen__, values.cacheable) == (0, False, False)
    assert uninitialised(qu.CacheKey) != (1, 2)


# ---------------------------------------------------------------------------
# Reference cycles and self-reference


def test_self_containing_values_hash_raises_recursion_error():
    items = []
    holder = qu.HashableValues(items)
    items.append(holder)
    with pytest.raises(RecursionError):
        hash(holder)


def test_self_containing_key_hash_raises_recursion_error():
    key = qu.CacheKey(1, 2)
    key.__init__(key, 1)
    with pytest.raises(RecursionError):
        hash(key)


def weave_values(witness):
    items = [witness]
    holder = qu.HashableValues(items)
    items.append(holder)


def weave_values_op(witness):
    holder = qu.HashableValues(None, witness)
    witness.back = holder


def weave_key(witness):
    witness.key = qu.CacheKey(witness, 1)


@pytest.mark.parametrize("weave", [weave_values, weave_values_op, weave_key])
def test_cycles_through_holders_are_collected(weave):
    assert collected(weave)


def test_holders_release_their_contents():
    class Target:
        pass

    target = Target()
    ref = weakref.ref(target)
    holders = [qu.HashableValues([target]), qu.HashableValues(None, target), qu.CacheKey(target, 1)]
    del target
    assert ref() is not None
    del holders
    assert ref() is None
