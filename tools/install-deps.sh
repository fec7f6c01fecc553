#!/usr/bin/env bash
# Installs the Debian packages listed in the given files (one a line, "#" comments) that are not
# installed yet; run as root. A package written NAME:i386 first enables the i386 architecture.
#   tools/install-deps.sh ci-deps.txt [ci-deps-windows.txt]
set -euo pipefail
packages=()
for list in "$@"; do
    mapfile -t -O "${#packages[@]}" packages < <(grep -v '^\s*#' "$list" | sed 's/\s*#.*//; /^\s*$/d')
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps.sh: installing ${#missing[@]} Debian packages (the first time this takes a few minutes): ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Another apt may hold the lock for a while on a shared machine: wait for it instead of failing.
apt=(apt-get -o DPkg::Lock::Timeout=600)
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
"${apt[@]}" update -qq >&2 || true
"${apt[@]}" install -y -q --no-install-recommends "${missing[@]}" >&2
