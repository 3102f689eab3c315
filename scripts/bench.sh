#!/usr/bin/env bash
# Benchmarks (not tests), in a Release build of their own:
#  - Corvessa: one run embeds ten 10 MB model files into a presentation;
#    the median wall time over the runs and the peak resident memory of the
#    whole corvessa process (GNU time's maximum RSS), both over fresh copies
#    of the same package;
#  - Lintomel: the thumbnail host (Extract at 256 x 256, a whole process) on
#    JPEG snapshots of 0.3, 4 and 16 MP beside `djpeg -bmp` on the same JPEGs,
#    interleaved: median times, their ratio, and peak memory against the
#    decoded picture's size; then the same Extract and the decode alone timed
#    in process.
# Inputs are generated at run time under $BUILD/bench-run.
#   scripts/bench.sh                  7 Corvessa runs, 11 Lintomel runs
#   KQ_BENCH_RUNS=15 scripts/bench.sh
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${KQ_BENCH_BUILD_DIR:-$ROOT/build/bench}"
RUNS="${KQ_BENCH_RUNS:-7}"
LINTOMEL_RUNS="${KQ_BENCH_LINTOMEL_RUNS:-11}"

bash "$ROOT/scripts/install-native-deps.sh"
# GNU time reports the peak memory of the process it runs.
. "$ROOT/scripts/apt-ensure.sh"
kq_apt_ensure time libjpeg-turbo-progs

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BENCH=ON -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target corvessa kqbench_corvessa_inputs kqbench_lintomel \
    Lintomel kqthumbhost kqthumbexamples -j"${KQ_BENCH_JOBS:-$(nproc)}"

RUN="$BUILD/bench-run"
rm -rf "$RUN"
mkdir -p "$RUN/corvessa" "$RUN/lintomel"

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# --- Corvessa ---------------------------------------------------------------
"$BUILD/bench/kqbench_corvessa_inputs" "$RUN/corvessa" >/dev/null
PACKAGE="$RUN/corvessa/presentation.pptx"
WORK="$RUN/corvessa/run.pptx"
case "$WORK" in *" "*) echo "bench.sh: the build path must not hold spaces (corvessa takes its command line whole)" >&2; exit 1 ;; esac
: >"$RUN/corvessa/ms.txt"
: >"$RUN/corvessa/kb.txt"
for i in $(seq 1 "$RUNS"); do
    cp "$PACKAGE" "$WORK"
    sync
    rc=0
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$RUN/corvessa/rss.txt" "$BUILD/embedder/corvessa" "$WORK" >"$RUN/corvessa/out.txt" 2>&1 || rc=$?
    end=$(date +%s%N)
    # Exit code 1: the package opened; the report must say that all ten went in.
    if [ "$rc" -ne 1 ] || ! grep -q "10 of 10 KQFx files embedded" "$RUN/corvessa/out.txt"; then
        echo "bench.sh: corvessa run $i failed (exit $rc):" >&2
        cat "$RUN/corvessa/out.txt" >&2
        exit 1
    fi
    echo $(( (end - start) / 1000000 )) >>"$RUN/corvessa/ms.txt"
    tail -n 1 "$RUN/corvessa/rss.txt" >>"$RUN/corvessa/kb.txt"
done
ms=$(median <"$RUN/corvessa/ms.txt")
kb=$(sort -n "$RUN/corvessa/kb.txt" | tail -n 1)
kbMedian=$(median <"$RUN/corvessa/kb.txt")
bytes=$(stat -c %s "$WORK")
echo "Corvessa: ten 10 MB model files into a presentation, $RUNS runs"
echo "  wall time, median    ${ms} ms   (all: $(tr '\n' ' ' <"$RUN/corvessa/ms.txt"))"
echo "  peak RSS, highest    $(( kb / 1024 )) MB  (median $(( ${kbMedian%.*} / 1024 )) MB)"
echo "  package afterwards   $(( bytes / 1024 / 1024 )) MB"

# --- Lintomel ---------------------------------------------------------------
# Interleaved, for each snapshot: the thumbnail host (a whole process: load
# Lintomel, Extract at 256 x 256, write the BMP), Extract timed inside a
# process that has the module loaded and warm (as the shell has), and
# `djpeg -bmp` decoding the same JPEG to a BMP. Median wall times, their
# ratios to djpeg, and the host's peak resident memory against the size of
# the decoded picture (3 bytes a pixel). "fixed" is the host on a 16 x 16
# snapshot: the process itself.
LDIR="$RUN/lintomel"
HOST="$BUILD/tools/kqthumbhost"
LIB="$BUILD/thumbnail/Lintomel.so"
"$BUILD/bench/kqbench_lintomel" inputs "$LDIR" >"$LDIR/inputs.txt"
"$BUILD/examples/kqthumbexamples" "$LDIR" >/dev/null

