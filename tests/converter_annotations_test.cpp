#include "convlib/BasicConverterDefs.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace {

using TextChunk = Quorix::Chunk<std::string>;
using TextChunkPtr = Quorix::StrongPtr<TextChunk, Quorix::ChunkBase>;

const char* const ProvenanceKey = "Kestrelon::Provenience";
const char* const SkipLead =
    "BasicConverterDefs::getSuccessAttributeOfGrid: Grid has been processed at time: ";

struct Converter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

Plexa::GridPtr makeGrid(const char* name = "Mesh") {
    return Plexa::GridPtr(new Plexa::Grid(name));
}

TextChunkPtr texts(std::initializer_list<std::string> values) {
    TextChunkPtr chunk(new TextChunk(values));
    return chunk;
}

std::string textOf(const Plexa::Grid& grid, const std::string& key) {
    Quorix::DynPtr<TextChunk, Quorix::ChunkBase> chunk(grid.getAttribute(key));
    return chunk ? chunk->front() : "<none>";
}

class SuccessAttribute : public testing::Test {
protected:
    SuccessAttribute() { Tool.ConverterName = "Tool"; }

    // The answer of the test and what it printed.
    std::pair<bool, std::string> test(const Plexa::Grid& grid) {
        bool answer = false;
        std::string output =
            ConvLibTest::captureStdout([&] { answer = Tool.getSuccessAttributeOfGrid(grid); });
        return {answer, output};
    }

    Converter Tool;
    Plexa::GridPtr Grid = makeGrid();
};

using Answer = std::pair<bool, std::string>;

TEST_F(SuccessAttribute, MarkThenTestSkipsWithTheMarkingTime) {
    EXPECT_EQ(test(*Grid), Answer(false, ""));
    Tool.addSuccessAttributeToGrid(*Grid);
    std::string mark = textOf(*Grid, "ToolSuccessful?");
    EXPECT_TRUE(
        std::regex_match(mark, std::regex("\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n")))
        << mark;
    EXPECT_EQ(test(*Grid), Answer(true, SkipLead + mark + " Skip calculation...\n"));
    Tool.IgnoreSuccess = true;
    EXPECT_EQ(test(*Grid), Answer(false, ""));
}

TEST_F(SuccessAttribute, OtherMarksDoNotCount) {
    Grid->setAttribute("OtherSuccessful?", texts({"Mon Jan  1 00:00:00 2024\n"}));
    EXPECT_EQ(test(*Grid), Answer(false, ""));
    Grid->setAttribute("ToolSuccessful?",
                       Quorix::StrongPtr<Quorix::ChunkBase>(new Quorix::Chunk<int>{1}));
    EXPECT_EQ(test(*Grid), Answer(false, ""));
    Grid->setAttribute("ToolSuccessful?", texts({""}));
    EXPECT_EQ(test(*Grid), Answer(false, ""));
    Grid->setAttribute("ToolSuccessful?", texts({}));
    EXPECT_EQ(test(*Grid), Answer(false, ""));
}

TEST_F(SuccessAttribute, MarkingReplacesAndAgesTheGrid) {
    Grid->setAttribute("ToolSuccessful?", texts({"earlier"}));
    std::uint64_t before = Quorix::Ageable::GlobalTime.load();
    Tool.addSuccessAttributeToGrid(*Grid);
    EXPECT_NE(textOf(*Grid, "ToolSuccessful?"), "earlier");
    EXPECT_EQ(Grid->age(), Quorix::Ageable::GlobalTime.load());
    EXPECT_GT(Grid->age(), before);
    EXPECT_EQ(Grid->strongCount(), 1);
}

TEST_F(SuccessAttribute, EmptyConverterNameGivesTheBareKey) {
    Tool.ConverterName.clear();
    Tool.addSuccessAttributeToGrid(*Grid);
    EXPECT_NE(textOf(*Grid, "Successful?"), "<none>");
    EXPECT_TRUE(test(*Grid).first);
}

TEST_F(SuccessAttribute, UnheldGridIsReportedAndLeftAlone) {
    Plexa::Grid loose("Loose");
    std::uint64_t age = loose.age();
    Tool.addSuccessAttributeToGrid(loose);
    EXPECT_EQ(Tool.ErrorMessages,
              std::vector<std::string>{"Cannot mark a grid that no strong reference holds: Loose"});
    EXPECT_TRUE(loose.attributes().empty());
    EXPECT_EQ(loose.age(), age);
    EXPECT_EQ(loose.name(), "Loose");
    Tool.ErrorMessages.clear();
}

