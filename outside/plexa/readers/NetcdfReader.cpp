// netCDF files (classic, 64-bit offset and netCDF-4): the time dimension becomes the slices, every
// variable over 1 to 3 other dimensions a field of the structured grid those dimensions make, one
// grid per group and dimension set, named after its dimensions joined with '_' below the group's
// path; text, scalar, grid-mapping and time-series variables become grid attributes.
#include "outside/plexa/readers/Readers.hpp"

#include "outside/plexa/detail/Hdf5.hpp"

#include <netcdf.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace Plexa::detail {

namespace {

using std::to_string;

// Every nc_* call goes through here: a failed status becomes our error, in the library's words.
void ncCheck(int status, const std::string& what) {
    if (status != NC_NOERR) throw Failure(what + " (" + nc_strerror(status) + ")");
}

// An open file, closed when it goes.
class NcFile {
public:
    explicit NcFile(const std::string& name) {
        ncCheck(nc_open(name.c_str(), NC_NOWRITE, &Id), "cannot read it as a netCDF file");
    }
    ~NcFile() { nc_close(Id); }
    NcFile(const NcFile&) = delete;
    NcFile& operator=(const NcFile&) = delete;

    int id() const noexcept { return Id; }

private:
    int Id = -1;
};

std::string inQuotes(const std::string& name) {
    return "\"" + name + "\"";
}

// ---------------------------------------------------------------------------------------------
// What the header says

struct Dimension {
    std::string Name;
    std::size_t Length = 0;
    int Group = -1;              // the group that defines it
    int CoordinateVariable = -1; // index in Header::Variables of its coordinate variable
};

struct Variable {
    int Group = 0; // the netCDF identifier of its group, the file's for the root group
    int Id = 0;
    std::string Name;
    std::string Path; // of its group below the root, with a trailing '/': "geolocation/"
    nc_type Type = NC_NAT;
    std::vector<int> Dimensions;

    std::string fullName() const { return Path + Name; }
    std::string quoted() const { return "\"" + fullName() + "\""; }
};

struct Header {
    std::vector<Dimension> Dimensions; // by identifier, which netCDF-4 groups share
    std::vector<Variable> Variables;
    std::vector<int> Unlimited;
};

std::string nameOf(int group, int variable) {
    char name[NC_MAX_NAME + 1] = {};
    ncCheck(nc_inq_varname(group, variable, name), "cannot read a variable's name");
    return name;
}

// The identifiers a listing call gives: count first, then the list.
template <class List> std::vector<int> identifiers(List&& list, const std::string& what) {
    int count = 0;
    ncCheck(list(&count, nullptr), "cannot count the " + what);
    std::vector<int> ids(static_cast<std::size_t>(count));
    ncCheck(list(&count, ids.data()), "cannot list the " + what);
    return ids;
}

bool isText(nc_type type) {
    return type == NC_CHAR || type == NC_STRING;
}

void readDimensions(int group, Header& header) {
    const std::vector<int> ids =
        identifiers([group](int* count, int* list) { return nc_inq_dimids(group, count, list, 0); },
                    "dimensions");
    std::set<std::string> names; // a damaged header may name two dimensions alike
    for (int id : ids) {
        char name[NC_MAX_NAME + 1] = {};
        std::size_t length = 0;
        ncCheck(nc_inq_dim(group, id, name, &length), "cannot read a dimension");
        if (!names.insert(name).second)
            throw Failure("the header names two dimensions " + inQuotes(name) +
                          " of one group; names are unique");
        if (id < 0) throw Failure("a dimension has a negative identifier");
        if (static_cast<std::size_t>(id) >= header.Dimensions.size())
            header.Dimensions.resize(static_cast<std::size_t>(id) + 1);
        header.Dimensions[static_cast<std::size_t>(id)] = {name, length, group, -1};
    }
    for (int id :
         identifiers([group](int*count, int*list) { return nc_inq_unlimdims(group, count, list); },
                     "unlimited dimensions"))
        header.Unlimited.push_back(id);
}

void readVariables(int group, const std::string& path, Header& header) {
    for (int id :
         identifiers([group](int*count, int*list) { return nc_inq_varids(group, count, list); },
                     "variables")) {
        Variable variable{group, id, nameOf(group, id), path, NC_NAT, {}};
        int count = 0;
        ncCheck(nc_inq_varndims(group, id, &count), "cannot read the dimensions of a variable");
        variable.Dimensions.resize(static_cast<std::size_t>(count));
        ncCheck(nc_inq_var(group, id, nullptr, &variable.Type, nullptr, variable.Dimensions.data(),
                           nullptr),
                "cannot read the variable " + variable.quoted());
        for (int dimension : variable.Dimensions)
            if (dimension < 0 || static_cast<std::size_t>(dimension) >= header.Dimensions.size())
                throw Failure("the variable " + variable.quoted() +
                              " lies over a dimension the file does not define");
        header.Variables.push_back(std::move(variable));
    }
}

// A group and the groups below it, parents first, since children see their parents' dimensions.
void readGroup(int group, const std::string& path, Header& header) {
    readDimensions(group, header);
    readVariables(group, path, header);
    for (int child : identifiers(
             [group](int*count, int*list) { return nc_inq_grps(group, count, list); }, "groups")) {
        char name[NC_MAX_NAME + 1] = {};
        ncCheck(nc_inq_grpname(child, name), "cannot read a group's name");
        readGroup(child, path + name + "/", header);
    }
}

// A coordinate variable is numeric, over its dimension alone, named as it and beside it.
void findCoordinates(Header& header) {
    for (std::size_t index = 0; index < header.Variables.size(); ++index) {
        const Variable& variable = header.Variables[index];
        if (variable.Dimensions.size() != 1 || isText(variable.Type)) continue;
        Dimension& dimension = header.Dimensions[static_cast<std::size_t>(variable.Dimensions[0])];
        if (dimension.Name == variable.Name && dimension.Group == variable.Group)
            dimension.CoordinateVariable = static_cast<int>(index);
    }
}

Header readHeader(int file) {
    Header header;
    readGroup(file, "", header);
    findCoordinates(header);
    return header;
}

const Variable& coordinateOf(const Header& header, const Dimension& dimension) {
    return header.Variables[static_cast<std::size_t>(dimension.CoordinateVariable)];
}

// ---------------------------------------------------------------------------------------------
// Classic files: libnetcdf trusts their headers further than it should

std::uint64_t typeSize(int file, nc_type type) {
    std::size_t size = 0;
    ncCheck(nc_inq_type(file, type, nullptr, &size), "cannot read the size of a type");
    return size;
}

std::uint64_t timesSaturated(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b
               ? std::numeric_limits<std::uint64_t>::max()
               : a * b;
}

// The bytes of a variable's values, without the record dimension `skipped` (-1: none).
std::uint64_t valueBytes(const Header& header, const Variable& variable, int skipped = -1) {
    std::uint64_t bytes = typeSize(variable.Group, variable.Type);
    for (int id : variable.Dimensions)
        if (id != skipped)
            bytes = timesSaturated(bytes, header.Dimensions[static_cast<std::size_t>(id)].Length);
    return bytes;
}

// The bytes of a classic header, whose counts take 8 bytes in the 64-bit data format.
class ClassicHeaderSize {
public:
    ClassicHeaderSize(int file, int format) : File(file), Count(format == NC_FORMAT_CDF5 ? 8 : 4) {}

    std::uint64_t name(const std::string& text) const { return Count + padded(text.size()); }

