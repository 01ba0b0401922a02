// Saving and loading a 256 MiB bundle through Plexa, against the same arrays written and read
// with plain HDF5 calls; prints how much slower Plexa is. Files go to PLEXA_BENCH_DIR, else to
// /dev/shm so that the disk's writeback does not drown what the code costs.
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <benchmark/benchmark.h>
#include <hdf5.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t FieldCount = 8;
constexpr std::size_t ValuesPerField = 4u << 20; // 32 MiB of doubles

std::string benchFolderBase() {
    if (const char* chosen = std::getenv("PLEXA_BENCH_DIR"); chosen && *chosen) return chosen;
    std::error_code ignored;
    return std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : "/tmp";
}

void syncPath(const std::string& name, int flags) {
    int descriptor = ::open(name.c_str(), flags);
    ::fsync(descriptor);
    ::close(descriptor);
}

// Contiguous datasets in the newest file format, as a bundle save makes them.
void plainWrite(const Plexa::Grid& grid, const std::string& name) {
    hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
    hid_t group = H5Gcreate2(file, "Grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    for (const auto& [fieldName, field] : grid.fields()) {
        hsize_t extent = field.Data->size();
        hid_t space = H5Screate_simple(1, &extent, nullptr);
        hid_t dataset = H5Dcreate2(group, fieldName.c_str(), H5T_NATIVE_DOUBLE, space, H5P_DEFAULT,
                                   H5P_DEFAULT, H5P_DEFAULT);
        H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, field.Data->rawData());
        H5Dclose(dataset);
        H5Sclose(space);
    }
    H5Gclose(group);
    H5Fclose(file);
    H5Pclose(access);
}

Plexa::StoragePtr uncompressed() {
    return Plexa::StoragePtr(new ConvLib::MyStorage(-1, false, false, false));
}

// Holds the bundle, and files of both kinds from the start, so reads need no write before them.
struct Workspace {
    std::string Folder;
    Plexa::BundlePtr Bundle{new Plexa::Bundle};

    Workspace() {
        std::string pattern = benchFolderBase() + "/plexa-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        Folder = pattern;
        Plexa::GridPtr grid = Bundle->addSlice(0.0)->addGrid("Grid");
        for (std::size_t f = 0; f < FieldCount; ++f) {
            Plexa::MemArrayPtr<double> values = Plexa::makeArray<double>(ValuesPerField);
            for (std::size_t i = 0; i < ValuesPerField; ++i)
                (*values)(i) = static_cast<double>(i) * 0.001 + static_cast<double>(f);
            grid->addField("Field" + std::to_string(f), values);
        }
        plainWrite(*grid, file("plain.h5"));
        if (!Plexa::writeBundleFile(*Bundle, file("plexa.qz"), uncompressed())) std::abort();
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    std::string file(const char* name) const { return Folder + "/" + name; }
    const Plexa::Grid& grid() const { return *Bundle->findSlice(0.0)->findGrid("Grid"); }
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

// Overwrites the file in place: fastest, but a crash can leave a broken file.
void BM_PlainHdf5Write(benchmark::State& state) {
    for (auto _ : state)
        plainWrite(workspace().grid(), workspace().file("plain.h5"));
}

// The same durable steps as a bundle save: a new file beside the target, synced, renamed over
// it, the folder synced.
void BM_PlainHdf5WriteReplacing(benchmark::State& state) {
    const std::string target = workspace().file("plain.h5");
    for (auto _ : state) {
        const std::string temporary = target + ".tmp";
        plainWrite(workspace().grid(), temporary);
        syncPath(temporary, O_RDONLY);
        std::rename(temporary.c_str(), target.c_str());
        syncPath(workspace().Folder, O_RDONLY | O_DIRECTORY);
    }
}

void BM_PlexaSave(benchmark::State& state) {
    Plexa::Bundle& bundle = *workspace().Bundle;
    bundle.bindToNew(workspace().file("plexa.qz"), uncompressed());
    for (auto _ : state)
        if (!bundle.save()) state.SkipWithError(bundle.lastError().c_str());
    bundle.unbind();
}

void BM_PlainHdf5Read(benchmark::State& state) {
    const std::string name = workspace().file("plain.h5");
    for (auto _ : state) {
        hid_t file = H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        hid_t group = H5Gopen2(file, "Grid", H5P_DEFAULT);
        std::vector<std::vector<double>> arrays;
        for (const auto& [fieldName, field] : workspace().grid().fields()) {
            hid_t dataset = H5Dopen2(group, fieldName.c_str(), H5P_DEFAULT);
            hid_t space = H5Dget_space(dataset);
            arrays.emplace_back(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
            H5Dread(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                    arrays.back().data());
            H5Sclose(space);
            H5Dclose(dataset);
        }
        benchmark::DoNotOptimize(arrays.data());
        H5Gclose(group);
        H5Fclose(file);
    }
}

void BM_PlexaLoad(benchmark::State& state) {
    Quorix::StrongPtr<Quorix::LoaderParameters> files(
        new Quorix::LoaderParameters(workspace().file("plexa.qz")));
    for (auto _ : state) {
        bool success = false;
        Plexa::BundlePtr loaded = Plexa::Bundle::load(success, files, Plexa::BundlePtr());
        if (!success) state.SkipWithError(loaded->lastError().c_str());
        benchmark::DoNotOptimize(loaded.rawptr());
    }
}

constexpr double Bytes = static_cast<double>(FieldCount * ValuesPerField * sizeof(double));

double fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

// Repeated and interleaved at random (see main), so that none always follows the same other; the
// fastest repetitions are compared, since other work on the machine only ever adds time.
#define IO_BENCHMARK(name)                                                                         \
    BENCHMARK(name)                                                                                \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->Iterations(3)                                                                            \
        ->Repetitions(5)                                                                           \
        ->ReportAggregatesOnly(true)                                                               \
        ->ComputeStatistics("min", fastest)                                                        \
        ->UseRealTime()                                                                            \
        ->Setup([](const benchmark::State&) { workspace(); })

IO_BENCHMARK(BM_PlainHdf5Write);
IO_BENCHMARK(BM_PlainHdf5WriteReplacing);
IO_BENCHMARK(BM_PlexaSave);
IO_BENCHMARK(BM_PlainHdf5Read);
IO_BENCHMARK(BM_PlexaLoad);

// Console output as usual, and the measured times kept for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.aggregate_name == "min")
                Seconds[run.run_name.function_name] = run.GetAdjustedRealTime() / 1e3;
    }
    void printRatio(const std::string& ours, const std::string& baseline, const char* note) const {
        auto mine = Seconds.find(ours);
        auto theirs = Seconds.find(baseline);
        if (mine == Seconds.end() || theirs == Seconds.end()) return;
        std::printf(
            "%-14s %7.1f MiB/s vs %-26s %7.1f MiB/s: %.3f times the time (fastest of 5; %s)\n",
            ours.c_str(), Bytes / (1 << 20) / mine->second, baseline.c_str(),
            Bytes / (1 << 20) / theirs->second, mine->second / theirs->second, note);
    }

private:
    std::map<std::string, double> Seconds;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    std::printf("Files in %s\n", workspace().Folder.c_str());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio("BM_PlexaSave", "BM_PlainHdf5WriteReplacing", "goal <= 1.10");
    reporter.printRatio("BM_PlexaSave", "BM_PlainHdf5Write", "in place, for information");
    reporter.printRatio("BM_PlexaLoad", "BM_PlainHdf5Read", "goal <= 1.10");
    benchmark::Shutdown();
    return 0;
}
