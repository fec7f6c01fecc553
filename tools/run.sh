#!/usr/bin/env bash
# Builds if needed and runs zelhost on its defaults: the sample models and the built-in world.
# With a display (DISPLAY or WAYLAND_DISPLAY) it opens the window; without one it runs
# examples/tour.zel and writes the last frame to tour.png in the working folder, saying so on
# stderr. Extra arguments are passed to zelhost instead.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The build's own output goes to a log; what the package installation says (and sudo's question,
# when a package is missing and the user is not root) still reaches the terminal.
build=$(ZEL_BUILD_QUIET=1 "$top/tools/build.sh" | tail -n 1) || {
    echo "the build failed; run tools/build.sh to see why" >&2
    exit 1
}
if [ $# -gt 0 ] || [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/bin/zelhost" "$@"
fi
"$build/bin/zelhost" --script "$top/examples/tour.zel" --snapshot tour.png
echo "zelhost: no display; ran examples/tour.zel and wrote its last frame to $PWD/tour.png" \
    "(and the scene to $PWD/tour.json)" >&2
