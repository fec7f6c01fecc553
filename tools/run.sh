#!/usr/bin/env bash
# Builds if needed and runs zelhost on its defaults: the sample models and the built-in world.
# Extra arguments are passed to zelhost.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZEL_BUILD_DIR:-$top/build}
if [ ! -x "$build/bin/zelhost" ]; then
    "$top/tools/test.sh" >/dev/null 2>&1 || {
        # test.sh installs and builds; if a test failed the binaries may still be usable
        [ -x "$build/bin/zelhost" ] || { echo "build failed; run tools/test.sh to see why" >&2; exit 1; }
    }
fi
cmake --build "$build" -j "$(nproc)" >/dev/null
if [ $# -eq 0 ]; then
    set -- --dump zelhost-dump.json
    echo "zelhost: scene and window state written to zelhost-dump.json" >&2
fi
exec "$build/bin/zelhost" "$@"
