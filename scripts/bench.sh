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
#  - Lintomel: Extract of a 2048 x 2048 JPEG snapshot to 256 x 256, median of
#    the whole Extract and of the JPEG decode alone.
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
. "$ROOT/scripts/apt-ensure.sh"
kq_apt_ensure time zip

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BENCH=ON -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target corvessa kqbench_corvessa_inputs kqbench_lintomel -j"$(nproc)"

RUN="$BUILD/bench-run"
rm -rf "$RUN"
mkdir -p "$RUN"
case "$RUN" in *" "*) echo "bench.sh: the build path must not hold spaces (corvessa takes its command line whole)" >&2; exit 1 ;; esac

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now() { date +%s%N; }

TABLE="$RUN/table.txt"
printf '%-11s %8s %8s %6s %9s %9s %9s %s\n' case corvessa "cp+zip" ratio "ms/ctl" "RSS MiB" "zip MiB" "error reports" >"$TABLE"
ONE_CONTROL_MS=""

# corvessa_case LABEL COUNT BYTES KIND RUNS
corvessa_case() {
    local label="$1" count="$2" bytes="$3" kind="$4" runs="$5" dir i rc start end
    dir="$RUN/$label"
    "$BUILD/bench/kqbench_corvessa_inputs" "$dir" "$count" "$bytes" "$kind" >/dev/null
    : >"$dir/ms.txt"; : >"$dir/zip-ms.txt"; : >"$dir/ratio.txt"; : >"$dir/kb.txt"; : >"$dir/zip-kb.txt"
    for i in $(seq 1 "$runs"); do
        cp "$dir/presentation.pptx" "$dir/run.pptx"
        sync
        rc=0
        start=$(now)
        /usr/bin/time -f "%M" -o "$dir/rss.txt" "$BUILD/embedder/corvessa" "$dir/run.pptx" >"$dir/out.txt" 2>"$dir/err.txt" || rc=$?
        end=$(now)
        # Exit code 1: the package opened; the report must say that all went in.
        if [ "$rc" -ne 1 ] || ! grep -q "^$count of $count KQFx files embedded" "$dir/out.txt"; then
            echo "bench.sh: corvessa failed on $label (exit $rc):" >&2
            head -c 4000 "$dir/out.txt" "$dir/err.txt" >&2
            exit 1
        fi
        local ms=$(( (end - start) / 1000000 ))
        echo "$ms" >>"$dir/ms.txt"
        tail -n 1 "$dir/rss.txt" >>"$dir/kb.txt"

        rm -f "$dir/out.zip"
        sync
        start=$(now)
        /usr/bin/time -f "%M" -o "$dir/zip-rss.txt" sh -c 'cp "$1/presentation.pptx" "$1/out.zip" && cd "$1/peer" && zip -q -D -6 -r "$1/out.zip" ppt' sh "$dir"
        end=$(now)
        local zms=$(( (end - start) / 1000000 ))
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

for c in $CASES; do
    case "$c" in
    ten-10MB) corvessa_case "$c" 10 10485760 random "$RUNS" ;;
    big-random) corvessa_case "$c" 1 209715200 random "$RUNS" ;;
    big-text) corvessa_case "$c" 1 209715200 text "$RUNS" ;;
    sparse-2GB) corvessa_case "$c" 1 2000000000 sparse "$SPARSE_RUNS" ;;
    ctl*) corvessa_case "$c" "${c#ctl}" 10240 random "$RUNS" ;;
    lintomel)
        mkdir -p "$RUN/lintomel"
        "$BUILD/bench/kqbench_lintomel" "$RUN/lintomel" "$LINTOMEL_RUNS"
        ;;
    *) echo "bench.sh: no case $c" >&2; exit 2 ;;
    esac
done

echo
echo "Corvessa beside cp + zip -6, medians of $RUNS interleaved runs (2.0 GB: $SPARSE_RUNS); RSS: highest peak"
cat "$TABLE"
