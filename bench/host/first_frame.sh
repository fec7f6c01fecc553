#!/bin/sh
# Time from start to the first frame, offscreen and in a window under a private Xvfb, on the sample
# models (archi.3ds is placed first) and on a large file copied in as archi.3ds. Each case runs
# RUNS times in fresh processes; prints the medians of zelhost_first_frame's phases (milliseconds)
# and, for comparison, the wall time and peak memory of the whole `zelhost --snapshot` process.
#
#   first_frame.sh FIRST_FRAME ZELHOST SAMPLES [LARGE] [RUNS]
#
# LARGE defaults to the corpus's generated/large.3ds (1M triangles), RUNS to 5. The window rows are
# skipped when Xvfb is missing. Needs GNU time.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 3 ] && [ -x "$1" ] && [ -x "$2" ] && [ -d "$3" ] || usage "FIRST_FRAME ZELHOST SAMPLES [LARGE] [RUNS]"
firstFrame=$1
zelhost=$2
samples=$3
large=${4:-$large}
runs=${5:-5}
need_tools /usr/bin/time
need_files "$large"

xvfb=
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
}
mkdir "$tmp/large"
cp "$large" "$tmp/large/archi.3ds"

display=
if command -v Xvfb >/dev/null 2>&1; then
    Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp -noreset 3>"$tmp/display" \
        2>"$tmp/xvfb.err" &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$tmp/display" ] && break
        sleep 0.1
    done
    [ -s "$tmp/display" ] && display=:$(head -n 1 "$tmp/display")
fi


# field NAME FILE: the value after NAME on each line of FILE, one a line.
field() { awk -v k="$1" '{ for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1) }' "$2"; }

# shown: the first frame on screen (before the packages start); total: the frame with the model.
printf '%-8s %-10s %8s %7s %9s %11s %8s %10s   %s\n' models backend viewer shown start-up first-frame total triangles \
    "zelhost --snapshot (wall s, peak MB)"
for set in samples large; do
    models=$samples
    [ "$set" = large ] && models=$tmp/large
    for backend in offscreen window; do
        if [ "$backend" = window ]; then
            [ -n "$display" ] || continue
            flag=--window
        else
            flag=
        fi
        : >"$tmp/phases"
        for _ in $(seq "$runs"); do
            DISPLAY=$display "$firstFrame" $flag --models "$models" >/dev/null 2>>"$tmp/phases"
        done
        whole=-
        if [ "$backend" = offscreen ]; then
            : >"$tmp/whole"
            for _ in $(seq "$runs"); do
                /usr/bin/time -f '%e %M' -a -o "$tmp/whole" "$zelhost" --models "$models" \
                    --snapshot "$tmp/shot.png" >/dev/null 2>/dev/null
            done
            whole="$(cut -d' ' -f1 "$tmp/whole" | median) s, $(cut -d' ' -f2 "$tmp/whole" | median | awk '{ printf "%.0f", $1 / 1024 }') MB"
        fi
        printf '%-8s %-10s %8s %7s %9s %11s %8s %10s   %s\n' "$set" "$backend" \
            "$(field viewer "$tmp/phases" | median)" "$(field shown "$tmp/phases" | median)" \
            "$(field start-up "$tmp/phases" | median)" \
            "$(field first-frame "$tmp/phases" | median)" "$(field total "$tmp/phases" | median)" \
            "$(field triangles "$tmp/phases" | median)" "$whole"
    done
done
