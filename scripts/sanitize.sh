#!/usr/bin/env bash
# Runs the tests under sanitizers: every test with address and undefined-behaviour checks, and
# the pointer, counter and worker pool tests with the thread sanitizer.
# Usage: scripts/sanitize.sh [asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
which=${1:-all}

# Debug keeps the instrumented build short; benchmarks and the package test are not checked here.
configure() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCONVLIB_BUILD_BENCHMARKS=OFF \
    -DCONVLIB_SANITIZE="$2" "${@:3}" >/dev/null
}

if [ "$which" = all ] || [ "$which" = asan ]; then
  echo "== address and undefined-behaviour sanitizers: all tests (build-asan)"
  configure build-asan address
  cmake --build build-asan -- -j2
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j2
fi

if [ "$which" = all ] || [ "$which" = tsan ]; then
  # HDF5 is not built for the thread sanitizer, so only the tests that make no HDF5 calls run
  # here: pointers, counters, the worker pool, array memory and text clouds (read in blocks on
  # every core).
  echo "== thread sanitizer: pointer, counter, worker pool, array and text cloud tests (build-tsan)"
  configure build-tsan thread -DCONVLIB_BUILD_CONVERTERS=OFF
  cmake --build build-tsan --target quorix_test concurrency_test plexa_workers_test \
    plexa_array_test plexa_pointcloud_test -- -j2
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j2 \
    -L '^(quorix_test|concurrency_test|plexa_workers_test|plexa_array_test|plexa_pointcloud_test)$'
fi
