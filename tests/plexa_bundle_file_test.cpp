// Bundle files: round trips, the layout on disk and what the storage policy changes in it.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using ConvLibTest::findStored;
using ConvLibTest::makeTestStorage;
using ConvLibTest::Stored;

class BundleFileTest : public testing::Test {
protected:
    ConvLibTest::TempDir Dir;
    std::string File = Dir / "bundle.qz";
    Plexa::BundlePtr Sample = ConvLibTest::makeSampleBundle();

    Stored writeWith(const Plexa::StoragePtr& storage) {
        Plexa::BindResult result = Plexa::writeBundleFile(*Sample, File, storage);
        EXPECT_TRUE(result) << result.Text;
        return ConvLibTest::describe(File);
    }
};

TEST_F(BundleFileTest, DefaultPolicyRoundTripIsExactAndLayoutIsPlainHdf5) {
    auto storage = makeTestStorage();
    storage->TrackCreationOrder = true;
    writeWith(storage);
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(File));

    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    EXPECT_GT(H5Aexists(file, "PlexaFormat"), 0);
    EXPECT_GT(H5Aexists_by_name(file, "000001", "Time", H5P_DEFAULT), 0);
    EXPECT_GT(H5Aexists_by_name(file, "000000/Mesh", "Provenance", H5P_DEFAULT), 0);
    for (const char* link : {"000000/a%2Fb%252F.c", "000002/%2Ehidden/1%25%2F", "000002/%/%"})
        EXPECT_GT(H5Lexists(file, link, H5P_DEFAULT), 0) << link;
    hid_t group = H5Gopen2(file, "000000", H5P_DEFAULT);
    hid_t properties = H5Gget_create_plist(group);
    unsigned flags = 0;
    H5Pget_link_creation_order(properties, &flags);
    EXPECT_TRUE(flags & H5P_CRT_ORDER_TRACKED);
    H5Pclose(properties);
    H5Gclose(group);
    H5Fclose(file);
}

TEST_F(BundleFileTest, PolicyChoosesPrecisionShiftAndFilters) {
    auto storage = makeTestStorage();
    storage->Answer = ConvLibTest::automaticSettings(true, true);
    storage->Answer.ExtraFilter = true;
    storage->Answer.DeflateLevel = 3;
    storage->DeflateFields = storage->ShuffleFields = true;
    const Stored fields = writeWith(storage);
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(File), 1e-6);

    const Plexa::StoredField& positions = findStored(fields, "Mesh", "Positions", 0.5);
    EXPECT_EQ(positions.StoredType, "float32");
    EXPECT_EQ(positions.MemoryType, "float64");
    EXPECT_EQ(positions.Shape, (std::vector<unsigned long long>{50, 3}));
    EXPECT_TRUE(positions.Chunked && positions.Deflate && positions.Shuffle &&
                positions.Fletcher32);
    EXPECT_EQ(positions.DeflateLevel, 3);
    ASSERT_EQ(positions.Shift.size(), 3u);
    EXPECT_DOUBLE_EQ(positions.Shift[0], 6.0e5 + 0.5 + 12.0);
    const Plexa::StoredField& labels = findStored(fields, "Mesh", "Labels", 0.5);
    EXPECT_EQ(labels.StoredType, "int32");
    EXPECT_TRUE(labels.Shift.empty());
    EXPECT_FALSE(findStored(fields, "Mesh", "Nothing", 0.5).Chunked);
}

TEST_F(BundleFileTest, CompactFieldsAreUnfiltered) {
    auto compact = makeTestStorage();
    compact->Answer = ConvLibTest::automaticSettings(false, false);
    compact->DeflateFields = compact->CompactSmallFields = true;
    // Just under the compact limit, and just over it: both must be writable.
    Sample->findSlice(0)->findGrid("Mesh")->addField("Largest", Plexa::makeArray<double>(8063));
    Sample->findSlice(0)->findGrid("Mesh")->addField("Larger", Plexa::makeArray<double>(8064));
    const Stored fields = writeWith(compact);
    EXPECT_TRUE(findStored(fields, "Mesh", "Positions").Compact);
    EXPECT_TRUE(findStored(fields, "Mesh", "Largest").Compact);
    EXPECT_TRUE(findStored(fields, "Mesh", "Larger").Deflate);
}

