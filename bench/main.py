"""quillet against what users would write instead, measured side by side.

Every comparison runs quillet and its alternatives as pyperf benchmarks in the
same run (warm-ups, several worker processes), then prints a table of median
times with their standard deviation and ratios of the medians
quillet/alternative (lower is better), a scaling table over input sizes, and
writes the results as JSON, as Markdown and as a bar chart of the ratios under
bench/results/ only (tools/bench.sh --publish copies them into the docs and
the README). The median resists
the slow spells of a shared machine better than the mean.

    python bench/main.py [--quick] [--only TEXT] [--cpp-results FILE] [pyperf options]

--quick runs fewer, shorter runs in this one process (rough numbers);
--only TEXT runs the comparisons whose operation contains TEXT (no memory rows);
--cpp-results merges the rows that bench/cpp_rows.py made of the C++ benchmark.
"""

import importlib
import json
import os
import platform
import subprocess
import sys
import timeit
from dataclasses import dataclass, field
from functools import cache
from pathlib import Path

import pyperf

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import documents  # noqa: E402
import hash_quality  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import scanners  # noqa: E402
from documents import py_freeze  # noqa: E402

RESULTS = HERE / "results"
# One process: spawning a worker per run costs more than a quick run measures.
QUICK_OPTIONS = ["--in-process", "--processes", "2", "--values", "2", "--warmups", "1", "--min-time", "0.04"]
MAPPING_SIZES = (10, 1_000, 100_000, 1_000_000)
TEXT_SIZES = (1_000, 10_000, 100_000, 1_000_000, 10_000_000)
SHALLOW = "shallow: freezes nothing"


@dataclass
class Side:
    """One way of doing the operation: a statement for pyperf's timeit (run
    with the comparison's setup) or a time function taking the loop count
    and returning seconds."""

    label: str
    run: object
    target: float | None = None
    requires: tuple = ()
    note: str = ""
    section: str | None = None
    setup: str = ""


@dataclass
class Comparison:
    name: str
    quillet: object
    alternatives: list
    section: str
    setup: str = ""
    requires: tuple = ()
    family: str | None = None
    size: int | None = None
    results: dict = field(default_factory=dict)


def missing_requirement(path):
    """Why the module or attribute `path` is not there, or None when it is."""
    parts = path.split(".")
    for end in range(len(parts), 0, -1):
        try:
            found = importlib.import_module(".".join(parts[:end]))
        except ImportError as error:
            reason = f"cannot import {parts[0]}: {error}"
            continue
        for name in parts[end:]:
            if not hasattr(found, name):
                return f"{path} is absent"
            found = getattr(found, name)
        return None
    return reason


# ---------------------------------------------------------------------------
# Inputs, built once per worker process and only in the one that needs them


@cache
def flat_dict(size):
    return {f"key{i}": i for i in range(size)}


@cache
def text(size):
    return scanners.source_text(size)


