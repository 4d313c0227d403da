#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest), then the Python suite on
# CPython 3.15 and on the image's python3. Provisions what it needs first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_toolchain
venv_315=$(ensure_venv 3.15 "$(python315)")
venv_host=$(ensure_venv host "$(command -v python3)")

run_cpp_tests() {
    local build=$CACHE/build/cpp-tests
    log "C++ unit tests"
    PATH="$venv_host/bin:$PATH" cmake -S "$ROOT" -B "$build" -G Ninja \
        -DCMAKE_BUILD_TYPE=Debug -DQUILLET_PYTHON=OFF -DQUILLET_CPP_TESTS=ON >/dev/null
    PATH="$venv_host/bin:$PATH" cmake --build "$build" >/dev/null
    PATH="$venv_host/bin:$PATH" ctest --test-dir "$build" --output-on-failure
}

run_python_tests() {
    local venv=$1; shift
    build_install "$venv"
    log "Python tests on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@")
}

run_cpp_tests
run_python_tests "$venv_315"
run_python_tests "$venv_host"
