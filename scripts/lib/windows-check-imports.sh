#!/usr/bin/env bash
# Checks that every Windows binary of the project in a build folder imports
# only DLLs that come with Windows, so that it runs (and a COM server
# registers) without any runtime DLL beside it.
#   windows-check-imports.sh BUILD_DIR
set -euo pipefail
BUILD="${1:?usage: windows-check-imports.sh BUILD_DIR}"
OBJDUMP="${OBJDUMP:-${KQ_MINGW_TRIPLE:-i686-w64-mingw32}-objdump}"
# System DLLs (lower case). Anything else, such as libstdc++-6.dll,
# libgcc_s_dw2-1.dll, libwinpthread-1.dll or zlib1.dll, is a fault.
ALLOWED=" kernel32.dll user32.dll gdi32.dll advapi32.dll ole32.dll oleaut32.dll
  shell32.dll shlwapi.dll msvcrt.dll comctl32.dll comdlg32.dll uxtheme.dll
  version.dll rpcrt4.dll ws2_32.dll bcrypt.dll crypt32.dll winmm.dll imm32.dll
  windowscodecs.dll propsys.dll ntdll.dll winspool.drv "
# shellcheck disable=SC2086  # splitting the list is the point
ALLOWED=" $(printf '%s ' $ALLOWED)"   # one blank after each name, line ends too

bad=0
count=0
while IFS= read -r -d '' bin; do
    count=$((count + 1))
    dlls="$("$OBJDUMP" -p "$bin" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | tr -d '\r')"
    for dll in $dlls; do
        case "$ALLOWED" in
            *" $dll "*) ;;
            *) echo "NOT A SYSTEM DLL: ${bin#"$BUILD"/} imports $dll"; bad=1 ;;
        esac
    done
done < <(find "$BUILD" -path '*/CMakeFiles' -prune -o -type f \( -iname '*.exe' -o -iname '*.dll' \) -print0)

if [ "$count" -eq 0 ]; then
    echo "no Windows binaries found in $BUILD" >&2
    exit 1
fi
if [ "$bad" -ne 0 ]; then
    echo "import check failed" >&2
    exit 1
fi
echo "-- import check: $count Windows binaries import only system DLLs"
