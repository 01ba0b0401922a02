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
    // The whole variable, or `count` records from record `first` when it is over the record
    // dimension.
    template <class T> void values(int variable, const std::vector<T>& values) {
        check(nc_put_var(Id, variable, values.data()), "values");
    }
    template <class T>
    void records(int variable, const std::vector<std::size_t>& count, const std::vector<T>& values,
                 std::size_t first = 0) {
        std::vector<std::size_t> start(count.size(), 0);
        start[0] = first;
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

// A netCDF-4 file of steps of side x side nodes (lat, lon) every 6 hours: p a short packed with
// scale 0.25 and a fill value, t a float, and h over lon alone, which every step shares.
inline void writeTimeSteps(const std::string& file, std::size_t steps, std::size_t side) {
    NetcdfWriter nc(file, NC_NETCDF4);
    const int time = nc.dimension("time", steps);
    const int lat = nc.dimension("lat", side);
    const int lon = nc.dimension("lon", side);
    const int times = nc.variable("time", NC_DOUBLE, {time});
    const int p = nc.variable("p", NC_SHORT, {time, lat, lon});
    nc.number<double>(p, "scale_factor", NC_DOUBLE, {0.25});
    nc.number<short>(p, "_FillValue", NC_SHORT, {-999});
    const int t = nc.variable("t", NC_FLOAT, {time, lat, lon});
    const int h = nc.variable("h", NC_INT, {lon});
    nc.endDefinitions();
    const std::size_t nodes = side * side;
    std::vector<double> hours(steps);
    std::vector<short> packed(steps * nodes);
    std::vector<float> temps(steps * nodes);
    for (std::size_t i = 0; i < packed.size(); ++i) {
        packed[i] = i % 7 == 3 ? -999 : static_cast<short>(i % 3001);
        temps[i] = static_cast<float>(i) * 0.125f;
    }
    for (std::size_t step = 0; step < steps; ++step)
        hours[step] = 6.0 * static_cast<double>(step);
    nc.values(times, hours);
    nc.values(p, packed);
    nc.values(t, temps);
    nc.values(h, std::vector<int>(side, 7));
    nc.close();
}

} // namespace ConvLibTest
