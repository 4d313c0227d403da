# Shared by test.sh and bench.sh: provisions what the project needs on first use
# and is quick when run again. Source it; it defines functions only.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=$ROOT/.cache

# Failures inside $(...) must stop the scripts too.
shopt -s inherit_errexit

log() { printf '==> %s\n' "$*" >&2; }

# step NAME COMMAND...: runs the command, logging and keeping its time for the
# closing summary.
STEP_TIMES=()
step() {
    local name=$1 start=$SECONDS took
    shift
    "$@"
    took=$((SECONDS - start))
    STEP_TIMES+=("$(printf '%5d:%02d  %s' $((took / 60)) $((took % 60)) "$name")")
    log "$name: done in $((took / 60)) min $((took % 60)) s"
}

step_summary() {
    [ ${#STEP_TIMES[@]} = 0 ] && return
    log "time per step (min:s):"
    printf '%s\n' "${STEP_TIMES[@]}" >&2
}

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages that are not installed yet.
ensure_debian_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing Debian packages: ${missing[*]}"
    as_root apt-get -qq update >&2
    DEBIAN_FRONTEND=noninteractive as_root apt-get -qq install -y --no-install-recommends "${missing[@]}" >&2
}

python315() {
    "$ROOT/tools/provision-python.sh"
}

# python_for VERSION: the interpreter CI tests VERSION with: 3.14 and 3.15 are
# provisioned from Debian unstable, the older ones come from the machine.
# Prints nothing when there is none.
python_for() {
    case $1 in
    3.14 | 3.15) "$ROOT/tools/provision-python.sh" "$1" || true ;;
    *) python_on_machine "$1" ;;
    esac
}

# ensure_venv NAME PYTHON [GROUP...]: a virtual environment under .cache with
# pyproject.toml's dependency groups build, test and the given ones installed,
# at the versions pinned in tools/constraints.txt. pip leaves what already
# matches alone, so a second run only checks.
ensure_venv() {
    local name=$1 python=$2 venv=$CACHE/venv-$1 group groups=()
    shift 2
    for group in build test "$@"; do groups+=(--group "$ROOT/pyproject.toml:$group"); done
    if ! venv_usable "$venv"; then
        log "creating virtual environment $name"
        rm -rf "$venv"
        "$python" -m venv --without-pip "$venv"
        bootstrap_pip "$venv/bin/python" "$python"
    fi
    # --group needs pip 25.1 or newer; ensurepip may bring an older one.
    pip_install "$venv" pip
    pip_install "$venv" "${groups[@]}"
    echo "$venv"
}

# A venv's scripts name their interpreter by absolute path, so one copied or
# moved with the checkout is made again.
venv_usable() {
    "$1/bin/python" -c '' 2>/dev/null && head -n 3 "$1/bin/pip" 2>/dev/null | grep -qF "$1/bin/python"
}

# pip_install VENV ARGS...: pip install at the pinned versions, quietly.
pip_install() {
    local venv=$1; shift
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -c "$ROOT/tools/constraints.txt" "$@" >&2
}

# pip comes from the interpreter's own wheel folder when it ships one (the
# provisioned 3.15), otherwise from ensurepip.
bootstrap_pip() {
    local venv_python=$1 base_python=$2 wheel
    wheel=$(ls "$(dirname "$base_python")"/../share/python-wheels/pip-*.whl 2>/dev/null | sort | tail -n 1 || true)
    if [ -n "$wheel" ] && [[ $base_python == "$CACHE"/* ]]; then
        "$venv_python" "$wheel/pip" install -q --no-index "$wheel" >&2
    else
        "$venv_python" -m ensurepip --upgrade --default-pip >/dev/null
    fi
}

# build_install VENV [CMAKE_DEFINE...]: builds the extensions into the venv,
# reusing a build folder per interpreter so that rebuilds are incremental.
build_install() {
    local venv=$1; shift
    local tag defines=()
    tag=$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")')
    for define in "$@"; do defines+=(-C "cmake.define.$define"); done
    log "building quillet for $tag $*"
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
        -C "build-dir=$CACHE/build/$tag${QUILLET_BUILD_SUFFIX:-}" "${defines[@]}" "$ROOT" >&2
}

# cmake_configure VENV BUILD [ARG...]: configures the source tree into BUILD
# with the venv's CMake and Ninja. CMake refuses a build folder made for
# another source folder, as after copying or moving the checkout: such a
# folder is started afresh.
cmake_configure() {
    local venv=$1 build=$2
    shift 2
    if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT" "$build/CMakeCache.txt"; then
        log "$(basename "$build") was configured for another checkout: starting it afresh"
        rm -rf "$build"
    fi
    PATH="$venv/bin:$PATH" cmake -S "$ROOT" -B "$build" -G Ninja "$@" >/dev/null
}

ensure_toolchain() {
    ensure_debian_packages patchelf libgtest-dev
}

# python_on_machine VERSION: prints the path of a CPython VERSION interpreter
# (pythonVERSION on PATH, else the newest pyenv one) that can make venvs, or
# nothing when the machine has none.
python_on_machine() {
    local version=$1 candidate
    for candidate in "$(command -v "python$version" || true)" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version" 2>/dev/null | sort -rV); do
        if [ -x "$candidate" ] && "$candidate" -c "import sys, venv; assert '%d.%d' % sys.version_info[:2] == '$version'" \
            2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
}

# python_build VENV OUTDIR [BUILD_ARGS...]: `python -m build` without build
# isolation (the venv has the build requirements); its output is shown only
# when it fails.
python_build() {
    local venv=$1 out=$2
    shift 2
    rm -rf "$out"
    mkdir -p "$out"
    "$venv/bin/python" -m build --no-isolation --outdir "$out" "$@" >"$out.log" 2>&1 || {
        cat "$out.log" >&2
        return 1
    }
}

# build_wheel VENV: builds the wheel for VENV's interpreter from the source
# tree, reusing the interpreter's build folder, and prints the wheel's path.
build_wheel() {
    local venv=$1 tag
    tag=$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")')
    log "building the wheel for $tag"
    python_build "$venv" "$CACHE/wheels/$tag" --wheel -C "build-dir=$CACHE/build/$tag" "$ROOT"
    ls "$CACHE/wheels/$tag"/*.whl
}

# install_wheel VENV WHEEL: makes the wheel the venv's only quillet.
install_wheel() {
    "$1/bin/python" -m pip install -q --no-deps --force-reinstall "$2" >&2
}
