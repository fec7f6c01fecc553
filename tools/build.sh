#!/usr/bin/env bash
# Installs what the build needs (the Debian packages listed in ci-deps.txt), configures and builds.
# ZEL_SANITIZE=ON builds with AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/.
# Prints the build folder on the last line of stdout.
#
# Only the package installation runs as root: a user who is not root is told on stderr which
# packages are missing and then asked for sudo's password (apt-get alone runs under sudo). When
# every package is installed, sudo is not used at all. The build runs as the user who called it,
# so everything in the working tree stays theirs.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
me=$(basename "$0")

mapfile -t packages < <(grep -v '^\s*#' ci-deps.txt | sed '/^\s*$/d')
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # Waits for another apt-get (an update running in the background) instead of failing at once.
    apt=(apt-get -o DPkg::Lock::Timeout=300)
    if [ "$(id -u)" -eq 0 ]; then
        echo "$me: installing ${#missing[@]} Debian packages (the first time this takes a few minutes): ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        "${apt[@]}" update -qq >&2 || true
        "${apt[@]}" install -y -q --no-install-recommends "${missing[@]}" >&2
    elif command -v sudo >/dev/null 2>&1; then
        echo "$me: these Debian packages are missing: ${missing[*]}" >&2
        echo "$me: installing them with sudo apt-get (sudo may ask for your password);" \
            "the build itself runs as $(id -un)" >&2
        sudo "${apt[@]}" update -qq >&2 || true
        sudo "${apt[@]}" install -y -q --no-install-recommends "${missing[@]}" >&2 || {
            echo "$me: the installation failed; as root, run:" \
                "apt-get install --no-install-recommends ${missing[*]}" >&2
            exit 1
        }
    else
        echo "$me: these Debian packages are missing and sudo is not installed: ${missing[*]}" >&2
        echo "$me: as root, run: apt-get install --no-install-recommends ${missing[*]}" \
            "and then $0 again" >&2
        exit 1
    fi
fi

sanitize=${ZEL_SANITIZE:-OFF}
build=${ZEL_BUILD_DIR:-$top/build}
[ "$sanitize" = ON ] && build=${ZEL_BUILD_DIR:-$top/build-sanitize}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "$me: configuring and building in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize" "${launcher[@]}" >&2
cmake --build "$build" -j "$(nproc)" >&2
echo "$build"
