// qz-merge end to end: selection, compression, the provenance chain point cloud -> merge, grids of
// one name from several files and replacing an input.
#include "tests/e2e/E2eSupport.hpp"
#include "tests/support/LasWriter.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

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

namespace {

struct SameNameCase {
    std::vector<std::string> Arguments;
    std::string Refusal;                   // in the run summary; empty: the merge is written
    std::map<std::string, Names> Merged{}; // grid -> fields of the written file
};

const SameNameCase sameNameCases[] = {
    {{"a/tile.qz", "b/tile.qz"},
     "Grid tile at time 0 has 2 points in b/tile.qz but 3 in a/tile.qz; --rename-grids names "
     "each grid after its file"},
    {{"a/tile.qz", "b/tile.qz", "--overwrite-fields"},
     "Grid tile at time 0 has 2 points in b/tile.qz but 3 in a/tile.qz"},
    {{"a/tile.qz", "c/tile.qz"},
     "Grid tile at time 0: c/tile.qz and a/tile.qz differ in Positions; --rename-grids names each "
     "grid after its file, --overwrite-fields takes the later file's"},
    {{"a/tile.qz", "c/tile.qz", "--overwrite-fields"}, "", {{"tile", {"Positions"}}}},
    {{"a/tile.qz", "d/tile.qz"}, "", {{"tile", {"Positions", "extra"}}}},
    {{"a/tile.qz", "b/tile.qz", "--rename-grids"},
     "",
     {{"a/tile", {"Positions"}}, {"b/tile", {"Positions"}}}},
};

Names fieldNames(const Plexa::Grid& grid) {
    Names names;
    for (const auto& [name, field] : grid.fields())
        names.push_back(name);
    return names;
}

} // namespace

TEST(MergeConverter, GridsOfOneNameFromTwoFilesMergeOnlyAsMoreFieldsOfTheSamePoints) {
    TempDir dir;
    E2e::writeBundleFromText(dir, "a/tile", "x,y,z\n0,0,1\n1,0,2\n0,1,3\n");
    E2e::writeBundleFromText(dir, "b/tile", "x,y,z\n5,5,5\n6,6,6\n");
    E2e::writeBundleFromText(dir, "c/tile", "x,y,z\n0,0,1\n1,0,2\n0,1,4\n");
    E2e::writeBundleFromText(dir, "d/tile", "x,y,z,extra\n0,0,1,7\n1,0,2,8\n0,1,3,9\n");
    for (const SameNameCase& merge : sameNameCases) {
        std::filesystem::remove(dir / "m.qz");
        std::vector<std::string> arguments = merge.Arguments;
        arguments.insert(arguments.end(), {"-o", "m.qz"});
        RunResult result = run(QZ_MERGE, arguments, dir.path());
        const std::string what = merge.Arguments.back() + "\n" + result.Err;
        EXPECT_EQ(result.Status, merge.Refusal.empty() ? 0 : 1) << what;
        EXPECT_NE(result.Err.find(merge.Refusal), std::string::npos) << what;
        if (merge.Refusal.empty()) {
            std::map<std::string, Names> written;
            const Plexa::BundlePtr bundle = loadBundle(dir / "m.qz");
            ASSERT_TRUE(bundle->findSlice(0)) << what;
            for (const auto& [name, grid] : bundle->findSlice(0)->grids())
                written[name] = fieldNames(*grid);
            EXPECT_EQ(written, merge.Merged) << what;
        } else {
            EXPECT_FALSE(std::filesystem::exists(dir / "m.qz")) << what;
        }
    }
}

TEST(MergeConverter, ReplacesAnInputOnlyWithInPlace) {
    TempDir dir;
    dir.write("hill.qz", readFile(E2e::convertedTree() / "hill.qz"));
    RunResult result =
        run(QZ_MERGE, {"hill.qz", "-o", "./hill.qz", "--in-place", "--fields", "Positions"},
            dir.path());
    EXPECT_EQ(result.Status, 0) << result.Out;
    EXPECT_EQ(fieldNames(*firstGrid(dir / "hill.qz", "hill")), Names{"Positions"});
}

TEST(MergeConverter, StructuredGridsKeepTheirAxesAndMergeOnlyWithTheSameAxes) {
    TempDir dir;
    for (const auto& [file, extents] :
         {std::pair{"a.qz", std::vector<std::size_t>{3, 4}}, {"b.qz", {3, 4}}, {"c.qz", {4, 3}}}) {
        Plexa::Bundle bundle;
        addStructuredGrid(*bundle.addSlice(0), "model", extents, true);
        if (std::string(file) == "b.qz")
            bundle.findSlice(0)->findGrid("model")->removeField("Wind");
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, dir / file, {}));
    }
    RunResult same = run(QZ_MERGE, {"a.qz", "b.qz", "-o", "ab.qz"}, dir.path());
    ASSERT_EQ(same.Status, 0) << same.Out << same.Err;
    const Plexa::GridPtr merged = firstGrid(dir / "ab.qz", "model");
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->topology().summary(), "structured 3 x 4 (latitude, longitude)");
    EXPECT_TRUE(merged->findField("Temperature")->Attributes.getAttribute("units"));

    RunResult differing = run(QZ_MERGE, {"a.qz", "c.qz", "-o", "ac.qz"}, dir.path());
    EXPECT_EQ(differing.Status, 1);
    EXPECT_NE(differing.Err.find("Grid model at time 0 is structured 4 x 3 (latitude, longitude) "
                                 "in c.qz but structured 3 x 4 (latitude, longitude) in a.qz; "
                                 "--rename-grids names each grid after its file"),
              std::string::npos)
        << differing.Err;
    RunResult renamed =
        run(QZ_MERGE, {"a.qz", "c.qz", "-o", "ac.qz", "--rename-grids"}, dir.path());
    EXPECT_EQ(renamed.Status, 0) << renamed.Err;
    EXPECT_EQ(firstGrid(dir / "ac.qz", "c")->topology().Axes[0].Extent, 4u);
}