TEST_F(BundleFileTest, PolicyHooksRunInOrderAndDecideWhatIsWritten) {
    auto storage = makeTestStorage();
    storage->DeflateFields = storage->ShuffleFields = true; // not for strategy 0
    storage->UnsaveableFields = {"Labels"};
    storage->SkippedFields = {"Ids"};
    storage->SavedFields = {"Flags"};
    const Stored fields = writeWith(storage);
    for (const char* absent : {"Labels", "Ids", "Flags"})
        EXPECT_EQ(findStored(fields, "Mesh", absent).Field, "") << absent;
    const Plexa::StoredField& plain = findStored(fields, "Mesh", "Positions");
    EXPECT_EQ(plain.StoredType, "float64");
    EXPECT_FALSE(plain.Chunked || plain.Compact || plain.Deflate || plain.Shuffle);
    const std::vector<std::string> firstCalls(storage->Calls.begin(), storage->Calls.begin() + 13);
    EXPECT_EQ(
        firstCalls,
        (std::vector<std::string>{
            "isSaveableField Flags", "SkipStorage Flags", "isSaveableFragment Flags",
            "isSaved Flags", "isSaveableField Ids", "SkipStorage Ids", "isSaveableField Labels",
            "isSaveableField Nothing", "SkipStorage Nothing", "isSaveableFragment Nothing",
            "isSaved Nothing", "setFieldPacking Nothing", "getFilterSettings Nothing"}));
}

// The stored values of a dataset as floats, and its shift.
std::vector<float> readStored(const std::string& file, const char* path,
                              std::vector<double>& shift) {
    hid_t handle = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t dataset = H5Dopen2(handle, path, H5P_DEFAULT);
    hid_t space = H5Dget_space(dataset);
    std::vector<float> stored(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    EXPECT_GE(H5Dread(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, stored.data()), 0);
    hid_t attribute = H5Aopen(dataset, "Shift", H5P_DEFAULT);
    hid_t attributeSpace = H5Aget_space(attribute);
    shift.resize(static_cast<std::size_t>(H5Sget_simple_extent_npoints(attributeSpace)));
    EXPECT_GE(H5Aread(attribute, H5T_NATIVE_DOUBLE, shift.data()), 0);
    H5Sclose(attributeSpace);
    H5Aclose(attribute);
    H5Sclose(space);
    H5Dclose(dataset);
    H5Fclose(handle);
    return stored;
}

// The shift is the midpoint of each component's finite values; each value less its component's
// shift, in single precision, bit for bit (NaN included).
template <class T>
void expectShiftedSingles(const Plexa::MemArray<T>& values, const char* path,
                          const std::string& file) {
    std::vector<double> shift;
    const std::vector<float> stored = readStored(file, path, shift);
    ASSERT_EQ(stored.size(), values.elementCount());
    const auto components = static_cast<std::size_t>(values.components());
    std::vector<double> low(components, INFINITY);
    std::vector<double> high(components, -INFINITY);
    for (std::size_t i = 0; i < values.elementCount(); ++i)
        if (std::isfinite(values.data()[i])) {
            low[i % components] = std::min<double>(low[i % components], values.data()[i]);
            high[i % components] = std::max<double>(high[i % components], values.data()[i]);
        }
    ASSERT_EQ(shift.size(), components);
    for (std::size_t c = 0; c < components; ++c)
        EXPECT_EQ(shift[c], low[c] / 2 + high[c] / 2) << path << " component " << c;
    std::vector<float> expected(stored.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<float>(values.data()[i] - shift[i % shift.size()]);
    EXPECT_EQ(std::memcmp(expected.data(), stored.data(), stored.size() * sizeof(float)), 0)
        << path;
}

// Large fields are converted a block at a time: contiguous, chunked or deflated on the workers, no
// value may be lost or moved at a block or chunk boundary.
TEST_F(BundleFileTest, ConvertedFieldsKeepEveryValueAcrossBlocks) {
    constexpr std::size_t Rows = 200001; // more than two blocks, the last one partial
    auto positions = Plexa::makeArray<double>(Rows, 3);
    auto heights = Plexa::makeArray<float>(3 * Rows);
    for (std::size_t i = 0; i < positions->elementCount(); ++i) {
        positions->data()[i] = 6.0e5 + 1.0e3 * std::sin(static_cast<double>(i)) + i % 3;
        heights->data()[i] = static_cast<float>(i) * 0.25f;
    }
    positions->data()[4] = std::nan("");
    Plexa::Bundle bundle;
    Plexa::GridPtr grid = bundle.addSlice(0)->addGrid("Grid");
    grid->addField("Positions", positions);
    grid->addField("Heights", heights);
    for (auto [chunked, deflated] :
         std::vector<std::pair<bool, bool>>{{false, false}, {true, false}, {true, true}}) {
        auto storage = makeTestStorage();
        storage->Answer = ConvLibTest::automaticSettings(true, true);
        storage->DeflateFields = storage->ShuffleFields = deflated;
        if (!chunked)
            storage->Answer.setAutomaticStrategy(Plexa::StorageTransformations::NoAutomaticFilters);
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, File, storage));
        EXPECT_EQ(findStored(ConvLibTest::describe(File), "Grid", "Positions").Chunked, chunked);
        expectShiftedSingles(*positions, "000000/Grid/Positions", File);
        // floats are no doubles to narrow: they stay exact
        const Plexa::GridPtr loaded = ConvLibTest::firstGrid(File, "Grid");
        ASSERT_TRUE(loaded);
        EXPECT_EQ(std::memcmp(loaded->findField("Heights")->Data->rawData(), heights->data(),
                              heights->byteSize()),
                  0);
    }
}

