// Bundle files: round trips, the layout on disk and what the storage policy changes in it.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>

namespace {

using ConvLibTest::makeTestStorage;

const Plexa::StoredField* findStored(const std::vector<Plexa::StoredField>& fields, double time,
                                     const std::string& grid, const std::string& field) {
    auto found = std::find_if(fields.begin(), fields.end(), [&](const Plexa::StoredField& f) {
        return f.Time == time && f.Grid == grid && f.Field == field;
    });
    return found == fields.end() ? nullptr : &*found;
}

std::vector<Plexa::StoredField> describe(const std::string& file) {
    std::vector<Plexa::StoredField> fields;
    std::string error;
    EXPECT_TRUE(Plexa::describeFile(file, fields, error)) << error;
    return fields;
}

class BundleFileTest : public testing::Test {
protected:
    ConvLibTest::TempDir Dir;
    std::string File = Dir / "bundle.qz";
    Plexa::BundlePtr Sample = ConvLibTest::makeSampleBundle();

    std::vector<Plexa::StoredField> writeWith(const Plexa::StoragePtr& storage) {
        Plexa::BindResult result = Plexa::writeBundleFile(*Sample, File, storage);
        EXPECT_TRUE(result) << result.Text;
        return describe(File);
    }
};

TEST_F(BundleFileTest, DefaultPolicyRoundTripIsExact) {
    Plexa::BindResult result = Plexa::writeBundleFile(*Sample, File, Plexa::StoragePtr());
    ASSERT_TRUE(result) << result.Text;
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(File));
}

TEST_F(BundleFileTest, SinglePrecisionAndShiftRoundTripWithinFloatTolerance) {
    auto storage = makeTestStorage();
    storage->Answer = ConvLibTest::automaticSettings(true, true);
    storage->DeflateFields = storage->ShuffleFields = true;
    writeWith(storage);
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(File), 1e-6);
}

TEST_F(BundleFileTest, LayoutIsReadableWithPlainHdf5) {
    ASSERT_TRUE(Plexa::writeBundleFile(*Sample, File, Plexa::StoragePtr()));
    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    EXPECT_GT(H5Aexists(file, "PlexaFormat"), 0);
    EXPECT_GT(H5Lexists(file, "000002", H5P_DEFAULT), 0);
    EXPECT_GT(H5Aexists_by_name(file, "000001", "Time", H5P_DEFAULT), 0);
    EXPECT_GT(H5Lexists(file, "000000/a%2Fb%252F.c", H5P_DEFAULT), 0);
    EXPECT_GT(H5Lexists(file, "000002/%2Ehidden/1%25%2F", H5P_DEFAULT), 0);
    EXPECT_GT(H5Lexists(file, "000002/%/%", H5P_DEFAULT), 0);
    EXPECT_GT(H5Aexists_by_name(file, "000000/Mesh", "Provenance", H5P_DEFAULT), 0);
    hid_t positions = H5Dopen2(file, "000000/Mesh/Positions", H5P_DEFAULT);
    hid_t space = H5Dget_space(positions);
    hsize_t shape[2] = {};
    EXPECT_EQ(H5Sget_simple_extent_dims(space, shape, nullptr), 2);
    EXPECT_EQ(shape[0], 50u);
    EXPECT_EQ(shape[1], 3u);
    H5Sclose(space);
    H5Dclose(positions);
    H5Fclose(file);
}

TEST_F(BundleFileTest, PolicyChoosesPrecisionShiftAndFilters) {
    auto storage = makeTestStorage();
    storage->Answer = ConvLibTest::automaticSettings(true, true);
    storage->Answer.ExtraFilter = true;
    storage->Answer.DeflateLevel = 3;
    storage->DeflateFields = storage->ShuffleFields = true;
    const std::vector<Plexa::StoredField> fields = writeWith(storage);

    const Plexa::StoredField* positions = findStored(fields, 0.5, "Mesh", "Positions");
    ASSERT_NE(positions, nullptr);
    EXPECT_EQ(positions->StoredType, "float32");
    EXPECT_EQ(positions->MemoryType, "float64");
    EXPECT_EQ(positions->Shape, (std::vector<unsigned long long>{50, 3}));
    EXPECT_TRUE(positions->Chunked && positions->Deflate && positions->Shuffle &&
                positions->Fletcher32);
    EXPECT_EQ(positions->DeflateLevel, 3);
    ASSERT_EQ(positions->Shift.size(), 3u);
    EXPECT_DOUBLE_EQ(positions->Shift[0], 6.0e5 + 0.5 + 12.0);

    const Plexa::StoredField* labels = findStored(fields, 0.5, "Mesh", "Labels");
    ASSERT_NE(labels, nullptr);
    EXPECT_EQ(labels->StoredType, "int32");
    EXPECT_EQ(labels->MemoryType, "int32");
    EXPECT_TRUE(labels->Shift.empty());

    const Plexa::StoredField* empty = findStored(fields, 0.5, "Mesh", "Nothing");
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->Chunked);
}

