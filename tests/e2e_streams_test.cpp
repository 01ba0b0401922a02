// Streams and exit codes, the same in every program: results on standard output, the report, the
// run summary and errors on standard error, without colour when that is no terminal; 0 success, 1
// errors in the data, 2 usage errors; --version, --quiet and --verbose.
#include "convlib/Version.hpp"
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <ostream>

using namespace ConvLibTest;

namespace {

struct ProgramCase {
    const char* Program;
    std::vector<std::string> Good; // a run that succeeds in a folder holding hill.csv and hill.qz
    std::string Result;            // on standard output after the good run
    std::vector<std::string> Bad;  // a run that fails on its data
    std::string Error;             // the bad run's message
};

const ProgramCase programs[] = {
    {QZ_POINTCLOUD,
     {"hill.csv", "-o", "new.qz"},
     "hill.csv -> new.qz: Height added to hill",
     {"nothere.csv"},
     "No file matches the input nothere.csv"},
    {QZ_MERGE,
     {"hill.qz", "-o", "m.qz"},
     "Wrote m.qz with 1 time step(s)",
     {"hill.qz", "-o", "m.qz", "--times", "7"},
     "--times 7 selects nothing"},
    {QZ_INSPECT,
     {"hill.qz"},
     "Time step 0\n  Grid hill\n",
     {"hill.csv"},
     "hill.csv is a text cloud (point cloud); qz-pointcloud converts it"},
};

// Stable test names: the program, not the bytes of the case.
void PrintTo(const ProgramCase& program, std::ostream* out) {
    *out << program.Program;
}

class EveryProgram : public testing::TestWithParam<ProgramCase> {
protected:
    EveryProgram() {
        for (const char* file : {"hill.csv", "hill.qz"})
            Dir.write(file, readFile(E2e::convertedTree() / file));
    }
    RunResult runWith(std::vector<std::string> arguments, const std::string& option = "") {
        if (!option.empty()) arguments.push_back(option);
        return run(GetParam().Program, arguments, Dir.path());
    }
    TempDir Dir;
};

bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

TEST_P(EveryProgram, WritesResultsToStandardOutputAndTheRestToStandardError) {
    const RunResult good = runWith(GetParam().Good);
    EXPECT_EQ(good.Status, 0) << good.Err;
    EXPECT_TRUE(has(good.Out, GetParam().Result)) << good.Out;
    for (const char* own : {": Parameters... Have In-Files:", ": Execution Time: "}) {
        EXPECT_FALSE(has(good.Out, own)) << good.Out;
        EXPECT_TRUE(has(good.Err, own)) << good.Err;
    }
    const RunResult bad = runWith(GetParam().Bad);
    EXPECT_EQ(bad.Status, 1);
    EXPECT_TRUE(has(bad.Err, ": Error! Message: " + GetParam().Error)) << bad.Err;
    EXPECT_FALSE(has(bad.Out, "Error!")) << bad.Out;
    EXPECT_FALSE(has(bad.Out + bad.Err, "\033[")) << "colour only on a terminal";
}

TEST_P(EveryProgram, ExitsWithTwoOnUsageErrorsAndZeroForHelpAndVersion) {
    const RunResult mistake = runWith(GetParam().Good, "--no-such-option");
    EXPECT_EQ(mistake.Status, 2);
    EXPECT_TRUE(has(mistake.Err, "--no-such-option")) << mistake.Err;
    EXPECT_EQ(runWith({}).Status, 2) << "inputs missing";
    EXPECT_EQ(runWith({"-q", "-v"}).Status, 2);
    const RunResult help = runWith({"--help"});
    EXPECT_EQ(help.Status, 0);
    for (const char* option : {"--version", "--quiet", "--verbose"})
        EXPECT_TRUE(has(help.Out, option)) << help.Out;
    const RunResult version = runWith({"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Out, CONVLIB_VERSION "\n");
}

TEST_P(EveryProgram, QuietSaysOnlyItsErrors) {
    const RunResult good = runWith(GetParam().Good, "--quiet");
    EXPECT_EQ(good.Status, 0);
    EXPECT_EQ(good.Err, "");
    // qz-inspect's description is the output asked for and stays
    EXPECT_EQ(good.Out.empty(), GetParam().Program != std::string(QZ_INSPECT)) << good.Out;
    const RunResult bad = runWith(GetParam().Bad, "-q");
    EXPECT_EQ(bad.Status, 1);
    EXPECT_EQ(bad.Out, "");
    EXPECT_TRUE(has(bad.Err, ": " + GetParam().Error)) << bad.Err;
    EXPECT_FALSE(has(bad.Err, "Execution Time")) << bad.Err;
}

INSTANTIATE_TEST_SUITE_P(Streams, EveryProgram, testing::ValuesIn(programs),
                         [](const testing::TestParamInfo<ProgramCase>& info) {
                             return std::string(info.index == 0   ? "pointcloud"
                                                : info.index == 1 ? "merge"
                                                                  : "inspect");
                         });

TEST(ParameterReports, SayWhereEachProgramWrites) {
    TempDir dir;
    for (const char* file : {"hill.csv", "hill.qz"})
        dir.write(file, readFile(E2e::convertedTree() / file));
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{QZ_POINTCLOUD, "hill.csv"},
         "\nWrites: <name>.qz beside each point cloud, bundle files in place\n"},
        {{QZ_POINTCLOUD, "hill.csv", "-o", "x.qz"}, "\nWrites: x.qz\n"},
        {{QZ_MERGE, "hill.qz", "-o", "m.qz"}, "\nWrites: m.qz\n"},
        {{QZ_INSPECT, "hill.qz", "--json", "--xdmf", "h.xmf"},
         "\nWrites: the description (JSON) to standard output, XDMF to h.xmf\n"},
    };
    for (const auto& [command, line] : runs) {
        const RunResult result = run(command[0], {command.begin() + 1, command.end()}, dir.path());
        EXPECT_TRUE(has(result.Err, line)) << line << result.Err;
    }
}

TEST(VerbosePrograms, NameEachFieldAsItIsWritten) {
    TempDir dir;
    dir.write("c.csv", "x,y,z,intensity\n0,0,1,5\n1,0,2,6\n");
    const RunResult converted =
        run(QZ_POINTCLOUD, {"c.csv", "-v", "--fields", "Positions,Height"}, dir.path());
    EXPECT_EQ(converted.Status, 0) << converted.Err;
    EXPECT_TRUE(has(converted.Out, "  c.qz: time 0, grid c, field Height: float64, 2 x 1\n"))
        << converted.Out;
    EXPECT_TRUE(has(converted.Out, "  c.qz: time 0, grid c, field Positions: float64, 2 x 3\n"));
    EXPECT_FALSE(has(converted.Out, "intensity")) << "not among the fields written";
    const RunResult merged = run(QZ_MERGE, {"c.qz", "-o", "m.qz", "--verbose"}, dir.path());
    EXPECT_TRUE(has(merged.Out, "  m.qz: time 0, grid c, field Height: float64, 2 x 1\n"))
        << merged.Out;
}
