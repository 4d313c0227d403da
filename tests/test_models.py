"""Random operation sequences checked against pure-Python models: FrozenDict
against a dict, the attrs cache against its filing rules, and
HashableValues.new/combine against a holder of all their parts' items.
"""

import pytest
from hypothesis import event, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, invariant, multiple, precondition, rule

import quillet.frozen as qf
import quillet.utils as qu
from quillet.utils import attrs

FrozenDict, freeze = qf.FrozenDict, qf.freeze
HashableValues = qu.HashableValues
MACHINE_SETTINGS = settings(max_examples=150, stateful_step_count=40, deadline=None)

# --- FrozenDict against a dict --------------------------------------------------------------------------------

# Keys include values that are equal across types (1, 1.0, True) and hashes
# that collide (-1 and -2 both hash to -2).
KEYS = st.one_of(st.text(max_size=3), st.integers(-3, 3), st.sampled_from([None, True, 1.0, -1.0, (1, 2), ()]))
VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text(max_size=3) | st.frozensets(st.integers(0, 3), max_size=3),
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.tuples(inner, inner)
        | st.sets(st.integers(0, 3), max_size=3)
        | st.dictionaries(st.text(max_size=2), inner, max_size=3)
    ),
    max_leaves=8,
)


def frozen_model(value):
    """What freezing makes of a value, with mappings kept as plain dicts."""
    if isinstance(value, dict):
        return {k: frozen_model(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return tuple(frozen_model(v) for v in value)
    if isinstance(value, set):
        return frozenset(value)
    return value


def thawed(value):
    """A stored value with every FrozenDict turned back into a dict, read through items()."""
    if isinstance(value, FrozenDict):
        return {k: thawed(v) for k, v in value.items()}
    if isinstance(value, tuple):
        return tuple(thawed(v) for v in value)
    return value


class Entry:
    """A FrozenDict and the dict it should behave like."""

    def __init__(self, fd, model):
        self.fd, self.model = fd, model


class FrozenDictMachine(RuleBasedStateMachine):
    entries = Bundle("entries")

    @rule(target=entries, data=st.dictionaries(KEYS, VALUES, max_size=6))
    def from_dict(self, data):
        return Entry(FrozenDict(data), {k: frozen_model(v) for k, v in data.items()})

    @rule(target=entries, pairs=st.lists(st.tuples(KEYS, VALUES), max_size=6))
    def from_pairs(self, pairs):
        model = {}
        for k, v in pairs:
            model[k] = frozen_model(v)  # later pairs win; the first occurrence keeps its place
        return Entry(FrozenDict(pairs), model)

    @rule(target=entries, entry=entries)
    def from_items_of_another(self, entry):
        return Entry(FrozenDict(entry.fd.items()), dict(entry.model))

    @rule(target=entries, entry=entries)
    def nested(self, entry):
        inner = FrozenDict(entry.fd.items())
        return Entry(freeze({"inner": inner, "list": [inner]}), {"inner": entry.model, "list": (entry.model,)})

    @rule(entry=entries, data=st.dictionaries(KEYS, VALUES, max_size=4))
    def reinitialising_changes_nothing(self, entry, data):
        entry.fd.__init__(data)

    @rule(target=entries, a=entries, b=entries)
    def union(self, a, b):
        return Entry(a.fd | b.fd, {**a.model, **b.model})

    @rule(target=entries, entry=entries)
    def from_another(self, entry):
        return Entry(FrozenDict(entry.fd), dict(entry.model))

    @rule(entry=entries, key=KEYS)
    def lookup(self, entry, key):
        fd, model = entry.fd, entry.model
        assert (key in fd) is (key in model)
        assert thawed(fd.get(key, "absent")) == model.get(key, "absent")
        if key in model:
            assert thawed(fd[key]) == model[key]
        else:
            with pytest.raises(KeyError):
                fd[key]

    @rule(entry=entries)
    def reads(self, entry):
        fd, model = entry.fd, entry.model
        assert fd.keys() == list(model) == list(fd)
        assert [thawed(v) for v in fd.values()] == list(model.values())
        assert [(k, thawed(v)) for k, v in fd.items()] == list(model.items())
        assert len(fd) == fd.data_size == len(model) and bool(fd) is bool(model)
        assert thawed(eval(repr(fd), {"FrozenDict": FrozenDict, "frozenset": frozenset})) == model

    @rule(entry=entries)
    def hash_ignores_the_order(self, entry):
        backwards = FrozenDict(reversed(entry.fd.items()))
        assert hash(entry.fd) == entry.fd.get_hash() == hash(backwards)

    @rule(a=entries, b=entries)
    def equality(self, a, b):
        equal = a.model == b.model
        assert (a.fd == b.fd) is equal and (a.fd != b.fd) is (not equal)
        if equal:
            assert hash(a.fd) == hash(b.fd)

    @rule(
        entry=entries,
        mutate=st.sampled_from(
            [
                lambda fd: fd.__setitem__("k", 1),
                lambda fd: fd.__delitem__("k"),
                lambda fd: fd.update(k=1),
                lambda fd: fd.pop("k"),
                lambda fd: fd.popitem(),
                lambda fd: fd.clear(),
                lambda fd: fd.setdefault("k"),
            ]
        ),
    )
    def mutation_is_refused(self, entry, mutate):
        with pytest.raises(TypeError, match=r"^Cannot modify immutable type"):
            mutate(entry.fd)
        assert freeze(entry.fd) is entry.fd

    @rule(entry=entries)
    def views_are_private(self, entry):
        keys = entry.fd.keys()
        keys.append("extra")
        items = entry.fd.items()
        items.clear()
        assert entry.fd.keys() == list(entry.model) and len(entry.fd.items()) == len(entry.model)


TestFrozenDictModel = FrozenDictMachine.TestCase
TestFrozenDictModel.settings = MACHINE_SETTINGS


# --- the attrs cache against its rules ------------------------------------------------------------------------


class Meta(type):
    pass


def distinct(*names):
    items = list(names)  # tuple() of a tuple would hand back the same object
    return tuple(items)


# Fixed objects, so that their identities (the cache's keys) stay put across examples.
CLASSES = [Meta(f"C{i}", (), {}) if i % 3 == 0 else type(f"C{i}", (), {}) for i in range(10)]
# Equal but distinct tuples are different keys.
SHAPES = [("a",), distinct("a"), ("b",), ("a", "b"), distinct("a", "b"), ("b", "a"), (), ("c", "a"), distinct("c")]
NAMES = ["a", "b", "c"]


class AttrsCacheMachine(RuleBasedStateMachine):
    """The model: (type, shape) pairs by identity, a class's own answer apart
    from its instances', in filing order, at most 64, answered once by real
    lookups and never again until cache_clear()."""

    def __init__(self):
        super().__init__()
        attrs.cache_clear()
        self.cache = {}
        for cls in CLASSES:
            for name in NAMES:
                if name in vars(cls):
                    delattr(cls, name)

    def answer(self, key, target, shape):
        found = (id(key[0]), id(key[1]), key[2])
        if found in self.cache:
            return self.cache[found]
        result = all(hasattr(target, name) for name in shape)
        if len(self.cache) < 64:
            self.cache[found] = result
        else:
            event("cache full")
        return result

    @rule(cls=st.sampled_from(CLASSES), shape=st.sampled_from(SHAPES), own=st.sets(st.sampled_from(NAMES)))
    def check_instance(self, cls, shape, own):
        obj = cls()
        for name in own:
            setattr(obj, name, 1)
        assert attrs.attr_check(obj, shape) is self.answer((cls, shape, False), obj, shape)

    @rule(cls=st.sampled_from(CLASSES), shape=st.sampled_from(SHAPES))
    def check_type(self, cls, shape):
        assert attrs.type_attr_check(cls, shape) is self.answer((cls, shape, False), cls, shape)

    @rule(cls=st.sampled_from(CLASSES), shape=st.sampled_from(SHAPES))
    def check_class_as_object(self, cls, shape):
        # A class answers for itself, apart from the entry its instances and type_attr_check share.
        assert attrs.attr_check(cls, shape) is self.answer((cls, shape, True), cls, shape)

    @rule(pairs=st.lists(st.tuples(st.sampled_from(CLASSES), st.sampled_from(SHAPES)), min_size=10, max_size=60))
    def check_many_types(self, pairs):
        # Enough distinct pairs to fill the 64 places now and then.
        for cls, shape in pairs:
            assert attrs.type_attr_check(cls, shape) is self.answer((cls, shape, False), cls, shape)

    @rule(cls=st.sampled_from(CLASSES), name=st.sampled_from(NAMES))
    def toggle_class_attribute(self, cls, name):
        if name in vars(cls):
            delattr(cls, name)
        else:
            setattr(cls, name, None)

    @precondition(lambda self: self.cache)
    @rule()
    def clear(self):
        assert attrs.cache_clear() is None
        self.cache.clear()

    @invariant()
    def size(self):
        assert attrs.cache_size() == len(self.cache)

    def teardown(self):
        attrs.cache_clear()


TestAttrsCacheModel = AttrsCacheMachine.TestCase
TestAttrsCacheModel.settings = settings(MACHINE_SETTINGS, stateful_step_count=100)


# --- HashableValues.new/combine against a holder of all their items --------------------------------------------

# Small integers hash to themselves (-1 to -2), equal items are common.
ITEMS = st.one_of(
    st.sampled_from([-2, -1, 0, 1, 2, 3]), st.integers(), st.text(max_size=2), st.tuples(st.integers(-2, 2))
)


class Holder:
    """A holder, the list it was built over, and what the model knows of it:
    the items it hashes as (op counted as one more), once it was hashed."""

    def __init__(self, holder, items, op, length, cacheable, hashed_items=None):
        self.holder, self.items, self.op = holder, items, op
        self.length, self.cacheable, self.hashed_items = length, cacheable, hashed_items

    def items_hashed(self):
        # Taken once, from the list as it is at the first hash().
        if self.hashed_items is None:
            self.hashed_items = [*(self.items or ()), *([self.op] if self.op is not None else [])]
        return self.hashed_items

    def expected_hash(self):
        return hash(HashableValues(list(self.items_hashed())))


class Sub(HashableValues):
    pass


class HashableValuesMachine(RuleBasedStateMachine):
    holders = Bundle("holders")

    @rule(
        target=holders,
        cls=st.sampled_from([HashableValues, Sub]),
        items=st.none() | st.lists(ITEMS, max_size=5),
        op=st.none() | ITEMS,
        cacheable=st.booleans(),
    )
    def build(self, cls, items, op, cacheable):
        holder = cls(items, op, cacheable)
        return Holder(holder, items, op, len(items or ()) + (op is not None), cacheable)

    @rule(target=holders, item=st.sampled_from([-2, -1, 1, 2]))
    def build_one_small(self, item):
        # Holders hashing to -2, 1 and 2 combine to -1 often enough.
        items = [item]
        return Holder(HashableValues(items), items, None, 1, False)

    @rule(entry=holders, item=ITEMS)
    def append_to_its_list(self, entry, item):
        if entry.items is not None:
            entry.items.append(item)  # changes the hash if not taken yet, never the length

    @rule(
        target=holders,
        a=holders,
        b=st.none() | holders,
        cacheable=st.booleans(),
        how=st.sampled_from(["new", "combine", "combine_default"]),
    )
    def merge(self, a, b, cacheable, how):
        other = None if b is None else b.holder
        if how != "new" and b is not None and not isinstance(other, type(a.holder)):
            with pytest.raises(TypeError, match=r"^item2 must be a HashableValues or None$"):
                a.holder.combine(other)
            return multiple()
        if how == "new":
            result = HashableValues.new(a.holder, None if b is None else b.holder, cacheable)
        elif how == "combine":
            result = a.holder.combine(None if b is None else b.holder, cacheable=cacheable)
        else:
            result, cacheable = a.holder.combine(None if b is None else b.holder), False
        parts = [a] if b is None else [a, b]
        assert type(result) is (HashableValues if how == "new" else type(a.holder))
        items = [item for p in parts for item in p.items_hashed()]
        merged = Holder(result, None, None, sum(p.length for p in parts), cacheable, items)
        assert hash(result) == merged.expected_hash()
        return merged

    @rule(a=holders, b=holders)
    def new_on_the_subclass_checks_the_items(self, a, b):
        if isinstance(a.holder, Sub) and isinstance(b.holder, Sub):
            result = Sub.new(a.holder, b.holder)
            assert type(result) is Sub and len(result) == a.length + b.length
            assert hash(result) == hash(HashableValues(a.items_hashed() + b.items_hashed()))
        elif not isinstance(a.holder, Sub):
            with pytest.raises(TypeError, match=r"^item1 must be a HashableValues$"):
                Sub.new(a.holder, b.holder)
        else:
            with pytest.raises(TypeError, match=r"^item2 must be a HashableValues or None$"):
                Sub.new(a.holder, b.holder)

    @rule(entry=holders)
    def answers(self, entry):
        h = entry.holder
        assert hash(h) == entry.expected_hash() and len(h) == entry.length
        assert bool(h) is (entry.length > 0) and h.cacheable is entry.cacheable and h.__frozen__ is True

    @rule(entry=holders, items=st.lists(ITEMS, max_size=3))
    def reinitialise(self, entry, items):
        entry.holder.__init__(items)
        entry.items, entry.op, entry.length, entry.cacheable, entry.hashed_items = items, None, len(items), False, None


TestHashableValuesModel = HashableValuesMachine.TestCase
TestHashableValuesModel.settings = MACHINE_SETTINGS
