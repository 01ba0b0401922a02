#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each in turn:
#   scripts/fuzz.sh short            about 60 s per target (CI)
#   scripts/fuzz.sh long [seconds]   600 s per target unless told otherwise
# Findings (crash, leak, timeout and out-of-memory inputs) are kept in the findings folder and make
# the exit status non-zero. Corpus growth goes to a scratch folder in RAM, removed at the end,
# unless CONVLIB_FUZZ_CORPUS names a folder to keep it in.
set -euo pipefail

mode=${1:-short}
case "$mode" in
short) seconds=60 ;;
long) seconds=${2:-600} ;;
*)
    echo "usage: $0 short | long [seconds per target]" >&2
    exit 2
    ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${CONVLIB_FUZZ_BUILD:-$root/build-fuzz}
findings=${CONVLIB_FUZZ_FINDINGS:-$root/fuzz-findings}
targets=(bundle pointcloud names)

scratch=$(mktemp -d /dev/shm/convlib-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCONVLIB_BUILD_FUZZERS=ON -DCONVLIB_BUILD_TESTS=OFF -DCONVLIB_BUILD_BENCHMARKS=OFF \
    -DCONVLIB_BUILD_CONVERTERS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"
mkdir -p "$findings"

status=0
for target in "${targets[@]}"; do
    corpus=${CONVLIB_FUZZ_CORPUS:-$scratch/corpus}/$target
    mkdir -p "$corpus"
    options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$findings/$target-")
    [[ -f "$root/fuzz/$target.dict" ]] && options+=(-dict="$root/fuzz/$target.dict")
    log=$scratch/$target.log
    echo "== fuzz_$target for ${seconds} s"
    if CONVLIB_FUZZ_SCRATCH=$scratch/files-$target \
        LSAN_OPTIONS=suppressions=$root/fuzz/lsan.supp \
        "$build/fuzz/fuzz_$target" "${options[@]}" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
    else
        status=1
        cp "$log" "$findings/$target.log"
        grep -E -A20 '^==[0-9]+==|invariant broken' "$log" | head -40
        echo "fuzz_$target found a problem: see $findings/ (log in $target.log)"
    fi
done
if [[ $status -eq 0 ]]; then echo "fuzzing: no findings"; fi
exit $status
