#!/bin/sh
# Steps zelhost with ">" through a folder of 21 hostile and broken model files (written by
# zel_hostile_catalogue; one of them makes Assimp loop forever) and times the whole run against
# the aim of 10 s. Prints each file's outcome from zelhost's stderr.
#
#   hostile_catalogue.sh ZELHOST CATALOGUE_TOOL ARCHI.3DS
set -eu
. "$(dirname "$0")/../lib.sh"
[ $# -eq 3 ] || usage "ZELHOST CATALOGUE_TOOL ARCHI.3DS"
"$2" "$tmp/models" "$3" >&2
count=$(($(ls "$tmp/models" | wc -l) - 1))
i=0
while [ "$i" -lt "$count" ]; do
    echo "key >" >>"$tmp/steps.zel"
    i=$((i + 1))
done
start=$(date +%s.%N)
"$1" --models "$tmp/models" --script "$tmp/steps.zel" >"$tmp/trace" 2>"$tmp/err" || true
end=$(date +%s.%N)
grep -o 'cannot read .*' "$tmp/err" | sed 's/^/  /' || true
failed=$(grep -c 'cannot read' "$tmp/err" || true)
awk -v s="$start" -v e="$end" -v n="$count" -v f="$failed" 'BEGIN {
    printf "stepped through %d files (%d failed reads) in %.2f s   (aim: at most 10 s)\n", n, f, e - s }'
