#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan) in build-fuzz/ and runs each for SECONDS
# (default 35: seven targets, about 4 minutes in all), starting from seeds made from the corpus and
# the sample models and from what earlier runs found (build-fuzz/fuzz-corpus/). Fails on any
# finding; the crashing input is left in build-fuzz/ (crash-*, oom-*, timeout-*) and the log in
# build-fuzz/fuzz-NAME.log. A finding of the helper target whose fault lies inside Assimp itself
# (assimpFault) is reported but does not fail the run: the helper's sandbox is what contains those.
#   tools/fuzz.sh [SECONDS [TARGET...]]     (targets: scene_decoder stream request world helper records
#                                           file_broker)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
seconds=${1:-35}
targets=(scene_decoder stream request world helper records file_broker)
[ $# -gt 1 ] && targets=("${@:2}")
build=${ZEL_FUZZ_DIR:-$top/build-fuzz}
corpus=${ZEL_CORPUS_DIR:-$top/../shared/corpus}
me=$(basename "$0")

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "$me: building the fuzz targets in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
    -DCMAKE_CXX_COMPILER=clang++-14 -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF \
    "${launcher[@]}" >&2
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" zel_fuzz_seeds >&2

seeds=$build/fuzz-seeds
if [ ! -d "$seeds/helper" ]; then
    rm -rf "$seeds"
    models=()
    while IFS= read -r -d '' f; do models+=("$f"); done < <(
        find "$top/examples/models" "$corpus" -type f -size -4M ! -name '*.txt' ! -name '*.md' \
            -print0 2>/dev/null | sort -z)
    # The importer's leaks are not the seeds' business.
    ASAN_OPTIONS=detect_leaks=0 "$build/bin/zel_fuzz_seeds" "$seeds.tmp" "${models[@]}" >&2
    mv "$seeds.tmp" "$seeds"
fi
# The broker's: names that lead out, through links and back in ('@' the model's folder, '#' the
# one outside; the first byte picks the question and the resolution).
if [ ! -d "$seeds/file_broker" ]; then
    mkdir -p "$seeds/file_broker.tmp"
    i=0
    for name in house.mtl House.mtl maps/wall.png ../outside/secret.mtl linked/secret.mtl \
        planted.mtl maps/up/secret.png alias.mtl loop magic/secret.mtl fifo.bin @/house.obj \
        '#/secret.mtl' 'maps/../house.mtl' 'maps\wall.png' 'C:\x\WOOD.png' sub/stone.tga; do
        for first in '\x00' '\x01' '\x02' '\x80' '\x82'; do
            printf "$first%s" "$name" >"$seeds/file_broker.tmp/$i"
            i=$((i + 1))
        done
    done
    mv "$seeds/file_broker.tmp" "$seeds/file_broker"
fi

# True when the helper target's finding in the log lies in Assimp: the input is a model (its first
# byte below 9; a picture runs the helper's own code only) and the first stack of the report runs
# through libassimp, or memory grew past the limit (no stack; the helper's address-space limit
# stops that).
assimpFault() {
    local unit kind
    unit=$(grep -o 'Test unit written to [^ ]*' "$1" | tail -n 1 | cut -d' ' -f5)
    [ -n "$unit" ] && [ -f "$build/$unit" ] || return 1
    kind=$(od -An -tu1 -N1 "$build/$unit" | tr -d ' ')
    [ -n "$kind" ] && [ "$kind" -lt 9 ] || return 1
    grep -q 'libFuzzer: out-of-memory (used' "$1" && return 0
    awk '/^ +#[0-9]+ /{found=1; print; next} found{exit}' "$1" | grep -q 'libassimp'
}

status=0
for name in "${targets[@]}"; do
    seed=$seeds/$name
    [ "$name" = scene_decoder ] && seed=$seeds/scene
    # The helper target runs Assimp, whose leaks are its own; it reads smaller files, and fails an
    # allocation above 2 GiB itself, as the helper's address-space limit does.
    asan=${ASAN_OPTIONS:-}
    limits=(-max_len=1048576)
    if [ "$name" = helper ]; then
        asan=detect_leaks=0${asan:+:$asan}
        limits=(-max_len=262144 -malloc_limit_mb=1048576)
    fi
    work=$build/fuzz-corpus/$name
    mkdir -p "$work"
    log=$build/fuzz-$name.log
    echo "$me: fuzzing $name for $seconds s" >&2
    if (cd "$build" && ASAN_OPTIONS=$asan "$build/bin/fuzz_$name" -max_total_time="$seconds" \
            -timeout=10 -rss_limit_mb=2048 "${limits[@]}" -print_final_stats=1 \
            "$work" "$seed" >"$log" 2>&1); then
        # The last status line: executions, coverage (cov) and features (ft).
        grep -E '^#[0-9]+' "$log" | tail -n 1 | sed "s/^/$me: $name: /" >&2
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" |
            sed "s/^/$me: $name: /" >&2
    elif [ "$name" = helper ] && assimpFault "$log"; then
        echo "$me: $name: a fault inside Assimp (contained by the helper's sandbox); see $log" >&2
        grep -m 3 -E '^ +#[0-9]+ ' "$log" >&2 || true
    else
        echo "$me: $name FOUND A FAULT; see $log" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
