// qz-pointcloud end to end: a tree of text clouds and bundles in, Height out, marks, skips, shards.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>

using namespace ConvLibTest;
using ConvLibTest::E2e::convertedTree;

namespace {

// Heights as loaded back: z minus the lowest z, within single precision.
void expectHeights(const std::string& file, const std::string& gridName) {
    Plexa::GridPtr grid = firstGrid(file, gridName);
    ASSERT_TRUE(grid) << file;
    const auto& xyz =
        dynamic_cast<const Plexa::MemArray<double>&>(*grid->findField("Positions")->Data);
    const auto& height =
        dynamic_cast<const Plexa::MemArray<double>&>(*grid->findField("Height")->Data);
    double lowest = xyz(0, 2);
    for (std::size_t i = 0; i < xyz.size(); ++i)
        lowest = std::min(lowest, xyz(i, 2));
    for (std::size_t i = 0; i < xyz.size(); ++i)
        EXPECT_NEAR(height(i), xyz(i, 2) - lowest, 1e-3) << file;
}

bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

TEST(PointCloudConverter, ConvertsEveryInputOfATreeAndSaysWhatItDid) {
    const E2e::ConvertedTree& tree = convertedTree();
    const std::string& out = tree.Conversion.Out;
    ASSERT_EQ(tree.Conversion.Status, 0) << out;
    for (const char* grid : {"hill", "plane", "ridge", "far1", "far2", "far3", "survey"})
        expectHeights(tree / (std::string(grid) + ".qz"), grid);
    EXPECT_TRUE(has(out, "in/hill.csv -> in/hill.qz: Height added to hill (144 points)\n")) << out;
    EXPECT_TRUE(has(out, "in/survey.qz: Height added to survey (3 points)\n")) << out;

    Plexa::GridPtr hill = firstGrid(tree / "hill.qz", "hill");
    EXPECT_EQ(textsOf(*hill, "qz-pointcloudSuccessful?").size(), 1u);
    const Names provenance = textsOf(*hill, "Kestrelon::Provenience");
    ASSERT_EQ(provenance.size(), 1u);
    EXPECT_EQ(provenance[0].rfind("Converter name: qz-pointcloud \nVersion: 1.0\nAdded Height", 0),
              0u);
    EXPECT_EQ(readFile(tree / "hill.csv"),
              readFile(std::string(CONVLIB_SOURCE_DIR) + "/samples/hill.csv"));
}

TEST(PointCloudConverter, RerunSkipsWhatIsDoneUnlessToldToRedoIt) {
    TempDir dir;
    E2e::copyTree(convertedTree().Dir.path(), dir.path());
    const auto before = E2e::snapshot(dir.path());
    RunResult rerun = run(QZ_POINTCLOUD, {"in/"}, dir.path());
    EXPECT_EQ(rerun.Status, 0) << rerun.Out;
    EXPECT_TRUE(has(rerun.Err, "Grid has been processed at time: ")) << rerun.Err;
    EXPECT_TRUE(has(rerun.Out, "in/survey.qz: nothing to do\n")) << rerun.Out;
    EXPECT_FALSE(has(rerun.Out, "Height added")) << rerun.Out;
    EXPECT_EQ(E2e::snapshot(dir.path()), before);

    RunResult redo = run(QZ_POINTCLOUD, {"in/hill.csv", "--ignore-success"}, dir.path());
    EXPECT_EQ(redo.Status, 0);
    EXPECT_FALSE(has(redo.Err, "Grid has been processed")) << redo.Err;
    EXPECT_TRUE(has(redo.Out, "Height added to hill")) << redo.Out;
}

TEST(PointCloudConverter, StorageFollowsCompressionFieldsAndGridChoice) {
    TempDir dir;
    dir.write("hill.csv", readFile(convertedTree() / "hill.csv"));
    std::string big;
    for (int i = 0; i < 8000; ++i)
        big += std::to_string(i % 100) + " " + std::to_string(i / 100) + " " +
               std::to_string(i % 7) + "\n";
    dir.write("big.xyz", big);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"hill.csv", "-o", "plain.qz", "--compression", "-1", "--fields",
                                   "Positions,Height"},
          {"big.xyz", "hill.csv", "--grid", "big", "--compression", "12"}})
        ASSERT_EQ(run(QZ_POINTCLOUD, arguments, dir.path()).Status, 0) << arguments[2];

    const Stored plain = describe(dir / "plain.qz");
    EXPECT_EQ(findStored(plain, "hill", "Positions").StoredType, "float64");
    EXPECT_EQ(plain.size(), 2u) << "intensity is not among the fields to save";
    const Plexa::StoredField large = findStored(describe(dir / "big.qz"), "big", "Positions");
    EXPECT_TRUE(large.Chunked && large.Deflate);
    EXPECT_EQ(large.DeflateLevel, 9);
    EXPECT_EQ(firstGrid(dir / "hill.qz", "hill")->findField("Height"), nullptr);
}

