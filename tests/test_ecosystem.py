"""What Python code around the package relies on: pickling and copying,
collections.abc registration, generic subscription, the typed usage file and
an example of every module in the README."""

import collections.abc as abc
import copy
import importlib
import pickle
import pkgutil
import re
import types
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillet
import quillet.frozen as qf
import quillet.utils as qu
import typed_usage
from hostile import collected

FrozenDict, NullFrozenDict, NULL = qf.FrozenDict, qf.NullFrozenDict, qf.NULL_FROZEN_DICT
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
README = Path(__file__).resolve().parent.parent / "README.md"


class SubFD(FrozenDict):
    pass


class SlottedFD(FrozenDict):
    __slots__ = ("tag",)


class SubKey(qu.CacheKey):
    pass


def pickled(obj):
    """The object after a pickle round trip with each protocol."""
    return [pickle.loads(pickle.dumps(obj, protocol)) for protocol in PROTOCOLS]


def round_trips(obj):
    return [*pickled(obj), copy.copy(obj), copy.deepcopy(obj)]


def with_attribute(obj, **attributes):
    for name, value in attributes.items():
        setattr(obj, name, value)
    return obj


# ---------------------------------------------------------------------------
# Pickling and copying


@pytest.mark.parametrize(
    "fd",
    [
        FrozenDict(),
        FrozenDict({"b": 1, "a": 2, "c": 3}),
        FrozenDict({"list": [1, [2]], "dict": {"x": {3}}, "none": None, (1, 2): frozenset({4})}),
        FrozenDict({"raw": bytearray(b"mutable")}),
        SubFD({"z": 1, "y": [2]}),
        with_attribute(SubFD({"k": 1}), note=[1, 2]),
        with_attribute(SlottedFD({"k": 1}), tag="slot"),
    ],
    ids=["empty", "order", "nested", "unhashable-value", "subclass", "subclass-dict", "subclass-slots"],
)
def test_frozen_dict_round_trips_keep_class_order_and_frozen_values(fd):
    for result in round_trips(fd):
        assert type(result) is type(fd) and result == fd
        assert result.keys() == fd.keys() and result.items() == fd.items()
        assert [type(v) for v in result.values()] == [type(v) for v in fd.values()]
        assert result.__frozen__ and result.cacheable and len(result) == fd.data_size
        assert getattr(result, "__dict__", None) == getattr(fd, "__dict__", None)
        assert getattr(result, "tag", None) == getattr(fd, "tag", None)
    hashable = FrozenDict({k: v for k, v in fd.items() if k != "raw"})
    assert all(hash(r) == hash(hashable) for r in round_trips(hashable))


PLAIN = st.recursive(
    st.none() | st.integers() | st.text(max_size=3) | st.floats(allow_nan=False),
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.dictionaries(st.text(max_size=3), inner, max_size=3)
        | st.frozensets(st.integers(), max_size=3)
    ),
    max_leaves=12,
)


@given(
    data=st.dictionaries(st.text(max_size=4) | st.integers(), PLAIN, max_size=6), protocol=st.sampled_from(PROTOCOLS)
)
def test_any_plain_content_survives_pickling(data, protocol):
    fd = FrozenDict(data)
    result = pickle.loads(pickle.dumps(fd, protocol))
    assert result == fd and result.items() == fd.items() and hash(result) == hash(fd)


def test_deepcopy_copies_mutable_values_and_copy_shares_them():
    fd = FrozenDict({"raw": bytearray(b"x"), "nested": {"inner": bytearray(b"y")}})
    shallow, deep = copy.copy(fd), copy.deepcopy(fd)
    assert shallow["raw"] is fd["raw"] and shallow["nested"]["inner"] is fd["nested"]["inner"]
    assert deep["raw"] is not fd["raw"] and deep["nested"]["inner"] is not fd["nested"]["inner"]
    assert deep == fd


@pytest.mark.parametrize("null", [NULL, NullFrozenDict(), NullFrozenDict(1, key=2)], ids=["singleton", "new", "args"])
def test_null_mappings_come_back_as_the_singleton(null):
    assert all(result is NULL for result in round_trips(null))
    # A shallow copy shares the values it holds, so only the deep round trips apply.
    holder = FrozenDict({"inside": null})
    assert all(result["inside"] is NULL for result in [*pickled(holder), copy.deepcopy(holder)])


