"""The project's checks as nox sessions, each in a virtual environment of its
own under .cache/nox, created with uv and filled from pyproject.toml's
dependency groups at the versions of tools/constraints.txt.

tools/test.sh is the one command to run: it installs the Debian packages and
provisions the interpreters these sessions need (putting them on PATH as
pythonX.Y), then runs the sessions of the chosen mode in order and times each.
`nox -l` lists them; `nox -s tests-3.14` runs one where its interpreter is on
PATH.
"""

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
CACHE = ROOT / ".cache"
CONSTRAINTS = ROOT / "tools" / "constraints.txt"
PYTHONS = ["3.15", "3.14", "3.13", "3.12", "3.11"]
# Sessions that need no particular interpreter use the one nox runs on.
HOST = f"{sys.version_info.major}.{sys.version_info.minor}"

nox.options.envdir = str(CACHE / "nox")
nox.options.default_venv_backend = "uv"
nox.options.reuse_venv = "yes"
# tools/test.sh asks only for the interpreters it found and reports the others
# as skipped; a session asked for by hand without one is skipped too, and nox
# lists it so in its summary.
nox.options.error_on_missing_interpreters = False
nox.options.sessions = []


def install_groups(session, *groups):
    """The dependency groups, pinned; build and test are always there."""
    args = [f"--group=pyproject.toml:{group}" for group in ("build", "test", *groups)]
    session.install("-c", str(CONSTRAINTS), *args)


def tag(session):
    """cpXY and the ABI flags of the session's interpreter, e.g. cp315 or cp315d."""
    return session.run(
        "python",
        "-c",
        "import sys; print(f'cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}')",
        silent=True,
    ).strip()


def build_install(session, build_dir, *defines):
    """Builds the extensions into the session's venv, reusing a build folder per
    interpreter and flavour so that rebuilds are incremental."""
    settings = [f"-Ccmake.define.{define}" for define in defines]
    session.log(f"building quillet for {tag(session)} {' '.join(defines)}")
    session.install("--no-build-isolation", "--no-deps", "--reinstall", f"-Cbuild-dir={build_dir}", *settings, ".")