    std::uint64_t attributes(int variable, int count) const {
        std::uint64_t bytes = 4 + Count;
        for (int i = 0; i < count; ++i) {
            char text[NC_MAX_NAME + 1] = {};
            nc_type type = NC_NAT;
            std::size_t length = 0;
            ncCheck(nc_inq_attname(File, variable, i, text), "cannot read an attribute's name");
            ncCheck(nc_inq_att(File, variable, text, &type, &length),
                    std::string("cannot read the attribute ") + text);
            bytes += name(text) + 4 + Count + padded(length * typeSize(File, type));
        }
        return bytes;
    }

    std::uint64_t count() const { return Count; }

private:
    static std::uint64_t padded(std::uint64_t bytes) { return (bytes + 3) / 4 * 4; }

    int File;
    std::uint64_t Count;
};

// What the header says the file holds at least: the header itself and every value (records
// included), padding left aside.
std::uint64_t classicSize(int file, int format, const Header& header) {
    const ClassicHeaderSize size(file, format);
    const std::uint64_t beginBytes = format == NC_FORMAT_CLASSIC ? 4 : 8;
    int globals = 0;
    ncCheck(nc_inq_natts(file, &globals), "cannot count the global attributes");
    std::uint64_t bytes = 4 + size.count() + 4 + size.count() +
                          size.attributes(NC_GLOBAL, globals) + 4 + size.count();
    for (const Dimension& dimension : header.Dimensions)
        bytes += size.name(dimension.Name) + size.count();
    for (const Variable& variable : header.Variables) {
        int attributes = 0;
        ncCheck(nc_inq_varnatts(file, variable.Id, &attributes),
                "cannot count the attributes of " + variable.quoted());
        bytes += size.name(variable.Name) + size.count() * (1 + variable.Dimensions.size()) +
                 size.attributes(variable.Id, attributes) + 4 + size.count() + beginBytes;
        const std::uint64_t values = valueBytes(header, variable);
        bytes = values > std::numeric_limits<std::uint64_t>::max() - bytes
                    ? std::numeric_limits<std::uint64_t>::max()
                    : bytes + values;
    }
    return bytes;
}

void refuseTruncated(int file, int format, const std::string& name, const Header& header) {
    const std::uint64_t held = std::filesystem::file_size(name);
    const std::uint64_t needed = classicSize(file, format, header);
    if (held < needed)
        throw Failure("the file is truncated: it holds " + to_string(held) +
                      " bytes and its header describes at least " + to_string(needed));
}

// libnetcdf allocates what a classic header claims before it compares it with the file, and
// copies names into the caller's buffer whatever their length. So the header is walked first, as
// the classic format lays it out (big-endian counts of 4 bytes, 8 in the 64-bit data format):
// counts and lengths beyond the file's end, and names longer than NC_MAX_NAME, are refused.
class ClassicHeaderCheck {
public:
    explicit ClassicHeaderCheck(const std::string& name)
        : In(name, std::ios::binary), Size(std::filesystem::file_size(name)) {}

    void run() {
        const std::string magic = bytes(4);
        if (magic.compare(0, 3, "CDF") != 0 || (magic[3] != 1 && magic[3] != 2 && magic[3] != 5))
            return; // libnetcdf tells what else it is
        Wide = magic[3] == 5;
        WideBegin = magic[3] != 1;
        count(); // records
        list([this] {
            name();
            count();
        });
        list([this] { attribute(); });
        list([this] {
            name();
            skipItems(count(), Wide ? 8 : 4); // the dimension ids
            list([this] { attribute(); });
            valueSize();
            count();
            Begins.push_back(number(WideBegin ? 8 : 4));
            if (!In) pastTheEnd();
        });
    }

    // Where each variable's values begin, as the header says, in the order of the variables.
    const std::vector<std::uint64_t>& begins() const { return Begins; }

private:
    std::string bytes(std::size_t count) {
        std::string data(count, '\0');
        In.read(data.data(), static_cast<std::streamsize>(count));
        return data;
    }
    std::uint64_t number(std::size_t size) {
        std::uint64_t value = 0;
        for (char c : bytes(size))
            value = value << 8 | static_cast<unsigned char>(c);
        return value;
    }
    std::uint64_t count() { return number(Wide ? 8 : 4); }
    [[noreturn]] static void pastTheEnd() {
        throw Failure("the header runs past the end of the file");
    }
    // Refuses what would run past the end of the file, then steps over it.
    void skip(std::uint64_t bytes) {
        const auto at = static_cast<std::uint64_t>(In.tellg());
        if (!In || bytes > Size - std::min(at, Size)) pastTheEnd();
        In.seekg(static_cast<std::streamoff>(bytes), std::ios::cur);
    }
    void skipItems(std::uint64_t count, std::uint64_t size) {
        if (count > Size / size) pastTheEnd();
        skip(padded(count * size));
    }
    static std::uint64_t padded(std::uint64_t bytes) { return bytes + (4 - bytes % 4) % 4; }

    // A tag and a count, then that many entries of at least 8 bytes each.
    template <class Entry> void list(Entry&& entry) {
        skip(4);
        const std::uint64_t entries = count();
        if (!In || entries > Size / 8) pastTheEnd();
        for (std::uint64_t n = 0; n < entries; ++n)
            entry();
    }
    void name() {
        const std::uint64_t length = count();
        if (length > NC_MAX_NAME)
            throw Failure("the header holds a name of " + to_string(length) +
                          " bytes; names have at most " + to_string(NC_MAX_NAME));
        skip(padded(length));
    }
    // Bytes per value of the types 1 to 6, and 7 to 11 of the 64-bit data format. libnetcdf sizes
    // an attribute of another type its own way, and divides by a variable's value size.
    std::uint64_t valueSize() {
        static const std::uint64_t sizes[] = {0, 1, 1, 2, 4, 4, 8, 1, 2, 4, 8, 8};
        const std::uint64_t type = number(4);
        if (type == 0 || type >= (Wide ? std::size(sizes) : 7))
            throw Failure("the header holds a value type unknown to the format (" +
                          to_string(type) + ")");
        return sizes[type];
    }
    void attribute() {
        name();
        const std::uint64_t size = valueSize();
        skipItems(count(), size);
    }

