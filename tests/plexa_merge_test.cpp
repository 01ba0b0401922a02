// The one merge rule (what clashes, and what each kind of conflict does), and a merge streamed grid
// by grid from files into a file in parts, which must equal the merge in memory.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace {

using Kind = Plexa::MergeConflict::Kind;

Plexa::GridPtr cloud(const std::string& name, std::vector<double> heights) {
    Plexa::GridPtr grid(new Plexa::Grid(name));
    auto positions = Plexa::makeArray<double>(heights.size(), 3);
    auto values = Plexa::makeArray<double>(heights.size());
    for (std::size_t i = 0; i < heights.size(); ++i) {
        (*positions)(i, 0) = static_cast<double>(i);
        (*values)(i) = heights[i];
    }
    grid->addField(Plexa::PositionsField, positions);
    grid->addField("h", values);
    return grid;
}

Plexa::SlicePtr sliceWith(const Plexa::GridPtr& grid) {
    Plexa::SlicePtr slice(new Plexa::Slice(2));
    slice->insertGrid(grid);
    return slice;
}

struct ConflictCase {
    const char* What;
    Plexa::GridPtr Incoming;
    Kind Expected;
    std::string Field;
    std::string Incoming_, Existing; // what each side has, in words
};

TEST(MergeRule, NamesEachConflictByTimeGridFieldAndCause) {
    Plexa::GridPtr structured(new Plexa::Grid("g"));
    Plexa::Topology axes;
    axes.Axes.push_back({"x", 3, 0, 1, {}});
    std::string error;
    ASSERT_TRUE(structured->setTopology(axes, error)) << error;
    structured->addField("h", Plexa::makeArray<double>(3));
    const ConflictCase cases[] = {
        {"same field, other values", cloud("g", {1, 2, 4}), Kind::Values, "h", "", ""},
        {"other point count", cloud("g", {1, 2}), Kind::Points, "", "2", "3"},
        {"other kind of grid", structured, Kind::Layout, "", "structured 3 (x)", "points"},
    };
    for (const ConflictCase& test : cases) {
        SCOPED_TRACE(test.What);
        const Plexa::SlicePtr slice = sliceWith(cloud("g", {1, 2, 3}));
        const std::vector<Plexa::MergeConflict> found =
            Plexa::mergeConflicts(*slice, *test.Incoming);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].What, test.Expected);
        EXPECT_EQ(found[0].Time, 2);
        EXPECT_EQ(found[0].Grid, "g");
        EXPECT_EQ(found[0].Field, test.Field);
        EXPECT_EQ(found[0].Incoming, test.Incoming_);
        EXPECT_EQ(found[0].Existing, test.Existing);
    }
    EXPECT_TRUE(
        Plexa::mergeConflicts(*sliceWith(cloud("g", {1, 2, 3})), *cloud("g", {1, 2, 3})).empty());
    EXPECT_TRUE(
        Plexa::mergeConflicts(*sliceWith(cloud("g", {1})), *cloud("other", {1, 2})).empty());
}

TEST(MergeRule, ARefusedConflictLeavesTheGridAsItWasAndAnAllowedOneTakesTheIncomingFields) {
    const Plexa::GridPtr existing = cloud("g", {1, 2, 3});
    const Plexa::SlicePtr slice = sliceWith(existing);
    const Plexa::MemPtr before = existing->findField("h")->Data;
    Plexa::GridPtr incoming = cloud("g", {1, 2, 4});
    incoming->addField("extra", Plexa::makeArray<float>(3));

    Plexa::MergeOptions refusing;
    refusing.RefuseValues = true;
    EXPECT_EQ(Plexa::mergeGrid(*slice, incoming, refusing).size(), 1u);
    EXPECT_EQ(existing->findField("h")->Data.rawptr(), before.rawptr());
    EXPECT_FALSE(existing->findField("extra"));

    EXPECT_EQ(Plexa::mergeGrid(*slice, incoming, Plexa::MergeOptions()).size(), 1u);
    EXPECT_EQ(existing->findField("h")->Data.rawptr(), incoming->findField("h")->Data.rawptr());
    EXPECT_TRUE(existing->findField("extra"));

    Plexa::MergeOptions lenient{false, false, false};
    EXPECT_FALSE(Plexa::mergeGrid(*slice, cloud("g", {5}), lenient).empty());
    EXPECT_EQ(existing->findField("h")->Data->size(), 1u) << "nothing refused: the later file wins";
}

TEST(MergeRule, ABundleMergesWholeOrNotAtAll) {
    Plexa::Bundle into, from;
    into.addSlice(0)->insertGrid(cloud("g", {1, 2}));
    from.addSlice(0)->insertGrid(cloud("g", {1, 2, 3}));
    from.addSlice(1)->insertGrid(cloud("new", {1}));
    Plexa::MergeOptions options;
    options.RefusePoints = true;
    ASSERT_EQ(Plexa::mergeBundle(into, from, options).size(), 1u);
    EXPECT_FALSE(into.findSlice(1)) << "a refused conflict keeps the rest of the bundle out too";
    EXPECT_EQ(Plexa::mergeBundle(into, from, Plexa::MergeOptions()).size(), 1u);
    EXPECT_TRUE(into.findSlice(1) && into.findSlice(1)->findGrid("new"));
}

