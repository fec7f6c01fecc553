#!/usr/bin/env bash
# Installs what the build needs, configures and builds. Prints the build folder on the last line of
# stdout.
#   tools/build.sh            the product and the tests: installs run-deps.txt and ci-deps.txt;
#                             the benchmarks too with ZEL_BUILD_BENCH=ON (tools/bench.sh sets it)
#   tools/build.sh --product  only what running needs (zelhost, the libraries, the packages, the
#                             import helper): installs run-deps.txt alone, and a new build folder
#                             is configured without the tests and benchmarks
# ZEL_SANITIZE=ON builds with AddressSanitizer + UndefinedBehaviorSanitizer in build-sanitize/.
#
# Only the package installation runs as root: a user who is not root is told on stderr which
# packages are missing and then asked for sudo's password (apt-get alone runs under sudo). When
# every package is installed, sudo is not used at all. The build runs as the user who called it,
# so everything in the working tree stays theirs.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
me=$(basename "$0")
product=OFF
[ "${1:-}" = --product ] && product=ON

lists=(run-deps.txt)
[ "$product" = OFF ] && lists+=(ci-deps.txt)
"$top/tools/install-deps.sh" "${lists[@]}"

sanitize=${ZEL_SANITIZE:-OFF}
build=${ZEL_BUILD_DIR:-$top/build}
[ "$sanitize" = ON ] && build=${ZEL_BUILD_DIR:-$top/build-sanitize}
settings=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_SANITIZE="$sanitize")
command -v ccache >/dev/null && settings+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
targets=()
if [ "$product" = ON ]; then
    # A folder that the test build configured keeps its tests; only the product is built.
    [ -f "$build/CMakeCache.txt" ] || settings+=(-DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF)
    targets=(--target zelhost propplacer zelstyles zelimport)
else
    settings+=(-DZEL_BUILD_TESTS=ON -DZEL_BUILD_BENCH="${ZEL_BUILD_BENCH:-OFF}")
fi
echo "$me: configuring and building in $build" >&2
cmake -S . -B "$build" "${settings[@]}" >&2
cmake --build "$build" -j "$(nproc)" "${targets[@]}" >&2
echo "$build"
