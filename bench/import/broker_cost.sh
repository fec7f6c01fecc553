#!/bin/sh
# The cost of the file broker: the isolated import of the same files by two builds of the helper,
# BASELINE (one whose helper opens its files itself) and CANDIDATE, alternating, in one run. Each
# run is `zelimport --stats FILE` (the host's import: helper started, sandbox entered, Assimp, the
# result sent back and checked); the time taken is the import's own, as the stats line reports it.
# Prints, a file each, the medians and CANDIDATE / BASELINE.
#
#   broker_cost.sh BASELINE_ZELIMPORT CANDIDATE_ZELIMPORT [RUNS] [FILE...]
#
# RUNS defaults to 15; the files to the corpus's generated/large.3ds, a textured OBJ (material
# library and five pictures) and a textured glTF (buffer and picture).
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 2 ] && [ -x "$1" ] && [ -x "$2" ] || usage "BASELINE_ZELIMPORT CANDIDATE_ZELIMPORT [RUNS] [FILE...]"
baseline=$1
candidate=$2
shift 2
runs=15
if [ $# -gt 0 ]; then
    runs=$1
    shift
fi
if [ $# -eq 0 ]; then
    set -- "$large" "$corpus/assimp/OBJ/spider.obj" \
        "$corpus/assimp/glTF2/BoxTextured-glTF/BoxTextured.gltf"
fi


# The import's seconds from one run's stats line ("...; 0.412 s (result from ...").
once() {
    "$1" --stats "$2" >"$tmp/out" 2>"$tmp/err" || {
        echo "$0: failed: $1 --stats $2" >&2
        cat "$tmp/err" >&2
        exit 1
    }
    sed -n 's/.*; \([0-9.]*\) s (result from.*/\1/p' "$tmp/out" | head -n 1
}

printf '%-28s %12s %12s %8s\n' file baseline_s candidate_s ratio
for file in "$@"; do
    need_files "$file"
    : >"$tmp/base"
    : >"$tmp/cand"
    once "$baseline" "$file" >/dev/null # warm-up: the file and both helpers in the page cache
    once "$candidate" "$file" >/dev/null
    i=0
    while [ "$i" -lt "$runs" ]; do
        # Alternating which goes first, so that neither always follows the other.
        if [ $((i % 2)) -eq 0 ]; then
            once "$baseline" "$file" >>"$tmp/base"
            once "$candidate" "$file" >>"$tmp/cand"
        else
            once "$candidate" "$file" >>"$tmp/cand"
            once "$baseline" "$file" >>"$tmp/base"
        fi
        i=$((i + 1))
    done
    b=$(median <"$tmp/base")
    c=$(median <"$tmp/cand")
    printf '%-28s %12s %12s %8s\n' "$(basename "$file")" "$b" "$c" \
        "$(awk -v b="$b" -v c="$c" 'BEGIN { printf "%.3f", c / b }')"
done