def python_build(session, out, *args):
    """`python -m build` without build isolation (the venv has the build group)."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    session.run("python", "-m", "build", "--no-isolation", "--outdir", str(out), *args, silent=True)


def build_wheel(session, out=None):
    """The wheel for the session's interpreter, built from the source tree into
    OUT (by default .cache/wheels/TAG, whose repaired/ the tests install)."""
    name = tag(session)
    out = out or CACHE / "wheels" / name
    session.log(f"building the wheel for {name}")
    python_build(session, out, "--wheel", f"-Cbuild-dir={CACHE / 'build' / name}", str(ROOT))
    return next(out.glob("*.whl"))


def repaired_wheel(session):
    return next((CACHE / "wheels" / tag(session) / "repaired").glob("*.whl"))


def configure(session, build, *args):
    """Configures the source tree into BUILD with the venv's CMake and Ninja.
    CMake refuses a folder made for another checkout: such a one starts afresh."""
    cache = build / "CMakeCache.txt"
    if cache.exists() and f"CMAKE_HOME_DIRECTORY:INTERNAL={ROOT}\n" not in cache.read_text():
        session.log(f"{build.name} was configured for another checkout: starting it afresh")
        shutil.rmtree(build)
    session.run("cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", *args, silent=True)
    session.run("cmake", "--build", str(build), silent=True)


@nox.session(python=HOST)
@nox.parametrize("sanitize", ["OFF", "ON"], ids=["plain", "sanitized"])
def cpp(session, sanitize):
    """The C++ unit tests (CTest), with the sanitizers off or on."""
    install_groups(session)
    build = CACHE / "build" / f"cpp-tests-{sanitize}"
    configure(
        session,
        build,
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DQUILLET_PYTHON=OFF",
        "-DQUILLET_CPP_TESTS=ON",
        f"-DQUILLET_SANITIZE={sanitize}",
    )
    session.run("ctest", "--test-dir", str(build), "--output-on-failure")


@nox.session(python=PYTHONS)
def wheel(session):
    """Builds the wheel and repairs it with auditwheel to the oldest manylinux
    tag its modules allow, copying in any library no policy lets it assume."""
    install_groups(session, "repair")
    built = build_wheel(session)
    out = built.parent / "repaired"
    shutil.rmtree(out, ignore_errors=True)
    session.run("auditwheel", "repair", "--wheel-dir", str(out), str(built), silent=True)
    repaired = next(out.glob("*.whl"))
    # Every file of the package tree but the sources (stubs, py.typed) must be in
    # the wheel; the modules and _version.py exist only in the build.
    session.run(
        "check-wheel-contents",
        "--package=src/quillet",
        "--package-omit=*.cpp,*.h,*.hpp,__pycache__",
        "--ignore=W102",
        str(repaired),
        silent=True,
    )
    session.log(f"auditwheel repair: {repaired.name} ({repaired.stat().st_size // 1024} KiB)")


def check_types(session):
    """The stubs against the installed modules, and the type checkers over
    tests/typed_usage.py."""
    session.run(
        "python", "-m", "mypy.stubtest", "quillet", "--allowlist", str(ROOT / "tests" / "stubtest-allowlist.txt")
    )
    cache = CACHE / "mypy" / session.python
    with session.chdir(ROOT / "tests"):
        session.run("python", "-m", "mypy", "--strict", "--cache-dir", str(cache), "typed_usage.py")
        session.run(
            "basedpyright", "-p", str(ROOT), "--pythonpath", str(Path(session.bin) / "python"), "typed_usage.py"
        )


@nox.session(python=PYTHONS)
def tests(session):
    """The repaired wheel from the wheel session, installed into a venv that
    never sees the source tree, its stubs checked and the suite run against it."""
    install_groups(session)
    session.install("--no-deps", "--reinstall", str(repaired_wheel(session)))
    check_types(session)
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *session.posargs)


@nox.session(python="3.15")
def docs(session):
    """The Sphinx site, warnings as errors, its examples as doctests, against
    the 3.15 wheel, into .cache/docs."""
    install_groups(session, "docs")
    session.install("--no-deps", "--reinstall", str(repaired_wheel(session)))
    inventory = subprocess.run(
        [str(ROOT / "tools" / "provision-python.sh"), "3.15", "--doc"], check=True, capture_output=True, text=True
    ).stdout.strip()
    env = {"QUILLET_PYTHON_INVENTORY": inventory}
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/test_docs.py", env=env)


@nox.session(python="3.15")
def sdist(session):
    """The sdist carries the licence, and the wheel built from it alone holds
    the same files as the one built from the source tree. The sdist is
    reproducible, so the check is redone only when its checksum changes."""
    install_groups(session)
    out, stamp = CACHE / "dist", CACHE / "dist.checked"
    python_build(session, out, "--sdist", str(ROOT))
    archive = next(out.glob("*.tar.gz"))
    members = subprocess.run(["tar", "-tzf", str(archive)], check=True, capture_output=True, text=True).stdout
    if f"{archive.name.removesuffix('.tar.gz')}/LICENSE" not in members.split():
        session.error("the sdist lacks LICENSE")
    digest = subprocess.run(["sha256sum", str(archive)], check=True, capture_output=True, text=True).stdout.split()[0]
    if stamp.exists() and stamp.read_text().strip() == digest:
        session.log(f"sdist unchanged since it last built a wheel: {archive.name}")
        return
    session.log("python -m build: the sdist, then a wheel from it alone")
    python_build(session, out, str(ROOT))
    from_sdist = set(zipfile.ZipFile(next(out.glob("*.whl"))).namelist())
    from_tree = set(zipfile.ZipFile(build_wheel(session, CACHE / "dist-tree")).namelist())
    if from_sdist != from_tree:
        session.error(f"the wheel built from the sdist differs in: {sorted(from_sdist ^ from_tree)}")
    stamp.write_text(digest + "\n")


def sanitizer_runtimes(session):
    """The LD_PRELOAD list of the ASan and UBSan runtimes built for the C
    library of the session's interpreter. A provisioned interpreter runs on its
    own, newer C library, and LeakSanitizer walks that library's thread
    internals (with the image's runtimes, its tracer died of SIGSEGV at exit):
    it gets the runtimes of the Debian release its C library comes from."""
    libc = session.run("python", "-c", "import os; print(os.confstr('CS_GNU_LIBC_VERSION'))", silent=True).strip()
    if libc != os.confstr("CS_GNU_LIBC_VERSION"):
        folder = subprocess.run(
            [str(ROOT / "tools" / "provision-python.sh"), str(session.python), "--sanitizer-runtime"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.strip()
        return f"{folder}/libasan.so.8:{folder}/libubsan.so.1"
    runtimes = [
        subprocess.run(["gcc", f"-print-file-name={name}"], check=True, capture_output=True, text=True).stdout.strip()
        for name in ("libasan.so", "libubsan.so")
    ]
    return ":".join(runtimes)


@nox.session(python=["3.15", HOST])
def sanitize(session):
    """The suite under ASan, LSan and UBSan. The runtimes are preloaded before
    the interpreter's own libraries and its allocator bypassed, so that every
    block is checked. LeakSanitizer reports what nothing reachable points to at
    exit: the interpreter keeps its own state reachable, so what is left is what
    the package lost; the few blocks the interpreter itself loses are named in
    tools/lsan.supp. Every process writes its reports to a file, child
    interpreters included; any file fails the run."""
    install_groups(session)
    build_install(session, CACHE / "build" / f"{tag(session)}-asan", "QUILLET_SANITIZE=ON")
    reports = CACHE / "sanitizer-reports" / str(session.python)
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    env = {
        "QUILLET_SANITIZED": "1",
        "PYTHONMALLOC": "malloc",
        "LD_PRELOAD": sanitizer_runtimes(session),
        "ASAN_OPTIONS": f"detect_leaks=1:log_path={reports}/asan",
        "LSAN_OPTIONS": f"suppressions={ROOT}/tools/lsan.supp:print_suppressions=0",
        "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={reports}/ubsan",
    }
    try:
        session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", env=env)
    finally:
        found = sorted(reports.iterdir())
        for report in found:
            sys.stderr.write(report.read_text())
        if found:
            session.error(f"sanitizer reports on {session.python}: {len(found)} file(s) in {reports}")
    session.log(f"sanitizers on {session.python}: no reports")


@nox.session(python="python3.15d")
def debug(session):
    """The suite under -X dev on the debug build of 3.15, which aborts on C-API
    misuse the release build lets pass and counts references (checked by
    tests/test_refcounts.py over the operations of tests/test_leaks.py). The
    leak tests themselves are left out: under -X dev's checking allocator they
    would take most of an hour, and the other runs measure memory already. The
    modules are built with their assertions on."""
    install_groups(session)
    build_install(session, CACHE / "build" / tag(session), "CMAKE_CXX_FLAGS_RELEASE=-O1")
    session.run(
        "python", "-X", "dev", "-m", "pytest", "-q", "-p", "no:cacheprovider", "--ignore=tests/test_leaks.py", "tests"
    )


@nox.session(python=HOST)
def valgrind(session):
    """The C++ tests under valgrind memcheck. valgrind replaces operator new in
    the test program too, unless told not to: the failure-injection tests bring
    their own, which calls malloc."""
    install_groups(session)
    build = CACHE / "build" / "cpp-tests-OFF"
    configure(session, build, "-DCMAKE_BUILD_TYPE=Debug", "-DQUILLET_PYTHON=OFF", "-DQUILLET_CPP_TESTS=ON")
    session.run(
        "valgrind",
        "-q",
        "--error-exitcode=1",
        "--leak-check=full",
        "--show-leak-kinds=definite,indirect,possible",
        "--errors-for-leak-kinds=definite,indirect,possible",
        "--soname-synonyms=somalloc=nouserintercepts",
        str(build / "cobble_tests"),
        "--gtest_brief=1",
        external=True,
    )
    session.log("valgrind: no errors, no leaks")


@nox.session(python=HOST)
def fuzz(session):
    """libFuzzer drives OpenMap and a reference model with the same operations
    for QUILLET_FUZZ_SECONDS (60); the corpus is kept between runs, crashes land
    in .cache/fuzz/artifacts."""
    install_groups(session)
    build, fuzz_dir = CACHE / "build" / "fuzz", CACHE / "fuzz"
    seconds = os.environ.get("QUILLET_FUZZ_SECONDS", "60")
    configure(
        session,
        build,
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        "-DCMAKE_CXX_COMPILER=clang++",
        "-DQUILLET_PYTHON=OFF",
        "-DQUILLET_FUZZ=ON",
    )
    (fuzz_dir / "corpus").mkdir(parents=True, exist_ok=True)
    (fuzz_dir / "artifacts").mkdir(exist_ok=True)
    session.log(f"fuzzing OpenMap for {seconds} s")
    log = fuzz_dir / "last.log"
    with log.open("w") as stderr:
        status = subprocess.run(
            [
                str(build / "fuzz_open_map"),
                f"-max_total_time={seconds}",
                "-max_len=4096",
                "-print_final_stats=1",
                f"-artifact_prefix={fuzz_dir / 'artifacts'}/",
                str(fuzz_dir / "corpus"),
            ],
            stderr=stderr,
            check=False,
        ).returncode
    lines = log.read_text().splitlines()
    if status:
        sys.stderr.write("\n".join(lines[-60:]) + "\n")
        session.error("the fuzzer found a fault")
    session.log("fuzz: " + next(line for line in lines if line.startswith("Done ")))


# What the second toolchain and the emulated architecture run of the Python
# suite: the in-place reads, the hash and the mapping tables, and the build's
# own checks.
SUITE_PART = [
    "tests/test_fast_paths.py",
    "tests/test_utils_hashables.py",
    "tests/test_frozen.py",
    "tests/test_build.py",
]
# clang with libc++ in place of g++ with libstdc++, warnings as errors.
CLANG = [
    "CMAKE_CXX_COMPILER=clang++",
    "CMAKE_CXX_FLAGS=-stdlib=libc++",
    "CMAKE_COMPILE_WARNING_AS_ERROR=ON",
]


def gtest_for_libcxx(session):
    """GoogleTest built with libc++ from Debian's sources (its own library is
    built with libstdc++, whose std::string the tests cannot share)."""
    prefix, build = CACHE / "gtest-libc++", CACHE / "build" / "gtest-libc++"
    if not (prefix / "lib").is_dir():
        defines = [f"-D{define}" for define in CLANG if "WARNING" not in define]
        session.run("cmake", "-S", "/usr/src/googletest", "-B", str(build), "-G", "Ninja", *defines, silent=True)
        session.run("cmake", "--build", str(build), silent=True)
        session.run("cmake", "--install", str(build), "--prefix", str(prefix), silent=True)
    return prefix


@nox.session(python=HOST)
def clang(session):
    """The second compiler and C++ library: the C++ tests and the modules built
    by clang with libc++, warnings as errors, and a part of the suite."""
    install_groups(session)
    build = CACHE / "build" / "cpp-tests-clang"
    configure(
        session,
        build,
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DQUILLET_PYTHON=OFF",
        "-DQUILLET_CPP_TESTS=ON",
        f"-DCMAKE_PREFIX_PATH={gtest_for_libcxx(session)}",
        *(f"-D{define}" for define in CLANG),
    )
    session.run("ctest", "--test-dir", str(build), "--output-on-failure")
    build_install(session, CACHE / "build" / f"{tag(session)}-clang", *CLANG)
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *SUITE_PART)


# Cross-compiling for aarch64 with Debian's g++-aarch64-linux-gnu against the
# headers of the provisioned arm64 3.15; the wheel's tag and module names come
# from these two variables, which scikit-build-core reads for cross builds.
AARCH64 = ["CMAKE_SYSTEM_NAME=Linux", "CMAKE_SYSTEM_PROCESSOR=aarch64", "CMAKE_CXX_COMPILER=aarch64-linux-gnu-g++"]
AARCH64_ENV = {"_PYTHON_HOST_PLATFORM": "linux-aarch64", "SETUPTOOLS_EXT_SUFFIX": ".cpython-315-aarch64-linux-gnu.so"}


def arm64_tree():
    """The unpacked arm64 tree of Debian unstable's 3.15, for qemu-aarch64 -L."""
    python = subprocess.run(
        [str(ROOT / "tools" / "provision-python.sh"), "3.15", "--arm64"], check=True, capture_output=True, text=True
    ).stdout.strip()
    return Path(python).parents[2]


