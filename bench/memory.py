"""Memory rows: what quillet's objects keep, against the alternatives.

Inputs are made before tracing starts and shared by every side, so only what
the measured objects allocate themselves is counted. Objects taken from a free
list are not seen by tracemalloc, so the rows are measured in a fresh
interpreter (`python bench/memory.py` prints them as JSON) and each batch is
measured after a warm-up batch that empties those lists.
"""

import gc
import json
import os
import subprocess
import sys
import tracemalloc

import report
import scanners

MAPPINGS = 1_000
ENTRIES = 10
VIEWS_BUDGET = 64  # bytes kept per mapping after keys(), values() and items()
NO_COPY = 0.1  # extra memory of a walker as a share of its text's storage


def traced(operate, items, warm_up=()):
    """Bytes still allocated after operate(item) for each item, results kept,
    measured after operate(item) for each item of `warm_up`, also kept."""
    warm = [operate(item) for item in warm_up]
    kept = [None] * len(items)
    gc.collect()
    tracemalloc.start()
    for i, item in enumerate(items):
        kept[i] = operate(item)
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del warm
    return size


def small_dicts():
    return [{f"key{j}": i * 10 + j for j in range(ENTRIES)} for i in range(MAPPINGS)]


def call_views(mapping):
    mapping.keys()
    mapping.values()
    mapping.items()


def views_kept(make):
    """Bytes per mapping that keys(), values() and items() leave behind."""
    warm_up, mappings = ([make(source) for source in small_dicts()] for _ in range(2))
    return traced(call_views, mappings, warm_up) / MAPPINGS


# Run in a fresh interpreter: in a process that has freed big blocks before,
# malloc can hand back pages that are already resident, and a copy would not show.
RSS_PROBE = """
import gc, os, sys
sys.path.insert(0, {here!r})
from quillet.text_walker import TextWalker
from scanners import source_text

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

text = source_text({size})
TextWalker(source_text(100))  # fault the module's code in first
gc.collect()
before = resident_bytes()
walker = TextWalker(text)
print(resident_bytes() - before)
"""


def rss_growth(size):
    """Resident-size growth of building one walker over a text of `size` characters."""
    probe = RSS_PROBE.format(here=os.path.dirname(os.path.abspath(__file__)), size=size)
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    return int(done.stdout)


def mapping_rows(peers, frozen_dict):
    sources = small_dicts()
    name = f"memory, {report.count(MAPPINGS)} FrozenDicts of {ENTRIES}"
    ours = traced(frozen_dict, sources, sources)
    rows = [
        report.row(
            section="targets",
            operation=name,
            alternative="built-in frozendict",
            quillet=ours,
            other=traced(frozendict, sources, sources),  # noqa: F821 - 3.15 built-in
            target=1.2,
            unit="B",
        )
    ]
    for label, (module, _) in peers.MAPPINGS.items():
        if peers.missing(module) is None:
            rows.append(
                report.row(
                    section="peers",
                    operation=name,
                    alternative=label,
                    quillet=ours,
                    other=traced(peers.mapping(label), sources, sources),
                    target=None,
                    unit="B",
                )
            )
    rows.append(
        report.row(
            section="targets",
            operation="memory kept by keys(), values(), items()",
            alternative="built-in frozendict",
            quillet=views_kept(frozen_dict),
            other=views_kept(frozendict),  # noqa: F821 - 3.15 built-in
            target=VIEWS_BUDGET,
            unit="B/mapping",
            kind="budget",
        )
    )
    return rows


def walker_rows(text_walker, sizes):
    rows = []
    for size in sizes:
        text = scanners.source_text(size)
        ours = traced(text_walker, [text])
        rows.append(
            report.row(
                section="scaling",
                operation=f"TextWalker(text) memory, {report.text_size(size)}",
                alternative="pure-Python cursor",
                quillet=ours,
                other=traced(scanners.PyCursor, [text]),
                target=None,
                unit="B",
                family="TextWalker(text) memory",
                size=size,
            )
        )
    largest = scanners.source_text(sizes[-1])
    storage = sys.getsizeof(largest)
    name = f"TextWalker(text), {report.text_size(sizes[-1])}: extra memory"
    rows.append(
        report.row(
            section="targets",
            operation=f"{name} (tracemalloc)",
            alternative="the text's storage",
            quillet=traced(text_walker, [largest]),
            other=storage,
            target=NO_COPY,
            unit="B",
        )
    )
    if os.path.exists("/proc/self/statm"):
        rows.append(
            report.row(
                section="targets",
                operation=f"{name} (RSS growth)",
                alternative="the text's storage",
                quillet=rss_growth(sizes[-1]),
                other=storage,
                target=NO_COPY,
                unit="B",
            )
        )
    return rows


def rows(peers, text_sizes):
    from quillet.frozen import FrozenDict
    from quillet.text_walker import TextWalker

    return mapping_rows(peers, FrozenDict) + walker_rows(TextWalker, text_sizes)


if __name__ == "__main__":
    import peers

    print(json.dumps(rows(peers, tuple(map(int, sys.argv[1:])))))
