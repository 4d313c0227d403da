#!/usr/bin/env bash
# The package's main job, on CPython 3.15 (the nox session bench): the C++
# benchmark of the attrs cache's map, then the Python suite against the
# built-in frozendict, the peer packages of the bench dependency group and
# plain Python, which prints the tables of both and draws the chart. A run
# writes only under the ignored bench/results/ and .cache/.
#
#   tools/bench.sh            full run (about two hours)
#   tools/bench.sh --quick    rough numbers in about three minutes
#   tools/bench.sh --publish  runs nothing: copies the last full run's section charts
#                             and tables into docs/_static/ and the README
#
# Other arguments go to bench/main.py (--only TEXT, pyperf options such as --quiet).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ "${1:-}" = --publish ]; then
    exec python3 "$ROOT/tools/publish_bench.py"
fi

ensure_toolchain
ensure_debian_packages libbenchmark-dev libabsl-dev iso-codes
nox_runner >/dev/null
offer_python python3.15 "$(python315)"
run_nox bench -- "$@"