std::string formatOf(const std::string& file) {
    hid_t handle = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t attribute = H5Aopen(handle, "PlexaFormat", H5P_DEFAULT);
    hid_t type = H5Aget_type(attribute);
    std::string text(H5Tget_size(type), '\0');
    H5Aread(attribute, type, text.data());
    H5Tclose(type);
    H5Aclose(attribute);
    H5Fclose(handle);
    return text.c_str();
}

// 1 to 3 axes, uniform and rectilinear, side by side in one slice, stored exactly and in single
// precision with a shift (whose attribute must not clash with a user's attribute "Shift").
TEST_F(BundleFileTest, StructuredGridsKeepTheirAxesFieldsAndFieldAttributes) {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    Plexa::SlicePtr slice = bundle->addSlice(3.5);
    for (bool uniform : {true, false}) {
        const std::string kind = uniform ? "uniform" : "rectilinear";
        ConvLibTest::addStructuredGrid(*slice, kind + "1", {7}, uniform);
        ConvLibTest::addStructuredGrid(*slice, kind + "2", {3, 4}, uniform);
        ConvLibTest::addStructuredGrid(*slice, kind + "3", {2, 3, 5}, uniform);
    }
    slice->addGrid("cloud")->addField("Positions", Plexa::makeArray<double>(4, 3));
    for (auto [automatic, single] :
         std::vector<std::pair<bool, bool>>{{false, false}, {true, false}, {true, true}}) {
        auto storage = makeTestStorage();
        if (automatic) storage->Answer = ConvLibTest::automaticSettings(single, true);
        ASSERT_TRUE(Plexa::writeBundleFile(*bundle, File, storage));
        ConvLibTest::expectSameBundles(*bundle, *ConvLibTest::loadBundle(File), single ? 1e-6 : 0);
        const Stored fields = ConvLibTest::describe(File);
        EXPECT_EQ(fields.size(), 13u) << "the axes are no fields";
        const Plexa::StoredField& wind = findStored(fields, "rectilinear3", "Wind", 3.5);
        EXPECT_EQ(wind.Shift.size(), single ? 3u : 0u);
        EXPECT_EQ(wind.rows(), 30u);
        EXPECT_EQ(wind.components(), 3u);
        EXPECT_EQ(findStored(fields, "uniform3", "Temperature", 3.5).Shape,
                  (std::vector<unsigned long long>{2, 3, 5}))
            << "the grid's shape, as netCDF readers expect it";
    }
    EXPECT_EQ(formatOf(File), "bundle 3");
    ASSERT_TRUE(Plexa::writeBundleFile(*ConvLibTest::makeSampleBundle(), File, makeTestStorage()));
    EXPECT_EQ(formatOf(File), "bundle 3") << "older programs would misread packed fields";
}