    std::ifstream In;
    std::uint64_t Size;
    bool Wide = false;
    bool WideBegin = false;
    std::vector<std::uint64_t> Begins;
};

// libnetcdf reads whatever lies past the end of a classic file as zeros; so every variable's
// values, its last record's included, must lie inside the file. Record sizes are taken without
// padding, so the bound never refuses a sound file.
void refuseValuesPastTheEnd(const Header& header, const std::vector<std::uint64_t>& begins,
                            std::uint64_t held) {
    if (begins.size() != header.Variables.size()) return;
    const int record = header.Unlimited.empty() ? -1 : header.Unlimited[0];
    const std::uint64_t records =
        record < 0 ? 0 : header.Dimensions[static_cast<std::size_t>(record)].Length;
    const auto overRecords = [record](const Variable& variable) {
        return record >= 0 && !variable.Dimensions.empty() && variable.Dimensions[0] == record;
    };
    std::uint64_t recordBytes = 0;
    for (const Variable& variable : header.Variables)
        if (overRecords(variable)) recordBytes += valueBytes(header, variable, record);
    for (std::size_t i = 0; i < begins.size(); ++i) {
        const Variable& variable = header.Variables[i];
        const bool perRecord = overRecords(variable);
        const std::uint64_t bytes = valueBytes(header, variable, record);
        if (bytes == 0 || (perRecord && records == 0)) continue;
        // within the file's size, which the truncation check has bounded the header's claims by
        const std::uint64_t extent = (perRecord ? (records - 1) * recordBytes : 0) + bytes;
        if (begins[i] > held || extent > held - begins[i])
            throw Failure("the values of the variable " + variable.quoted() +
                          " lie past the end of the file: they begin at byte " +
                          to_string(begins[i]) + " and take " + to_string(extent) +
                          " bytes, and the file holds " + to_string(held));
    }
}

// ---------------------------------------------------------------------------------------------
// Attributes

struct AttributeShape {
    nc_type Type = NC_NAT;
    std::size_t Length = 0;
};

std::optional<AttributeShape> attributeShape(int file, int variable, const char* name) {
    AttributeShape shape;
    const int status = nc_inq_att(file, variable, name, &shape.Type, &shape.Length);
    if (status == NC_ENOTATT) return std::nullopt;
    ncCheck(status, std::string("cannot read the attribute ") + name);
    return shape;
}

// A text attribute (char or string); empty when it is missing or holds numbers.
std::string textAttribute(int file, int variable, const char* name) {
    const std::optional<AttributeShape> shape = attributeShape(file, variable, name);
    if (!shape || shape->Length == 0) return {};
    const std::string what = std::string("cannot read the attribute ") + name;
    if (shape->Type == NC_CHAR) {
        std::string text(shape->Length, '\0');
        ncCheck(nc_get_att_text(file, variable, name, text.data()), what);
        return text.substr(0, text.find('\0'));
    }
    if (shape->Type != NC_STRING) return {};
    std::vector<char*> texts(shape->Length);
    ncCheck(nc_get_att_string(file, variable, name, texts.data()), what);
    std::string text = texts[0] ? texts[0] : "";
    nc_free_string(shape->Length, texts.data());
    return text;
}

bool isNumber(nc_type type) {
    return type >= NC_BYTE && type <= NC_UINT64 && type != NC_CHAR;
}

// The values of a numeric attribute as doubles; none when it is missing or holds text.
std::vector<double> numberAttribute(int file, int variable, const char* name) {
    const std::optional<AttributeShape> shape = attributeShape(file, variable, name);
    if (!shape || !isNumber(shape->Type)) return {};
    std::vector<double> values(shape->Length);
    ncCheck(nc_get_att_double(file, variable, name, values.data()),
            std::string("cannot read the attribute ") + name);
    return values;
}

// ---------------------------------------------------------------------------------------------
// Values of one variable: stored type, CF packing and the values that stand for none

// The element type a variable's stored values are read as; "_Unsigned" marks unsigned integers in
// classic files, which have no unsigned types.
nc_type storedType(const Variable& variable) {
    if (textAttribute(variable.Group, variable.Id, "_Unsigned") != "true") return variable.Type;
    switch (variable.Type) {
    case NC_BYTE:
        return NC_UBYTE;
    case NC_SHORT:
        return NC_USHORT;
    case NC_INT:
        return NC_UINT;
    case NC_INT64:
        return NC_UINT64;
    }
    return variable.Type;
}

// Calls visit with a value of the C++ type that holds a stored element of `type`.
template <class Visit> decltype(auto) withType(nc_type type, Visit&& visit) {
    switch (type) {
    case NC_BYTE:
        return visit(std::int8_t());
    case NC_UBYTE:
        return visit(std::uint8_t());
    case NC_SHORT:
        return visit(std::int16_t());
    case NC_USHORT:
        return visit(std::uint16_t());
    case NC_INT:
        return visit(std::int32_t());
    case NC_UINT:
        return visit(std::uint32_t());
    case NC_INT64:
        return visit(std::int64_t());
    case NC_UINT64:
        return visit(std::uint64_t());
    case NC_FLOAT:
        return visit(float());
    }
    return visit(double());
}

bool isFloating(nc_type type) {
    return type == NC_FLOAT || type == NC_DOUBLE;
}

bool isUnsigned(nc_type type) {
    return type == NC_UBYTE || type == NC_USHORT || type == NC_UINT || type == NC_UINT64;
}

std::size_t storedSize(nc_type type) {
    return withType(type, [](auto value) { return sizeof value; });
}

// A numeric attribute of a variable in the terms of its stored type: a writer that marks the
// variable _Unsigned stores its fill and range attributes in the signed type of the same width,
// which reads as unsigned too (-1 of a short is 65535).
std::vector<double> attributeAs(const Variable& variable, nc_type stored, const char* name) {
    const std::optional<AttributeShape> shape = attributeShape(variable.Group, variable.Id, name);
    if (!shape || !isNumber(shape->Type)) return {};
    if (!isUnsigned(stored) || isUnsigned(shape->Type) || isFloating(shape->Type) ||
        storedSize(shape->Type) != storedSize(stored))
        return numberAttribute(variable.Group, variable.Id, name);
    std::vector<long long> signedValues(shape->Length);
    ncCheck(nc_get_att_longlong(variable.Group, variable.Id, name, signedValues.data()),
            std::string("cannot read the attribute ") + name);
    const double wrap = std::ldexp(1.0, static_cast<int>(8 * storedSize(stored)));
    std::vector<double> values;
    for (long long value : signedValues)
        values.push_back(value < 0 ? static_cast<double>(value) + wrap
                                   : static_cast<double>(value));
    return values;
}

struct Decoding {
    nc_type Stored = NC_NAT;
    bool Packed = false;
    double Scale = 1;
    double Offset = 0;
    std::vector<double> NoValue; // _FillValue and missing_value, as stored