@pytest.mark.parametrize(
    "key",
    [
        qu.CacheKey(1, 2),
        qu.CacheKey("a", [1, {"b": 2}]),
        qu.CacheKey(FrozenDict({"x": 1}), None),
        qu.get_cache_key((1, 2), 3.5),
        SubKey(1, 2),
        with_attribute(SubKey(1, 2), note="kept"),
    ],
    ids=["ints", "unhashable", "frozen", "factory", "subclass", "subclass-dict"],
)
def test_cache_key_round_trips_by_value(key):
    for result in round_trips(key):
        assert type(result) is type(key) and result == key and result is not key
        assert result.__frozen__ and result.cacheable
        assert getattr(result, "__dict__", None) == getattr(key, "__dict__", None)


def test_round_tripped_cache_key_finds_the_same_dict_entry():
    table = {qu.CacheKey("user", 7): "found"}
    assert all(table[result] == "found" for result in round_trips(qu.CacheKey("user", 7)))


def test_deepcopied_cache_key_owns_its_values():
    key = qu.CacheKey([1], {"a": [2]})
    deep = copy.deepcopy(key)
    assert deep == key
    assert deep.__reduce__()[1][0] is not key.__reduce__()[1][0]


@pytest.mark.parametrize("blank", [FrozenDict.__new__(FrozenDict), qu.CacheKey.__new__(qu.CacheKey)])
def test_uninitialised_objects_refuse_to_pickle(blank):
    for protocol in PROTOCOLS:
        with pytest.raises(TypeError, match="not initialised"):
            pickle.dumps(blank, protocol)
    with pytest.raises(TypeError, match="not initialised"):
        copy.copy(blank)


def test_reduce_leaks_no_reference():
    def make_cycle(witness):
        fd = SubFD({"a": 1})
        fd.witness, witness.fd = witness, fd
        fd.__reduce__()

    assert collected(make_cycle)


# ---------------------------------------------------------------------------
# collections.abc, generics


@pytest.mark.parametrize("obj", [FrozenDict(), FrozenDict({"a": 1}), NULL, SubFD()])
def test_frozen_dicts_are_registered_mappings(obj):
    assert isinstance(obj, abc.Mapping) and isinstance(obj, abc.Collection)
    assert not isinstance(obj, abc.MutableMapping)


def test_registration_leaves_the_type_alone():
    assert FrozenDict.__mro__ == (FrozenDict, object)
    assert FrozenDict({"a": 1}).keys() == ["a"] and isinstance(FrozenDict({"a": 1}), abc.Hashable)
    assert not isinstance(qu.CacheKey(1, 2), abc.Mapping)


def match_mapping(subject):
    match subject:
        case {"kind": "point", "x": x, **rest}:
            return x, rest
        case _:
            return None


@pytest.mark.parametrize(
    "subject, expected",
    [
        (FrozenDict({"kind": "point", "x": [1], "y": 2}), ((1,), {"y": 2})),
        (FrozenDict({"kind": "line"}), None),
        (NULL, None),
    ],
)
def test_mapping_patterns_match_frozen_dicts(subject, expected):
    assert match_mapping(subject) == expected


def test_class_subscription_gives_generic_aliases():
    alias = FrozenDict[str, int]
    assert isinstance(alias, types.GenericAlias)
    assert (alias.__origin__, alias.__args__) == (FrozenDict, (str, int))
    assert alias({"a": 1}) == FrozenDict({"a": 1}) and type(alias({"a": 1})) is FrozenDict

    class Prices(FrozenDict[str, float]):
        pass

    assert Prices.__mro__ == (Prices, FrozenDict, object)
    assert Prices({"tea": 2.5})["tea"] == 2.5


# ---------------------------------------------------------------------------
# Namespaces


def public_names(module):
    return {name for name in vars(module) if not name.startswith("_")}


@pytest.mark.parametrize(
    "module_name, public",
    [
        ("quillet", {m.name for m in pkgutil.iter_modules(quillet.__path__) if not m.name.startswith("_")}),
        ("quillet.frozen", public_names(qf.frozen)),
        ("quillet.utils", public_names(qu.utils)),
    ],
)
def test_star_imports_bind_the_public_names_only(module_name, public):
    importlib.import_module("quillet.utils.attrs")  # binds quillet.utils.attrs, which must not leak
    namespace = {}
    exec(f"from {module_name} import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(importlib.import_module(module_name).__all__) == public


# ---------------------------------------------------------------------------
# Typed usage and README


def test_typed_usage_runs():
    typed_usage.main()


def test_readme_has_an_example_per_module():
    # pytest runs the README's sessions (--doctest-glob); this checks that each module has one.
    text = README.read_text(encoding="utf-8")
    for module in ("quillet.utils", "quillet.frozen", "quillet.text_walker", "quillet.utils.attrs"):
        session = rf"^>>> (from {re.escape(module)} import|import {re.escape(module)}$)"
        assert re.search(session, text, flags=re.M), module
