// Small netCDF files made through the library's own API, for the tests and the benchmark of the
// netCDF reader. Header only, so that the benchmarks use it without the test framework.
#pragma once

#include <netcdf.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace ConvLibTest {

class NetcdfWriter {
public:
    // format: 0 (classic), NC_64BIT_OFFSET or NC_NETCDF4
    NetcdfWriter(const std::string& file, int format) {
        check(nc_create(file.c_str(), NC_CLOBBER | format, &Id), file);
    }
    ~NetcdfWriter() {
        if (Id >= 0) nc_close(Id);
    }
    NetcdfWriter(const NetcdfWriter&) = delete;
    NetcdfWriter& operator=(const NetcdfWriter&) = delete;

    int id() const noexcept { return Id; }
    // length NC_UNLIMITED makes the record dimension
    int dimension(const std::string& name, std::size_t length) {
        int id = -1;
        check(nc_def_dim(Id, name.c_str(), length, &id), name);
        return id;
    }
    int variable(const std::string& name, nc_type type, const std::vector<int>& dimensions) {
        int id = -1;
        check(nc_def_var(Id, name.c_str(), type, static_cast<int>(dimensions.size()),
                         dimensions.data(), &id),
              name);
        return id;
    }
    NetcdfWriter& text(int variable, const std::string& name, const std::string& value) {
        check(nc_put_att_text(Id, variable, name.c_str(), value.size(), value.data()), name);
        return *this;
    }
    template <class T>
    NetcdfWriter& number(int variable, const std::string& name, nc_type type,
                         std::vector<T> values) {
        check(nc_put_att(Id, variable, name.c_str(), type, values.size(), values.data()), name);
        return *this;
    }
    void endDefinitions() { check(nc_enddef(Id), "enddef"); }
    // The whole variable, or `count` records from the first when it is over the record dimension.
    template <class T> void values(int variable, const std::vector<T>& values) {
        check(nc_put_var(Id, variable, values.data()), "values");
    }
    template <class T>
    void records(int variable, const std::vector<std::size_t>& count,
                 const std::vector<T>& values) {
        const std::vector<std::size_t> start(count.size(), 0);
        check(nc_put_vara(Id, variable, start.data(), count.data(), values.data()), "records");
    }
    void close() {
        check(nc_close(Id), "close");
        Id = -1;
    }

private:
    static void check(int status, const std::string& what) {
        if (status != NC_NOERR)
            throw std::runtime_error("netCDF: " + what + ": " + nc_strerror(status));
    }

    int Id = -1;
};

} // namespace ConvLibTest
