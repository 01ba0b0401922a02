#include "convlib/MyStorage.hpp"
#include "tests/support/ConverterSupport.hpp"

#include <gtest/gtest.h>

namespace {

using ConvLibTest::Names;
using Defs = ConvLib::BasicConverterDefs;

class Loading : public ConvLibTest::InFreshFolder {
protected:
    Loading() { Folder.write("cloud.qz", "not really a bundle"); }
    // a bound bundle writes itself when released, which is not what these tests look at
    ~Loading() override {
        if (Tool.myBundle) Tool.myBundle->unbind();
        Tool.ErrorMessages.clear();
    }

    bool load(const std::list<std::string>& names, int type) {
        Tool.InFiles.reset(new Quorix::StringList(names));
        return Tool.loadFilesIntoBundle(static_cast<Defs::myReadType>(type));
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

    ConvLibTest::TestConverter Tool;
};

TEST_F(Loading, NothingToReadSucceedsQuietly) {
    const Plexa::BundlePtr before(new Plexa::Bundle);
    for (int type : {0, 1, 2, 7}) {
        Tool.myBundle = before;
        Tool.InFiles.release();
        EXPECT_TRUE(Tool.loadFilesIntoBundle(static_cast<Defs::myReadType>(type)));
        EXPECT_TRUE(load({}, type));
        EXPECT_EQ(Tool.myBundle, type == Defs::ReadNone ? Plexa::BundlePtr() : before) << type;
    }
    Tool.myBundle = before;
    EXPECT_TRUE(load({"cloud.qz"}, Defs::ReadNone));
    EXPECT_FALSE(Tool.myBundle.valid());
    EXPECT_TRUE(Tool.ErrorMessages.empty());
}

TEST_F(Loading, FailuresStartFromANewBundleAndSayWhy) {
    struct Case {
        std::list<std::string> Input;
        int Type;
        std::string OutFile, OutFileAfter;
        Names Messages;
    };
    const Case cases[] = {
        {{"cloud.qz"}, 3, "out.qz", "out.qz", {"ReadType is unknown"}},
        {{"missing.qz", "cloud.qz"}, 1, "", "", {"Cannot load this bundle: missing.qz"}},
        {{"cloud.qz", "cloud"}, 2, "out.qz", "out.qz", {}},
        {{"cloud"}, 2, "out.qz", "cloud", {"Outfile has no extension: cloud"}},
        {{"missing.xyz"}, 2, "Out.qz", "Out.qz", {"Cannot load point cloud: missing.xyz"}},
        {{"missing.xyz"}, 2, "dir/out.qz", "dir/out.qz", {"Cannot load point cloud: missing.xyz"}},
        {{"missing.xyz"}, 2, "trailing.", "trailing.", {"Cannot load point cloud: missing.xyz"}},
        {{"missing.xyz"}, 2, ".hidden", ".hidden", {"Outfile has no extension: .hidden"}},
        {{"missing.xyz"}, 2, "folder/", "folder/", {"Outfile has no extension: folder/"}},
    };
    const Plexa::BundlePtr before(new Plexa::Bundle);
    for (const Case& c : cases) {
        Tool.myBundle = before;
        Tool.OutFile = c.OutFile;
        EXPECT_FALSE(load(c.Input, c.Type));
        EXPECT_EQ(Tool.OutFile, c.OutFileAfter);
        EXPECT_EQ(Tool.ErrorMessages, c.Messages) << c.OutFile;
        ASSERT_TRUE(Tool.myBundle.valid());
        EXPECT_NE(Tool.myBundle, before);
        EXPECT_TRUE(Tool.myBundle->slices().empty());
        Tool.ErrorMessages.clear();
    }
}

// "cloud.qz" is no bundle, so these succeed only when bound in place without loading.
TEST_F(Loading, SameFileUnderAnyNameIsBoundInPlace) {
    std::filesystem::create_directory("sub");
    const std::string absolute = Folder / "cloud.qz";
    struct Case {
        std::string Input, OutFile, OutFileAfter;
    };
    for (const Case& c :
         {Case{"cloud.qz", "out.qz", "cloud.qz"}, Case{"cloud.qz", absolute, absolute},
          Case{"./sub/../cloud.qz", absolute, absolute}}) {
        Tool.OutFile = c.OutFile;
        EXPECT_TRUE(load({c.Input}, Defs::ReadPointCloud)) << c.Input;
        EXPECT_EQ(Tool.OutFile, c.OutFileAfter);
    }
    EXPECT_TRUE(Tool.ErrorMessages.empty());
}

TEST_F(Loading, BundlesMergeUntilOneFails) {
    writeBundle("a.qz", "A");
    writeBundle("c.qz", "C");
    EXPECT_TRUE(load({"a.qz", "c.qz"}, Defs::ReadBundles));
    EXPECT_TRUE(holdsGrid("A") && holdsGrid("C"));

    EXPECT_FALSE(load({"a.qz", "cloud.qz", "c.qz"}, Defs::ReadBundles));
    EXPECT_EQ(Tool.ErrorMessages, Names{"Cannot load this bundle: cloud.qz"});
    EXPECT_TRUE(holdsGrid("A"));
    EXPECT_FALSE(holdsGrid("C"));
}

TEST_F(Loading, PointCloudIsBoundToAnotherFileUnderThePolicy) {
    Folder.write("points.csv", "x,y,z,Height\n1,2,3,4\n");
    writeBundle("existing.qz", "Old");
    Tool.OutFile = "existing.qz";
    Tool.myStorage.reset(new ConvLib::MyStorage(0, false, false, false));
    EXPECT_TRUE(load({"points.csv"}, Defs::ReadPointCloud));
    EXPECT_EQ(Tool.myBundle->boundFile(), "existing.qz");
    EXPECT_FALSE(Tool.myBundle->slices().empty());
    EXPECT_EQ(Tool.myStorage->strongCount(), 2) << "the bundle holds the policy";
}

} // namespace
