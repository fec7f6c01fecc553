#!/usr/bin/env bash
# Builds if needed and runs zelhost on its defaults: the sample models and the built-in world.
# With a display (DISPLAY or WAYLAND_DISPLAY) it opens the window; without one it runs
# examples/tour.zel and writes the last frame to tour.png in the working folder, saying so on
# stderr. Extra arguments are passed to zelhost instead.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# What the build does (installing packages, configuring, compiling with its progress) shows on
# stderr; the first time it takes minutes, later runs only check. Only the product is built: the
# tests and their packages are tools/test.sh's.
build=$("$top/tools/build.sh" --product | tail -n 1) || {
    echo "run.sh: the build failed (see above)" >&2
    exit 1
}
echo "run.sh: running $build/bin/zelhost" >&2
if [ $# -gt 0 ] || [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec "$build/bin/zelhost" "$@"
fi
"$build/bin/zelhost" --script "$top/examples/tour.zel" --snapshot tour.png
echo "zelhost: no display; ran examples/tour.zel and wrote its last frame to $PWD/tour.png" \
    "(and the scene to $PWD/tour.json)" >&2
