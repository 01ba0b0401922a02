// Peak resident memory of qz-merge on 8 inputs against 2 of the same size (clouds of
// CONVLIB_BENCH_POINTS points, default 1,000,000, each its own grid): a merge that streams grid by
// grid holds one grid at a time, so its peak does not grow with the number of inputs.
#include "bench/BenchSupport.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int MostInputs = 8;

std::string inputName(const Bench::ScratchFolder& folder, int index) {
    return folder.file("tile" + std::to_string(index) + ".qz");
}

// Written in a child process, so that the arrays it fills never count towards this process's
// peak, which the merge's child inherits across fork and exec.
bool writeInputs(const Bench::ScratchFolder& folder, std::size_t points) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        for (int index = 0; index < MostInputs; ++index) {
            Plexa::Bundle bundle;
            const Plexa::GridPtr grid = bundle.addSlice(0)->addGrid("tile" + std::to_string(index));
            auto positions = Plexa::makeArray<double>(points, 3);
            auto intensity = Plexa::makeArray<float>(points);
            for (std::size_t i = 0; i < points; ++i) {
                (*positions)(i, 0) = static_cast<double>(i % 1000) + index;
                (*positions)(i, 1) = static_cast<double>(i / 1000);
                (*positions)(i, 2) = static_cast<double>((i * 7919) % 1013) * 0.25;
                (*intensity)(i) = static_cast<float>(i % 4096);
            }
            grid->addField(Plexa::PositionsField, positions);
            grid->addField("Intensity", intensity);
            if (!Plexa::writeBundleFile(bundle, inputName(folder, index), {})) ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The peak resident memory of qz-merge on the first `inputs` tiles, in MiB; negative on failure.
double mergePeakMiB(const Bench::ScratchFolder& folder, int inputs) {
    std::vector<std::string> arguments = {QZ_MERGE, "-q", "-c", "-1", "-o", folder.file("out.qz")};
    for (int index = 0; index < inputs; ++index)
        arguments.push_back(inputName(folder, index));
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB on Linux
}

void BM_MergePeakMemoryEightInputsAgainstTwo(benchmark::State& state) {
    const Bench::ScratchFolder folder;
    if (!writeInputs(folder, Bench::sizeFromEnvironment("CONVLIB_BENCH_POINTS", 1000000))) {
        state.SkipWithError("cannot write the inputs");
        return;
    }
    double eight = 1e300;
    double two = 1e300;
    for (auto _ : state) {
        const double many = mergePeakMiB(folder, MostInputs);
        const double few = mergePeakMiB(folder, 2);
        if (many < 0 || few < 0) {
            state.SkipWithError("qz-merge failed");
            return;
        }
        eight = std::min(eight, many);
        two = std::min(two, few);
    }
    Bench::report(state, eight, two, 1.25, "MiB");
}

BENCHMARK(BM_MergePeakMemoryEightInputsAgainstTwo)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "qz-merge: peak resident memory on 8 inputs against 2 of the same size");
}
