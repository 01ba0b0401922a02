// Bundle::load: merging files in order, point clouds, and a clear refusal of every bad input.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace {

Plexa::BundlePtr load(bool& success, std::list<std::string> files, const Plexa::BundlePtr& into) {
    return Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(files)),
        into);
}

template <class T>
const Plexa::MemArray<T>& arrayOf(const Plexa::GridPtr& grid, const std::string& field) {
    const Plexa::Field* found = grid->findField(field);
    EXPECT_NE(found, nullptr) << field;
    return dynamic_cast<const Plexa::MemArray<T>&>(*found->Data);
}

class LoadTest : public testing::Test {
protected:
    ConvLibTest::TempDir Dir;
};

TEST_F(LoadTest, LaterFilesWinPerFieldAndAttribute) {
    Plexa::BundlePtr first(new Plexa::Bundle), second(new Plexa::Bundle);
    Plexa::GridPtr grid = first->addSlice(1.0)->addGrid("G");
    grid->addField("a", Plexa::makeArray<double>(2));
    grid->addField("b", Plexa::makeArray<double>(2));
    grid->setAttribute("k1", ConvLibTest::chunkOf<std::string>({"one"}));
    grid->setAttribute("k2", ConvLibTest::chunkOf<std::string>({"old"}));
    Plexa::GridPtr other = second->addSlice(1.0)->addGrid("G");
    other->addField("b", Plexa::makeArray<std::int32_t>(5));
    other->setAttribute("k2", ConvLibTest::chunkOf<std::string>({"new"}));
    second->addSlice(2.0)->addGrid("H");
    ASSERT_TRUE(Plexa::writeBundleFile(*first, Dir / "1.qz", {}));
    ASSERT_TRUE(Plexa::writeBundleFile(*second, Dir / "2.qz", {}));

    bool success = false;
    Plexa::BundlePtr merged = load(success, {Dir / "1.qz", Dir / "2.qz"}, Plexa::BundlePtr());
    ASSERT_TRUE(success) << merged->lastError();
    EXPECT_FALSE(merged->isModified());
    Plexa::GridPtr result = merged->findSlice(1.0)->findGrid("G");
    EXPECT_TRUE(result->findField("a") && result->getAttribute("k1"));
    EXPECT_EQ(arrayOf<std::int32_t>(result, "b").size(), 5u);
    EXPECT_EQ(ConvLibTest::textsOf(*result, "k2"), ConvLibTest::Names{"new"});
    EXPECT_TRUE(merged->findSlice(2.0)->findGrid("H"));
}

TEST_F(LoadTest, StructuredGridsMergeOnlyWithGridsOfTheSameAxes) {
    Plexa::Bundle points, structured, other;
    points.addSlice(0)->addGrid("G")->addField("h", Plexa::makeArray<float>(12));
    ConvLibTest::addStructuredGrid(*structured.addSlice(0), "G", {3, 4}, true);
    ConvLibTest::addStructuredGrid(*other.addSlice(0), "G", {3, 4}, false)->removeField("Wind");
    ASSERT_TRUE(Plexa::writeBundleFile(points, Dir / "points.qz", {}));
    ASSERT_TRUE(Plexa::writeBundleFile(structured, Dir / "uniform.qz", {}));
    ASSERT_TRUE(Plexa::writeBundleFile(other, Dir / "rectilinear.qz", {}));

    bool success = false;
    Plexa::BundlePtr twice = load(success, {Dir / "uniform.qz", Dir / "uniform.qz"}, {});
    ASSERT_TRUE(success) << twice->lastError();
    EXPECT_TRUE(twice->findSlice(0)->findGrid("G")->findField("Wind")->Attributes.getAttribute(
        "valid_range"));
    for (const char* second : {"points.qz", "rectilinear.qz"}) {
        Plexa::BundlePtr bundle = load(success, {Dir / "uniform.qz", Dir / second}, {});
        EXPECT_FALSE(success);
        EXPECT_NE(bundle->lastError().find(": grid \"G\" at time 0 is "), std::string::npos)
            << bundle->lastError();
        EXPECT_NE(bundle->lastError().find("in the bundle it is loaded into; grids of different "
                                           "layouts do not merge"),
                  std::string::npos);
        EXPECT_EQ(bundle->findSlice(0)->findGrid("G")->fields().size(), 2u) << "nothing merged";
    }
    Plexa::BundlePtr mixed = load(success, {Dir / "points.qz", Dir / "uniform.qz"}, {});
    EXPECT_NE(mixed->lastError().find(
                  "is structured 3 x 4 (latitude, longitude) here but points in the bundle"),
              std::string::npos)
        << mixed->lastError();
}

