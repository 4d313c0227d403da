"""Shortcuts on hot paths against the general path they skip: both must give
the same answers, on either side of the condition that selects the shortcut."""

import sys
import sysconfig

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet.frozen as qf
import quillet.utils as qu
from quillet.frozen import FrozenDict

Str = type("Str", (str,), {})
Int = type("Int", (int,), {})

# Either side of one 30-bit digit (hashes read in place up to it), of the
# hash modulus 2**61 - 1, and -1, whose hash is -2.
BORDER_INTS = [0, 1, -1, -2, 2**30 - 1, 2**30, -(2**30 - 1), -(2**30), 2**61 - 2, 2**61 - 1, 2**63, -(2**64) - 1]


class Same:
    """Hashes and compares as the object it wraps, so that only the general
    path, which calls __hash__, can hash it."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __hash__(self):
        return hash(self.wrapped)

    def __eq__(self, other):
        return isinstance(other, Same) and self.wrapped == other.wrapped


def general_dict_hash(mapping):
    return hash(FrozenDict({Same(key): Same(value) for key, value in mapping.items()}))


@pytest.mark.parametrize(
    "mapping",
    [
        {n: n for n in BORDER_INTS},
        {f"k{n}": -n for n in BORDER_INTS},
        {"fresh": "".join(["not ", "hashed ", "yet"]), "".join(["also ", "fresh"]): 0},
        {True: False, 1.5: None, (1, "a"): frozenset({2}), b"raw": 2**40},
    ],
    ids=["ints", "str-keys", "uncached-str", "other-types"],
)
def test_dict_hash_matches_the_general_path(mapping):
    assert hash(FrozenDict(mapping)) == general_dict_hash(mapping)


@pytest.mark.parametrize("n", BORDER_INTS)
def test_dict_hash_same_for_exact_types_and_subclasses(n):
    # Subclasses always take the general path; exact str and int may not.
    exact = FrozenDict({"key": n, n: "value"})
    general = FrozenDict({Str("key"): Int(n), Int(n): Str("value")})
    assert hash(exact) == hash(general)


NAN = float("nan")
Recorder = type(
    "Recorder", (), {"__eq__": lambda self, other: CALLS.append(1) or NotImplemented, "__hash__": lambda self: 5}
)
RECORDER = Recorder()
CALLS = []


@pytest.mark.parametrize(
    "values, other_values, equal",
    [
        (("user", 1000), ("user", 1000), True),  # the same objects: no call at all
        (("user", 1000), ("".join(["us", "er"]), int("1000")), True),  # equal, distinct objects
        ((NAN, 1), (NAN, 1), True),  # identity wins over nan != nan, as in tuples
        ((NAN, 1), (float("nan"), 1), False),
        ((RECORDER, 1), (RECORDER, 1), True),
        ((RECORDER, 1), (Recorder(), 1), False),
        ((1, "user"), (1, "usr"), False),
    ],
)
def test_cache_key_equality_agrees_with_tuples(values, other_values, equal):
    CALLS.clear()
    assert (qu.CacheKey(*values) == qu.CacheKey(*other_values)) is equal
    key_calls = len(CALLS)
    CALLS.clear()
    assert (values == other_values) is equal
    assert key_calls == len(CALLS)


class Collider(str):
    """A str subclass whose instances all share one hash: keys of this kind
    make the general table and long probe sequences."""

    def __hash__(self):
        return 7


class Sample:
    """Instances whose attribute dict may be a split table."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def equal_copy(key):
    # A distinct object equal to the key, so that lookups cannot match by identity.
    if type(key) is str:
        return "".join(list(key) or [""]) if len(key) != 1 else key.encode().decode()
    return key


KEYS = st.one_of(
    st.text(max_size=6),
    st.text(alphabet="aé€😀", max_size=3),
    st.integers(-5, 300),
    st.builds(Collider, st.text(max_size=2)),
)
VALUES = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.floats(allow_nan=False))


@st.composite
def source_dicts(draw):
    """Dicts of every table shape the constructor reads: holes left by
    deletions, split tables, subclasses, large index tables."""
    mapping = draw(st.dictionaries(KEYS, VALUES, max_size=40))
    for key in draw(st.lists(st.sampled_from(sorted(mapping, key=repr)), max_size=5)) if mapping else []:
        mapping.pop(key, None)
    shape = draw(st.sampled_from(["dict", "split", "subclass"]))
    if shape == "split":
        return vars(Sample(**{f"a{i}": value for i, value in enumerate(mapping.values())}))
    return type("Sub", (dict,), {})(mapping) if shape == "subclass" else mapping


@settings(max_examples=300)
@given(source_dicts(), st.lists(KEYS, max_size=5))
def test_mapping_reads_agree_with_the_source_dict(source, probes):
    fd = FrozenDict(source)
    assert fd.items() == list(source.items()) and list(fd) == list(source)
    assert list(reversed(fd)) == list(reversed(source))
    assert all(fd[key] is value for key, value in source.items())
    assert hash(fd) == general_dict_hash(source)
    for key in [*source, *probes]:
        copy = equal_copy(key)
        assert (copy in fd) == (key in source)
        assert fd.get(copy, fd) is source.get(key, fd)


# The in-place reads are on wherever their version guard allows them; the
# check at import would turn them off, silently, if the layout disagreed.
IN_PLACE_READS = not sysconfig.get_config_var("Py_GIL_DISABLED") and sys.version_info[:2] < (3, 16)


@pytest.mark.parametrize("size, deleted_every", [(300, 0), (70_000, 0), (300, 4)])
def test_wide_index_tables(size, deleted_every):
    # Index tables of two and four bytes per slot; str keys whose probe
    # sequences cross deleted slots (the copy keeps the source's table).
    source = {f"key{i}": i for i in range(size)}
    deleted = [f"key{i}" for i in range(0, size, deleted_every)] if deleted_every else []
    for key in deleted:
        del source[key]
    fd = FrozenDict(source)
    assert qf._in_place_reads_enabled() is IN_PLACE_READS
    assert hash(fd) == general_dict_hash(source)
    assert all(fd[key] == value for key, value in source.items())
    assert not any(key in fd for key in [*deleted, f"key{size}"])
