#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

using ConvLibTest::chunkOf;
using ConvLibTest::ChunkPtr;
using ConvLibTest::Names;
using ConvLibTest::textsOf;

const char* const ProvenanceKey = "Kestrelon::Provenience";
const std::string Block = "Converter name: Tool \nVersion: 2.7\ndid things";

class Annotations : public testing::Test {
protected:
    Annotations() { Tool.ConverterName = "Tool"; }

    static Plexa::GridPtr makeGrid() { return Plexa::GridPtr(new Plexa::Grid("Mesh")); }

    static void addInfo(Plexa::Grid& grid, const Plexa::GridPtr& source, int major = 2,
                        int minor = 7, const std::string& info = "did things") {
        ConvLib::BasicConverterDefs::addInfoToGrid(info, grid, "Tool", source, major, minor);
    }

    // What the success test printed; it answers true exactly when it prints.
    std::string test(const Plexa::Grid& grid) {
        bool skip = false;
        std::string output =
            ConvLibTest::captureStdout([&] { skip = Tool.getSuccessAttributeOfGrid(grid); });
        EXPECT_EQ(skip, !output.empty());
        return output;
    }

    std::string skipLine(const Plexa::Grid& grid) {
        return "BasicConverterDefs::getSuccessAttributeOfGrid: Grid has been processed at time: " +
               textsOf(grid, Tool.ConverterName + "Successful?").at(0) + " Skip calculation...\n";
    }

    ConvLibTest::TestConverter Tool;
    Plexa::GridPtr Grid = makeGrid();
};

TEST_F(Annotations, OnlyTheOwnFilledMarkSkipsUnlessIgnored) {
    const std::pair<const char*, ChunkPtr> unmarked[] = {
        {"OtherSuccessful?", chunkOf<std::string>({"Mon Jan  1 00:00:00 2024\n"})},
        {"ToolSuccessful?", chunkOf({1})},
        {"ToolSuccessful?", chunkOf<std::string>({""})},
        {"ToolSuccessful?", chunkOf<std::string>({})}};
    for (const auto& [key, value] : unmarked) {
        Grid->setAttribute(key, value);
        EXPECT_EQ(test(*Grid), "") << key;
    }
    const std::uint64_t before = Quorix::Ageable::GlobalTime.load();
    Tool.addSuccessAttributeToGrid(*Grid);
    const Names mark = textsOf(*Grid, "ToolSuccessful?");
    ASSERT_EQ(mark.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        mark[0], std::regex("\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n")));
    EXPECT_EQ(test(*Grid), skipLine(*Grid));
    EXPECT_GT(Grid->age(), before);
    EXPECT_EQ(Grid->age(), Quorix::Ageable::GlobalTime.load());
    EXPECT_EQ(Grid->strongCount(), 1);
    Tool.IgnoreSuccess = true;
    EXPECT_EQ(test(*Grid), "");
    Tool.IgnoreSuccess = false;
    Tool.ConverterName.clear();
    Tool.addSuccessAttributeToGrid(*Grid);
    EXPECT_EQ(test(*Grid), skipLine(*Grid));
}

TEST_F(Annotations, UnheldGridIsReportedAndLeftAlone) {
    Plexa::Grid loose("Loose");
    const std::uint64_t age = loose.age();
    Tool.addSuccessAttributeToGrid(loose);
    EXPECT_EQ(Tool.ErrorMessages,
              Names{"Cannot mark a grid that no strong reference holds: Loose"});
    EXPECT_TRUE(loose.attributes().empty());
    EXPECT_EQ(loose.age(), age);
    Tool.ErrorMessages.clear();
}

TEST_F(Annotations, RecordBlockFollowsTheSourceHistory) {
    struct Case {
        ChunkPtr Own, OfSource;
        Names Expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, {Block}},
        {chunkOf({1}), nullptr, {Block}},
        {nullptr, chunkOf({1}), {Block}},
        {chunkOf<std::string>({"old line", "kept"}), nullptr, {"old line" + Block, "kept"}},
        {nullptr, chunkOf<std::string>({"T1", "T2", "T3"}), {"T3\nT2\nT1\n" + Block}},
    };
    for (const Case& c : cases) {
        Plexa::GridPtr grid = makeGrid(), source = makeGrid();
        if (c.Own) grid->setAttribute(ProvenanceKey, c.Own);
        if (c.OfSource) source->setAttribute(ProvenanceKey, c.OfSource);
        addInfo(*grid, source);
        EXPECT_EQ(textsOf(*grid, ProvenanceKey), c.Expected);
        EXPECT_EQ(grid->age(), Quorix::Ageable::GlobalTime.load());
    }
}

TEST_F(Annotations, RecordGrowsInPlaceAlsoFromItself) {
    addInfo(*Grid, nullptr, -3, 0, "");
    ChunkPtr record = Grid->getAttribute(ProvenanceKey);
    addInfo(*Grid, Grid);
    const std::string first = "Converter name: Tool \nVersion: -3.0\n";
    EXPECT_EQ(textsOf(*Grid, ProvenanceKey), Names{first + first + "\n" + Block});
    EXPECT_EQ(Grid->getAttribute(ProvenanceKey), record);
}

TEST_F(Annotations, MarkAndRecordSurviveABundleFile) {
    ConvLibTest::TempDir folder;
    Plexa::Bundle bundle;
    Plexa::GridPtr grid = bundle.addSlice(1.5)->addGrid("Mesh");
    Tool.addSuccessAttributeToGrid(*grid);
    addInfo(*grid, nullptr);
    ASSERT_TRUE(Plexa::writeBundleFile(bundle, folder / "marked.qz", nullptr));

    grid = ConvLibTest::loadBundle(folder / "marked.qz")->findSlice(1.5)->findGrid("Mesh");
    ASSERT_TRUE(grid.valid());
    EXPECT_EQ(test(*grid), skipLine(*grid));
    addInfo(*grid, nullptr, 3, 0, "again");
    EXPECT_EQ(textsOf(*grid, ProvenanceKey),
              Names{Block + "Converter name: Tool \nVersion: 3.0\nagain"});
}

} // namespace