// Lossy storage only where asked, with what it did recorded; a mistaken option is refused.
TEST(PointCloudConverter, LossyOptionsReachTheNamedFieldsOnly) {
    TempDir dir;
    std::string text = "x,y,z,w\n";
    for (int i = 0; i < 500; ++i)
        text += std::to_string(1.0e6 + i * 0.37) + ",2,3," + std::to_string(i * 1.234567) + "\n";
    dir.write("cloud.csv", text);
    ASSERT_EQ(run(QZ_POINTCLOUD, {"cloud.csv", "-o", "exact.qz"}, dir.path()).Status, 0);
    ASSERT_EQ(
        run(QZ_POINTCLOUD, {"cloud.csv", "-o", "bits.qz", "--keep-bits", "8:w"}, dir.path()).Status,
        0);
    ASSERT_EQ(run(QZ_POINTCLOUD, {"cloud.csv", "-o", "single.qz", "--single-precision=Positions"},
                  dir.path())
                  .Status,
              0);
    const Plexa::GridPtr exact = firstGrid(dir / "exact.qz", "cloud");
    const Plexa::GridPtr bits = firstGrid(dir / "bits.qz", "cloud");
    const Plexa::GridPtr single = firstGrid(dir / "single.qz", "cloud");
    ASSERT_TRUE(exact && bits && single);
    const auto values = [](const Plexa::GridPtr& grid, const char* name) {
        const auto& array =
            dynamic_cast<const Plexa::MemArray<double>&>(*grid->findField(name)->Data);
        return std::vector<double>(array.data(), array.data() + array.elementCount());
    };
    EXPECT_EQ(values(bits, "Positions"), values(exact, "Positions"));
    EXPECT_NE(values(bits, "w"), values(exact, "w"));
    EXPECT_NE(values(single, "Positions"), values(exact, "Positions"));
    EXPECT_EQ(values(single, "w"), values(exact, "w"));
    EXPECT_EQ(findStored(describe(dir / "bits.qz"), "cloud", "w").StoredType, "float64");
    EXPECT_EQ(findStored(describe(dir / "single.qz"), "cloud", "Positions").StoredType, "float32");
    EXPECT_EQ(run(QZ_POINTCLOUD, {"cloud.csv", "--keep-bits", "0"}, dir.path()).Status, 2);
}

TEST(PointCloudConverter, ShardsTakeEveryInputExactlyOnce) {
    TempDir dir;
    E2e::writeInputTree(dir);
    std::multiset<std::string> taken;
    for (const char* shard : {"1/3", "2/3", "3/3"}) {
        RunResult result = run(QZ_POINTCLOUD, {"in/", "--shard", shard}, dir.path());
        ASSERT_EQ(result.Status, 0) << result.Out;
        std::istringstream lines(result.Out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("in/", 0) == 0) taken.insert(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(taken.size(), 7u);
    EXPECT_EQ(std::set<std::string>(taken.begin(), taken.end()).size(), 7u);
}

TEST(PointCloudConverter, WritesTheOutputItIsToldAndAnInputOnlyWithInPlace) {
    TempDir dir;
    E2e::writeBundleFromText(dir, "d", "x,y,z\n0,0,1\n1,0,2\n");
    dir.write("b/out.csv", "x,y,z\n0,0,1\n1,0,3\n");
    const std::string bundle = readFile(dir / "d.qz");
    for (const auto& [arguments, folder] :
         {std::pair<std::vector<std::string>, std::string>{{"d.qz", "-o", "out.qz"}, ""},
          {{"out.csv"}, "b/"}}) {
        RunResult result = run(QZ_POINTCLOUD, arguments, dir / folder);
        EXPECT_EQ(result.Status, 0) << result.Out;
        expectHeights(dir / (folder + "out.qz"), folder.empty() ? "d" : "out");
    }
    EXPECT_EQ(readFile(dir / "d.qz"), bundle);

    RunResult inPlace = run(QZ_POINTCLOUD, {"d.qz", "-o", "./d.qz", "--in-place"}, dir.path());
    EXPECT_EQ(inPlace.Status, 0) << inPlace.Out;
    expectHeights(dir / "d.qz", "d");
}

TEST(PointCloudConverter, TextChangedSinceItsBundleIsConvertedAgain) {
    TempDir dir;
    const std::string cloud = dir.write("c.csv", "x,y,z\n0,0,1\n1,0,2\n");
    ASSERT_EQ(run(QZ_POINTCLOUD, {"c.csv"}, dir.path()).Status, 0);
    dir.write("c.csv", "x,y,z\n0,0,1\n1,0,2\n0,1,5\n");
    const auto written = std::filesystem::last_write_time(dir / "c.qz");
    std::filesystem::last_write_time(cloud, written + std::chrono::seconds(2));

    RunResult rerun = run(QZ_POINTCLOUD, {"c.csv"}, dir.path());
    EXPECT_EQ(rerun.Status, 0);
    EXPECT_TRUE(has(rerun.Out, "c.csv -> c.qz: input changed since its bundle was written, "
                               "converting again, Height added to c (3 points)\n"))
        << rerun.Out;
    expectHeights(dir / "c.qz", "c");
}

TEST(PointCloudConverter, ReplacesHeightWhenToldOrWhenItIsItsOwn) {
    TempDir dir;
    dir.write("h.csv", "x,y,z,Height\n0,0,1,9\n1,0,3,9\n");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"h.csv", "--overwrite-fields"}, {"h.qz", "--ignore-success"}}) {
        RunResult result = run(QZ_POINTCLOUD, arguments, dir.path());
        EXPECT_EQ(result.Status, 0) << result.Out;
        expectHeights(dir / "h.qz", "h");
    }
}

