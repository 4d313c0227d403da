#!/usr/bin/env bash
# Prints the path of a CPython 3.X interpreter (3.15 unless VERSION says
# otherwise), provisioning one if needed.
#
#   tools/provision-python.sh [VERSION]                      the release build
#   tools/provision-python.sh [VERSION] --debug              the Py_DEBUG build (python3.Xd)
#   tools/provision-python.sh [VERSION] --sanitizer-runtime  the folder holding libasan.so.8
#                                                            and libubsan.so.1 built for the
#                                                            release build's C library
#   tools/provision-python.sh [VERSION] --doc                the objects.inv of the Python
#                                                            docs, for intersphinx
#   tools/provision-python.sh [VERSION] --arm64              the release build for aarch64,
#                                                            with its C runtime, to run under
#                                                            qemu-aarch64 -L <the tree two
#                                                            folders above it>
#
# A python3.X (python3.Xd) on PATH wins. Otherwise Debian unstable's packages
# and the C runtime they were built against are fetched with a private apt
# configuration (the system's sources and installed packages stay untouched),
# unpacked under QUILLET_PROVISION_DIR (default .cache) and patched to use the
# unpacked loader. The archive is the Debian one the machine's own apt sources
# name, switched to the unstable suite.
set -euo pipefail

version=3.15
if [[ ${1:-} =~ ^3\.[0-9]+$ ]]; then
    version=$1
    shift
fi
flavour=${1:-release}
case $flavour in
release | --debug | --sanitizer-runtime | --doc | --arm64) flavour=${flavour#--} ;;
*)
    echo "usage: tools/provision-python.sh [VERSION] [--debug | --sanitizer-runtime | --doc | --arm64]" >&2
    exit 2
    ;;
esac

if [ "$flavour" = release ] && command -v "python$version" >/dev/null 2>&1; then
    command -v "python$version"
    exit 0
fi
if [ "$flavour" = debug ] && command -v "python${version}d" >/dev/null 2>&1; then
    command -v "python${version}d"
    exit 0
fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIR=${QUILLET_PROVISION_DIR:-$ROOT/.cache}

RUNTIME=(
    libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libzstd1 libffi8 libssl3t64
    libbz2-1.0 liblzma5 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libuuid1
)
py=python$version
RELEASE=(
    "$py" "$py-minimal" "lib$py-minimal" "lib$py-stdlib" "lib$py-dev" "$py-dev" "$py-venv" python3-pip-whl
)
case $flavour in
release)
    HOME_DIR=$DIR/$py
    PYTHON_NAME=$py
    PACKAGES=("${RELEASE[@]}" "${RUNTIME[@]}")
    ;;
debug)
    HOME_DIR=$DIR/${py}d
    PYTHON_NAME=${py}d
    PACKAGES=("$py-dbg" "lib$py-dbg" "${RELEASE[@]}" "${RUNTIME[@]}")
    ;;
sanitizer-runtime)
    HOME_DIR=$DIR/sanitizers-$version
    PACKAGES=(libasan8 libubsan1)
    ;;
doc)
    HOME_DIR=$DIR/$py-doc
    PACKAGES=("$py-doc")
    ;;
arm64)
    HOME_DIR=$DIR/$py-arm64
    PYTHON_NAME=$py
    PACKAGES=("${RELEASE[@]}" "${RUNTIME[@]}")
    ;;
esac
ARCH=amd64
TRIPLET=x86_64-linux-gnu
APT_HOME=$DIR/debian-unstable
if [ "$flavour" = arm64 ]; then
    ARCH=arm64
    TRIPLET=aarch64-linux-gnu
    APT_HOME=$DIR/debian-unstable-arm64
fi
PREFIX=$HOME_DIR/root/usr
LIBDIR=$PREFIX/lib/$TRIPLET
PYTHON=$PREFIX/bin/${PYTHON_NAME:-}
INVENTORY=$PREFIX/share/doc/$py/html/objects.inv

provisioned() {
    if [ "$flavour" = sanitizer-runtime ]; then
        [ -e "$LIBDIR/libasan.so.8" ] && [ -e "$LIBDIR/libubsan.so.1" ]
    elif [ "$flavour" = doc ]; then
        [ -s "$INVENTORY" ]
    elif [ "$flavour" = arm64 ]; then
        [ -x "$PYTHON" ] && qemu-aarch64 -L "$HOME_DIR/root" "$PYTHON" -c 'import ctypes, decimal' >/dev/null 2>&1
    else
        [ -x "$PYTHON" ] && "$PYTHON" -c 'import ssl, sqlite3, ctypes, decimal' >/dev/null 2>&1
    fi
}

# what_was_provisioned: the path the flavour prints.
what_was_provisioned() {
    case $flavour in
    sanitizer-runtime) echo "$LIBDIR" ;;
    doc) echo "$INVENTORY" ;;
    *) echo "$PYTHON" ;;
    esac
}

if provisioned; then
    what_was_provisioned
    exit 0
fi

