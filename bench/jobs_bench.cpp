// A survey of small clouds (scripts/make_survey.py, CONVLIB_BENCH_FILES of them, default 400)
// converted by qz-pointcloud: one input at a time in worker processes against the run in the
// program's own process (the containment's cost), and two jobs against one.
#include "bench/BenchSupport.hpp"

#include <cstdlib>
#include <string>

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

BENCHMARK(BM_ContainedAgainstInProcess)->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoJobsAgainstOne)->Iterations(7)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "qz-pointcloud on a survey of small clouds: workers against in process, "
                      "--jobs 2 against --jobs 1");
}
