#!/bin/sh
# Frames per second of the project's renderer against OpenSceneGraph's osgviewer on the same model
# at 1280x720, in one run, on the same Mesa (llvmpipe unless a GPU is there).
#
#   compare_osgviewer.sh RENDER_BENCH [FILE] [FRAMES]
#
# Ours: zel_render_bench's steadyFrames (offscreen EGL, each frame finished with glFinish) with the
# edge pass as zelhost draws (0/1), with 4x multisampling instead (4/0) and with neither (0/0),
# repeated 3 times, the medians. osgviewer: a 1280x720 window under Xvfb, run for
# OSG_RUN_FRAME_COUNT frames, without multisampling or vsync; its frame rate is the difference of
# two runs, FRAMES and 5 frames, divided by the difference of their wall times, so that start-up and
# loading the file cancel out. osgviewer's frames also hand each picture to the X server; ours keep
# it in the framebuffer. FILE defaults to the corpus's generated/large.3ds, FRAMES to 65.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 1 ] && [ -x "$1" ] || usage "RENDER_BENCH [FILE] [FRAMES]"
bench=$1
file=${2:-$large}
frames=${3:-65}
need_tools xvfb-run osgviewer awk
need_files "$file"
[ "$frames" -gt 5 ] 2>/dev/null || { echo "$0: FRAMES must be a number above 5" >&2; exit 2; }


now() { date +%s.%N; }

# One run of ours with SAMPLES/EDGEPASS: its frames per second appended to $tmp/ours-SAMPLES-EDGEPASS.
ours_run() {
    ZEL_BENCH_MODEL=$file "$bench" --benchmark_filter="^steadyFrames/$1/$2/" --benchmark_min_time=3 \
        --benchmark_format=json >"$tmp/ours.json" 2>"$tmp/ours.err" || {
        echo "$0: $bench failed" >&2
        cat "$tmp/ours.err" >&2
        exit 1
    }
    sed -n 's/^ *"fps": \([0-9.eE+-]*\),\{0,1\}$/\1/p' "$tmp/ours.json" | head -n 1 >>"$tmp/ours-$1-$2"
}

# One timed osgviewer run of N frames: its wall time in seconds on stdout.
osg_run() {
    start=$(now)
    OSG_RUN_FRAME_COUNT=$1 OSG_NOTIFY_LEVEL=FATAL OSG_MULTI_SAMPLES=0 OSG_SYNC_TO_VBLANK=OFF \
        xvfb-run -a -s "-screen 0 1920x1080x24 -noreset" \
        osgviewer --window 0 0 1280 720 "$file" >"$tmp/osg.out" 2>&1 || {
        echo "$0: osgviewer failed:" >&2
        cat "$tmp/osg.out" >&2
        exit 1
    }
    end=$(now)
    echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }'
}

# Warm-up: the file in the page cache, the plugins loaded once. Then the two alternate, so that
# both see the same machine.
osg_run 5 >/dev/null
for run in 1 2 3; do
    ours_run 0 1
    ours_run 4 0
    ours_run 0 0
    short=$(osg_run 5)
    long=$(osg_run "$frames")
    echo "$short $long $frames" | awk '{ d = $2 - $1; if (d > 0) printf "%.3f\n", ($3 - 5) / d }' \
        >>"$tmp/osg"
done
ours=$(median <"$tmp/ours-0-1")
msaa=$(median <"$tmp/ours-4-0")
plain=$(median <"$tmp/ours-0-0")
osg=$(median <"$tmp/osg")
[ -n "$ours" ] && [ -n "$msaa" ] && [ -n "$plain" ] || { echo "$0: no fps in the benchmark's output" >&2; exit 1; }
[ -n "$osg" ] || { echo "$0: could not time osgviewer" >&2; exit 1; }

echo "file:       $file"
echo "$ours" | awk '{ printf "ours:       %.2f fps (offscreen, 1280x720, edge pass, median of 3)\n", $1 }'
echo "$msaa" | awk '{ printf "ours 4x:    %.2f fps (4x multisampling instead of the edge pass)\n", $1 }'
echo "$plain" | awk '{ printf "ours plain: %.2f fps (neither)\n", $1 }'
echo "$osg" | awk '{ printf "osgviewer:  %.2f fps (Xvfb window, 1280x720, median of 3)\n", $1 }'
echo "$ours $osg" | awk '{ printf "ratio:      %.2f (ours / osgviewer)\n", $1 / $2 }'
echo "$ours $plain" | awk '{ printf "ratio:      %.2f (edge pass / neither)\n", $1 / $2 }'
echo "$msaa $plain" | awk '{ printf "ratio:      %.2f (4x multisampling / neither)\n", $1 / $2 }'
echo "$plain $osg" | awk '{ printf "ratio:      %.2f (neither / osgviewer)\n", $1 / $2 }'