TEST_F(BundleFileTest, StructuredGridWithAFieldOfAnotherSizeIsNotSavedAndTheOldFileStays) {
    writeWith(makeTestStorage());
    Plexa::Bundle bundle;
    ConvLibTest::addStructuredGrid(*bundle.addSlice(0), "Grid", {3, 4}, true)
        ->addField("Short", Plexa::makeArray<float>(11));
    const Plexa::BindResult result = Plexa::writeBundleFile(bundle, File, makeTestStorage());
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Text, File + ": grid \"Grid\" at time 0: field \"Short\" holds 11 "
                                  "tuples, but the structured 3 x 4 (latitude, longitude) grid "
                                  "has 12 nodes");
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(File));
}

// A policy that cuts every dimension into halves, so that chunks hold no whole slabs of the first
// dimension and HDF5 runs the filters itself.
class HalvingStorage : public ConvLibTest::TestStorage {
public:
    Plexa::DynamicSize computeChunkSize(const Plexa::DynamicSize& shape, unsigned long long,
                                        std::string& description) override {
        Plexa::DynamicSize chunk = shape;
        for (unsigned long long& extent : chunk.Extent)
            extent = (extent + 1) / 2;
        description = "halves";
        return chunk;
    }
};

// Fields of many nodes are converted and written by slabs of the first axis: contiguous, in
// chunks of whole slabs encoded on the workers, or in chunks that cut slabs, no value may be lost
// or moved at a boundary.
TEST_F(BundleFileTest, LargeStructuredFieldsKeepEveryValueAcrossSlabsAndChunks) {
    Plexa::Bundle bundle;
    Plexa::GridPtr grid =
        ConvLibTest::addStructuredGrid(*bundle.addSlice(0), "era", {37, 60, 61}, false);
    auto noise = Plexa::makeArray<double>(grid->topology().nodeCount(), 2);
    for (std::size_t i = 0; i < noise->elementCount(); ++i)
        noise->data()[i] = 1.0e3 * std::sin(static_cast<double>(i));
    grid->addField("Noise", noise);
    for (int policy = 0; policy < 4; ++policy) {
        Quorix::StrongPtr<ConvLibTest::TestStorage, Quorix::InterfaceBase> storage(
            policy == 3 ? new HalvingStorage : new ConvLibTest::TestStorage);
        const bool single = policy == 2;
        if (policy > 0) storage->Answer = ConvLibTest::automaticSettings(single, true);
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, File, storage));
        ConvLibTest::expectSameBundles(bundle, *ConvLibTest::loadBundle(File), single ? 1e-6 : 0);
        EXPECT_EQ(findStored(ConvLibTest::describe(File), "era", "Noise").Shape,
                  (std::vector<unsigned long long>{37, 60, 61, 2}));
    }
}