TEST(PointCloudConverter, ReadOptionsNameTheGridAndTimeOfTextClouds) {
    TempDir dir;
    dir.write("hill.csv", readFile(convertedTree() / "hill.csv"));
    RunResult result = run(QZ_POINTCLOUD,
                           {"hill.csv", "--grid-name", "Hill 2", "--time", "2.5", "--delimiter",
                            "comma", "--xyz", "x,y,z"},
                           dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out;
    const Plexa::BundlePtr bundle = loadBundle(dir / "hill.qz");
    ASSERT_EQ(bundle->slices().size(), 1u);
    ASSERT_TRUE(bundle->findSlice(2.5));
    EXPECT_TRUE(bundle->findSlice(2.5)->findGrid("Hill 2"));
}

// The options reach the text reader: positions in columns named otherwise are refused until
// --xyz names them, and the delimiter is the one given.
TEST(PointCloudConverter, DelimiterAndPositionColumnsReachTheReader) {
    TempDir dir;
    const std::string text = "east;north;up;h\n1;2;10;0\n3;4;12;1\n";
    dir.write("survey.csv", text);
    RunResult refused = run(QZ_POINTCLOUD, {"survey.csv"}, dir.path());
    EXPECT_EQ(refused.Status, 1);
    EXPECT_TRUE(has(refused.Out + refused.Err, "--xyz NAME,NAME,NAME")) << refused.Out;
    EXPECT_FALSE(std::filesystem::exists(dir / "survey.qz"));

    RunResult result =
        run(QZ_POINTCLOUD, {"survey.csv", "--delimiter", "semicolon", "--xyz", "east,north,up"},
            dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out << result.Err;
    Plexa::GridPtr grid = firstGrid(dir / "survey.qz", "survey");
    ASSERT_TRUE(grid);
    const auto& xyz =
        dynamic_cast<const Plexa::MemArray<double>&>(*grid->findField("Positions")->Data);
    ASSERT_EQ(xyz.size(), 2u);
    EXPECT_EQ(xyz(1, 0), 3.0);
    EXPECT_EQ(xyz(1, 2), 12.0);
    EXPECT_TRUE(grid->findField("h"));
}

TEST(PointCloudConverter, FolderGivesTheFilesOfKnownTypesAndNamesTheOthersOnce) {
    TempDir dir;
    dir.write("in/c.csv", "x,y,z\n0,0,1\n1,0,2\n");
    dir.write("in/notes.txt", "measured on Monday\n");
    dir.write("in/README", "");
    RunResult result = run(QZ_POINTCLOUD, {"in/"}, dir.path());
    EXPECT_EQ(result.Status, 0) << result.Out;
    EXPECT_TRUE(has(result.Out, "Skipped, no reader for their type: in/README, in/notes.txt\n"))
        << result.Out;
    expectHeights(dir / "in/c.qz", "c");
}

TEST(PointCloudConverter, StructuredGridsPassThroughUntouchedWithALineThatSaysSo) {
    TempDir dir;
    Plexa::Bundle bundle;
    for (double time : {0.0, 1.0}) {
        Plexa::SlicePtr slice = bundle.addSlice(time);
        addStructuredGrid(*slice, "model", {2, 3}, false);
        Plexa::MemArrayPtr<double> positions = Plexa::makeArray<double>(2, 3);
        positions->data()[5] = 4;
        slice->addGrid("scan")->addField("Positions", positions);
    }
    ASSERT_TRUE(Plexa::writeBundleFile(bundle, dir / "mixed.qz", {}));
    RunResult result = run(QZ_POINTCLOUD, {"mixed.qz", "-o", "out.qz"}, dir.path());
    ASSERT_EQ(result.Status, 0) << result.Out << result.Err;
    EXPECT_NE(result.Out.find("mixed.qz -> out.qz: Grid model left as it is: Height is measured "
                              "on point clouds, and it is a structured 2 x 3 (latitude, "
                              "longitude) grid, Height added to scan (2 points)"),
              std::string::npos)
        << result.Out;
    const Plexa::BundlePtr out = loadBundle(dir / "out.qz");
    for (double time : {0.0, 1.0}) {
        const Plexa::GridPtr model = out->findSlice(time)->findGrid("model");
        const Plexa::GridPtr original = bundle.findSlice(time)->findGrid("model");
        EXPECT_TRUE(model->topology() == original->topology());
        EXPECT_EQ(model->attributes().size(), original->attributes().size()) << "no marks added";
        EXPECT_TRUE(out->findSlice(time)->findGrid("scan")->findField("Height"));
    }
}
