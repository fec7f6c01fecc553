#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test.
#   tools/test.sh                  the normal build, in build/
#   ZEL_SANITIZE=ON tools/test.sh  AddressSanitizer + UndefinedBehaviorSanitizer, in build-sanitize/
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$top/tools/build.sh" | tail -n 1)
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
