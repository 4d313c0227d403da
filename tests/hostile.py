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
