"""Module lifecycle: inits that run again, module objects that die while others
live, sub-interpreters. Each scenario runs in a fresh interpreter, since it
changes what the process has imported."""

import subprocess
import sys
import textwrap

import pytest

# Run after every scenario, once what it dropped is collected: the state that
# a dead module object or a failed or repeated init could have released or
# overwritten is whole.
CHECK = """
import gc, pathlib, pickle
import quillet.frozen as qf
import quillet.utils as qu
from quillet.text_walker import TextWalker
from quillet.utils import attrs

gc.collect()
class Slotted:
    __slots__ = ()
assert qu.has_slots(Slotted()) is True and qu.has_slots(1) is False
assert qu.null_to_none({"a": "null"}) == {"a": None}
assert qu.CacheKey(1, 2) == qu.get_cache_key(1, 2)
assert qu.NOT_CACHEABLE.cacheable is False and hash(qu.NOT_CACHEABLE) == 0
assert isinstance(qu.CacheKey(1, 2), qu.BasicHashable)
assert qf.FrozenDict({"a": 1}) == qf.FrozenDict({"a": 1})
assert isinstance(qf.freeze(qu.CacheKey(1, 2)), qu.CacheKey)
assert qf.freeze({"a": [1]}) == qf.FrozenDict({"a": (1,)})
assert pickle.loads(pickle.dumps(qf.NULL_FROZEN_DICT)) is qf.NULL_FROZEN_DICT
assert dict(qf.NULL_FROZEN_DICT) == {qf.NULL_KEY: None}
walker = TextWalker("ab")
walker.tick()
assert walker.current == "b"
assert attrs.attr_check(Slotted(), ("__slots__",)) is True
attrs.cache_clear()  # an entry left at exit reads as a leak to LeakSanitizer
"""

# The path class is the one of the interpreter that first imported the module,
# so only the main interpreter can check it.
MAIN_CHECK = """
assert qu.is_path_type(pathlib.Path()) is True
print("whole")
"""

# Loads an extension file of the package again under a new name, which makes
# the interpreter run its init once more.
LOAD_COPY = """
import importlib.machinery, importlib.util, os
PACKAGE = importlib.util.find_spec("quillet").submodule_search_locations[0]
EXTENSIONS = ("utils/utils", "frozen/frozen", "text_walker", "utils/attrs")
def load_copy(extension):
    path = os.path.join(PACKAGE, extension + importlib.machinery.EXTENSION_SUFFIXES[0])
    location = importlib.util.spec_from_file_location("copy." + os.path.basename(extension), path)
    return importlib.util.module_from_spec(location)
"""

# Sub-interpreters that race to be the first to import: isolated ones where
# the interpreter has them, which refuse every single-phase module; else the
# older module's, which share the lock and may import only what the main
# interpreter has imported. Either way each import is refused cleanly.
RACE = """
import threading
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
    create = interpreters.create
    def run(interp, code):
        interpreters.run_string(interp, code)
else:
    create = lambda: interpreters.create("isolated")
    def run(interp, code):
        failure = interpreters.exec(interp, code)
        assert failure is None, failure.formatted
IMPORT_ALL = '''
for name in ("quillet.utils", "quillet.frozen", "quillet.text_walker"):
    try:
        __import__(name)
    except ImportError as error:
        assert "subinterpreter" in str(error), error
    else:
        raise AssertionError(name + " imported")
'''
interps = [create() for _ in range(4)]
start = threading.Barrier(len(interps))
failures = []
def race(interp):
    start.wait()
    try:
        run(interp, IMPORT_ALL)
    except BaseException as error:
        failures.append(error)
threads = [threading.Thread(target=race, args=(interp,)) for interp in interps]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
for interp in interps:
    interpreters.destroy(interp)
assert not failures, failures
"""

SCENARIOS = {
    "submodules_as_package_attributes": (
        """
        import quillet, sys
        assert "quillet.frozen" not in sys.modules
        assert quillet.frozen.FrozenDict({"a": [1]})["a"] == (1,) and quillet.utils.is_str("x")
        assert quillet.text_walker.TextWalker("a").current == "a" and "quillet.frozen" in sys.modules
        try:
            quillet.missing
        except AttributeError as error:
            assert "'missing'" in str(error), error
        else:
            raise AssertionError("quillet.missing was found")
    """,
    ),
    "retry_after_failed_import": (
        """
        import pathlib
        real_path = pathlib.Path
        del pathlib.Path
        for name in ("quillet.utils", "quillet.frozen"):
            try:
                __import__(name)
            except AttributeError:
                pass
            else:
                raise AssertionError(name + " imported without pathlib.Path")
        pathlib.Path = real_path
        import quillet.frozen
    """,
    ),
    "extension_loaded_again_then_dropped": (
        LOAD_COPY,
        """
        import gc, quillet.frozen, quillet.text_walker, quillet.utils.attrs
        copies = [load_copy(extension) for extension in EXTENSIONS]
        assert copies[0].CacheKey is quillet.utils.CacheKey
        assert copies[1].FrozenDict is quillet.frozen.FrozenDict
        assert copies[1].NULL_FROZEN_DICT is quillet.frozen.NULL_FROZEN_DICT
        assert copies[2].TextWalker is quillet.text_walker.TextWalker
        del copies
        gc.collect()
    """,
    ),
    "subinterpreters_race_to_import_first": (RACE,),
    # A legacy sub-interpreter (shared lock, main allocator) imports and uses
    # the modules, before the main interpreter does (the interpreter either
    # runs the init in the main one or the import is refused) and after.
    "legacy_subinterpreter": (
        """
        import _testcapi
        FIRST = f'''
        try:
            import quillet.frozen
        except ImportError as error:
            assert "main interpreter" in str(error), error
        else:
            exec({CHECK!r})
        '''
        assert _testcapi.run_in_subinterp(FIRST) == 0
        import quillet.frozen, quillet.text_walker
        assert _testcapi.run_in_subinterp(CHECK) == 0
    """,
    ),
}


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_state_survives(scenario):
    if scenario == "legacy_subinterpreter":
        pytest.importorskip("_testcapi")
    parts = (f"CHECK = {CHECK!r}", *SCENARIOS[scenario], CHECK, MAIN_CHECK)
    script = "\n".join(textwrap.dedent(part) for part in parts)
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", script], capture_output=True, text=True, check=False
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1:] == ["whole"], result.stdout
