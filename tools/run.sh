#!/usr/bin/env bash
# Builds if needed and runs zelhost on its defaults: the sample models and the built-in world.
# With a display (DISPLAY or WAYLAND_DISPLAY) it opens the window; without one it runs
# examples/tour.zel and writes the last frame to tour.png in the working folder, saying so on
# stderr. Extra arguments are passed to zelhost instead.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$top/tools/build.sh" 2>/dev/null | tail -n 1) || {
    echo "the build failed; run tools/build.sh to see why" >&2
    exit 1
}
if [ $# -gt 0 ] || [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/bin/zelhost" "$@"
fi
"$build/bin/zelhost" --script "$top/examples/tour.zel" --snapshot tour.png
echo "zelhost: no display; ran examples/tour.zel and wrote its last frame to $PWD/tour.png" \
    "(and the scene to $PWD/tour.json)" >&2
