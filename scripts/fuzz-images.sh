#!/usr/bin/env bash
# Builds the BMP and JPEG fuzz targets with clang (libFuzzer, ASan, UBSan)
# and runs each for a while from seeds the project generates.
#   scripts/fuzz-images.sh                 60 s per target
#   KQ_FUZZ_SECONDS=600 scripts/fuzz-images.sh
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${KQ_FUZZ_BUILD_DIR:-$ROOT/build/fuzz}"
SECONDS_EACH="${KQ_FUZZ_SECONDS:-60}"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKQ_FUZZ=ON -DKQ_SANITIZE=ON \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link
cmake --build "$BUILD" --target fuzz_bmp fuzz_jpeg fuzz_seeds
WORK="$BUILD/tests/fuzz/run"
mkdir -p "$WORK/bmp" "$WORK/jpeg"
"$BUILD/tests/fuzz/fuzz_seeds" "$WORK/bmp" "$WORK/jpeg"
cd "$WORK"
for t in bmp jpeg; do
    echo "== fuzz_$t for ${SECONDS_EACH}s"
    "$BUILD/tests/fuzz/fuzz_$t" -max_total_time="$SECONDS_EACH" -rss_limit_mb=4096 -malloc_limit_mb=4096 \
        -print_final_stats=1 "$WORK/$t" 2>&1 | tail -n 25
done
