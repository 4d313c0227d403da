"""Every public operation, with each of its first allocations failing in turn,
ends in its normal outcome or in MemoryError: never a crash, never a
SystemError (a result returned with an exception set, or an error without
one), never another error. A child interpreter runs each batch of operations,
so that a crash fails the batch instead of killing the test run.
"""

import json
import os
import subprocess
import sys

import pytest

from test_leaks import OPERATIONS

try:
    import _testcapi
except ImportError:
    _testcapi = None

LIMIT = 1000  # allocations failed per operation, at most
BATCH = 12  # operations per child


def raise_type_error():
    raise TypeError("plain")


# Operations of the interpreter alone: some interpreters (3.11 to 3.13 at
# least) end these in SystemError too, and then the check cannot tell.
INTERPRETER_ONLY = {
    "list_pop": (lambda: [].pop(5), IndexError),
    "python_raise": (raise_type_error, TypeError),
    "int_parse": (lambda: int("x"), ValueError),
}


def outcome(operation, start, stop):
    """The operation's exception, or None, with allocations start..stop-1 failing."""
    _testcapi.set_nomemory(start, stop)
    try:
        operation()
    except BaseException as error:  # judged by the caller
        _testcapi.remove_mem_hooks()
        return error
    _testcapi.remove_mem_hooks()
    return None


def is_normal(error, expected):
    return error is None if expected is None else isinstance(error, expected)


def allocations(operation, expected):
    """How many allocations the operation makes, found as the first count from
    which on failing every allocation no longer changes its outcome."""
    low, high = 0, 1
    while high < LIMIT and not is_normal(outcome(operation, high, 0), expected):
        low, high = high, high * 2
    high = min(high, LIMIT)
    while high - low > 1:
        middle = (low + high) // 2
        if is_normal(outcome(operation, middle, 0), expected):
            high = middle
        else:
            low = middle
    return high


def failing_each(name):
    """Fails each allocation of the operation in turn; returns how many failures
    ended in MemoryError and the outcomes that are faults."""
    operation, expected = {**OPERATIONS, **INTERPRETER_ONLY}[name]
    for _ in range(2):  # warm caches and free lists, which would hide allocations
        outcome(operation, LIMIT * 1000, 0)
    memory_errors, found = 0, []
    for start in range(allocations(operation, expected)):
        error = outcome(operation, start, start + 1)
        if isinstance(error, MemoryError):
            memory_errors += 1
        elif not is_normal(error, expected):
            found.append(f"{name}, allocation {start} failing: {type(error).__name__}: {error}")
    return memory_errors, found


def batches():
    names = list(OPERATIONS)
    return [names[i : i + BATCH] for i in range(0, len(names), BATCH)]


def in_child(names):
    """Runs failing_each over the names in a child interpreter: its results,
    and its faults."""
    child = subprocess.run(
        [sys.executable, "-X", "faulthandler", __file__, *names],
        cwd=os.path.dirname(__file__),
        capture_output=True,
        text=True,
        timeout=900,
        check=False,
    )
    started = [line.removeprefix("start ") for line in child.stdout.splitlines() if line.startswith("start ")]
    assert child.returncode == 0, f"child died ({child.returncode}) in {started[-1:]}:\n{child.stderr[-3000:]}"
    results = [json.loads(line) for line in child.stdout.splitlines() if line.startswith("[")]
    assert len(results) == len(names)
    assert sum(memory_errors for memory_errors, _ in results) > 0, "no allocation failed"
    return [fault for _, found in results for fault in found]


@pytest.fixture(scope="module")
def sound_interpreter():
    if _testcapi is None:
        pytest.skip("needs _testcapi")
    if faults := in_child(INTERPRETER_ONLY):
        pytest.skip(f"the interpreter itself ends failed allocations in SystemError: {faults[0]}")


@pytest.mark.parametrize("names", batches(), ids=lambda names: f"{names[0]}..{names[-1]}")
def test_failed_allocations_end_in_memory_error(sound_interpreter, names):
    assert in_child(names) == []


if __name__ == "__main__":
    for name in sys.argv[1:]:
        print("start", name, flush=True)
        print(json.dumps(failing_each(name)), flush=True)
