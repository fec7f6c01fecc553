#!/bin/sh
# The persistent import cache, measured as whole zelhost processes on a folder whose "archi.3ds" is
# the given file (start, the model placed, stop), alternating in one run against `assimp info -r`
# on the same file:
#   hit        a second run: the model comes from the cache
#   no-cache   --no-cache: a fresh import, as before the cache
#   miss       an empty cache folder: the lookup, the fresh import, the entry written (at the
#              latest before the process ends)
#   lookup     the lookup and the fresh import, no entry written (ZEL_CACHE_SIZE below twice the
#              entry): the miss's own cost
# Prints the medians of wall-clock time and the ratios: hit against assimp, miss and lookup against
# no-cache.
#
#   cache_compare.sh ZELHOST [FILE] [RUNS]
#
# FILE defaults to the corpus's generated/large.3ds (1M triangles), RUNS to 5. Needs GNU time and
# assimp (assimp-utils). Never touches the user's cache: every folder is a temporary one.
set -eu
. "$(dirname "$0")/../lib.sh"

[ $# -ge 1 ] && [ -x "$1" ] || usage "ZELHOST [FILE] [RUNS]"
zelhost=$1
file=${2:-$large}
runs=${3:-5}
need_tools /usr/bin/time assimp
need_files "$file"

mkdir "$tmp/models"
cp "$file" "$tmp/models/archi.3ds"

measure() {
    name=$1
    shift
    /usr/bin/time -f "%e" -o "$tmp/one" "$@" >"$tmp/out" 2>"$tmp/err" || {
        echo "$0: failed: $*" >&2
        cat "$tmp/one" "$tmp/err" >&2
        exit 1
    }
    cat "$tmp/one" >>"$tmp/$name"
}

zel() {
    name=$1
    shift
    measure "$name" env "$@" "$zelhost" --headless --models "$tmp/models" --dump "$tmp/dump.json"
}

# The warm cache, and the entry's size for the lookup-only runs.
zel warmup XDG_CACHE_HOME="$tmp/warm"
grep -q '"triangles"' "$tmp/dump.json" || { echo "$0: zelhost placed no mesh" >&2; exit 1; }
entry=$(find "$tmp/warm" -type f -name 'i-*' -printf '%s\n' | head -n 1)
[ -n "$entry" ] || { echo "$0: no cache entry was written" >&2; exit 1; }
small=$entry
measure warmup assimp info "$file" -r

i=0
while [ "$i" -lt "$runs" ]; do
    measure assimp assimp info "$file" -r
    zel hit XDG_CACHE_HOME="$tmp/warm"
    zel nocache XDG_CACHE_HOME="$tmp/warm" ZEL_CACHE_SIZE=0
    rm -rf "$tmp/cold"
    zel miss XDG_CACHE_HOME="$tmp/cold"
    rm -rf "$tmp/cold"
    zel lookup XDG_CACHE_HOME="$tmp/cold" ZEL_CACHE_SIZE="$small"
    i=$((i + 1))
done
[ -z "$(find "$tmp/cold" -type f -name 'i-*' 2>/dev/null)" ] || {
    echo "$0: the lookup-only run wrote an entry" >&2
    exit 1
}

t() { median <"$tmp/$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
at=$(t assimp)
ht=$(t hit)
nt=$(t nocache)
mt=$(t miss)
lt=$(t lookup)
echo "file: $file ($runs runs each, alternating; cache entry $entry bytes)"
echo "assimp info -r   $at s"
echo "zelhost hit      $ht s   $(ratio "$ht" "$at") x assimp   (aim: at most 0.2)"
echo "zelhost no-cache $nt s   $(ratio "$nt" "$at") x assimp"
echo "zelhost miss     $mt s   $(ratio "$mt" "$nt") x no-cache (the entry written before the end)"
echo "zelhost lookup   $lt s   $(ratio "$lt" "$nt") x no-cache (aim: at most 1.03)"
