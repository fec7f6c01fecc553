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

"$top/tools/install-deps.sh" ci-deps.txt

sanitize=${ZEL_SANITIZE:-OFF}
build=${ZEL_BUILD_DIR:-$top/build}
[ "$sanitize" = ON ] && build=${ZEL_BUILD_DIR:-$top/build-sanitize}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "$me: configuring and building in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize" "${launcher[@]}" >&2
cmake --build "$build" -j "$(nproc)" >&2
echo "$build"
