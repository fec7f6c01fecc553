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

# The C and C++ files as clang-format 14 leaves them, before anything is built. Version 14 reads a
# line that starts with "import::" as a C++20 module import and mangles what follows, so such lines
# are spelt "zel::import::".
sources=()
mapfile -d '' sources < <(git -C "$top" ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
if [ "${#sources[@]}" -eq 0 ]; then
    echo "test.sh: git lists no C or C++ files in $top" >&2
    exit 1
fi
misread=$(cd "$top" && grep -lE '^[[:space:]]*import::' -- "${sources[@]}" || true)
if [ -n "$misread" ]; then
    echo "test.sh: lines that start with import:: (clang-format 14 mangles them; write zel::import::) in:" >&2
    echo "$misread" >&2
    exit 1
fi
if ! said=$(cd "$top" && clang-format-14 --dry-run --Werror -- "${sources[@]}" 2>&1); then
    echo "test.sh: not formatted as .clang-format says (clang-format-14 -i FILE):" >&2
    sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error:.*/\1/p' <<<"$said" | sort -u >&2
    head -n 5 <<<"$said" >&2
    exit 1
fi

build=$("$top/tools/build.sh" | tail -n 1)
# A second try only for a test that failed: the share tests race real brokers and clocks on a
# loaded machine. A test that is wrong fails both times.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --repeat until-pass:2

# The fuzzers, a bounded time each; any finding fails the run.
"$top/tools/fuzz.sh" "${ZEL_FUZZ_SECONDS:-35}"

if [ "$windows" = ON ]; then
    "$top/tools/test-windows.sh"
fi