TEST_F(LoadTest, PointCloudsBecomeGridsNamedByTheFile) {
    const std::string csv =
        Dir.write("scan.csv", "# exported\r\ntemp, Z ,x,Y\r\n\r\n1.5,3,1,2\r\n-2e3,+6,4,5\r\n");
    const std::string xyz = Dir.write("cloud.xyz", "1 2 3 10 20\n# note\n4\t5  6 11 21\n");
    Plexa::SlicePtr slice = ConvLibTest::loadBundle(csv)->findSlice(0.0);
    ASSERT_TRUE(slice && slice->findGrid("scan"));
    Plexa::GridPtr scan = slice->findGrid("scan");
    const auto& positions = arrayOf<double>(scan, "Positions");
    EXPECT_EQ(std::vector<double>(positions.data(), positions.data() + positions.elementCount()),
              (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(positions.components(), 3);
    EXPECT_EQ(arrayOf<double>(scan, "temp")(1), -2000.0);
    EXPECT_EQ(scan->fields().size(), 2u);

    slice = ConvLibTest::loadBundle(xyz)->findSlice(0.0);
    ASSERT_TRUE(slice && slice->findGrid("cloud"));
    EXPECT_EQ(arrayOf<double>(slice->findGrid("cloud"), "Positions")(1, 2), 6.0);
    EXPECT_EQ(arrayOf<double>(slice->findGrid("cloud"), "col4")(1), 11.0);
    EXPECT_EQ(arrayOf<double>(slice->findGrid("cloud"), "col5")(0), 20.0);
}

// Options travel with each load: threads loading at once with their own options never see
// another's, and a load without options gets the defaults whatever ran before it.
TEST_F(LoadTest, EachLoadReadsWithTheOptionsItIsGiven) {
    const std::string file = Dir.write("p.txt.csv", "x;y;z\n1;2;3\n4;5;6\n");
    struct Reading {
        Plexa::ReadOptions Options;
        double FirstX = 0;
        int Right = 0;
    };
    const auto readingOf = [](const std::string& grid, double time, const std::string& xColumn,
                              double firstX) {
        Reading reading{{}, firstX, 0};
        reading.Options.GridName = grid;
        reading.Options.Time = time;
        reading.Options.Text.Delimiter = ';';
        reading.Options.Text.PositionColumns = {xColumn, "y", xColumn == "x" ? "z" : "x"};
        return reading;
    };
    Reading one = readingOf("one", 1, "x", 1), two = readingOf("two", 2, "z", 3);
    const auto loadRepeatedly = [&file](Reading& reading) {
        for (int i = 0; i < 50; ++i) {
            const ConvLibTest::Loaded loaded = ConvLibTest::tryLoad(file, reading.Options);
            const Plexa::SlicePtr slice = loaded.Error.empty()
                                              ? loaded.Bundle->findSlice(reading.Options.Time)
                                              : Plexa::SlicePtr();
            const Plexa::GridPtr grid =
                slice ? slice->findGrid(reading.Options.GridName) : Plexa::GridPtr();
            reading.Right += grid && slice->grids().size() == 1 &&
                             arrayOf<double>(grid, "Positions")(0, 0) == reading.FirstX;
        }
    };
    std::thread first(loadRepeatedly, std::ref(one));
    std::thread second(loadRepeatedly, std::ref(two));
    first.join();
    second.join();
    EXPECT_EQ(one.Right, 50);
    EXPECT_EQ(two.Right, 50);
    EXPECT_TRUE(ConvLibTest::loadBundle(file)->findSlice(0.0)->findGrid("p.txt"));
}

void writeText(const std::string& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
}

void writeNothing(const std::string&, const std::string&) {}

void writeForeignHdf5(const std::string& file, const std::string&) {
    hid_t handle = H5Fcreate(file.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    H5Gclose(H5Gcreate2(handle, "data", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Fclose(handle);
}

// A bundle with checksummed data; returns the file's size.
std::uintmax_t writeChecksummedBundle(const std::string& file) {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    bundle->addSlice(0)->addGrid("G")->addField("Values", Plexa::makeArray<double>(4096));
    auto storage = ConvLibTest::makeTestStorage();
    storage->Answer = ConvLibTest::automaticSettings(false, false);
    storage->Answer.ExtraFilter = true;
    EXPECT_TRUE(Plexa::writeBundleFile(*bundle, file, storage));
    return std::filesystem::file_size(file);
}

void writeCorruptBundle(const std::string& file, const std::string&) {
    const std::uintmax_t size = writeChecksummedBundle(file);
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(static_cast<std::streamoff>(size / 2));
    stream.put('\x5a');
}

void writeTruncatedBundle(const std::string& file, const std::string&) {
    std::filesystem::resize_file(file, writeChecksummedBundle(file) / 2);
}

struct BadInput {
    std::string Name;
    std::string Content;
    std::string Cause; // what the message says after the file's name
    void (*Make)(const std::string& file, const std::string& content) = writeText;
};

class BadInputTest : public LoadTest, public testing::WithParamInterface<BadInput> {};

// A host program's own HDF5 error printer is silenced only while our calls run.
TEST_F(LoadTest, HostsHdf5ErrorPrinterComesBackAfterAFailure) {
    H5E_auto2_t hostPrinter = [](hid_t, void*) -> herr_t { return 0; };
    int hostData = 0;
    ASSERT_GE(H5Eset_auto2(H5E_DEFAULT, hostPrinter, &hostData), 0);
    bool success = true;
    load(success, {Dir.write("text.qz", "no bundle")}, Plexa::BundlePtr());
    EXPECT_FALSE(success);
    H5E_auto2_t printer = nullptr;
    void* data = nullptr;
    ASSERT_GE(H5Eget_auto2(H5E_DEFAULT, &printer, &data), 0);
    EXPECT_EQ(printer, hostPrinter);
    EXPECT_EQ(data, &hostData);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

TEST_P(BadInputTest, FailsQuietlyWithTheFileAndCauseAndKeepsEarlierFiles) {
    const std::string good = Dir.write("good.xyz", "1 2 3\n");
    const std::string bad = Dir / GetParam().Name;
    GetParam().Make(bad, GetParam().Content);
    bool success = true;
    Plexa::BundlePtr bundle;
    std::string errors;
    const std::string output = ConvLibTest::captureStdout([&] {
        errors = ConvLibTest::captureStderr([&] {
            bundle = load(success, {good, bad, good}, Plexa::BundlePtr());
        });
    });
    EXPECT_EQ(output + errors, "");
    EXPECT_FALSE(success);
    EXPECT_EQ(bundle->lastError().rfind(bad + ": ", 0), 0u) << bundle->lastError();
    EXPECT_NE(bundle->lastError().find(GetParam().Cause, bad.size()), std::string::npos)
        << bundle->lastError();
    ASSERT_TRUE(bundle->findSlice(0.0));
    EXPECT_EQ(bundle->findSlice(0.0)->grids().size(), 1u);
    EXPECT_TRUE(bundle->findSlice(0.0)->findGrid("good"));
}

INSTANTIATE_TEST_SUITE_P(
    Plexa, BadInputTest,
    testing::Values(
        BadInput{"missing.qz", "", "no such file", writeNothing},
        BadInput{"empty.qz", "", "empty file"},
        BadInput{"text.qz", "x,y,z\n1,2,3\n", "not an HDF5 file"},
        BadInput{"foreign.qz", "", "an HDF5 file but no bundle file (no PlexaFormat attribute)",
                 writeForeignHdf5},
        BadInput{"truncated.qz", "", "truncated: holds ", writeTruncatedBundle},
        BadInput{"corrupt.qz", "", ": /000000/G/Values: H5Dread failed", writeCorruptBundle},
        BadInput{"bad.csv", "x,y,z\n1,2,3\n4,5,6e\n", "line 3: bad number \"6e\""},
        BadInput{"short.csv", "x,y,z\n1,2\n", "line 2: expected 3 values, found 2"},
        BadInput{"narrow.csv", "a,b\n1,2\n",
                 "line 1: a point needs three coordinates, found 2 columns"},
        BadInput{"twice.csv", "x,y,z,i,i\n1,2,3,4,5\n", "line 1: column \"i\" appears twice"},
        BadInput{"empty.csv", "# only a comment\nx,y,z\n\n", "no points"},
        BadInput{"positions.csv", "x,y,z,Positions\n1,2,3,4\n",
                 "a column named \"Positions\" would replace the positions"},
        BadInput{"escape.xyz", "1 2 3\n1 2 \033[2J\n", "line 2: bad number \"\\x1B[2J\""},
        BadInput{
            "notes.txt", "1 2 3\n",
            "unknown file type \".txt\" (known: .csv, .las, .laz, .nc, .nc4, .ply, .qz, .xyz)"}),
    [](const testing::TestParamInfo<BadInput>& info) {
        std::string name = info.param.Name;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

} // namespace
