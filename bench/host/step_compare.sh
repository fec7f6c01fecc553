#!/bin/sh
# Stepping with ">", key to the frame that shows the model (zelhost_step_bench: in one process,
# drawn offscreen, the upload included), one run each, alternating:
#   read-ahead  a folder of the sample "archi.3ds" and FILE as "big.3ds": one ">" to big.3ds after
#               the reader had time to read it ahead, against the same step with the cache off
#               (nothing read ahead, no persistent cache)
#   rounds      twelve copies of SAMPLE (a 2 MB model): a second round of twelve ">" against the
#               first in the same process (an empty cache folder), and the first round of a later
#               process whose cache folder the earlier one filled
#
#   step_compare.sh STEP_BENCH SAMPLE_MODELS [FILE] [SAMPLE] [REST]
#
# FILE defaults to the corpus's generated/large.3ds, SAMPLE to generated/medium.3ds; REST (default
# 60) is the most the reader gets to read ahead before the step (it ends as soon as it is done).
# Every cache folder is a temporary one.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 2 ] && [ -x "$1" ] || usage "STEP_BENCH SAMPLE_MODELS [FILE] [SAMPLE] [REST]"
bench=$1
samples=$2
file=${3:-$large}
sample=${4:-$corpus/generated/medium.3ds}
rest=${5:-60}
need_files "$file" "$sample" "$samples/archi.3ds"

mkdir "$tmp/pair" "$tmp/twelve"
cp "$samples/archi.3ds" "$tmp/pair/archi.3ds"
cp "$file" "$tmp/pair/big.3ds"
cp "$samples/archi.3ds" "$tmp/twelve/archi.3ds"
for i in 01 02 03 04 05 06 07 08 09 10 11 12; do
    cp "$sample" "$tmp/twelve/m$i.3ds"
done

# run NAME ARG...: the bench's lines on stderr into $tmp/NAME
run() {
    name=$1
    shift
    "$bench" "$@" >/dev/null 2>"$tmp/$name" || {
        echo "$0: failed: $name" >&2
        cat "$tmp/$name" >&2
        exit 1
    }
}
total() { awk -v r="$2" '$1 == "round" && $2 == r { print $6 }' "$tmp/$1"; }

run off --models "$tmp/pair"
run ahead --models "$tmp/pair" --cache "$tmp/cache-pair" --rest "$rest"
run rounds --models "$tmp/twelve" --cache "$tmp/cache-twelve" --steps 12 --rounds 2
run later --models "$tmp/twelve" --cache "$tmp/cache-twelve" --steps 12 --rounds 1

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
off=$(total off 1)
ahead=$(total ahead 1)
first=$(total rounds 1)
second=$(total rounds 2)
later=$(total later 1)
echo "files: $file, $sample (milliseconds, key to frame)"
echo "\">\" to a read-ahead neighbour  $ahead   cache off $off   $(ratio "$ahead" "$off") x   (aim: at most 0.25)"
echo "\">\" x 12, first round         $first"
echo "\">\" x 12, second round        $second   $(ratio "$second" "$first") x first   (aim: at most 0.3)"
echo "\">\" x 12, a later process     $later   $(ratio "$later" "$first") x first"
