#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest), then the Python suite on
# CPython 3.15 and on the image's python3. Provisions what it needs first.
#
#   tools/test.sh              every test
#   tools/test.sh --sanitize   the same under AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

sanitize=OFF
[ "${1:-}" = --sanitize ] && sanitize=ON

ensure_toolchain
venv_host=$(ensure_venv host "$(command -v python3)")

run_cpp_tests() {
    local build=$CACHE/build/cpp-tests-$sanitize
    log "C++ unit tests (sanitizers $sanitize)"
    PATH="$venv_host/bin:$PATH" cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DQUILLET_PYTHON=OFF -DQUILLET_CPP_TESTS=ON -DQUILLET_SANITIZE=$sanitize >/dev/null
    PATH="$venv_host/bin:$PATH" cmake --build "$build" >/dev/null
    PATH="$venv_host/bin:$PATH" ctest --test-dir "$build" --output-on-failure
}

run_python_tests() {
    local venv=$1
    build_install "$venv"
    log "Python tests on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
}

# The sanitizer runtimes must be loaded before the interpreter's own libraries,
# and the interpreter's allocator bypassed so that every block is checked.
run_sanitized_python_tests() {
    local venv
    venv=$(ensure_venv asan-host "$(command -v python3)")
    QUILLET_BUILD_SUFFIX=-asan build_install "$venv" QUILLET_SANITIZE=ON
    log "Python tests under ASan+UBSan on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd "$ROOT" && QUILLET_SANITIZED=1 PYTHONMALLOC=malloc \
        LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests)
}

run_cpp_tests
if [ $sanitize = ON ]; then
    run_sanitized_python_tests
else
    run_python_tests "$(ensure_venv 3.15 "$(python315)" "$ROOT/tools/requirements-bench.txt")"
    run_python_tests "$venv_host"
fi
