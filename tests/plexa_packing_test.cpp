// Storage forms: exact integer packing, exact floats and own precision by default, lossy forms
// only when asked with their errors recorded, and files of the older format still read.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

using ConvLibTest::findStored;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Bit for bit, NaN included.
bool sameBits(const Plexa::MemBase& a, const Plexa::MemBase& b) {
    return a.elementType() == b.elementType() && a.size() == b.size() &&
           a.components() == b.components() &&
           std::memcmp(a.rawData(), b.rawData(), a.byteSize()) == 0;
}

class PackingTest : public testing::Test {
protected:
    ConvLibTest::TempDir Dir;
    std::string File = Dir / "packed.qz";
    Plexa::BundlePtr Bundle{new Plexa::Bundle};
    Plexa::GridPtr Grid = Bundle->addSlice(0)->addGrid("cloud");
    ConvLibTest::TestStoragePtr policy(bool single = false) {
        auto storage = ConvLibTest::makeTestStorage();
        storage->Answer = ConvLibTest::automaticSettings(single, true);
        storage->DeflateFields = storage->ShuffleFields = true;
        return storage;
    }

    // Integers * scale + offset per component, as a LAS reader makes them, with the hint.
    Plexa::Field& addPacked(const std::string& name, std::vector<double> scale,
                            std::vector<double> offset, std::size_t rows = 1000) {
        const int components = static_cast<int>(scale.size());
        auto values = Plexa::makeArray<double>(rows, components);
        for (std::size_t row = 0; row < rows; ++row)
            for (int c = 0; c < components; ++c)
                (*values)(row, c) =
                    static_cast<double>(static_cast<std::int64_t>(row * 7919 % 4001) - 2000 + c) *
                        scale[c] +
                    offset[c];
        Plexa::Field& field = Grid->addField(name, values);
        field.Packed = {std::move(scale), std::move(offset), std::nullopt};
        return field;
    }

    Plexa::GridPtr saveAndLoad(const Plexa::StoragePtr& storage) {
        const Plexa::BindResult written = Plexa::writeBundleFile(*Bundle, File, storage);
        EXPECT_TRUE(written) << written.Text;
        return ConvLibTest::firstGrid(File, "cloud");
    }
};

TEST_F(PackingTest, DefaultsStoreEveryElementTypeBitForBit) {
    addPacked("Positions", {0.01, 0.01, 0.001}, {637000.5, 849000.25, 0});
    addPacked("Level", {0.1}, {-3.3});
    auto gps = Plexa::makeArray<double>(1000);
    auto single = Plexa::makeArray<double>(1000);
    for (std::size_t i = 0; i < 1000; ++i) {
        (*gps)(i) = 4.0e5 + static_cast<double>(i) * 1.234567e-6;
        (*single)(i) = static_cast<double>(static_cast<float>(std::sqrt(i + 0.5)));
    }
    Grid->addField("Gps", gps);
    Grid->addField("FromFloats", single);
#define ADD_TYPED(T, name)                                                                         \
    {                                                                                              \
        auto typed = Plexa::makeArray<T>(1000, 2);                                                 \
        for (std::size_t i = 0; i < 2000; ++i)                                                     \
            typed->data()[i] = static_cast<T>(i * 37);                                             \
        Grid->addField(std::string("typed ") + name, typed);                                       \
    }
    PLEXA_ELEMENT_TYPES(ADD_TYPED)
#undef ADD_TYPED
    // a stale hint: the values are not integers * scale, so they are kept as they are
    addPacked("Stale", {0.25}, {0}).Packed.Scale = {0.3};

    const Plexa::GridPtr loaded = saveAndLoad(policy());
    ASSERT_TRUE(loaded);
    for (const auto& [name, field] : Grid->fields()) {
        const Plexa::Field* back = loaded->findField(name);
        ASSERT_TRUE(back && back->Data) << name;
        EXPECT_TRUE(sameBits(*field.Data, *back->Data)) << name;
    }
    const ConvLibTest::Stored stored = ConvLibTest::describe(File);
    const Plexa::StoredField& positions = findStored(stored, "cloud", "Positions");
    EXPECT_TRUE(positions.SplitComponents);
    EXPECT_EQ(positions.StoredType, "int16");
    EXPECT_EQ(positions.Offset, (std::vector<double>{637000.5, 849000.25, 0}));
    EXPECT_EQ(positions.Shape, (std::vector<unsigned long long>{1000, 3}));
    EXPECT_FALSE(findStored(stored, "cloud", "Level").SplitComponents);
    EXPECT_EQ(findStored(stored, "cloud", "Level").StoredType, "int16");
    EXPECT_EQ(findStored(stored, "cloud", "Gps").StoredType, "float64");
    EXPECT_EQ(findStored(stored, "cloud", "FromFloats").StoredType, "float32");
    EXPECT_TRUE(findStored(stored, "cloud", "Stale").Scale.empty());
    EXPECT_EQ(findStored(stored, "cloud", "typed uint64").StoredType, "uint64");
    // the loader gives the packing back, so a second save stores the very same integers
    EXPECT_EQ(loaded->findField("Positions")->Packed.Scale,
              (std::vector<double>{0.01, 0.01, 0.001}));
}