    // Packed values become doubles, so both they and floating point values mark gaps with NaN.
    bool makesNan() const { return (Packed || isFloating(Stored)) && !NoValue.empty(); }
    bool isNoValue(double stored) const {
        return std::find(NoValue.begin(), NoValue.end(), stored) != NoValue.end();
    }
    // The packed integers as the writer keeps them; the first value that stands for none is
    // the one NaN packs back to.
    Packing packing() const {
        if (!Packed) return {};
        Packing packing{{Scale}, {Offset}, std::nullopt};
        if (!NoValue.empty() && NoValue.front() == std::trunc(NoValue.front()) &&
            std::fabs(NoValue.front()) < 0x1p62)
            packing.Fill = static_cast<std::int64_t>(NoValue.front());
        return packing;
    }
    double unpacked(double stored) const {
        return isNoValue(stored) ? std::numeric_limits<double>::quiet_NaN()
                                 : stored * Scale + Offset;
    }
};

Decoding decodingOf(const Variable& variable) {
    Decoding decoding;
    decoding.Stored = storedType(variable);
    const std::vector<double> scale = numberAttribute(variable.Group, variable.Id, "scale_factor");
    const std::vector<double> offset = numberAttribute(variable.Group, variable.Id, "add_offset");
    decoding.Packed = !scale.empty() || !offset.empty();
    if (!scale.empty()) decoding.Scale = scale[0];
    if (!offset.empty()) decoding.Offset = offset[0];
    for (const char* name : {"_FillValue", "missing_value"})
        for (double value : attributeAs(variable, decoding.Stored, name))
            decoding.NoValue.push_back(value);
    return decoding;
}

const std::type_info& fieldType(const Decoding& decoding) {
    if (decoding.Packed) return typeid(double);
    return withType(decoding.Stored,
                    [](auto value) -> const std::type_info& { return typeid(value); });
}

// Reads the block at start/count of the variable into `target` as doubles, unpacked; `buffer`
// holds the stored values on the way and is kept for the next block.
void readPacked(const Variable& variable, const Decoding& decoding,
                const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
                std::size_t values, double* target, std::vector<unsigned char>& buffer) {
    buffer.resize(values * storedSize(decoding.Stored));
    ncCheck(nc_get_vara(variable.Group, variable.Id, start.data(), count.data(), buffer.data()),
            "cannot read the values of " + variable.quoted());
    withType(decoding.Stored, [&](auto type) {
        const auto* stored = reinterpret_cast<const decltype(type)*>(buffer.data());
        for (std::size_t i = 0; i < values; ++i)
            target[i] = decoding.unpacked(static_cast<double>(stored[i]));
    });
}

// Reads the block straight into `target`, stored values as they are, gaps of floating point
// values made NaN.
void readPlain(const Variable& variable, const Decoding& decoding,
               const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
               std::size_t values, void* target) {
    ncCheck(nc_get_vara(variable.Group, variable.Id, start.data(), count.data(), target),
            "cannot read the values of " + variable.quoted());
    if (!decoding.makesNan()) return;
    withType(decoding.Stored, [&](auto type) {
        using Value = decltype(type);
        if constexpr (std::is_floating_point_v<Value>) {
            auto* stored = static_cast<Value*>(target);
            for (std::size_t i = 0; i < values; ++i)
                if (decoding.isNoValue(static_cast<double>(stored[i])))
                    stored[i] = std::numeric_limits<Value>::quiet_NaN();
        }
    });
}

// The value libnetcdf writes where nothing was written, as the stored type reads it; none for
// bytes, whose default fill is a valid value, and for variables written without fill.
std::optional<double> defaultFill(const Variable& variable, nc_type stored) {
    if (stored == NC_BYTE || stored == NC_UBYTE) return std::nullopt;
    int noFill = 0;
    alignas(8) unsigned char fill[8] = {};
    ncCheck(nc_inq_var_fill(variable.Group, variable.Id, &noFill, fill),
            "cannot read the fill value of " + variable.quoted());
    if (noFill) return std::nullopt;
    return withType(stored, [&](auto type) {
        decltype(type) value;
        std::memcpy(&value, fill, sizeof value);
        return static_cast<double>(value);
    });
}

std::size_t elementCount(const Header& header, const Variable& variable) {
    std::size_t count = 1;
    for (int id : variable.Dimensions)
        count *= header.Dimensions[static_cast<std::size_t>(id)].Length;
    return count;
}

// The whole of a variable as doubles, unpacked, fill values as NaN.
std::vector<double> readDoubles(const Header& header, const Variable& variable, Decoding decoding) {
    const std::size_t count = elementCount(header, variable);
    std::vector<double> values(count);
    if (count == 0) return values;
    std::vector<std::size_t> start(variable.Dimensions.size(), 0), counts;
    for (int id : variable.Dimensions)
        counts.push_back(header.Dimensions[static_cast<std::size_t>(id)].Length);
    std::vector<unsigned char> buffer;
    readPacked(variable, decoding, start, counts, count, values.data(), buffer);
    return values;
}

// The decoding of a variable whose every value should have been written: without a fill value
// of its own, a slot nobody wrote holds libnetcdf's default fill, which then stands for none.
Decoding writtenDecoding(const Variable& variable) {
    Decoding decoding = decodingOf(variable);
    if (decoding.NoValue.empty())
        if (std::optional<double> fill = defaultFill(variable, decoding.Stored))
            decoding.NoValue.push_back(*fill);
    return decoding;
}

// The whole of a 1-D variable as doubles, unpacked: coordinates and times. Every value must be
// one, so a slot nobody wrote is refused as a gap, not taken as a coordinate.
std::vector<double> readCoordinates(const Header& header, const Variable& variable) {
    const std::vector<double> values = readDoubles(header, variable, writtenDecoding(variable));
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!std::isfinite(values[i]))
            throw Failure("the coordinate variable " + variable.quoted() +
                          " has no value at index " + to_string(i) +
                          " (a fill value, NaN or an infinity); every node needs one");
    return values;
}

// ---------------------------------------------------------------------------------------------
// The time dimension

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string attributeText(const Variable& variable, const char* name) {
    return textAttribute(variable.Group, variable.Id, name);
}

// CF marks a time coordinate with axis "T", standard name "time" or units "<unit> since <date>".
bool isMarkedTime(const Variable& variable) {
    const std::string units = lowerCase(attributeText(variable, "units"));
    return attributeText(variable, "axis") == "T" ||
           attributeText(variable, "standard_name") == "time" ||
           units.find(" since ") != std::string::npos;
}

// CF marks a space coordinate with axis X, Y or Z, a spatial standard name, the units of
// latitude or longitude, or the direction "positive" of a vertical axis.
bool isMarkedSpace(const Variable& variable) {
    static const std::set<std::string> spatialNames = {"latitude",
                                                       "longitude",
                                                       "grid_latitude",
                                                       "grid_longitude",
                                                       "altitude",
                                                       "height",
                                                       "depth",
                                                       "projection_x_coordinate",
                                                       "projection_y_coordinate",
                                                       "projection_x_angular_coordinate",
                                                       "projection_y_angular_coordinate"};
    static const std::set<std::string> spatialUnits = {
        "degrees_north", "degree_north", "degrees_n", "degree_n",
        "degrees_east",  "degree_east",  "degrees_e", "degree_e"};
    const std::string axis = attributeText(variable, "axis");
    return axis == "X" || axis == "Y" || axis == "Z" ||
           spatialNames.count(attributeText(variable, "standard_name")) ||
           spatialUnits.count(lowerCase(attributeText(variable, "units"))) ||
           attributeShape(variable.Group, variable.Id, "positive").has_value();
}

bool isMarkedSpace(const Header& header, int dimension) {
    const Dimension& candidate = header.Dimensions[static_cast<std::size_t>(dimension)];
    return candidate.CoordinateVariable >= 0 && isMarkedSpace(coordinateOf(header, candidate));
}

// The time dimension's identifier: the one CF marks; else, unless CF marks it as space, the only
// unlimited one, or one named time, month or step (files that predate the marks); -1 when there
// is none.
int timeCandidate(const Header& header) {
    std::vector<int> marked, named;
    for (std::size_t id = 0; id < header.Dimensions.size(); ++id) {
        const Dimension& dimension = header.Dimensions[id];
        if (dimension.CoordinateVariable >= 0 && isMarkedTime(coordinateOf(header, dimension)))
            marked.push_back(static_cast<int>(id));
        const std::string name = lowerCase(dimension.Name);
        if (name == "time" || name == "month" || name == "step")
            named.push_back(static_cast<int>(id));
    }
    if (marked.size() > 1)
        throw Failure("the dimensions " + inQuotes(header.Dimensions[marked[0]].Name) + " and " +
                      inQuotes(header.Dimensions[marked[1]].Name) +
                      " are both marked as time; a bundle has one time line");
    if (marked.size() == 1) return marked[0];
    if (header.Unlimited.size() == 1) named.insert(named.begin(), header.Unlimited[0]);
    for (int id : named)
        if (!isMarkedSpace(header, id)) return id;
    return -1;
}

bool holdsValuesOver(const Header& header, int dimension) {
    const int coordinate =
        header.Dimensions[static_cast<std::size_t>(dimension)].CoordinateVariable;
    for (std::size_t index = 0; index < header.Variables.size(); ++index) {
        const std::vector<int>& dimensions = header.Variables[index].Dimensions;
        if (static_cast<int>(index) != coordinate &&
            std::count(dimensions.begin(), dimensions.end(), dimension))
            return true;
    }
    return false;
}

// A time dimension over which no variable but its coordinate lies changes nothing over time: it
// counts as none, and its length (which no value backs) makes no steps.
int findTimeDimension(const Header& header) {
    const int candidate = timeCandidate(header);
    return candidate >= 0 && holdsValuesOver(header, candidate) ? candidate : -1;
}

