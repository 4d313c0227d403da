"""Hostile objects shared by the test modules."""

import gc
import weakref


class Boom(Exception):
    """Raised by the hostile objects below, so tests can tell it from anything else."""


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


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