TEST_F(BundleFileTest, StrategyZeroAndCompactFieldsAreUnfiltered) {
    auto contiguous = makeTestStorage();
    contiguous->DeflateFields = contiguous->ShuffleFields = true;
    const Plexa::StoredField plain = *findStored(writeWith(contiguous), 0, "Mesh", "Positions");
    EXPECT_EQ(plain.StoredType, "float64");
    EXPECT_FALSE(plain.Chunked || plain.Deflate || plain.Shuffle || plain.Fletcher32);

    auto compact = makeTestStorage();
    compact->Answer = ConvLibTest::automaticSettings(false, false);
    compact->DeflateFields = compact->CompactSmallFields = true;
    // Just under the compact limit, and just over it: both must be writable.
    Sample->findSlice(0)->findGrid("Mesh")->addField("Largest", Plexa::makeArray<double>(8063));
    Sample->findSlice(0)->findGrid("Mesh")->addField("Larger", Plexa::makeArray<double>(8064));
    const std::vector<Plexa::StoredField> fields = writeWith(compact);
    EXPECT_FALSE(findStored(fields, 0, "Mesh", "Positions")->Chunked);
    EXPECT_FALSE(findStored(fields, 0, "Mesh", "Largest")->Chunked);
    EXPECT_TRUE(findStored(fields, 0, "Mesh", "Larger")->Deflate);
}

TEST_F(BundleFileTest, PolicyHooksRunInOrderAndDecideWhatIsWritten) {
    auto storage = makeTestStorage();
    storage->UnsaveableFields = {"Labels"};
    storage->SkippedFields = {"Ids"};
    storage->SavedFields = {"Flags"};
    const std::vector<Plexa::StoredField> fields = writeWith(storage);
    EXPECT_EQ(findStored(fields, 0, "Mesh", "Labels"), nullptr);
    EXPECT_EQ(findStored(fields, 0, "Mesh", "Ids"), nullptr);
    EXPECT_EQ(findStored(fields, 0, "Mesh", "Flags"), nullptr);
    EXPECT_NE(findStored(fields, 0, "Mesh", "Temperature"), nullptr);

    const std::vector<std::string> firstCalls(storage->Calls.begin(), storage->Calls.begin() + 12);
    EXPECT_EQ(firstCalls,
              (std::vector<std::string>{
                  "isSaveableField Flags", "SkipStorage Flags", "isSaveableFragment Flags",
                  "isSaved Flags", "isSaveableField Ids", "SkipStorage Ids",
                  "isSaveableField Labels", "isSaveableField Nothing", "SkipStorage Nothing",
                  "isSaveableFragment Nothing", "isSaved Nothing", "setFieldPacking Nothing"}));
    EXPECT_EQ(storage->Calls[12], "getFilterSettings Nothing");
}

TEST_F(BundleFileTest, CreationOrderIsTrackedOnRequest) {
    auto storage = makeTestStorage();
    storage->TrackCreationOrder = true;
    writeWith(storage);
    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t group = H5Gopen2(file, "000000", H5P_DEFAULT);
    hid_t properties = H5Gget_create_plist(group);
    unsigned flags = 0;
    H5Pget_link_creation_order(properties, &flags);
    EXPECT_TRUE(flags & H5P_CRT_ORDER_TRACKED);
    H5Pclose(properties);
    H5Gclose(group);
    H5Fclose(file);
}

TEST_F(BundleFileTest, DescribeRefusesWhatIsNoBundleFile) {
    std::vector<Plexa::StoredField> fields;
    std::string error;
    EXPECT_FALSE(Plexa::describeFile(Dir.write("text.qz", "hello\n"), fields, error));
    EXPECT_EQ(error, Dir / "text.qz" + ": not an HDF5 file");
}

} // namespace
