#!/bin/sh
# Stepping with ">" through a folder, measured as differences between whole zelhost processes that
# run a script and draw their last frame offscreen (--snapshot: the model shown, its upload
# included), alternating in one run, medians of RUNS:
#   read-ahead  a folder of the sample "archi.3ds" and FILE as "big.3ds": after "sleep 6" (time to
#               read ahead), one ">" to big.3ds; against the same with --no-cache (no cache, nothing
#               read ahead). Each is the run's time less that of the same script without the ">".
#   rounds      twelve copies of SAMPLE (a 2 MB model), one round of twelve ">" and then a second:
#               the second round's time against the first's (the first: twelve steps less none;
#               the second: twenty-four less twelve), a fresh cache folder each run; and a first
#               round in a new process whose cache holds the twelve (a later session).
#
#   step_compare.sh ZELHOST SAMPLE_MODELS [FILE] [SAMPLE] [RUNS]
#
# FILE defaults to the corpus's generated/large.3ds, SAMPLE to generated/medium.3ds, RUNS to 3.
# Needs GNU time. Every cache folder is a temporary one.
set -eu

if [ $# -lt 2 ] || [ ! -x "$1" ]; then
    echo "usage: $0 ZELHOST SAMPLE_MODELS [FILE] [SAMPLE] [RUNS]" >&2
    exit 2
fi
zelhost=$1
samples=$2
here=$(cd "$(dirname "$0")" && pwd)
file=${3:-$here/../../../shared/corpus/generated/large.3ds}
sample=${4:-$here/../../../shared/corpus/generated/medium.3ds}
runs=${5:-3}
command -v /usr/bin/time >/dev/null 2>&1 || { echo "$0: GNU time not found" >&2; exit 2; }
for f in "$file" "$sample" "$samples/archi.3ds"; do
    [ -f "$f" ] || { echo "$0: no such file: $f" >&2; exit 2; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/pair" "$tmp/twelve"
cp "$samples/archi.3ds" "$tmp/pair/archi.3ds"
cp "$file" "$tmp/pair/big.3ds"
# The start-up model, then the twelve (the package steps in the folder's own order).
cp "$samples/archi.3ds" "$tmp/twelve/archi.3ds"
for i in 01 02 03 04 05 06 07 08 09 10 11 12; do
    cp "$sample" "$tmp/twelve/m$i.3ds"
done

keys() {
    n=0
    while [ "$n" -lt "$1" ]; do
        echo "key >"
        n=$((n + 1))
    done
}
printf 'sleep 6\n' >"$tmp/script-rest"
printf 'sleep 6\nkey >\n' >"$tmp/script-rest-step"
keys 0 >"$tmp/keys0"
keys 12 >"$tmp/keys12"
keys 24 >"$tmp/keys24"

# run NAME FOLDER SCRIPT [VAR=VALUE...] [-- ARG...]
run() {
    name=$1
    folder=$2
    script=$3
    shift 3
    /usr/bin/time -f "%e" -o "$tmp/one" env "$@" "$zelhost" --models "$folder" --script "$script" \
        --snapshot "$tmp/shot.png" >"$tmp/out" 2>"$tmp/err" || {
        echo "$0: failed: $name" >&2
        cat "$tmp/one" "$tmp/err" >&2
        exit 1
    }
    cat "$tmp/one" >>"$tmp/$name"
}
off() { run "$1" "$2" "$3" XDG_CACHE_HOME="$tmp/unused" ZEL_CACHE_SIZE=0; }
on() { rm -rf "$tmp/cache"; run "$1" "$2" "$3" XDG_CACHE_HOME="$tmp/cache"; }

on warmup "$tmp/pair" "$tmp/script-rest-step"
i=0
while [ "$i" -lt "$runs" ]; do
    on ahead-base "$tmp/pair" "$tmp/script-rest"
    on ahead "$tmp/pair" "$tmp/script-rest-step"
    off off-base "$tmp/pair" "$tmp/script-rest"
    off off "$tmp/pair" "$tmp/script-rest-step"
    on k0 "$tmp/twelve" "$tmp/keys0"
    on k12 "$tmp/twelve" "$tmp/keys12"
    on k24 "$tmp/twelve" "$tmp/keys24"
    # A later session: the cache the twelve steps just filled.
    run later "$tmp/twelve" "$tmp/keys12" XDG_CACHE_HOME="$tmp/cache"
    i=$((i + 1))
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
t() { median <"$tmp/$1"; }
diff() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
ahead=$(diff "$(t ahead)" "$(t ahead-base)")
offstep=$(diff "$(t off)" "$(t off-base)")
first=$(diff "$(t k12)" "$(t k0)")
second=$(diff "$(t k24)" "$(t k12)")
later=$(diff "$(t later)" "$(t k0)")
echo "files: $file, $sample ($runs runs each, alternating; seconds are differences of medians)"
echo "\">\" to a read-ahead neighbour  $ahead s   cache off $offstep s   $(ratio "$ahead" "$offstep") x   (aim: at most 0.25)"
echo "\">\" x 12, first round         $first s"
echo "\">\" x 12, second round        $second s   $(ratio "$second" "$first") x first   (aim: at most 0.3)"
echo "\">\" x 12, a later session     $later s   $(ratio "$later" "$first") x first"
