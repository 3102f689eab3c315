#!/usr/bin/env bash
# End-to-end checks of the Windows binaries under Wine, the way a user's
# machine meets them:
#   Lintomel  regsvr32 registration, every key and value it writes read back
#             with reg query, the class created through CoCreateInstance and
#             driven as the shell drives it (tools/kqthumbhost -c), also on
#             a container over 4 GiB (sparse, so it costs no disk) and on a
#             model named in Chinese with an emoji (outside the ANSI code
#             page), the server's DllCanUnloadNow while the object lives and
#             after its last Release, regsvr32 /u and what it must leave
#             behind; then its thumbnails beside the native build's, which
#             must be the same bytes;
#   Corvessa  Corvessa.exe on packages made at run time, under a virtual X
#             display so that its report is the real, blocking message box:
#             tools/kqboxdriver reads the box's caption and text, presses OK
#             and reports the exit code; then the package is checked. Also
#             packages and a FileURL named outside the ANSI code page beside
#             their best-fit look-alikes, which must stay untouched; a
#             package missing beside what a replace stopped between its
#             renames left, and a save failure's names in a non-ASCII folder.
# Everything runs in a private copy of the Wine prefix, removed at the end,
# so the shared prefix and its registry stay as they were.
#   KQ_WIN_TARGET     i686 (default) or x86_64: the build and the Wine prefix
#                     of that architecture (scripts/lib/windows-env.sh)
#   KQ_WIN_BUILD_DIR  cross build with the binaries (default build/windows)
#   KQ_WINEPREFIX     the prefix that is copied (default ~/.cache/kq-wine32)
#   KQ_NATIVE_BUILD_DIR  native build whose programs write the models of the
#                     checks and whose thumbnails are the reference
#                     (default build/native, as scripts/test.sh makes it;
#                     configured here when missing, and brought up to date
#                     for the programs the checks run)
#   KQ_E2E_KEEP=1     keep the scratch folder (its path is printed)
# Prints one PASS or FAIL line per check and "N passed, N failed" last;
# the exit code is non-zero when a check failed.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
. "$ROOT/scripts/lib/windows-env.sh"
BUILD="$KQ_WIN_BUILD_DIR"
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac

CLSID='{3b8d41e2-6c0f-4a97-8d25-e4f7a9c1b03d}'
LIBID='{A94C2F18-5E63-4B7D-8C01-6F2B3D9E4A75}'
IID='{5E0A7C3B-94D2-4F61-A8B7-2C9E1D6F3A40}'
HANDLER='{BB2E617C-0920-11d1-9A0B-00C04FC2D6C1}'
HKCR='HKEY_CLASSES_ROOT'

# ---------------------------------------------------------------- helpers

# Results go to a tally file, so that the part run under xvfb-run (a child
# process) counts into the same total.
pass() { echo "PASS $*"; echo P >>"$WORK/tally"; }
fail() { echo "FAIL $*"; echo F >>"$WORK/tally"; }

# Shows a file indented, for the reason of a failure.
show() { sed 's/^/    | /' "$1"; }

# Windows spelling of an absolute path (drive Z: is the root; checked below).
wpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }

# wrun NAME PROGRAM ARGS...: runs a Windows program, output in
# $WORK/NAME.out and NAME.err with CR removed, exit code in $rc. The output
# goes to files, not pipes: Wine's helper processes keep an inherited pipe
# open for a second or two. A hung program is killed after 60 s.
rc=0
wrun() {
    local name="$1"
    shift
    timeout -k 5 60 "$KQ_WINE" "$@" </dev/null >"$WORK/$name.raw" 2>"$WORK/$name.rawerr"
    rc=$?
    tr -d '\r' <"$WORK/$name.raw" >"$WORK/$name.out"
    tr -d '\r' <"$WORK/$name.rawerr" >"$WORK/$name.err"
}

# regq NAME KEY: `reg query KEY /s` without CR and blank lines in
# $WORK/NAME.out; exit code in $rc.
regq() {
    wrun "$1.q" reg query "$2" /s
    grep -v '^$' "$WORK/$1.q.out" >"$WORK/$1.out"
}

# expect_dump CHECK NAME: compares $WORK/NAME.out with standard input.
expect_dump() {
    local check="$1" name="$2"
    cat >"$WORK/$name.want"
    if [ "$rc" -eq 0 ] && cmp -s "$WORK/$name.want" "$WORK/$name.out"; then
        pass "$check"
    else
        fail "$check (reg query exit $rc; < wanted, > got)"
        diff "$WORK/$name.want" "$WORK/$name.out" | sed 's/^/    | /'
        [ -s "$WORK/$name.q.err" ] && show "$WORK/$name.q.err"
    fi
}

