"""What the holders' hashes are worth as dict and set keys.

Hash quality: on ordinary data (grids of small ints, twins, flag maps,
permuted values), how many objects share their hash with an earlier one,
against what a user would key by instead. str hashes change with the hash
seed, so every corpus is counted in a fresh interpreter per seed in SEEDS
(`python bench/hash_quality.py` prints one seed's counts as JSON) and the
worst seed is reported. Then the time to build a dict or set of such keys,
made beforehand, with their hashes not yet computed and once computed.
"""

import itertools
import json
import os
import subprocess
import sys

import documents
import report

SEEDS = (0, 1, 2)
SHARED_BUDGET = 0.01  # of the corpus: at least 99 % distinct hashes
KEY_COUNTS = (10_000, 40_000, 160_000)


def grid(count):
    side = round(count**0.5)
    return [(i, j) for i in range(side) for j in range(side)]


def corpora():
    """{name: (quillet's objects, the alternative's label, its objects)}, built on demand."""
    from quillet.frozen import FrozenDict
    from quillet.utils import CacheKey, HashableValues

    flags = [(i, j, a, b) for i in range(60) for j in range(i + 1, 60) for a in (False, True) for b in (False, True)]
    pairs = [(i, j) for i in range(300) for j in range(i, 300)]
    permutations = list(itertools.permutations(range(7)))
    return {
        "CacheKey(i, j), 200 x 200 grid": (
            lambda: [CacheKey(i, j) for i, j in grid(40_000)],
            "tuples (i, j)",
            lambda: [(i, j) for i, j in grid(40_000)],
        ),
        "CacheKey(i, i), 40 000": (
            lambda: [CacheKey(i, i) for i in range(40_000)],
            "tuples (i, i)",
            lambda: [(i, i) for i in range(40_000)],
        ),
        "FrozenDict({'x': i, 'y': j}), 200 x 200 grid": (
            lambda: [FrozenDict({"x": i, "y": j}) for i, j in grid(40_000)],
            "built-in frozendict",
            lambda: [frozendict({"x": i, "y": j}) for i, j in grid(40_000)],  # noqa: F821 - 3.15 built-in
        ),
        "FrozenDict({0: i, 1: j}), 200 x 200 grid": (
            lambda: [FrozenDict({0: i, 1: j}) for i, j in grid(40_000)],
            "built-in frozendict",
            lambda: [frozendict({0: i, 1: j}) for i, j in grid(40_000)],  # noqa: F821
        ),
        "HashableValues([i, j]), unordered pairs < 300": (
            lambda: [HashableValues([i, j]) for i, j in pairs],
            "frozenset((i, j))",
            lambda: [frozenset((i, j)) for i, j in pairs],
        ),
        "HashableValues([x, x]), 40 000": (
            lambda: [HashableValues([x, x]) for x in range(40_000)],
            "tuples (x, x)",
            lambda: [(x, x) for x in range(40_000)],
        ),
        "FrozenDict({i: bool, j: bool}), i < j < 60": (
            lambda: [FrozenDict({i: a, j: b}) for i, j, a, b in flags],
            "built-in frozendict",
            lambda: [frozendict({i: a, j: b}) for i, j, a, b in flags],  # noqa: F821
        ),
        "FrozenDict records of flags and small counts, 20 000": (
            lambda: [FrozenDict(record) for record in documents.flagged_records()],
            "built-in frozendict",
            lambda: [frozendict(record) for record in documents.flagged_records()],  # noqa: F821
        ),
        "FrozenDict of 7 keys, values permuted": (
            lambda: [FrozenDict(zip("abcdefg", p, strict=True)) for p in permutations],
            "built-in frozendict",
            lambda: [frozendict(zip("abcdefg", p, strict=True)) for p in permutations],  # noqa: F821
        ),
    }


def shared_hashes(objects):
    """How many objects share their hash with another one met before."""
    return len(objects) - len({hash(o) for o in objects})


def counts():
    """{corpus: [size, quillet's shared hashes, alternative label, alternative's]} under this interpreter's seed."""
    return {
        name: [len(ours := make()), shared_hashes(ours), label, shared_hashes(theirs())]
        for name, (make, label, theirs) in corpora().items()
    }


def rows():
    """One budget row per corpus, the worst of SEEDS for each side."""
    worst = {}
    for seed in SEEDS:
        environment = os.environ | {"PYTHONHASHSEED": str(seed)}
        probe = [sys.executable, __file__]
        found = json.loads(subprocess.run(probe, capture_output=True, text=True, check=True, env=environment).stdout)
        for name, (size, ours, label, theirs) in found.items():
            earlier = worst.get(name, (size, ours, label, theirs))
            worst[name] = (size, max(ours, earlier[1]), label, max(theirs, earlier[3]))
    return [
        report.row(
            section="hash quality",
            operation=f"{name}: hashes shared",
            alternative=label,
            quillet=ours,
            other=theirs,
            target=SHARED_BUDGET * size,
            unit="of " + report.count(size),
            kind="budget",
            note=f"worst of seeds {', '.join(map(str, SEEDS))}",
        )
        for name, (size, ours, label, theirs) in worst.items()
    ]


# Building a dict or set of keys made beforehand: `keyed(count)` makes the
# keys, `build` is dict.fromkeys or set.


def cache_keys(count):
    from quillet.utils import CacheKey

    return [CacheKey(i, j) for i, j in grid(count)]


def tuples(count):
    return grid(count)


def frozen_dicts(count):
    from quillet.frozen import FrozenDict

    return [FrozenDict({"x": i, "y": j}) for i, j in grid(count)]


def built_in_frozendicts(count):
    return [frozendict({"x": i, "y": j}) for i, j in grid(count)]  # noqa: F821


if __name__ == "__main__":
    print(json.dumps(counts()))
