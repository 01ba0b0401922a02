// qz-netcdf on files larger than its memory budget, as a program: the peak resident memory of
// `qz-netcdf --memory 64` (its worker's included) on 20 and 80 steps of the ERA-Interim file, and
// the wall time per step at 80 steps against a whole-file conversion (a budget that holds every
// step). CONVLIB_SLICES_NOTE=1 adds the table of 20, 80 and 320 steps beside nccopy's.
#include "bench/BenchSupport.hpp"
#include "bench/EraFile.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

constexpr double MiB = 1024.0 * 1024.0;
constexpr std::size_t Budget = 64;      // MiB, as the goals ask
constexpr std::size_t WholeFile = 4096; // MiB: every step of 80 in one part

// The files by their number of steps, made when first asked for.
class EraFiles {
public:
    const std::string& source(std::size_t steps) {
        std::string& file = Sources[steps];
        if (file.empty()) {
            file = Folder.file("era" + std::to_string(steps) + ".nc");
            Bench::writeEraFile(file, steps);
        }
        return file;
    }
    std::string output(const std::string& name) const { return Folder.file(name); }

private:
    Bench::ScratchFolder Folder;
    std::map<std::size_t, std::string> Sources;
};

EraFiles* eraFiles(benchmark::State& state) {
    static EraFiles files;
    return Bench::present(state, Bench::sharedData("eraint_uvz.nc")) ? &files : nullptr;
}

Bench::ChildRun convert(EraFiles& files, std::size_t steps, std::size_t memory) {
    return Bench::runMeasured({QZ_NETCDF, files.source(steps), "-o", files.output("out.qz"),
                               "--memory", std::to_string(memory)});
}

Bench::ChildRun nccopy(EraFiles& files, std::size_t steps) {
    return Bench::runMeasured(
        {"/usr/bin/nccopy", "-k", "nc4", "-d4", "-s", files.source(steps), files.output("out.nc")});
}

// The least of the runs' peaks and times: other work on the machine only ever adds to them.
struct Least {
    double PeakMiB = 1e300;
    double Seconds = 1e300;
    bool Ok = true;
    void add(const Bench::ChildRun& run) {
        Ok = Ok && run.Ok;
        PeakMiB = std::min(PeakMiB, run.PeakMiB);
        Seconds = std::min(Seconds, run.Seconds);
    }
};

// Peaks of the sliced conversion at 20 and 80 steps, measured once for both rows.
const std::map<std::size_t, Least>* slicedPeaks(benchmark::State& state) {
    static std::map<std::size_t, Least> peaks;
    EraFiles* files = eraFiles(state);
    if (!files) return nullptr;
    if (peaks.empty())
        for (int turn = 0; turn < 3; ++turn)
            for (std::size_t steps : {20, 80})
                peaks[steps].add(convert(*files, steps, Budget));
    for (const auto& [steps, least] : peaks)
        if (!least.Ok) state.SkipWithError("qz-netcdf failed");
    return &peaks;
}

// Memory that does not grow with the file: 80 steps take at most 1.25 times the peak of 20.
void BM_SlicedPeak80Against20Steps(benchmark::State& state) {
    for (auto _ : state) {
    }
    if (const auto* peaks = slicedPeaks(state))
        Bench::report(state, peaks->at(80).PeakMiB, peaks->at(20).PeakMiB, 1.25, "MiB");
}

// And far below the values: at most a quarter of the 80 steps as doubles.
void BM_SlicedPeak80AgainstItsDoubles(benchmark::State& state) {
    for (auto _ : state) {
    }
    if (const auto* peaks = slicedPeaks(state))
        Bench::report(state, peaks->at(80).PeakMiB, 80.0 * Bench::EraStepDoubles * 8 / MiB, 0.25,
                      "MiB");
}

// The parts cost no speed: time per step at 80 steps within 1.1 times the whole file's.
void BM_SlicedTimePerStep(benchmark::State& state) {
    EraFiles* files = eraFiles(state);
    if (!files) return;
    Least sliced, whole;
    bool wholeFirst = true;
    for (auto _ : state) {
        if (wholeFirst) whole.add(convert(*files, 80, WholeFile));
        sliced.add(convert(*files, 80, Budget));
        if (!wholeFirst) whole.add(convert(*files, 80, WholeFile));
        wholeFirst = !wholeFirst;
    }
    if (!sliced.Ok || !whole.Ok) state.SkipWithError("qz-netcdf failed");
    Bench::report(state, sliced.Seconds * 1000 / 80, whole.Seconds * 1000 / 80, 1.1, "ms");
}

// The closing note's table: peak memory and time of the sliced conversion and of nccopy.
void BM_ClosingNote(benchmark::State& state) {
    EraFiles* files = eraFiles(state);
    if (!files) return;
    std::map<std::size_t, std::pair<Least, Least>> rows;
    for (auto _ : state)
        for (std::size_t steps : {20, 80, 320}) {
            rows[steps].first.add(convert(*files, steps, Budget));
            rows[steps].second.add(nccopy(*files, steps));
        }
    std::printf("\n%6s %10s %18s %12s %18s %12s\n", "steps", "doubles", "qz-netcdf peak", "time",
                "nccopy peak", "time");
    for (const auto& [steps, runs] : rows)
        std::printf("%6zu %6.0f MiB %14.1f MiB %10.2f s %14.1f MiB %10.2f s\n", steps,
                    static_cast<double>(steps * Bench::EraStepDoubles * 8) / MiB,
                    runs.first.PeakMiB, runs.first.Seconds, runs.second.PeakMiB,
                    runs.second.Seconds);
}

BENCHMARK(BM_SlicedPeak80Against20Steps)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SlicedPeak80AgainstItsDoubles)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SlicedTimePerStep)->Iterations(6)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (const char* note = std::getenv("CONVLIB_SLICES_NOTE"); note && *note == '1')
        BENCHMARK(BM_ClosingNote)->Iterations(2)->Unit(benchmark::kMillisecond);
    return Bench::run(argc, argv,
                      "qz-netcdf --memory " + std::to_string(Budget) +
                          " on ERA-Interim files of 20 and 80 steps (" + Bench::sharedData("") +
                          ")");
}
