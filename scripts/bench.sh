#!/usr/bin/env bash
# Benchmarks (not tests), in a Release build of their own:
#  - Corvessa beside Info-ZIP: each case runs Corvessa on a fresh copy of a
#    presentation and, interleaved with it, `cp package out && zip -q -D -6
#    -r out ppt` adding the same model files, so both see the same machine.
#    Printed per case: the median wall time of each, the median of the
#    per-pair ratios, Corvessa's time per control beyond the first (its
#    increase over the one-control case, divided by the controls added: flat
#    when the cost is linear), and the peak resident
#    memory of each (GNU time's maximum RSS). Cases: ten 10 MB models and
#    one 200 MB model (bytes that do not compress, and text), 1 to 1000
#    controls with a 10 KB model each, and one sparse 2.0 GB model.
#  - Lintomel: the thumbnail host (Extract at 256 x 256, a whole process) on
#    JPEG snapshots of 0.3, 4 and 16 MP beside `djpeg -bmp` on the same JPEGs,
#    interleaved: median times, their ratio, and peak memory against the
#    decoded picture's size; then the same Extract and the decode alone timed
#    in process.
# Inputs are generated at run time under $BUILD/bench-run.
#   scripts/bench.sh                        5 runs a case, 1 for 2.0 GB
#   KQ_BENCH_RUNS=9 scripts/bench.sh
#   KQ_BENCH_CASES="ctl100 ctl1000" scripts/bench.sh
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${KQ_BENCH_BUILD_DIR:-$ROOT/build/bench}"
RUNS="${KQ_BENCH_RUNS:-5}"
SPARSE_RUNS="${KQ_BENCH_SPARSE_RUNS:-1}"
LINTOMEL_RUNS="${KQ_BENCH_LINTOMEL_RUNS:-11}"
CASES="${KQ_BENCH_CASES:-ten-10MB big-random big-text ctl1 ctl10 ctl100 ctl300 ctl1000 sparse-2GB lintomel}"

bash "$ROOT/scripts/install-native-deps.sh"
# GNU time reports the peak memory of the process it runs; zip is the peer.
. "$ROOT/scripts/lib/apt-ensure.sh"
kq_apt_ensure time zip libjpeg-turbo-progs

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BENCH=ON -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target corvessa kqbench_corvessa_inputs kqbench_lintomel \
    Lintomel kqthumbhost kqthumbexamples -j"${KQ_BENCH_JOBS:-$(nproc)}"

RUN="$BUILD/bench-run"
rm -rf "$RUN"
mkdir -p "$RUN"
case "$RUN" in *" "*) echo "bench.sh: the build path must not hold spaces (corvessa takes its command line whole)" >&2; exit 1 ;; esac

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# timed RSSFILE COMMAND...: runs COMMAND under GNU time, which writes its
# peak resident memory (KiB) as the last line of RSSFILE; sets elapsed_ns to
# the wall time and timed_rc to the exit code.
timed() {
    local rss="$1" start
    shift
    timed_rc=0
    start=$(date +%s%N)
    /usr/bin/time -f "%M" -o "$rss" "$@" || timed_rc=$?
    elapsed_ns=$(( $(date +%s%N) - start ))
}

TABLE="$RUN/table.txt"
printf '%-11s %8s %8s %6s %9s %9s %9s %s\n' case corvessa "cp+zip" ratio "ms/ctl" "RSS MiB" "zip MiB" "error reports" >"$TABLE"
ONE_CONTROL_MS=""

