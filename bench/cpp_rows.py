"""Google Benchmark JSON of bench/cpp/open_map_bench.cpp as rows for main.py.

    python bench/cpp_rows.py GBENCH_JSON ROWS_JSON

Benchmarks are named "<operation>/<map>"; every time is per operation (the
iteration time divided by the benchmark's "ops" counter). Each alternative map
gives one row: the median over the repetitions of OpenMap's time against the
alternative's, ratio OpenMap/alternative.
"""

import json
import statistics
import sys
from collections import defaultdict

OURS = "OpenMap"
OPERATIONS = ("hit lookup", "miss lookup", "insert into empty", "clear")
ALTERNATIVES = ("std::unordered_map", "absl::flat_hash_map")
# Targets only for the hit lookup; the other operations are reported as measured.
TARGETS = {
    ("hit lookup", "std::unordered_map"): 0.7,
    ("hit lookup", "absl::flat_hash_map"): 1.2,
}
SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def per_operation_times(report):
    """{(operation, map): [seconds per operation, one per repetition]}."""
    times = defaultdict(list)
    for bench in report["benchmarks"]:
        if bench.get("run_type") == "aggregate":
            continue
        # Google Benchmark appends its own parts ("/iterations:N", "/manual_time").
        operation, side = bench["run_name"].split("/")[:2]
        seconds = bench["real_time"] * SCALE[bench["time_unit"]] / bench.get("ops", 1)
        times[(operation, side)].append(seconds)
    return times


def rows(report):
    times = per_operation_times(report)
    result = []
    for operation in OPERATIONS:
        ours = times.get((operation, OURS))
        for side in ALTERNATIVES:
            theirs = times.get((operation, side))
            if not ours or not theirs:
                continue
            result.append(
                {
                    "operation": f"OpenMap {operation} (C++)",
                    "alternative": side,
                    "quillet": statistics.median(ours),
                    "quillet_stdev": spread(ours),
                    "other": statistics.median(theirs),
                    "other_stdev": spread(theirs),
                    "ratio": statistics.median(ours) / statistics.median(theirs),
                    "target": TARGETS.get((operation, side)),
                    "unit": "s",
                }
            )
    return result


def spread(values):
    return statistics.stdev(values) if len(values) > 1 else 0.0


def main():
    source, destination = sys.argv[1:3]
    with open(source) as f:
        report = json.load(f)
    with open(destination, "w") as f:
        json.dump({"context": report.get("context", {}), "rows": rows(report)}, f, indent=2)


if __name__ == "__main__":
    main()
