#!/usr/bin/env bash
# Builds if needed and runs zelhost on its defaults: the sample models and the built-in world.
# Extra arguments are passed to zelhost.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$top/tools/build.sh" 2>/dev/null | tail -n 1) || {
    echo "the build failed; run tools/build.sh to see why" >&2
    exit 1
}
if [ $# -eq 0 ]; then
    set -- --dump zelhost-dump.json
    echo "zelhost: scene and window state written to zelhost-dump.json" >&2
fi
exec "$build/bin/zelhost" "$@"
