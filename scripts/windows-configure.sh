#!/usr/bin/env bash
# Configures the Windows cross build (mingw-w64, static runtime) for
# KQ_WIN_TARGET (i686 by default, or x86_64).
#   windows-configure.sh [BUILD_DIR] [extra cmake args...]
# BUILD_DIR defaults to the target's build folder (scripts/lib/windows-env.sh);
# the build type to $KQ_WIN_BUILD_TYPE or Release, as the binaries ship, at
# -O2 (debug information and -O3 each add about a third to the compile
# time). The libraries must be in the target's prefix, built by the current
# recipe (scripts/windows-deps.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/lib/windows-env.sh"
BUILD="${1:-$KQ_WIN_BUILD_DIR}"
[ $# -eq 0 ] || shift
if [ "$(cat "$KQ_MINGW_PREFIX/.kq-complete" 2>/dev/null)" != "$(kq_mingw_recipe)" ]; then
    echo "the $KQ_WIN_TARGET dependency prefix $KQ_MINGW_PREFIX is missing or stale;" \
         "run KQ_WIN_TARGET=$KQ_WIN_TARGET scripts/windows-deps.sh" >&2
    exit 1
fi
# The toolchain file adds its code generation flags to these.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE="${KQ_WIN_BUILD_TYPE:-Release}" \
    -DCMAKE_TOOLCHAIN_FILE="$KQ_WIN_TOOLCHAIN" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DKQ_MINGW_PREFIX="$KQ_MINGW_PREFIX" -DKQ_WINEPREFIX="$KQ_WINEPREFIX" "$@"
