#!/usr/bin/env bash
# Configures the Windows i686 cross build (mingw-w64, static runtime).
#   windows-configure.sh [BUILD_DIR] [extra cmake args...]
# BUILD_DIR defaults to $KQ_WIN_BUILD_DIR or build/windows; the build type
# to $KQ_WIN_BUILD_TYPE or Release, as the binaries ship, at -O2 (debug
# information and -O3 each add about a third to the compile time). The
# libraries must be in KQ_MINGW_PREFIX already (scripts/windows-deps.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/windows-env.sh"
BUILD="${1:-${KQ_WIN_BUILD_DIR:-$ROOT/build/windows}}"
[ $# -eq 0 ] || shift
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE="${KQ_WIN_BUILD_TYPE:-Release}" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-i686-mingw32.cmake" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKQ_MINGW_PREFIX="$KQ_MINGW_PREFIX" -DKQ_WINEPREFIX="$KQ_WINEPREFIX" "$@"
