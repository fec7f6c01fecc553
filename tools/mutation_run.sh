#!/usr/bin/env bash
# Runs zelhost on damaged copies of the corpus's and the samples' 3DS files, each placed as
# archi.3ds in an empty model folder, and reports the files tried, the failed reads, the crashes
# and hangs (both must be 0) and the time. Arguments go to zelhost_mutate, e.g.
#   tools/mutation_run.sh --per-file 200 --timeout 20 --keep /tmp/bad
# ZEL_SANITIZE=ON runs the sanitizer build.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$("$top/tools/build.sh" | tail -n 1)
cmake --build "$build" --target zelhost_mutate zelhost propplacer zelstyles zelimport -j 2 >&2
exec "$build/bin/zelhost_mutate" --zelhost "$build/bin/zelhost" "$@"