TEST_F(PackingTest, NanBecomesTheFillAndBack) {
    Plexa::Field& field = addPacked("z", {0.5}, {100});
    field.Packed.Fill = -32767;
    auto& values = static_cast<Plexa::MemArray<double>&>(*field.Data);
    values(3) = NaN;
    values(999) = NaN;
    const Plexa::GridPtr loaded = saveAndLoad(policy());
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(sameBits(*field.Data, *loaded->findField("z")->Data));
    EXPECT_EQ(loaded->findField("z")->Packed.Fill, std::optional<std::int64_t>(-32767));

    // without a fill, NaN cannot be packed: the doubles are kept
    field.Packed.Fill.reset();
    const Plexa::GridPtr plain = saveAndLoad(policy());
    EXPECT_TRUE(sameBits(*field.Data, *plain->findField("z")->Data));
    EXPECT_TRUE(findStored(ConvLibTest::describe(File), "cloud", "z").Scale.empty());
}

TEST_F(PackingTest, SinglePrecisionWhenAskedStaysWithinItsRecordedError) {
    addPacked("Positions", {0.001, 0.001, 0.001}, {6.0e5, 4.0e6, 0});
    const Plexa::GridPtr loaded = saveAndLoad(policy(true));
    ASSERT_TRUE(loaded);
    const Plexa::StoredField stored = findStored(ConvLibTest::describe(File), "cloud", "Positions");
    EXPECT_EQ(stored.StoredType, "float32");
    ASSERT_EQ(stored.Shift.size(), 3u);
    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    double recorded = -1;
    hid_t attribute = H5Aopen_by_name(file, "000000/cloud/Positions", "MaximumAbsoluteError",
                                      H5P_DEFAULT, H5P_DEFAULT);
    H5Aread(attribute, H5T_NATIVE_DOUBLE, &recorded);
    H5Aclose(attribute);
    H5Fclose(file);
    const auto& original =
        static_cast<const Plexa::MemArray<double>&>(*Grid->findField("Positions")->Data);
    const auto& back =
        static_cast<const Plexa::MemArray<double>&>(*loaded->findField("Positions")->Data);
    double largest = 0;
    for (std::size_t i = 0; i < original.elementCount(); ++i)
        largest = std::max(largest, std::fabs(original.data()[i] - back.data()[i]));
    EXPECT_GT(largest, 0);
    EXPECT_EQ(largest, recorded);
}

