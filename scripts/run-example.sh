#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job on a
# shipped example.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
bash "$ROOT/scripts/install-native-deps.sh"
BUILD="${KQ_BUILD_DIR:-$ROOT/build/native}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD" -j"$(nproc)"
echo "Built the foundation library; Corvessa and Lintomel are not built yet."
