#include "outside/plexa/readers/LasFormat.hpp"

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>

namespace Plexa::detail::las {

const char* const CompressedRefusal =
    "compressed LAS (LAZ) is not read: decompress it to an uncompressed .las file first";

namespace {

using std::to_string;

Failure failure(const std::string& cause) {
    return Failure(cause);
}

using detail::numberText;

std::string versionText(int minor) {
    return "LAS 1." + to_string(minor);
}

std::size_t headerSizeOf(int minor) {
    return minor <= 2 ? 227 : minor == 3 ? 235 : LargestHeader;
}

// What the file means is stored * scale + offset: a scale of 0 or values that are no numbers
// would give every point a meaningless value.
void checkTransform(const std::string& what, double scale, double add) {
    if (!std::isfinite(scale) || scale == 0)
        throw failure(what + " has the scale factor " + numberText(scale));
    if (!std::isfinite(add)) throw failure(what + " has the offset " + numberText(add));
}

// LAS 1.4 keeps a 64-bit count beside the legacy 32-bit one, which writers set to 0 when the
// count does not fit it or the format has no place for it.
std::uint64_t pointCountOf(const std::uint8_t* bytes, int minor) {
    const std::uint64_t legacy = load<std::uint32_t>(bytes + 107);
    if (minor < 4) return legacy;
    const std::uint64_t full = load<std::uint64_t>(bytes + 247);
    if (legacy != 0 && full != 0 && legacy != full)
        throw failure("the header's two point counts disagree: " + to_string(legacy) +
                      " (legacy field) and " + to_string(full));
    return full != 0 ? full : legacy;
}

void checkPlacement(const Header& header, std::uint64_t fileSize) {
    if (header.PointOffset < header.HeaderSize)
        throw failure("the point data starts at byte " + to_string(header.PointOffset) +
                      ", inside the header of " + to_string(header.HeaderSize) + " bytes");
    if (header.PointOffset > fileSize)
        throw failure("the point data starts at byte " + to_string(header.PointOffset) +
                      ", beyond the end of the file (" + to_string(fileSize) + " bytes)");
    const std::uint64_t available = fileSize - header.PointOffset;
    std::uint64_t needed = 0;
    const bool beyond64Bits =
        __builtin_mul_overflow(header.PointCount, header.RecordLength, &needed);
    if (beyond64Bits || needed > available)
        throw failure("the point data holds " + to_string(available) + " of the " +
                      (beyond64Bits ? "more than 2^64" : to_string(needed)) + " bytes that " +
                      to_string(header.PointCount) + " points of " +
                      to_string(header.RecordLength) + " bytes take");
    if (header.ExtendedRecordCount == 0) return;
    const std::uint64_t start = header.ExtendedRecordStart;
    if (start > fileSize ||
        (fileSize - start) / ExtendedRecordHeaderSize < header.ExtendedRecordCount)
        throw failure("the " + to_string(header.ExtendedRecordCount) +
                      " extended variable length records from byte " + to_string(start) +
                      " do not fit in the file of " + to_string(fileSize) + " bytes");
}

struct FormatLayout {
    std::size_t Length;
    bool Extended; // formats 6 to 10: four bits for returns, the flags in a byte of their own
    int Gps;       // byte offsets, -1 where the format has none
    int Colour;
    int Infrared;
    int WavePacket;
};

const FormatLayout Layouts[] = {
    {20, false, -1, -1, -1, -1}, {28, false, 20, -1, -1, -1}, {26, false, -1, 20, -1, -1},
    {34, false, 20, 28, -1, -1}, {57, false, 20, -1, -1, 28}, {63, false, 20, 28, -1, 34},
    {30, true, 22, -1, -1, -1},  {36, true, 22, 30, -1, -1},  {38, true, 22, 30, 36, -1},
    {59, true, 22, -1, -1, 30},  {67, true, 22, 30, 36, 38},
};

Column value(const char* name, std::size_t offset, const std::type_info& type, int components = 1) {
    Column column;
    column.Name = name;
    column.Offset = offset;
    column.Stored = &type;
    column.Components = components;
    return column;
}

Column bits(const char* name, std::size_t offset, std::uint8_t shift, std::uint8_t mask) {
    Column column = value(name, offset, typeid(std::uint8_t));
    column.Shift = shift;
    column.Mask = mask;
    return column;
}

void addLegacyCore(std::vector<Column>& columns, int minor) {
    columns.push_back(bits("ReturnNumber", 14, 0, 7));
    columns.push_back(bits("NumberOfReturns", 14, 3, 7));
    columns.push_back(bits("ScanDirectionFlag", 14, 6, 1));
    columns.push_back(bits("EdgeOfFlightLine", 14, 7, 1));
    columns.push_back(value("ScanAngleRank", 16, typeid(std::int8_t)));
    if (minor == 0) { // LAS 1.0: no flags in the classification, other names for two fields
        columns.push_back(value("Classification", 15, typeid(std::uint8_t)));
        columns.push_back(value("FileMarker", 17, typeid(std::uint8_t)));
        columns.push_back(value("UserBitField", 18, typeid(std::uint16_t)));
        return;
    }
    columns.push_back(bits("Classification", 15, 0, 31));
    columns.push_back(bits("Synthetic", 15, 5, 1));
    columns.push_back(bits("KeyPoint", 15, 6, 1));
    columns.push_back(bits("Withheld", 15, 7, 1));
    columns.push_back(value("UserData", 17, typeid(std::uint8_t)));
    columns.push_back(value("PointSourceId", 18, typeid(std::uint16_t)));
}

void addExtendedCore(std::vector<Column>& columns) {
    columns.push_back(bits("ReturnNumber", 14, 0, 15));
    columns.push_back(bits("NumberOfReturns", 14, 4, 15));
    columns.push_back(bits("Synthetic", 15, 0, 1));
    columns.push_back(bits("KeyPoint", 15, 1, 1));
    columns.push_back(bits("Withheld", 15, 2, 1));
    columns.push_back(bits("Overlap", 15, 3, 1));
    columns.push_back(bits("ScannerChannel", 15, 4, 3));
    columns.push_back(bits("ScanDirectionFlag", 15, 6, 1));
    columns.push_back(bits("EdgeOfFlightLine", 15, 7, 1));
    columns.push_back(value("Classification", 16, typeid(std::uint8_t)));
    columns.push_back(value("UserData", 17, typeid(std::uint8_t)));
    columns.push_back(value("ScanAngle", 18, typeid(std::int16_t)));
    columns.push_back(value("PointSourceId", 20, typeid(std::uint16_t)));
}

void addWavePacket(std::vector<Column>& columns, std::size_t at) {
    columns.push_back(value("WavePacketDescriptorIndex", at, typeid(std::uint8_t)));
    columns.push_back(value("ByteOffsetToWaveformData", at + 1, typeid(std::uint64_t)));
    columns.push_back(value("WaveformPacketSize", at + 9, typeid(std::uint32_t)));
    columns.push_back(value("ReturnPointWaveformLocation", at + 13, typeid(float)));
    columns.push_back(value("Xt", at + 17, typeid(float)));
    columns.push_back(value("Yt", at + 21, typeid(float)));
    columns.push_back(value("Zt", at + 25, typeid(float)));
}

std::vector<Column> standardColumns(const Header& header) {
    const FormatLayout& layout = Layouts[header.Format];
    Column positions = value(PositionsField, 0, typeid(std::int32_t), 3);
    positions.Scaled = true;
    positions.Scale = header.Scale;
    positions.Add = header.Add;
    std::vector<Column> columns{positions, value("Intensity", 12, typeid(std::uint16_t))};
    layout.Extended ? addExtendedCore(columns) : addLegacyCore(columns, header.Minor);
    if (layout.Gps >= 0) columns.push_back(value("GpsTime", layout.Gps, typeid(double)));
    if (layout.Colour >= 0) {
        columns.push_back(value("Red", layout.Colour, typeid(std::uint16_t)));
        columns.push_back(value("Green", layout.Colour + 2, typeid(std::uint16_t)));
        columns.push_back(value("Blue", layout.Colour + 4, typeid(std::uint16_t)));
    }
    if (layout.Infrared >= 0)
        columns.push_back(value("NIR", layout.Infrared, typeid(std::uint16_t)));
    if (layout.WavePacket >= 0) addWavePacket(columns, layout.WavePacket);
    return columns;
}

constexpr std::size_t DescriptorSize = 192;

// One descriptor of the Extra Bytes record; its Offset is left for the caller.
Column extraColumn(const std::uint8_t* descriptor, std::size_t index) {
    const unsigned type = descriptor[2];
    const unsigned options = descriptor[3];
    Column column;
    column.Name = textOf(descriptor + 4, 32);
    if (column.Name.empty()) column.Name = "ExtraBytes" + to_string(index + 1);
    if (type == 0) { // undocumented bytes: their count stands in the options
        column.Components = static_cast<int>(options);
        return column;
    }
    if (type > 30)
        throw failure("the Extra Bytes field \"" + column.Name + "\" has the reserved data type " +
                      to_string(type));
    // 11 to 30 are the deprecated arrays of two and three values of types 1 to 10
    column.Stored = &typeOfCode(1 + (type - 1) % 10);
    column.Components = static_cast<int>(1 + (type - 1) / 10);
    constexpr unsigned ScaleBit = 8, OffsetBit = 16;
    column.Scaled = (options & (ScaleBit | OffsetBit)) != 0;
    for (int c = 0; column.Scaled && c < column.Components; ++c) {
        if (options & ScaleBit) column.Scale[c] = load<double>(descriptor + 112 + 8 * c);
        if (options & OffsetBit) column.Add[c] = load<double>(descriptor + 136 + 8 * c);
        checkTransform("the Extra Bytes field \"" + column.Name + "\"", column.Scale[c],
                       column.Add[c]);
    }
    return column;
}

void addExtraColumns(std::vector<Column>& columns, const Header& header,
                     const std::vector<std::uint8_t>& descriptors) {
    if (descriptors.size() % DescriptorSize != 0)
        throw failure("the Extra Bytes record holds " + to_string(descriptors.size()) +
                      " bytes, no whole number of " + to_string(DescriptorSize) +
                      "-byte descriptors");
    const std::size_t standard = standardRecordLength(header.Format);
    std::size_t offset = standard;
    for (std::size_t i = 0; i < descriptors.size() / DescriptorSize; ++i) {
        Column column = extraColumn(&descriptors[i * DescriptorSize], i);
        const std::size_t size =
            sizeOf(*column.Stored) * static_cast<std::size_t>(column.Components);
        if (size > header.RecordLength - offset)
            throw failure("the Extra Bytes record describes more bytes than the " +
                          to_string(header.RecordLength - standard) +
                          " that each point holds beyond point format " + to_string(header.Format) +
                          " (at field \"" + column.Name + "\")");
        column.Offset = offset;
        offset += size;
        if (size > 0) columns.push_back(column);
    }
    if (offset < header.RecordLength)
        columns.push_back(value("ExtraBytes", offset, typeid(std::uint8_t),
                                static_cast<int>(header.RecordLength - offset)));
}

// An Extra Bytes field named as a field the cloud has already is kept as "<name>_extra" (then
// "_extra2", ...), since two fields of one name would leave one of them lost; the notes say so.
std::vector<std::string> renameClashes(std::vector<Column>& columns) {
    std::set<std::string> names;
    std::vector<std::string> notes;
    for (Column& column : columns) {
        if (names.insert(column.Name).second) continue;
        std::string name = column.Name + "_extra";
        for (int n = 2; names.count(name); ++n)
            name = column.Name + "_extra" + to_string(n);
        notes.push_back("the Extra Bytes field \"" + column.Name + "\" is kept as \"" + name +
                        "\", since the cloud has a field of that name already");
        column.Name = name;
        names.insert(name);
    }
    return notes;
}

bool isLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

const char* geoKeyName(unsigned id) {
    static const struct {
        unsigned Id;
        const char* Name;
    } names[] = {
        {1024, "GTModelTypeGeoKey"},
        {1025, "GTRasterTypeGeoKey"},
        {1026, "GTCitationGeoKey"},
        {2048, "GeographicTypeGeoKey"},
        {2049, "GeogCitationGeoKey"},
        {2050, "GeogGeodeticDatumGeoKey"},
        {2051, "GeogPrimeMeridianGeoKey"},
        {2052, "GeogLinearUnitsGeoKey"},
        {2053, "GeogLinearUnitSizeGeoKey"},
        {2054, "GeogAngularUnitsGeoKey"},
        {2055, "GeogAngularUnitSizeGeoKey"},
        {2056, "GeogEllipsoidGeoKey"},
        {2057, "GeogSemiMajorAxisGeoKey"},
        {2058, "GeogSemiMinorAxisGeoKey"},
        {2059, "GeogInvFlatteningGeoKey"},
        {2060, "GeogAzimuthUnitsGeoKey"},
        {2061, "GeogPrimeMeridianLongGeoKey"},
        {3072, "ProjectedCSTypeGeoKey"},
        {3073, "PCSCitationGeoKey"},
        {3074, "ProjectionGeoKey"},
        {3075, "ProjCoordTransGeoKey"},
        {3076, "ProjLinearUnitsGeoKey"},
        {3077, "ProjLinearUnitSizeGeoKey"},
        {3078, "ProjStdParallel1GeoKey"},
        {3079, "ProjStdParallel2GeoKey"},
        {3080, "ProjNatOriginLongGeoKey"},
        {3081, "ProjNatOriginLatGeoKey"},
        {3082, "ProjFalseEastingGeoKey"},
        {3083, "ProjFalseNorthingGeoKey"},
        {3084, "ProjFalseOriginLongGeoKey"},
        {3085, "ProjFalseOriginLatGeoKey"},
        {3086, "ProjFalseOriginEastingGeoKey"},
        {3087, "ProjFalseOriginNorthingGeoKey"},
        {3088, "ProjCenterLongGeoKey"},
        {3089, "ProjCenterLatGeoKey"},
        {3090, "ProjCenterEastingGeoKey"},
        {3091, "ProjCenterNorthingGeoKey"},
        {3092, "ProjScaleAtNatOriginGeoKey"},
        {3093, "ProjScaleAtCenterGeoKey"},
        {3094, "ProjAzimuthAngleGeoKey"},
        {3095, "ProjStraightVertPoleLongGeoKey"},
        {4096, "VerticalCSTypeGeoKey"},
        {4097, "VerticalCitationGeoKey"},
        {4098, "VerticalDatumGeoKey"},
        {4099, "VerticalUnitsGeoKey"},
    };
    for (const auto& entry : names)
        if (entry.Id == id) return entry.Name;
    return "GeoKey";
}

constexpr unsigned DirectoryTag = 34735, DoublesTag = 34736, AsciiTag = 34737;

class GeoKeys {
public:
    GeoKeys(const std::vector<std::uint8_t>& directory, const std::vector<std::uint8_t>& doubles,
            const std::vector<std::uint8_t>& ascii)
        : Directory(directory), Doubles(doubles), Ascii(ascii) {}

