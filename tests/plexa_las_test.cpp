// LAS point clouds: every point format of every version read field by field in its own type,
// extra bytes and header texts kept, and every header that does not fit its file refused.
#include "outside/Plexa.hpp"

#include "tests/support/LasWriter.hpp"
#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <typeinfo>

namespace {

using ConvLibTest::LasPoint;
using ConvLibTest::LasRecord;
using ConvLibTest::LasWriter;
using ConvLibTest::putLe;

using ConvLibTest::Loaded;

class LasTest : public testing::Test {
protected:
    Loaded load(const std::string& name, const std::string& bytes,
                const Plexa::ReadOptions& options = {}) {
        return ConvLibTest::tryLoad(Dir.write(name, bytes), options);
    }

    std::string path(const std::string& name) const { return Dir / name; }

    ConvLibTest::TempDir Dir;
};

Plexa::GridPtr onlyGrid(const Loaded& loaded) {
    const Plexa::Slice& slice = *loaded.Bundle->slices().begin()->second;
    return slice.grids().begin()->second;
}

// Values that fill every bit a format gives a field, different for each point.
LasPoint samplePoint(std::size_t i, bool extended) {
    const auto n = static_cast<int>(i);
    const auto u8 = [](int value) { return static_cast<std::uint8_t>(value); };
    const auto u16 = [](int value) { return static_cast<std::uint16_t>(value); };
    LasPoint p;
    p.Xyz = {-2000000000 + n * 123456789, 1999999999 - n * 7, n - 5};
    p.Intensity = u16(65535 - n);
    p.ReturnNumber = u8(extended ? 15 - n : 7 - n);
    p.NumberOfReturns = u8(extended ? 12 + n : 5 + n);
    p.ScanDirectionFlag = p.Synthetic = p.Overlap = u8(n % 2);
    p.EdgeOfFlightLine = p.KeyPoint = u8(1 - n % 2);
    p.Withheld = 1;
    p.Classification = u8(extended ? 250 - n : 31 - n);
    p.ScannerChannel = u8(3 - n);
    p.ScanAngle = static_cast<std::int16_t>(extended ? -30000 + n : -90 + n);
    p.UserData = u8(200 + n);
    p.PointSourceId = u16(40000 + n);
    p.GpsTime = 123456.789 + n;
    p.Colour = {u16(65535 - n), 1, u16(n * 1000), u16(777 + n)};
    p.WavePacketDescriptorIndex = u8(n + 1);
    p.ByteOffsetToWaveformData = (std::uint64_t{1} << 40) + static_cast<std::uint64_t>(n);
    p.WaveformPacketSize = 4000000000u + static_cast<std::uint32_t>(n);
    p.Wave = {1.5f + static_cast<float>(n), -0.25f, 0.5f, 1e-3f};
    return p;
}

struct Expected {
    const std::type_info* Type;
    double Value;
};

// What the reader must make of a point written in the format, field by field.
std::map<std::string, Expected> expectedFields(const LasPoint& p, int minor, unsigned format) {
    std::map<std::string, Expected> fields;
    const auto add = [&fields](const char* name, const std::type_info& type, double value) {
        fields[name] = {&type, value};
    };
    const auto& u8 = typeid(std::uint8_t);
    const auto& u16 = typeid(std::uint16_t);
    add("Intensity", u16, p.Intensity);
    add("ReturnNumber", u8, p.ReturnNumber);
    add("NumberOfReturns", u8, p.NumberOfReturns);
    add("ScanDirectionFlag", u8, p.ScanDirectionFlag);
    add("EdgeOfFlightLine", u8, p.EdgeOfFlightLine);
    if (minor == 0) { // the whole classification byte, and the names LAS 1.0 gave two fields
        add("Classification", u8,
            p.Classification | p.Synthetic << 5 | p.KeyPoint << 6 | p.Withheld << 7);
        add("FileMarker", u8, p.UserData);
        add("UserBitField", u16, p.PointSourceId);
    } else {
        add("Classification", u8, p.Classification);
        add("Synthetic", u8, p.Synthetic);
        add("KeyPoint", u8, p.KeyPoint);
        add("Withheld", u8, p.Withheld);
        add("UserData", u8, p.UserData);
        add("PointSourceId", u16, p.PointSourceId);
    }
    if (format < 6) add("ScanAngleRank", typeid(std::int8_t), p.ScanAngle);
    if (format >= 6) {
        add("Overlap", u8, p.Overlap);
        add("ScannerChannel", u8, p.ScannerChannel);
        add("ScanAngle", typeid(std::int16_t), p.ScanAngle);
    }
    const ConvLibTest::LasPointLayout layout = ConvLibTest::lasPointLayout(format);
    if (layout.Gps >= 0) add("GpsTime", typeid(double), p.GpsTime);
    if (layout.Colour >= 0) {
        add("Red", u16, p.Colour[0]);
        add("Green", u16, p.Colour[1]);
        add("Blue", u16, p.Colour[2]);
    }
    if (layout.Infrared >= 0) add("NIR", u16, p.Colour[3]);
    if (layout.Wave < 0) return fields;
    add("WavePacketDescriptorIndex", u8, p.WavePacketDescriptorIndex);
    add("ByteOffsetToWaveformData", typeid(std::uint64_t), double(p.ByteOffsetToWaveformData));
    add("WaveformPacketSize", typeid(std::uint32_t), p.WaveformPacketSize);
    add("ReturnPointWaveformLocation", typeid(float), p.Wave[0]);
    add("Xt", typeid(float), p.Wave[1]);
    add("Yt", typeid(float), p.Wave[2]);
    add("Zt", typeid(float), p.Wave[3]);
    return fields;
}

template <class T> bool readAs(const Plexa::MemBase& data, std::size_t index, double& value) {
    if (data.elementType() != typeid(T)) return false;
    value = static_cast<double>(static_cast<const T*>(data.rawData())[index]);
    return true;
}

double valueAt(const Plexa::MemBase& data, std::size_t index) {
    double value = 0;
    readAs<std::uint8_t>(data, index, value) || readAs<std::int8_t>(data, index, value) ||
        readAs<std::uint16_t>(data, index, value) || readAs<std::int16_t>(data, index, value) ||
        readAs<std::uint32_t>(data, index, value) || readAs<std::int32_t>(data, index, value) ||
        readAs<std::uint64_t>(data, index, value) || readAs<std::int64_t>(data, index, value) ||
        readAs<float>(data, index, value) || readAs<double>(data, index, value);
    return value;
}

const Plexa::MemArray<double>& positionsOf(const Plexa::Grid& grid) {
    return dynamic_cast<const Plexa::MemArray<double>&>(*grid.findField("Positions")->Data);
}

std::string attribute(const Plexa::Grid& grid, const std::string& key) {
    const ConvLibTest::Names texts = ConvLibTest::textsOf(grid, key);
    return texts.empty() ? "(none)" : texts.front();
}

TEST_F(LasTest, EveryPointFormatOfEveryVersionGivesEachFieldInItsType) {
    // each format from the version that brought it
    const struct {
        int Minor;
        unsigned Format;
    } cases[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {2, 2}, {2, 3}, {3, 0},
                 {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {4, 0}, {4, 1}, {4, 2}, {4, 3},
                 {4, 4}, {4, 5}, {4, 6}, {4, 7}, {4, 8}, {4, 9}, {4, 10}};
    for (const auto& [minor, format] : cases) {
        const std::string label =
            "LAS 1." + std::to_string(minor) + " format " + std::to_string(format);
        LasWriter writer;
        writer.Minor = minor;
        writer.Format = format;
        writer.Scale = {0.01, 0.001, 0.25};
        writer.Offset = {500000, -5000000, 100};
        for (std::size_t i = 0; i < 3; ++i)
            writer.Points.push_back(samplePoint(i, format >= 6));
        const Loaded loaded = load("cloud.las", writer.bytes());
        ASSERT_EQ(loaded.Error, "") << label;
        const Plexa::Grid& grid = *onlyGrid(loaded);
        EXPECT_EQ(grid.name(), "cloud");
        EXPECT_EQ(attribute(grid, "LasVersion"), "1." + std::to_string(minor)) << label;
        EXPECT_EQ(attribute(grid, "LasPointFormat"), std::to_string(format)) << label;

        const auto& positions = positionsOf(grid);
        ASSERT_EQ(positions.size(), 3u) << label;
        for (std::size_t i = 0; i < 3; ++i)
            for (int axis = 0; axis < 3; ++axis)
                EXPECT_EQ(positions(i, axis),
                          writer.Points[i].Xyz[axis] * writer.Scale[axis] + writer.Offset[axis])
                    << label << " point " << i << " axis " << axis;

        std::set<std::string> names{"Positions"};
        for (std::size_t i = 0; i < 3; ++i)
            for (const auto& [name, expected] : expectedFields(writer.Points[i], minor, format)) {
                names.insert(name);
                const Plexa::Field* field = grid.findField(name);
                ASSERT_NE(field, nullptr) << label << ": " << name;
                EXPECT_EQ(field->Data->elementType(), *expected.Type) << label << ": " << name;
                EXPECT_EQ(valueAt(*field->Data, i), expected.Value)
                    << label << ": " << name << " of point " << i;
            }
        std::set<std::string> found;
        for (const auto& [name, field] : grid.fields())
            found.insert(name);
        EXPECT_EQ(found, names) << label;
    }
}

TEST_F(LasTest, PointsAcrossReadBlocksArriveInOrder) {
    LasWriter writer;
    writer.Scale = {1, 1, 1};
    const std::size_t count = 120000; // 20-byte records: more than two blocks of 1 MiB
    for (std::size_t i = 0; i < count; ++i) {
        writer.Points.emplace_back();
        writer.Points.back().Xyz = {static_cast<std::int32_t>(i), 0, -static_cast<std::int32_t>(i)};
    }
    const Loaded loaded = load("many.las", writer.bytes());
    ASSERT_EQ(loaded.Error, "");
    const auto& positions = positionsOf(*onlyGrid(loaded));
    ASSERT_EQ(positions.size(), count);
    for (std::size_t i = 0; i < count; ++i)
        if (positions(i, 0) != static_cast<double>(i) || positions(i, 2) != -positions(i, 0))
            FAIL() << "point " << i << " is " << positions(i, 0) << ", " << positions(i, 2);
}

// One descriptor of an Extra Bytes record.
std::string extraBytesDescriptor(std::uint8_t type, std::uint8_t options, const std::string& name,
                                 double scale = 0, double offset = 0) {
    std::string descriptor(192, '\0');
    descriptor[2] = static_cast<char>(type);
    descriptor[3] = static_cast<char>(options);
    descriptor.replace(4, name.size(), name);
    putLe(descriptor, 112, scale);
    putLe(descriptor, 136, offset);
    return descriptor;
}

LasRecord extraBytesRecord(const std::string& descriptors, bool extended = false) {
    return {"LASF_Spec", 4, descriptors, extended};
}

TEST_F(LasTest, ExtraBytesBecomeFieldsAsDescribedAndUndescribedOnesAreKeptRaw) {
    LasWriter writer;
    writer.Minor = 4;
    writer.Format = 6;
    // amplitude uint16 scaled, range float, a pair of int8, 3 undocumented bytes, 2 left over
    writer.Records.push_back(extraBytesRecord(
        extraBytesDescriptor(3, 8 | 16, "Amplitude", 0.5, 10) +
            extraBytesDescriptor(9, 0, "Range") + extraBytesDescriptor(12, 0, "Tilt") +
            extraBytesDescriptor(0, 3, "Intensity"),
        true));
    for (std::size_t i = 0; i < 2; ++i) {
        LasPoint point = samplePoint(i, true);
        point.Extra = std::string(16, '\0');
        putLe(point.Extra, 0, static_cast<std::uint16_t>(1000 + i));
        putLe(point.Extra, 2, 2.5f * static_cast<float>(i + 1));
        point.Extra[6] = static_cast<char>(-3);
        point.Extra[7] = static_cast<char>(i);
        point.Extra.replace(8, 3, "abc");
        point.Extra.replace(11, 5, "\x01\x02" + std::string(3, static_cast<char>(0xF0 + i)));
        writer.Points.push_back(point);
    }
    const Loaded loaded = load("extra.las", writer.bytes());
    ASSERT_EQ(loaded.Error, "");
    const Plexa::Grid& grid = *onlyGrid(loaded);
    const struct {
        const char* Name;
        const std::type_info& Type;
        int Components;
        std::vector<double> Values; // of both points, tuple after tuple
    } expected[] = {
        {"Amplitude", typeid(double), 1, {510, 510.5}},
        {"Range", typeid(float), 1, {2.5, 5}},
        {"Tilt", typeid(std::int8_t), 2, {-3, 0, -3, 1}},
        {"Intensity_extra", typeid(std::uint8_t), 3, {'a', 'b', 'c', 'a', 'b', 'c'}},
        {"ExtraBytes", typeid(std::uint8_t), 5, {1, 2, 0xF0, 0xF0, 0xF0, 1, 2, 0xF1, 0xF1, 0xF1}},
    };
    for (const auto& field : expected) {
        const Plexa::Field* found = grid.findField(field.Name);
        ASSERT_NE(found, nullptr) << field.Name;
        EXPECT_EQ(found->Data->elementType(), field.Type) << field.Name;
        EXPECT_EQ(found->Data->components(), field.Components) << field.Name;
        for (std::size_t i = 0; i < field.Values.size(); ++i)
            EXPECT_EQ(valueAt(*found->Data, i), field.Values[i]) << field.Name << " value " << i;
    }

    EXPECT_EQ(valueAt(*grid.findField("Intensity")->Data, 1), 65534) << "the standard one stays";
    EXPECT_EQ(ConvLibTest::textsOf(grid, "LasNote"),
              ConvLibTest::Names{
                  "the Extra Bytes field \"Intensity\" is kept as \"Intensity_extra\", since "
                  "the cloud has a field of that name already"});

    // without a description, every extra byte stays, as one field
    writer.Records.clear();
    const Loaded raw = load("raw.las", writer.bytes());
    ASSERT_EQ(raw.Error, "");
    const Plexa::Field* bytes = onlyGrid(raw)->findField("ExtraBytes");
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes->Data->components(), 16);
    EXPECT_EQ(valueAt(*bytes->Data, 16 + 15), 0xF1);
}

// A GeoTIFF key directory of version 1.1.0 with the given keys (id, tag, count, value).
std::string geoKeyDirectory(const std::vector<std::array<std::uint16_t, 4>>& keys) {
    std::string directory(8 + 8 * keys.size(), '\0');
    const std::array<std::uint16_t, 4> head{1, 1, 0, static_cast<std::uint16_t>(keys.size())};
    putLe(directory, 0, head);
    for (std::size_t k = 0; k < keys.size(); ++k)
        putLe(directory, 8 + 8 * k, keys[k]);
    return directory;
}

std::string doubles(std::initializer_list<double> values) {
    std::string bytes(8 * values.size(), '\0');
    std::size_t at = 0;
    for (double value : values)
        putLe(bytes, 8 * at++, value);
    return bytes;
}

TEST_F(LasTest, HeaderTextsAndCoordinateSystemsBecomeGridAttributes) {
    LasWriter geoTiff;
    geoTiff.Format = 1;
    geoTiff.GlobalEncoding = 1;
    geoTiff.SystemIdentifier = std::string("survey plane\0\0junk", 18);
    geoTiff.GeneratingSoftware = std::string(32, 'S'); // no terminating NUL at all
    geoTiff.CreationDay = 60;
    geoTiff.CreationYear = 2024;
    geoTiff.Records = {{"LASF_Projection", 34735,
                        geoKeyDirectory({{1024, 0, 1, 1},
                                         {3072, 0, 1, 32633},
                                         {1026, 34737, 13, 0},
                                         {3078, 34736, 2, 1},
                                         {4242, 0, 1, 7}})},
                       {"LASF_Projection", 34736, doubles({0.5, 45.25, -1e-7})},
                       {"LASF_Projection", 34737, "WGS 84 / UTM|"},
                       {"someone", 34735, "ignored: another user's record"}};
    geoTiff.Points = {samplePoint(0, false)};
    const Loaded first = load("geotiff.las", geoTiff.bytes());
    ASSERT_EQ(first.Error, "");
    const Plexa::Grid& grid = *onlyGrid(first);
    EXPECT_EQ(attribute(grid, "LasSystemIdentifier"), "survey plane");
    EXPECT_EQ(attribute(grid, "LasGeneratingSoftware"), std::string(32, 'S'));
    EXPECT_EQ(attribute(grid, "LasCreationDate"), "2024-02-29");
    EXPECT_EQ(attribute(grid, "LasGpsTimeType"),
              "adjusted standard GPS time (GPS time minus 1e9 s)");
    EXPECT_EQ(attribute(grid, "LasGeoKeys"), "GTModelTypeGeoKey (1024) = 1\n"
                                             "ProjectedCSTypeGeoKey (3072) = 32633\n"
                                             "GTCitationGeoKey (1026) = \"WGS 84 / UTM\"\n"
                                             "ProjStdParallel1GeoKey (3078) = 45.25 -1e-07\n"
                                             "GeoKey (4242) = 7");
    EXPECT_EQ(attribute(grid, "LasCrsWkt"), "(none)");

    LasWriter wkt;
    wkt.Minor = 4;
    wkt.Format = 6;
    wkt.GlobalEncoding = 16;
    wkt.CreationDay = 366;
    wkt.CreationYear = 2023; // no such day
    wkt.Records = {{"LASF_Projection", 2112, std::string("PROJCS[\"x\"]\0\0", 13), true}};
    wkt.Points = {samplePoint(0, true)};
    Plexa::ReadOptions options;
    options.GridName = "tile 7";
    options.Time = 2.5;
    const Loaded second = load("wkt.las", wkt.bytes(), options);
    ASSERT_EQ(second.Error, "");
    const Plexa::GridPtr named = second.Bundle->findSlice(2.5)->findGrid("tile 7");
    ASSERT_TRUE(named.valid());
    EXPECT_EQ(attribute(*named, "LasCrsWkt"), "PROJCS[\"x\"]");
    EXPECT_EQ(attribute(*named, "LasCreationDate"), "day 366 of 2023");
    EXPECT_EQ(attribute(*named, "LasGpsTimeType"), "GPS week time (seconds since the week began)");
    EXPECT_EQ(attribute(*named, "LasGeoKeys"), "(none)");
}

// Small valid files for the hostile cases to spoil: LAS 1.2 with one record before two points of
// format 0 (331 bytes, points from byte 291), and LAS 1.4 with two points of format 6 and one
// extended record after them (505 bytes, points from byte 375, the record from byte 435).
std::string lasOf(int minor, std::vector<LasRecord> records, std::size_t extraBytes = 0) {
    LasWriter writer;
    writer.Minor = minor;
    writer.Format = minor == 4 ? 6 : 0;
    writer.Records = std::move(records);
    for (std::size_t i = 0; i < 2; ++i) {
        writer.Points.push_back(samplePoint(i, minor == 4));
        writer.Points.back().Extra.assign(extraBytes, '\0');
    }
    return writer.bytes();
}
std::string las12() {
    return lasOf(2, {{"someone", 1, "0123456789"}});
}
std::string las14() {
    return lasOf(4, {{"someone", 1, "0123456789", true}});
}
std::string withExtraBytes(const std::string& descriptors) {
    return lasOf(2, {extraBytesRecord(descriptors)}, 4);
}
std::string withGeoKeys(const std::vector<std::array<std::uint16_t, 4>>& keys) {
    return lasOf(2, {{"LASF_Projection", 34735, geoKeyDirectory(keys)},
                     {"LASF_Projection", 34736, doubles({1, 2})}});
}
template <class T> std::string patched(std::string bytes, std::size_t at, T value) {
    putLe(bytes, at, value);
    return bytes;
}

TEST_F(LasTest, HostileHeadersAreRefusedWithTheirCauseAndAddNothing) {
    using std::uint16_t, std::uint32_t, std::uint64_t;
    const std::string compressed =
        "compressed LAS (LAZ) is not read: decompress it to an uncompressed .las file first";
    const struct {
        const char* Case;
        std::string Bytes;
        std::string Message;
        const char* Name = "hostile.las";
    } cases[] = {
        {"signature", patched(las12(), 0, 'X'), "not a LAS file: it does not start with \"LASF\""},
        {"tiny file", las12().substr(0, 10),
         "the header holds 10 of the 227 bytes of a LAS header"},
        {"cut header", las14().substr(0, 300),
         "the header holds 300 of the 375 bytes of a LAS 1.4 header"},
        {"version 1.5", patched(las14(), 25, char{5}), "LAS 1.5 is not read (LAS 1.0 to 1.4 are)"},
        {"header size", patched(las12(), 94, uint16_t{226}),
         "the header size is 226 bytes, less than the 227 of a LAS 1.2 header"},
        {"header size of 1.2 in 1.4", patched(las14(), 94, uint16_t{227}),
         "the header size is 227 bytes, less than the 375 of a LAS 1.4 header"},
        {"points beyond the file", patched(las12(), 96, uint32_t{5000}),
         "the point data starts at byte 5000, beyond the end of the file (331 bytes)"},
        {"points inside the header", patched(las12(), 96, uint32_t{100}),
         "the point data starts at byte 100, inside the header of 227 bytes"},
        {"short records", patched(las12(), 105, uint16_t{19}),
         "point records of 19 bytes are shorter than the 20 bytes of point format 0"},
        {"one point too many", patched(las12(), LasWriter::PointCountAt, uint32_t{3}),
         "the point data holds 40 of the 60 bytes that 3 points of 20 bytes take"},
        {"absurd 64-bit count", patched(las14(), LasWriter::LongPointCountAt, ~uint64_t{0}),
         "the point data holds 130 of the more than 2^64 bytes that 18446744073709551615 points "
         "of 30 bytes take"},
        {"counts disagree", patched(las14(), LasWriter::PointCountAt, uint32_t{5}),
         "the header's two point counts disagree: 5 (legacy field) and 2"},
        {"no points", patched(las12(), LasWriter::PointCountAt, uint32_t{0}),
         "the header says it holds no points"},
        {"record beyond the points", patched(las12(), 227 + 20, uint16_t{100}),
         "variable length record 1 of 1 holds 10 of its 100 bytes before the point data"},
        {"records beyond the points", patched(las12(), 100, uint32_t{3}),
         "variable length record 2 of 3 holds 0 of its 54 header bytes before the point data"},
        {"extended records beyond the file", patched(las14(), 243, uint32_t{1000}),
         "the 1000 extended variable length records from byte 435 do not fit in the file of "
         "505 bytes"},
        {"extended record beyond the file", patched(las14(), 435 + 20, uint64_t{1000}),
         "extended variable length record 1 of 1 holds 10 of its 1000 bytes in the file"},
        {"unknown format", patched(las12(), 104, char{11}),
         "point format 11 is unknown (formats 0 to 10 are read)"},
        {"compression bit 7", patched(las12(), 104, char(0x80)), compressed},
        {"compression bit 6", patched(las14(), 104, char(0x46)), compressed},
        {"compressed by name", las12(), compressed, "hostile.LAZ"},
        {"scale 0", patched(las12(), 131, 0.0), "the X coordinate has the scale factor 0"},
        {"offset not a number", patched(las12(), 163, std::nan("")),
         "the Y coordinate has the offset nan"},
        {"scale beyond double", patched(las12(), 147, 1e300),
         "the Z coordinate's scale factor and offset take it beyond the range of double"},
        {"extra bytes mismatch",
         withExtraBytes(extraBytesDescriptor(5, 0, "A") + extraBytesDescriptor(1, 0, "B")),
         "the Extra Bytes record describes more bytes than the 4 that each point holds beyond "
         "point format 0 (at field \"B\")"},
        {"extra bytes torn", withExtraBytes(std::string(100, '\0')),
         "the Extra Bytes record holds 100 bytes, no whole number of 192-byte descriptors"},
        {"extra bytes of a reserved type", withExtraBytes(extraBytesDescriptor(31, 0, "Bad\x1b")),
         "the Extra Bytes field \"Bad\\x1B\" has the reserved data type 31"},
        {"extra bytes scale 0", withExtraBytes(extraBytesDescriptor(5, 8, "A")),
         "the Extra Bytes field \"A\" has the scale factor 0"},
        {"two extra bytes records",
         lasOf(2,
               {extraBytesRecord(extraBytesDescriptor(5, 0, "A")),
                extraBytesRecord(extraBytesDescriptor(5, 0, "B"))},
               4),
         "the file holds two Extra Bytes records"},
        {"key beyond its doubles", withGeoKeys({{3078, 34736, 1, 5}}),
         "GeoTIFF key 3078 takes values 5 to 6 of the GeoTIFF doubles record, which holds 2"},
        {"key in an unknown tag", withGeoKeys({{1024, 33550, 1, 0}}),
         "GeoTIFF key 1024 lies in tag 33550, which LAS files do not hold"},
        {"key directory cut", patched(withGeoKeys({{1024, 0, 1, 1}}), 227 + 54 + 6, uint16_t{2}),
         "the GeoTIFF key directory holds 16 of the 24 bytes of its 2 keys"},
    };
    for (const auto& hostile : cases) {
        const Loaded loaded = load(hostile.Name, hostile.Bytes);
        EXPECT_EQ(loaded.Error, path(hostile.Name) + ": " + hostile.Message) << hostile.Case;
        EXPECT_TRUE(loaded.Bundle->slices().empty()) << hostile.Case;
    }
}

// A header that claims more points than memory holds is refused before the arrays are made; the
// file is that large (sparse), so only memory refuses it.
TEST_F(LasTest, ACloudLargerThanMemoryIsRefusedBeforeItsArraysAreMade) {
    const std::string bytes =
        patched(las12(), LasWriter::PointCountAt, std::uint32_t{4'000'000'000});
    std::uint32_t pointOffset = 0;
    std::memcpy(&pointOffset, bytes.data() + 96, sizeof pointOffset);
    const std::string file = Dir.write("huge.las", bytes);
    std::filesystem::resize_file(file, pointOffset + 4'000'000'000ull * 20);
    const ConvLibTest::Loaded loaded = ConvLibTest::tryLoad(file);
    EXPECT_EQ(loaded.Error.rfind(file + ": needs 141.6 GiB for 4000000000 points; ", 0), 0u)
        << loaded.Error;
}

} // namespace
