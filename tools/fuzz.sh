#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan) in build-fuzz/ and runs each for SECONDS
# (default 60), starting from seeds made from the corpus and the sample models and from what earlier
# runs found (build-fuzz/fuzz-corpus/). Fails on any finding; the crashing input is left in
# build-fuzz/ (crash-*, oom-*, timeout-*) and the log in build-fuzz/fuzz-NAME.log.
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
seconds=${1:-60}
build=${ZEL_FUZZ_DIR:-$top/build-fuzz}
corpus=${ZEL_CORPUS_DIR:-$top/../shared/corpus}
me=$(basename "$0")

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
echo "$me: building the fuzz targets in $build" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 \
    -DCMAKE_CXX_COMPILER=clang++-14 -DZEL_FUZZ=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF \
    "${launcher[@]}" >&2
cmake --build "$build" -j "$(nproc)" --target fuzz_scene_decoder fuzz_records fuzz_file_broker \
    zel_fuzz_seeds >&2

seeds=$build/fuzz-seeds
if [ ! -d "$seeds/scene" ]; then
    models=()
    while IFS= read -r -d '' f; do models+=("$f"); done < <(
        find "$top/examples/models" "$corpus" -type f -size -4M ! -name '*.txt' ! -name '*.md' \
            -print0 2>/dev/null | sort -z)
    # The importer's leaks are not the seeds' business.
    ASAN_OPTIONS=detect_leaks=0 "$build/bin/zel_fuzz_seeds" "$seeds/scene.tmp" "$seeds/records.tmp" \
        "${models[@]}" >&2
    mv "$seeds/scene.tmp" "$seeds/scene"
    mv "$seeds/records.tmp" "$seeds/records"
fi
# The broker's: names that lead out, through links and back in ('@' the model's folder, '#' the
# one outside; the first byte picks the question and the resolution).
if [ ! -d "$seeds/broker" ]; then
    mkdir -p "$seeds/broker.tmp"
    i=0
    for name in house.mtl House.mtl maps/wall.png ../outside/secret.mtl linked/secret.mtl \
        planted.mtl maps/up/secret.png alias.mtl loop magic/secret.mtl fifo.bin @/house.obj \
        '#/secret.mtl' 'maps/../house.mtl' 'maps\wall.png' 'C:\x\WOOD.png' sub/stone.tga; do
        for first in '\x00' '\x01' '\x02' '\x80' '\x82'; do
            printf "$first%s" "$name" >"$seeds/broker.tmp/$i"
            i=$((i + 1))
        done
    done
    mv "$seeds/broker.tmp" "$seeds/broker"
fi

status=0
for name in scene_decoder records file_broker; do
    case $name in
    scene_decoder) seed=$seeds/scene ;;
    records) seed=$seeds/records ;;
    file_broker) seed=$seeds/broker ;;
    esac
    work=$build/fuzz-corpus/$name
    mkdir -p "$work"
    log=$build/fuzz-$name.log
    echo "$me: fuzzing $name for $seconds s" >&2
    if (cd "$build" && "$build/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -max_len=1048576 -print_final_stats=1 "$work" "$seed" >"$log" 2>&1); then
        # The last status line: executions, coverage (cov) and features (ft).
        grep -E '^#[0-9]+' "$log" | tail -n 1 | sed "s/^/$me: $name: /" >&2
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" |
            sed "s/^/$me: $name: /" >&2
    else
        echo "$me: $name FOUND A FAULT; see $log" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
done
exit $status
