"""quillet against what users would write instead, measured side by side.

Every comparison runs quillet and its alternatives as pyperf benchmarks in the
same run (warm-ups, several worker processes), then prints a table of median
times with their standard deviation and ratios of the medians
quillet/alternative (lower is better), and writes the results as JSON, as a
Markdown table and as a bar chart of the ratios under bench/results/. The
median resists the slow spells of a shared machine better than the mean.

    python bench/main.py [--quick] [--cpp-results FILE] [pyperf options]

--quick runs fewer, shorter worker processes (rough numbers in about a minute);
--cpp-results merges the rows that bench/cpp_rows.py made of the C++ benchmark.
"""

import json
import os
import platform
import sys
import timeit
import tracemalloc
from dataclasses import dataclass, field
from pathlib import Path

import pyperf

RESULTS = Path(__file__).resolve().parent / "results"
QUICK_OPTIONS = ["--processes", "2", "--values", "2", "--warmups", "1", "--min-time", "0.04"]


@dataclass
class Comparison:
    """quillet's operation against one or more alternatives.

    Each side is a statement for pyperf's timeit (run with `setup`), or a
    callable time function taking the loop count and returning seconds.
    """

    name: str
    quillet: object
    alternatives: dict
    target: float
    setup: str = ""
    requires: tuple = ()
    results: dict = field(default_factory=dict)


