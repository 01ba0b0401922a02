// netCDF files (classic, 64-bit offset and netCDF-4): the time dimension becomes the slices, every
// variable over 1 to 3 other dimensions a field of the structured grid those dimensions make, one
// grid per dimension set, named after its dimensions joined with '_'.
#include "outside/plexa/readers/Readers.hpp"

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
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace Plexa::detail {

namespace {

using std::to_string;

// Every nc_* call goes through here: a failed status becomes our error, in the library's words.
void ncCheck(int status, const std::string& what) {
    if (status != NC_NOERR) throw std::runtime_error(what + " (" + nc_strerror(status) + ")");
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
    int CoordinateVariable = -1; // the variable of the same name over this dimension alone
};

struct Variable {
    int Id = 0;
    std::string Name;
    nc_type Type = NC_NAT;
    std::vector<int> Dimensions;
};

struct Header {
    std::vector<Dimension> Dimensions;
    std::vector<Variable> Variables;
    std::vector<int> Unlimited;
};

std::string nameOf(int file, int variable) {
    char name[NC_MAX_NAME + 1] = {};
    ncCheck(nc_inq_varname(file, variable, name), "cannot read a variable's name");
    return name;
}

Header readHeader(int file) {
    Header header;
    int dimensions = 0, variables = 0, unlimited = 0;
    ncCheck(nc_inq_ndims(file, &dimensions), "cannot count the dimensions");
    ncCheck(nc_inq_nvars(file, &variables), "cannot count the variables");
    ncCheck(nc_inq_unlimdims(file, &unlimited, nullptr), "cannot count the unlimited dimensions");
    header.Unlimited.resize(static_cast<std::size_t>(unlimited));
    ncCheck(nc_inq_unlimdims(file, &unlimited, header.Unlimited.data()),
            "cannot read the unlimited dimensions");
    // dimension identifiers of a classic file are 0..n-1; those of netCDF-4 files may not be
    std::vector<int> ids(static_cast<std::size_t>(dimensions));
    ncCheck(nc_inq_dimids(file, &dimensions, ids.data(), 0), "cannot list the dimensions");
    int largest = ids.empty() ? -1 : *std::max_element(ids.begin(), ids.end());
    header.Dimensions.resize(static_cast<std::size_t>(largest + 1));
    for (int id : ids) {
        char name[NC_MAX_NAME + 1] = {};
        std::size_t length = 0;
        ncCheck(nc_inq_dim(file, id, name, &length), "cannot read a dimension");
        header.Dimensions[static_cast<std::size_t>(id)] = {name, length, -1};
    }
    for (int id = 0; id < variables; ++id) {
        Variable variable{id, nameOf(file, id), NC_NAT, {}};
        int count = 0;
        ncCheck(nc_inq_varndims(file, id, &count), "cannot read the dimensions of a variable");
        variable.Dimensions.resize(static_cast<std::size_t>(count));
        ncCheck(nc_inq_var(file, id, nullptr, &variable.Type, nullptr, variable.Dimensions.data(),
                           nullptr),
                "cannot read the variable " + inQuotes(variable.Name));
        if (count == 1) {
            Dimension& dimension =
                header.Dimensions.at(static_cast<std::size_t>(variable.Dimensions[0]));
            if (dimension.Name == variable.Name) dimension.CoordinateVariable = id;
        }
        header.Variables.push_back(std::move(variable));
    }
    return header;
}

// ---------------------------------------------------------------------------------------------
// Classic files: libnetcdf trusts their headers further than it should

std::uint64_t typeSize(int file, nc_type type) {
    std::size_t size = 0;
    ncCheck(nc_inq_type(file, type, nullptr, &size), "cannot read the size of a type");
    return size;
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
                "cannot count the attributes of " + inQuotes(variable.Name));
        bytes += size.name(variable.Name) + size.count() * (1 + variable.Dimensions.size()) +
                 size.attributes(variable.Id, attributes) + 4 + size.count() + beginBytes;
        std::uint64_t values = typeSize(file, variable.Type);
        for (int id : variable.Dimensions)
            values *= header.Dimensions[static_cast<std::size_t>(id)].Length;
        bytes += values;
    }
    return bytes;
}