    std::string text() const {
        if (shorts() < 4)
            throw failure("the GeoTIFF key directory holds " + to_string(Directory.size()) +
                          " of the 8 bytes of its header");
        const std::size_t keys = shortAt(3);
        if (shorts() < 4 + 4 * keys)
            throw failure("the GeoTIFF key directory holds " + to_string(Directory.size()) +
                          " of the " + to_string(8 + 8 * keys) + " bytes of its " +
                          to_string(keys) + " keys");
        std::string text;
        for (std::size_t k = 0; k < keys; ++k) {
            const std::size_t at = 4 + 4 * k;
            const unsigned id = shortAt(at);
            text += (k ? "\n" : "") + std::string(geoKeyName(id)) + " (" + to_string(id) +
                    ") = " + valueOf(id, shortAt(at + 1), shortAt(at + 2), shortAt(at + 3));
        }
        return text;
    }

private:
    std::size_t shorts() const { return Directory.size() / 2; }
    unsigned shortAt(std::size_t index) const { return load<std::uint16_t>(&Directory[2 * index]); }

    std::string valueOf(unsigned id, unsigned tag, std::size_t count, std::size_t at) const {
        if (tag == 0) return to_string(at);
        if (tag == AsciiTag) return "\"" + asciiValue(id, count, at) + "\"";
        if (tag != DoublesTag && tag != DirectoryTag)
            throw failure("GeoTIFF key " + to_string(id) + " lies in tag " + to_string(tag) +
                          ", which LAS files do not hold");
        const bool inDoubles = tag == DoublesTag;
        checkRange(id, inDoubles ? "doubles" : "key directory", count, at,
                   inDoubles ? Doubles.size() / 8 : shorts());
        std::string values;
        for (std::size_t i = at; i < at + count; ++i)
            values += (i > at ? " " : "") + (inDoubles ? numberText(load<double>(&Doubles[8 * i]))
                                                       : to_string(shortAt(i)));
        return values;
    }

