#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs the whole test suite.
#   scripts/test.sh            native build, both character widths
#   KQ_SANITIZE=ON scripts/test.sh   the same under ASan and UBSan
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
bash "$ROOT/scripts/install-native-deps.sh"
SAN="${KQ_SANITIZE:-OFF}"
BUILD="${KQ_BUILD_DIR:-$ROOT/build/native}"
[ "$SAN" = "ON" ] && BUILD="${KQ_BUILD_DIR:-$ROOT/build/native-san}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_SANITIZE="$SAN"
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"