// Each axis is a dataset of its grid's group named after it: a field or a second axis of that
// name is refused with both named, and the previous file stays.
TEST_F(BundleFileTest, AxisSharingItsNameWithAFieldOrAxisIsNotSaved) {
    writeWith(makeTestStorage());
    Plexa::Bundle bundle;
    Plexa::GridPtr grid = ConvLibTest::addStructuredGrid(*bundle.addSlice(0), "Grid", {3, 4}, true);
    grid->addField("latitude", Plexa::makeArray<float>(12));
    Plexa::BindResult result = Plexa::writeBundleFile(bundle, File, makeTestStorage());
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Text, File + ": grid \"Grid\" at time 0: the field \"latitude\" has the "
                                  "name of the axis \"latitude\", which is stored under its name; "
                                  "rename the field");
    Plexa::Topology twice = grid->topology();
    twice.Axes[1].Name = "latitude";
    grid->removeField("latitude");
    std::string error;
    ASSERT_TRUE(grid->setTopology(twice, error)) << error;
    result = Plexa::writeBundleFile(bundle, File, makeTestStorage());
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Text, File + ": grid \"Grid\" at time 0: axes 0 and 1 are both named "
                                  "\"latitude\", but each axis is stored under its name");
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(File));
}

TEST_F(BundleFileTest, DescribeRefusesWhatIsNoBundleFile) {
    Stored fields;
    std::string error;
    EXPECT_FALSE(Plexa::describeFile(Dir.write("text.qz", "hello\n"), fields, error));
    EXPECT_EQ(error, Dir / "text.qz" + ": not an HDF5 file");
}

} // namespace

namespace {

// Time steps of one layout share its axes: the file holds the coordinates once.
TEST_F(BundleFileTest, TimeStepsOfOneLayoutShareTheirAxes) {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    for (double time : {0.0, 1.0, 2.0})
        ConvLibTest::addStructuredGrid(*bundle->addSlice(time), "era", {3, 4, 5}, false);
    ConvLibTest::addStructuredGrid(*bundle->addSlice(2.0), "other", {3, 4, 6}, false);
    ASSERT_TRUE(Plexa::writeBundleFile(*bundle, File, makeTestStorage()));
    ConvLibTest::expectSameBundles(*bundle, *ConvLibTest::loadBundle(File));
    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    H5O_info_t info;
    ASSERT_GE(H5Oget_info_by_name2(file, "000002/era/.axes", &info, H5O_INFO_BASIC, H5P_DEFAULT),
              0);
    EXPECT_EQ(info.rc, 3u);
    ASSERT_GE(H5Oget_info_by_name2(file, "000002/era/latitude", &info, H5O_INFO_BASIC, H5P_DEFAULT),
              0);
    EXPECT_EQ(info.rc, 3u) << "the coordinate variables are linked as well";
    ASSERT_GE(H5Oget_info_by_name2(file, "000002/other/.axes", &info, H5O_INFO_BASIC, H5P_DEFAULT),
              0);
    EXPECT_EQ(info.rc, 1u);
    H5Fclose(file);
}

// A bundle of the given steps of one structured grid.
Plexa::BundlePtr stepsOfOneGrid(std::initializer_list<double> times) {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    for (double time : times)
        ConvLibTest::addStructuredGrid(*bundle->addSlice(time), "era", {3, 4, 5}, false);
    return bundle;
}

// The steps of the bundle at the given times, as one part of a file written in parts.
Plexa::BundlePtr partOf(const Plexa::Bundle& bundle, std::initializer_list<double> times) {
    Plexa::BundlePtr part(new Plexa::Bundle);
    for (double time : times)
        for (const auto& [name, grid] : bundle.findSlice(time)->grids())
            part->addSlice(time)->insertGrid(grid);
    return part;
}

std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().front() == '.') names.push_back(entry.path());
    return names;
}

