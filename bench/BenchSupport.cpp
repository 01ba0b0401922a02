#include "bench/BenchSupport.hpp"

#include "outside/Plexa.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <malloc.h>
#include <fstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Bench {

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

} // namespace

std::size_t sizeFromEnvironment(const char* variable, std::size_t fallback) {
    const char* text = std::getenv(variable);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' && value > 0 ? static_cast<std::size_t>(value) : fallback;
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

PeakMemory::PeakMemory(bool keepArrays) {
    // Freed memory that the allocator keeps would otherwise hide what the next save needs.
    ::malloc_trim(0);
    if (!keepArrays) Plexa::detail::dropKeptArrays();
    // Writing 5 here starts the kernel's peak-resident count afresh.
    std::ofstream("/proc/self/clear_refs") << "5";
    Start = memoryStatus("VmRSS");
}

double PeakMemory::extraMiB() const {
    const std::size_t peak = memoryStatus("VmHWM");
    return peak > Start ? static_cast<double>(peak - Start) / (1 << 20) : 0.0;
}

double processSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void report(benchmark::State& state, double ours, double baseline, std::optional<double> goal,
            const char* unit) {
    state.counters["ours"] = ours;
    state.counters["baseline"] = baseline;
    state.counters["ratio"] = baseline > 0 ? ours / baseline : 0;
    if (goal) state.counters["goal"] = *goal;
    state.SetLabel(unit);
}

void report(benchmark::State& state, const Best& ours, const Best& baseline,
            std::optional<double> goal) {
    report(state, ours.Seconds * 1e3, baseline.Seconds * 1e3, goal, "ms");
    state.counters["cpu_ratio"] = ours.ProcessSeconds / baseline.ProcessSeconds;
    state.counters["ours_peak_MiB"] = ours.PeakMiB;
    state.counters["baseline_peak_MiB"] = baseline.PeakMiB;
}

namespace {

// Runs the command with its streams closed and prints its wall time, peak memory (KiB) and
// status on one line.
int measureChild(char** command) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int nowhere = ::open("/dev/null", O_RDWR);
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(nowhere, STDERR_FILENO);
        ::execv(command[0], command);
        ::_exit(127);
    }
    int status = -1;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return 1;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f %ld %d\n", took.count(), usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : 128);
    return 0;
}

std::string quotedWord(const std::string& word) {
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

ChildRun runMeasured(const std::vector<std::string>& command) {
    std::string line = quotedWord(std::filesystem::read_symlink("/proc/self/exe")) + " --peak-of";
    for (const std::string& word : command)
        line += " " + quotedWord(word);
    ChildRun result;
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) return result;
    long kibibytes = 0;
    int status = -1;
    if (std::fscanf(pipe, "%lf %ld %d", &result.Seconds, &kibibytes, &status) == 3)
        result.Ok = status == 0;
    ::pclose(pipe);
    result.PeakMiB = static_cast<double>(kibibytes) / 1024;
    return result;
}

int run(int argc, char** argv, const std::string& about) {
    if (argc > 2 && std::string(argv[1]) == "--peak-of") return measureChild(argv + 2);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("%s\n", about.c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

void addHeight(Plexa::Grid& grid) {
    const auto& positions =
        dynamic_cast<const Plexa::MemArray<double>&>(*grid.findField(Plexa::PositionsField)->Data);
    double lowest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < positions.size(); ++i)
        lowest = std::min(lowest, positions(i, 2));
    auto height = Plexa::makeArray<double>(positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i)
        (*height)(i) = positions(i, 2) - lowest;
    grid.addField(Plexa::HeightField, height);
}

Plexa::BundlePtr loadFile(const std::string& file, benchmark::State& state) {
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr());
    if (!success) state.SkipWithError(bundle->lastError().c_str());
    return bundle;
}

void reportLoadPeakMemory(benchmark::State& state, const std::string& file, double goal) {
    double peakMiB = 0, arrayMiB = 0;
    for (auto _ : state) {
        PeakMemory meter;
        Plexa::BundlePtr bundle = loadFile(file, state);
        peakMiB = meter.extraMiB();
        std::size_t arrayBytes = 0;
        for (const auto& [time, slice] : bundle->slices())
            for (const auto& [name, grid] : slice->grids())
                for (const auto& [field, data] : grid->fields())
                    arrayBytes += data.Data->byteSize();
        arrayMiB = static_cast<double>(arrayBytes) / (1 << 20);
    }
    report(state, peakMiB, arrayMiB, goal, "MiB");
}

} // namespace Bench
