#!/usr/bin/env bash
# Runs every test, as the nox sessions of noxfile.py: the C++ unit tests
# (CTest), then on CPython 3.15, 3.14, 3.13, 3.12 and 3.11 the package's wheel,
# repaired to a manylinux tag by auditwheel and checked by check-wheel-contents,
# installed into a venv of its own, with its stubs checked (stubtest, the type
# checkers over tests/typed_usage.py) and the Python suite run against it; on
# 3.15 also the docs site (tests/test_docs.py) and the sdist, which must build
# the same wheel; last the linters. 3.14 and 3.15 are provisioned from Debian
# unstable, 3.11 to 3.13 come from PATH or pyenv; an interpreter that cannot be
# had is reported as skipped. Provisions what it needs first, and closes with
# the time of each step.
#
#   tools/test.sh              every test
#   tools/test.sh --lint       ruff (lint and format), clang-format and clang-tidy only
#   tools/test.sh --sanitize   the C++ tests and the Python suite on 3.15 and python3 under
#                              AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#   tools/test.sh --debug      the Python suite under -X dev on the debug (Py_DEBUG) build of
#                              3.15, where the reference-count checks run too
#   tools/test.sh --valgrind   the C++ tests under valgrind memcheck
#   tools/test.sh --fuzz       the OpenMap fuzz target for QUILLET_FUZZ_SECONDS (60) seconds
#   tools/test.sh --clang      the C++ tests and a part of the suite (noxfile.py's SUITE_PART)
#                              on python3, built by clang with libc++, warnings as errors
#   tools/test.sh --aarch64    the C++ tests and a 3.15 wheel cross-built for aarch64, the wheel
#                              repaired by auditwheel; the C++ tests and the same part of the
#                              suite run under qemu-aarch64 with Debian unstable's arm64 3.15
#   tools/test.sh --all        all of the above, one after the other (what CI runs)
#
# QUILLET_PYTHONS="3.14 3.12" limits the wheel suites to those interpreters.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mode=${1:-}
case $mode in
"" | --lint | --sanitize | --debug | --valgrind | --fuzz | --clang | --aarch64 | --all) ;;
*)
    echo "usage: tools/test.sh [--lint | --sanitize | --debug | --valgrind | --fuzz | --clang | --aarch64 | --all]" >&2
    exit 2
    ;;
esac
wants() {
    local wanted
    for wanted in "$@"; do [ "$mode" = "$wanted" ] || [ "$mode" = --all ] && return 0; done
    return 1
}

ensure_toolchain
wants --valgrind && ensure_debian_packages valgrind
wants --fuzz && ensure_debian_packages clang libclang-rt-14-dev
wants --clang && ensure_debian_packages clang libc++-dev libc++abi-dev
wants --aarch64 && ensure_debian_packages qemu-user g++-aarch64-linux-gnu
nox_runner >/dev/null

# The interpreters CI builds, repairs and tests a wheel for; 3.15 first, as it
# also serves the docs and the sdist check.
read -r -a PYTHON_VERSIONS <<<"${QUILLET_PYTHONS:-3.15 3.14 3.13 3.12 3.11}"

# run_python_suites: the wheel and its tests on every interpreter the machine
# has or can be given, the docs and the sdist on 3.15.
run_python_suites() {
    local version skipped=()
    for version in "${PYTHON_VERSIONS[@]}"; do
        if ! offer_python "python$version" "$(python_for "$version")"; then
            log "skipping CPython $version: the machine has none and none could be provisioned"
            skipped+=("$version")
            continue
        fi
        step "wheel on $version" run_nox "wheel-$version"
        step "tests on $version" run_nox "tests-$version"
        if [ "$version" = 3.15 ]; then
            step "docs" run_nox docs
            step "sdist" run_nox sdist
        fi
    done
    [ ${#skipped[@]} = 0 ] || log "SKIPPED interpreters: ${skipped[*]}"
}

offer_python "python$(host_python_version)" "$(host_python)"
if wants ""; then
    step "C++ tests" run_nox "cpp(plain)"
    run_python_suites
fi
if wants --sanitize; then
    offer_python python3.15 "$(python315)"
    step "C++ tests, sanitizers" run_nox "cpp(sanitized)"
    step "sanitizers on python3" run_nox "sanitize-$(host_python_version)"
    step "sanitizers on 3.15" run_nox sanitize-3.15
fi
if wants --debug; then
    offer_python python3.15d "$("$ROOT/tools/provision-python.sh" --debug)"
    step "debug 3.15" run_nox debug
fi
if wants --valgrind; then
    step "valgrind" run_nox valgrind
fi
if wants --fuzz; then
    step "fuzz" run_nox fuzz
fi
if wants --clang; then
    step "clang and libc++" run_nox clang
fi
if wants --aarch64; then
    offer_python python3.15 "$(python315)"
    step "aarch64 under qemu" run_nox aarch64
fi
# Last, so that a formatting slip does not hide what the tests would say.
if wants "" --lint; then
    step "lint" run_nox lint
fi
step_summary