TEST_F(PackingTest, KeptBitsRoundWithinTheirBound) {
    auto values = Plexa::makeArray<double>(4000);
    for (std::size_t i = 0; i < 4000; ++i)
        (*values)(i) = std::sin(static_cast<double>(i)) * 1.0e4 + (i == 7 ? NaN : 0);
    Grid->addField("Wave", values);
    auto storage = policy();
    storage->Precision.askKeptBits(10, {"Wave"});
    const Plexa::GridPtr loaded = saveAndLoad(storage);
    ASSERT_TRUE(loaded);
    const auto& back =
        static_cast<const Plexa::MemArray<double>&>(*loaded->findField("Wave")->Data);
    EXPECT_TRUE(std::isnan(back(7)));
    bool changed = false;
    for (std::size_t i = 0; i < 4000; ++i) {
        if (i == 7) continue;
        // BitRound to 10 bits: relative error at most 2^-11
        EXPECT_LE(std::fabs(back(i) - (*values)(i)), std::fabs((*values)(i)) * 0x1p-11) << i;
        changed = changed || back(i) != (*values)(i);
    }
    EXPECT_TRUE(changed);
}

TEST_F(PackingTest, NarrowingBeyondFloatRangeIsRefusedByName) {
    auto values = Plexa::makeArray<double>(3);
    (*values)(0) = -1e300;
    (*values)(1) = 1e300;
    Grid->addField("x", values);
    const Plexa::BindResult written = Plexa::writeBundleFile(*Bundle, File, policy(true));
    ASSERT_FALSE(written);
    EXPECT_NE(written.Text.find(File), std::string::npos) << written.Text;
    EXPECT_NE(written.Text.find("field \"x\": the value -1e+300"), std::string::npos)
        << written.Text;

    // the default keeps such values exactly
    const Plexa::GridPtr loaded = saveAndLoad(policy());
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(sameBits(*values, *loaded->findField("x")->Data));
}