class StreamedMerge : public testing::Test {
protected:
    // Two files of three time steps whose grids meet at some of them: a structured grid of one
    // layout in both, point grids of other names.
    void SetUp() override {
        for (int file = 0; file < 2; ++file) {
            Plexa::Bundle bundle;
            for (double time : {0.0, 0.5, 1.0}) {
                const Plexa::SlicePtr slice = bundle.addSlice(time + file * 0.5);
                ConvLibTest::addStructuredGrid(*slice, "model", {3, 4}, true);
                Plexa::GridPtr points = cloud(file == 0 ? "a" : "b", {time, 2, 3});
                if (file == 1) points->removeField("h");
                slice->insertGrid(points);
            }
            Files.push_back(Dir / ("in" + std::to_string(file) + ".qz"));
            ASSERT_TRUE(Plexa::writeBundleFile(bundle, Files.back(), {}));
        }
    }

    ConvLibTest::TempDir Dir;
    std::vector<std::string> Files;
};

TEST_F(StreamedMerge, GridByGridIntoPartsEqualsTheMergeInMemoryValueForValue) {
    Plexa::Bundle inMemory;
    const Plexa::MergeOptions later;
    for (const std::string& file : Files)
        Plexa::mergeBundle(inMemory, *ConvLibTest::loadBundle(file), later);

    std::vector<std::unique_ptr<Plexa::FileSteps>> inputs;
    std::map<double, std::set<std::string>> grids;
    for (const std::string& file : Files) {
        inputs.push_back(std::make_unique<Plexa::FileSteps>());
        std::string error;
        ASSERT_TRUE(inputs.back()->open(file, {}, error)) << error;
        for (const auto& [time, held] : inputs.back()->contents())
            for (const auto& [grid, fields] : held)
                grids[time].insert(grid);
    }
    Plexa::BundleFileParts output(Dir / "streamed.qz", {});
    for (const auto& [time, names] : grids)
        for (const std::string& name : names) {
            Plexa::Bundle part;
            for (const auto& input : inputs) {
                const auto step = input->contents().find(time);
                if (step == input->contents().end() || !step->second.count(name)) continue;
                std::string error;
                const Plexa::GridPtr grid = input->takeGrid(time, name, error);
                ASSERT_TRUE(grid) << error;
                Plexa::mergeGrid(*part.addSlice(time), grid, later);
            }
            ASSERT_TRUE(output.append(part));
        }
    ASSERT_TRUE(output.commit());
    ConvLibTest::expectSameBundles(inMemory, *ConvLibTest::loadBundle(Dir / "streamed.qz"));
}

TEST_F(StreamedMerge, PartsLeaveTheOldOutputUntilCommittedAndRefuseStepsOutOfOrder) {
    const std::string target = Dir / "out.qz";
    ASSERT_TRUE(Plexa::writeBundleFile(*ConvLibTest::loadBundle(Files[0]), target, {}));
    const std::string old = ConvLibTest::readFile(target);
    const std::set<std::string> before = ConvLibTest::namesIn(Dir.path());
    Plexa::Bundle late, early;
    late.addSlice(5)->insertGrid(cloud("a", {1}));
    early.addSlice(4)->insertGrid(cloud("a", {1}));
    {
        Plexa::BundleFileParts interrupted(target, {});
        ASSERT_TRUE(interrupted.append(late));
        const Plexa::BindResult refused = interrupted.append(early);
        EXPECT_FALSE(refused);
        EXPECT_NE(refused.Text.find("does not follow the time 5"), std::string::npos)
            << refused.Text;
        EXPECT_FALSE(interrupted.commit()) << "a writer that failed commits nothing";
    }
    EXPECT_EQ(ConvLibTest::readFile(target), old);
    EXPECT_EQ(ConvLibTest::namesIn(Dir.path()), before) << "no temporary file is left";
    { Plexa::BundleFileParts neverCommitted(Dir / "none.qz", {}); }
    EXPECT_FALSE(std::filesystem::exists(Dir / "none.qz"));
}

TEST_F(StreamedMerge, FileStepsNameTheFileAndTheCauseOfWhatTheyCannotRead) {
    Dir.write("bad.qz", "not a bundle");
    Dir.write("cloud.csv", "x,y,z\n0,0,1\n1,0,2\n");
    Plexa::FileSteps steps;
    std::string error;
    EXPECT_FALSE(steps.open(Dir / "bad.qz", {}, error));
    EXPECT_EQ(error.rfind(Dir / "bad.qz: ", 0), 0u) << error;
    ASSERT_TRUE(steps.open(Dir / "cloud.csv", {}, error)) << error;
    EXPECT_EQ(steps.contents().at(0).at("cloud"), (ConvLibTest::Names{"Positions"}));
    const Plexa::GridPtr grid = steps.takeGrid(0, "cloud", error);
    ASSERT_TRUE(grid) << error;
    EXPECT_EQ(grid->findField(Plexa::PositionsField)->Data->size(), 2u);
    ASSERT_TRUE(steps.open(Files[0], {}, error)) << error;
    EXPECT_FALSE(steps.takeGrid(0, "nothing", error));
    EXPECT_NE(error.find("no grid \"nothing\" at time 0"), std::string::npos) << error;
}

} // namespace
