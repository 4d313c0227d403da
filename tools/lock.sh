#!/usr/bin/env bash
# Compiles tools/constraints.txt, the exact versions of everything
# pyproject.toml's dependency groups pull in, with uv: one universal
# resolution, with markers where an interpreter needs other versions, for every
# supported interpreter. Run it after changing a group, and commit the result.
#
#   tools/lock.sh            keep what still satisfies the groups
#   tools/lock.sh --upgrade  take the newest versions the groups allow
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

upgrade=()
[ "${1:-}" = --upgrade ] && upgrade=(--upgrade)

venv=$(nox_runner)
mapfile -t groups < <(cd "$ROOT" && "$venv/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as file:
    print(*tomllib.load(file)["dependency-groups"], sep="\n")
' | sed 's/^/--group=pyproject.toml:/')
# pip too: the venvs upgrade their own pip to the pinned one first.
(cd "$ROOT" && echo 'pip>=25.1' | "$venv/bin/uv" pip compile - "${groups[@]}" "${upgrade[@]}" \
    --universal --python-version 3.11 --no-annotate --quiet \
    --custom-compile-command tools/lock.sh -o tools/constraints.txt)
log "tools/constraints.txt: $(grep -c '==' "$ROOT/tools/constraints.txt") pins"