void refuseTruncated(int file, int format, const std::string& name, const Header& header) {
    const std::uint64_t held = std::filesystem::file_size(name);
    const std::uint64_t needed = classicSize(file, format, header);
    if (held < needed)
        throw std::runtime_error("the file is truncated: it holds " + to_string(held) +
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
            skip(WideBegin ? 8 : 4);
        });
    }

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
        throw std::runtime_error("the header runs past the end of the file");
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
            throw std::runtime_error("the header holds a name of " + to_string(length) +
                                     " bytes; names have at most " + to_string(NC_MAX_NAME));
        skip(padded(length));
    }
    // Bytes per value of the types 1 to 6, and 7 to 11 of the 64-bit data format. libnetcdf sizes
    // an attribute of another type its own way, and divides by a variable's value size.
    std::uint64_t valueSize() {
        static const std::uint64_t sizes[] = {0, 1, 1, 2, 4, 4, 8, 1, 2, 4, 8, 8};
        const std::uint64_t type = number(4);
        if (type == 0 || type >= (Wide ? std::size(sizes) : 7))
            throw std::runtime_error("the header holds a value type unknown to the format (" +
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
};

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
nc_type storedType(int file, const Variable& variable) {
    if (textAttribute(file, variable.Id, "_Unsigned") != "true") return variable.Type;
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

Decoding decodingOf(int file, const Variable& variable) {
    Decoding decoding;
    decoding.Stored = storedType(file, variable);
    const std::vector<double> scale = numberAttribute(file, variable.Id, "scale_factor");
    const std::vector<double> offset = numberAttribute(file, variable.Id, "add_offset");
    decoding.Packed = !scale.empty() || !offset.empty();
    if (!scale.empty()) decoding.Scale = scale[0];
    if (!offset.empty()) decoding.Offset = offset[0];
    for (const char* name : {"_FillValue", "missing_value"})
        for (double value : numberAttribute(file, variable.Id, name))
            decoding.NoValue.push_back(value);
    return decoding;
}

const std::type_info& fieldType(const Decoding& decoding) {
    if (decoding.Packed) return typeid(double);
    return withType(decoding.Stored,
                    [](auto value) -> const std::type_info& { return typeid(value); });
}

std::size_t storedSize(nc_type type) {
    return withType(type, [](auto value) { return sizeof value; });
}

// Reads the block at start/count of the variable into `target` as doubles, unpacked; `buffer`
// holds the stored values on the way and is kept for the next block.
void readPacked(int file, const Variable& variable, const Decoding& decoding,
                const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
                std::size_t values, double* target, std::vector<unsigned char>& buffer) {
    buffer.resize(values * storedSize(decoding.Stored));
    ncCheck(nc_get_vara(file, variable.Id, start.data(), count.data(), buffer.data()),
            "cannot read the values of " + inQuotes(variable.Name));
    withType(decoding.Stored, [&](auto type) {
        const auto* stored = reinterpret_cast<const decltype(type)*>(buffer.data());
        for (std::size_t i = 0; i < values; ++i)
            target[i] = decoding.unpacked(static_cast<double>(stored[i]));
    });
}

// Reads the block straight into `target`, stored values as they are, gaps of floating point
// values made NaN.
void readPlain(int file, const Variable& variable, const Decoding& decoding,
               const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
               std::size_t values, void* target) {
    ncCheck(nc_get_vara(file, variable.Id, start.data(), count.data(), target),
            "cannot read the values of " + inQuotes(variable.Name));
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
std::optional<double> defaultFill(int file, const Variable& variable, nc_type stored) {
    if (stored == NC_BYTE || stored == NC_UBYTE) return std::nullopt;
    int noFill = 0;
    alignas(8) unsigned char fill[8] = {};
    ncCheck(nc_inq_var_fill(file, variable.Id, &noFill, fill),
            "cannot read the fill value of " + inQuotes(variable.Name));
    if (noFill) return std::nullopt;
    return withType(stored, [&](auto type) {
        decltype(type) value;
        std::memcpy(&value, fill, sizeof value);
        return static_cast<double>(value);
    });
}

// The whole of a 1-D variable as doubles, unpacked: coordinates and times. Every value must be
// one, so a slot nobody wrote (the default fill) is refused as a gap, not taken as a coordinate.
std::vector<double> readCoordinates(int file, const Variable& variable, std::size_t length) {
    std::vector<double> values(length);
    if (length == 0) return values;
    Decoding decoding = decodingOf(file, variable);
    if (decoding.NoValue.empty())
        if (std::optional<double> fill = defaultFill(file, variable, decoding.Stored))
            decoding.NoValue.push_back(*fill);
    std::vector<unsigned char> buffer;
    readPacked(file, variable, decoding, {0}, {length}, length, values.data(), buffer);
    for (std::size_t i = 0; i < length; ++i)
        if (!std::isfinite(values[i]))
            throw std::runtime_error("the coordinate variable " + inQuotes(variable.Name) +
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

// CF marks a time coordinate with axis "T", standard name "time" or units "<unit> since <date>".
bool isMarkedTime(int file, int variable) {
    const std::string units = lowerCase(textAttribute(file, variable, "units"));
    return textAttribute(file, variable, "axis") == "T" ||
           textAttribute(file, variable, "standard_name") == "time" ||
           units.find(" since ") != std::string::npos;
}

// The time dimension's index: the one CF marks, else the only unlimited one, else the one named
// time, month or step; -1 when there is none.
int timeCandidate(int file, const Header& header) {
    std::vector<int> marked;
    for (std::size_t id = 0; id < header.Dimensions.size(); ++id) {
        const int variable = header.Dimensions[id].CoordinateVariable;
        if (variable >= 0 && isMarkedTime(file, variable)) marked.push_back(static_cast<int>(id));
    }
    if (marked.size() > 1)
        throw std::runtime_error("the dimensions " + inQuotes(header.Dimensions[marked[0]].Name) +
                                 " and " + inQuotes(header.Dimensions[marked[1]].Name) +
                                 " are both marked as time; a bundle has one time line");
    if (marked.size() == 1) return marked[0];
    if (header.Unlimited.size() == 1) return header.Unlimited[0];
    for (std::size_t id = 0; id < header.Dimensions.size(); ++id) {
        const std::string name = lowerCase(header.Dimensions[id].Name);
        if (name == "time" || name == "month" || name == "step") return static_cast<int>(id);
    }
    return -1;
}

bool holdsValuesOver(const Header& header, int dimension) {
    const int coordinate =
        header.Dimensions[static_cast<std::size_t>(dimension)].CoordinateVariable;
    return std::any_of(header.Variables.begin(), header.Variables.end(), [&](const Variable& v) {
        return v.Id != coordinate &&
               std::count(v.Dimensions.begin(), v.Dimensions.end(), dimension);
    });
}

// A time dimension over which no variable but its coordinate lies changes nothing over time: it
// counts as none, and its length (which no value backs) makes no steps.
int findTimeDimension(int file, const Header& header) {
    const int candidate = timeCandidate(file, header);
    return candidate >= 0 && holdsValuesOver(header, candidate) ? candidate : -1;
}

// The slice times: the time coordinate's values (its indices when it has none), strictly
// increasing, since two steps at one time would become one slice.
std::vector<double> readTimes(int file, const Header& header, int timeDimension) {
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    if (time.Length == 0)
        throw std::runtime_error("the time dimension " + inQuotes(time.Name) + " has no steps");
    std::vector<double> times(time.Length);
    if (time.CoordinateVariable < 0) {
        for (std::size_t step = 0; step < times.size(); ++step)
            times[step] = static_cast<double>(step);
        return times;
    }
    times = readCoordinates(
        file, header.Variables[static_cast<std::size_t>(time.CoordinateVariable)], time.Length);
    for (std::size_t step = 1; step < times.size(); ++step) {
        if (!(times[step] > times[step - 1]))
            throw std::runtime_error("the time coordinate " + inQuotes(time.Name) +
                                     " is not strictly increasing (step " + to_string(step) +
                                     " follows step " + to_string(step - 1) + " with " +
                                     (times[step] == times[step - 1] ? "the same" : "a smaller") +
                                     " value); each time step must have a time of its own");
    }
    return times;
}

// ---------------------------------------------------------------------------------------------
// Grids and fields

// A variable that becomes a field, and where its values go.
struct FieldSource {
    const Variable* Source = nullptr;
    bool OverTime = false;
    Decoding Decode;
    SaveableAttributes Description; // units, names, ...: one set that every step shares
};

struct GridPlan {
    std::string Name;
    Topology Layout;
    std::vector<FieldSource> Fields;
};

bool isCoordinate(const Header& header, const Variable& variable) {
    return variable.Dimensions.size() == 1 &&
           header.Dimensions[static_cast<std::size_t>(variable.Dimensions[0])].CoordinateVariable ==
               variable.Id;
}

void refuseType(const Variable& variable) {
    if (variable.Type == NC_CHAR || variable.Type == NC_STRING)
        throw std::runtime_error("the variable " + inQuotes(variable.Name) +
                                 " holds text; text variables cannot be converted");
    if (!isNumber(variable.Type))
        throw std::runtime_error("the variable " + inQuotes(variable.Name) +
                                 " is of a type of the file's own (compound, enum, opaque or "
                                 "variable length); only numbers can be converted");
}

// The variable's dimensions besides time; refuses time anywhere but first and more than 3 others.
std::vector<int> gridDimensions(const Header& header, const Variable& variable, int timeDimension) {
    std::vector<int> dimensions = variable.Dimensions;
    const auto time = std::find(dimensions.begin(), dimensions.end(), timeDimension);
    if (time != dimensions.end()) {
        if (time != dimensions.begin())
            throw std::runtime_error(
                "the variable " + inQuotes(variable.Name) + " has the time dimension " +
                inQuotes(header.Dimensions[static_cast<std::size_t>(timeDimension)].Name) +
                " in place " + to_string(time - dimensions.begin() + 1) +
                "; it is read only as the first dimension");
        dimensions.erase(time);
    }
    if (dimensions.size() > 3)
        throw std::runtime_error("the variable " + inQuotes(variable.Name) + " has " +
                                 to_string(dimensions.size()) +
                                 " dimensions besides time; a grid has 1 to 3 axes");
    return dimensions;
}

std::string joined(const std::vector<std::string>& names, const char* separator) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : separator) + name;
    return text;
}

std::string joinedNames(const Header& header, const std::vector<int>& dimensions) {
    std::vector<std::string> names;
    for (int id : dimensions)
        names.push_back(header.Dimensions[static_cast<std::size_t>(id)].Name);
    return joined(names, "_");
}

Topology topologyOf(int file, const Header& header, const std::vector<int>& dimensions) {
    Topology topology;
    for (int id : dimensions) {
        const Dimension& dimension = header.Dimensions[static_cast<std::size_t>(id)];
        Axis axis{dimension.Name, dimension.Length, 0, 1, {}};
        if (dimension.CoordinateVariable >= 0)
            axis.Coordinates = readCoordinates(
                file, header.Variables[static_cast<std::size_t>(dimension.CoordinateVariable)],
                dimension.Length);
        topology.Axes.push_back(std::move(axis));
    }
    if (std::string problem = topology.problem(); !problem.empty())
        throw std::runtime_error("the grid " + inQuotes(joinedNames(header, dimensions)) + ": " +
                                 problem);
    return topology;
}

using ChunkPtr = Quorix::StrongPtr<Quorix::ChunkBase>;

ChunkPtr textChunk(const std::string& text) {
    return ChunkPtr(new Quorix::Chunk<std::string>{text});
}

ChunkPtr numberChunk(const std::vector<double>& values) {
    auto* chunk = new Quorix::Chunk<double>;
    chunk->assign(values.begin(), values.end());
    chunk->recount();
    return ChunkPtr(chunk);
}

// Units and names as they are; values that stand for none where the field keeps them, and the
// valid range in the field's own units.
void describeField(int file, const FieldSource& source, SaveableAttributes& attributes) {
    const int id = source.Source->Id;
    for (const char* name : {"units", "long_name", "standard_name"})
        if (std::string text = textAttribute(file, id, name); !text.empty())
            attributes.setAttribute(name, textChunk(text));
    if (!source.Decode.makesNan())
        for (const char* name : {"_FillValue", "missing_value"})
            if (std::vector<double> values = numberAttribute(file, id, name); !values.empty())
                attributes.setAttribute(name, numberChunk(values));
    for (const char* name : {"valid_min", "valid_max", "valid_range"}) {
        std::vector<double> values = numberAttribute(file, id, name);
        if (values.empty()) continue;
        if (source.Decode.Packed)
            for (double& value : values)
                value = value * source.Decode.Scale + source.Decode.Offset;
        attributes.setAttribute(name, numberChunk(values));
    }
}

// What the file makes: grids by dimension set, and the variables left out with the reason.
struct Plan {
    std::map<std::vector<int>, GridPlan> Grids;
    std::vector<std::string> LeftOut;
};

Plan planGrids(int file, const Header& header, int timeDimension) {
    // every type first: a grid reads its axes' coordinates before the loop reaches them
    std::for_each(header.Variables.begin(), header.Variables.end(), refuseType);
    Plan plan;
    for (const Variable& variable : header.Variables) {
        if (isCoordinate(header, variable)) continue;
        const std::vector<int> dimensions = gridDimensions(header, variable, timeDimension);
        const bool overTime = dimensions.size() < variable.Dimensions.size();
        if (dimensions.empty()) {
            plan.LeftOut.push_back(variable.Name +
                                   (overTime ? " (over time alone)" : " (a scalar)"));
            continue;
        }
        GridPlan& grid = plan.Grids[dimensions];
        if (grid.Name.empty()) {
            grid.Name = joinedNames(header, dimensions);
            grid.Layout = topologyOf(file, header, dimensions);
        }
        FieldSource source{&variable, overTime, decodingOf(file, variable), {}};
        describeField(file, source, source.Description);
        grid.Fields.push_back(std::move(source));
    }
    return plan;
}

void nameGrids(Plan& plan, const std::string& gridName) {
    std::map<std::string, int> uses;
    for (const auto& [dimensions, grid] : plan.Grids)
        if (++uses[grid.Name] > 1)
            throw std::runtime_error("two sets of dimensions make the grid name " +
                                     inQuotes(grid.Name));
    if (gridName.empty()) return;
    if (plan.Grids.size() > 1)
        throw std::runtime_error("the file makes " + to_string(plan.Grids.size()) +
                                 " grids, which one grid name cannot name");
    plan.Grids.begin()->second.Name = gridName;
}

// One time step of the variable as a whole array of the grid's nodes.
MemPtr readStep(int file, const FieldSource& source, const Header& header, std::size_t step,
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
        readPacked(file, variable, source.Decode, start, count, nodes,
                   static_cast<double*>(data->rawData()), buffer);
    else
        readPlain(file, variable, source.Decode, start, count, nodes, data->rawData());
    return data;
}

using Texts = std::vector<std::pair<const char*, std::string>>;

// Fields over time get one array per step; the others one array that every step shares.
void readGrid(int file, const Header& header, const GridPlan& plan,
              const std::vector<double>& times, const Texts& notes, Bundle& into) {
    const std::size_t nodes = plan.Layout.nodeCount();
    std::vector<unsigned char> buffer;
    std::map<std::string, MemPtr> constant;
    for (std::size_t step = 0; step < times.size(); ++step) {
        GridPtr grid = into.addSlice(times[step])->addGrid(plan.Name);
        std::string error;
        if (!grid->setTopology(plan.Layout, error)) throw std::runtime_error(error);
        for (const FieldSource& source : plan.Fields) {
            MemPtr& shared = constant[source.Source->Name];
            MemPtr data = source.OverTime || !shared
                              ? readStep(file, source, header, step, nodes, buffer)
                              : shared;
            if (!source.OverTime) shared = data;
            Field& field = grid->addField(source.Source->Name, data);
            field.Attributes = source.Description;
            field.Packed = source.Decode.packing();
        }
        for (const auto& [key, text] : notes)
            if (!text.empty()) grid->setAttribute(key, textChunk(text));
    }
}

Texts gridNotes(int file, const Header& header, int timeDimension, const Plan& plan) {
    Texts notes;
    if (!plan.LeftOut.empty())
        notes.emplace_back("NetcdfNote", "left out, having no dimension besides time: " +
                                             joined(plan.LeftOut, ", "));
    if (timeDimension < 0) return notes;
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    notes.emplace_back("NetcdfTimeDimension", time.Name);
    if (time.CoordinateVariable >= 0)
        notes.emplace_back("NetcdfTimeUnits",
                           textAttribute(file, time.CoordinateVariable, "units"));
    return notes;
}

// libnetcdf keeps global state of its own without locks.
std::mutex LibraryLock;

void readFile(const std::string& name, const ReadOptions& options, Bundle& into) {
    ClassicHeaderCheck(name).run();
    const std::lock_guard<std::mutex> lock(LibraryLock);
    const NcFile file(name);
    int format = 0;
    ncCheck(nc_inq_format(file.id(), &format), "cannot read the file's format");
    const bool classic = format != NC_FORMAT_NETCDF4 && format != NC_FORMAT_NETCDF4_CLASSIC;
    const Header header = readHeader(file.id());
    if (classic) refuseTruncated(file.id(), format, name, header);
    const int timeDimension = findTimeDimension(file.id(), header);
    Plan plan = planGrids(file.id(), header, timeDimension);
    if (plan.Grids.empty())
        throw std::runtime_error("the file holds no variable over 1 to 3 dimensions besides time");
    // after the plan, which refuses empty axes: a classic file then holds a value per step
    const std::vector<double> times = timeDimension < 0
                                          ? std::vector<double>{options.Time}
                                          : readTimes(file.id(), header, timeDimension);
    nameGrids(plan, options.GridName);
    const Texts notes = gridNotes(file.id(), header, timeDimension, plan);
    for (const auto& [dimensions, grid] : plan.Grids)
        readGrid(file.id(), header, grid, times, notes, into);
}

class NetcdfReader final : public Reader {
public:
    const char* formatName() const override { return "netCDF"; }

    bool read(const std::string& file, const ReadOptions& options, Bundle& staging,
              std::string& error) const noexcept override {
        try {
            if (std::string problem = fileProblem(file); !problem.empty())
                throw std::runtime_error(problem);
            readFile(file, options, staging);
            return true;
        } catch (const std::bad_alloc&) {
            // netCDF-4 files may declare far more values than they hold
            error = "there is not enough memory for the values the file declares";
        } catch (const std::exception& failure) {
            error = printableText(failure.what());
        }
        return false;
    }
};

} // namespace

const Reader& netcdfReader() {
    static const NetcdfReader reader;
    return reader;
}

} // namespace Plexa::detail
