#!/usr/bin/env bash
# Checks that the i686 Lintomel.dll resamples thumbnails with SSE float
# arithmetic, not x87: x87 keeps the steps and positions of
# KQRGBImage::Scale in 80-bit registers, and then other source columns and
# rows are picked than with 32-bit floats (the native build's result).
#   windows-check-sse.sh BUILD_DIR   (an i686 build)
set -euo pipefail
BUILD="${1:?usage: windows-check-sse.sh BUILD_DIR}"
OBJDUMP="${OBJDUMP:-i686-w64-mingw32-objdump}"
DLL="$BUILD/thumbnail/Lintomel.dll"
SYMBOL=__ZN10KQRGBImage5ScaleEii   # KQRGBImage::Scale(int, int), i686 COFF spelling
# Mnemonics of the instructions only (address lines).
mnemonics="$("$OBJDUMP" -d --no-show-raw-insn --disassemble="$SYMBOL" "$DLL" \
    | awk '/^ *[0-9a-f]+:\t/ { print $2 }')"
if [ -z "$mnemonics" ]; then
    echo "no $SYMBOL (KQRGBImage::Scale) in $DLL" >&2
    exit 1
fi
x87="$(grep -cE '^f' <<<"$mnemonics" || true)"
sse="$(grep -cE '^(cvt|div|mul|add|sub|mov)[a-z]*ss$|^(u?comiss|cvttss2si)$' <<<"$mnemonics" || true)"
if [ "$x87" -ne 0 ]; then
    echo "KQRGBImage::Scale in ${DLL#"$BUILD"/} uses $x87 x87 instructions:" >&2
    grep -E '^f' <<<"$mnemonics" | sort | uniq -c >&2
    exit 1
fi
echo "-- float check: KQRGBImage::Scale in the i686 Lintomel.dll uses SSE ($sse scalar float instructions), no x87"
