// A survey of small clouds (scripts/make_survey.py, CONVLIB_BENCH_FILES of them, default 400)
// converted by qz-pointcloud: one input at a time in worker processes against the run in the
// program's own process (the containment's cost), two jobs against one, and, for what the
// machine allows two jobs, the survey's two halves converted at once by two programs in their
// own processes against the whole in one.
#include "bench/BenchSupport.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Survey {
    Bench::ScratchFolder Scratch;
    bool Made = false;

    Survey() {
        const std::string count =
            std::to_string(Bench::sizeFromEnvironment("CONVLIB_BENCH_FILES", 400));
        Made = std::system(("python3 '" CONVLIB_SOURCE_DIR "/scripts/make_survey.py' '" +
                            Scratch.path() + "' " + count + " >/dev/null")
                               .c_str()) == 0;
    }
};

const Survey& survey() {
    static const Survey instance;
    return instance;
}

// The survey's clouds in two halves, as words of a command line.
std::pair<std::string, std::string> surveyHalves() {
    std::vector<std::string> clouds;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(survey().Scratch.path()))
        if (entry.path().extension() == ".csv" || entry.path().extension() == ".xyz")
            clouds.push_back("'" + entry.path().string() + "'");
    std::sort(clouds.begin(), clouds.end());
    std::pair<std::string, std::string> halves;
    for (std::size_t i = 0; i < clouds.size(); ++i)
        (i < clouds.size() / 2 ? halves.first : halves.second) += " " + clouds[i];
    return halves;
}

bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// Converts every cloud of the survey again, with the given options.
void convertSurvey(benchmark::State& state, const std::string& options) {
    const std::string command = "'" QZ_POINTCLOUD "' '" + survey().Scratch.path() +
                                "'/*/ --ignore-success -q " + options + " >/dev/null 2>&1";
    if (!survey().Made || std::system(command.c_str()) != 0)
        state.SkipWithError(("failed: " + command).c_str());
}

void BM_ContainedAgainstInProcess(benchmark::State& state) {
    Bench::compare(
        state, 1.03, [&] { convertSurvey(state, "--jobs 1"); },
        [&] { convertSurvey(state, "--in-process"); });
}

void BM_TwoJobsAgainstOne(benchmark::State& state) {
    Bench::compare(
        state, 0.6, [&] { convertSurvey(state, "--jobs 2"); },
        [&] { convertSurvey(state, "--jobs 1"); });
}

void BM_TwoProcessesAgainstOne(benchmark::State& state) {
    const auto [first, second] = surveyHalves();
    const std::string program = "'" QZ_POINTCLOUD "'";
    const std::string options = " --ignore-success -q --in-process >/dev/null 2>&1";
    Bench::compare(
        state, std::nullopt,
        [&] {
            if (!run(program + first + options + " & half=$!; " + program + second + options +
                     " && wait $half"))
                state.SkipWithError("a half of the survey failed");
        },
        [&] {
            if (!run(program + first + second + options)) state.SkipWithError("the survey failed");
        });
}

BENCHMARK(BM_ContainedAgainstInProcess)->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoJobsAgainstOne)->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoProcessesAgainstOne)->Iterations(7)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "qz-pointcloud on a survey of small clouds: workers against in process, "
                      "--jobs 2 against --jobs 1");
}
