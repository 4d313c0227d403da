#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest), then on CPython 3.15, 3.13
# (when the machine has it) and the image's python3 the package's wheel,
# installed into a venv of its own, with its stubs checked (stubtest, mypy
# --strict) and the Python suite run against it; on 3.15 also the sdist, which
# must build the same wheel. Provisions what it needs first.
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

# run_wheel_tests NAME PYTHON [REQUIREMENTS_FILE...]: builds the wheel in the
# interpreter's build venv and installs it into a second venv, which never
# sees the source tree; the checks and the suite run against that install.
run_wheel_tests() {
    local name=$1 python=$2
    shift 2
    local build_venv test_venv wheel version
    build_venv=$(ensure_venv "$name" "$python" "$@")
    test_venv=$(ensure_venv "wheel-$name" "$python")
    wheel=$(build_wheel "$build_venv")
    install_wheel "$test_venv" "$wheel"
    version=$("$test_venv/bin/python" -c 'import sys; print(sys.version.split()[0])')
    log "stubtest and mypy --strict on $version"
    (cd "$CACHE" && "$test_venv/bin/python" -m mypy.stubtest quillet --allowlist "$ROOT/tests/stubtest-allowlist.txt")
    (cd "$ROOT/tests" && "$test_venv/bin/python" -m mypy --strict --cache-dir "$CACHE/mypy/$name" typed_usage.py)
    log "Python tests on $version against $(basename "$wheel")"
    (cd "$ROOT" && "$test_venv/bin/python" -m pytest -q -p no:cacheprovider tests)
}

# check_sdist VENV: python -m build makes the sdist and then a wheel from the
# unpacked sdist alone, which must hold the same files as the wheel built from
# the source tree by build_wheel VENV. Redone only when the sdist changes.
check_sdist() {
    local venv=$1 digest stamp=$CACHE/dist.checked
    python_build "$venv" "$CACHE/dist" --sdist "$ROOT"
    digest=$("$venv/bin/python" - "$CACHE"/dist/*.tar.gz <<'DIGEST'
import hashlib, sys, tarfile
digest = hashlib.sha256()
with tarfile.open(sys.argv[1]) as sdist:
    for member in sorted(sdist.getmembers(), key=lambda m: m.name):
        digest.update(member.name.encode())
        digest.update(sdist.extractfile(member).read() if member.isfile() else b"")
print(digest.hexdigest())
DIGEST
)
    if [ "$digest" = "$(cat "$stamp" 2>/dev/null)" ]; then
        log "sdist unchanged since it last built a wheel: $(basename "$CACHE"/dist/*.tar.gz)"
        return
    fi
    log "python -m build: the sdist, then a wheel from it alone"
    python_build "$venv" "$CACHE/dist" "$ROOT"
    "$venv/bin/python" - "$CACHE"/dist/*.whl "$(build_wheel "$venv")" <<'SAME'
import sys, zipfile
from_sdist, from_tree = (set(zipfile.ZipFile(path).namelist()) for path in sys.argv[1:])
if from_sdist != from_tree:
    sys.exit(f"the wheel built from the sdist differs in: {sorted(from_sdist ^ from_tree)}")
SAME
    log "built $(cd "$CACHE/dist" && echo *.tar.gz *.whl)"
    echo "$digest" > "$stamp"
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
    python_315=$(python315)
    run_wheel_tests 3.15 "$python_315" "$ROOT/tools/requirements-bench.txt"
    check_sdist "$CACHE/venv-3.15"
    python_313=$(python313)
    if [ -n "$python_313" ]; then
        run_wheel_tests 3.13 "$python_313"
    else
        log "skipping CPython 3.13: no python3.13 on PATH or under pyenv"
    fi
    run_wheel_tests host "$(command -v python3)"
fi