# Prints "URI KEYRING" of the first Debian archive in the machine's apt sources:
# the source that carries the machine's own release suite (not its -updates or
# -security companions). Both the one-line and the deb822 formats are read.
debian_archive() {
    local etc list parts codename
    eval "$(apt-config shell etc Dir::Etc/d list Dir::Etc::SourceList parts Dir::Etc::SourceParts/d)"
    [[ $list == /* ]] || list=$etc/$list
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || return 0
    {
        [ -f "$list" ] && cat "$list"
        for file in "$parts"/*.list; do [ -f "$file" ] && cat "$file"; done
        for file in "$parts"/*.sources; do [ -f "$file" ] && deb822_as_lines "$file"; done
    } | awk -v codename="$codename" '
        {
            sub(/#.*/, "")
            keyring = "/usr/share/keyrings/debian-archive-keyring.gpg"
            if (match($0, /signed-by=[^] ]+/)) keyring = substr($0, RSTART + 10, RLENGTH - 10)
            gsub(/\[[^]]*\]/, "")
            if ($1 == "deb" && $3 == codename) { print $2, keyring; exit }
        }'
}

# deb822_as_lines FILE: one "deb [signed-by=K] URI SUITE" line per enabled
# deb source, URI and suite of each stanza.
deb822_as_lines() {
    awk '
        function flush(   u, s, n, m, i, j, uris, suites, opts) {
            if (types ~ /(^| )deb( |$)/ && enabled != "no") {
                opts = keyring ~ /^\// ? "[signed-by=" keyring "] " : ""
                n = split(uri, uris, " "); m = split(suite, suites, " ")
                for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print "deb " opts uris[i] " " suites[j]
            }
            types = uri = suite = keyring = enabled = ""
        }
        /^[[:space:]]*#/ { next }
        /^[[:space:]]*$/ { flush(); next }
        /^[^[:space:]]/ {
            field = tolower($1); sub(/:$/, "", field); $1 = ""; sub(/^ +/, "")
            if (field == "types") types = $0
            else if (field == "uris") uri = $0
            else if (field == "suites") suite = $0
            else if (field == "signed-by") keyring = $0
            else if (field == "enabled") enabled = tolower($0)
        }
        END { flush() }' "$1"
}

read -r archive keyring < <(debian_archive || true) || true
if [ -z "${archive:-}" ]; then
    eval "$(apt-config shell sources Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
    echo "provision-python.sh: the apt sources of this machine ($sources, $parts) name no Debian" \
        "archive for its own release, so there is nowhere to fetch CPython $version from;" \
        "put ${PYTHON_NAME:-$py} on PATH or add the Debian archive to the apt sources" >&2
    exit 1
fi

mkdir -p "$APT_HOME"/{lists/partial,cache/archives/partial}
echo "deb [signed-by=$keyring] $archive unstable main" > "$APT_HOME/sources.list"
touch "$APT_HOME/status"
apt_private=(
    -o "Dir::Etc::SourceList=$APT_HOME/sources.list"
    -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$APT_HOME/lists"
    -o "Dir::Cache=$APT_HOME/cache"
    -o "Dir::State::status=$APT_HOME/status"
    -o APT::Sandbox::User=root
    -o "APT::Architecture=$ARCH"
)
echo "provisioning ${PACKAGES[0]} from Debian unstable ($archive) into $HOME_DIR" >&2
apt-get -qq "${apt_private[@]}" update >&2
rm -rf "$HOME_DIR"
mkdir -p "$HOME_DIR"/{debs,root}
(cd "$HOME_DIR/debs" && apt-get -qq "${apt_private[@]}" download "${PACKAGES[@]}" >&2)
for deb in "$HOME_DIR"/debs/*.deb; do
    dpkg -x "$deb" "$HOME_DIR/root"
done

if [ "$flavour" = sanitizer-runtime ] || [ "$flavour" = doc ]; then
    provisioned
    what_was_provisioned
    exit 0
fi

# Make the include folder stand alone: pyconfig.h normally lives under the
# multiarch tree. The debug folder is symlinks into the release one, whose
# headers would include the release pyconfig.h beside them: copy the files.
include=$PREFIX/include/$PYTHON_NAME
cp -rL "$include" "$include.files"
rm -rf "$include"
mv "$include.files" "$include"
cp -f "$PREFIX/include/$TRIPLET/$PYTHON_NAME/pyconfig.h" "$include/pyconfig.h"

if [ "$flavour" = arm64 ]; then
    # The loader is asked for as /lib/ld-linux-aarch64.so.1, and absolute links
    # must point into the tree, for qemu -L.
    [ -e "$HOME_DIR/root/lib" ] || ln -s usr/lib "$HOME_DIR/root/lib"
    find "$HOME_DIR/root" -type l -lname '/*' | while read -r link; do
        ln -sfn "$HOME_DIR/root$(readlink "$link")" "$link"
    done
    qemu-aarch64 -L "$HOME_DIR/root" "$PYTHON" -c 'import ctypes, decimal' >&2
    echo "$PYTHON"
    exit 0
fi

# The binary must stay where it is: the interpreter finds its stdlib relative to itself.
patchelf --set-interpreter "$LIBDIR/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$LIBDIR" "$PYTHON"
"$PYTHON" -c 'import ssl, sqlite3, ctypes, decimal' >&2
echo "$PYTHON"
