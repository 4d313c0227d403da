#!/usr/bin/env bash
# The package's main job, on CPython 3.15.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_toolchain
venv_315=$(ensure_venv 3.15 "$(python315)" "$ROOT/tools/requirements-bench.txt")
build_install "$venv_315"
"$venv_315/bin/python" "$ROOT/bench/main.py" "$@"