def gtest_for_aarch64(session):
    """GoogleTest cross-built from Debian's sources."""
    prefix, build = CACHE / "gtest-aarch64", CACHE / "build" / "gtest-aarch64"
    if not (prefix / "lib").is_dir():
        defines = [f"-D{define}" for define in AARCH64]
        session.run("cmake", "-S", "/usr/src/googletest", "-B", str(build), "-G", "Ninja", *defines, silent=True)
        session.run("cmake", "--build", str(build), silent=True)
        session.run("cmake", "--install", str(build), "--prefix", str(prefix), silent=True)
    return prefix


@nox.session(python="3.15")
def aarch64(session):
    """aarch64 Linux: the C++ tests and the wheel cross-built, the wheel repaired
    by auditwheel, then the C++ tests and a part of the suite run against the
    installed wheel under qemu-aarch64 with the arm64 interpreter."""
    install_groups(session, "repair")
    tree = arm64_tree()
    emulate = ["qemu-aarch64", "-L", str(tree)]
    build = CACHE / "build" / "cpp-tests-aarch64"
    configure(
        session,
        build,
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DQUILLET_PYTHON=OFF",
        "-DQUILLET_CPP_TESTS=ON",
        f"-DCMAKE_PREFIX_PATH={gtest_for_aarch64(session)}",
        f"-DPython_INCLUDE_DIR={tree}/usr/include/python3.15",
        f"-DCMAKE_CROSSCOMPILING_EMULATOR={';'.join(emulate)}",
        *(f"-D{define}" for define in AARCH64),
    )
    session.run("ctest", "--test-dir", str(build), "--output-on-failure")

    out = CACHE / "wheels" / "cp315-aarch64"
    defines = [f"-Ccmake.define.{define}" for define in AARCH64]
    include = f"-Ccmake.define.Python_INCLUDE_DIR={tree}/usr/include/python3.15"
    session.log("cross-building the wheel for cp315 on aarch64")
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    session.run(
        "python",
        "-m",
        "build",
        "--no-isolation",
        "--outdir",
        str(out),
        "--wheel",
        f"-Cbuild-dir={CACHE / 'build' / 'cp315-aarch64'}",
        *defines,
        include,
        str(ROOT),
        env=AARCH64_ENV,
        silent=True,
    )
    session.run("auditwheel", "repair", "--wheel-dir", str(out / "repaired"), *out.glob("*.whl"), silent=True)
    repaired = next((out / "repaired").glob("*.whl"))
    session.log(f"auditwheel repair: {repaired.name} ({repaired.stat().st_size // 1024} KiB)")

    site = CACHE / "aarch64" / "site-packages"
    shutil.rmtree(site, ignore_errors=True)
    uv = Path(sys.executable).parent / "uv"
    target = ["--target", str(site), "--python-platform", "aarch64-unknown-linux-gnu", "--python-version", "3.15"]
    session.run(str(uv), "pip", "install", "-q", *target, "-c", str(CONSTRAINTS), "pytest", "hypothesis", external=True)
    session.run(str(uv), "pip", "install", "-q", *target, "--no-deps", str(repaired), external=True)
    session.run(
        *emulate,
        str(tree / "usr" / "bin" / "python3.15"),
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        *SUITE_PART,
        # qemu-user runs one program: a child interpreter would be an aarch64
        # binary started by the host, which cannot run it.
        "--deselect=tests/test_frozen.py::test_freeze_when_construction_is_replaced",
        env={"PYTHONPATH": str(site)},
        external=True,
    )


