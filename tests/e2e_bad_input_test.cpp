// Bad input end to end: a clear message in the run summary, a non-zero exit status, no partial
// output and every input byte-identical afterwards.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

std::string errorLine(const std::string& converter, const std::string& message) {
    return converter + ": Error! Message: " + message;
}

// Files of the folder, so a test sees that nothing appeared.
std::set<std::string> listing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.insert(entry.path().string());
    return names;
}

} // namespace

TEST(BadInput, MissingInputIsReported) {
    TempDir dir;
    RunResult result = run(QZ_POINTCLOUD, {"nothere.csv"}, dir.path());
    EXPECT_NE(result.Status, 0);
    EXPECT_NE(result.Out.find(errorLine("qz-pointcloud", "No input file found")), std::string::npos)
        << result.Out;
    EXPECT_TRUE(listing(dir.path()).empty());
}

TEST(BadInput, MalformedCsvLineFailsThatInputOnlyAndNamesTheLine) {
    TempDir dir;
    const std::string good = copySamples(dir, {"ridge.csv"}).front();
    const std::string badText = "x,y,z\n1,2,3\n4,5,oops\n";
    dir.write("bad.csv", badText);
    RunResult result = run(QZ_POINTCLOUD, {"bad.csv", "ridge.csv"}, dir.path());
    EXPECT_NE(result.Status, 0);
    EXPECT_NE(result.Out.find(errorLine("qz-pointcloud", "Cannot load point cloud: bad.csv")),
              std::string::npos)
        << result.Out;
    EXPECT_NE(result.Out.find("oops"), std::string::npos) << result.Out;
    EXPECT_FALSE(std::filesystem::exists(dir / "bad.qz"));
    EXPECT_TRUE(std::filesystem::exists(dir / "ridge.qz"));
    EXPECT_EQ(readFile(dir / "bad.csv"), badText);
}

TEST(BadInput, CorruptBundleIsLeftAloneByEveryProgram) {
    TempDir dir;
    const std::string corrupt = "\x89HDF\r\n\x1a\n but not really a bundle file";
    dir.write("broken.qz", corrupt);
    const std::set<std::string> before = listing(dir.path());

    RunResult inPlace = run(QZ_POINTCLOUD, {"broken.qz"}, dir.path());
    EXPECT_NE(inPlace.Status, 0);
    EXPECT_NE(inPlace.Out.find(errorLine("qz-pointcloud", "Cannot open the output file broken.qz")),
              std::string::npos)
        << inPlace.Out;
    RunResult merged = run(QZ_MERGE, {"broken.qz", "-o", "merged.qz"}, dir.path());
    EXPECT_NE(merged.Status, 0);
    EXPECT_NE(merged.Out.find(errorLine("qz-merge", "Cannot load this bundle: broken.qz")),
              std::string::npos)
        << merged.Out;
    EXPECT_NE(run(QZ_INSPECT, {"broken.qz"}, dir.path()).Status, 0);

    EXPECT_EQ(listing(dir.path()), before);
    EXPECT_EQ(readFile(dir / "broken.qz"), corrupt);
}

TEST(BadInput, MissingOutputFolderWritesNothing) {
    TempDir dir;
    const std::string cloud = copySamples(dir, {"hill.csv"}).front();
    ASSERT_EQ(run(QZ_POINTCLOUD, {"hill.csv"}, dir.path()).Status, 0);
    const std::set<std::string> before = listing(dir.path());
    const std::string bundle = readFile(dir / "hill.qz");

    RunResult converted = run(QZ_POINTCLOUD, {"hill.csv", "-o", "nodir/hill.qz"}, dir.path());
    EXPECT_NE(converted.Status, 0);
    EXPECT_NE(converted.Out.find("nodir/hill.qz"), std::string::npos) << converted.Out;
    RunResult merged = run(QZ_MERGE, {"hill.qz", "-o", "nodir/merged.qz"}, dir.path());
    EXPECT_NE(merged.Status, 0);
    EXPECT_NE(merged.Out.find("nodir/merged.qz"), std::string::npos) << merged.Out;

    EXPECT_EQ(listing(dir.path()), before);
    EXPECT_EQ(readFile(dir / "hill.qz"), bundle);
}

TEST(BadInput, UnreadableFolderIsReported) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    TempDir dir;
    dir.write("locked/a.csv", "x,y,z\n1,2,3\n");
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::none);
    RunResult result = run(QZ_POINTCLOUD, {"locked/"}, dir.path());
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_all);
    EXPECT_NE(result.Status, 0);
    EXPECT_NE(result.Out.find(errorLine("qz-pointcloud", "No input file found")), std::string::npos)
        << result.Out;
    EXPECT_FALSE(std::filesystem::exists(dir / "locked/a.qz"));
}
