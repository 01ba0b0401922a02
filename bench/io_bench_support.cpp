#include "bench/io_bench_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace IoBench {

namespace {

std::string scratchBase() {
    if (const char* chosen = std::getenv("PLEXA_BENCH_DIR"); chosen && *chosen) return chosen;
    std::error_code ignored;
    return std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : "/tmp";
}

void syncPath(const std::string& name, int flags) {
    int descriptor = ::open(name.c_str(), flags);
    if (descriptor < 0 || ::fsync(descriptor) != 0) throw std::runtime_error("cannot sync " + name);
    ::close(descriptor);
}

// A "Vm..." line of /proc/self/status, in bytes.
std::size_t memoryStatus(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word)
        if (word == key + ":") {
            std::size_t kibibytes = 0;
            status >> kibibytes;
            return kibibytes * 1024;
        }
    return 0;
}

} // namespace

std::size_t benchBytes(std::size_t defaultMiB) {
    const char* chosen = std::getenv("CONVLIB_BENCH_MIB");
    const std::size_t mebibytes = chosen && *chosen ? std::strtoull(chosen, nullptr, 10) : 0;
    return (mebibytes > 0 ? mebibytes : defaultMiB) << 20;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = scratchBase() + "/plexa-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder in " + pattern);
    Path = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(Path, ignored);
}

void syncAndRename(const std::string& temporary, const std::string& target) {
    syncPath(temporary, O_RDONLY);
    if (std::rename(temporary.c_str(), target.c_str()) != 0)
        throw std::runtime_error("cannot rename " + temporary);
    syncPath(std::filesystem::path(target).parent_path().string(), O_RDONLY | O_DIRECTORY);
}

std::size_t fileBytes(const std::string& name) {
    return static_cast<std::size_t>(std::filesystem::file_size(name));
}

PeakMemory::PeakMemory() {
    // Freed memory that the allocator keeps would otherwise hide what the next save needs.
    ::malloc_trim(0);
    // Writing 5 here starts the kernel's peak-resident count afresh.
    std::ofstream("/proc/self/clear_refs") << "5";
    Start = memoryStatus("VmRSS");
}

double PeakMemory::extraMiB() const {
    const std::size_t peak = memoryStatus("VmHWM");
    return peak > Start ? static_cast<double>(peak - Start) / (1 << 20) : 0.0;
}

RatioReporter::RatioReporter()
    : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
        if (run.aggregate_name == "min")
            Fastest[run.run_name.function_name] = {run.GetAdjustedRealTime() / 1e3,
                                                   run.GetAdjustedCPUTime() / 1e3};
}

void RatioReporter::printRatio(const std::string& ours, const std::string& baseline,
                               const char* note) const {
    auto mine = Fastest.find(ours);
    auto theirs = Fastest.find(baseline);
    if (mine == Fastest.end() || theirs == Fastest.end()) return;
    const Seconds& a = mine->second;
    const Seconds& b = theirs->second;
    std::printf("%-24s %9.1f ms vs %-24s %9.1f ms: %.3f times the time, %.3f the CPU time (%s)\n",
                ours.c_str(), a.Real * 1e3, baseline.c_str(), b.Real * 1e3, a.Real / b.Real,
                a.Cpu / b.Cpu, note);
}

double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

std::vector<char*> withDefaultFlags(int argc, char** argv) {
    // Flags given later on the command line win over these.
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char repetitions[] = "--benchmark_repetitions=5";
    std::vector<char*> arguments(argv, argv + argc);
    arguments.insert(arguments.begin() + 1, {interleave, repetitions});
    return arguments;
}

} // namespace IoBench
