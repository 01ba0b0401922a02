// netCDF files laid out as reanalysis data come: variables over time (the record dimension) x
// level x latitude x longitude, in the 64-bit offset format, written a time step at a time.
#pragma once

#include "tests/support/NetcdfWriter.hpp"

#include <cstddef>
#include <string>
#include <vector>

namespace Bench {

class ClimateWriter {
public:
    // The dimensions and the time coordinate in `timeUnits` defined, the variables left to define.
    ClimateWriter(const std::string& file, std::size_t levels, std::size_t latitudes,
                  std::size_t longitudes, const std::string& timeUnits)
        : Nc(file, NC_64BIT_OFFSET), Dimensions{Nc.dimension("time", NC_UNLIMITED),
                                                Nc.dimension("level", levels),
                                                Nc.dimension("latitude", latitudes),
                                                Nc.dimension("longitude", longitudes)},
          Time(Nc.variable("time", NC_DOUBLE, {Dimensions[0]})), StepCount{1, levels, latitudes,
                                                                           longitudes} {
        Nc.text(Time, "units", timeUnits);
    }

    ConvLibTest::NetcdfWriter& nc() { return Nc; }
    // time, level, latitude, longitude
    const std::vector<int>& dimensions() const { return Dimensions; }
    // A variable over all four dimensions.
    int variable(const std::string& name, nc_type type) {
        return Nc.variable(name, type, Dimensions);
    }
    void time(std::size_t step, double value) { Nc.records(Time, {1}, std::vector{value}, step); }
    // One step's levels x latitudes x longitudes values of the variable.
    template <class T> void step(int variable, std::size_t step, const std::vector<T>& values) {
        Nc.records(variable, StepCount, values, step);
    }

private:
    ConvLibTest::NetcdfWriter Nc;
    std::vector<int> Dimensions;
    int Time;
    std::vector<std::size_t> StepCount;
};

} // namespace Bench
