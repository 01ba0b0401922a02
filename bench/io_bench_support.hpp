// What the bundle file benchmarks share: a scratch folder, durable plain-HDF5 replacement as
// baseline, peak memory and a console report that ends in the ratios against the baselines.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace IoBench {

// Bytes of array data for the large benchmarks: CONVLIB_BENCH_MIB mebibytes, else the default.
std::size_t benchBytes(std::size_t defaultMiB);

// A fresh folder under PLEXA_BENCH_DIR, else /dev/shm (so that the disk's writeback does not
// drown what the code costs), else /tmp; removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder();

    const std::string& path() const noexcept { return Path; }
    std::string file(const char* name) const { return Path + "/" + name; }

private:
    std::string Path;
};

// The durable steps of a bundle save, for the baselines: `write` makes a new file beside the
// target, which is synced, renamed over it, and the folder synced.
template <class Write> void replaceDurably(const std::string& target, Write write);
void syncAndRename(const std::string& temporary, const std::string& target);

std::size_t fileBytes(const std::string& name);

// Peak resident memory above what the process holds when the meter starts.
class PeakMemory {
public:
    PeakMemory();
    double extraMiB() const;

private:
    std::size_t Start;
};

// Console output as usual, keeping each benchmark's fastest repetition for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, since the console flags do not reach a reporter of one's own.
    RatioReporter();
    void ReportRuns(const std::vector<Run>& runs) override;
    // "<ours> vs <baseline>: <ratio> times the time, <ratio> the CPU time (<note>)"; nothing when
    // either did not run.
    void printRatio(const std::string& ours, const std::string& baseline, const char* note) const;

private:
    struct Seconds {
        double Real;
        double Cpu;
    };
    std::map<std::string, Seconds> Fastest;
};

double fastest(const std::vector<double>& times);

// Runs the benchmarks, interleaved at random and repeated five times unless the command line
// says otherwise, then calls `printRatios` with the reporter.
template <class PrintRatios> int runBenchmarks(int argc, char** argv, PrintRatios printRatios);
std::vector<char*> withDefaultFlags(int argc, char** argv);

template <class Write> void replaceDurably(const std::string& target, Write write) {
    const std::string temporary = target + ".tmp";
    write(temporary);
    syncAndRename(temporary, target);
}

template <class PrintRatios> int runBenchmarks(int argc, char** argv, PrintRatios printRatios) {
    std::vector<char*> arguments = withDefaultFlags(argc, argv);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace IoBench

// Each iteration is one whole save or load; other work on the machine only ever adds time, so
// the fastest repetition is the one compared.
#define IO_BENCHMARK(name, prepare)                                                                \
    BENCHMARK(name)                                                                                \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->Iterations(1)                                                                            \
        ->ReportAggregatesOnly(true)                                                               \
        ->ComputeStatistics("min", IoBench::fastest)                                               \
        ->UseRealTime()                                                                            \
        ->Setup([](const benchmark::State&) { prepare(); })