    // Texts in the ASCII record end in '|'.
    std::string asciiValue(unsigned id, std::size_t count, std::size_t at) const {
        checkRange(id, "ASCII", count, at, Ascii.size());
        std::string value = textOf(Ascii.data() + at, count);
        while (!value.empty() && value.back() == '|')
            value.pop_back();
        return value;
    }

    static void checkRange(unsigned id, const char* record, std::size_t count, std::size_t at,
                           std::size_t held) {
        if (at + count > held)
            throw failure("GeoTIFF key " + to_string(id) + " takes values " + to_string(at) +
                          " to " + to_string(at + count) + " of the GeoTIFF " + record +
                          " record, which holds " + to_string(held));
    }

    const std::vector<std::uint8_t>& Directory;
    const std::vector<std::uint8_t>& Doubles;
    const std::vector<std::uint8_t>& Ascii;
};

} // namespace

const std::type_info& typeOfCode(unsigned code) {
    static const std::type_info* const types[] = {&typeid(std::uint8_t),  &typeid(std::int8_t),
                                                  &typeid(std::uint16_t), &typeid(std::int16_t),
                                                  &typeid(std::uint32_t), &typeid(std::int32_t),
                                                  &typeid(std::uint64_t), &typeid(std::int64_t),
                                                  &typeid(float),         &typeid(double)};
    return *types[code - 1];
}

std::size_t sizeOf(const std::type_info& type) {
    std::size_t size = 0;
    visitElementType(type, [&](auto sample) { size = sizeof sample; });
    return size;
}

std::size_t standardRecordLength(unsigned format) {
    return Layouts[format].Length;
}

bool hasGpsTime(unsigned format) {
    return Layouts[format].Gps >= 0;
}

Header parseHeader(const std::uint8_t* bytes, std::size_t available, std::uint64_t fileSize) {
    if (available < 4 || std::memcmp(bytes, "LASF", 4) != 0)
        throw failure("not a LAS file: it does not start with \"LASF\"");
    if (available < 26)
        throw failure("the header holds " + to_string(available) +
                      " of the 227 bytes of a LAS header");
    if (bytes[24] != 1 || bytes[25] > 4)
        throw failure("LAS " + to_string(bytes[24]) + "." + to_string(bytes[25]) +
                      " is not read (LAS 1.0 to 1.4 are)");
    Header header;
    header.Minor = bytes[25];
    const std::size_t needed = headerSizeOf(header.Minor);
    if (available < needed)
        throw failure("the header holds " + to_string(available) + " of the " + to_string(needed) +
                      " bytes of a " + versionText(header.Minor) + " header");
    header.HeaderSize = load<std::uint16_t>(bytes + 94);
    if (header.HeaderSize < needed)
        throw failure("the header size is " + to_string(header.HeaderSize) +
                      " bytes, less than the " + to_string(needed) + " of a " +
                      versionText(header.Minor) + " header");
    header.PointOffset = load<std::uint32_t>(bytes + 96);
    header.RecordCount = load<std::uint32_t>(bytes + 100);
    if (bytes[104] & 0xC0) throw failure(CompressedRefusal);
    header.Format = bytes[104];
    if (header.Format > 10)
        throw failure("point format " + to_string(header.Format) +
                      " is unknown (formats 0 to 10 are read)");
    header.RecordLength = load<std::uint16_t>(bytes + 105);
    if (header.RecordLength < standardRecordLength(header.Format))
        throw failure("point records of " + to_string(header.RecordLength) +
                      " bytes are shorter than the " +
                      to_string(standardRecordLength(header.Format)) + " bytes of point format " +
                      to_string(header.Format));
    header.PointCount = pointCountOf(bytes, header.Minor);
    for (int axis = 0; axis < 3; ++axis) {
        header.Scale[axis] = load<double>(bytes + 131 + 8 * axis);
        header.Add[axis] = load<double>(bytes + 155 + 8 * axis);
        const std::string what = std::string("the ") + "XYZ"[axis] + " coordinate";
        checkTransform(what, header.Scale[axis], header.Add[axis]);
        if (!std::isfinite(2147483648.0 * std::fabs(header.Scale[axis]) +
                           std::fabs(header.Add[axis])))
            throw failure(what + "'s scale factor and offset take it beyond the range of double");
    }
    if (header.Minor >= 4) {
        header.ExtendedRecordStart = load<std::uint64_t>(bytes + 235);
        header.ExtendedRecordCount = load<std::uint32_t>(bytes + 243);
    }
    // LAS 1.0 keeps bytes 4 to 7 reserved; 1.1 names the first two, 1.2 the other two.
    if (header.Minor >= 1) header.FileSourceId = load<std::uint16_t>(bytes + 4);
    if (header.Minor >= 2) header.GlobalEncoding = load<std::uint16_t>(bytes + 6);
    header.SystemIdentifier = textOf(bytes + 26, 32);
    header.GeneratingSoftware = textOf(bytes + 58, 32);
    header.CreationDay = load<std::uint16_t>(bytes + 90);
    header.CreationYear = load<std::uint16_t>(bytes + 92);
    checkPlacement(header, fileSize);
    return header;
}

std::vector<Column> pointColumns(const Header& header, const std::vector<std::uint8_t>& descriptors,
                                 std::vector<std::string>& notes) {
    std::vector<Column> columns = standardColumns(header);
    addExtraColumns(columns, header, descriptors);
    notes = renameClashes(columns);
    return columns;
}

std::string textOf(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return std::string(); // bytes may be null then
    const void* end = std::memchr(bytes, 0, size);
    return std::string(reinterpret_cast<const char*>(bytes),
                       end ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - bytes)
                           : size);
}

std::string creationDate(std::uint16_t day, std::uint16_t year) {
    if (day == 0 || year == 0) return std::string();
    static const unsigned monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned left = day;
    for (unsigned month = 0; month < 12; ++month) {
        const unsigned days = monthDays[month] + (month == 1 && isLeapYear(year) ? 1 : 0);
        if (left <= days) {
            char text[32];
            std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(year),
                          month + 1, left);
            return text;
        }
        left -= days;
    }
    return "day " + to_string(day) + " of " + to_string(year);
}

std::string geoKeysText(const std::vector<std::uint8_t>& directory,
                        const std::vector<std::uint8_t>& doubles,
                        const std::vector<std::uint8_t>& ascii) {
    return GeoKeys(directory, doubles, ascii).text();
}

} // namespace Plexa::detail::las
