#!/usr/bin/env bash
# Prints the path of a CPython 3.15 interpreter, provisioning one if needed.
#
# A python3.15 on PATH wins. Otherwise Debian unstable's python3.15 packages and
# the C runtime they were built against are fetched with a private apt
# configuration (the system's sources and installed packages stay untouched),
# unpacked into .cache/python3.15 and patched to use the unpacked loader.
set -euo pipefail

if command -v python3.15 >/dev/null 2>&1; then
    command -v python3.15
    exit 0
fi

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HOME315=$ROOT/.cache/python3.15
PREFIX=$HOME315/root/usr
PYTHON=$PREFIX/bin/python3.15
LIBDIR=$PREFIX/lib/x86_64-linux-gnu

if [ -x "$PYTHON" ] && "$PYTHON" -c 'import ssl, sqlite3, ctypes, decimal' >/dev/null 2>&1; then
    echo "$PYTHON"
    exit 0
fi

PACKAGES=(
    python3.15 python3.15-minimal libpython3.15-minimal libpython3.15-stdlib
    libpython3.15-dev python3.15-dev python3.15-venv python3-pip-whl
    libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libzstd1 libffi8 libssl3t64
    libbz2-1.0 liblzma5 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libuuid1
)

rm -rf "$HOME315"
mkdir -p "$HOME315"/{apt/lists/partial,apt/cache/archives/partial,debs,root}
cat > "$HOME315/apt/sources.list" <<SOURCES
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian unstable main
SOURCES
touch "$HOME315/apt/status"
apt_private=(
    -o "Dir::Etc::SourceList=$HOME315/apt/sources.list"
    -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$HOME315/apt/lists"
    -o "Dir::Cache=$HOME315/apt/cache"
    -o "Dir::State::status=$HOME315/apt/status"
    -o APT::Sandbox::User=root
    -o APT::Architecture=amd64
)
echo "provisioning CPython 3.15 from Debian unstable into $HOME315" >&2
apt-get -qq "${apt_private[@]}" update >&2
(cd "$HOME315/debs" && apt-get -qq "${apt_private[@]}" download "${PACKAGES[@]}" >&2)
for deb in "$HOME315"/debs/*.deb; do
    dpkg -x "$deb" "$HOME315/root"
done

# The binary must stay where it is: the interpreter finds its stdlib relative to itself.
patchelf --set-interpreter "$LIBDIR/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$LIBDIR" "$PYTHON"
# Make the include folder stand alone: pyconfig.h normally lives under the multiarch tree.
cp "$PREFIX/include/x86_64-linux-gnu/python3.15/pyconfig.h" "$PREFIX/include/python3.15/pyconfig.h"

"$PYTHON" -c 'import ssl, sqlite3, ctypes, decimal' >&2
echo "$PYTHON"
