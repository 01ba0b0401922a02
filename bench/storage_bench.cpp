// Lossless default storage on real data: the size of autzen_trim.las converted (the source's
// int32 positions packed exactly, Height added as qz-pointcloud adds it), and a 40-step file of
// packed shorts made from eraint_uvz.nc converted by qz-netcdf against `nccopy -k nc4 -d4 -s`
// (size and time, both programs run as a user runs them, in the same run). Both read ../shared/data
// (CONVLIB_SHARED_DATA sets the folder) and skip with a message when it is absent.
#include "bench/BenchSupport.hpp"
#include "bench/EraFile.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"
#include "tests/support/NetcdfWriter.hpp"

#include <netcdf.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// As the converters store at their default --compression 4.
Plexa::StoragePtr defaultStorage() {
    Quorix::StrongPtr<ConvLib::MyStorage> storage(new ConvLib::MyStorage(4, false, false, false));
    storage->FilterDefaults.DeflateLevel = 4;
    return storage;
}

double megabytes(const std::string& file) {
    return static_cast<double>(Bench::fileBytes(file)) / 1e6;
}

// Goal 1.15 MB lossless, reported against the 3.74 MB source.
void BM_AutzenLosslessSize(benchmark::State& state) {
    const std::string source = Bench::sharedData("autzen_trim.las");
    if (!Bench::present(state, source)) return;
    Bench::ScratchFolder folder;
    const std::string target = folder.file("autzen_trim.qz");
    for (auto _ : state) {
        Plexa::BundlePtr bundle = Bench::loadFile(source, state);
        if (!bundle) return;
        for (const auto& [time, slice] : bundle->slices())
            for (const auto& [name, grid] : slice->grids())
                Bench::addHeight(*grid);
        if (!Plexa::writeBundleFile(*bundle, target, defaultStorage()))
            state.SkipWithError("cannot save autzen_trim.qz");
    }
    Bench::report(state, megabytes(target), megabytes(source), 1.15 / megabytes(source), "MB");
}

struct EraFiles {
    Bench::ScratchFolder Folder;
    std::string Source = Folder.file("era40.nc");
    std::string Ours = Folder.file("era40.qz");
    std::string Theirs = Folder.file("era40-nccopy.nc");
};

EraFiles* eraFiles(benchmark::State& state) {
    static std::unique_ptr<EraFiles> files;
    if (!Bench::present(state, Bench::sharedData("eraint_uvz.nc"))) return nullptr;
    if (!files) {
        files = std::make_unique<EraFiles>();
        Bench::writeEraFile(files->Source, 40);
    }
    return files.get();
}

// The conversion a user runs: qz-netcdf at its defaults, worker process and parts included.
void convert(benchmark::State& state, const EraFiles& files) {
    const std::string command = "'" QZ_NETCDF "' '" + files.Source + "' -o '" + files.Ours +
                                "' --ignore-success -q >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) state.SkipWithError("qz-netcdf failed on era40.nc");
}

void nccopy(benchmark::State& state, const EraFiles& files) {
    const std::string command =
        "nccopy -k nc4 -d4 -s '" + files.Source + "' '" + files.Theirs + "'";
    if (std::system(command.c_str()) != 0) state.SkipWithError("nccopy failed");
}

void BM_Era40LosslessSize(benchmark::State& state) {
    EraFiles* files = eraFiles(state);
    if (!files) return;
    for (auto _ : state) {
        convert(state, *files);
        nccopy(state, *files);
    }
    Bench::report(state, megabytes(files->Ours), megabytes(files->Theirs), 1.0, "MB");
}

void BM_Era40ConvertTime(benchmark::State& state) {
    EraFiles* files = eraFiles(state);
    if (!files) return;
    Bench::compare(
        state, 0.5, [&] { convert(state, *files); }, [&] { nccopy(state, *files); });
}

BENCHMARK(BM_AutzenLosslessSize)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Era40LosslessSize)->Unit(benchmark::kMillisecond)->Iterations(1);
IO_BENCHMARK(BM_Era40ConvertTime)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "lossless default storage of autzen_trim.las and a 40-step ERA-Interim "
                      "file (" +
                          Bench::sharedData("") +
                          "); ours against the source and nccopy -k nc4 -d4 -s");
}
