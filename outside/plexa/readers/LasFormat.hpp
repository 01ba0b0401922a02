// The byte layout of LAS files 1.0 to 1.4: the public header, the point record formats 0 to 10
// with their extra bytes, and the texts of the coordinate reference system. Internal to Plexa.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

namespace Plexa::detail::las {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "LAS values are little-endian and are copied as they are");

// The value of type T at `bytes`; the caller has checked that the bytes are there.
template <class T> T load(const std::uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The element type of the LAS data type code 1 to 10 (uchar, char, ushort, ..., double).
const std::type_info& typeOfCode(unsigned code);
// The bytes of one value of an element type.
std::size_t sizeOf(const std::type_info& type);

// One field of the cloud and where its values lie in a point record.
struct Column {
    std::string Name;
    std::size_t Offset = 0; // of its first byte in the record
    const std::type_info* Stored = &typeid(std::uint8_t);
    int Components = 1;
    // A bit field of one byte, (byte >> Shift) & Mask as uint8; a Mask of 0 takes the whole value.
    std::uint8_t Shift = 0;
    std::uint8_t Mask = 0;
    // Scaled values are stored * Scale + Offset per component, as double.
    bool Scaled = false;
    std::array<double, 3> Scale{1, 1, 1};
    std::array<double, 3> Add{0, 0, 0};
};

// The bytes of the public header that decide how the file is read: the largest (LAS 1.4) header.
constexpr std::size_t LargestHeader = 375;
constexpr std::size_t RecordHeaderSize = 54;
constexpr std::size_t ExtendedRecordHeaderSize = 60;

struct Header {
    int Minor = 0; // the version is 1.Minor
    unsigned Format = 0;
    std::size_t RecordLength = 0;
    std::uint64_t PointCount = 0;
    std::uint64_t PointOffset = 0;
    std::size_t HeaderSize = 0;
    std::uint32_t RecordCount = 0;
    std::uint64_t ExtendedRecordStart = 0;
    std::uint32_t ExtendedRecordCount = 0;
    std::array<double, 3> Scale{};
    std::array<double, 3> Add{};
    std::uint16_t GlobalEncoding = 0;
    std::uint16_t FileSourceId = 0;
    std::uint16_t CreationDay = 0;
    std::uint16_t CreationYear = 0;
    std::string SystemIdentifier;
    std::string GeneratingSoftware;
};

// What `bytes` (the file's first `available` bytes, at most LargestHeader) say, checked against
// each other and the file's size; throws a Failure with the cause for a header that does
// not fit the file.
Header parseHeader(const std::uint8_t* bytes, std::size_t available, std::uint64_t fileSize);

// The message that refuses compressed files.
extern const char* const CompressedRefusal;

// The bytes of a standard record of the point format.
std::size_t standardRecordLength(unsigned format);
bool hasGpsTime(unsigned format);

// The fields of the header's point format, then those of the extra bytes beyond it: as the Extra
// Bytes record describes them (`descriptors`, empty when the file has none), and the bytes that
// it leaves undescribed as one field "ExtraBytes". Throws for descriptors that do not fit; an
// Extra Bytes field that clashes with another's name is renamed, and `notes` say how.
std::vector<Column> pointColumns(const Header& header, const std::vector<std::uint8_t>& descriptors,
                                 std::vector<std::string>& notes);

// The text up to its first NUL.
std::string textOf(const std::uint8_t* bytes, std::size_t size);

// The creation date as ISO date ("2019-09-10"), or in words where day and year make none; empty
// when the file leaves it unset.
std::string creationDate(std::uint16_t day, std::uint16_t year);

// The GeoTIFF keys as one line per key: "ProjectedCSTypeGeoKey (3072) = 2992"; throws for a key
// directory whose entries point beyond its records.
std::string geoKeysText(const std::vector<std::uint8_t>& directory,
                        const std::vector<std::uint8_t>& doubles,
                        const std::vector<std::uint8_t>& ascii);

} // namespace Plexa::detail::las
