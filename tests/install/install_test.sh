#!/usr/bin/env bash
# Installs the build into an empty prefix, moves the installed tree elsewhere, and runs the installed
# zelhost from an unrelated folder on the installed tour script: its trace must be the expected one,
# byte for byte, and no installed binary may look for its libraries in the build tree.
#   install_test.sh BUILD_DIR EXPECTED_TRACE
set -euo pipefail
build=$1
expected=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -E copy_directory "$work/prefix" "$work/moved" # the installed tree may be moved as a whole
rm -rf "$work/prefix"
for f in "$work"/moved/bin/* "$work"/moved/lib/propplacer/*; do
    if readelf -d "$f" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -q "$(cd "$build" && pwd)"; then
        echo "$f still looks for libraries in the build folder" >&2
        exit 1
    fi
done
# Started from an empty folder with no package path set.
mkdir "$work/run"
cd "$work/run"
status=0
env -u ZEL_PACKAGE_PATH -u ZEL_IMPORTER -u LD_LIBRARY_PATH \
    "$work/moved/bin/zelhost" --script "$work/moved/share/propplacer/examples/tour.zel" \
    >out.txt 2>err.txt || status=$?
if [ "$status" -ne 0 ]; then
    echo "installed zelhost exited $status:" >&2
    cat err.txt >&2
    exit 1
fi
if ! cmp -s out.txt "$expected"; then
    echo "the installed zelhost's trace differs from $expected:" >&2
    diff "$expected" out.txt | head -20 >&2
    exit 1
fi
[ -s err.txt ] && { echo "unexpected stderr:" >&2; cat err.txt >&2; exit 1; }
[ -f tour.json ] || { echo "no tour.json written" >&2; exit 1; }
echo "installed zelhost ran the tour from $work/moved"
