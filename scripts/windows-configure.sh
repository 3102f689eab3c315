#!/usr/bin/env bash
# Configures the Windows i686 cross build (mingw-w64, static runtime).
#   windows-configure.sh [BUILD_DIR] [extra cmake args...]
# BUILD_DIR defaults to $KQ_WIN_BUILD_DIR or build/windows. The libraries
# must be in KQ_MINGW_PREFIX already (scripts/windows-deps.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/windows-env.sh"
BUILD="${1:-${KQ_WIN_BUILD_DIR:-$ROOT/build/windows}}"
[ $# -eq 0 ] || shift
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-i686-mingw32.cmake" \
    -DKQ_MINGW_PREFIX="$KQ_MINGW_PREFIX" -DKQ_WINEPREFIX="$KQ_WINEPREFIX" "$@"
