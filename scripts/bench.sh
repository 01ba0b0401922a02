#!/usr/bin/env bash
# Builds the benchmarks in Release and runs every one at its small default size, then prints one
# table: ours, baseline, ratio and goal per row. A benchmark joins the table by reporting the
# counters "ours", "baseline", "ratio" and "goal" and its unit as the label (bench/BenchSupport.hpp);
# a row without a goal tells what the machine itself allows; rows without a ratio are listed with
# their time alone. Sizes: CONVLIB_BENCH_POINTS, _FILES, _ENTRIES, _STEPS.
# Usage: scripts/bench.sh [build folder]   (exit status 1 when a row misses its goal)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bench -- -j2 >/dev/null

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for program in "$build"/bench/*_bench; do
    [ -x "$program" ] || continue
    name=$(basename "$program")
    echo "running $name" >&2
    "$program" --benchmark_out="$results/$name.json" --benchmark_out_format=json \
        >"$results/$name.log" 2>&1 || { cat "$results/$name.log" >&2; exit 2; }
done

python3 - "$results" <<'EOF'
import glob, json, os, sys

def rows(path):
    program = os.path.basename(path)[:-len(".json")]
    for run in json.load(open(path))["benchmarks"]:
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "min":
            continue
        name = run["name"].split("/")[0]
        if run.get("aggregate_name") == "min":
            name += " (fastest)"
        yield program, name, run

print(f"{'benchmark':<52} {'ours':>12} {'baseline':>12} {'unit':>4} {'ratio':>7} {'goal':>7}  result")
failed = 0
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
    for program, name, run in rows(path):
        label = f"{program}: {name}"
        if run.get("error_occurred"):
            failed += 1
            print(f"{label:<52} error: {run.get('error_message', '')}")
        elif "ratio" in run and "goal" in run:
            ok = run["ratio"] <= run["goal"]
            failed += not ok
            print(f"{label:<52} {run['ours']:>12.4g} {run['baseline']:>12.4g} {run.get('label', ''):>4}"
                  f" {run['ratio']:>7.3f} {'<=' + format(run['goal'], '.2f'):>7}  {'pass' if ok else 'FAIL'}")
        elif "ratio" in run:
            print(f"{label:<52} {run['ours']:>12.4g} {run['baseline']:>12.4g} {run.get('label', ''):>4}"
                  f" {run['ratio']:>7.3f} {'-':>7}  the machine's own")
        else:
            print(f"{label:<52} {run['real_time']:>12.4g} {'-':>12} {run['time_unit']:>4}"
                  f" {'-':>7} {'-':>7}  no baseline")
sys.exit(1 if failed else 0)
EOF