// Step by step and grid by grid, the merged file holds what merging the inputs in memory gives.
TEST(MergeConverter, StreamedMergeEqualsTheMergeInMemory) {
    TempDir dir;
    std::vector<std::string> inputs;
    Plexa::Bundle inMemory;
    for (int k = 0; k < 3; ++k) {
        Plexa::Bundle bundle;
        for (double time : {k * 0.5, k * 0.5 + 1}) {
            const Plexa::SlicePtr slice = bundle.addSlice(time);
            addStructuredGrid(*slice, "model", {3, 4}, true)->removeAttribute("source");
            Plexa::GridPtr cloud = slice->addGrid("p" + std::to_string(k));
            cloud->addField(Plexa::PositionsField, Plexa::makeArray<double>(k + 2, 3));
        }
        inputs.push_back("in" + std::to_string(k) + ".qz");
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, dir / inputs.back(), {}));
        Plexa::mergeBundle(inMemory, *loadBundle(dir / inputs.back()), Plexa::MergeOptions());
    }
    std::vector<std::string> arguments = inputs;
    arguments.insert(arguments.end(), {"-o", "m.qz"});
    const RunResult result = run(QZ_MERGE, arguments, dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_NE(result.Out.find("Wrote m.qz with 5 time step(s)"), std::string::npos) << result.Out;
    const Plexa::BundlePtr merged = loadBundle(dir / "m.qz");
    for (const auto& [time, slice] : merged->slices()) // the merge's own record aside
        for (const auto& [name, grid] : slice->grids())
            if (const Plexa::SlicePtr expected = inMemory.findSlice(time))
                if (const Plexa::GridPtr same = expected->findGrid(name))
                    same->setAttribute("Kestrelon::Provenience",
                                       grid->getAttribute("Kestrelon::Provenience"));
    expectSameBundles(inMemory, *merged);
}

// Packed positions keep their integers, scales and offsets through a merge, so that the merge
// result merges again with its inputs, and every value stays the LAS file's own.
TEST(MergeConverter, MergeResultsMergeAgainWithTheirInputs) {
    TempDir dir;
    LasWriter las;
    las.Format = 1;
    las.Scale = {0.001, 0.01, 1e-6};
    las.Offset = {637000.5, 849000.25, 0.125};
    for (std::int32_t i = 0; i < 300; ++i) {
        LasPoint point;
        point.Xyz = {i * 7919 - 1000000, -i * 104729, i * i * 31};
        point.GpsTime = 4.0e5 + i * 1.234567e-6;
        las.Points.push_back(point);
    }
    dir.write("survey.las", las.bytes());
    ASSERT_EQ(run(QZ_POINTCLOUD, {"survey.las"}, dir.path()).Status, 0);
    RunResult first = run(QZ_MERGE, {"survey.qz", "-o", "merged.qz"}, dir.path());
    ASSERT_EQ(first.Status, 0) << first.Out << first.Err;
    RunResult again = run(QZ_MERGE, {"merged.qz", "survey.qz", "-o", "again.qz"}, dir.path());
    ASSERT_EQ(again.Status, 0) << again.Out << again.Err;

    const Plexa::GridPtr grid = firstGrid(dir / "again.qz", "survey");
    ASSERT_TRUE(grid);
    const auto& positions =
        dynamic_cast<const Plexa::MemArray<double>&>(*grid->findField("Positions")->Data);
    for (std::size_t i = 0; i < las.Points.size(); ++i)
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(positions(i, c),
                      static_cast<double>(las.Points[i].Xyz[c]) * las.Scale[c] + las.Offset[c])
                << i << " " << c;
    const Stored fields = describe(dir / "again.qz");
    const Plexa::StoredField& stored = findStored(fields, "survey", "Positions");
    EXPECT_TRUE(stored.SplitComponents);
    EXPECT_EQ(stored.StoredType, "int32");
    EXPECT_EQ(stored.Offset, (std::vector<double>{637000.5, 849000.25, 0.125}));
    EXPECT_EQ(findStored(fields, "survey", "GpsTime").StoredType, "float64");

    // inspection names the packing, and the XDMF view reads the values as loaded from its sidecar
    RunResult inspect = run(QZ_INSPECT, {"again.qz", "--xdmf", "again.xmf"}, dir.path());
    ASSERT_EQ(inspect.Status, 0) << inspect.Err;
    EXPECT_NE(inspect.Out.find("Field Positions: float64, 300 x 3 component(s), stored int32, "
                               "compact, packed: integer * scale (0.001, 0.01, 1e-06) + offset "
                               "(637000.5, 849000.25, 0.125), one dataset per component"),
              std::string::npos)
        << inspect.Out;
    const Stored sidecar = describe(dir / "again.xmf.h5");
    EXPECT_EQ(findStored(sidecar, "survey", "Positions").StoredType, "float64");
}
