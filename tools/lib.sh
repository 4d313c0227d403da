# Shared by test.sh and bench.sh: provisions what the project needs on first use
# and is quick when run again. Source it; it defines functions only.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=$ROOT/.cache

# Failures inside $(...) must stop the scripts too.
shopt -s inherit_errexit

log() { printf '==> %s\n' "$*" >&2; }

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

# ensure_venv NAME PYTHON [REQUIREMENTS_FILE...]: a virtual environment under
# .cache with tools/requirements.txt and the given files installed; reinstalled
# only when the requirements change.
ensure_venv() {
    local name=$1 python=$2 venv=$CACHE/venv-$1
    shift 2
    local wanted stamp=$venv/.requirements
    wanted=$(cat "$ROOT/tools/requirements.txt" "$@")
    if [ ! -x "$venv/bin/python" ]; then
        log "creating virtual environment $name"
        "$python" -m venv --without-pip "$venv"
        bootstrap_pip "$venv/bin/python" "$python"
    fi
    if [ "$wanted" != "$(cat "$stamp" 2>/dev/null)" ]; then
        log "installing requirements into $name"
        "$venv/bin/python" -m pip install -q -r <(printf '%s\n' "$wanted") >&2
        printf '%s' "$wanted" > "$stamp"
    fi
    echo "$venv"
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
    tag=$("$venv/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    for define in "$@"; do defines+=(-C "cmake.define.$define"); done
    log "building quillet for $tag $*"
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps --force-reinstall \
        -C "build-dir=$CACHE/build/$tag${QUILLET_BUILD_SUFFIX:-}" "${defines[@]}" "$ROOT" >&2
}

ensure_toolchain() {
    ensure_debian_packages patchelf libgtest-dev
}