// The slice times: the time coordinate's values (its indices when it has none), strictly
// increasing, since two steps at one time would become one slice.
std::vector<double> readTimes(const Header& header, int timeDimension) {
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    if (time.Length == 0)
        throw Failure("the time dimension " + inQuotes(time.Name) + " has no steps");
    std::vector<double> times(time.Length);
    if (time.CoordinateVariable < 0) {
        for (std::size_t step = 0; step < times.size(); ++step)
            times[step] = static_cast<double>(step);
        return times;
    }
    times = readCoordinates(header, coordinateOf(header, time));
    for (std::size_t step = 1; step < times.size(); ++step) {
        if (!(times[step] > times[step - 1]))
            throw Failure("the time coordinate " + inQuotes(time.Name) +
                          " is not strictly increasing (step " + to_string(step) +
                          " follows step " + to_string(step - 1) + " with " +
                          (times[step] == times[step - 1] ? "the same" : "a smaller") +
                          " value); each time step must have a time of its own");
    }
    return times;
}

// ---------------------------------------------------------------------------------------------
// What a netCDF-4 file stores

// libnetcdf makes up what was never written of a netCDF-4 variable out of fill values, at any
// size its header claims. So a large claim must be backed by what HDF5 stores of it: at least
// 1/1024 of it, about the most deflate packs into a byte.
constexpr std::uint64_t FreeClaim = std::uint64_t(16) << 20;
constexpr std::uint64_t LargestPacking = 1024;
// What a time step costs in memory besides its values (its slice, grid and field).
constexpr std::uint64_t StepBytes = 1024;

// The memory a variable's values take, each time step counted at least at StepBytes.
std::uint64_t claimOf(const Header& header, const Variable& variable, int timeDimension) {
    const std::uint64_t values = valueBytes(header, variable);
    if (variable.Dimensions.empty() || variable.Dimensions[0] != timeDimension) return values;
    const std::uint64_t steps = header.Dimensions[static_cast<std::size_t>(timeDimension)].Length;
    return std::max(values, timesSaturated(steps, StepBytes));
}

class StoredBytes {
public:
    explicit StoredBytes(const std::string& name)
        : File(H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose,
               "cannot open the file with HDF5") {}

    // What HDF5 stores of the variable's values; libnetcdf renames a variable that has the name
    // of a dimension it does not give coordinates to.
    std::uint64_t of(const Variable& variable) const {
        for (const std::string& prefix : {std::string(), std::string("_nc4_non_coord_")}) {
            const std::string path = "/" + variable.Path + prefix + variable.Name;
            if (check(H5Lexists(File.get(), path.c_str(), H5P_DEFAULT), "H5Lexists") > 0)
                return storageSize(openDataset(File.get(), path).get());
        }
        return 0;
    }

private:
    QuietHdf5 Quiet;
    Handle File;
};

void refuseUnbackedClaims(const std::string& name, const Header& header, int timeDimension,
                          const std::vector<const Variable*>& variables) {
    std::optional<StoredBytes> stored;
    for (const Variable* variable : variables) {
        const std::uint64_t claimed = claimOf(header, *variable, timeDimension);
        if (claimed <= FreeClaim) continue;
        if (!stored) stored.emplace(name);
        const std::uint64_t held = stored->of(*variable);
        if (claimed / LargestPacking > held)
            throw Failure("the variable " + variable->quoted() + " claims " + to_string(claimed) +
                          " bytes of values, and the file stores " + to_string(held) +
                          " bytes of them; most of it was never written");
    }
}

// ---------------------------------------------------------------------------------------------
// Grids and fields

// A variable that becomes a field, and where its values go.
struct FieldSource {
    const Variable* Source = nullptr;
    std::string Name; // the variable's own, unless an axis of its grid holds that name
    bool OverTime = false;
    Decoding Decode;
    SaveableAttributes Description; // units, names, ...: one set that every step shares
};

using ChunkPtr = Quorix::StrongPtr<Quorix::ChunkBase>;
using Attributes = std::vector<std::pair<std::string, ChunkPtr>>;

struct GridPlan {
    std::string Name;
    std::vector<int> Dimensions;
    Topology Layout;
    std::vector<FieldSource> Fields;
    std::vector<const Variable*> Mappings; // the CF grid mappings its fields name
};

bool isCoordinate(const Header& header, const Variable& variable) {
    if (variable.Dimensions.size() != 1) return false;
    const Dimension& dimension =
        header.Dimensions[static_cast<std::size_t>(variable.Dimensions[0])];
    return dimension.CoordinateVariable >= 0 && &coordinateOf(header, dimension) == &variable;
}

void refuseType(const Variable& variable) {
    if (!isNumber(variable.Type))
        throw Failure("the variable " + variable.quoted() +
                      " is of a type of the file's own (compound, enum, opaque or "
                      "variable length); only numbers can be converted");
}

std::vector<int> withoutTime(const Variable& variable, int timeDimension) {
    std::vector<int> dimensions = variable.Dimensions;
    dimensions.erase(std::remove(dimensions.begin(), dimensions.end(), timeDimension),
                     dimensions.end());
    return dimensions;
}

// The variable's dimensions besides time; refuses a dimension twice, time anywhere but first and
// more than 3 others.
std::vector<int> gridDimensions(const Header& header, const Variable& variable, int timeDimension) {
    const std::vector<int>& all = variable.Dimensions;
    for (auto id = all.begin(); id != all.end(); ++id)
        if (std::find(all.begin(), id, *id) != id)
            throw Failure("the variable " + variable.quoted() + " lies over the dimension " +
                          inQuotes(header.Dimensions[static_cast<std::size_t>(*id)].Name) +
                          " twice; each axis of a grid has a dimension of its own");
    const auto time =
        std::find(variable.Dimensions.begin(), variable.Dimensions.end(), timeDimension);
    if (time != variable.Dimensions.end() && time != variable.Dimensions.begin())
        throw Failure("the variable " + variable.quoted() + " has the time dimension " +
                      inQuotes(header.Dimensions[static_cast<std::size_t>(timeDimension)].Name) +
                      " in place " + to_string(time - variable.Dimensions.begin() + 1) +
                      "; it is read only as the first dimension");
    std::vector<int> dimensions = withoutTime(variable, timeDimension);
    if (dimensions.size() > 3)
        throw Failure("the variable " + variable.quoted() + " has " + to_string(dimensions.size()) +
                      " dimensions besides time; a grid has 1 to 3 axes");
    return dimensions;
}

std::string joined(const std::vector<std::string>& names, const char* separator) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : separator) + name;
    return text;
}

// A grid is named after its dimensions, below the path of its variables' group.
std::string gridName(const Header& header, const Variable& variable,
                     const std::vector<int>& dimensions) {
    std::vector<std::string> names;
    for (int id : dimensions)
        names.push_back(header.Dimensions[static_cast<std::size_t>(id)].Name);
    return variable.Path + joined(names, "_");
}

Topology topologyOf(const Header& header, const GridPlan& grid) {
    Topology topology;
    for (int id : grid.Dimensions) {
        const Dimension& dimension = header.Dimensions[static_cast<std::size_t>(id)];
        Axis axis{dimension.Name, dimension.Length, 0, 1, {}};
        if (dimension.CoordinateVariable >= 0) {
            const Variable& coordinate = coordinateOf(header, dimension);
            refuseType(coordinate);
            axis.Coordinates = readCoordinates(header, coordinate);
        }
        topology.Axes.push_back(std::move(axis));
    }
    if (std::string problem = topology.problem(); !problem.empty())
        throw Failure("the grid " + inQuotes(grid.Name) + ": " + problem);
    return topology;
}

ChunkPtr textsChunk(const std::vector<std::string>& texts) {
    auto* chunk = new Quorix::Chunk<std::string>;
    chunk->assign(texts.begin(), texts.end());
    chunk->recount();
    return ChunkPtr(chunk);
}

ChunkPtr textChunk(const std::string& text) {
    return textsChunk({text});
}

