# What the shell benchmarks share. Each one sources it first, from its own folder:
#
#   . "$(dirname "$0")/../lib.sh"
#
# and then has $here (its folder), $corpus (the corpus folder beside the source tree, whether or
# not it is there), $large (the corpus's generated/large.3ds, the usual model) and $tmp (a new
# temporary folder, removed when the benchmark ends however it ends, after the benchmark's own
# cleanup(), which it may define to stop what it started).
# shellcheck shell=sh

here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/../../../shared/corpus
large=$corpus/generated/large.3ds

tmp=$(mktemp -d)
cleanup() { :; }
trap 'cleanup || true; rm -rf "$tmp"' EXIT

# usage ARGS: the usage line on stderr, then exit 2.
usage() {
    echo "usage: $0 $*" >&2
    exit 2
}

# need_tools TOOL...: exit 2 naming the first that is not installed.
need_tools() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$0: $tool not found" >&2; exit 2; }
    done
}

# need_files FILE...: exit 2 naming the first that is not a file.
need_files() {
    for f in "$@"; do
        [ -f "$f" ] || { echo "$0: no such file: $f" >&2; exit 2; }
    done
}

# median: the median of the numbers on stdin, one a line (of an even count, the mean of the middle
# two).
median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
