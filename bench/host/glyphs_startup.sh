#!/bin/sh
# Start-up cost of the UI's font handling: the wall time of `zelhost --snapshot` (start, the
# package's start-up with its model import, one frame offscreen, PNG written) for two builds of
# zelhost run alternately in one go, on models with Latin names only (the sample models), and for
# the second build also on the same house under a Japanese, an Arabic and a mixed-script name.
# Prints medians and the ratio of the second to the first.
#
#   glyphs_startup.sh BEFORE_ZELHOST AFTER_ZELHOST SAMPLES [RUNS]
#
# Each zelhost runs with its own folder first on the library and package paths, so a copy of an
# older build's bin/ folder serves as BEFORE. RUNS defaults to 15.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 3 ] && [ -x "$1" ] && [ -x "$2" ] && [ -d "$3" ] || usage "BEFORE_ZELHOST AFTER_ZELHOST SAMPLES [RUNS]"
before=$1
after=$2
samples=$3
runs=${4:-15}

for name in 日本語の家 بيت 家-Дом-Σπίτι; do
    mkdir "$tmp/$name"
    cp "$samples/archi.3ds" "$tmp/$name/$name.3ds"
done

# once ZELHOST MODELS [SCRIPT]: wall seconds of one snapshot run.
once() {
    dir=$(dirname "$1")
    start=$(date +%s.%N)
    printf '%s' "${3:-}" | LD_LIBRARY_PATH="$dir" "$1" --package-path "$dir" --models "$2" \
        --script - --snapshot "$tmp/shot.png" >/dev/null 2>"$tmp/err" || {
        echo "$0: $1 failed on $2: $(cat "$tmp/err")" >&2
        exit 1
    }
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }' 
}

: >"$tmp/before"
: >"$tmp/after"
: >"$tmp/ja"
: >"$tmp/ar"
: >"$tmp/mixed"
once "$before" "$samples" >/dev/null # warm the page cache for both
once "$after" "$samples" >/dev/null
for _ in $(seq "$runs"); do
    once "$before" "$samples" >>"$tmp/before"
    once "$after" "$samples" >>"$tmp/after"
    once "$after" "$tmp/日本語の家" "key >
" >>"$tmp/ja"
    once "$after" "$tmp/بيت" "key >
" >>"$tmp/ar"
    once "$after" "$tmp/家-Дом-Σπίτι" "key >
" >>"$tmp/mixed"
done
b=$(median <"$tmp/before")
a=$(median <"$tmp/after")
printf 'zelhost --snapshot, median of %s runs each, alternating\n' "$runs"
printf '%-44s %8s s\n' "before, Latin names (sample models)" "$b"
printf '%-44s %8s s   ratio %.3f\n' "after, Latin names (sample models)" "$a" "$(awk -v a="$a" -v b="$b" 'BEGIN { print a / b }')"
for set in ja ar mixed; do
    m=$(median <"$tmp/$set")
    case $set in
    ja) label="after, Japanese name (日本語の家.3ds)" ;;
    ar) label="after, Arabic name (بيت.3ds)" ;;
    *) label="after, mixed scripts (家-Дом-Σπίτι.3ds)" ;;
    esac
    printf '%-44s %8s s   ratio %.3f\n' "$label" "$m" "$(awk -v a="$m" -v b="$b" 'BEGIN { print a / b }')"
done