ChunkPtr numberChunk(const std::vector<double>& values) {
    auto* chunk = new Quorix::Chunk<double>;
    chunk->assign(values.begin(), values.end());
    chunk->recount();
    return ChunkPtr(chunk);
}

// Units and names as they are; values that stand for none where the field keeps them, and the
// valid range in the field's own units: integer limits of a packed variable are packed too.
void describeField(const FieldSource& source, SaveableAttributes& attributes) {
    const Variable& variable = *source.Source;
    for (const char* name : {"units", "long_name", "standard_name", "grid_mapping"})
        if (std::string text = attributeText(variable, name); !text.empty())
            attributes.setAttribute(name, textChunk(text));
    if (!source.Decode.makesNan())
        for (const char* name : {"_FillValue", "missing_value"})
            if (std::vector<double> values = attributeAs(variable, source.Decode.Stored, name);
                !values.empty())
                attributes.setAttribute(name, numberChunk(values));
    for (const char* name : {"valid_min", "valid_max", "valid_range"}) {
        std::vector<double> values = attributeAs(variable, source.Decode.Stored, name);
        if (values.empty()) continue;
        if (source.Decode.Packed &&
            !isFloating(attributeShape(variable.Group, variable.Id, name)->Type))
            for (double& value : values)
                value = value * source.Decode.Scale + source.Decode.Offset;
        attributes.setAttribute(name, numberChunk(values));
    }
}

// The --fields or --grids selection: it applies when it names something of the file; otherwise
// everything is read, so that the program can say what the file holds.
class Selection {
public:
    Selection(const std::vector<std::string>& names, const std::vector<std::string>& held)
        : Names(names.begin(), names.end()),
          Applies(std::any_of(held.begin(), held.end(),
                              [this](const std::string& name) { return Names.count(name); })) {}

    bool takes(const std::string& name) const { return !Applies || Names.count(name); }

private:
    std::set<std::string> Names;
    bool Applies;
};

// The grid attributes this reader writes; a variable of such a name cannot be kept under it.
const std::set<std::string>& ownKeys() {
    static const std::set<std::string> keys = {"NetcdfNote", "NetcdfTimeDimension",
                                               "NetcdfTimeUnits", "NetcdfTimeCalendar"};
    return keys;
}

// What the file makes: grids by group and dimension set, the variables that become grid
// attributes, and the variables left out with the reason.
struct Plan {
    std::map<std::pair<std::string, std::vector<int>>, GridPlan> Grids;
    std::vector<const Variable*> AsAttributes; // text, scalars and grid mappings
    std::vector<const Variable*> Series;       // over time alone: one value per step
    std::vector<std::string> LeftOut;
    std::vector<std::string> Renamed;
};

bool becomesAttributes(const Variable& variable) {
    return isText(variable.Type) || (isNumber(variable.Type) && variable.Dimensions.empty());
}

// The variables that may become fields, as --fields and --grids (by the names the file gives;
// a grid renamed by --grid-name is left to the program) select them, before any is refused. A
// selection that selects nothing selects everything, so that the program names what the file
// holds.
std::vector<const Variable*> selectedFields(const Header& header, int timeDimension,
                                            const ReadOptions& options) {
    std::vector<const Variable*> candidates;
    std::vector<std::string> fieldNames, gridNames;
    for (const Variable& variable : header.Variables) {
        if (isCoordinate(header, variable) || becomesAttributes(variable)) continue;
        candidates.push_back(&variable);
        fieldNames.push_back(variable.Name);
        gridNames.push_back(gridName(header, variable, withoutTime(variable, timeDimension)));
    }
    const Selection fields(options.Netcdf.Fields, fieldNames);
    const Selection grids(
        options.GridName.empty() ? options.Netcdf.Grids : std::vector<std::string>(), gridNames);
    std::vector<const Variable*> selected;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (fields.takes(fieldNames[i]) && grids.takes(gridNames[i]))
            selected.push_back(candidates[i]);
    return selected.empty() ? candidates : selected;
}

// The dimensions of the grid the variable gives; a variable of a group that cannot give one is
// left out with the reason, one of the root group refuses the file.
std::optional<std::vector<int>> fieldDimensions(const Header& header, const Variable& variable,
                                                int timeDimension, Plan& plan) {
    try {
        refuseType(variable);
        return gridDimensions(header, variable, timeDimension);
    } catch (const Failure& refusal) {
        if (variable.Path.empty()) throw;
        plan.LeftOut.emplace_back(refusal.what());
    }
    return std::nullopt;
}

void addFields(const Header& header, int timeDimension, const ReadOptions& options, Plan& plan) {
    for (const Variable* variable : selectedFields(header, timeDimension, options)) {
        const std::optional<std::vector<int>> kept =
            fieldDimensions(header, *variable, timeDimension, plan);
        if (!kept) continue;
        const std::vector<int>& dimensions = *kept;
        const bool overTime = dimensions.size() < variable->Dimensions.size();
        if (dimensions.empty()) {
            plan.Series.push_back(variable);
            continue;
        }
        GridPlan& grid = plan.Grids[{variable->Path, dimensions}];
        grid.Name = gridName(header, *variable, dimensions);
        grid.Dimensions = dimensions;
        FieldSource source{variable, variable->Name, overTime, decodingOf(*variable), {}};
        describeField(source, source.Description);
        grid.Fields.push_back(std::move(source));
    }
}

// "a/" above "a/b/", "" above "a/".
std::string parentPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/', path.size() - 2);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The variable that a grid_mapping attribute names, searched as CF does: an absolute path, a
// path below the naming variable's group, else the name in that group or the nearest above.
const Variable* findVariable(const Header& header, const Variable& from, const std::string& name) {
    const auto named = [&](const std::string& fullName) -> const Variable* {
        for (const Variable& variable : header.Variables)
            if (variable.fullName() == fullName) return &variable;
        return nullptr;
    };
    if (name.rfind('/', 0) == 0) return named(name.substr(1));
    if (name.find('/') != std::string::npos) return named(from.Path + name);
    for (std::string path = from.Path;; path = parentPath(path)) {
        if (const Variable* found = named(path + name)) return found;
        if (path.empty()) return nullptr;
    }
}

// The names in a grid_mapping attribute: "crs", or "crs: x y crs2: lat lon" (CF 1.7 and later).
std::vector<std::string> mappingNames(const std::string& text) {
    std::vector<std::string> words, names;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    for (const std::string& word : words)
        if (word.size() > 1 && word.back() == ':') names.push_back(word.substr(0, word.size() - 1));
    if (names.empty() && words.size() == 1) names = words;
    return names;
}

void findMappings(const Header& header, Plan& plan) {
    for (auto& [key, grid] : plan.Grids)
        for (const FieldSource& field : grid.Fields)
            for (const std::string& name :
                 mappingNames(attributeText(*field.Source, "grid_mapping"))) {
                const Variable* mapping = findVariable(header, *field.Source, name);
                if (!mapping)
                    plan.LeftOut.push_back("the grid mapping " + inQuotes(name) + " that " +
                                           field.Source->quoted() + " names (not in the file)");
                else if (std::find(grid.Mappings.begin(), grid.Mappings.end(), mapping) ==
                         grid.Mappings.end())
                    grid.Mappings.push_back(mapping);
            }
}

// A variable named like a dimension but not its coordinate (x(y, x)) would share its name with
// the grid's axis, which the bundle stores under that name: the field takes a free name.
void renameAxisClashes(const Header& header, Plan& plan) {
    for (auto& [key, grid] : plan.Grids) {
        std::set<std::string> taken;
        for (int id : grid.Dimensions)
            taken.insert(header.Dimensions[static_cast<std::size_t>(id)].Name);
        const std::set<std::string> axes = taken;
        for (const FieldSource& field : grid.Fields)
            taken.insert(field.Name);
        for (FieldSource& field : grid.Fields) {
            if (!axes.count(field.Name)) continue;
            std::string name = field.Name + "_variable";
            while (taken.count(name))
                name += '_';
            taken.insert(name);
            plan.Renamed.push_back("the variable " + field.Source->quoted() + " to " +
                                   inQuotes(name) + ", the name of an axis of its grid");
            field.Name = name;
        }
    }
}

