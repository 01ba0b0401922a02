#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each in turn:
#   scripts/fuzz.sh short            about 60 s per target (CI)
#   scripts/fuzz.sh long [seconds]   600 s per target unless told otherwise
# Findings (crash, leak, timeout and out-of-memory inputs) are kept in the findings folder
# (CONVLIB_FUZZ_FINDINGS, default fuzz-findings/) and make the exit status non-zero; faults inside
# HDF5 or libnetcdf themselves are kept apart in their hdf5/ and netcdf/ folders and counted in a
# line of their own. Each of them is then given to the release programs (CONVLIB_FUZZ_PROGRAMS,
# default build/converters/, when built): a program that does not survive it, naming the file
# as an error with exit status 1, is a finding of ours.
# Corpus growth goes to a scratch folder in RAM, removed at the end, unless CONVLIB_FUZZ_CORPUS
# names a folder to keep it in.
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
programs=${CONVLIB_FUZZ_PROGRAMS:-$root/build/converters}
# The programs must be those of the sources at hand: a stale build crashes where ours does not.
if [[ -f $programs/../build.ninja ]]; then
    cmake --build "$programs/.." --target qz-inspect qz-netcdf >/dev/null
fi
# CONVLIB_FUZZ_TARGETS picks some of the targets, e.g. "bundle names".
read -r -a targets <<<"${CONVLIB_FUZZ_TARGETS:-bundle bundle_model pointcloud names netcdf}"

scratch=$(mktemp -d /dev/shm/convlib-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCONVLIB_BUILD_FUZZERS=ON -DCONVLIB_BUILD_TESTS=OFF -DCONVLIB_BUILD_BENCHMARKS=OFF \
    -DCONVLIB_BUILD_CONVERTERS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"
mkdir -p "$findings"

# The first frame of real code in a report section: sanitizer, fuzzer, libc and allocator
# frames skipped.
first_frame() {
    grep -E '^ +#[0-9]+ ' |
        grep -vE 'libc\.so|nptl/|__sanitizer|__interceptor|__asan|__ubsan|fuzzer::|compiler-rt| in (malloc|calloc|realloc|operator new|operator delete|free|strcmp|strlen|memcmp|memcpy|memmove|memset|qsort|qsort_r) ' |
        head -1
}

# The outside library (hdf5 or netcdf) whose own fault the report shows: it happened inside that
# library, on memory it allocated (neither is instrumented, and both have known faults on broken
# files); a write past a buffer of ours, on our heap or stack, is ours to prevent. Prints nothing
# for a fault of ours.
library_own_fault() {
    local frame allocation library
    frame=$(first_frame <"$1")
    allocation=$(sed -n '/allocated by thread\|freed by thread\|is located in stack of thread/,$p' "$1" |
        first_frame)
    for library in hdf5 netcdf; do
        if [[ $frame == *lib$library* && (-z $allocation || $allocation == *lib$library*) ]]; then
            echo "$library"
            return
        fi
    done
}

declare -A library_faults=([hdf5]=0 [netcdf]=0)

# The release program that reads what the target reads, with the file in the right name.
program_run() {
    local target=$1 artifact=$2 copy
    case $target in
    bundle | bundle_model) copy=$scratch/survive/input.qz ;;
    netcdf) copy=$scratch/survive/input.nc ;;
    *) return 0 ;;
    esac
    mkdir -p "$scratch/survive"
    cp "$artifact" "$copy"
    if [[ $target == netcdf ]]; then
        "$programs/qz-netcdf" "$copy" --ignore-success -q
    else
        "$programs/qz-inspect" "$copy" -q >/dev/null
    fi
}

# A library's fault must end only the input: the program names it and exits with status 1.
survives() {
    local target=$1 artifact=$2 status=0
    [[ -x $programs/qz-inspect ]] || return 0
    program_run "$target" "$artifact" 2>/dev/null || status=$?
    [[ $status -le 1 ]]
}

# Replays each new finding of the target: the outside libraries' own go to their folders, the
# rest fail the run.
triage() {
    local target=$1 found=0 artifact report library
    for artifact in "$findings/$target"-*; do
        [[ -f $artifact && $artifact != *.log ]] || continue
        report=$artifact.log
        CONVLIB_FUZZ_SCRATCH=$scratch/replay LSAN_OPTIONS=suppressions=$root/fuzz/lsan.supp \
            "$build/fuzz/fuzz_$target" -runs=1 -timeout=5 -rss_limit_mb=2048 "$artifact" >"$report" 2>&1 || true
        if ! grep -qE '^==[0-9]+==|runtime error:|invariant broken' "$report"; then
            # a timeout of a busy machine that the replay does not repeat
            mkdir -p "$findings/unrepeated"
            mv "$artifact" "$report" "$findings/unrepeated/"
            echo "not repeated on replay, kept in $findings/unrepeated/$(basename "$artifact")"
        elif library=$(library_own_fault "$report") && [[ -n $library ]]; then
            mkdir -p "$findings/$library"
            mv "$artifact" "$report" "$findings/$library/"
            library_faults[$library]=$((library_faults[$library] + 1))
            echo "$library fault, kept in $findings/$library/$(basename "$artifact")"
            if ! survives "$target" "$findings/$library/$(basename "$artifact")"; then
                found=1
                echo "FINDING: a program does not survive $findings/$library/$(basename "$artifact")"
            fi
        else
            found=1
            grep -a -E -A12 '^==[0-9]+==|runtime error:|invariant broken' "$report" | cat -v | head -30
            echo "FINDING: $artifact (report in $report)"
        fi
    done
    return $found
}

status=0
for target in "${targets[@]}"; do
    corpus=${CONVLIB_FUZZ_CORPUS:-$scratch/corpus}/$target
    mkdir -p "$corpus"
    # fork mode goes on after a finding, so the outside libraries' own faults do not end the run
    options=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1
        -max_total_time="$seconds" -timeout=2 -rss_limit_mb=2048 -artifact_prefix="$findings/$target-")
    [[ -f "$root/fuzz/$target.dict" ]] && options+=(-dict="$root/fuzz/$target.dict")
    log=$scratch/$target.log
    echo "== fuzz_$target for ${seconds} s"
    CONVLIB_FUZZ_SCRATCH=$scratch/files-$target LSAN_OPTIONS=suppressions=$root/fuzz/lsan.supp \
        "$build/fuzz/fuzz_$target" "${options[@]}" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || true
    progress=$(grep -E '^#[0-9]+: cov' "$log" | tail -1)
    echo "$progress"
    if [[ ! $progress =~ ^#[1-9] ]]; then
        status=1
        tail -20 "$log"
        echo "FINDING: fuzz_$target ran no input (log above)"
    fi
    triage "$target" || status=1
done
echo "crashes inside the libraries: ${library_faults[hdf5]} in HDF5, ${library_faults[netcdf]} in libnetcdf (each contained: the programs name such an input as damaged)"
if [[ $status -eq 0 ]]; then echo "fuzzing: no findings of ours"; fi
exit $status
