"""Holders shared between threads. Any __hash__ may release the interpreter
lock, so another thread can re-initialise or hash the same holder meanwhile.
Events inside __hash__ fix the interleaving, so each case runs the same way
every time."""

import threading

import pytest

import quillet.utils as qu
from hostile import Boom

TIMEOUT = 30


class Hook:
    """Hashes to whatever `action()` returns."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return self.action()


class Worker(threading.Thread):
    """Runs fn() and keeps its result or error; sets `done` once fn has returned."""

    def __init__(self, fn, done):
        super().__init__(daemon=True)
        self.fn, self.done, self.result, self.error = fn, done, None, None
        self.start()

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as error:  # inspected by the test
            self.error = error
        finally:
            self.done.set()


def wait(event):
    assert event.wait(TIMEOUT), "the other thread never got there"


# (build a holder around one item, re-initialise it around another); a holder
# hashes as one built around an int of its item's hash.
KINDS = {
    "values": (lambda item: qu.HashableValues([item]), lambda holder, item: holder.__init__([item])),
    "values_op": (lambda item: qu.HashableValues(None, item), lambda holder, item: holder.__init__(None, item)),
    "cache_key": (lambda item: qu.CacheKey(item, 0), lambda holder, item: holder.__init__(item, 0)),
}


# Thread A hashes the old content and waits inside it; the main thread
# re-initialises the holder and hashes the new content. Whichever finishes
# first, the hash that stays is the new content's.
@pytest.mark.parametrize(
    "a_finishes_first, a_outcome",
    [
        (True, (RuntimeError, "object re-initialised while it was being hashed")),
        (False, 2),
    ],
    ids=["a_first", "main_first"],
)
@pytest.mark.parametrize("build, reinit", KINDS.values(), ids=KINDS.keys())
def test_concurrent_reinitialisation_never_leaves_a_stale_hash(build, reinit, a_finishes_first, a_outcome):
    a_inside, release_a, a_done = threading.Event(), threading.Event(), threading.Event()

    def old_content():
        a_inside.set()
        wait(release_a)
        return 1

    def new_content():
        if a_finishes_first and not release_a.is_set():
            release_a.set()
            wait(a_done)
        return 2

    holder = build(Hook(old_content))
    a = Worker(lambda: hash(holder), a_done)
    wait(a_inside)
    reinit(holder, Hook(new_content))
    new_hash = hash(build(2))
    assert hash(holder) == new_hash
    release_a.set()
    a.join(TIMEOUT)
    if isinstance(a_outcome, tuple):
        assert isinstance(a.error, a_outcome[0]) and str(a.error) == a_outcome[1]
    else:
        assert (a.error, a.result) == (None, hash(build(a_outcome)))
    assert hash(holder) == new_hash
    if isinstance(holder, qu.CacheKey):
        assert holder in {qu.CacheKey(holder.__reduce__()[1][0], 0): "found"}


# Thread A's hasher fails while the main thread hashes the same content: the
# main thread's hash succeeds and is the one cached.
@pytest.mark.parametrize("build", [build for build, _ in KINDS.values()], ids=KINDS.keys())
def test_one_threads_failed_hash_never_fails_another(build):
    a_inside, main_inside, a_done = threading.Event(), threading.Event(), threading.Event()
    main_thread = threading.current_thread()

    def item_hash():
        if threading.current_thread() is not main_thread:
            a_inside.set()
            wait(main_inside)
            raise Boom("hash")
        if not main_inside.is_set():
            main_inside.set()
            wait(a_done)
        return 5

    holder = build(Hook(item_hash))
    a = Worker(lambda: hash(holder), a_done)
    wait(a_inside)
    assert hash(holder) == hash(build(5))
    a.join(TIMEOUT)
    assert isinstance(a.error, Boom)
    assert hash(holder) == hash(build(5))