def lint_report(session, tool, report, pattern):
    """The report's findings (the lines matching PATTERN, once each, a header
    reached through "dir/../" from several sources counting once)."""
    import re

    findings = sorted(
        {re.sub(r"[^/ :]+/\.\./", "", line) for line in report.read_text().splitlines() if re.search(pattern, line)}
    )
    if findings:
        sys.stderr.write("\n".join(findings) + "\n")
        session.warn(f"{tool}: {len(findings)} finding(s), full report in {report}")
    return findings


@nox.session(python=HOST)
def lint(session):
    """ruff (lint and format), clang-format and clang-tidy; every linter runs,
    and the session fails if any of them finds anything. clang-tidy reads the
    compile commands of a configure-only build of the modules and the C++
    tests."""
    install_groups(session, "lint")
    reports, build = CACHE / "lint", CACHE / "build" / "lint"
    reports.mkdir(parents=True, exist_ok=True)

    def run_to(name, *command):
        with (reports / name).open("w") as out:
            subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, check=False)

    bin_dir = Path(session.bin)
    location = r"^[^ ]+:[0-9]+:[0-9]+: "
    run_to("ruff-check", bin_dir / "ruff", "check", "--output-format", "concise", ".")
    run_to("ruff-format", bin_dir / "ruff", "format", "--check", "--output-format", "concise", ".")
    sources = subprocess.run(
        ["git", "ls-files", "*.cpp", "*.h", "*.hpp"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split()
    run_to("clang-format", bin_dir / "clang-format", "--dry-run", *sources)
    session.run(
        "cmake",
        "-S",
        str(ROOT),
        "-B",
        str(build),
        "-G",
        "Ninja",
        "-DCMAKE_BUILD_TYPE=Debug",
        "-DQUILLET_PYTHON=ON",
        "-DQUILLET_CPP_TESTS=ON",
        "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
        f"-DPython_EXECUTABLE={bin_dir / 'python'}",
        silent=True,
    )
    tidy_sources = subprocess.run(
        ["git", "ls-files", "src/*.cpp", "tests/cpp/*.cpp"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split()
    run_to(
        "clang-tidy",
        bin_dir / "run-clang-tidy.py",
        "-quiet",
        "-p",
        str(build),
        "-j",
        str(os.cpu_count()),
        "-clang-tidy-binary",
        bin_dir / "clang-tidy",
        *tidy_sources,
    )
    findings = [
        lint_report(session, "ruff check", reports / "ruff-check", location),
        lint_report(session, "ruff format", reports / "ruff-format", location),
        lint_report(session, "clang-format", reports / "clang-format", "clang-format-violations"),
        lint_report(session, "clang-tidy", reports / "clang-tidy", ": (error|warning): "),
    ]
    if any(findings):
        session.error("lint: findings above")
    session.log("lint: no findings")


@nox.session(python="3.15")
def bench(session):
    """The main job: the C++ benchmark of the attrs cache's map (repetitions
    interleaved at random, so that a slow spell of the machine does not land on
    one map only), then bench/main.py with the arguments after --."""
    install_groups(session, "bench")
    build_install(session, CACHE / "build" / tag(session))
    results, build = ROOT / "bench" / "results", CACHE / "build" / "cpp-bench"
    results.mkdir(exist_ok=True)
    quick = "--quick" in session.posargs
    configure(
        session,
        build,
        "-DCMAKE_BUILD_TYPE=Release",
        "-DQUILLET_PYTHON=OFF",
        "-DQUILLET_CPP_BENCH=ON",
        f"-DPython_EXECUTABLE={Path(session.bin) / 'python'}",
    )
    session.log("C++ benchmark: OpenMap, std::unordered_map, absl::flat_hash_map")
    session.run(
        str(build / "open_map_bench"),
        f"--benchmark_min_time={0.05 if quick else 0.5}",
        f"--benchmark_repetitions={3 if quick else 10}",
        "--benchmark_enable_random_interleaving=true",
        "--benchmark_display_aggregates_only=true",
        f"--benchmark_out={results / 'open_map_bench.json'}",
        "--benchmark_out_format=json",
        external=True,
    )
    session.run("python", "bench/cpp_rows.py", str(results / "open_map_bench.json"), str(results / "cpp_rows.json"))
    session.run("python", "bench/main.py", "--cpp-results", str(results / "cpp_rows.json"), *session.posargs)
