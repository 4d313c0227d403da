# Shared by test.sh, bench.sh and lock.sh: provisions what the project needs on
# first use (Debian packages, interpreters, the nox runner) and is quick when
# run again; the virtual environments of the checks are nox's. Source it; it
# defines functions only.

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

# nox_runner: the one venv made here, holding nox and uv at their pinned
# versions (the ci dependency group); prints its folder.
nox_runner() {
    local venv=$CACHE/venv-nox
    if ! "$venv/bin/python" -c '' 2>/dev/null || ! grep -qF "$venv/bin/python" "$venv/bin/nox" 2>/dev/null; then
        log "creating the nox runner"
        rm -rf "$venv"
        python3 -m venv "$venv"
    fi
    # --group needs pip 25.1 or newer; the interpreter may bring an older one.
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -c "$ROOT/tools/constraints.txt" pip >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -c "$ROOT/tools/constraints.txt" \
        --group "$ROOT/pyproject.toml:ci" >&2
    echo "$venv"
}

# offer_python NAME PATH: puts the interpreter on the PATH nox searches, as
# NAME (python3.14, python3.15d); fails when PATH is empty.
offer_python() {
    [ -n "$2" ] || return 1
    mkdir -p "$CACHE/bin"
    ln -sfn "$2" "$CACHE/bin/$1"
}

# run_nox SESSION [-- ARGS...]: one nox session, with the offered interpreters.
run_nox() {
    (cd "$ROOT" && PATH="$CACHE/bin:$PATH" "$CACHE/venv-nox/bin/nox" --no-color -s "$@")
}

# The image's python3 (through pyenv's shim, if that is how it is reached).
host_python() {
    python3 -c 'import sys; print(sys.executable)'
}

host_python_version() {
    python3 -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")'
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

