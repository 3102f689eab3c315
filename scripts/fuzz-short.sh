#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang (ASan + UBSan) and runs
# each one for a short while from seeds that the project generates. Exits
# non-zero when a target finds a crash, a leak, a timeout or an out-of-memory
# input; the reproducers are left under $BUILD/fuzz-run/artifacts.
#   scripts/fuzz-short.sh                       20 s per target, all at once
#   KQ_FUZZ_SECONDS=300 scripts/fuzz-short.sh   longer
#   KQ_FUZZ_TARGETS="fuzz_dib fuzz_kqf" scripts/fuzz-short.sh
#   KQ_FUZZ_RSS_MB=1536 scripts/fuzz-short.sh   memory limit per target
#   KQ_FUZZ_MALLOC_MB=512 KQ_FUZZ_TIMEOUT=5     largest single allocation, seconds per input
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${KQ_FUZZ_BUILD_DIR:-$ROOT/build/fuzz}"
SECONDS_EACH="${KQ_FUZZ_SECONDS:-20}"
# Limits that make an input announcing a huge picture a finding: the largest
# picture a snapshot may have (64 MP) takes 192 MiB of pixels, and as
# progressive data 384 MiB of coefficients more, decoded in about a second.
# A picture past that bound gets an allocation of more than MALLOC_MB and,
# with the resampler's work, more than RSS_MB or TIMEOUT seconds.
RSS_MB="${KQ_FUZZ_RSS_MB:-1536}"
MALLOC_MB="${KQ_FUZZ_MALLOC_MB:-512}"
TIMEOUT="${KQ_FUZZ_TIMEOUT:-5}"
TARGETS=(${KQ_FUZZ_TARGETS:-fuzz_dib fuzz_jpeg_memory fuzz_zip_xml fuzz_embedder fuzz_kqfx fuzz_kqf fuzz_extract fuzz_rgb_load})

# The native libraries, then clang with the libFuzzer and sanitizer runtimes
# (libclang-rt-14-dev is only recommended, by libclang-common-14-dev, on Debian 12).
bash "$ROOT/scripts/install-native-deps.sh"
. "$ROOT/scripts/lib/apt-ensure.sh"
kq_apt_ensure clang clang-14 libclang-rt-14-dev

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKQ_FUZZ=ON >/dev/null
cmake --build "$BUILD" --target kqfuzz_all -j"$(nproc)"

RUN="$BUILD/fuzz-run"
rm -rf "$RUN/seeds" "$RUN/artifacts" "$RUN/logs"
mkdir -p "$RUN/seeds" "$RUN/corpus" "$RUN/artifacts" "$RUN/logs" "$RUN/work"
"$BUILD/fuzz/kqfuzz_seeds" "$RUN/seeds"

# All targets at once; each in its own working folder, where the library's
# diagnostic files land.
pids=()
for t in "${TARGETS[@]}"; do
    mkdir -p "$RUN/corpus/$t" "$RUN/work/$t"
    # The JPEG targets get the markers as a dictionary and room for data of
    # many scans.
    extra=()
    # The XML target gets room for parts nested past the depth bound and
    # elements with more attributes than the bound (a few bytes each).
    case "$t" in
    fuzz_jpeg_memory | fuzz_extract) extra=(-dict="$ROOT/fuzz/jpeg.dict" -max_len=65536) ;;
    fuzz_zip_xml) extra=(-dict="$ROOT/fuzz/xml.dict" -max_len=65536) ;;
    esac
    (
        cd "$RUN/work/$t"
        exec "$BUILD/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout="$TIMEOUT" \
            -rss_limit_mb="$RSS_MB" -malloc_limit_mb="$MALLOC_MB" -print_final_stats=1 "${extra[@]}" \
            -artifact_prefix="$RUN/artifacts/$t-" "$RUN/corpus/$t" "$RUN/seeds/$t"
    ) >"$RUN/logs/$t.log" 2>&1 &
    pids+=($!)
done

failed=0
for i in "${!TARGETS[@]}"; do
    t="${TARGETS[$i]}"
    rc=0
    wait "${pids[$i]}" || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$RUN/logs/$t.log")
    cov=$(grep -E "^#[0-9]+.*cov: " "$RUN/logs/$t.log" | tail -n 1 | sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p')
    if [ "$rc" -eq 0 ]; then
        echo "== $t: ${runs:-?} executions in ${SECONDS_EACH} s, coverage ${cov:-?}, nothing found"
    else
        failed=1
        echo "== $t: FAILED (exit $rc) -- log $RUN/logs/$t.log"
        grep -E "^==[0-9]+==|SUMMARY|Test unit written|^ +#[0-9]+ " "$RUN/logs/$t.log" | head -n 40 || true
    fi
done
if [ "$failed" -ne 0 ]; then
    echo "== fuzzing found problems; reproducers in $RUN/artifacts:"
    ls -1 "$RUN/artifacts"
    exit 1
fi
