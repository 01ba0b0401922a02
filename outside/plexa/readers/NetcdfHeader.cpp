// Reading the header of a netCDF file, and bounding what it claims by what the file holds.
#include "outside/plexa/readers/NetcdfHeader.hpp"

#include "outside/plexa/detail/Hdf5.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <set>

namespace Plexa::detail::netcdf {

void ncCheck(int status, const std::string& what) {
    if (status != NC_NOERR) throw Failure(what + " (" + nc_strerror(status) + ")");
}

std::string inQuotes(const std::string& name) {
    return "\"" + name + "\"";
}

bool isText(nc_type type) {
    return type == NC_CHAR || type == NC_STRING;
}

bool isNumber(nc_type type) {
    return type >= NC_BYTE && type <= NC_UINT64 && type != NC_CHAR;
}

// ---------------------------------------------------------------------------------------------
// What the header says

namespace {

using std::to_string;

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

} // namespace

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

namespace {

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

} // namespace

void refuseTruncated(int file, int format, const std::string& name, const Header& header) {
    const std::uint64_t held = std::filesystem::file_size(name);
    const std::uint64_t needed = classicSize(file, format, header);
    if (held < needed)
        throw Failure("the file is truncated: it holds " + to_string(held) +
                      " bytes and its header describes at least " + to_string(needed));
}

namespace {

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

} // namespace

std::vector<std::uint64_t> classicValueBegins(const std::string& name) {
    ClassicHeaderCheck check(name);
    check.run();
    return check.begins();
}

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
// What a file stores of what its header claims

namespace {

// libnetcdf makes up what was never written of a netCDF-4 variable out of fill values, at any
// size its header claims. So a large claim must be backed by what HDF5 stores of it: at least
// 1/1024 of it, about the most deflate packs into a byte.
constexpr std::uint64_t FreeClaim = std::uint64_t(16) << 20;
constexpr std::uint64_t LargestPacking = 1024;
// What a time step costs in memory besides its values (its slice, grid and field).
constexpr std::uint64_t StepBytes = 1024;

// The memory the time dimension's steps take besides their values.
std::uint64_t stepsClaim(const Header& header, int timeDimension) {
    return timesSaturated(header.Dimensions[static_cast<std::size_t>(timeDimension)].Length,
                          StepBytes);
}

// The memory a variable's values take, each time step counted at least at StepBytes.
std::uint64_t claimOf(const Header& header, const Variable& variable, int timeDimension) {
    const std::uint64_t values = valueBytes(header, variable);
    if (variable.Dimensions.empty() || variable.Dimensions[0] != timeDimension) return values;
    return std::max(values, stepsClaim(header, timeDimension));
}

// What the file stores of a variable's values: a classic file all of them (its size was checked
// against them before), a netCDF-4 file what HDF5 stores, which is looked up on first need.
class StoredBytes {
public:
    StoredBytes(const std::string& name, const Header& header, bool classic)
        : Name(name), Content(header), Classic(classic) {}

    std::uint64_t of(const Variable& variable) {
        if (Classic) return valueBytes(Content, variable);
        if (!File) File.emplace(Name);
        // libnetcdf renames a variable named like a dimension it gives no coordinates to
        for (const std::string& prefix : {std::string(), std::string("_nc4_non_coord_")}) {
            const std::string path = "/" + variable.Path + prefix + variable.Name;
            if (check(H5Lexists(File->Id.get(), path.c_str(), H5P_DEFAULT), "H5Lexists") > 0)
                return storageSize(openDataset(File->Id.get(), path).get());
        }
        return 0;
    }

private:
    struct Opened {
        explicit Opened(const std::string& name)
            : Id(H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose,
                 "cannot open the file with HDF5") {}
        QuietHdf5 Quiet;
        Handle Id;
    };

    const std::string& Name;
    const Header& Content;
    bool Classic;
    std::optional<Opened> File;
};

// Every time step costs a slice, its grids and their timeless fields again, so the steps of the
// time dimension must be backed by what is stored over it of the variables read, its times
// included, even when none of them is large: a dimension alone costs a file nothing.
void refuseUnbackedSteps(const Header& header, int timeDimension,
                         const std::vector<const Variable*>& variables, StoredBytes& stored) {
    if (timeDimension < 0) return;
    const std::uint64_t claimed = stepsClaim(header, timeDimension);
    if (claimed <= FreeClaim) return;
    std::uint64_t held = 0;
    for (const Variable* variable : variables)
        if (std::count(variable->Dimensions.begin(), variable->Dimensions.end(), timeDimension))
            held += stored.of(*variable);
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    if (claimed / LargestPacking > held)
        throw Failure("the time dimension " + inQuotes(time.Name) + " claims " +
                      to_string(time.Length) + " steps, and the variables read over it store " +
                      to_string(held) + " bytes; most of its steps were never written");
}

} // namespace

void refuseUnbackedClaims(const std::string& name, bool classic, const Header& header,
                          int timeDimension, const std::vector<const Variable*>& variables) {
    StoredBytes stored(name, header, classic);
    for (const Variable* variable : variables) {
        const std::uint64_t claimed = claimOf(header, *variable, timeDimension);
        if (claimed <= FreeClaim) continue;
        const std::uint64_t held = stored.of(*variable);
        if (claimed / LargestPacking > held)
            throw Failure("the variable " + variable->quoted() + " claims " + to_string(claimed) +
                          " bytes of values, and the file stores " + to_string(held) +
                          " bytes of them; most of it was never written");
    }
    refuseUnbackedSteps(header, timeDimension, variables, stored);
}

} // namespace Plexa::detail::netcdf
