#include "bench/EraFile.hpp"

#include "bench/ClimateWriter.hpp"

#include <netcdf.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace Bench {

namespace {

class EraWriter {
public:
    EraWriter(const std::string& target, std::size_t steps) : Steps(steps) {
        int source = -1;
        check(nc_open(sharedData("eraint_uvz.nc").c_str(), NC_NOWRITE, &source));
        ClimateWriter era(target, Levels, Latitudes, Longitudes, "days since 1979-01-01");
        ConvLibTest::NetcdfWriter& nc = era.nc();
        const std::vector<int>& dimensions = era.dimensions();
        const int coordinates[] = {nc.variable("level", NC_INT, {dimensions[1]}),
                                   nc.variable("latitude", NC_FLOAT, {dimensions[2]}),
                                   nc.variable("longitude", NC_FLOAT, {dimensions[3]})};
        std::vector<int> variables;
        for (const char* name : Variables) {
            variables.push_back(era.variable(name, NC_SHORT));
            copyAttributes(source, name, nc.id(), variables.back());
        }
        nc.endDefinitions();
        copyCoordinates(source, nc, coordinates);
        for (std::size_t k = 0; k < Steps; ++k)
            era.time(k, static_cast<double>(k));
        for (std::size_t v = 0; v < variables.size(); ++v)
            writeSteps(source, Variables[v], era, variables[v]);
        nc.close();
        nc_close(source);
    }

private:
    static constexpr std::size_t Levels = 3, Latitudes = 241, Longitudes = 480;
    static constexpr const char* Variables[] = {"z", "u", "v"};
    std::size_t Steps;

    static void check(int status) {
        if (status != NC_NOERR) throw std::runtime_error(nc_strerror(status));
    }

    static int idOf(int file, const char* name) {
        int id = -1;
        check(nc_inq_varid(file, name, &id));
        return id;
    }

    static void copyAttributes(int source, const char* name, int target, int variable) {
        for (const char* attribute :
             {"scale_factor", "add_offset", "units", "long_name", "standard_name"})
            check(nc_copy_att(source, idOf(source, name), attribute, target, variable));
    }

    static void copyCoordinates(int source, ConvLibTest::NetcdfWriter& nc,
                                const int (&coordinates)[3]) {
        std::vector<int> levels(Levels);
        check(nc_get_var_int(source, idOf(source, "level"), levels.data()));
        check(nc_put_var_int(nc.id(), coordinates[0], levels.data()));
        for (int i = 1; i < 3; ++i) {
            std::vector<float> values(i == 1 ? Latitudes : Longitudes);
            check(nc_get_var_float(source, idOf(source, i == 1 ? "latitude" : "longitude"),
                                   values.data()));
            check(nc_put_var_float(nc.id(), coordinates[i], values.data()));
        }
    }

    void writeSteps(int source, const char* name, ClimateWriter& era, int variable) const {
        const std::size_t plane = Levels * Latitudes * Longitudes;
        std::vector<short> months(2 * plane), step(plane);
        check(nc_get_var_short(source, idOf(source, name), months.data()));
        for (std::size_t k = 0; k < Steps; ++k) {
            const short* month = months.data() + (k % 2) * plane;
            for (std::size_t row = 0; row < Levels * Latitudes; ++row)
                for (std::size_t lon = 0; lon < Longitudes; ++lon)
                    step[row * Longitudes + (lon + 3 * k) % Longitudes] =
                        month[row * Longitudes + lon];
            era.step(variable, k, step);
        }
    }
};

} // namespace

std::string sharedData(const std::string& name) {
    const char* folder = std::getenv("CONVLIB_SHARED_DATA");
    return std::string(folder ? folder : "/work/shared/data") + "/" + name;
}

bool present(benchmark::State& state, const std::string& file) {
    if (std::filesystem::exists(file)) return true;
    state.SkipWithError((file + " is absent; set CONVLIB_SHARED_DATA to its folder").c_str());
    return false;
}

void writeEraFile(const std::string& target, std::size_t steps) {
    EraWriter write(target, steps);
}

} // namespace Bench
