// Our code against a baseline in the same run. Every comparison reports the counters "ours",
// "baseline", "ratio" (ours / baseline, lower is better) and "goal" (the largest ratio allowed),
// and its unit as the label; scripts/bench.sh builds its table from these.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <unistd.h>

namespace Comparison {

inline void report(benchmark::State& state, double ours, double baseline, double goal,
                   const char* unit) {
    state.counters["ours"] = ours;
    state.counters["baseline"] = baseline;
    state.counters["ratio"] = baseline > 0 ? ours / baseline : 0;
    state.counters["goal"] = goal;
    state.SetLabel(unit);
}

template <class Work> double secondsFor(Work& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Both run in every iteration, taking turns at going first, so that both meet the same load on
// the machine and the same warm caches; the fastest of each counts, since other work on the
// machine only ever adds time. Needs UseManualTime().
template <class Ours, class Baseline>
void compareTimes(benchmark::State& state, double goal, Ours ours, Baseline baseline) {
    double bestOurs = std::numeric_limits<double>::infinity();
    double bestBaseline = bestOurs;
    bool baselineFirst = true;
    for (auto _ : state) {
        if (baselineFirst) bestBaseline = std::min(bestBaseline, secondsFor(baseline));
        const double seconds = secondsFor(ours);
        if (!baselineFirst) bestBaseline = std::min(bestBaseline, secondsFor(baseline));
        baselineFirst = !baselineFirst;
        bestOurs = std::min(bestOurs, seconds);
        state.SetIterationTime(seconds);
    }
    report(state, bestOurs * 1e3, bestBaseline * 1e3, goal, "ms");
}

// A size from the environment, for runs larger than the default that suits a two-core machine.
inline std::size_t sizeFromEnvironment(const char* variable, std::size_t fallback) {
    const char* text = std::getenv(variable);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' && value > 0 ? static_cast<std::size_t>(value) : fallback;
}

// A fresh folder in memory (PLEXA_BENCH_DIR chooses another place), removed at the end.
class ScratchFolder {
public:
    ScratchFolder() {
        const char* chosen = std::getenv("PLEXA_BENCH_DIR");
        std::error_code ignored;
        std::string base = chosen && *chosen                                    ? chosen
                           : std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm"
                                                                                : "/tmp";
        std::string pattern = base + "/convlib-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        Path = pattern;
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    std::string file(const std::string& name) const { return Path + "/" + name; }
    const std::string& path() const { return Path; }

private:
    std::string Path;
};

} // namespace Comparison