Plan planGrids(const Header& header, int timeDimension, const ReadOptions& options) {
    Plan plan;
    addFields(header, timeDimension, options, plan);
    renameAxisClashes(header, plan);
    findMappings(header, plan);
    for (const Variable& variable : header.Variables)
        if (becomesAttributes(variable)) plan.AsAttributes.push_back(&variable);
    for (auto* kept : {&plan.AsAttributes, &plan.Series}) {
        const auto taken = std::stable_partition(kept->begin(), kept->end(), [](const Variable* v) {
            return !ownKeys().count(v->fullName());
        });
        for (auto v = taken; v != kept->end(); ++v)
            plan.LeftOut.push_back((*v)->fullName() + " (named as an attribute of this reader)");
        kept->erase(taken, kept->end());
    }
    return plan;
}

void nameGrids(Plan& plan, const std::string& gridName) {
    std::map<std::string, int> uses;
    for (const auto& [key, grid] : plan.Grids)
        if (++uses[grid.Name] > 1)
            throw Failure("two sets of dimensions make the grid name " + inQuotes(grid.Name));
    if (gridName.empty()) return;
    if (plan.Grids.size() > 1)
        throw Failure("the file makes " + to_string(plan.Grids.size()) +
                      " grids, which one grid name cannot name");
    plan.Grids.begin()->second.Name = gridName;
}

// Every variable the plan reads values of, before any is read.
std::vector<const Variable*> variablesRead(const Header& header, const Plan& plan,
                                           int timeDimension) {
    std::vector<const Variable*> read = plan.AsAttributes;
    read.insert(read.end(), plan.Series.begin(), plan.Series.end());
    std::vector<int> dimensions;
    if (timeDimension >= 0) dimensions.push_back(timeDimension);
    for (const auto& [key, grid] : plan.Grids) {
        for (const FieldSource& field : grid.Fields)
            read.push_back(field.Source);
        dimensions.insert(dimensions.end(), grid.Dimensions.begin(), grid.Dimensions.end());
    }
    for (int id : dimensions) {
        const Dimension& dimension = header.Dimensions[static_cast<std::size_t>(id)];
        if (dimension.CoordinateVariable >= 0) read.push_back(&coordinateOf(header, dimension));
    }
    return read;
}

// ---------------------------------------------------------------------------------------------
// Variables kept as grid attributes

// The rows of a char array (the last dimension runs along a text), or the texts of a string
// array, each cut at its first NUL.
std::vector<std::string> readTexts(const Header& header, const Variable& variable) {
    const std::string what = "cannot read the values of " + variable.quoted();
    const std::size_t count = elementCount(header, variable);
    std::vector<std::string> texts;
    if (variable.Type == NC_STRING) {
        std::vector<char*> values(count);
        ncCheck(nc_get_var_string(variable.Group, variable.Id, values.data()), what);
        for (char* value : values)
            texts.emplace_back(value ? value : "");
        nc_free_string(count, values.data());
        return texts;
    }
    std::string chars(count, '\0');
    if (count > 0) ncCheck(nc_get_var_text(variable.Group, variable.Id, chars.data()), what);
    const std::size_t length =
        variable.Dimensions.empty()
            ? 1
            : header.Dimensions[static_cast<std::size_t>(variable.Dimensions.back())].Length;
    for (std::size_t at = 0; length > 0 && at < chars.size(); at += length) {
        const std::string row = chars.substr(at, length);
        texts.push_back(row.substr(0, row.find('\0')));
    }
    return texts;
}

// Each attribute of the variable as a grid attribute "<variable>:<attribute>".
void addVariableAttributes(const Variable& variable, Attributes& into) {
    int count = 0;
    ncCheck(nc_inq_varnatts(variable.Group, variable.Id, &count),
            "cannot count the attributes of " + variable.quoted());
    for (int i = 0; i < count; ++i) {
        char name[NC_MAX_NAME + 1] = {};
        ncCheck(nc_inq_attname(variable.Group, variable.Id, i, name),
                "cannot read an attribute's name");
        const std::string key = variable.fullName() + ":" + name;
        if (std::vector<double> numbers = attributeAs(variable, storedType(variable), name);
            !numbers.empty())
            into.emplace_back(key, numberChunk(numbers));
        else if (std::string text = attributeText(variable, name); !text.empty())
            into.emplace_back(key, textChunk(text));
    }
}

// A grid mapping's attributes describe the grid; its value means nothing. Other variables keep
// their values under their names (texts, or numbers unpacked) and their attributes beside them.
Attributes variableAttributes(const Header& header, const Variable& variable) {
    Attributes attributes;
    if (!attributeShape(variable.Group, variable.Id, "grid_mapping_name")) {
        if (isText(variable.Type))
            attributes.emplace_back(variable.fullName(), textsChunk(readTexts(header, variable)));
        else
            attributes.emplace_back(
                variable.fullName(),
                numberChunk(readDoubles(header, variable, writtenDecoding(variable))));
    }
    addVariableAttributes(variable, attributes);
    return attributes;
}

// The attributes every grid gets, and those of each grid mapping for the grids that name it; a
// grid mapping that no grid names is kept on every grid.
struct KeptAttributes {
    Attributes Common;
    std::map<const Variable*, Attributes> Mappings;
};

KeptAttributes keptAttributes(const Header& header, const Plan& plan) {
    KeptAttributes kept;
    std::set<const Variable*> named;
    for (const auto& [key, grid] : plan.Grids)
        named.insert(grid.Mappings.begin(), grid.Mappings.end());
    for (const Variable* variable : named)
        addVariableAttributes(*variable, kept.Mappings[variable]);
    for (const Variable* variable : plan.Series)
        addVariableAttributes(*variable, kept.Common);
    for (const Variable* variable : plan.AsAttributes)
        if (!named.count(variable))
            for (auto& attribute : variableAttributes(header, *variable))
                kept.Common.push_back(std::move(attribute));
    return kept;
}

// ---------------------------------------------------------------------------------------------
// Reading the grids

// One time step of the variable as a whole array of the grid's nodes.
MemPtr readStep(const FieldSource& source, const Header& header, std::size_t step,
                std::size_t nodes, std::vector<unsigned char>& buffer) {
    const Variable& variable = *source.Source;
    std::vector<std::size_t> start(variable.Dimensions.size(), 0), count;
    for (int id : variable.Dimensions)
        count.push_back(header.Dimensions[static_cast<std::size_t>(id)].Length);
    if (source.OverTime) {
        start[0] = step;
        count[0] = 1;
    }
    MemPtr data = makeUninitializedArray(fieldType(source.Decode), nodes, 1);
    if (source.Decode.Packed)
        readPacked(variable, source.Decode, start, count, nodes,
                   static_cast<double*>(data->rawData()), buffer);
    else
        readPlain(variable, source.Decode, start, count, nodes, data->rawData());
    return data;
}

// A time step the read takes: its index along the time dimension and its time.
struct Step {
    std::size_t Index = 0;
    double Time = 0;
};

