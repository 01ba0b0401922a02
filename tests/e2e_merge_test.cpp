// qz-merge end to end: selection, precision and the provenance chain point cloud -> merge.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

// The three samples converted to bundle files in dir/in/.
void convertSamples(const TempDir& dir) {
    copySamples(dir, {"hill.csv", "plane.xyz", "ridge.csv"}, "in/");
    RunResult result =
        run(QZ_POINTCLOUD, {"in/hill.csv", "in/plane.xyz", "in/ridge.csv"}, dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out;
    for (const char* text : {"in/hill.csv", "in/plane.xyz", "in/ridge.csv"})
        std::filesystem::remove(dir / text);
}

} // namespace

TEST(MergeConverter, KeepsOnlySelectedGridsAndFieldsAndChainsProvenance) {
    TempDir dir;
    convertSamples(dir);
    RunResult result = run(QZ_MERGE,
                           {"in/", "-o", "merged.qz", "--grids", "hill,ridge", "--fields",
                            "Positions,Height", "--times", "0"},
                           dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out;

    Plexa::BundlePtr merged = loadBundle(dir / "merged.qz");
    ASSERT_TRUE(merged);
    ASSERT_EQ(merged->slices().size(), 1u);
    const auto& grids = merged->slices().begin()->second->grids();
    ASSERT_EQ(grids.size(), 2u);
    for (const char* name : {"hill", "ridge"}) {
        Plexa::GridPtr grid = firstGrid(merged, name);
        ASSERT_TRUE(grid) << name;
        EXPECT_EQ(grid->fields().size(), 2u);
        EXPECT_NE(grid->findField("Height"), nullptr);
        const std::string provenance = textAttribute(*grid, "Kestrelon::Provenience");
        const auto first = provenance.find("Converter name: qz-pointcloud \n");
        const auto second = provenance.find("Converter name: qz-merge \n");
        EXPECT_EQ(first, 0u) << provenance;
        EXPECT_NE(second, std::string::npos) << provenance;
        EXPECT_LT(first, second);
        EXPECT_EQ(textAttribute(*grid, "qz-pointcloudSuccessful?"), "");
    }
}

TEST(MergeConverter, WritesUnderTheStoragePolicysPrecision) {
    TempDir dir;
    convertSamples(dir);
    ASSERT_EQ(run(QZ_MERGE, {"in/", "-o", "exact.qz", "--compression", "-1"}, dir.path()).Status,
              0);
    std::vector<Plexa::StoredField> stored;
    std::string error;
    ASSERT_TRUE(Plexa::describeFile(dir / "exact.qz", stored, error)) << error;
    EXPECT_EQ(stored.size(), 9u);
    EXPECT_EQ(findStored(stored, "plane", "Positions")->StoredType, "float64");
    EXPECT_EQ(findStored(stored, "plane", "Height")->StoredType, "float32");
    EXPECT_FALSE(findStored(stored, "plane", "Positions")->Deflate);
}

TEST(MergeConverter, NothingSelectedIsAnErrorAndWritesNoFile) {
    TempDir dir;
    convertSamples(dir);
    RunResult result = run(QZ_MERGE, {"in/", "-o", "none.qz", "--times", "0.5"}, dir.path());
    EXPECT_NE(result.Status, 0);
    EXPECT_NE(result.Out.find("qz-merge: Error! Message: Nothing matched the selection"),
              std::string::npos)
        << result.Out;
    EXPECT_FALSE(std::filesystem::exists(dir / "none.qz"));
}

TEST(MergeConverter, ShardsSplitTheInputsIntoDisjointOutputs) {
    TempDir dir;
    convertSamples(dir);
    std::size_t grids = 0;
    for (int shard = 1; shard <= 2; ++shard) {
        const std::string output = "part" + std::to_string(shard) + ".qz";
        ASSERT_EQ(run(QZ_MERGE, {"in/", "-o", output, "--shard", std::to_string(shard) + "/2"},
                      dir.path())
                      .Status,
                  0);
        grids += loadBundle(dir / output)->slices().begin()->second->grids().size();
    }
    EXPECT_EQ(grids, 3u);
    EXPECT_NE(run(QZ_MERGE, {"in/"}, dir.path()).Status, 0); // --output is required
}
