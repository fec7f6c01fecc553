#!/usr/bin/env bash
# The package on its own platform: cross-builds the portable part of the project for 32-bit Windows
# (libzel, the package, the package-level tests) in build-windows/, checks the DLLs' exports, and runs
# the tests under wine. Installs what it needs (ci-deps-windows.txt; run as root). Exit status 0
# only when every check and every test passed.
#   tools/test-windows.sh            ZEL_WINDOWS_BUILD_DIR=DIR to build elsewhere
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
build=${ZEL_WINDOWS_BUILD_DIR:-$top/build-windows}
triple=i686-w64-mingw32
started=$(date +%s)
phase() { echo "test-windows: $* ($(($(date +%s) - started)) s)" >&2; }

"$top/tools/install-deps.sh" ci-deps-windows.txt
phase "packages ready"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >&2
cmake --build "$build" -j "$(nproc)" >&2
phase "built"

# ---- the DLLs ---------------------------------------------------------------------------------
failures=0
fail() {
    echo "test-windows: FAILED: $*" >&2
    failures=$((failures + 1))
}
# The names in a DLL's export table.
exports() {
    "$triple-objdump" -p "$1" |
        awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { on = 0 } on { print $NF }'
}
check_pe32() {
    local header
    header=$("$triple-objdump" -p "$1")
    grep -q "file format pei-i386" <<<"$header" || fail "$1 is not a PE file for Intel 80386"
    grep -Eq "^Magic[[:space:]]+010b[[:space:]]+\(PE32\)" <<<"$header" || fail "$1 is not PE32"
}

package="$build/bin/propplacer.dll"
check_pe32 "$package"
package_exports=$(exports "$package")
[ "$package_exports" = initPackage ] ||
    fail "propplacer.dll must export initPackage only, exports: $(echo $package_exports)"

zel="$build/bin/zel.dll"
check_pe32 "$zel"
zel_exports=$(exports "$zel")
demangled=$("$triple-c++filt" --no-strip-underscore <<<"$zel_exports")
count=$(grep -c . <<<"$zel_exports" || true)
# The framework's API: every export belongs to namespace zel (functions, vtables, type information);
# nothing of libzel's inside (its platform layer, anonymous namespaces, helpers not declared in
# framework/) and nothing of the C++ runtime.
outside=$(grep -Ev '^((non-virtual |virtual )?thunk to |typeinfo (name )?for |vtable for )?zel::' <<<"$demangled" || true)
[ -z "$outside" ] || fail "zel.dll exports names outside the framework: $(head -5 <<<"$outside")"
inside=$(grep -E 'zel::platform::|anonymous namespace|zel::xstd::appendUtf8|utf8Forwarder' <<<"$demangled" || true)
[ -z "$inside" ] || fail "zel.dll exports libzel's internals: $(head -5 <<<"$inside")"
for api in 'zel::component::packageLoader::load(' 'zel::component::defaultPackage::defaultPackage(' \
    'zel::xstd::fromUtf8' 'zel::console::install()' 'zel::matrix4::'; do
    grep -qF "$api" <<<"$demangled" || fail "zel.dll does not export $api"
done
echo "test-windows: propplacer.dll: PE32 (Intel 80386), exports: $(echo $package_exports)" >&2
echo "test-windows: zel.dll: PE32 (Intel 80386), $count exports, all of them framework API" >&2
phase "exports checked"

# ---- the tests under wine ---------------------------------------------------------------------
export WINEPREFIX="$build/wine-prefix" WINEARCH=win32 WINEDEBUG=-all
# No prompts to install Mono or Gecko in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# One wine server for every test (otherwise each test process starts and stops its own, about 2.7 s
# each). It must not inherit this script's output: a pipe left open in it would keep ctest's caller
# waiting after the end.
wineserver -k >/dev/null 2>&1 || true
stop_wineserver() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wineserver EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
fi
setsid wineserver -p </dev/null >/dev/null 2>&1
# The first program also starts wine's own background services, which would inherit its pipes and
# keep ctest waiting for their end: start them here, detached.
setsid wine cmd /c exit </dev/null >/dev/null 2>&1
phase "wine ready"

# wine 8 itself (its Linux process, not the Windows program) now and then dies of SIGSEGV while a test
# program exits, after the program has reported its result: about one test process in 300 on a
# loaded machine, shown by ctest as "Exception: SegFault". A failing test is therefore run up to
# three times; one that fails for a reason of its own fails every time. Retries are listed.
status=0
log="$build/ctest-wine.log"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 120 --repeat until-pass:3 \
    2>&1 | tee "$log" || status=$?
retried=$(grep -E '\*\*\*(Failed|Exception)' "$log" || true)
[ -z "$retried" ] || echo "test-windows: retried after a failed run: $retried" >&2
phase "tests done"
[ "$status" -eq 0 ] || fail "tests under wine (ctest exit status $status)"
[ "$failures" -eq 0 ] || exit 1
