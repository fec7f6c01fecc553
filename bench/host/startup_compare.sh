#!/bin/sh
# Start-up to placed model, measured as a whole process: zelhost on a folder whose "archi.3ds" is
# the given file (start, load through the isolated import, place, build the status window, stop),
# side by side in one run with `assimp info -r` (Assimp's loader, no post-processing) and
# OpenSceneGraph's `osgconv` to .osgb on the same file. Alternates the three, prints the medians of
# wall-clock time, the ratios against zelhost and peak resident memory.
#
#   startup_compare.sh ZELHOST [FILE] [RUNS]
#
# FILE defaults to the corpus's generated/large.3ds (1M triangles), RUNS to 5. Needs GNU time,
# assimp (assimp-utils), osgconv (openscenegraph) and perl.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 1 ] && [ -x "$1" ] || usage "ZELHOST [FILE] [RUNS]"
zelhost=$1
file=${2:-$large}
runs=${3:-5}
need_tools /usr/bin/time assimp osgconv
need_files "$file"

mkdir "$tmp/models"
cp "$file" "$tmp/models/archi.3ds"

measure() {
    name=$1
    shift
    /usr/bin/time -f "%e %M %U %S" -o "$tmp/one" "$@" >"$tmp/out" 2>"$tmp/err" || {
        echo "$0: failed: $*" >&2
        cat "$tmp/err" >&2
        exit 1
    }
    cat "$tmp/one" >>"$tmp/$name"
}

zel() { measure "$1" "$zelhost" --headless --models "$tmp/models" --dump "$tmp/dump.json"; }
# zelhost reaps its import helper in the background and may be gone first, and then the helper's
# CPU time counts nowhere. For the CPU figure, a subreaper between time and zelhost waits for
# every descendant, so that time's figures hold the helper's too (prctl 36: PR_SET_CHILD_SUBREAPER).
reaper='my $nr = eval { require "syscall.ph"; &SYS_prctl } // 157;
    syscall($nr, 36, 1, 0, 0, 0) == 0 or die "prctl: $!";
    my $pid = fork // die "fork: $!";
    if (!$pid) { exec @ARGV or die "exec: $!" }
    waitpid($pid, 0); my $status = $?;
    1 while wait() != -1;
    exit($status >> 8)'
zelcpu() { measure "$1" perl -e "$reaper" "$zelhost" --headless --models "$tmp/models" --dump "$tmp/dump.json"; }
asi() { measure "$1" assimp info "$file" -r; }
osg() { measure "$1" osgconv "$file" "$tmp/out.osgb"; }

zel warmup
grep -q '"triangles"' "$tmp/dump.json" || { echo "$0: zelhost placed no mesh" >&2; exit 1; }
asi warmup
osg warmup
i=0
while [ "$i" -lt "$runs" ]; do
    zel zel
    zelcpu zelcpu
    asi assimp
    osg osg
    i=$((i + 1))
done

t() { cut -d' ' -f1 "$tmp/$1" | median; }
m() { echo $(($(cut -d' ' -f2 "$tmp/$1" | median | cut -d. -f1) / 1024)); }
# CPU seconds (user + system; zelhost's from the runs under the subreaper, its helper's included):
# steadier than wall time on a machine that others share, and the floor of the wall-time ratio
# when no core is idle (zelhost's lead over assimp comes from the second core).
c() { awk '{ print $3 + $4 }' "$tmp/$1" | median; }
zt=$(t zel)
at=$(t assimp)
ot=$(t osg)
echo "file: $file ($runs runs each, alternating; medians of wall-clock time)"
printf 'zelhost (start to model placed, process done) %6.3f s   peak %4d MB (the host; its import helper peaks like assimp)\n' "$zt" "$(m zel)"
printf 'assimp info -r                                %6.3f s   peak %4d MB\n' "$at" "$(m assimp)"
printf 'osgconv to .osgb                              %6.3f s   peak %4d MB\n' "$ot" "$(m osg)"
printf 'CPU seconds (medians): zelhost with its helper %.3f, assimp info -r %.3f, osgconv %.3f\n' "$(c zelcpu)" "$(c assimp)" "$(c osg)"
awk -v z="$zt" -v a="$at" -v o="$ot" -v zc="$(c zelcpu)" -v ac="$(c assimp)" 'BEGIN {
    printf "zelhost / assimp info -r = %.2f   (aim: at most 0.8; in CPU seconds %.2f)\n", z / a, zc / ac
    printf "zelhost / osgconv        = %.2f   (aim: below 1)\n", z / o }'
