"""Every public operation, and each of its error paths, run many times must not
leave references behind. Only a debug (Py_DEBUG) interpreter counts them: it
sees a reference kept to an object that stays alive anyway (an interned string,
a type, a cached singleton), which the memory-based leak tests cannot.
"""

import ctypes
import gc
import sys

import pytest

from test_leaks import CALLS, DEEP_CALLS, OPERATIONS, ROUNDS, run

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug (Py_DEBUG) interpreter")


def growth(operation, expected, calls):
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(calls):
        run(operation, expected)
    gc.collect()
    return sys.gettotalrefcount() - before


def assert_no_reference_kept(operation, expected=None, calls=CALLS):
    """Fails when every measured round grows by a reference per two calls or
    more; a leak keeps at least one per call."""
    run(operation, expected)
    growth(operation, expected, calls)
    rounds = [growth(operation, expected, calls) for _ in range(ROUNDS)]
    assert min(rounds) < calls // 2, f"references grew every round: {rounds}"


@pytest.mark.parametrize("operation, expected", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_operation_keeps_no_reference(operation, expected):
    assert_no_reference_kept(operation, expected, DEEP_CALLS if expected is RecursionError else CALLS)


def test_the_check_sees_a_kept_reference():
    kept = object()  # not immortal: its count really moves
    increfs = 0

    def keep():
        nonlocal increfs
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(kept))
        increfs += 1

    try:
        with pytest.raises(AssertionError, match="grew every round"):
            assert_no_reference_kept(keep)
    finally:
        for _ in range(increfs):
            ctypes.pythonapi.Py_DecRef(ctypes.py_object(kept))
