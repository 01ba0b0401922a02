// What the benchmarks share: a scratch folder, the durable file replacement a save
// does (for the baselines), peak memory, and the comparison of our code with its baseline in the
// same run. A comparison reports the counters "ours" and "baseline" (ms), "ratio" (ours /
// baseline, lower is better) and "goal" (the largest ratio allowed), with "ms" as the label;
// also "cpu_ratio", the same for processor time, and each side's peak memory.
#pragma once

#include "outside/Plexa.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace Bench {

// A size from the environment, for runs larger than the default that suits a two-core machine.
std::size_t sizeFromEnvironment(const char* variable, std::size_t fallback);

// A fresh folder under PLEXA_BENCH_DIR, else /dev/shm (so that the disk's writeback does not
// drown what the code costs), else /tmp; removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();

    const std::string& path() const noexcept { return Path; }
    std::string file(const std::string& name) const { return Path + "/" + name; }

private:
    std::string Path;
};

// The durable steps of a bundle save, for the baselines: `write` makes a new file beside the
// target, which is synced and renamed over it, and the folder is synced.
void syncAndRename(const std::string& temporary, const std::string& target);
template <class Write> void replaceDurably(const std::string& target, Write write) {
    const std::string temporary = target + ".tmp";
    write(temporary);
    syncAndRename(temporary, target);
}

std::size_t fileBytes(const std::string& name);

// A "Vm..." line of the process's own status in bytes: "VmRSS" now, "VmHWM" at its peak (unlike
// ru_maxrss, which a child inherits from its parent across fork and exec).
std::size_t memoryStatus(const std::string& key);

// Peak resident memory above what the process holds when the meter starts. Memory that the heap
// and, unless `keepArrays`, the array blocks keep from earlier work is given back first, so that
// it hides nothing the measured work needs.
class PeakMemory {
public:
    explicit PeakMemory(bool keepArrays = false);
    double extraMiB() const;

private:
    std::size_t Start;
};

// The file loaded into a new bundle; the state skips with the bundle's error when it fails.
Plexa::BundlePtr loadFile(const std::string& file, benchmark::State& state);
// Adds the field Height to a cloud as qz-pointcloud does: each point's z above the lowest, in
// double.
void addHeight(Plexa::Grid& grid);

// Peak memory of loading the file against the bytes of the arrays it gives, at most `goal`.
void reportLoadPeakMemory(benchmark::State& state, const std::string& file, double goal);

// Seconds of processor time the process has used, in user and kernel mode.
double processSeconds();

// The fastest time, the least processor time and the smallest peak of extra memory seen for one
// side of a comparison. Processor time suffers less from other work on a shared machine, and on
// a file system in memory it includes the writing.
struct Best {
    double Seconds = std::numeric_limits<double>::infinity();
    double ProcessSeconds = std::numeric_limits<double>::infinity();
    double PeakMiB = std::numeric_limits<double>::infinity();
    // Whether the array blocks one turn released serve the next, as for a batch's next file; the
    // peak then leaves out the memory they lend.
    bool KeepArrays = false;

    template <class Work> void measure(Work& work) {
        PeakMemory memory(KeepArrays);
        const double processStart = processSeconds();
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        Seconds = std::min(Seconds, took.count());
        ProcessSeconds = std::min(ProcessSeconds, processSeconds() - processStart);
        PeakMiB = std::min(PeakMiB, memory.extraMiB());
    }
};

// The counters scripts/bench.sh builds its table from; unit is the label. A row without a goal
// tells what the machine itself allows, beside the rows that hold goals.
void report(benchmark::State& state, double ours, double baseline, std::optional<double> goal,
            const char* unit);
void report(benchmark::State& state, const Best& ours, const Best& baseline,
            std::optional<double> goal);

// Both run in every iteration, taking turns at going first, so that both meet the same load on
// the machine and the same warm caches; the fastest of each counts, since other work on the
// machine only ever adds time. A turn reuses the array blocks the turn before released, as the
// files of a batch do.
template <class Ours, class Baseline>
void compare(benchmark::State& state, std::optional<double> goal, Ours ours, Baseline baseline) {
    Best mine;
    Best theirs;
    mine.KeepArrays = theirs.KeepArrays = true;
    bool baselineFirst = true;
    for (auto _ : state) {
        if (baselineFirst) theirs.measure(baseline);
        mine.measure(ours);
        if (!baselineFirst) theirs.measure(baseline);
        baselineFirst = !baselineFirst;
    }
    report(state, mine, theirs, goal);
}

// A program run to its end as the child of a fresh process, so that its peak resident memory
// (its workers' included) is its own and not the benchmark's, which fork and exec pass on.
struct ChildRun {
    bool Ok = false; // ended with status 0
    double Seconds = 0;
    double PeakMiB = 0;
};
ChildRun runMeasured(const std::vector<std::string>& command);

// Prints what the run is about, then runs the benchmarks; "--peak-of COMMAND..." runs the
// command for runMeasured instead.
int run(int argc, char** argv, const std::string& about);

} // namespace Bench

// One whole save or load per side and iteration, fifteen turns each: the fastest of five still
// swung by 7% between runs on a two-core machine.
#define IO_BENCHMARK(name) BENCHMARK(name)->Unit(benchmark::kMillisecond)->Iterations(15)