// Parts make the file a whole save makes: the same values, and axes linked across the parts; a
// load of some of its times reads those alone.
TEST_F(BundleFileTest, AFileWrittenInPartsIsTheFileOfOneSave) {
    const Plexa::BundlePtr whole = stepsOfOneGrid({0, 1, 2, 3, 4});
    Plexa::BundleFileParts parts(File, makeTestStorage());
    for (const auto& times : {std::initializer_list<double>{0, 1}, {2, 3}, {4}}) {
        ASSERT_TRUE(parts.append(*partOf(*whole, times)));
        EXPECT_FALSE(std::filesystem::exists(File)) << "the file appears at the commit";
    }
    ASSERT_TRUE(parts.commit());
    ConvLibTest::expectSameBundles(*whole, *ConvLibTest::loadBundle(File));
    Plexa::ReadOptions some;
    some.Times = {1, 3};
    const ConvLibTest::Loaded selected = ConvLibTest::tryLoad(File, some);
    ASSERT_EQ(selected.Error, "");
    ConvLibTest::expectSameBundles(*partOf(*whole, {1, 3}), *selected.Bundle);
    const std::string oneSave = Dir / "one-save.qz";
    ASSERT_TRUE(Plexa::writeBundleFile(*whole, oneSave, makeTestStorage()));
    const Stored inParts = ConvLibTest::describe(File), inOne = ConvLibTest::describe(oneSave);
    ASSERT_EQ(inParts.size(), inOne.size());
    for (std::size_t i = 0; i < inOne.size(); ++i) {
        EXPECT_EQ(inParts[i].Path, inOne[i].Path);
        EXPECT_EQ(inParts[i].StoredType, inOne[i].StoredType) << inOne[i].Path;
    }
    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    H5O_info_t info;
    ASSERT_GE(H5Oget_info_by_name2(file, "000004/era/.axes", &info, H5O_INFO_BASIC, H5P_DEFAULT),
              0);
    EXPECT_EQ(info.rc, 5u);
    H5Fclose(file);
}

// A part that goes back in time is refused, the writer refuses what follows, and the old file
// stays; so does it when the writer is let go, or its process killed, between parts, and the next
// process's save removes the killed one's temporary file.
TEST_F(BundleFileTest, PartsLeaveTheOldFileUntilTheCommitAndNoTemporaryAfterThem) {
    ASSERT_TRUE(Plexa::writeBundleFile(*Sample, File, makeTestStorage()));
    const std::string old = ConvLibTest::readFile(File);
    {
        Plexa::BundleFileParts parts(File, makeTestStorage());
        ASSERT_TRUE(parts.append(*stepsOfOneGrid({5, 6})));
        const Plexa::BindResult back = parts.append(*stepsOfOneGrid({4}));
        EXPECT_FALSE(back);
        EXPECT_NE(back.Text.find("a part beginning at time 4 does not follow the time 6"),
                  std::string::npos)
            << back.Text;
        EXPECT_FALSE(parts.commit());
    }
    {
        Plexa::BundleFileParts parts(File, makeTestStorage());
        ASSERT_TRUE(parts.append(*stepsOfOneGrid({5})));
    }
    EXPECT_EQ(ConvLibTest::readFile(File), old);
    EXPECT_TRUE(temporariesIn(Dir.path()).empty());

    // in a folder this process has not saved into yet, whose first save cleans it up
    std::filesystem::create_directory(Dir / "killed");
    const std::string target = Dir / "killed/bundle.qz";
    std::filesystem::copy_file(File, target);
    const pid_t killed = ::fork();
    if (killed == 0) {
        Plexa::BundleFileParts parts(target, makeTestStorage());
        parts.append(*stepsOfOneGrid({5}));
        ::raise(SIGKILL);
    }
    ASSERT_GT(killed, 0);
    ::waitpid(killed, nullptr, 0);
    EXPECT_EQ(ConvLibTest::readFile(target), old);
    EXPECT_EQ(temporariesIn(Dir / "killed").size(), 1u) << "a killed process leaves its temporary";
    ASSERT_TRUE(Plexa::writeBundleFile(*Sample, Dir / "killed/next.qz", makeTestStorage()));
    EXPECT_TRUE(temporariesIn(Dir / "killed").empty());
}

} // namespace
