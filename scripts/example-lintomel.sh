#!/usr/bin/env bash
# Builds Lintomel and its thumbnail host, then turns the shipped examples
# (examples/lintomel/model.kqfx and model.kqf) into thumbnail BMP files the
# way the shell would ask for them, and says where they are.
#   scripts/example-lintomel.sh [WIDTHxHEIGHT]   (default 256x256)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
SIZE="${1:-256x256}"
bash "$ROOT/scripts/install-native-deps.sh"
BUILD="${KQ_BUILD_DIR:-$ROOT/build/native}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" --target Lintomel kqthumbhost -j"$(nproc)"

OUT="$BUILD/lintomel-example"
mkdir -p "$OUT"
for model in model.kqfx model.kqf; do
    "$BUILD/tools/kqthumbhost" -s "$SIZE" "$BUILD/thumbnail/Lintomel.so" \
        "$ROOT/examples/lintomel/$model" "$OUT/$model.bmp"
done
echo "Thumbnails: $OUT/model.kqfx.bmp and $OUT/model.kqf.bmp"
