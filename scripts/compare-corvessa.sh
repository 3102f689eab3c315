#!/usr/bin/env bash
# Runs two Corvessa builds on the same packages and compares what they wrote
# entry for entry (names, order, uncompressed bytes; compressed bytes are
# reported apart): the shipped examples and the benchmark's inputs.
#
#   KQ_BEFORE=/path/to/old/corvessa scripts/compare-corvessa.sh
#   KQ_COMPARE_CASES="ctl100 big-text" KQ_BEFORE=... scripts/compare-corvessa.sh
#
# Cases: examples, ten-10MB, big-random, big-text, ctl1, ctl10, ctl100,
# ctl300, ctl1000, sparse-2GB (not in the default list: an old build may
# need twice its size in memory). The new build is KQ_AFTER, else the
# corvessa of the Release tree that scripts/bench.sh uses.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${KQ_BENCH_BUILD_DIR:-$ROOT/build/bench}"
BEFORE="${KQ_BEFORE:?set KQ_BEFORE to the corvessa to compare with}"
CASES="${KQ_COMPARE_CASES:-examples ten-10MB big-random big-text ctl1 ctl10 ctl100 ctl300 ctl1000}"

if [ -z "${KQ_AFTER:-}" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BENCH=ON -DKQ_BUILD_TESTS=OFF >/dev/null
    cmake --build "$BUILD" --target corvessa corvessa_examples kqbench_corvessa_inputs >/dev/null
fi
AFTER="${KQ_AFTER:-$BUILD/embedder/corvessa}"
INPUTS="$BUILD/bench/kqbench_corvessa_inputs"
EXAMPLES="$BUILD/testsupport/corvessa_examples"
WORK="${KQ_COMPARE_DIR:-$BUILD/compare-run}"
case "$WORK" in *" "*) echo "compare-corvessa.sh: the folder must not hold spaces" >&2; exit 1 ;; esac
rm -rf "$WORK"
mkdir -p "$WORK"

failed=0
# Runs both builds on copies of one package beside it, then compares.
compare() {
    local label="$1" package="$2" dir stem
    dir="$(dirname "$package")"
    stem="$(basename "$package")"
    cp "$package" "$dir/before-$stem"
    cp "$package" "$dir/after-$stem"
    (cd "$dir" && "$BEFORE" "$dir/before-$stem" >"$dir/before-$stem.out" 2>&1) || true
    (cd "$dir" && "$AFTER" "$dir/after-$stem" >"$dir/after-$stem.out" 2>&1) || true
    printf '%-22s ' "$label"
    if ! python3 "$ROOT/scripts/lib/compare-packages.py" "$dir/before-$stem" "$dir/after-$stem"; then
        failed=1
    fi
    # The report box's text must match; error reports are counted.
    if ! cmp -s <(grep -A3 '^Embedding report$' "$dir/before-$stem.out") <(grep -A3 '^Embedding report$' "$dir/after-$stem.out"); then
        echo "  the report boxes differ"
        failed=1
    fi
    echo "  error reports: before $(grep -c '^!!!' "$dir/before-$stem.out" || true), after $(grep -c '^!!!' "$dir/after-$stem.out" || true)"
    rm -f "$dir/before-$stem" "$dir/after-$stem"
}

bench_case() {
    local label="$1" count="$2" bytes="$3" kind="$4"
    "$INPUTS" "$WORK/$label" "$count" "$bytes" "$kind" >/dev/null
    compare "$label" "$WORK/$label/presentation.pptx"
    rm -rf "${WORK:?}/$label"
}

for c in $CASES; do
    case "$c" in
    examples)
        mkdir -p "$WORK/examples"
        cp -R "$ROOT/examples/corvessa/." "$WORK/examples/"
        "$EXAMPLES" absolute "$WORK/examples" >/dev/null
        compare "talk.pptx" "$WORK/examples/talk.pptx"
        compare "docs/report.docx" "$WORK/examples/docs/report.docx"
        compare "absolute.pptx" "$WORK/examples/absolute.pptx"
        ;;
    ten-10MB) bench_case "$c" 10 10485760 random ;;
    big-random) bench_case "$c" 1 209715200 random ;;
    big-text) bench_case "$c" 1 209715200 text ;;
    sparse-2GB) bench_case "$c" 1 2000000000 sparse ;;
    ctl*) bench_case "$c" "${c#ctl}" 10240 random ;;
    *) echo "compare-corvessa.sh: no case $c" >&2; exit 2 ;;
    esac
done
exit "$failed"
