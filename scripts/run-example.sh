#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job on the
# shipped examples: Corvessa embeds the model files of a copy of
# examples/corvessa/talk.pptx and shows its report; Lintomel turns
# examples/lintomel/model.kqfx and model.kqf into thumbnail BMP files.
#   scripts/run-example.sh [talk.pptx | docs/report.docx | absolute.pptx]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
bash "$ROOT/scripts/install-native-deps.sh"
export KQ_BUILD_DIR="${KQ_BUILD_DIR:-$ROOT/build/native}"
cmake -S "$ROOT" -B "$KQ_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$KQ_BUILD_DIR" -j"$(nproc)" >/dev/null
echo "=================== Corvessa"
bash "$ROOT/scripts/example-corvessa.sh" "${1:-talk.pptx}"
echo
echo "=================== Lintomel"
bash "$ROOT/scripts/example-lintomel.sh"
