#!/bin/sh
# Times, in one run, Assimp's own command-line loader (`assimp info -r`: no post-processing) against
# the project's isolated import of the same file (`zelimport --stats`: child process, Assimp, result
# sent back and checked), alternating the two, and prints the medians, their ratio and peak memory.
#
#   compare.sh ZELIMPORT [FILE] [RUNS]
#
# FILE defaults to the corpus's generated/large.3ds, RUNS to 7. Needs GNU time (/usr/bin/time).
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 1 ] && [ -x "$1" ] || usage "ZELIMPORT [FILE] [RUNS]"
zelimport=$1
file=${2:-$large}
runs=${3:-7}
need_tools /usr/bin/time assimp
need_files "$file"


# One timed run: appends "seconds peak-kilobytes" to $tmp/$1.
measure() {
    name=$1
    shift
    /usr/bin/time -f "%e %M" -o "$tmp/one" "$@" >"$tmp/out" 2>"$tmp/err" || {
        echo "$0: failed: $*" >&2
        cat "$tmp/err" >&2
        exit 1
    }
    cat "$tmp/one" >>"$tmp/$name"
}

# A warm-up of each, so that both read the file from the page cache.
measure warmup assimp info "$file" -r
measure warmup "$zelimport" --stats "$file"
i=0
while [ "$i" -lt "$runs" ]; do
    measure assimp assimp info "$file" -r
    measure zel "$zelimport" --stats "$file"
    i=$((i + 1))
done
stats_line=$(head -n 1 "$tmp/out")
caller_peak=$(sed -n 's/^peak resident size of this process: \([0-9]*\) MB$/\1/p' "$tmp/out")
# The helper alone, as the import runs it: Assimp and the conversion in one process.
/usr/bin/time -f "%e %M" -o "$tmp/helper" "$zelimport" --stats --in-process "$file" >/dev/null
helper_peak=$(($(cut -d' ' -f2 "$tmp/helper") / 1024))

a_time=$(cut -d' ' -f1 "$tmp/assimp" | median)
z_time=$(cut -d' ' -f1 "$tmp/zel" | median)
a_peak=$(($(cut -d' ' -f2 "$tmp/assimp" | median) / 1024))

echo "file: $file ($runs runs each, medians of wall-clock time)"
printf 'assimp info -r      %6.3f s   peak %4d MB\n' "$a_time" "$a_peak"
printf 'zelimport --stats   %6.3f s   peak %4d MB in the helper, %4d MB in the caller (the decoded scene)\n' \
    "$z_time" "$helper_peak" "$caller_peak"
awk -v a="$a_time" -v z="$z_time" 'BEGIN { printf "ratio (isolated / assimp): %.2f\n", z / a }'
echo "last isolated run: $stats_line"
