#!/usr/bin/env bash
# Benchmarks (not tests), in a Release build of their own:
#  - Corvessa: one run embeds ten 10 MB model files into a presentation;
#    the median wall time over the runs and the peak resident memory of the
#    whole corvessa process (GNU time's maximum RSS), both over fresh copies
#    of the same package;
#  - Lintomel: Extract of a 2048 x 2048 JPEG snapshot to 256 x 256, median of
#    the whole Extract and of the JPEG decode alone.
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
kq_apt_ensure time

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BENCH=ON -DKQ_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target corvessa kqbench_corvessa_inputs kqbench_lintomel -j"$(nproc)"

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
"$BUILD/bench/kqbench_lintomel" "$RUN/lintomel" "$LINTOMEL_RUNS"