# corvessa_case LABEL COUNT BYTES KIND RUNS
corvessa_case() {
    local label="$1" count="$2" bytes="$3" kind="$4" runs="$5" dir i rc
    dir="$RUN/$label"
    "$BUILD/bench/kqbench_corvessa_inputs" "$dir" "$count" "$bytes" "$kind" >/dev/null
    : >"$dir/ms.txt"; : >"$dir/zip-ms.txt"; : >"$dir/ratio.txt"; : >"$dir/kb.txt"; : >"$dir/zip-kb.txt"
    for i in $(seq 1 "$runs"); do
        cp "$dir/presentation.pptx" "$dir/run.pptx"
        sync
        timed "$dir/rss.txt" "$BUILD/embedder/corvessa" "$dir/run.pptx" >"$dir/out.txt" 2>"$dir/err.txt"
        rc=$timed_rc
        # Exit code 1: the package opened; the report must say that all went in.
        if [ "$rc" -ne 1 ] || ! grep -q "^$count of $count KQFx files embedded" "$dir/out.txt"; then
            echo "bench.sh: corvessa failed on $label (exit $rc):" >&2
            head -c 4000 "$dir/out.txt" "$dir/err.txt" >&2
            exit 1
        fi
        local ms=$(( elapsed_ns / 1000000 ))
        echo "$ms" >>"$dir/ms.txt"
        tail -n 1 "$dir/rss.txt" >>"$dir/kb.txt"

        rm -f "$dir/out.zip"
        sync
        timed "$dir/zip-rss.txt" sh -c 'cp "$1/presentation.pptx" "$1/out.zip" && cd "$1/peer" && zip -q -D -6 -r "$1/out.zip" ppt' sh "$dir"
        [ "$timed_rc" -eq 0 ] || { echo "bench.sh: cp + zip failed on $label (exit $timed_rc)" >&2; exit 1; }
        local zms=$(( elapsed_ns / 1000000 ))
        echo "$zms" >>"$dir/zip-ms.txt"
        tail -n 1 "$dir/zip-rss.txt" >>"$dir/zip-kb.txt"
        awk -v a="$ms" -v b="$zms" 'BEGIN { printf "%.3f\n", a / (b > 0 ? b : 1) }' >>"$dir/ratio.txt"
    done
    local ms zms ratio kb zkb perControl reports
    ms=$(median <"$dir/ms.txt")
    zms=$(median <"$dir/zip-ms.txt")
    ratio=$(median <"$dir/ratio.txt")
    kb=$(sort -n "$dir/kb.txt" | tail -n 1)
    zkb=$(sort -n "$dir/zip-kb.txt" | tail -n 1)
    perControl=-
    case "$label" in
    ctl1) ONE_CONTROL_MS="$ms" ;;
    ctl*) [ -n "$ONE_CONTROL_MS" ] && perControl=$(awk -v a="$ms" -v b="$ONE_CONTROL_MS" -v n="$count" 'BEGIN { printf "%.3f", (a - b) / (n - 1) }') ;;
    esac
    reports=$(grep -c '^!!!' "$dir/err.txt" || true)
    printf '%-11s %6s ms %6s ms %6s %9s %9s %9s %s\n' "$label" "$ms" "$zms" "$ratio" "$perControl" \
        "$(( kb / 1024 ))" "$(( zkb / 1024 ))" "$reports" | tee -a "$TABLE"
    echo "    corvessa ms: $(tr '\n' ' ' <"$dir/ms.txt")  cp+zip ms: $(tr '\n' ' ' <"$dir/zip-ms.txt")"
    rm -rf "$dir"
}

# --- Lintomel ---------------------------------------------------------------
lintomel_bench() {
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
    "$BUILD/testsupport/kqthumbexamples" "$LDIR" >/dev/null

    # measure OUT COMMAND...: runs one command; appends its wall time (ms) to
    # OUT.ms and its peak RSS (KiB) to OUT.kb.
    measure() {
        local out="$1"
        shift
        timed "$LDIR/rss.txt" "$@" >"$LDIR/out.txt" 2>&1
        if [ "$timed_rc" -ne 0 ]; then
            echo "bench.sh: failed: $*" >&2
            cat "$LDIR/out.txt" >&2
            exit 1
        fi
        echo "$(( elapsed_ns / 1000 ))" | awk '{ printf "%.1f\n", $1 / 1000 }' >>"$out.ms"
        tail -n 1 "$LDIR/rss.txt" >>"$out.kb"
    }

    : >"$LDIR/fixed.ms"; : >"$LDIR/fixed.kb"
    for i in $(seq 0 "$LINTOMEL_RUNS"); do
        n=0
        while IFS=$'\t' read -r label jpg model w h; do
            n=$((n + 1))
            measure "$LDIR/host$n" "$HOST" -s 256x256 "$LIB" "$model" "$LDIR/thumb$n.bmp"
            "$BUILD/bench/kqbench_lintomel" extract "$model" >>"$LDIR/inproc$n.ms"
            if [ "$jpg" != "-" ]; then
                measure "$LDIR/djpeg$n" djpeg -bmp -outfile /dev/null "$jpg"
            fi
            # The first round warms the caches and is not counted; it also
            # starts each snapshot's files.
            if [ "$i" -eq 0 ]; then
                : >"$LDIR/host$n.ms"; : >"$LDIR/host$n.kb"; : >"$LDIR/djpeg$n.ms"; : >"$LDIR/djpeg$n.kb"
                : >"$LDIR/inproc$n.ms"
            fi
        done <"$LDIR/inputs.txt"
        measure "$LDIR/fixed" "$HOST" -s 16x16 "$LIB" "$LDIR/model.kqf" "$LDIR/fixed.bmp"
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
}

for c in $CASES; do
    case "$c" in
    ten-10MB) corvessa_case "$c" 10 10485760 random "$RUNS" ;;
    big-random) corvessa_case "$c" 1 209715200 random "$RUNS" ;;
    big-text) corvessa_case "$c" 1 209715200 text "$RUNS" ;;
    sparse-2GB) corvessa_case "$c" 1 2000000000 sparse "$SPARSE_RUNS" ;;
    ctl*) corvessa_case "$c" "${c#ctl}" 10240 random "$RUNS" ;;
    lintomel)
        mkdir -p "$RUN/lintomel"
        lintomel_bench
        ;;
    *) echo "bench.sh: no case $c" >&2; exit 2 ;;
    esac
done

echo
echo "Corvessa beside cp + zip -6, medians of $RUNS interleaved runs (2.0 GB: $SPARSE_RUNS); RSS: highest peak"
cat "$TABLE"