void addInfo(Plexa::Grid& grid, const Plexa::GridPtr& source = Plexa::GridPtr(), int major = 2,
             int minor = 7, const std::string& info = "did things") {
    ConvLib::BasicConverterDefs::addInfoToGrid(info, grid, "Tool", source, major, minor);
}

const std::string Block = "Converter name: Tool \nVersion: 2.7\ndid things";

TEST(Provenance, FirstBlockOnAFreshGrid) {
    Plexa::GridPtr grid = makeGrid();
    addInfo(*grid);
    EXPECT_EQ(textOf(*grid, ProvenanceKey), Block);
    EXPECT_EQ(grid->age(), Quorix::Ageable::GlobalTime.load());

    Plexa::GridPtr other = makeGrid();
    addInfo(*other, nullptr, -3, 0, "");
    EXPECT_EQ(textOf(*other, ProvenanceKey), "Converter name: Tool \nVersion: -3.0\n");
}

TEST(Provenance, GrowsInPlaceWithoutSeparator) {
    Plexa::GridPtr grid = makeGrid();
    TextChunkPtr record = texts({"old line", "kept"});
    grid->setAttribute(ProvenanceKey, record);
    addInfo(*grid);
    EXPECT_EQ(record->front(), "old line" + Block);
    EXPECT_EQ(record->back(), "kept");
}

TEST(Provenance, SourceHistoryComesFirstLastTextFirst) {
    Plexa::GridPtr source = makeGrid("Source");
    source->setAttribute(ProvenanceKey, texts({"T1", "T2", "T3"}));
    Plexa::GridPtr grid = makeGrid();
    addInfo(*grid, source);
    EXPECT_EQ(textOf(*grid, ProvenanceKey), "T3\nT2\nT1\n" + Block);

    source->setAttribute(ProvenanceKey,
                         Quorix::StrongPtr<Quorix::ChunkBase>(new Quorix::Chunk<int>{1}));
    Plexa::GridPtr plain = makeGrid();
    addInfo(*plain, source);
    EXPECT_EQ(textOf(*plain, ProvenanceKey), Block);
}

TEST(Provenance, GridAsItsOwnSource) {
    Plexa::GridPtr grid = makeGrid();
    grid->setAttribute(ProvenanceKey, texts({"R"}));
    addInfo(*grid, grid);
    EXPECT_EQ(textOf(*grid, ProvenanceKey), "RR\n" + Block);
}

TEST(Provenance, ForeignChunkIsReplaced) {
    Plexa::GridPtr grid = makeGrid();
    grid->setAttribute(ProvenanceKey,
                       Quorix::StrongPtr<Quorix::ChunkBase>(new Quorix::Chunk<double>{1.0}));
    addInfo(*grid);
    Quorix::DynPtr<TextChunk, Quorix::ChunkBase> record(grid->getAttribute(ProvenanceKey));
    ASSERT_TRUE(record.valid());
    EXPECT_EQ(std::vector<std::string>(*record), std::vector<std::string>{Block});
}

TEST(Annotations, SurviveABundleFile) {
    ConvLibTest::TempDir folder;
    const std::string file = folder / "marked.qz";
    Converter tool;
    tool.ConverterName = "Tool";
    {
        Plexa::Bundle bundle;
        Plexa::GridPtr grid = bundle.addSlice(1.5)->addGrid("Mesh");
        tool.addSuccessAttributeToGrid(*grid);
        addInfo(*grid);
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, file, nullptr));
    }
    bool loaded = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        loaded, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr());
    ASSERT_TRUE(loaded) << bundle->lastError();
    Plexa::GridPtr grid = bundle->findSlice(1.5)->findGrid("Mesh");
    ASSERT_TRUE(grid.valid());

    bool skip = false;
    std::string output =
        ConvLibTest::captureStdout([&] { skip = tool.getSuccessAttributeOfGrid(*grid); });
    EXPECT_TRUE(skip);
    EXPECT_EQ(output, SkipLead + textOf(*grid, "ToolSuccessful?") + " Skip calculation...\n");
    EXPECT_EQ(textOf(*grid, ProvenanceKey), Block);
    addInfo(*grid, nullptr, 3, 0, "again");
    EXPECT_EQ(textOf(*grid, ProvenanceKey), Block + "Converter name: Tool \nVersion: 3.0\nagain");
}

} // namespace