// A file as the previous format wrote it: floats relative to a shift, and a user attribute named
// scale_factor that was the user's then.
TEST_F(PackingTest, OlderFilesKeepLoading) {
    hid_t file = H5Fcreate(File.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    auto text = [](hid_t object, const char* name, const std::string& value) {
        hid_t type = H5Tcopy(H5T_C_S1);
        H5Tset_size(type, value.size());
        hid_t space = H5Screate(H5S_SCALAR);
        hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(attribute, type, value.data());
        H5Aclose(attribute);
        H5Sclose(space);
        H5Tclose(type);
    };
    auto number = [](hid_t object, const char* name, const double* values, hsize_t count) {
        hid_t space = H5Screate_simple(1, &count, nullptr);
        hid_t attribute =
            H5Acreate2(object, name, H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, H5P_DEFAULT);
        H5Awrite(attribute, H5T_NATIVE_DOUBLE, values);
        H5Aclose(attribute);
        H5Sclose(space);
    };
    text(file, "PlexaFormat", "bundle 1");
    hid_t slice = H5Gcreate2(file, "000000", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const double time = 0;
    number(slice, "Time", &time, 1);
    hid_t grid = H5Gcreate2(slice, "cloud", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t extent = 2;
    hid_t space = H5Screate_simple(1, &extent, nullptr);
    hid_t dataset =
        H5Dcreate2(grid, "x", H5T_NATIVE_FLOAT, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const float stored[2] = {-0.5f, 0.25f};
    H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, stored);
    const double shift = 1000, userScale = 2;
    number(dataset, "Shift", &shift, 1);
    number(dataset, "scale_factor", &userScale, 1);
    text(dataset, "MemoryType", "float64");
    H5Dclose(dataset);
    H5Sclose(space);
    H5Gclose(grid);
    H5Gclose(slice);
    H5Fclose(file);

    const Plexa::GridPtr loaded = ConvLibTest::firstGrid(File, "cloud");
    ASSERT_TRUE(loaded);
    const Plexa::Field* x = loaded->findField("x");
    ASSERT_TRUE(x && x->Data);
    const auto& values = static_cast<const Plexa::MemArray<double>&>(*x->Data);
    EXPECT_EQ(values(0), 999.5);
    EXPECT_EQ(values(1), 1000.25);
    EXPECT_TRUE(x->Packed.empty());
    EXPECT_TRUE(x->Attributes.getAttribute("scale_factor").valid());
}

} // namespace

namespace {

// Damages a file of packed fields in one way, through HDF5 itself.
using Damage = void (*)(hid_t file);

void removeLink(hid_t file, const char* path) {
    H5Ldelete(file, path, H5P_DEFAULT);
}

void replaceAttribute(hid_t file, const char* path, const char* name, hid_t type,
                      const std::vector<double>& values) {
    hid_t dataset = H5Dopen2(file, path, H5P_DEFAULT);
    if (H5Aexists(dataset, name) > 0) H5Adelete(dataset, name);
    const hsize_t count = values.size();
    hid_t space = H5Screate_simple(1, &count, nullptr);
    hid_t attribute = H5Acreate2(dataset, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attribute, H5T_NATIVE_DOUBLE, values.data());
    H5Aclose(attribute);
    H5Sclose(space);
    H5Dclose(dataset);
}

void addFloats(hid_t file, const char* path) {
    const hsize_t count = 1000;
    hid_t space = H5Screate_simple(1, &count, nullptr);
    hid_t dataset =
        H5Dcreate2(file, path, H5T_NATIVE_FLOAT, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    std::vector<float> zeros(count);
    H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, zeros.data());
    H5Dclose(dataset);
    H5Sclose(space);
}

struct DamageCase {
    const char* Name;
    Damage Apply;
    const char* Message;
};

const DamageCase damageCases[] = {
    {"missing component", [](hid_t file) { removeLink(file, "000000/cloud/Positions%#1"); },
     "/000000/cloud/Positions: components numbered up to 2 of 2"},
    {"whole and split", [](hid_t file) { addFloats(file, "000000/cloud/Positions"); },
     "/000000/cloud: Positions: a field stored both whole and by component"},
    {"two scales",
     [](hid_t file) {
         replaceAttribute(file, "000000/cloud/Level", "scale_factor", H5T_NATIVE_DOUBLE,
                          {0.1, 0.2});
     },
     "/000000/cloud/Level: the scale_factor attribute holds 2 values, not one"},
    {"two fills",
     [](hid_t file) {
         replaceAttribute(file, "000000/cloud/Level", "_FillValue", H5T_NATIVE_INT16, {1, 2});
     },
     "/000000/cloud/Level: the _FillValue attribute holds no single value"},
    {"packed floats",
     [](hid_t file) {
         addFloats(file, "000000/cloud/Floats");
         replaceAttribute(file, "000000/cloud/Floats", "scale_factor", H5T_NATIVE_DOUBLE, {1});
         replaceAttribute(file, "000000/cloud/Floats", "add_offset", H5T_NATIVE_DOUBLE, {0});
     },
     "/000000/cloud/Floats: packed values whose memory type is not float64"},
};

class DamagedPacking : public PackingTest, public testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedPacking, IsRefusedByNameAndPlace) {
    addPacked("Positions", {0.01, 0.01, 0.001}, {1, 2, 3});
    addPacked("Level", {0.1}, {-3.3});
    ASSERT_TRUE(Plexa::writeBundleFile(*Bundle, File, policy()));
    hid_t file = H5Fopen(File.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    GetParam().Apply(file);
    H5Fclose(file);
    const ConvLibTest::Loaded loaded = ConvLibTest::tryLoad(File);
    EXPECT_NE(loaded.Error.find(File + ": " + GetParam().Message), std::string::npos)
        << loaded.Error;
}

INSTANTIATE_TEST_SUITE_P(Packing, DamagedPacking, testing::ValuesIn(damageCases),
                         [](const auto& info) {
                             std::string name = info.param.Name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

} // namespace