@cache
def _nested_with_nones(keys=10_000, width=10):
    def build(level_keys):
        if level_keys <= width:
            return {f"k{i}": (None if i % 3 == 0 else i) for i in range(level_keys)}
        return {f"n{i}": build(level_keys // width) for i in range(width)} | {"x": None, "y": 1}

    return build(keys)


def _python_filter_out_nones(data):
    for key, value in list(data.items()):
        if value is None:
            del data[key]
        elif isinstance(value, dict):
            _python_filter_out_nones(value)
    return data


def _python_none_to_null(data):
    for key, value in data.items():
        if value is None:
            data[key] = "null"
        elif isinstance(value, dict):
            _python_none_to_null(value)
    return data


def _copy_nested(data):
    return {k: _copy_nested(v) if isinstance(v, dict) else v for k, v in data.items()}


# ---------------------------------------------------------------------------
# Time functions. Each takes zero-argument factories so that nothing is
# imported or built until a worker runs that very benchmark.


def calls(operation, argument):
    """operation()(argument()) in a loop."""

    def time_func(loops):
        operate, value = operation(), argument()
        timer = pyperf.perf_counter
        start = timer()
        for _ in range(loops):
            operate(value)
        return timer() - start

    return time_func


def per_item(make, operation):
    """operation()(item), each on a fresh item that make() builds untimed."""

    def time_func(loops):
        build, operate = make(), operation()
        total = 0.0
        timer = pyperf.perf_counter
        for _ in range(loops):
            item = build()
            start = timer()
            operate(item)
            total += timer() - start
        return total

    return time_func


def first_hash(mapping_type, size):
    return per_item(lambda: lambda: mapping_type()(flat_dict(size)), lambda: hash)


def transform(operation):
    """operation() over a fresh copy of the nested document, which it may change."""
    return per_item(lambda: lambda: _copy_nested(_nested_with_nones()), operation)


def quillet_utils(name):
    def operation():
        import quillet.utils

        return getattr(quillet.utils, name)

    return operation


def frozen_dict():
    from quillet.frozen import FrozenDict

    return FrozenDict


def quillet_freeze():
    from quillet.frozen import freeze

    return freeze


def built_in_frozendict():
    return frozendict  # noqa: F821 - 3.15 built-in


def text_walker():
    from quillet.text_walker import TextWalker

    return TextWalker


def peer(label):
    return lambda: peers.mapping(label)


def peer_sides(make_side, target=None, note=""):
    """One side per peer mapping; make_side(label) gives its run."""
    return [
        Side(label, make_side(label), target, (peers.MAPPINGS[label][0],), note, "peers") for label in peers.MAPPINGS
    ]


# ---------------------------------------------------------------------------
# The comparisons

FROZEN_SETUP = "from quillet.frozen import FrozenDict; d = {f'key{i}': i for i in range(1000)}; k = 'key500'"
DOC_SETUP = "from quillet.frozen import freeze; from documents import json_document, py_freeze; doc = json_document()"
WALKER_SETUP = (
    "from quillet.text_walker import TextWalker; "
    "from scanners import PyCursor, scan_with_bulk, scan_with_indexing, scan_with_regex, scan_with_walker, "
    "source_text; text = source_text(); walker = TextWalker(text)"
)
ATTRS_SETUP = """
from operator import is_
from typing import Protocol, runtime_checkable
from quillet.utils.attrs import attr_check
@runtime_checkable
class P(Protocol):
    a: int
    b: int
    def c(self): ...
class O:
    a = 1
    b = 2
    def c(self): return 3
o = O()
S = ('a', 'b', 'c')
a = o
b = S
"""


def peer_statements(statement, prime=""):
    """The statement on `pm`, each peer's mapping of `d`, then `prime` run in the setup."""
    return [
        Side(
            label,
            statement,
            1.0,
            (module,),
            section="peers",
            setup=f"import peers; pm = peers.mapping({label!r})(d){prime}",
        )
        for label, (module, _) in peers.MAPPINGS.items()
    ]


def frozen_dict_builds():
    rows = []
    for size in MAPPING_SIZES:
        target = 1.35 if size < 1_000_000 else None
        alternatives = [
            Side(
                "built-in frozendict(d)", calls(built_in_frozendict, lambda s=size: flat_dict(s)), target, note=SHALLOW
            )
        ]
        if size == 1_000:
            alternatives += peer_sides(lambda label: calls(peer(label), lambda: flat_dict(1_000)), 1.35, SHALLOW)
        rows.append(
            Comparison(
                f"FrozenDict(d), {report.count(size)} str->int",
                calls(frozen_dict, lambda s=size: flat_dict(s)),
                alternatives,
                "targets" if target else "scaling",
                requires=("quillet.frozen",),
                family="FrozenDict(d), str->int",
                size=size,
            )
        )
    return rows


def first_hashes():
    rows = []
    for size in MAPPING_SIZES:
        target = 0.7 if size == 1_000 else None
        alternatives = [Side("built-in frozendict", first_hash(built_in_frozendict, size), target)]
        if size == 1_000:
            alternatives += peer_sides(lambda label: first_hash(peer(label), 1_000), 1.0)
        rows.append(
            Comparison(
                f"first hash(fd), {report.count(size)} entries, build excluded",
                first_hash(frozen_dict, size),
                alternatives,
                "targets" if target else "scaling",
                requires=("quillet.frozen",),
                family="first hash(fd)",
                size=size,
            )
        )
    return rows


def mapping_setup(size):
    return (
        "import pickle; from types import MappingProxyType; from quillet.frozen import FrozenDict; "
        f"d = {{f'key{{i}}': i for i in range({size})}}; fd = FrozenDict(d); bd = frozendict(d); "
        "fd2 = FrozenDict(dict(d)); bd2 = frozendict(dict(d)); mp = MappingProxyType(d); "
        "pf = pickle.dumps(fd); pb = pickle.dumps(bd)"
    )


# (operation, quillet's statement, the built-in frozendict's, target, sizes the target holds at)
MAPPING_API = [
    ("for k in fd", "for k in fd: pass", "for k in bd: pass", 1.1, (1_000,)),
    ("for item in fd.items()", "for item in fd.items(): pass", "for item in bd.items(): pass", 1.2, (1_000,)),
    ("for k, v in fd.items()", "for k, v in fd.items(): pass", "for k, v in bd.items(): pass", 1.2, (1_000,)),
    ("FrozenDict(fd)", "FrozenDict(fd)", "frozendict(bd)", 1.1, (2, 10, 1_000, 100_000)),
    ("fd | {'c': 3}", "fd | {'c': 3}", "bd | {'c': 3}", 1.2, (2,)),
    ("pickle.loads", "pickle.loads(pf)", "pickle.loads(pb)", 1.2, (1_000,)),
    ("fd == equal fd", "fd == fd2", "bd == bd2", 1.05, (1_000,)),
]


def mapping_api():
    """The rest of the mapping API against the built-in, at the sizes with a
    target and, for its scaling, at 10 / 1 000 / 100 000 entries."""
    rows = []
    for operation, ours, theirs, target, target_sizes in MAPPING_API:
        for size in sorted({10, 1_000, 100_000, *target_sizes}):
            held = size in target_sizes
            rows.append(
                Comparison(
                    f"{operation}, {report.count(size)} entries",
                    ours,
                    [Side("built-in frozendict", theirs, target if held else None)],
                    "targets" if held else "scaling",
                    mapping_setup(size),
                    ("quillet.frozen",),
                    family=operation,
                    size=size,
                )
            )
    # dict() copies only dicts directly: every other mapping takes the keys()
    # and [] path, of which a mapping proxy is the plainest.
    for size in (10, 1_000, 100_000):
        rows.append(
            Comparison(
                f"dict(fd), {report.count(size)} entries",
                "dict(fd)",
                [
                    Side("dict(MappingProxyType(d))", "dict(mp)", 1.0 if size == 1_000 else None),
                    Side("built-in frozendict", "dict(bd)", note="for information: copied as a dict"),
                ],
                "targets" if size == 1_000 else "scaling",
                mapping_setup(size),
                ("quillet.frozen",),
                family="dict(fd)",
                size=size,
            )
        )
    return rows


def frozen_real_document(label, freezer):
    return lambda: lambda: freezer()(documents.real_document(label))


def frozen_records(mapping_type):
    return lambda: lambda: [mapping_type()(record) for record in documents.flagged_records()]


def real_documents():
    """freeze(), the first hash and == over documents that packages ship as
    data, with the collector on, as programs run (timeit turns it off); and
    a set of records made beforehand, hashed for the first time."""
    rows = [
        Comparison(
            "set() of 20 000 records with flag and small-count fields",
            per_item(frozen_records(frozen_dict), lambda: set),
            [Side("built-in frozendict", per_item(frozen_records(built_in_frozendict), lambda: set), 1.2)],
            "targets",
            requires=("quillet.frozen",),
        )
    ]
    for label, (_, module) in documents.REAL_DOCUMENTS.items():
        if not documents.real_document_available(label):
            continue
        requires = ("quillet.frozen", *([module] if module else []))
        # The collector's passes cost more with more objects alive: the
        # freeze rows keep only the document, the comparisons their copies.
        setup = (
            "import gc; from documents import py_freeze, real_document; from quillet.frozen import freeze; "
            f"doc = real_document({label!r}); gc.enable()"
        )
        copies = setup + "; a, b = freeze(doc), freeze(doc); c, d = py_freeze(doc), py_freeze(doc)"
        built_in_tree = Side("built-in frozendict tree", "c == d", 1.0)
        rows += [
            Comparison(
                f"freeze(doc), {label}, collector on",
                "freeze(doc)",
                [Side("pure-Python freeze", "py_freeze(doc)", 0.5)],
                "targets",
                setup,
                requires,
            ),
            Comparison(
                f"first hash of the frozen {label}",
                per_item(frozen_real_document(label, quillet_freeze), lambda: hash),
                [
                    Side(
                        "built-in frozendict tree",
                        per_item(frozen_real_document(label, lambda: py_freeze), lambda: hash),
                        1.0,
                    )
                ],
                "targets",
                requires=requires,
            ),
            Comparison(f"== of two frozen {label}s", "a == b", [built_in_tree], "targets", copies, requires),
        ]
    return rows


def hashed_first(make_keys):
    """Keys made by make_keys() and hashed once, so that their hashes are cached."""

    def make():
        keys = make_keys()
        for key in keys:
            hash(key)
        return keys

    return make


# (quillet's keys, the alternative's label and keys, how they are collected)
KEY_BUILDS = [
    ("CacheKey(i, j)", hash_quality.cache_keys, "tuples (i, j)", hash_quality.tuples, dict.fromkeys),
    (
        "FrozenDict({'x': i, 'y': j})",
        hash_quality.frozen_dicts,
        "built-in frozendict",
        hash_quality.built_in_frozendicts,
        set,
    ),
]


def key_builds():
    """A dict or set of grid keys made beforehand, timed for their first
    hash and again with their hashes cached, at each of KEY_COUNTS."""
    rows = []
    for label, ours, their_label, theirs, collect in KEY_BUILDS:
        for cached in (False, True):
            prepare = hashed_first if cached else lambda make: make
            family = f"{collect.__qualname__}(keys), {label} grid, {'hashes cached' if cached else 'first hash'}"
            for count in hash_quality.KEY_COUNTS:
                target = 1.3 if count == 40_000 else None
                rows.append(
                    Comparison(
                        f"{family}, {report.count(count)} keys",
                        per_item(lambda o=ours, c=count, p=prepare: p(lambda: o(c)), lambda f=collect: f),
                        [
                            Side(
                                their_label,
                                per_item(lambda t=theirs, c=count, p=prepare: p(lambda: t(c)), lambda f=collect: f),
                                target,
                            )
                        ],
                        "targets" if target else "scaling",
                        requires=("quillet.frozen",),
                        family=family,
                        size=count,
                    )
                )
    return rows


def freezes_by_size():
    return [
        Comparison(
            f"freeze(d), {report.count(size)} str->int",
            calls(quillet_freeze, lambda s=size: flat_dict(s)),
            [Side("pure-Python freeze", calls(lambda: py_freeze, lambda s=size: flat_dict(s)))],
            "scaling",
            requires=("quillet.frozen",),
            family="freeze(d), str->int",
            size=size,
        )
        for size in MAPPING_SIZES
    ]


def walker_builds():
    return [
        Comparison(
            f"TextWalker(text), {report.text_size(size)}",
            calls(text_walker, lambda s=size: text(s)),
            [Side("pure-Python cursor", calls(lambda: scanners.PyCursor, lambda s=size: text(s)))],
            "scaling",
            requires=("quillet.text_walker",),
            family="TextWalker(text)",
            size=size,
        )
        for size in TEXT_SIZES
    ]


def comparisons():
    lookup = FROZEN_SETUP + "; fd = FrozenDict(d); bd = frozendict(d)"
    return [
        *frozen_dict_builds(),
        *first_hashes(),
        *mapping_api(),
        Comparison(
            "fd[k] hit",
            "fd[k]",
            [Side("built-in frozendict", "bd[k]", 1.05), *peer_statements("pm[k]")],
            "targets",
            lookup,
            ("quillet.frozen",),
        ),
        Comparison(
            "repeated hash(fd)",
            "hash(fd)",
            [Side("built-in frozendict", "hash(bd)", 1.2), *peer_statements("hash(pm)", "; hash(pm)")],
            "targets",
            lookup + "; hash(fd); hash(bd)",
            ("quillet.frozen",),
        ),
        Comparison(
            "CacheKey(a, b)",
            "CacheKey(a, b)",
            [Side("(a, b)", "(a, b)", 1.8)],
            "targets",
            "from quillet.utils import CacheKey; a = 'user'; b = 42",
        ),
        Comparison(
            "get_cache_key(a, b)",
            "get_cache_key(a, b)",
            [Side("(a, b)", "(a, b)", 1.7)],
            "targets",
            "from quillet.utils import get_cache_key; a = 'user'; b = 42",
        ),
        Comparison(
            "attr_check(o, S) hit, 3 names",
            "attr_check(o, S)",
            [
                Side("operator.is_(a, b)", "is_(a, b)", 1.05),
                Side("isinstance(o, Protocol)", "isinstance(o, P)", 0.1),
                Side("hasattr chain", "hasattr(o, 'a') and hasattr(o, 'b') and hasattr(o, 'c')", 0.5),
            ],
            "targets",
            ATTRS_SETUP,
            ("quillet.utils.attrs",),
        ),
        Comparison(
            "scanner over 100 KB",
            "scan_with_walker(walker)",
            [
                Side("str indexing", "scan_with_indexing(text)", 1.2),
                Side("pure-Python cursor", "scan_with_walker(PyCursor(text))", 0.5),
            ],
            "targets",
            WALKER_SETUP,
            ("quillet.text_walker",),
        ),
        Comparison(
            "bulk scanner over 100 KB",
            "scan_with_bulk(walker)",
            [
                Side("str indexing", "scan_with_indexing(text)", 0.9),
                Side("re.findall", "scan_with_regex(text)", note="for information"),
            ],
            "targets",
            WALKER_SETUP,
            tuple(f"quillet.text_walker.TextWalker.{name}" for name in scanners.BULK_METHODS),
        ),
        Comparison(
            "freeze(doc), ~2 000 nodes",
            "freeze(doc)",
            [
                Side("pure-Python freeze", "py_freeze(doc)", 0.33),
                *[
                    Side(
                        label,
                        "deep_freeze(doc)",
                        1.0,
                        (module,),
                        section="peers",
                        setup=f"import peers; deep_freeze = peers.deep_freeze({label!r})",
                    )
                    for label, (module, _) in peers.DEEP_FREEZES.items()
                ],
            ],
            "targets",
            DOC_SETUP,
            ("quillet.frozen",),
        ),
        *real_documents(),
        *key_builds(),
        *freezes_by_size(),
        *walker_builds(),
        Comparison(
            "k in fd", "k in fd", [Side("built-in frozendict", "k in bd", 1.3)], "more", lookup, ("quillet.frozen",)
        ),
        # Both lookups use a prebuilt key equal to, but not the same object as, the stored one.
        Comparison(
            "d[k] with a prebuilt CacheKey",
            "dk[key]",
            [Side("d[t], prebuilt tuple", "dt[t]", 1.1)],
            "more",
            "from quillet.utils import CacheKey; key = CacheKey('user', 42); t = ('user', 42); "
            "dk = {CacheKey('user', i): i for i in range(100)}; dt = {('user', i): i for i in range(100)}",
        ),
        Comparison(
            "is_str(x)",
            "is_str(x)",
            [Side("isinstance(x, str)", "isinstance(x, str)", 1.1)],
            "more",
            "from quillet.utils import is_str; x = 'text'",
            ("quillet.utils.is_str",),
        ),
        Comparison(
            "is_int(x)",
            "is_int(x)",
            [Side("isinstance int and not bool", "isinstance(x, int) and not isinstance(x, bool)", 1.1)],
            "more",
            "from quillet.utils import is_int; x = 7",
            ("quillet.utils.is_int",),
        ),
        Comparison(
            "is_primitive(x)",
            "is_primitive(x)",
            [Side("None or isinstance tuple", "x is None or isinstance(x, (bool, int, float, str, bytes))", 0.7)],
            "more",
            "from quillet.utils import is_primitive; x = b'bytes'",
            ("quillet.utils.is_primitive",),
        ),
        Comparison(
            "filter_out_nones, 10 000 keys",
            transform(quillet_utils("filter_out_nones")),
            [Side("recursive Python", transform(lambda: _python_filter_out_nones), 0.3)],
            "more",
            requires=("quillet.utils.filter_out_nones",),
        ),
        Comparison(
            "none_to_null, 10 000 keys",
            transform(quillet_utils("none_to_null")),
            [Side("recursive Python", transform(lambda: _python_none_to_null), 0.3)],
            "more",
            requires=("quillet.utils.none_to_null",),
        ),
    ]


# ---------------------------------------------------------------------------
# Running


def run_side(runner, comparison, side):
    name = f"{comparison.name} | {side.label}"
    if isinstance(side.run, str):
        setup = "; ".join(part for part in (comparison.setup, side.setup) if part) or "pass"
        # pyperf's own timeit does not hand the benchmark back, so time the statement here.
        time_func = timeit.Timer(side.run, setup, timer=pyperf.perf_counter).timeit
    else:
        time_func = side.run
    return runner.bench_time_func(name, time_func)


def select(comparisons):
    """The comparisons and sides that can run here, and why the others cannot."""
    selected, skipped = [], []
    for comparison in comparisons:
        reasons = [r for r in map(missing_requirement, comparison.requires) if r]
        if reasons:
            skipped.append({"operation": comparison.name, "alternative": "all", "reason": "; ".join(reasons)})
            continue
        runnable = []
        for side in comparison.alternatives:
            reasons = [r for r in map(missing_requirement, side.requires) if r]
            if reasons:
                skipped.append({"operation": comparison.name, "alternative": side.label, "reason": "; ".join(reasons)})
            else:
                runnable.append(side)
        comparison.alternatives = runnable
        selected.append(comparison)
    return selected, skipped


def check_scanners():
    """Every scanner must count the same tokens, or its timing means nothing."""
    if missing_requirement("quillet.text_walker"):
        return
    from quillet.text_walker import TextWalker

    sample = scanners.source_text()
    expected = scanners.scan_with_indexing(sample)
    found = {
        "walker": scanners.scan_with_walker(TextWalker(sample)),
        "pure-Python cursor": scanners.scan_with_walker(scanners.PyCursor(sample)),
        "re.findall": scanners.scan_with_regex(sample),
    }
    if scanners.has_bulk_methods(TextWalker(sample)):
        found["bulk"] = scanners.scan_with_bulk(TextWalker(sample))
    wrong = {name: counts for name, counts in found.items() if counts != expected}
    if wrong:
        sys.exit(f"scanners disagree with str indexing {expected}: {wrong}")


def summarise(comparisons):
    rows = []
    for comparison in comparisons:
        ours = comparison.results["quillet"]
        for side in comparison.alternatives:
            theirs = comparison.results[side.label]
            rows.append(
                report.row(
                    section=side.section or comparison.section,
                    operation=comparison.name,
                    alternative=side.label,
                    quillet=ours.median(),
                    quillet_stdev=spread(ours),
                    other=theirs.median(),
                    other_stdev=spread(theirs),
                    target=side.target,
                    unit="s",
                    note=side.note,
                    # Peers are measured at one size only: they have no growth to show.
                    family=None if side.section else comparison.family,
                    size=comparison.size,
                )
            )
    return rows


def spread(bench):
    return bench.stdev() if len(bench.get_values()) > 1 else 0.0


def memory_rows():
    if missing_requirement("quillet.frozen") or missing_requirement("quillet.text_walker"):
        return []
    probe = [sys.executable, str(HERE / "memory.py"), *map(str, TEXT_SIZES)]
    return json.loads(subprocess.run(probe, capture_output=True, text=True, check=True).stdout)


def load_cpp_rows(path):
    if path is None or not Path(path).exists():
        return []
    data = json.loads(Path(path).read_text())
    return [report.row(section="C++", **row) for row in data.get("rows", [])]


def pass_only(command, args):
    """Workers must run the same selection, or the task numbers do not match."""
    if args.only is not None:
        command.extend(("--only", args.only))


def main():
    cpp_results = None
    if "--cpp-results" in sys.argv:
        index = sys.argv.index("--cpp-results")
        cpp_results = sys.argv[index + 1]
        del sys.argv[index : index + 2]
    quick = "--quick" in sys.argv
    if quick:
        # Two runs of two short values each: rough, but with a spread.
        index = sys.argv.index("--quick")
        sys.argv[index : index + 1] = QUICK_OPTIONS

    runner = pyperf.Runner(add_cmdline_args=pass_only)
    runner.argparser.add_argument(
        "--only", metavar="TEXT", help="run only the comparisons whose operation contains TEXT"
    )
    runner.metadata["description"] = "quillet against what users would write instead"
    args = runner.parse_args()
    chosen = [c for c in comparisons() if args.only is None or args.only in c.name]
    selected, skipped = select(chosen)
    worker = args.worker
    if not worker:
        check_scanners()
    for comparison in selected:
        comparison.results["quillet"] = run_side(runner, comparison, Side("quillet", comparison.quillet))
        for side in comparison.alternatives:
            comparison.results[side.label] = run_side(runner, comparison, side)

    if worker or any(bench is None for c in selected for bench in c.results.values()):
        return
    measured = memory_rows() + hash_quality.rows() if args.only is None else []
    rows = summarise(selected) + measured + load_cpp_rows(cpp_results)
    machine = {
        "python": sys.version,
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "quick": quick,
        "only": args.only,
        "peers": peers.versions(),
    }
    report.print_tables(rows, skipped)
    RESULTS.mkdir(exist_ok=True)
    suite = pyperf.BenchmarkSuite([b for c in selected for b in c.results.values()])
    suite.dump(str(RESULTS / "pyperf.json"), replace=True)
    (RESULTS / "ratios.json").write_text(json.dumps(machine | {"rows": rows, "skipped": skipped}, indent=2))
    (RESULTS / "table.md").write_text(report.markdown(rows, skipped))
    title = f"quillet / alternative, CPython {platform.python_version()}{', quick run (rough)' if quick else ''}"
    charts = [RESULTS / "ratios.png", RESULTS / "ratios.svg"]
    report.plot(rows, charts, title)
    report.plot_sections(rows, RESULTS, title)
    print(
        f"\nresults: {RESULTS / 'ratios.json'}, {RESULTS / 'pyperf.json'}, {RESULTS / 'table.md'}, "
        f"charts: {', '.join(map(str, charts))}, {RESULTS / 'ratios-section-*.svg'}"
    )


if __name__ == "__main__":
    main()
