#!/usr/bin/env bash
# Installs what the builds need, builds, and runs every test: the Linux suite, then the Windows build
# of the package with its tests under wine (tools/test-windows.sh).
#   tools/test.sh                  the normal build, in build/, then build-windows/
#   ZEL_SANITIZE=ON tools/test.sh  AddressSanitizer + UndefinedBehaviorSanitizer, in build-sanitize/
#                                  (Linux only)
#   ZEL_WINDOWS=OFF tools/test.sh  the Linux suite only
# After the Linux suite the fuzzers run for ZEL_FUZZ_SECONDS (35) each (tools/fuzz.sh).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
windows=${ZEL_WINDOWS:-ON}
[ "${ZEL_SANITIZE:-OFF}" = ON ] && windows=OFF

# Every package of both builds before the first build: the Windows packages upgrade Mesa, and the
# Linux tests must always run on the Mesa they were built with.
lists=(run-deps.txt ci-deps.txt)
[ "$windows" = ON ] && lists+=(ci-deps-windows.txt)
"$top/tools/install-deps.sh" "${lists[@]}"

build=$("$top/tools/build.sh" | tail -n 1)
# A second try only for a test that failed: the share tests race real brokers and clocks on a
# loaded machine. A test that is wrong fails both times.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --repeat until-pass:2

# The fuzzers, a bounded time each; any finding fails the run.
"$top/tools/fuzz.sh" "${ZEL_FUZZ_SECONDS:-35}"

if [ "$windows" = ON ]; then
    "$top/tools/test-windows.sh"
fi
