// Bad input end to end: a clear message in the run summary, a non-zero exit status, no partial
// output and every input byte-identical afterwards.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

struct BadCase {
    const char* Program;
    std::vector<std::string> Arguments;
    std::vector<std::string> Messages; // each one in the run summary, in this order
    std::string Made = "";             // the one file a run may make from its good inputs
};

const BadCase badCases[] = {
    {QZ_POINTCLOUD,
     {"nothere.csv", "ridge.csv", "empty/"},
     {"No file matches the input nothere.csv", "The folder empty/ holds no file"},
     "ridge.qz"},
    {QZ_POINTCLOUD,
     {"nothere.csv"},
     {"No file matches the input nothere.csv", "No input file found"}},
    {QZ_POINTCLOUD,
     {"bad.csv", "ridge.csv"},
     {"Cannot load point cloud: bad.csv (text cloud): line 3: bad number \"oops\""},
     "ridge.qz"},
    {QZ_POINTCLOUD,
     {"broken.qz"},
     {"Cannot open the input broken.qz: not a readable HDF5 file: bad superblock version number"}},
    {QZ_POINTCLOUD,
     {"hill.csv", "-o", "nodir/hill.qz"},
     {"Cannot write nodir/hill.qz: folder nodir does not exist"}},
    {QZ_MERGE,
     {"broken.qz", "-o", "merged.qz"},
     {"Cannot load this bundle: broken.qz: not a readable HDF5 file: bad superblock version "
      "number\n"}},
    {QZ_MERGE, // HDF5's own account only when asked for
     {"broken.qz", "-o", "merged.qz", "--verbose"},
     {"Cannot load this bundle: broken.qz: not a readable HDF5 file: bad superblock version "
      "number (H5Fopen failed: H5Fopen: unable to open file;"}},
    {QZ_MERGE, // an input of another kind is named by its format's words
     {"text.nc", "-o", "merged.qz"},
     {"Cannot load netCDF file: text.nc: cannot read it as a netCDF file"}},
    {QZ_MERGE, {"hill.qz", "-o", "nodir/merged.qz"}, {"Cannot write nodir/merged.qz"}},
    {QZ_MERGE,
     {"hill.qz", "-o", "none.qz", "--times", "0.5"},
     {"--times 0.5 selects nothing; the inputs hold the times 0"}},
    {QZ_MERGE,
     {"hill.qz", "-o", "none.qz", "--fields", "Nope,Nix"},
     {"--fields Nix,Nope selects nothing; the inputs hold the fields Height, Positions, "
      "intensity"}},
    {QZ_MERGE,
     {"hill.qz", "-o", "none.qz", "--grids", "hill", "--times", "0", "--fields", "Nope"},
     {"--fields Nope selects nothing"}},
    {QZ_MERGE,
     {"hill.qz", "-o", "./hill.qz"},
     {"The output ./hill.qz is the input hill.qz; --in-place replaces it"}},
    {QZ_POINTCLOUD,
     {"hill.qz", "-o", "./hill.qz"},
     {"The output ./hill.qz is the input hill.qz; --in-place replaces it"}},
    {QZ_POINTCLOUD,
     {"height.csv"},
     {"Grid height in height.csv has a field Height already; --overwrite-fields replaces it"}},
    {QZ_POINTCLOUD,
     {"hill.csv", "--grid", "nope"},
     {"--grid nope selects nothing; the inputs hold the grids hill"}},
    {QZ_POINTCLOUD,
     {"hill.qz", "--fields", "Nope"},
     {"--fields Nope selects nothing; hill.qz holds the fields Height, Positions, intensity"}},
    {QZ_POINTCLOUD,
     {"notes.txt"},
     {"Cannot load point cloud: notes.txt: unknown file type \".txt\""}},
    {QZ_INSPECT, {"broken.qz", "--json"}, {"Cannot load this bundle: broken.qz"}},
    {QZ_INSPECT,
     {"hill.qz", "--preview", "top.png", "--field", "Nope"},
     {"Cannot write the preview top.png"}},
    {QZ_INSPECT,
     {"hill.qz", "--xdmf", "nodir/hill.xmf"},
     {"Cannot write the XDMF file nodir/hill.xmf: cannot write nodir/hill.xmf"}},
};

