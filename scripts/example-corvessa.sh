#!/usr/bin/env bash
# Runs Corvessa on a copy of one shipped example and shows the report.
#
#   scripts/example-corvessa.sh [talk.pptx | docs/report.docx | absolute.pptx]
#
# The examples of examples/corvessa are copied to a scratch folder
# (KQ_SCRATCH, else a new temporary folder), so the shipped files stay as
# they are. absolute.pptx names its model files by absolute paths, which
# only hold on the machine that runs it: it is written into the scratch
# folder at run time. Builds what it needs in KQ_BUILD_DIR (default
# build/native); the build must already be configured or cmake must be
# present.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
EXAMPLE="${1:-talk.pptx}"
BUILD="${KQ_BUILD_DIR:-$ROOT/build/native}"
case "$BUILD" in /*) ;; *) BUILD="$PWD/$BUILD" ;; esac

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" --target corvessa corvessa_examples >/dev/null
CORVESSA="$BUILD/embedder/corvessa"
TOOL="$BUILD/testsupport/corvessa_examples"

SCRATCH="${KQ_SCRATCH:-$(mktemp -d "${TMPDIR:-/tmp}/corvessa-example.XXXXXX")}"
mkdir -p "$SCRATCH"
cp -R "$ROOT/examples/corvessa/." "$SCRATCH/"
"$TOOL" absolute "$SCRATCH"

PACKAGE="$SCRATCH/$EXAMPLE"
if [ ! -f "$PACKAGE" ]; then
    echo "No example $EXAMPLE (talk.pptx, docs/report.docx or absolute.pptx)." >&2
    exit 2
fi

echo "== before"
"$TOOL" show "$PACKAGE"
echo
echo "== corvessa $PACKAGE"
# The report box of this host prints its caption and text; the library's
# diagnostics go to standard error.
set +e
(cd "$SCRATCH" && "$CORVESSA" "$PACKAGE")
rc=$?
set -e
echo "== exit code $rc"
echo
echo "== after"
"$TOOL" show "$PACKAGE"
echo
echo "Scratch folder: $SCRATCH"
