// qz-pointcloud end to end: text clouds and bundles in, Height out, marks, skips and shards.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

const char* const successKey = "qz-pointcloudSuccessful?";

// Heights of the file's grid as loaded back: z minus the lowest z, within float precision.
void expectHeights(const std::string& file, const std::string& gridName) {
    Plexa::GridPtr grid = firstGrid(loadBundle(file), gridName);
    ASSERT_TRUE(grid) << file;
    const auto* xyz =
        dynamic_cast<const Plexa::MemArray<double>*>(grid->findField("Positions")->Data.rawptr());
    const auto* height =
        dynamic_cast<const Plexa::MemArray<double>*>(grid->findField("Height")->Data.rawptr());
    ASSERT_TRUE(xyz && height);
    double lowest = (*xyz)(0, 2);
    for (std::size_t i = 0; i < xyz->size(); ++i)
        lowest = std::min(lowest, (*xyz)(i, 2));
    for (std::size_t i = 0; i < xyz->size(); ++i)
        EXPECT_NEAR((*height)(i), (*xyz)(i, 2) - lowest, 1e-3);
}

} // namespace

TEST(PointCloudConverter, TurnsTextCloudsIntoBundlesWithHeightAndAnnotations) {
    TempDir dir;
    copySamples(dir, {"hill.csv", "plane.xyz"});
    RunResult result = run(QZ_POINTCLOUD, {"hill.csv", "plane.xyz"}, dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out << result.Err;

    expectHeights(dir / "hill.qz", "hill");
    expectHeights(dir / "plane.qz", "plane");
    Plexa::GridPtr hill = firstGrid(loadBundle(dir / "hill.qz"), "hill");
    ASSERT_TRUE(hill);
    EXPECT_NE(textAttribute(*hill, successKey), "");
    const std::string provenance = textAttribute(*hill, "Kestrelon::Provenience");
    EXPECT_EQ(provenance.rfind("Converter name: qz-pointcloud \nVersion: 1.0\nAdded Height", 0), 0u)
        << provenance;
    EXPECT_EQ(readFile(dir / "hill.csv"),
              readFile(std::string(CONVLIB_SOURCE_DIR) + "/samples/hill.csv"));
}

TEST(PointCloudConverter, StoresHeightAsFloatAndHonoursCompressionAndFieldList) {
    TempDir dir;
    copySamples(dir, {"hill.csv"});
    ASSERT_EQ(run(QZ_POINTCLOUD, {"hill.csv", "-o", "packed.qz"}, dir.path()).Status, 0);
    ASSERT_EQ(
        run(QZ_POINTCLOUD,
            {"hill.csv", "-o", "plain.qz", "--compression", "-1", "--fields", "Positions,Height"},
            dir.path())
            .Status,
        0);

    std::vector<Plexa::StoredField> packed, plain;
    std::string error;
    ASSERT_TRUE(Plexa::describeFile(dir / "packed.qz", packed, error)) << error;
    ASSERT_TRUE(Plexa::describeFile(dir / "plain.qz", plain, error)) << error;
    const Plexa::StoredField* packedHeight = findStored(packed, "hill", "Height");
    const Plexa::StoredField* packedPositions = findStored(packed, "hill", "Positions");
    ASSERT_TRUE(packedHeight && packedPositions);
    EXPECT_EQ(packedHeight->StoredType, "float32");
    EXPECT_TRUE(packedHeight->Shift.empty());
    EXPECT_EQ(packedPositions->Shift.size(), 3u);

    EXPECT_EQ(findStored(plain, "hill", "Positions")->StoredType, "float64");
    EXPECT_FALSE(findStored(plain, "hill", "Positions")->Deflate);
    EXPECT_EQ(findStored(plain, "hill", "Height")->StoredType, "float32");
    EXPECT_EQ(findStored(plain, "hill", "intensity"), nullptr);
}

TEST(PointCloudConverter, CompressesLargeFieldsAtTheClampedLevel) {
    TempDir dir;
    std::string cloud;
    for (int i = 0; i < 8000; ++i)
        cloud += std::to_string(i % 100) + " " + std::to_string(i / 100) + " " +
                 std::to_string(i % 7) + "\n";
    dir.write("big.xyz", cloud);
    ASSERT_EQ(run(QZ_POINTCLOUD, {"big.xyz", "--compression", "12"}, dir.path()).Status, 0);
    std::vector<Plexa::StoredField> stored;
    std::string error;
    ASSERT_TRUE(Plexa::describeFile(dir / "big.qz", stored, error)) << error;
    const Plexa::StoredField* positions = findStored(stored, "big", "Positions");
    ASSERT_TRUE(positions);
    EXPECT_TRUE(positions->Chunked);
    EXPECT_TRUE(positions->Deflate);
    EXPECT_EQ(positions->DeflateLevel, 9);
}

TEST(PointCloudConverter, ExtendsBundleInPlaceAndSkipsItOnRerun) {
    TempDir dir;
    const std::string cloud = copySamples(dir, {"ridge.csv"}).front();
    ASSERT_TRUE(Plexa::writeBundleFile(*loadBundle(cloud), dir / "ridge.qz", Plexa::StoragePtr()));
    RunResult first = run(QZ_POINTCLOUD, {"ridge.qz"}, dir.path());
    ASSERT_EQ(first.Status, 0) << first.Out;
    EXPECT_EQ(first.Out.find("Grid has been processed"), std::string::npos);
    const std::string converted = readFile(dir / "ridge.qz");

    RunResult rerun = run(QZ_POINTCLOUD, {"ridge.qz"}, dir.path());
    EXPECT_EQ(rerun.Status, 0) << rerun.Out;
    EXPECT_NE(rerun.Out.find("Grid has been processed at time: "), std::string::npos);
    EXPECT_NE(rerun.Out.find(" Skip calculation..."), std::string::npos);
    EXPECT_EQ(readFile(dir / "ridge.qz"), converted);
    expectHeights(dir / "ridge.qz", "ridge");
}

TEST(PointCloudConverter, RerunOnTextCloudsSkipsThoseWithAFinishedBundle) {
    TempDir dir;
    copySamples(dir, {"hill.csv", "ridge.csv"});
    ASSERT_EQ(run(QZ_POINTCLOUD, {"hill.csv"}, dir.path()).Status, 0);
    const std::string hill = readFile(dir / "hill.qz");

    RunResult rerun = run(QZ_POINTCLOUD, {"hill.csv", "ridge.csv"}, dir.path());
    ASSERT_EQ(rerun.Status, 0) << rerun.Out;
    EXPECT_EQ(readFile(dir / "hill.qz"), hill);
    EXPECT_NE(rerun.Out.find("Grid has been processed at time: "), std::string::npos);
    expectHeights(dir / "ridge.qz", "ridge");

    RunResult again = run(QZ_POINTCLOUD, {"hill.csv", "--ignore-success"}, dir.path());
    EXPECT_EQ(again.Status, 0);
    EXPECT_EQ(again.Out.find("Grid has been processed"), std::string::npos);
}

TEST(PointCloudConverter, ProcessesOnlyTheChosenGrid) {
    TempDir dir;
    copySamples(dir, {"hill.csv", "ridge.csv"});
    ASSERT_EQ(run(QZ_POINTCLOUD,
                  {"hill.csv", "ridge.csv", "--grid", "ridge", "--compression", "-1"}, dir.path())
                  .Status,
              0);
    EXPECT_EQ(firstGrid(loadBundle(dir / "hill.qz"), "hill")->findField("Height"), nullptr);
    EXPECT_NE(firstGrid(loadBundle(dir / "ridge.qz"), "ridge")->findField("Height"), nullptr);
}

TEST(PointCloudConverter, ShardsCoverEveryInputExactlyOnce) {
    TempDir dir;
    std::set<std::string> expected;
    for (int i = 0; i < 7; ++i) {
        const std::string name = "cloud" + std::to_string(i);
        dir.write("tree/" + name + ".xyz", "0 0 " + std::to_string(i) + "\n1 0 2\n0 1 3\n");
        expected.insert(name + ".qz");
    }
    std::multiset<std::string> made;
    for (int shard = 1; shard <= 3; ++shard) {
        std::set<std::string> existing;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "tree"))
            existing.insert(entry.path().filename().string());
        RunResult result =
            run(QZ_POINTCLOUD, {"tree/", "--shard", std::to_string(shard) + "/3"}, dir.path());
        ASSERT_EQ(result.Status, 0) << result.Out;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "tree"))
            if (!existing.count(entry.path().filename().string()))
                made.insert(entry.path().filename().string());
    }
    EXPECT_EQ(std::set<std::string>(made.begin(), made.end()), expected);
    EXPECT_EQ(made.size(), expected.size());
}

TEST(PointCloudConverter, RejectsBadShardAndOptionsLikeCli11) {
    TempDir dir;
    for (const char* shard : {"0/3", "4/3", "2", "a/b", "1/0"}) {
        RunResult result = run(QZ_POINTCLOUD, {"x.csv", "--shard", shard}, dir.path());
        EXPECT_NE(result.Status, 0) << shard;
        EXPECT_NE(result.Err.find("--shard"), std::string::npos) << result.Err;
    }
    EXPECT_NE(run(QZ_POINTCLOUD, {}, dir.path()).Status, 0);
    EXPECT_EQ(run(QZ_POINTCLOUD, {"--help"}, dir.path()).Status, 0);
}
