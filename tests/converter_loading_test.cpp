#include "convlib/BasicConverterDefs.hpp"
#include "convlib/MyStorage.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace {

using Messages = std::vector<std::string>;
using Defs = ConvLib::BasicConverterDefs;

struct Converter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

class Loading : public testing::Test {
protected:
    void SetUp() override {
        Previous = std::filesystem::current_path();
        std::filesystem::current_path(Folder.path());
        Folder.write("cloud.qz", "not really a bundle");
        Folder.write("cloud", "no extension");
    }
    void TearDown() override {
        // a bound bundle writes itself when released, which must not happen outside the folder
        if (Tool.myBundle) Tool.myBundle->unbind();
        Tool.ErrorMessages.clear();
        std::filesystem::current_path(Previous);
    }

    void input(std::initializer_list<std::string> names) {
        Tool.InFiles.reset(new Quorix::StringList(names));
    }

    // A bundle file holding one grid under the given name at time 0.
    static void writeBundle(const std::string& file, const std::string& gridName) {
        Plexa::Bundle bundle;
        bundle.addSlice(0.0)->addGrid(gridName)->addField("Value", Plexa::makeArray<double>(2));
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, file, nullptr));
    }

    bool holdsGrid(const std::string& name) const {
        Plexa::SlicePtr slice = Tool.myBundle->findSlice(0.0);
        return slice && slice->findGrid(name);
    }

    ConvLibTest::TempDir Folder;
    std::filesystem::path Previous;
    Converter Tool;
};

TEST_F(Loading, ReadNoneEmptiesTheBundle) {
    Tool.myBundle.reset(new Plexa::Bundle);
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadNone));
    EXPECT_FALSE(Tool.myBundle.valid());
    input({"cloud.qz"});
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadNone));
    EXPECT_FALSE(Tool.myBundle.valid());
    EXPECT_TRUE(Tool.ErrorMessages.empty());
}

TEST_F(Loading, NoInputLeavesEverythingAsItWas) {
    Plexa::BundlePtr before(new Plexa::Bundle);
    Tool.myBundle = before;
    for (int type : {1, 2, 7}) {
        Tool.InFiles.release();
        EXPECT_TRUE(Tool.loadFilesIntoBundle(static_cast<Defs::myReadType>(type)));
        input({});
        EXPECT_TRUE(Tool.loadFilesIntoBundle(static_cast<Defs::myReadType>(type)));
    }
    EXPECT_EQ(Tool.myBundle, before);
    EXPECT_TRUE(Tool.ErrorMessages.empty());
}

TEST_F(Loading, UnknownReadTypeStartsAnEmptyBundle) {
    Plexa::BundlePtr before(new Plexa::Bundle);
    Tool.myBundle = before;
    input({"cloud.qz"});
    EXPECT_FALSE(Tool.loadFilesIntoBundle(static_cast<Defs::myReadType>(3)));
    EXPECT_EQ(Tool.ErrorMessages, Messages{"ReadType is unknown"});
    ASSERT_TRUE(Tool.myBundle.valid());
    EXPECT_NE(Tool.myBundle, before);
    EXPECT_TRUE(Tool.myBundle->slices().empty());
}

TEST_F(Loading, MissingBundleNamesTheFile) {
    input({"missing.qz", "cloud.qz"});
    EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadBundles));
    EXPECT_EQ(Tool.ErrorMessages, Messages{"Cannot load this bundle: missing.qz"});
    EXPECT_TRUE(Tool.myBundle.valid());
}

TEST_F(Loading, PointCloudTakesOneNameOnly) {
    input({"cloud.qz", "cloud"});
    Tool.OutFile = "out.qz";
    EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_TRUE(Tool.ErrorMessages.empty());
    EXPECT_EQ(Tool.OutFile, "out.qz");
    EXPECT_TRUE(Tool.myBundle.valid());
}

