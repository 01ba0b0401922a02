// netCDF: loading a file of packed shorts and floats over time x level x lat x lon into a bundle
// through Bundle::load, against reading the same variables through libnetcdf alone into arrays of
// the same values (the shorts unpacked to doubles), and the peak memory of a load against the
// size of its arrays. CONVLIB_BENCH_STEPS sets the number of time steps (default 8: 317 MiB of
// stored values).
#include "bench/BenchSupport.hpp"
#include "bench/ClimateWriter.hpp"
#include "outside/Plexa.hpp"

#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t Levels = 8, Latitudes = 361, Longitudes = 720;
constexpr std::size_t StepValues = Levels * Latitudes * Longitudes;
const char* const Packed[] = {"z", "q"};
const char* const Plain[] = {"t", "u", "v", "w"};

// Smooth fields with some noise, so that neither side meets a trivially regular pattern.
template <class T> std::vector<T> stepValues(std::size_t step, std::size_t variable) {
    std::vector<T> values(StepValues);
    std::uint32_t state = static_cast<std::uint32_t>(step * 31 + variable * 7 + 1);
    for (std::size_t i = 0; i < values.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        values[i] = static_cast<T>(static_cast<double>(i % 4096) - 2048 + (state >> 28));
    }
    return values;
}

struct Climate {
    Bench::ScratchFolder Scratch;
    std::size_t Steps = Bench::sizeFromEnvironment("CONVLIB_BENCH_STEPS", 8);
    std::string File = Scratch.file("climate.nc");

    Climate() {
        Bench::ClimateWriter writer(File, Levels, Latitudes, Longitudes, "hours since 1979-01-01");
        std::vector<int> variables;
        for (const char* name : Packed) {
            variables.push_back(writer.variable(name, NC_SHORT));
            writer.nc().number<double>(variables.back(), "scale_factor", NC_DOUBLE, {0.25});
            writer.nc().number<double>(variables.back(), "add_offset", NC_DOUBLE, {1000});
            writer.nc().number<short>(variables.back(), "_FillValue", NC_SHORT, {-32767});
        }
        for (const char* name : Plain)
            variables.push_back(writer.variable(name, NC_FLOAT));
        writer.nc().endDefinitions();
        for (std::size_t step = 0; step < Steps; ++step) {
            writer.time(step, 6.0 * static_cast<double>(step));
            for (std::size_t v = 0; v < variables.size(); ++v) {
                if (v < std::size(Packed))
                    writer.step(variables[v], step, stepValues<short>(step, v));
                else
                    writer.step(variables[v], step, stepValues<float>(step, v));
            }
        }
        writer.nc().close();
    }
};

Climate& climate() {
    static Climate instance;
    return instance;
}

// The same values through libnetcdf alone, the plainest fast way: whole variables, the packed
// ones read as shorts and unpacked into doubles left uninitialised until then.
struct BareArrays {
    std::vector<std::unique_ptr<double[]>> Unpacked;
    std::vector<std::unique_ptr<float[]>> Floats;
};

BareArrays readBare(const std::string& file) {
    const std::size_t values = climate().Steps * StepValues;
    int id = -1;
    nc_open(file.c_str(), NC_NOWRITE, &id);
    BareArrays arrays;
    std::vector<short> packed(values);
    for (const char* name : Packed) {
        int variable = -1;
        double scale = 1, offset = 0;
        short fill = 0;
        nc_inq_varid(id, name, &variable);
        nc_get_att_double(id, variable, "scale_factor", &scale);
        nc_get_att_double(id, variable, "add_offset", &offset);
        nc_get_att_short(id, variable, "_FillValue", &fill);
        nc_get_var_short(id, variable, packed.data());
        double* unpacked = arrays.Unpacked.emplace_back(new double[values]).get();
        for (std::size_t i = 0; i < values; ++i)
            unpacked[i] = packed[i] == fill ? std::nan("") : packed[i] * scale + offset;
    }
    for (const char* name : Plain) {
        int variable = -1;
        nc_inq_varid(id, name, &variable);
        nc_get_var_float(id, variable, arrays.Floats.emplace_back(new float[values]).get());
    }
    nc_close(id);
    return arrays;
}

void BM_LoadNetcdf(benchmark::State& state) {
    const Climate& file = climate();
    Bench::compare(
        state, 1.2, // per-step reads and the bundle's bookkeeping cost little beside the values
        [&] { benchmark::DoNotOptimize(Bench::loadFile(file.File, state)); },
        [&] { benchmark::DoNotOptimize(readBare(file.File)); });
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * Bench::fileBytes(file.File)));
}

// A load holds its arrays and one step of one packed variable besides, never a whole variable.
void BM_NetcdfLoadPeakMemory(benchmark::State& state) {
    Bench::reportLoadPeakMemory(state, climate().File, 1.05);
}

IO_BENCHMARK(BM_LoadNetcdf);
BENCHMARK(BM_NetcdfLoadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "netCDF loading: " + std::to_string(climate().Steps) + " steps of " +
                          std::to_string(Levels) + " x " + std::to_string(Latitudes) + " x " +
                          std::to_string(Longitudes) + ", 2 packed short and 4 float variables");
}
