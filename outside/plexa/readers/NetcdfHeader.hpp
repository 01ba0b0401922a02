// The header of a netCDF file as the reader takes it (dimensions, variables, the groups they lie
// in) and the checks that bound what a header claims by what the file holds. Internal to Plexa.
#pragma once

#include "outside/plexa/detail/Failure.hpp"

// The file's model is in libnetcdf's own types, which every file that includes this one calls.
#include <netcdf.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Plexa::detail::netcdf {

// Every nc_* call goes through here: a failed status becomes our error, in the library's words.
void ncCheck(int status, const std::string& what);

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

std::string inQuotes(const std::string& name);

bool isText(nc_type type);
bool isNumber(nc_type type);

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

// The header of an open file: every group's dimensions and variables, parents first.
Header readHeader(int file);
const Variable& coordinateOf(const Header& header, const Dimension& dimension);

// Walks a classic header before libnetcdf opens the file (other formats are left to libnetcdf)
// and refuses what runs past the file's end; where each variable's values begin, as it says.
std::vector<std::uint64_t> classicValueBegins(const std::string& name);
// Refuses a classic file smaller than its header says it is.
void refuseTruncated(int file, int format, const std::string& name, const Header& header);
// Refuses a classic file whose variables' values, as `begins` places them, run past `held` bytes.
void refuseValuesPastTheEnd(const Header& header, const std::vector<std::uint64_t>& begins,
                            std::uint64_t held);
// Refuses a file where a large variable that `variables` reads, or the steps of the time
// dimension, are mostly never written (libnetcdf makes up netCDF-4 values never written).
void refuseUnbackedClaims(const std::string& name, bool classic, const Header& header,
                          int timeDimension, const std::vector<const Variable*>& variables);

} // namespace Plexa::detail::netcdf
