#!/usr/bin/env bash
# Builds with optimisation (in build-release/) and runs the benchmarks, each of which prints its
# figures side by side with its baseline from the same run:
#   bench-import-compare   isolated import of large.3ds against `assimp info -r`
#   bench-startup-compare  zelhost start to placed model against `assimp info -r` and `osgconv`
#   bench-render-compare   offscreen frames per second against `osgviewer` under Xvfb
#   bench-first-frame      start to first frame, offscreen and in a window
#   bench-cache-compare    the import cache: a second run against `assimp info -r`, a miss
#                          against --no-cache
#   bench-step-compare     ">" to a neighbour read ahead against the cache off; a second round
#                          of twelve steps against the first
#   bench-share-rejoin     rejoining a scene that holds large.3ds against the first join
#   bench-web-reload       the page reloaded against its first load, large.3ds shown
#   bench-compare-readers  zelhost's pictures against three.js's loaders, file by file (not run
#                          by default; the CMake variables ZEL_COMPARE_MODELS and ZEL_COMPARE_LIST
#                          name the files, the corpus by default)
#   bench-hostile-catalogue  zelhost stepping with ">" through 21 hostile files (aim: 10 s)
#   zel_import_bench       in-process against isolated import, fresh and started-ahead helper
#                          (Google Benchmark)
#   bench-share            shared scenes against the broker's own key-value figures
#   bench-web              the web page: put to its frame against a bare watcher, frames per
#                          second with large.3ds placed, bundle size
# Give target names to run only those.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(ZEL_BUILD_BENCH=ON ZEL_BUILD_DIR=${ZEL_BUILD_DIR:-$top/build-release} "$top/tools/build.sh" | tail -n 1)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(bench-import-compare bench-startup-compare bench-render-compare
                                    bench-first-frame bench-cache-compare bench-step-compare
                                    bench-hostile-catalogue zel_import_bench bench-share bench-share-rejoin
                                    bench-web bench-web-reload)
for t in "${targets[@]}"; do
    echo "== $t"
    if [ -x "$build/bin/$t" ]; then
        "$build/bin/$t"
    else
        cmake --build "$build" --target "$t"
    fi
done