def available(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------------------
# Time functions for operations that consume their input

def _timed_per_item(make, operate):
    def time_func(loops):
        total = 0.0
        timer = pyperf.perf_counter
        for _ in range(loops):
            item = make()
            start = timer()
            operate(item)
            total += timer() - start
        return total

    return time_func


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


def _first_hash(make_mapping):
    base = {f"key{i}": i for i in range(1000)}
    return _timed_per_item(lambda: make_mapping(base), hash)


# ---------------------------------------------------------------------------
# The comparisons

FLAT_DICT = "d = {f'key{i}': i for i in range(1000)}; k = 'key500'"
FROZEN_SETUP = "from quillet.frozen import FrozenDict, freeze; " + FLAT_DICT
DOC_SETUP = "from quillet.frozen import freeze; from documents import json_document, py_freeze; doc = json_document()"
WALKER_SETUP = (
    "from quillet.text_walker import TextWalker; "
    "from scanners import PyCursor, scan_with_indexing, scan_with_walker, source_text; "
    "text = source_text(); walker = TextWalker(text)"
)
ATTRS_SETUP = """
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
"""


def comparisons():
    nested = _nested_with_nones()
    return [
        Comparison("FrozenDict(d), 1 000 str->int", "FrozenDict(d)", {"frozendict(d)": "frozendict(d)"},
                   3.0, FROZEN_SETUP, ("quillet.frozen",)),
        Comparison("fd[k] hit", "fd[k]", {"frozendict": "bd[k]"}, 1.3,
                   FROZEN_SETUP + "; fd = FrozenDict(d); bd = frozendict(d)", ("quillet.frozen",)),
        Comparison("k in fd", "k in fd", {"frozendict": "k in bd"}, 1.3,
                   FROZEN_SETUP + "; fd = FrozenDict(d); bd = frozendict(d)", ("quillet.frozen",)),
        Comparison("repeated hash(fd)", "hash(fd)", {"frozendict": "hash(bd)"}, 1.2,
                   FROZEN_SETUP + "; fd = FrozenDict(d); bd = frozendict(d); hash(fd); hash(bd)",
                   ("quillet.frozen",)),
        Comparison("first hash(fd), 1 000 entries", ("first_hash", "FrozenDict"),
                   {"frozendict": ("first_hash", "frozendict")}, 1.5, requires=("quillet.frozen",)),
        Comparison("freeze(doc), ~2 000 nodes", "freeze(doc)", {"pure-Python freeze": "py_freeze(doc)"}, 0.33,
                   DOC_SETUP, ("quillet.frozen",)),
        Comparison("get_cache_key(a, b)", "get_cache_key(a, b)", {"(a, b)": "(a, b)"}, 3.0,
                   "from quillet.utils import get_cache_key; a = 'user'; b = 42"),
        # Both lookups use a prebuilt key equal to, but not the same object as, the stored one.
        Comparison("d[k] with a prebuilt CacheKey", "dk[key]", {"d[t], prebuilt tuple": "dt[t]"}, 1.1,
                   "from quillet.utils import CacheKey; key = CacheKey('user', 42); t = ('user', 42); "
                   "dk = {CacheKey('user', i): i for i in range(100)}; dt = {('user', i): i for i in range(100)}"),
        Comparison("is_str(x)", "is_str(x)", {"isinstance(x, str)": "isinstance(x, str)"}, 1.1,
                   "from quillet.utils import is_str; x = 'text'", ("quillet.utils.is_str",)),
        Comparison("is_int(x)", "is_int(x)",
                   {"isinstance int and not bool": "isinstance(x, int) and not isinstance(x, bool)"}, 1.1,
                   "from quillet.utils import is_int; x = 7", ("quillet.utils.is_int",)),
        Comparison("is_primitive(x)", "is_primitive(x)",
                   {"None or isinstance tuple": "x is None or isinstance(x, (bool, int, float, str, bytes))"},
                   0.7, "from quillet.utils import is_primitive; x = b'bytes'", ("quillet.utils.is_primitive",)),
        Comparison("attr_check(o, S) hit, 3 names", "attr_check(o, S)",
                   {"isinstance(o, Protocol)": "isinstance(o, P)",
                    "hasattr chain": "hasattr(o, 'a') and hasattr(o, 'b') and hasattr(o, 'c')"},
                   0.1, ATTRS_SETUP, ("quillet.utils.attrs",)),
        Comparison("scanner over 100 KB", "scan_with_walker(walker)",
                   {"pure-Python cursor": "scan_with_walker(PyCursor(text))",
                    "str indexing": "scan_with_indexing(text)"},
                   0.5, WALKER_SETUP, ("quillet.text_walker",)),
        Comparison("filter_out_nones, 10 000 keys", ("filter_out_nones", nested),
                   {"recursive Python": ("py_filter_out_nones", nested)}, 0.3,
                   requires=("quillet.utils.filter_out_nones",)),
        Comparison("none_to_null, 10 000 keys", ("none_to_null", nested),
                   {"recursive Python": ("py_none_to_null", nested)}, 0.3,
                   requires=("quillet.utils.none_to_null",)),
    ]


# Per-target ratio goals that differ from the comparison's first target.
SECONDARY_TARGETS = {
    ("attr_check(o, S) hit, 3 names", "hasattr chain"): 0.5,
    ("scanner over 100 KB", "str indexing"): 1.5,
}


def requirement_met(requirement):
    module, _, attribute = requirement.rpartition(".")
    if attribute and available(module) and not available(requirement):
        return hasattr(sys.modules[module], attribute)
    return available(requirement)


def time_function(side):
    """The time function for a side given as an (operation, input) pair."""
    operation, data = side
    if operation == "first_hash":
        from quillet.frozen import FrozenDict

        return _first_hash({"FrozenDict": FrozenDict, "frozendict": frozendict}[data])  # noqa: F821 - 3.15 built-in
    import quillet.utils

    operations = {
        "filter_out_nones": quillet.utils.filter_out_nones,
        "none_to_null": quillet.utils.none_to_null,
        "py_filter_out_nones": _python_filter_out_nones,
        "py_none_to_null": _python_none_to_null,
    }
    return _timed_per_item(lambda: _copy_nested(data), operations[operation])


def run_side(runner, comparison, label, side):
    name = f"{comparison.name} | {label}"
    if isinstance(side, str):
        # pyperf's own timeit does not hand the benchmark back, so time the statement here.
        time_func = timeit.Timer(side, comparison.setup or "pass", timer=pyperf.perf_counter).timeit
    else:
        time_func = time_function(side)
    return runner.bench_time_func(name, time_func)


# ---------------------------------------------------------------------------
# Memory

def memory_comparison():
    from quillet.frozen import FrozenDict

    # Keys and values are shared with the sources and the list is made
    # before tracing starts, so only the mappings themselves are counted.
    def traced(make):
        objects = [None] * len(sources)
        tracemalloc.start()
        for i, source in enumerate(sources):
            objects[i] = make(source)
        size = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        return size

    sources = [{f"key{j}": i * 10 + j for j in range(10)} for i in range(1000)]
    ours = traced(FrozenDict)
    theirs = traced(frozendict)  # noqa: F821 - 3.15 built-in
    return ours, theirs


# ---------------------------------------------------------------------------
# Report

def format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def summarise(comparisons, memory, cpp_rows):
    rows = []
    for comparison in comparisons:
        ours = comparison.results.get("quillet")
        if ours is None:
            continue
        for label, bench in comparison.results.items():
            if label == "quillet":
                continue
            target = SECONDARY_TARGETS.get((comparison.name, label), comparison.target)
            rows.append({
                "operation": comparison.name,
                "alternative": label,
                "quillet": ours.median(), "quillet_stdev": ours.stdev(),
                "other": bench.median(), "other_stdev": bench.stdev(),
                "ratio": ours.median() / bench.median(),
                "target": target,
                "unit": "s",
            })
    if memory is not None:
        ours, theirs = memory
        rows.append({"operation": "memory, 1 000 FrozenDicts of 10", "alternative": "frozendict",
                     "quillet": ours, "quillet_stdev": 0.0, "other": theirs, "other_stdev": 0.0,
                     "ratio": ours / theirs, "target": 2.2, "unit": "B"})
    rows.extend(cpp_rows)
    return rows


def show(row, side):
    value, spread = row[side], row[f"{side}_stdev"]
    if row["unit"] == "B":
        return f"{value / 1024:.0f} KiB"
    return f"{format_time(value)} +- {format_time(spread)}" if spread else format_time(value)


def verdict(row):
    if row["target"] is None:
        return "-", ""
    return f"{row['target']:.2f}", "ok" if row["ratio"] <= row["target"] else "MISS"


def print_table(rows):
    header = f"{'operation':36} {'alternative':30} {'quillet':>20} {'alternative':>20} {'ratio':>7} {'target':>7}"
    print()
    print(header)
    print("-" * len(header))
    for row in rows:
        target, met = verdict(row)
        print(f"{row['operation']:36} {row['alternative']:30} {show(row, 'quillet'):>20} "
              f"{show(row, 'other'):>20} {row['ratio']:7.2f} {target:>7} {met}")


def markdown_table(rows):
    lines = ["| operation | alternative | quillet | alternative | ratio | target |", "|---|---|---:|---:|---:|---:|"]
    for row in rows:
        target, met = verdict(row)
        lines.append(f"| {row['operation']} | {row['alternative']} | {show(row, 'quillet')} | {show(row, 'other')} "
                     f"| {row['ratio']:.2f} | {f'{target} {met}'.strip()} |")
    return "\n".join(lines) + "\n"


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [f"{r['operation']}\nvs {r['alternative']}" for r in rows]
    ratios = [r["ratio"] for r in rows]
    colours = ["tab:grey" if r["target"] is None else "tab:green" if r["ratio"] <= r["target"] else "tab:red"
               for r in rows]
    figure, axes = plt.subplots(figsize=(11, 0.55 * len(rows) + 1.5))
    positions = range(len(rows))
    axes.barh(positions, ratios, color=colours)
    targets = [(r["target"], p) for r, p in zip(rows, positions) if r["target"] is not None]
    axes.scatter([t for t, _ in targets], [p for _, p in targets], marker="|", s=300, color="black",
                 label="target", zorder=3)
    axes.set_yticks(list(positions), labels, fontsize=7)
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.axvline(1.0, color="grey", linewidth=0.8)
    axes.set_xlabel("time (or memory) ratio quillet / alternative, log scale: lower is better")
    axes.legend(loc="lower right")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def load_cpp_rows(path):
    if path is None or not Path(path).exists():
        return []
    data = json.loads(Path(path).read_text())
    return data.get("rows", [])


def main():
    cpp_results = None
    if "--cpp-results" in sys.argv:
        index = sys.argv.index("--cpp-results")
        cpp_results = sys.argv[index + 1]
        del sys.argv[index:index + 2]
    quick = "--quick" in sys.argv
    if quick:
        # Two workers of two short values each: rough, but with a spread.
        index = sys.argv.index("--quick")
        sys.argv[index:index + 1] = QUICK_OPTIONS

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    runner = pyperf.Runner()
    runner.metadata["description"] = "quillet against what users would write instead"
    selected = [c for c in comparisons() if all(requirement_met(r) for r in c.requires)]
    for comparison in selected:
        comparison.results["quillet"] = run_side(runner, comparison, "quillet", comparison.quillet)
        for label, side in comparison.alternatives.items():
            comparison.results[label] = run_side(runner, comparison, label, side)

    if runner.args.worker or comparison_results_missing(selected):
        return
    memory = memory_comparison() if available("quillet.frozen") else None
    rows = summarise(selected, memory, load_cpp_rows(cpp_results))
    print_table(rows)
    RESULTS.mkdir(exist_ok=True)
    suite = pyperf.BenchmarkSuite([b for c in selected for b in c.results.values()])
    suite.dump(str(RESULTS / "pyperf.json"), replace=True)
    machine = {"python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
               "quick": quick}
    (RESULTS / "ratios.json").write_text(json.dumps(machine | {"rows": rows}, indent=2))
    (RESULTS / "table.md").write_text(markdown_table(rows))
    plot(rows, RESULTS / "ratios.png")
    print(f"\nresults: {RESULTS / 'ratios.json'}, {RESULTS / 'pyperf.json'}, {RESULTS / 'table.md'}, "
          f"chart: {RESULTS / 'ratios.png'}")


def comparison_results_missing(selected):
    return any(bench is None for c in selected for bench in c.results.values())


if __name__ == "__main__":
    main()
