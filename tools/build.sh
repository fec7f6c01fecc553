#!/usr/bin/env bash
# Installs what the build needs (Debian packages listed in ci-deps.txt; run as root), configures and
# builds. ZEL_SANITIZE=ON builds with AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/.
# Prints the build folder on the last line of stdout.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

mapfile -t packages < <(grep -v '^\s*#' ci-deps.txt | sed '/^\s*$/d')
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "build.sh: installing ${#missing[@]} Debian packages (the first time this takes a few minutes): ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 || true
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

sanitize=${ZEL_SANITIZE:-OFF}
build=${ZEL_BUILD_DIR:-$top/build}
[ "$sanitize" = ON ] && build=${ZEL_BUILD_DIR:-$top/build-sanitize}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "build.sh: configuring and building in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize" "${launcher[@]}" >&2
cmake --build "$build" -j "$(nproc)" >&2
echo "$build"