TEST_F(Loading, DefaultOutFileBecomesTheInput) {
    input({"cloud"});
    Tool.OutFile = "out.qz";
    EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_EQ(Tool.OutFile, "cloud");
    EXPECT_EQ(Tool.ErrorMessages, Messages{"Outfile has no extension: cloud"});

    // bound in place without loading: a load of this non-bundle would fail
    Tool.ErrorMessages.clear();
    input({"cloud.qz"});
    Tool.OutFile = "out.qz";
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_EQ(Tool.OutFile, "cloud.qz");
    EXPECT_TRUE(Tool.ErrorMessages.empty());
}

TEST_F(Loading, SameFileSeenThroughAnotherSpelling) {
    input({"cloud.qz"});
    Tool.OutFile = Folder / "cloud.qz";
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    std::filesystem::create_directory("sub");
    input({"./sub/../cloud.qz"});
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_TRUE(Tool.ErrorMessages.empty());
}

TEST_F(Loading, OnlyTheExactDefaultNameIsReplaced) {
    for (const char* outFile : {"Out.qz", "dir/out.qz"}) {
        input({"missing.xyz"});
        Tool.OutFile = outFile;
        EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
        EXPECT_EQ(Tool.OutFile, outFile);
        EXPECT_EQ(Tool.ErrorMessages, Messages{"Cannot load point cloud: missing.xyz"});
        Tool.ErrorMessages.clear();
    }
}

TEST_F(Loading, ExtensionTestOfTheOutputName) {
    input({"missing.xyz"});
    for (const char* noExtension : {".hidden", "folder/", "plain"}) {
        Tool.OutFile = noExtension;
        EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
        EXPECT_EQ(Tool.ErrorMessages,
                  Messages{"Outfile has no extension: " + std::string(noExtension)});
        Tool.ErrorMessages.clear();
    }
    Tool.OutFile = "trailing.";
    EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_EQ(Tool.ErrorMessages, Messages{"Cannot load point cloud: missing.xyz"});
}

TEST_F(Loading, BundlesMergeUntilOneFails) {
    writeBundle("a.qz", "A");
    writeBundle("c.qz", "C");
    input({"a.qz", "c.qz"});
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadBundles));
    EXPECT_TRUE(holdsGrid("A") && holdsGrid("C"));

    input({"a.qz", "cloud.qz", "c.qz"});
    EXPECT_FALSE(Tool.loadFilesIntoBundle(Defs::ReadBundles));
    EXPECT_EQ(Tool.ErrorMessages, Messages{"Cannot load this bundle: cloud.qz"});
    EXPECT_TRUE(holdsGrid("A"));
    EXPECT_FALSE(holdsGrid("C"));
}

TEST_F(Loading, InputBundleIsBoundInPlace) {
    writeBundle("a.qz", "A");
    input({"a.qz"});
    Tool.OutFile = "out.qz";
    EXPECT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_EQ(Tool.myBundle->boundFile(), "a.qz");
    EXPECT_TRUE(holdsGrid("A"));
}

TEST_F(Loading, PointCloudIsBoundToANewFileUnderThePolicy) {
    Folder.write("points.csv", "x,y,z,Height,Speed\n1,2,3,4,5\n6,7,8,9,10\n");
    writeBundle("existing.qz", "Old");
    input({"points.csv"});
    Tool.OutFile = "existing.qz";
    Tool.myStorage.reset(new ConvLib::MyStorage(0, false, false, false));
    ASSERT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud));
    EXPECT_EQ(Tool.myBundle->boundFile(), "existing.qz");
    ASSERT_TRUE(Tool.myBundle->save());

    std::vector<Plexa::StoredField> stored;
    std::string error;
    ASSERT_TRUE(Plexa::describeFile("existing.qz", stored, error)) << error;
    std::map<std::string, const Plexa::StoredField*> byName;
    for (const Plexa::StoredField& field : stored)
        byName[field.Field] = &field;
    ASSERT_TRUE(byName.count("Height") && byName.count("Speed")) << stored.size();
    EXPECT_EQ(byName["Height"]->StoredType, "float32");
    EXPECT_TRUE(byName["Height"]->Shift.empty());
    EXPECT_EQ(byName["Speed"]->StoredType, "float32");
    EXPECT_FALSE(byName["Speed"]->Shift.empty());
}

} // namespace