class BadInput : public testing::TestWithParam<BadCase> {};

} // namespace

TEST_P(BadInput, IsReportedAndLeavesEverythingAsItWas) {
    const BadCase& bad = GetParam();
    TempDir dir;
    dir.write("bad.csv", "x,y,z\n1,2,3\n4,5,oops\n");
    dir.write("height.csv", "x,y,z,Height\n1,2,3,0\n4,5,6,0\n");
    dir.write("notes.txt", "not a cloud\n");
    dir.write("text.nc", "x,y,z\n");
    std::filesystem::create_directory(dir / "empty");
    dir.write("broken.qz", "\x89HDF\r\n\x1a\n but not really a bundle file");
    for (const char* file : {"hill.csv", "hill.qz", "ridge.csv"})
        dir.write(file, readFile(convertedTree() / file));
    const auto before = snapshot(dir.path());

    RunResult result = run(bad.Program, bad.Arguments, dir.path());
    EXPECT_EQ(result.Status, 1);
    const std::string& summary = result.Err;
    std::size_t at = 0;
    for (const std::string& message : bad.Messages) {
        at = summary.find(": Error! Message: " + message, at);
        EXPECT_NE(at, std::string::npos) << message << "\n" << summary;
    }
    auto after = snapshot(dir.path());
    EXPECT_EQ(after.erase(dir / bad.Made), bad.Made.empty() ? 0u : 1u);
    EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, BadInput, testing::ValuesIn(badCases));

TEST(BadInputFolder, UnreadableFolderIsReported) {
    TempDir dir;
    dir.write("locked/a.csv", "x,y,z\n1,2,3\n");
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::none);
    // the superuser reads every folder unless it gives up the capabilities that let it
    RunResult result =
        geteuid() == 0
            ? run("setpriv",
                  {"--bounding-set=-dac_override,-dac_read_search", QZ_POINTCLOUD, "locked/"},
                  dir.path())
            : run(QZ_POINTCLOUD, {"locked/"}, dir.path());
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_all);
    EXPECT_NE(result.Status, 0);
    EXPECT_NE(result.Err.find("qz-pointcloud: Error! Message: Cannot read the folder locked/: "
                              "Permission denied"),
              std::string::npos)
        << result.Err;
    EXPECT_FALSE(std::filesystem::exists(dir / "locked/a.qz"));
}

TEST(CommandLineMistakes, GetCli11sMessageAndStatus) {
    // the program, its arguments, and last what the message says
    const std::vector<std::vector<std::string>> mistakes = {
        {QZ_POINTCLOUD, "x.csv", "--shard", "0/3", "--shard: shard '0/3' needs 1 <= K <= N"},
        {QZ_MERGE, "in/", "--output is required"},
        {QZ_INSPECT, "a.qz", "--preview", "a.png", "--field", "Height", "--size", "0x5",
         "--size: size '0x5' is not of the form"},
        {QZ_INSPECT, "a.qz", "--preview", "a.png", "--view", "front", "--view: front not in"},
        {QZ_INSPECT, "a.qz", "--field", "Height", "--field requires --preview"},
        {QZ_POINTCLOUD, "x.csv", "--delimiter", "pipe",
         "--delimiter: 'pipe' is none of comma, semicolon, tab, space or their characters"},
        {QZ_POINTCLOUD, "x.csv", "--xyz", "E,N",
         "--xyz: 'E,N' does not name three columns, e.g. --xyz east,north,up"},
        {QZ_MERGE, "a.qz", "-o", "m.qz", "--time", "nan", "--time: needs a finite number"},
        {QZ_MERGE, "a.qz", "-o", "m.qz", "--grid-name", "", "--grid-name: needs a name"}};
    for (const auto& mistake : mistakes) {
        RunResult result = run(mistake[0], {mistake.begin() + 1, mistake.end() - 1});
        EXPECT_EQ(result.Status, 2) << mistake.back();
        EXPECT_NE(result.Err.find(mistake.back()), std::string::npos) << result.Err;
        EXPECT_NE(result.Err.find("Run with --help for more information."), std::string::npos);
    }
    EXPECT_EQ(run(QZ_POINTCLOUD, {"--help"}).Status, 0);
}
