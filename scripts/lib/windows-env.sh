# shellcheck shell=bash
# Shared settings of the Windows leg; sourced by the scripts/windows-*.sh.
# KQ_WIN_TARGET names the architecture a script works on (default i686);
# each has its own static libraries, Wine prefix and build folder:
#   i686    KQ_MINGW_PREFIX    (default /opt/kq-mingw-i686)
#           KQ_WINEPREFIX      (default ~/.cache/kq-wine32)
#           KQ_WIN_BUILD_DIR   (default build/windows)
#   x86_64  KQ_MINGW64_PREFIX  (default /opt/kq-mingw-x86_64)
#           KQ_WINE64PREFIX    (default ~/.cache/kq-wine64)
#           KQ_WIN64_BUILD_DIR (default build/windows-x86_64)
# For the target, KQ_MINGW_PREFIX, KQ_WINEPREFIX and KQ_WIN_BUILD_DIR are
# then set to its values in this shell (exported, for the scripts it runs
# with the same target). The prefixes live outside the source tree so that
# a fresh clone reuses them.
: "${KQ_WIN_TARGET:=i686}"
_kq_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
case "$KQ_WIN_TARGET" in
    i686)
        : "${KQ_MINGW_PREFIX:=/opt/kq-mingw-i686}"
        : "${KQ_WINEPREFIX:=${HOME:-/tmp}/.cache/kq-wine32}"
        : "${KQ_WIN_BUILD_DIR:=$_kq_root/build/windows}"
        KQ_MINGW_TRIPLE=i686-w64-mingw32
        KQ_WINEARCH=win32
        # The loader by name: /usr/bin/wine picks whichever is installed.
        KQ_WINE=/usr/lib/wine/wine
        ;;
    x86_64)
        KQ_MINGW_PREFIX="${KQ_MINGW64_PREFIX:-/opt/kq-mingw-x86_64}"
        KQ_WINEPREFIX="${KQ_WINE64PREFIX:-${HOME:-/tmp}/.cache/kq-wine64}"
        KQ_WIN_BUILD_DIR="${KQ_WIN64_BUILD_DIR:-$_kq_root/build/windows-x86_64}"
        KQ_MINGW_TRIPLE=x86_64-w64-mingw32
        KQ_WINEARCH=win64
        KQ_WINE=/usr/lib/wine/wine64
        ;;
    *)
        echo "KQ_WIN_TARGET=$KQ_WIN_TARGET: want i686 or x86_64" >&2
        exit 2
        ;;
esac
[ -x "$KQ_WINE" ] || KQ_WINE=wine
KQ_WIN_TOOLCHAIN="$_kq_root/cmake/toolchain-$KQ_WIN_TARGET-mingw32.cmake"
export KQ_WIN_TARGET KQ_MINGW_PREFIX KQ_WINEPREFIX KQ_WIN_BUILD_DIR KQ_MINGW_TRIPLE KQ_WINEARCH KQ_WINE \
    KQ_WIN_TOOLCHAIN

# What the dependency prefix's stamp must say for the target; anything
# else (a half-built prefix, an older recipe) is rebuilt by windows-deps.sh
# and refused by windows-configure.sh. Change the number whenever the way
# the libraries are built changes.
kq_mingw_recipe() {
    local flags="64-bit file offsets"
    [ "$KQ_WIN_TARGET" != i686 ] || flags="$flags, SSE2 floats"
    echo "kq-mingw-deps 4: bzip2 libjpeg-turbo (SIMD) tinyxml expat libzip googletest; static; $KQ_WIN_TARGET posix; $flags"
}

# Whether this host runs 32-bit x86 programs under Wine. Some machines
# refuse every 32-bit program (Exec format error) although wine32 installs;
# the kernel's configuration reads the same on both kinds, so ask the loader.
kq_host_runs_win32() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Wine set-up shared by the prefix, the server and the test wrapper.
kq_wine_env() {
    export WINEPREFIX="$KQ_WINEPREFIX" WINEARCH="$KQ_WINEARCH" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # wineserver and the wine* tool scripts find the loader through this.
    export WINELOADER="$KQ_WINE"
}

# Creates the target's Wine prefix once. A prefix whose set-up did not
# finish (no stamp) is made anew.
kq_wine_prefix() {
    kq_wine_env
    local stamp="$KQ_WINEPREFIX/.kq-ready"
    [ -f "$stamp" ] && return 0
    if [ -e "$KQ_WINEPREFIX" ]; then
        if [ -f "$KQ_WINEPREFIX/system.reg" ] || [ -f "$KQ_WINEPREFIX/.kq-wineprefix" ] \
           || [ -z "$(ls -A "$KQ_WINEPREFIX" 2>/dev/null)" ]; then
            rm -rf "$KQ_WINEPREFIX"
        else
            echo "KQ_WINEPREFIX=$KQ_WINEPREFIX exists and is not a Wine prefix; refusing to replace it" >&2
            return 1
        fi
    fi
    mkdir -p "$(dirname "$KQ_WINEPREFIX")"
    echo "-- creating the $KQ_WINEARCH Wine prefix $KQ_WINEPREFIX"
    "$KQ_WINE" wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
    [ -f "$KQ_WINEPREFIX/system.reg" ] || return 1
    touch "$KQ_WINEPREFIX/.kq-wineprefix" "$stamp"
}

# Keeps one wineserver up for the whole run, so that each test start does
# not pay for a server start and the prefix update check. It ends by itself
# a minute after its last client. It is not killed at the end: other runs in
# the same prefix (a developer's ctest) may be using it by then.
kq_wine_server_start() {
    kq_wine_env
    # Exit status 2: a server for this prefix is already up, which serves too.
    wineserver -p60 </dev/null >/dev/null 2>&1 || true
}
