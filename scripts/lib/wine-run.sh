#!/usr/bin/env bash
# Runs one Windows program under Wine and passes on its exit code; ctest's
# emulator for the cross builds (CMAKE_CROSSCOMPILING_EMULATOR).
#   wine-run.sh [--wineprefix=DIR] [--winearch=win32|win64] program.exe [args...]
# A win64 program runs under the 64-bit loader by name: the wine script
# picks the 32-bit one whenever it is installed, even where the host cannot
# run it.
# Wine's helper processes keep an inherited output pipe open for a second or
# two after the program ends, and ctest waits for the pipe. So the output
# goes to temporary files and is copied out once the program has exited.
set -u
arch=win32
while :; do
    case "${1:-}" in
        --wineprefix=*) export WINEPREFIX="${1#--wineprefix=}"; shift ;;
        --winearch=*) arch="${1#--winearch=}"; shift ;;
        *) break ;;
    esac
done
# The architecture's default prefix and loader are those of the Windows leg.
if [ "$arch" = win64 ]; then export KQ_WIN_TARGET=x86_64; else export KQ_WIN_TARGET=i686; fi
. "$(dirname "$0")/windows-env.sh"
: "${WINEPREFIX:=$KQ_WINEPREFIX}"
export WINEPREFIX WINEARCH="$arch" WINELOADER="$KQ_WINE"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Without a display a message box returns at once instead of waiting for a
# click that never comes; KQ_WINE_DISPLAY names one (Xvfb) for tests that
# drive the box themselves.
if [ -n "${KQ_WINE_DISPLAY:-}" ]; then
    export DISPLAY="$KQ_WINE_DISPLAY"
else
    unset DISPLAY WAYLAND_DISPLAY
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run.sh: no Wine prefix at $WINEPREFIX (scripts/windows-test.sh creates it)" >&2
    exit 125
fi

out="$(mktemp "${TMPDIR:-/tmp}/kq-wine-out.XXXXXX")"
err="$(mktemp "${TMPDIR:-/tmp}/kq-wine-err.XXXXXX")"
"$KQ_WINE" "$@" </dev/null >"$out" 2>"$err"
rc=$?
# The Windows runtime writes CRLF line ends; show them as plain lines.
sed 's/\r$//' "$out"
sed 's/\r$//' "$err" >&2
rm -f "$out" "$err"
exit "$rc"
