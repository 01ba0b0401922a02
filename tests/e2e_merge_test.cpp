// qz-merge end to end: selection, compression and the provenance chain point cloud -> merge.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

using namespace ConvLibTest;

TEST(MergeConverter, KeepsTheSelectionUnderThePolicyAndChainsProvenance) {
    TempDir dir;
    RunResult result = run(QZ_MERGE,
                           {"in/*.qz", "-o", dir / "merged.qz", "--grids", "hill,ridge", "--fields",
                            "Positions,Height", "--times", "0", "--compression", "-1"},
                           E2e::convertedTree().Dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out;
    for (const std::string& line : {std::string("in/hill.qz: merged hill at time 0\n"),
                                    std::string("in/plane.qz: nothing selected\n"),
                                    "Wrote " + dir / "merged.qz with 1 time step(s)\n"})
        EXPECT_NE(result.Out.find(line), std::string::npos) << line << result.Out;

    for (const char* name : {"hill", "ridge"}) {
        Plexa::GridPtr grid = firstGrid(dir / "merged.qz", name);
        ASSERT_TRUE(grid) << name;
        const Names provenance = textsOf(*grid, "Kestrelon::Provenience");
        ASSERT_EQ(provenance.size(), 1u);
        EXPECT_EQ(provenance[0].find("Converter name: qz-pointcloud \n"), 0u) << provenance[0];
        EXPECT_NE(provenance[0].find("\nConverter name: qz-merge \n"), std::string::npos);
        EXPECT_EQ(textsOf(*grid, "qz-pointcloudSuccessful?"), Names());
    }
    const Stored stored = describe(dir / "merged.qz");
    EXPECT_EQ(stored.size(), 4u) << "two grids of one time step, two fields each";
    EXPECT_EQ(findStored(stored, "ridge", "Positions").StoredType, "float64");
}