// Fields over time get one array per step; the others one array that every step shares.
void readGrid(const Header& header, const GridPlan& plan, const std::vector<Step>& steps,
              const Attributes& attributes, const std::vector<Attributes>& stepAttributes,
              Bundle& into) {
    const std::size_t nodes = plan.Layout.nodeCount();
    std::vector<unsigned char> buffer;
    std::map<std::string, MemPtr> constant;
    for (std::size_t taken = 0; taken < steps.size(); ++taken) {
        GridPtr grid = into.addSlice(steps[taken].Time)->addGrid(plan.Name);
        std::string error;
        if (!grid->setTopology(plan.Layout, error)) throw Failure(error);
        for (const FieldSource& source : plan.Fields) {
            MemPtr& shared = constant[source.Name];
            MemPtr data = source.OverTime || !shared
                              ? readStep(source, header, steps[taken].Index, nodes, buffer)
                              : shared;
            if (!source.OverTime) shared = data;
            Field& field = grid->addField(source.Name, data);
            field.Attributes = source.Description;
            field.Packed = source.Decode.packing();
        }
        for (const auto& [key, value] : attributes)
            grid->setAttribute(key, value);
        for (const auto& [key, value] : stepAttributes[taken])
            grid->setAttribute(key, value);
    }
}

// The value of each variable over time alone at each step.
std::vector<Attributes> seriesAttributes(const Header& header, const Plan& plan,
                                         const std::vector<Step>& steps) {
    std::vector<Attributes> attributes(steps.size());
    for (const Variable* variable : plan.Series) {
        const std::vector<double> values =
            readDoubles(header, *variable, writtenDecoding(*variable));
        for (std::size_t taken = 0; taken < steps.size(); ++taken)
            attributes[taken].emplace_back(variable->fullName(),
                                           numberChunk({values.at(steps[taken].Index)}));
    }
    return attributes;
}

// The reader's own notes: what was left out, and the time line's dimension, units and calendar.
Attributes gridNotes(const Header& header, int timeDimension, const Plan& plan) {
    Attributes notes;
    const auto note = [&notes](const char* key, const std::string& text) {
        if (!text.empty()) notes.emplace_back(key, textChunk(text));
    };
    std::vector<std::string> said;
    if (!plan.LeftOut.empty()) said.push_back("left out: " + joined(plan.LeftOut, ", "));
    if (!plan.Renamed.empty()) said.push_back("renamed: " + joined(plan.Renamed, ", "));
    note("NetcdfNote", joined(said, "; "));
    if (timeDimension < 0) return notes;
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    note("NetcdfTimeDimension", time.Name);
    if (time.CoordinateVariable >= 0) {
        note("NetcdfTimeUnits", attributeText(coordinateOf(header, time), "units"));
        note("NetcdfTimeCalendar", attributeText(coordinateOf(header, time), "calendar"));
    }
    return notes;
}

std::string seriesNames(const Plan& plan) {
    std::vector<std::string> names;
    for (const Variable* variable : plan.Series)
        names.push_back(variable->fullName());
    return joined(names, ", ");
}

// libnetcdf keeps global state of its own without locks.
std::mutex LibraryLock;

// A file opened and checked, with the plan of what a read of it makes under the options: what a
// read and a description of its time steps share.
class PlannedFile {
public:
    PlannedFile(const std::string& name, const ReadOptions& options)
        : Lock(LibraryLock), File(checkedName(name)), Content(readHeader(File.id())) {
        int format = 0;
        ncCheck(nc_inq_format(File.id(), &format), "cannot read the file's format");
        const bool classic = format != NC_FORMAT_NETCDF4 && format != NC_FORMAT_NETCDF4_CLASSIC;
        if (classic) {
            refuseTruncated(File.id(), format, name, Content);
            refuseValuesPastTheEnd(Content, Begins, std::filesystem::file_size(name));
        }
        TimeDimension = findTimeDimension(Content);
        Grids = planGrids(Content, TimeDimension, options);
        if (Grids.Grids.empty())
            throw Failure("the file holds no variable over 1 to 3 dimensions besides time" +
                          (Grids.Series.empty() ? std::string()
                                                : "; over time alone: " + seriesNames(Grids)) +
                          (Grids.LeftOut.empty() ? std::string()
                                                 : "; left out: " + joined(Grids.LeftOut, ", ")));
        if (!classic)
            refuseUnbackedClaims(name, Content, TimeDimension,
                                 variablesRead(Content, Grids, TimeDimension));
        for (auto& [key, grid] : Grids.Grids)
            grid.Layout = topologyOf(Content, grid);
        // after the layouts, which refuse empty axes: a classic file then holds a value per step
        Times = TimeDimension < 0 ? std::vector<double>{options.Time}
                                  : readTimes(Content, TimeDimension);
        nameGrids(Grids, options.GridName);
    }

    // The steps at the selected times, all when none is selected.
    std::vector<Step> steps(const std::vector<double>& selected) const {
        const std::set<double> wanted(selected.begin(), selected.end());
        std::vector<Step> steps;
        for (std::size_t index = 0; index < Times.size(); ++index)
            if (wanted.empty() || wanted.count(Times[index]))
                steps.push_back({index, Times[index]});
        return steps;
    }

    // The bytes of the arrays one step of every grid holds.
    std::uint64_t stepBytes() const {
        std::uint64_t bytes = 0;
        for (const auto& [key, grid] : Grids.Grids)
            for (const FieldSource& field : grid.Fields)
                bytes += grid.Layout.nodeCount() *
                         withType(field.Decode.Packed ? NC_DOUBLE : field.Decode.Stored,
                                  [](auto value) { return sizeof value; });
        return bytes;
    }

    void read(const ReadOptions& options, Bundle& into) const {
        const std::vector<Step> taken = steps(options.Times);
        const KeptAttributes kept = keptAttributes(Content, Grids);
        const Attributes notes = gridNotes(Content, TimeDimension, Grids);
        const std::vector<Attributes> stepAttributes = seriesAttributes(Content, Grids, taken);
        for (const auto& [key, grid] : Grids.Grids) {
            Attributes attributes = kept.Common;
            for (const Variable* mapping : grid.Mappings) {
                const Attributes& own = kept.Mappings.at(mapping);
                attributes.insert(attributes.end(), own.begin(), own.end());
            }
            attributes.insert(attributes.end(), notes.begin(), notes.end());
            readGrid(Content, grid, taken, attributes, stepAttributes, into);
        }
    }

    const std::vector<double>& times() const noexcept { return Times; }

private:
    // The classic header is walked before libnetcdf opens the file.
    const std::string& checkedName(const std::string& name) {
        ClassicHeaderCheck check(name);
        check.run();
        Begins = check.begins();
        return name;
    }

    std::vector<std::uint64_t> Begins;
    std::lock_guard<std::mutex> Lock;
    NcFile File;
    Header Content;
    int TimeDimension = -1;
    Plan Grids;
    std::vector<double> Times;
};

void refuseUnreadable(const std::string& file) {
    if (std::string problem = fileProblem(file); !problem.empty()) throw Failure(problem);
}

class NetcdfReader final : public Reader {
public:
    void read(const std::string& file, const ReadOptions& options, Bundle& staging) const override {
        refuseUnreadable(file);
        PlannedFile(file, options).read(options, staging);
    }
};

} // namespace

const Reader& netcdfReader() {
    static const NetcdfReader reader;
    return reader;
}

} // namespace Plexa::detail

namespace Plexa {

bool readTimeSteps(const std::string& file, const ReadOptions& options, TimeSteps& steps,
                   std::string& error) {
    using namespace detail;
    FailureText failure;
    const bool read = attempt(file, failure, [&] {
        refuseUnreadable(file);
        const PlannedFile planned(file, options);
        steps.Times.clear();
        for (const Step& step : planned.steps(options.Times))
            steps.Times.push_back(step.Time);
        steps.StepBytes = planned.stepBytes();
    });
    if (!read) error = failure.Cause;
    return read;
}

} // namespace Plexa
