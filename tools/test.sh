#!/usr/bin/env bash
# Installs what the build needs (Debian packages; run as root), configures, builds and runs every test.
#   tools/test.sh                  the normal build, in build/
#   ZEL_SANITIZE=ON tools/test.sh  AddressSanitizer + UndefinedBehaviorSanitizer, in build-sanitize/
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

mapfile -t packages < <(grep -v '^\s*#' ci-deps.txt | sed '/^\s*$/d')
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

sanitize=${ZEL_SANITIZE:-OFF}
build=${ZEL_BUILD_DIR:-build}
[ "$sanitize" = ON ] && build=${ZEL_BUILD_DIR:-build-sanitize}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