# Runs one command; appends its wall time (ms) to $1.ms and its peak RSS
# (KiB) to $1.kb.
timed() {
    local out="$1" start end
    shift
    start=$(date +%s%N)
    if ! /usr/bin/time -f "%M" -o "$LDIR/rss.txt" "$@" >"$LDIR/out.txt" 2>&1; then
        echo "bench.sh: failed: $*" >&2
        cat "$LDIR/out.txt" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 ))" | awk '{ printf "%.1f\n", $1 / 1000 }' >>"$out.ms"
    tail -n 1 "$LDIR/rss.txt" >>"$out.kb"
}

n=0
while IFS=$'\t' read -r label jpg model w h; do
    n=$((n + 1))
    : >"$LDIR/host$n.ms"; : >"$LDIR/host$n.kb"; : >"$LDIR/djpeg$n.ms"; : >"$LDIR/djpeg$n.kb"; : >"$LDIR/inproc$n.ms"
done <"$LDIR/inputs.txt"
: >"$LDIR/fixed.ms"; : >"$LDIR/fixed.kb"
for i in $(seq 0 "$LINTOMEL_RUNS"); do
    n=0
    while IFS=$'\t' read -r label jpg model w h; do
        n=$((n + 1))
        timed "$LDIR/host$n" "$HOST" -s 256x256 "$LIB" "$model" "$LDIR/thumb$n.bmp"
        "$BUILD/bench/kqbench_lintomel" extract "$model" >>"$LDIR/inproc$n.ms"
        if [ "$jpg" != "-" ]; then
            timed "$LDIR/djpeg$n" djpeg -bmp -outfile /dev/null "$jpg"
        fi
        # The first round warms the caches and is not counted.
        if [ "$i" -eq 0 ]; then
            : >"$LDIR/host$n.ms"; : >"$LDIR/host$n.kb"; : >"$LDIR/djpeg$n.ms"; : >"$LDIR/djpeg$n.kb"
            : >"$LDIR/inproc$n.ms"
        fi
    done <"$LDIR/inputs.txt"
    timed "$LDIR/fixed" "$HOST" -s 16x16 "$LIB" "$LDIR/model.kqf" "$LDIR/fixed.bmp"
done
fixedKb=$(median <"$LDIR/fixed.kb")
echo
echo "Lintomel: thumbnail 256 x 256 beside djpeg -bmp, interleaved, medians of $LINTOMEL_RUNS runs"
printf "  %-20s %21s %21s %9s %9s %9s %7s %8s\n" "snapshot" "Extract, host process" "Extract, in process" "djpeg" \
    "peak" "decoded" "peak/" "(peak-"
printf "  %-20s %21s %21s %9s %9s %9s %7s %8s\n" "" "ms  (ratio)" "ms  (ratio)" "ms" "MiB" "MiB" "decoded" "fixed)/d"
n=0
while IFS=$'\t' read -r label jpg model w h; do
    n=$((n + 1))
    hostMs=$(median <"$LDIR/host$n.ms")
    inMs=$(median <"$LDIR/inproc$n.ms")
    peakKb=$(sort -n "$LDIR/host$n.kb" | tail -n 1)
    djpegMs=0
    [ "$jpg" = "-" ] || djpegMs=$(median <"$LDIR/djpeg$n.ms")
    awk -v label="$label" -v host="$hostMs" -v inproc="$inMs" -v djpeg="$djpegMs" -v peak="$peakKb" \
        -v fixed="$fixedKb" -v w="$w" -v h="$h" 'BEGIN {
            decoded = w * h * 3 / 1048576; p = peak / 1024; f = fixed / 1024
            if (djpeg > 0) {
                hr = sprintf("(%.2fx)", host / djpeg); ir = sprintf("(%.2fx)", inproc / djpeg); d = sprintf("%.1f", djpeg)
            } else {
                hr = "(-)"; ir = "(-)"; d = "-"
            }
            printf "  %-20s %12.1f %8s %12.1f %8s %9s %9.1f %9.1f %6.2fx %7.2fx\n", label, host, hr, inproc, ir, d, p,
                decoded, p / decoded, (p - f) / decoded }'
done <"$LDIR/inputs.txt"
echo "  fixed (host on a 16 x 16 snapshot): $(awk -v k="$fixedKb" 'BEGIN { printf "%.1f MiB", k / 1024 }') peak, $(median <"$LDIR/fixed.ms") ms"
echo
"$BUILD/bench/kqbench_lintomel" "$LDIR" "$LINTOMEL_RUNS"
