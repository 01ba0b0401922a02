#include "convlib/MyStorage.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using ConvLibTest::Names;
using Defs = ConvLib::BasicConverterDefs;

class Loading : public ConvLibTest::InFreshFolder {
protected:
    Loading() { Folder.write("cloud.qz", "not really a bundle"); }
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

// "cloud.qz" is no bundle: it binds in place only as the output itself, else its load fails.
TEST_F(Loading, EachCallStartsFromANewBundleAndSaysWhyItStops) {
    std::filesystem::create_directory("sub");
    const std::string absolute = Folder / "cloud.qz";
    struct Case {
        std::list<std::string> Input;
        int Type;
        std::string OutFile, OutFileAfter;
        bool Result;
        Names Messages;
    };
    const Case cases[] = {
        {{"cloud.qz"}, 3, "", "", false, {"ReadType is unknown"}},
        {{"missing.qz", "cloud.qz"},
         1,
         "",
         "",
         false,
         {"Cannot load this bundle: missing.qz: no such file"}},
        {{"cloud.qz", "cloud"}, 2, "out.qz", "out.qz", false, {}},
        {{"cloud"}, 2, "out.qz", "cloud", false, {"Outfile has no extension: cloud"}},
        {{"cloud.qz"}, 2, "out.qz", "cloud.qz", true, {}},
        {{"cloud.qz"}, 2, absolute, absolute, true, {}},
        {{"./sub/../cloud.qz"}, 2, absolute, absolute, true, {}},
        {{"cloud.qz"},
         2,
         "Out.qz",
         "Out.qz",
         false,
         {"Cannot load point cloud: cloud.qz (bundle file): not an HDF5 file"}},
        {{"cloud.qz"},
         2,
         "sub/out.qz",
         "sub/out.qz",
         false,
         {"Cannot load point cloud: cloud.qz (bundle file): not an HDF5 file"}},
        {{"missing.xyz"},
         2,
         "trailing.",
         "trailing.",
         false,
         {"Cannot load point cloud: missing.xyz (text cloud): no such file"}},
        {{"missing.xyz"}, 2, ".hidden", ".hidden", false, {"Outfile has no extension: .hidden"}},
        {{"missing.xyz"}, 2, "folder/", "folder/", false, {"Outfile has no extension: folder/"}},
    };
    const Plexa::BundlePtr before(new Plexa::Bundle);
    for (const Case& c : cases) {
        Tool.myBundle = before;
        Tool.OutFile = c.OutFile;
        EXPECT_EQ(load(c.Input, c.Type), c.Result) << c.OutFile;
        EXPECT_EQ(Tool.OutFile, c.OutFileAfter);
        EXPECT_EQ(Tool.ErrorMessages, c.Messages) << c.OutFile;
        ASSERT_TRUE(Tool.myBundle.valid());
        EXPECT_NE(Tool.myBundle, before);
        EXPECT_TRUE(Tool.myBundle->slices().empty());
        Tool.ErrorMessages.clear();
    }
}

TEST_F(Loading, BundlesMergeUntilOneFails) {
    writeBundle("a.qz", "A");
    writeBundle("c.qz", "C");
    EXPECT_FALSE(load({"a.qz", "cloud.qz", "c.qz"}, Defs::ReadBundles));
    EXPECT_EQ(Tool.ErrorMessages, Names{"Cannot load this bundle: cloud.qz: not an HDF5 file"});
    EXPECT_TRUE(holdsGrid("A"));
    EXPECT_FALSE(holdsGrid("C"));
}

// The designed text of the read type stays and the format's words follow the name; netCDF files,
// which are no point clouds, are named by their own words.
TEST_F(Loading, FailedLoadsNameTheFormatAndTheCauseInOneMessage) {
    Folder.write("grid.nc", "not netCDF");
    Folder.write("scan.las", "LASF");
    const struct {
        std::string Input;
        int Type;
        std::string Message;
    } cases[] = {
        {"grid.nc", 2, "Cannot load netCDF file: grid.nc: cannot read it as a netCDF file"},
        {"grid.nc", 1, "Cannot load netCDF file: grid.nc: cannot read it as a netCDF file"},
        {"scan.las", 2, "Cannot load point cloud: scan.las (LAS file): "},
        {"scan.las", 1, "Cannot load this bundle: scan.las (LAS file): "},
    };
    for (const auto& c : cases) {
        Tool.OutFile = "other.qz";
        EXPECT_FALSE(load({c.Input}, c.Type));
        ASSERT_EQ(Tool.ErrorMessages.size(), 1u);
        EXPECT_EQ(Tool.ErrorMessages[0].rfind(c.Message, 0), 0u) << Tool.ErrorMessages[0];
        Tool.ErrorMessages.clear();
    }
}

TEST_F(Loading, ReadOptionsReachTheReader) {
    Folder.write("points.csv", "x,y,z\n1,2,3\n");
    Plexa::ReadOptions options;
    options.GridName = "named";
    options.Time = 4;
    Tool.InFiles.reset(new Quorix::StringList{"points.csv"});
    Tool.OutFile = "points.qz";
    ASSERT_TRUE(Tool.loadFilesIntoBundle(Defs::ReadPointCloud, options));
    const Plexa::SlicePtr slice = Tool.myBundle->findSlice(4);
    EXPECT_TRUE(slice && slice->findGrid("named"));
    Tool.myBundle->unbind();
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
