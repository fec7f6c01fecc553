#!/usr/bin/env bash
# Installs the Debian packages listed in the given files (one a line, "#" comments) that are not
# installed yet. A package written NAME:i386 first enables the i386 architecture.
#   tools/install-deps.sh ci-deps.txt [ci-deps-windows.txt]
#
# Only the installation runs as root: a user who is not root is told on stderr which packages are
# missing and then asked for sudo's password (apt-get and dpkg alone run under sudo). When every
# package is installed, sudo is not used at all.
set -euo pipefail
me=$(basename "$0")
packages=()
for list in "$@"; do
    mapfile -t -O "${#packages[@]}" packages < <(grep -v '^\s*#' "$list" | sed 's/\s*#.*//; /^\s*$/d')
done
# A package counts as installed when an installed package provides it: a Node.js from another
# source ships npm inside and conflicts with Debian's npm package.
provided=" "
while IFS= read -r line; do
    [[ "$line" == "install ok installed|"* ]] || continue
    IFS=',' read -ra names <<<"${line#*|}"
    for n in "${names[@]}"; do
        n=${n%%(*}
        provided+="${n// /} "
    done
done < <(dpkg-query -W -f='${Status}|${Provides}\n' 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        [[ "$provided" == *" $p "* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

asRoot=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "$me: these Debian packages are missing and sudo is not installed: ${missing[*]}" >&2
        echo "$me: as root, run: apt-get install --no-install-recommends ${missing[*]}" \
            "and then this command again" >&2
        exit 1
    fi
    echo "$me: these Debian packages are missing: ${missing[*]}" >&2
    echo "$me: installing them with sudo apt-get (sudo may ask for your password);" \
        "the build itself runs as $(id -un)" >&2
    asRoot=(sudo)
fi
echo "$me: installing ${#missing[@]} Debian packages (the first time this takes a few minutes): ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# Another apt may hold the lock for a while on a shared machine: wait for it instead of failing.
apt=(apt-get -o DPkg::Lock::Timeout=600)
# sudo resets the environment: the front end goes along on apt-get's own command line.
[ ${#asRoot[@]} -gt 0 ] && apt=(sudo env DEBIAN_FRONTEND=noninteractive "${apt[@]}")
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${asRoot[@]}" dpkg --add-architecture i386
fi
"${apt[@]}" update -qq >&2 || true
"${apt[@]}" install -y -q --no-install-recommends "${missing[@]}" >&2 || {
    echo "$me: the installation failed; as root, run:" \
        "apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
}
