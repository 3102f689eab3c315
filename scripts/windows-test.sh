#!/usr/bin/env bash
# The Windows leg: on a Debian 12 machine, installs the cross toolchain,
# the static libraries and Wine (scripts/windows-deps.sh), cross-builds the
# project for i686 Windows, checks that the binaries import only system
# DLLs, and runs the whole test suite under Wine.
#   KQ_WIN_BUILD_DIR  build folder (default build/windows)
#   KQ_MINGW_PREFIX   static libraries (default /opt/kq-mingw-i686)
#   KQ_WINEPREFIX     win32 Wine prefix (default ~/.cache/kq-wine32)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/windows-env.sh"
BUILD="${KQ_WIN_BUILD_DIR:-$ROOT/build/windows}"
export KQ_WIN_BUILD_DIR="$BUILD"
t0=$SECONDS

bash "$ROOT/scripts/windows-deps.sh"
t1=$SECONDS

kq_wine_prefix
kq_wine_server_start
trap kq_wine_server_stop EXIT
t2=$SECONDS

bash "$ROOT/scripts/windows-configure.sh" "$BUILD"
cmake --build "$BUILD" -j"$(nproc)"
t3=$SECONDS

bash "$ROOT/scripts/windows-check-imports.sh" "$BUILD"

# Cases that cannot hold on Windows as written: they read the diagnostics
# console through standard error, which only the stand-in maps it to (the
# real console is not a stream of the process). Kept out until the tests
# observe the report another way; KQ_WIN_GTEST_EXCLUDE="" runs them.
EXCLUDE="${KQ_WIN_GTEST_EXCLUDE-OArray.AllocationFailureLeavesArrayUnchanged}"
if [ -n "$EXCLUDE" ]; then
    echo "!! not run under Wine (console read through stderr): $EXCLUDE"
    export GTEST_FILTER="-$EXCLUDE"
fi
rc=0
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)" --timeout 300 || rc=$?
t4=$SECONDS
echo "-- Windows leg: deps $((t1 - t0)) s, Wine $((t2 - t1)) s, build $((t3 - t2)) s, tests $((t4 - t3)) s"
exit "$rc"
