# shellcheck shell=bash
# Shared settings of the Windows leg; sourced by the scripts/windows-*.sh.
#   KQ_MINGW_PREFIX  static i686 libraries (built by windows-deps.sh)
#   KQ_WINEPREFIX    the win32 Wine prefix the tests run in
# Both live outside the source tree so that a fresh clone reuses them.
: "${KQ_MINGW_PREFIX:=/opt/kq-mingw-i686}"
: "${KQ_WINEPREFIX:=${HOME:-/tmp}/.cache/kq-wine32}"
export KQ_MINGW_PREFIX KQ_WINEPREFIX
export KQ_MINGW_TRIPLE=i686-w64-mingw32

# Wine set-up shared by the prefix, the server and the test wrapper.
kq_wine_env() {
    export WINEPREFIX="$KQ_WINEPREFIX" WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the win32 prefix once. A prefix whose set-up did not finish (no
# stamp) is made anew.
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
    echo "-- creating the win32 Wine prefix $KQ_WINEPREFIX"
    wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
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
