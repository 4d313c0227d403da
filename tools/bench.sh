#!/usr/bin/env bash
# The package's main job, on CPython 3.15: the C++ benchmark of the attrs
# cache's map, then the Python suite against the built-in frozendict, the
# peer packages of the bench dependency group and plain Python, which prints
# the tables of both and draws the chart. A run writes only under the ignored
# bench/results/ and .cache/.
#
#   tools/bench.sh            full run (about half an hour)
#   tools/bench.sh --quick    rough numbers in about three minutes
#   tools/bench.sh --publish  runs nothing: copies the last full run's chart and
#                             tables into docs/_static/bench.svg and the README
#
# Other arguments go to bench/main.py (--only TEXT, pyperf options such as --quiet).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ "${1:-}" = --publish ]; then
    exec python3 "$ROOT/tools/publish_bench.py"
fi

quick=false
for arg in "$@"; do
    [ "$arg" = --quick ] && quick=true
done

ensure_toolchain
ensure_debian_packages libbenchmark-dev libabsl-dev
venv_315=$(ensure_venv 3.15 "$(python315)" bench)
build_install "$venv_315"

results=$ROOT/bench/results
mkdir -p "$results"

# Repetitions are interleaved at random, so that a slow spell of the machine
# does not land on one map only.
run_cpp_bench() {
    local build=$CACHE/build/cpp-bench min_time=0.5 repetitions=10
    if $quick; then
        min_time=0.05
        repetitions=3
    fi
    log "C++ benchmark: OpenMap, std::unordered_map, absl::flat_hash_map"
    cmake_configure "$venv_315" "$build" -DCMAKE_BUILD_TYPE=Release \
        -DQUILLET_PYTHON=OFF -DQUILLET_CPP_BENCH=ON -DPython_EXECUTABLE="$venv_315/bin/python"
    PATH="$venv_315/bin:$PATH" cmake --build "$build" >/dev/null
    "$build/open_map_bench" --benchmark_min_time=$min_time --benchmark_repetitions=$repetitions \
        --benchmark_enable_random_interleaving=true --benchmark_display_aggregates_only=true \
        --benchmark_out="$results/open_map_bench.json" --benchmark_out_format=json >&2
    "$venv_315/bin/python" "$ROOT/bench/cpp_rows.py" "$results/open_map_bench.json" "$results/cpp_rows.json"
}

run_cpp_bench
"$venv_315/bin/python" "$ROOT/bench/main.py" --cpp-results "$results/cpp_rows.json" "$@"