# check_bmp CHECK FILE WIDTH HEIGHT [one-colour]: the thumbnail host's BMP
# has the size; with a fourth argument every pixel has the colour of the
# one-colour KQF files (kqe2einputs kqf; stored B, G, R).
check_bmp() {
    local check="$1" file="$2" w="$3" h="$4" got colours
    if [ ! -s "$file" ]; then
        fail "$check (no bitmap written)"
        return
    fi
    got="$(od -An -tu4 -j18 -N8 "$file" | xargs) $(od -An -tu2 -j28 -N2 "$file" | xargs)"
    if [ "$got" != "$w $h 24" ]; then
        fail "$check (bitmap is width height bits $got, want $w $h 24)"
        return
    fi
    if [ $# -ge 5 ]; then
        # 96 pixels of 3 bytes fill whole 4-byte rows: no padding to skip.
        colours="$(tail -c +55 "$file" | od -An -tx1 -v -w3 | sort | uniq -c | xargs)"
        if [ "$colours" != "$((w * h)) e0 80 20" ]; then
            fail "$check (pixels are not all the model's colour: $(echo "$colours" | cut -c1-200))"
            return
        fi
    fi
    pass "$check"
}

# ------------------------------------------------------- Corvessa, in Xvfb

# check_box CHECK NAME EXIT-CODE [TEXT]: the driver's run NAME ended with
# EXIT-CODE from Corvessa and, with TEXT, a box "Embedding report" whose
# text is TEXT byte for byte (none without TEXT).
check_box() {
    local check="$1" name="$2" code="$3" why=""
    if [ "$rc" -ne 0 ]; then
        why="driver exit $rc"
    elif ! grep -qx "exit code: $code" "$WORK/$name.out"; then
        why="want exit code $code"
    elif [ $# -lt 4 ]; then
        grep -qx 'box: none' "$WORK/$name.out" || why="a box was shown"
    elif grep -qx 'box: none' "$WORK/$name.out"; then
        why="no box was shown; it blocks only with a display"
    else
        printf '%s' "$4" >"$WORK/$name.want"
        printf 'Embedding report' >"$WORK/$name.capwant"
        if ! cmp -s "$WORK/$name.capwant" "$WORK/$name.caption"; then
            why="caption differs"
        elif ! cmp -s "$WORK/$name.want" "$WORK/$name.text"; then
            why="text differs"
        elif ! grep -qx 'box buttons: OK' "$WORK/$name.out"; then
            why="want one button, OK"
        fi
    fi
    if [ -z "$why" ]; then
        pass "$check"
    else
        fail "$check ($why)"
        show "$WORK/$name.out"
        [ -s "$WORK/$name.err" ] && show "$WORK/$name.err"
    fi
}

# drive NAME [COMMANDTAIL]: Corvessa.exe through the box driver.
drive() {
    local name="$1"
    shift
    wrun "$name" "$BUILD/tools/kqboxdriver.exe" -t 30 -o "$(wpath "$WORK/$name.text")" \
        -c "$(wpath "$WORK/$name.caption")" "$(wpath "$BUILD/embedder/Corvessa.exe")" "$@"
}

# check_entry CHECK PACKAGE ENTRY FILE: the package holds ENTRY with the
# bytes of FILE.
check_entry() {
    local check="$1" package="$2" entry="$3" file="$4" size
    size=$(stat -c %s "$file")
    if ! grep -qxF -- "$(printf '  %10s  %s' "$size" "$entry")" "$WORK/show.out"; then
        fail "$check (no entry $entry of $size bytes)"
        show "$WORK/show.out"
    elif command -v unzip >/dev/null && ! unzip -p "$package" "$entry" | cmp -s - "$file"; then
        fail "$check ($entry does not hold the bytes of ${file##*/})"
    else
        pass "$check"
    fi
}

# check_show CHECK LINE: the show tool's listing has LINE.
check_show() {
    if grep -qxF -- "$2" "$WORK/show.out"; then
        pass "$1"
    else
        fail "$1 (no line '$2')"
        show "$WORK/show.out"
    fi
}

# Names that the ANSI code page cannot hold. On the command line they come
# as wide text, as the shell gives them (Wine makes it from a UTF-8
# locale's arguments, and the box driver passes it on as it is); the 8-bit
# command line that Windows makes of it is the name's best-fit look-alike,
# and here that names the package beside it. Neither package may change,
# and the run ends as for a package that does not open.
names_checks() {
    local examples="$BUILD/testsupport/corvessa_examples.exe" names="$WORK/corvessa/names" i=0 named twin
    mkdir -p "$names"
    wrun write3 "$examples" write "$(wpath "$names")"
    if [ "$rc" -ne 0 ]; then
        fail "Corvessa: packages for the names outside the code page written"
        return
    fi
    # U+0101 (a with macron), U+FF3C (full-width reverse solidus) and U+FF21
    # (full-width A) in UTF-8, whatever the locale of this shell.
    local macron=$'\xc4\x81' solidus=$'\xef\xbc\xbc' fullA=$'\xef\xbc\xa1'
    for pair in "deck$macron.pptx decka.pptx" "a$solidus..${solidus}b.pptx b.pptx" "${fullA}deck.pptx Adeck.pptx"; do
        i=$((i + 1))
        named="${pair% *}"
        twin="${pair#* }"
        cp "$names/talk.pptx" "$names/$named"
        cp "$names/talk.pptx" "$names/$twin"
        cp "$names/talk.pptx" "$WORK/names-before.pptx"
        LC_ALL=C.UTF-8 drive "wide$i" "$(wpath "$names/$named")"
        check_box "Corvessa: $named (beside $twin) given as wide text ends with exit code 0 and no box" \
            "wide$i" 0
        if cmp -s "$names/$named" "$WORK/names-before.pptx" && cmp -s "$names/$twin" "$WORK/names-before.pptx"; then
            pass "Corvessa: $named and $twin are unchanged, byte for byte"
        else
            fail "Corvessa: $named and $twin are unchanged, byte for byte"
        fi
        rm -f "$names/$named" "$names/$twin"
    done

    # Inside a package: a FileURL naming model + U+0101, beside a valid
    # model container model_.kqfx, which is the look-alike an 8-bit reading
    # makes of that name. The FileURL fails; nothing enters the package.
    wrun write4 "$examples" lookalike "$(wpath "$names")"
    drive lookalike "$(wpath "$names/lookalike.pptx")"
    check_box "Corvessa: a FileURL outside the code page is reported as failed, exit code 1" lookalike 1 \
        "$(printf 'Failed to embed:\n"modelU+0101.kqfx"\n\n0 of 1 KQFx files embedded\n\nEmbedding unsuccessful.')"
    wrun show "$examples" show "$(wpath "$names/lookalike.pptx")"
    local rels=""
    command -v unzip >/dev/null && rels="$(unzip -p "$names/lookalike.pptx" ppt/_rels/presentation.xml.rels)"
    if [ "$rc" -eq 0 ] && ! grep -q 'kqfx' <(grep -v 'activeX' "$WORK/show.out") &&
       grep -qxF "  ppt/activeX/activeX1.xml: model$macron.kqfx" "$WORK/show.out" &&
       ! grep -q 'kqfx' <<<"$rels"; then
        pass "Corvessa: model_.kqfx is not embedded: no entry, no relationship, the control keeps its name"
    else
        fail "Corvessa: model_.kqfx is not embedded: no entry, no relationship, the control keeps its name"
        show "$WORK/show.out"
    fi
}

# A replace stopped between its two renames leaves the package under
# PACKAGE.kqbackup and the saved one under PACKAGE.kqsave, and none under
# the package's name: the next run says where both are, in a box, and
# touches neither. The names there, and in a save's failure, read as they
# are on disk (the box is ANSI text; the code page is Windows-1252 here).
stopped_replace_checks() {
    local examples="$BUILD/testsupport/corvessa_examples.exe" dir="$WORK/corvessa/Präsentationen" wdir
    mkdir -p "$dir"
    wrun write5 "$examples" write "$(wpath "$dir")"
    if [ "$rc" -ne 0 ]; then
        fail "Corvessa: packages for the stopped replace written"
        return
    fi
    wdir="$(wpath "$dir")"
    cp "$dir/talk.pptx" "$dir/deck.pptx"
    LC_ALL=C.UTF-8 drive saved "$wdir\\deck.pptx"
    mv "$dir/deck.pptx" "$dir/deck.pptx.kqsave"
    cp "$dir/talk.pptx" "$dir/deck.pptx.kqbackup"
    cp "$dir/deck.pptx.kqsave" "$WORK/kqsave-before"
    LC_ALL=C.UTF-8 drive stopped "$wdir\\deck.pptx"
    iconv -f CP1252 -t UTF-8 "$WORK/stopped.text" >"$WORK/stopped.utf8" && mv "$WORK/stopped.utf8" "$WORK/stopped.text"
    check_box "Corvessa: the package missing beside PACKAGE.kqbackup and PACKAGE.kqsave: a box names both, exit code 0" \
        stopped 0 "$(printf '%s' "An earlier run was stopped while it replaced this package, and the package is not" \
        " under its name. The package as it was before that save is the file '$wdir\\deck.pptx.kqbackup'. The" \
        " package that save wrote is the file '$wdir\\deck.pptx.kqsave'. Corvessa cannot prove that it wrote" \
        " them, so it changed neither: give the one you want the package's name and remove the other, then run" \
        " again.")$(printf '\n\nEmbedding unsuccessful.')"
    if [ ! -e "$dir/deck.pptx" ] && cmp -s "$dir/deck.pptx.kqbackup" "$dir/talk.pptx" &&
       cmp -s "$dir/deck.pptx.kqsave" "$WORK/kqsave-before"; then
        pass "Corvessa: after that box no file has moved or changed"
    else
        fail "Corvessa: after that box no file has moved or changed"
        ls -l "$dir" | show /dev/stdin
    fi

    # A save that fails over a file in its way names it as it is named.
    cp "$dir/talk.pptx" "$dir/Vortrag é.pptx"
    printf 'my notes' >"$dir/Vortrag é.pptx.kqbackup"
    LC_ALL=C.UTF-8 drive umlaut "$wdir\\Vortrag é.pptx"
    iconv -f CP1252 -t UTF-8 "$WORK/umlaut.text" >"$WORK/umlaut.utf8" && mv "$WORK/umlaut.utf8" "$WORK/umlaut.text"
    if [ "$rc" -eq 0 ] && grep -qx 'exit code: 0' "$WORK/umlaut.out" &&
       grep -qF "The package could not be saved: The file '$wdir\\Vortrag é.pptx.kqbackup' is in the way" \
           "$WORK/umlaut.text" && [ "$(cat "$dir/Vortrag é.pptx.kqbackup")" = 'my notes' ]; then
        pass "Corvessa: a save failure names 'Präsentationen\\Vortrag é.pptx.kqbackup' as it is on disk"
    else
        fail "Corvessa: a save failure names 'Präsentationen\\Vortrag é.pptx.kqbackup' as it is on disk"
        show "$WORK/umlaut.out"
        show "$WORK/umlaut.text"
    fi
}

# A FileURL that Windows-1252 holds exactly (U+2019, the right single
# quotation mark) names its own file, not the look-alike with '_' beside it.
ansi_name_checks() {
    local examples="$BUILD/testsupport/corvessa_examples.exe" names="$WORK/corvessa/ansi"
    local quote=$'\xe2\x80\x99'
    mkdir -p "$names"
    wrun write5 "$examples" ansi "$(wpath "$names")"
    if [ "$rc" -ne 0 ] || ! mv "$names/bob.kqfx" "$names/Bob${quote}s rotor.kqfx"; then
        fail "Corvessa: package for a FileURL that Windows-1252 holds written"
        return
    fi
    drive ansiname "$(wpath "$names/ansi.pptx")"
    check_box "Corvessa: a FileURL that Windows-1252 holds (Bob${quote}s rotor.kqfx) is embedded, exit code 1" ansiname 1 \
        "$(printf '1 of 1 KQFx files embedded\n\nEmbedding successful.')"
    if command -v unzip >/dev/null &&
       cmp -s <(unzip -p "$names/ansi.pptx" ppt/kqfxFiles/kqfx1.kqfx) "$names/Bob${quote}s rotor.kqfx"; then
        pass "Corvessa: the file embedded is Bob${quote}s rotor.kqfx, not Bob_s rotor.kqfx"
    else
        fail "Corvessa: the file embedded is Bob${quote}s rotor.kqfx, not Bob_s rotor.kqfx"
    fi
}

corvessa_checks() {
    local examples="$BUILD/testsupport/corvessa_examples.exe" talk report
    wineserver -p >/dev/null 2>&1

    # A folder name with a blank: the path is taken whole, without quotes.
    local one="$WORK/corvessa/talk folder" two="$WORK/corvessa/report folder"
    mkdir -p "$one" "$two"
    wrun write1 "$examples" write "$(wpath "$one")"
    local w1=$rc
    wrun write2 "$examples" write "$(wpath "$two")"
    if [ "$w1" -ne 0 ] || [ "$rc" -ne 0 ]; then
        fail "Corvessa: test packages written"
        return
    fi
    talk="$one/talk.pptx"
    report="$two/docs/report.docx"

    # Three viewer controls naming two files, both there.
    drive talk "$(wpath "$talk")"
    check_box "Corvessa: talk.pptx reports 2 of 2 in the real box, exit code 1" talk 1 \
        "$(printf '2 of 2 KQFx files embedded\n\nEmbedding successful.')"
    wrun show "$examples" show "$(wpath "$talk")"
    check_entry "Corvessa: talk.pptx holds the rotor model as ppt/kqfxFiles/kqfx1.kqfx" \
        "$talk" ppt/kqfxFiles/kqfx1.kqfx "$one/models/rotor.kqfx"
    check_entry "Corvessa: talk.pptx holds the wing model as ppt/kqfxFiles/kqfx2.kqfx" \
        "$talk" ppt/kqfxFiles/kqfx2.kqfx "$one/wing.kqfx"
    if grep -Eq ' ppt/kqfxFiles/kqfxReferenceIds\.xml$' "$WORK/show.out" &&
       [ "$(grep -c 'Embedded\[kqfx[12]\]$' "$WORK/show.out")" -eq 3 ] &&
       ! grep -Eq '\.kqfx$' <(sed -n '/^Viewer FileURLs:/,/^Reference list:/p' "$WORK/show.out"); then
        pass "Corvessa: talk.pptx: every viewer control names its embedded model, reference list present"
    else
        fail "Corvessa: talk.pptx: every viewer control names its embedded model, reference list present"
        show "$WORK/show.out"
    fi

    # The same with one model file missing.
    rm -f "$two/models/rotor.kqfx"
    drive report "$(wpath "$report")"
    check_box "Corvessa: report.docx with a missing model reports the failure, exit code 1" report 1 \
        "$(printf 'Failed to embed:\n"../models/rotor.kqfx"\n\n1 of 2 KQFx files embedded\n\nEmbedding unsuccessful.')"
    wrun show "$examples" show "$(wpath "$report")"
    check_entry "Corvessa: report.docx holds the wing model as word/kqfxFiles/kqfx1.kqfx" \
        "$report" word/kqfxFiles/kqfx1.kqfx "$two/wing.kqfx"
    check_show "Corvessa: report.docx: the control of the missing model keeps its path" \
        "  word/activeX/activeX2.xml: ../models/rotor.kqfx"

    # A quoted path keeps its quotes and does not open; nothing is shown.
    cp "$two/talk.pptx" "$WORK/talk-before.pptx"
    drive quoted "\"$(wpath "$two/talk.pptx")\""
    check_box "Corvessa: a quoted path ends with exit code 0 and no box" quoted 0
    if cmp -s "$two/talk.pptx" "$WORK/talk-before.pptx"; then
        pass "Corvessa: the package named by the quoted path is unchanged"
    else
        fail "Corvessa: the package named by the quoted path is unchanged"
    fi
    drive empty
    check_box "Corvessa: an empty command line ends with exit code 0 and no box" empty 0

    names_checks
    stopped_replace_checks
    ansi_name_checks

    # End Wine's processes while the display is still there.
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
}

if [ "${1:-}" = "--corvessa-under-display" ]; then
    corvessa_checks
    exit 0
fi

# ------------------------------------------------------------------ set-up

start=$SECONDS
for f in thumbnail/Lintomel.dll tools/kqthumbhost.exe tools/kqboxdriver.exe embedder/Corvessa.exe \
         testsupport/corvessa_examples.exe; do
    if [ ! -f "$BUILD/$f" ]; then
        echo "windows-e2e.sh: no $BUILD/$f (scripts/windows-test.sh builds it)" >&2
        echo "0 passed, 1 failed"
        exit 1
    fi
done
if [ ! -f "$KQ_WINEPREFIX/.kq-ready" ]; then
    kq_wine_prefix || { echo "0 passed, 1 failed"; exit 1; }
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kq-e2e.XXXXXX")"
export WORK KQ_WIN_BUILD_DIR="$BUILD"
PFX="$WORK/prefix"
cleanup() {
    WINEPREFIX="$PFX" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$PFX" wineserver -w >/dev/null 2>&1
    if [ "${KQ_E2E_KEEP:-0}" = 1 ]; then
        echo "scratch folder kept: $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
: >"$WORK/tally"

# The native build writes the models of the checks and draws the reference
# thumbnails (scripts/windows-deps.sh installs what it needs).
NATIVE="${KQ_NATIVE_BUILD_DIR:-$ROOT/build/native}"
case "$NATIVE" in /*) ;; *) NATIVE="$PWD/$NATIVE" ;; esac
native_ok=1
if [ ! -f "$NATIVE/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$WORK/native.log" 2>&1 || native_ok=0
fi
if [ "$native_ok" -eq 0 ] ||
   ! cmake --build "$NATIVE" --target kqthumbhost Lintomel kqthumbcases kqe2einputs >>"$WORK/native.log" 2>&1; then
    native_ok=0
    fail "Lintomel: the native build made its thumbnail host and the programs that write the models"
    show "$WORK/native.log"
fi
INPUTS="$NATIVE/testsupport/kqe2einputs"

# The private prefix: registration, the uninstall remains and the X11
# setting below stay in it.
cp -a "$KQ_WINEPREFIX" "$PFX"
kq_wine_env
export WINEPREFIX="$PFX"
unset DISPLAY WAYLAND_DISPLAY
if [ "$(readlink "$PFX/dosdevices/z:")" != / ]; then
    echo "windows-e2e.sh: drive Z: of $KQ_WINEPREFIX is not the root folder" >&2
    echo "0 passed, 1 failed"
    exit 1
fi
wineserver -p >/dev/null 2>&1

# --------------------------------------------------------------- Lintomel

# The server from a folder with a blank, so %MODULE% is a path with one.
SERVERDIR="$WORK/Lintomel server"
mkdir -p "$SERVERDIR" "$WORK/thumbs"
cp "$BUILD/thumbnail/Lintomel.dll" "$SERVERDIR/"
MODULE="$(wpath "$SERVERDIR/Lintomel.dll")"
MODDIR="$(wpath "$SERVERDIR")"

# Copies of the shared prefix may hold empty extension keys that an earlier
# registration left (they are never removed); start without them, so that
# finding them after unregistration shows that unregistration kept them.
wrun del1 reg delete "$HKCR\\.kqfx" /f
wrun del2 reg delete "$HKCR\\.kqf" /f
left=""
for key in "CLSID\\$CLSID" KqfxThumb.Extractor.1 KqfxThumb.Extractor .kqfx .kqf "TypeLib\\$LIBID" "Interface\\$IID"; do
    wrun before reg query "$HKCR\\$key"
    [ "$rc" -eq 0 ] && left="$left $key"
done
if [ -z "$left" ]; then
    pass "Lintomel: the prefix starts without the server's keys"
else
    fail "Lintomel: the prefix starts without the server's keys (found:$left)"
fi

wrun regsvr32 regsvr32 /s "$MODULE"
if [ "$rc" -eq 0 ]; then
    pass "Lintomel: regsvr32 /s exits 0"
else
    fail "Lintomel: regsvr32 /s exits 0 (exit $rc)"
    show "$WORK/regsvr32.err"
fi

K="$HKCR\\CLSID\\$CLSID"
regq clsid "$K"
expect_dump "Lintomel: HKCR\\CLSID\\$CLSID holds the class's keys and values, nothing else" clsid <<EOF
$K
    (Default)    REG_SZ    KQFx Thumbnail Viewer
$K\\InprocServer32
    (Default)    REG_SZ    $MODULE
    ThreadingModel    REG_SZ    Apartment
$K\\ProgID
    (Default)    REG_SZ    KqfxThumb.Extractor.1
$K\\Programmable
$K\\TypeLib
    (Default)    REG_SZ    $LIBID
$K\\VersionIndependentProgID
    (Default)    REG_SZ    KqfxThumb.Extractor
EOF

regq progid1 "$HKCR\\KqfxThumb.Extractor.1"
expect_dump "Lintomel: ProgID KqfxThumb.Extractor.1" progid1 <<EOF
$HKCR\\KqfxThumb.Extractor.1
    (Default)    REG_SZ    KQFx Thumbnail Viewer
$HKCR\\KqfxThumb.Extractor.1\\CLSID
    (Default)    REG_SZ    $CLSID
EOF

regq progid "$HKCR\\KqfxThumb.Extractor"
expect_dump "Lintomel: version-independent ProgID KqfxThumb.Extractor" progid <<EOF
$HKCR\\KqfxThumb.Extractor
    (Default)    REG_SZ    KQFx Thumbnail Viewer
$HKCR\\KqfxThumb.Extractor\\CLSID
    (Default)    REG_SZ    $CLSID
$HKCR\\KqfxThumb.Extractor\\CurVer
    (Default)    REG_SZ    KqfxThumb.Extractor.1
EOF

for ext in .kqfx .kqf; do
    regq "ext$ext" "$HKCR\\$ext"
    expect_dump "Lintomel: $ext names the class as its thumbnail handler" "ext$ext" <<EOF
$HKCR\\$ext\\shellex
$HKCR\\$ext\\shellex\\$HANDLER
    (Default)    REG_SZ    $CLSID
EOF
done

# The type library's flags are what the type library loader reports:
# Wine adds LIBFLAG_FHASDISKIMAGE (8) to the library's own (none).
regq typelib "$HKCR\\TypeLib\\$LIBID"
sed -i -E 's/^(    \(Default\)    REG_SZ    )(0|8)$/\1<flags>/' "$WORK/typelib.out"
T="$HKCR\\TypeLib\\$LIBID\\1.0"
expect_dump "Lintomel: type library $LIBID 1.0 registered from the DLL" typelib <<EOF
$T
    (Default)    REG_SZ    KqfxThumbExtractor 1.0 Type Library
$T\\409
$T\\409\\$KQ_WINEARCH
    (Default)    REG_SZ    $MODULE
$T\\FLAGS
    (Default)    REG_SZ    <flags>
$T\\HELPDIR
    (Default)    REG_SZ    $MODDIR\\
EOF

regq interface "$HKCR\\Interface\\$IID"
I="$HKCR\\Interface\\$IID"
expect_dump "Lintomel: dual interface IkqfxThumbExtractor registered with the type library" interface <<EOF
$I
    (Default)    REG_SZ    IkqfxThumbExtractor
$I\\ProxyStubClsid
    (Default)    REG_SZ    {00020424-0000-0000-C000-000000000046}
$I\\ProxyStubClsid32
    (Default)    REG_SZ    {00020424-0000-0000-C000-000000000046}
$I\\TypeLib
    (Default)    REG_SZ    $LIBID
    Version    REG_SZ    1.0
EOF

# check_host CHECK NAME WIDTH HEIGHT [one-colour]: kqthumbhost -c run NAME
# wrote a WIDTH x HEIGHT thumbnail, and DllCanUnloadNow answered S_FALSE
# while the object lived and S_OK after its last Release.
check_host() {
    local check="$1" name="$2" w="$3" h="$4"
    shift 4
    local o="$WORK/$name.out"
    if [ "$rc" -ne 0 ] || ! grep -q "^Wrote a $w x $h thumbnail" "$o"; then
        fail "$check (exit $rc)"
        show "$o"
        show "$WORK/$name.err"
        return
    fi
    if grep -qx 'DllCanUnloadNow while the object lives: 0x00000001 (S_FALSE)' "$o" &&
       grep -qx 'DllCanUnloadNow after the last Release: 0x00000000 (S_OK)' "$o"; then
        pass "$check: DllCanUnloadNow S_FALSE while the object lives, S_OK after the last Release"
    else
        fail "$check: DllCanUnloadNow S_FALSE while the object lives, S_OK after the last Release"
        show "$o"
    fi
    check_bmp "$check: the bitmap is $w x $h" "$WORK/thumbs/$name.bmp" "$w" "$h" "$@"
}

"$INPUTS" kqf "$WORK/thumbs/big.kqf" 1024 768
"$INPUTS" kqf "$WORK/thumbs/small.kqf" 100 50
wrun host1 "$BUILD/tools/kqthumbhost.exe" -c -s 96x96 "$(wpath "$WORK/thumbs/big.kqf")" \
    "$(wpath "$WORK/thumbs/host1.bmp")"
check_host "Lintomel: CoCreateInstance, Load, GetLocation, Extract, GetDateStamp: 1024 x 768 KQF at 96 x 96" \
    host1 96 72 one-colour
wrun host2 "$BUILD/tools/kqthumbhost.exe" -c -s 256x256 "$(wpath "$WORK/thumbs/small.kqf")" \
    "$(wpath "$WORK/thumbs/host2.bmp")"
check_host "Lintomel: CoCreateInstance: 100 x 50 KQF at 256 x 256 stays 100 x 50" host2 100 50
wrun host3 "$BUILD/tools/kqthumbhost.exe" -c -s 96x96 "$(wpath "$ROOT/examples/lintomel/model.kqfx")" \
    "$(wpath "$WORK/thumbs/host3.bmp")"
check_host "Lintomel: CoCreateInstance: 640 x 480 KQFx (JPEG snapshot) at 96 x 96" host3 96 72
unzip -p "$ROOT/examples/lintomel/model.kqfx" Case001/Snapshot.jpeg >"$WORK/thumbs/snapshot.jpeg"
if "$INPUTS" big-kqfx "$WORK/thumbs/big.kqfx" "$WORK/thumbs/snapshot.jpeg" 2>"$WORK/big.err"; then
    wrun host5 "$BUILD/tools/kqthumbhost.exe" -c -s 96x96 "$(wpath "$WORK/thumbs/big.kqfx")" \
        "$(wpath "$WORK/thumbs/host5.bmp")"
    check_host "Lintomel: CoCreateInstance: 4.5 GiB zip64 KQFx, snapshot past 4 GiB, at 96 x 96" host5 96 72
    if cmp -s "$WORK/thumbs/host5.bmp" "$WORK/thumbs/host3.bmp"; then
        pass "Lintomel: the snapshot past 4 GiB gives the same thumbnail as in a small container"
    else
        fail "Lintomel: the snapshot past 4 GiB gives the same thumbnail as in a small container"
    fi
else
    fail "Lintomel: a 4.5 GiB zip64 KQFx made for the check"
    show "$WORK/big.err"
fi
rm -f "$WORK/thumbs/big.kqfx"

# Names outside the ANSI code page: the host hands them over as UTF-16, as
# the shell does, so the model opens and the bitmap is written under its
# own name. Wine builds the UTF-16 command line from a UTF-8 locale's
# arguments.
WIDE_MODEL="$WORK/thumbs/模型 🚀.kqfx"
WIDE_BMP="$WORK/thumbs/缩略图 🚀.bmp"
cp "$ROOT/examples/lintomel/model.kqfx" "$WIDE_MODEL"
LC_ALL=C.UTF-8 wrun wide "$BUILD/tools/kqthumbhost.exe" -c -s 96x96 "$(wpath "$WIDE_MODEL")" "$(wpath "$WIDE_BMP")"
if [ "$rc" -eq 0 ] && cmp -s "$WIDE_BMP" "$WORK/thumbs/host3.bmp"; then
    pass "Lintomel: a model named in Chinese with an emoji gives its thumbnail under a name of the same kind"
else
    fail "Lintomel: a model named in Chinese with an emoji gives its thumbnail under a name of the same kind (exit $rc)"
    show "$WORK/wide.out"
    show "$WORK/wide.err"
fi

wrun unreg regsvr32 /u /s "$MODULE"
if [ "$rc" -eq 0 ]; then
    pass "Lintomel: regsvr32 /u /s exits 0"
else
    fail "Lintomel: regsvr32 /u /s exits 0 (exit $rc)"
    show "$WORK/unreg.err"
fi

gone=""
for key in "CLSID\\$CLSID" KqfxThumb.Extractor.1 KqfxThumb.Extractor "TypeLib\\$LIBID" "Interface\\$IID"; do
    wrun after reg query "$HKCR\\$key"
    [ "$rc" -ne 1 ] && gone="$gone $key"
done
if [ -z "$gone" ]; then
    pass "Lintomel: unregistration removes the class, its ProgIDs, the type library and the interface"
else
    fail "Lintomel: unregistration removes the class, its ProgIDs, the type library and the interface (left:$gone)"
fi
wrun clsidroot reg query "$HKCR\\CLSID\\{00020424-0000-0000-C000-000000000046}"
if [ "$rc" -eq 0 ]; then
    pass "Lintomel: HKCR\\CLSID stays, other classes in it too"
else
    fail "Lintomel: HKCR\\CLSID stays, other classes in it too"
fi
for ext in .kqfx .kqf; do
    regq "after$ext" "$HKCR\\$ext"
    # The key itself answers, with no value and no subkey under it.
    if [ "$rc" -eq 0 ] && [ ! -s "$WORK/after$ext.out" ]; then
        pass "Lintomel: $ext stays, with its thumbnail handler removed"
    else
        fail "Lintomel: $ext stays, with its thumbnail handler removed (reg query exit $rc)"
        show "$WORK/after$ext.out"
    fi
done
wrun host4 "$BUILD/tools/kqthumbhost.exe" -c -s 96x96 "$(wpath "$WORK/thumbs/big.kqf")" \
    "$(wpath "$WORK/thumbs/host4.bmp")"
if [ "$rc" -ne 0 ] && [ ! -e "$WORK/thumbs/host4.bmp" ]; then
    pass "Lintomel: after unregistration the class cannot be created"
else
    fail "Lintomel: after unregistration the class cannot be created (exit $rc)"
fi

# ---------------------------------------- Lintomel beside the native build

# Every thumbnail equals the native build's, byte for byte: the examples,
# and snapshots that the JPEG library decodes by different routines,
# corrupt entropy data among them (where its SIMD and C routines part, so
# this fails when the Windows library lacks its SIMD code). The native
# build writes the model files as well.
same_as_native() {
    local native="$NATIVE" dir="$WORK/same" name
    [ "$native_ok" -eq 1 ] || return
    mkdir -p "$dir"
    if ! "$native/testsupport/kqthumbcases" "$dir" >"$dir/cases.txt" 2>>"$WORK/native.log"; then
        fail "Lintomel: the native build wrote the model files"
        show "$WORK/native.log"
        return
    fi
    cp "$ROOT/examples/lintomel/model.kqfx" "$ROOT/examples/lintomel/model.kqf" "$dir/"
    printf '%s\n' model.kqfx model.kqf >>"$dir/cases.txt"
    while read -r name; do
        "$native/tools/kqthumbhost" -s 256x256 "$native/thumbnail/Lintomel.so" "$dir/$name" \
            "$dir/$name.native.bmp" </dev/null >"$WORK/native-$name.out" 2>&1
        local nrc=$?
        wrun "same-$name" "$BUILD/tools/kqthumbhost.exe" -s 256x256 "$(wpath "$BUILD/thumbnail/Lintomel.dll")" \
            "$(wpath "$dir/$name")" "$(wpath "$dir/$name.win.bmp")"
        if [ "$nrc" -eq 0 ] && [ "$rc" -eq 0 ] && cmp -s "$dir/$name.native.bmp" "$dir/$name.win.bmp"; then
            pass "Lintomel: the thumbnail of $name is the native build's, byte for byte"
        else
            fail "Lintomel: the thumbnail of $name is the native build's, byte for byte (exit $rc, native $nrc)"
            show "$WORK/native-$name.out"
            show "$WORK/same-$name.out"
            show "$WORK/same-$name.err"
        fi
    done <"$dir/cases.txt"
}
same_as_native
lintomel_end=$SECONDS

# --------------------------------------------------------------- Corvessa

# Without a window manager, which Xvfb does not have, Wine waits two
# seconds for every managed window to be withdrawn; unmanaged windows close
# at once.
wrun x11 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
# The server and its desktop process started above know no display: end
# them, so that the next ones start under Xvfb.
wineserver -k >/dev/null 2>&1
wineserver -w >/dev/null 2>&1

if command -v xvfb-run >/dev/null; then
    timeout -k 5 300 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --corvessa-under-display ||
        fail "Corvessa: the checks under xvfb-run ran to the end (exit $?)"
else
    fail "Corvessa: xvfb-run is available"
fi
corvessa_end=$SECONDS

passed=$(grep -c P "$WORK/tally")
failed=$(grep -c F "$WORK/tally")
echo "-- Wine end-to-end checks: Lintomel $((lintomel_end - start)) s, Corvessa $((corvessa_end - lintomel_end)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
