"""Hostile objects shared by the test modules."""

import gc
import weakref


class Boom(Exception):
    """Raised by the hostile objects below, so tests can tell it from anything else."""


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class HashingAs:
    """A plain object with the given hash: a holder of any object with that
    hash must hash as a holder of this one."""

    def __init__(self, value):
        self.value = value

    def __hash__(self):
        return self.value


class RaisingEq:
    """Hashes like 1 but refuses to be compared."""

    def __hash__(self):
        return 1

    def __eq__(self, other):
        raise Boom("eq")


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


class ClassRaises:
    """An object whose __class__ lookup raises (isinstance consults it)."""

    @property
    def __class__(self):
        raise Boom("class")


class ClassHook:
    """An object whose __class__ lookup first runs `hook()`: code that runs in
    the middle of an isinstance() test."""

    def __init__(self, hook):
        self._hook = hook

    @property
    def __class__(self):
        self._hook()
        return ClassHook


def class_claiming(cls):
    """An instance of a fresh class whose __class__ claims to be `cls`."""

    class Impostor:
        @property
        def __class__(self):
            return cls

    return Impostor()


class Witness:
    """A weakref-able object to put inside a reference cycle."""


def collected(make_cycle):
    """True if the cycle built by make_cycle(witness) is freed by the GC.

    make_cycle receives a Witness, must weave it into a reference cycle and
    drop every outside reference to the cycle before returning.
    """
    witness = Witness()
    ref = weakref.ref(witness)
    make_cycle(witness)
    del witness
    gc.collect()
    return ref() is None


class ArmedKey:
    """A dict key that behaves until armed, then runs `action` on its next hash.

    The action may mutate the dict the key lives in or raise, so code that
    stores or deletes under the key runs arbitrary code at that point.
    """

    def __init__(self, name):
        self.name = name
        self.action = None

    def __hash__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, ArmedKey) and other.name == self.name

    def __repr__(self):
        return f"ArmedKey({self.name!r})"


def raise_boom(what="armed"):
    raise Boom(what)


def run_with_small_stack(fn, stack_size=4 << 20):
    """Runs fn() in a thread with a small native stack; returns its result or re-raises.

    Recursion that is not guarded overflows such a stack and kills the process.
    """
    import threading

    outcome = {}

    def target():
        try:
            outcome["value"] = fn()
        except BaseException as exc:  # handed back to the caller
            outcome["error"] = exc

    old = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=target)
        thread.start()
    finally:
        threading.stack_size(old)
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


class RaisingLen:
    """No __bool__, so the truth test asks __len__, which refuses."""

    def __len__(self):
        raise Boom("len")


class RaisingIter:
    def __iter__(self):
        raise Boom("iter")


class RaisingGetattr:
    """Every attribute the class does not have raises instead of AttributeError."""

    def __getattr__(self, name):
        raise Boom("getattr " + name)


class RaisingGetattribute:
    """Every attribute lookup on the instance raises, __class__ included."""

    def __getattribute__(self, name):
        raise Boom("getattribute " + name)


# What a subclass of a built-in container may override. Code that reads the
# container's own storage never calls any of them.
OVERRIDABLE = [
    "__iter__",
    "__len__",
    "__getitem__",
    "__setitem__",
    "__delitem__",
    "__contains__",
    "__eq__",
    "__ne__",
    "__hash__",
    "__bool__",
    "__reversed__",
    "keys",
    "values",
    "items",
    "get",
    "pop",
    "popitem",
    "update",
    "setdefault",
    "clear",
    "copy",
    "append",
    "extend",
    "insert",
    "remove",
    "index",
    "count",
    "sort",
    "add",
    "discard",
    "__lt__",
    "__le__",
    "__gt__",
    "__ge__",
    "__add__",
    "__mul__",
    "__iadd__",
    "__format__",
    "__str__",
    "split",
    "join",
    "startswith",
    "encode",
    "strip",
    "lower",
    "upper",
    "replace",
    "find",
]


def overriding_everything(base):
    """A subclass of `base` whose container, comparison and str methods all raise Boom."""

    def refuse(name):
        def method(self, *args, **kwargs):
            raise Boom(name)

        return method

    namespace = {name: refuse(name) for name in OVERRIDABLE if hasattr(base, name)}
    return type("Hostile" + base.__name__.capitalize(), (base,), namespace)


HostileDict = overriding_everything(dict)
HostileList = overriding_everything(list)
HostileTuple = overriding_everything(tuple)
HostileStr = overriding_everything(str)
HostileSet = overriding_everything(set)


def hostile_dict(content):
    d = HostileDict()
    dict.update(d, content)
    return d


def hostile_list(content):
    items = HostileList()
    list.extend(items, content)
    return items


def hostile_set(content):
    members = HostileSet()
    set.update(members, content)
    return members


# Every single-argument predicate of quillet.utils.
PREDICATES = [
    "is_none",
    "is_bool",
    "is_int",
    "is_float",
    "is_str",
    "is_bytes",
    "is_dict",
    "is_list",
    "is_tuple",
    "is_set",
    "is_type",
    "is_primitive",
    "is_collection",
    "is_mapping",
    "is_object",
    "is_path_type",
    "path_exists",
    "is_truthy",
    "is_falsy",
    "has_nested_dicts",
    "has_hook",
    "is_container",
    "is_resource",
    "has_service_name",
    "has_dict",
    "has_slots",
    "has_shutdown",
]
