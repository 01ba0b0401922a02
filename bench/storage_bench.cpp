// Lossless default storage on real data: the size of autzen_trim.las converted (the source's
// int32 positions packed exactly, Height added as qz-pointcloud adds it), and a 40-step file of
// packed shorts made from eraint_uvz.nc converted against `nccopy -k nc4 -d4 -s` (size and time,
// nccopy timed in the same run). Both read ../shared/data (CONVLIB_SHARED_DATA sets the folder)
// and skip with a message when it is absent.
#include "bench/BenchSupport.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"
#include "tests/support/NetcdfWriter.hpp"

#include <netcdf.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string sharedData(const std::string& name) {
    const char* folder = std::getenv("CONVLIB_SHARED_DATA");
    return std::string(folder ? folder : "/work/shared/data") + "/" + name;
}

bool present(benchmark::State& state, const std::string& file) {
    if (std::filesystem::exists(file)) return true;
    state.SkipWithError((file + " is absent; set CONVLIB_SHARED_DATA to its folder").c_str());
    return false;
}

// As the converters store at their default --compression 4.
Plexa::StoragePtr defaultStorage() {
    Quorix::StrongPtr<ConvLib::MyStorage> storage(new ConvLib::MyStorage(4, false, false, false));
    storage->FilterDefaults.DeflateLevel = 4;
    return storage;
}

double megabytes(const std::string& file) {
    return static_cast<double>(Bench::fileBytes(file)) / 1e6;
}

// Goal 1.15 MB lossless, reported against the 3.74 MB source.
void BM_AutzenLosslessSize(benchmark::State& state) {
    const std::string source = sharedData("autzen_trim.las");
    if (!present(state, source)) return;
    Bench::ScratchFolder folder;
    const std::string target = folder.file("autzen_trim.qz");
    for (auto _ : state) {
        Plexa::BundlePtr bundle = Bench::loadFile(source, state);
        if (!bundle) return;
        for (const auto& [time, slice] : bundle->slices())
            for (const auto& [name, grid] : slice->grids())
                Bench::addHeight(*grid);
        if (!Plexa::writeBundleFile(*bundle, target, defaultStorage()))
            state.SkipWithError("cannot save autzen_trim.qz");
    }
    Bench::report(state, megabytes(target), megabytes(source), 1.15 / megabytes(source), "MB");
}

// The 40-step file: z, u and v of eraint_uvz.nc, step k holding month k mod 2 rolled east by 3k
// longitudes, over a time coordinate in days; classic 64-bit offset format, about 83 MB.
class Era40 {
public:
    static constexpr std::size_t Steps = 40;

    explicit Era40(const std::string& target) {
        int source = -1;
        check(nc_open(sharedData("eraint_uvz.nc").c_str(), NC_NOWRITE, &source));
        ConvLibTest::NetcdfWriter nc(target, NC_64BIT_OFFSET);
        const std::vector<int> dimensions{
            nc.dimension("time", NC_UNLIMITED), nc.dimension("level", Levels),
            nc.dimension("latitude", Latitudes), nc.dimension("longitude", Longitudes)};
        const int time = nc.variable("time", NC_DOUBLE, {dimensions[0]});
        nc.text(time, "units", "days since 1979-01-01");
        const int coordinates[] = {nc.variable("level", NC_INT, {dimensions[1]}),
                                   nc.variable("latitude", NC_FLOAT, {dimensions[2]}),
                                   nc.variable("longitude", NC_FLOAT, {dimensions[3]})};
        std::vector<int> variables;
        for (const char* name : Variables) {
            variables.push_back(nc.variable(name, NC_SHORT, dimensions));
            copyAttributes(source, name, nc.id(), variables.back());
        }
        nc.endDefinitions();
        copyCoordinates(source, nc, coordinates);
        for (std::size_t v = 0; v < variables.size(); ++v)
            writeSteps(source, Variables[v], nc, variables[v], time);
        nc.close();
        nc_close(source);
    }

private:
    static constexpr std::size_t Levels = 3, Latitudes = 241, Longitudes = 480;
    static constexpr const char* Variables[] = {"z", "u", "v"};

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

    static void writeSteps(int source, const char* name, ConvLibTest::NetcdfWriter& nc,
                           int variable, int time) {
        const std::size_t plane = Levels * Latitudes * Longitudes;
        std::vector<short> months(2 * plane), step(plane);
        check(nc_get_var_short(source, idOf(source, name), months.data()));
        for (std::size_t k = 0; k < Steps; ++k) {
            const short* month = months.data() + (k % 2) * plane;
            for (std::size_t row = 0; row < Levels * Latitudes; ++row)
                for (std::size_t lon = 0; lon < Longitudes; ++lon)
                    step[row * Longitudes + (lon + 3 * k) % Longitudes] =
                        month[row * Longitudes + lon];
            const std::size_t start[] = {k, 0, 0, 0};
            const std::size_t count[] = {1, Levels, Latitudes, Longitudes};
            check(nc_put_vara_short(nc.id(), variable, start, count, step.data()));
            const double day = static_cast<double>(k);
            check(nc_put_vara_double(nc.id(), time, start, count, &day));
        }
    }
};

struct EraFiles {
    Bench::ScratchFolder Folder;
    std::string Source = Folder.file("era40.nc");
    std::string Ours = Folder.file("era40.qz");
    std::string Theirs = Folder.file("era40-nccopy.nc");
};

EraFiles* eraFiles(benchmark::State& state) {
    static std::unique_ptr<EraFiles> files;
    if (!present(state, sharedData("eraint_uvz.nc"))) return nullptr;
    if (!files) {
        files = std::make_unique<EraFiles>();
        Era40 make(files->Source);
    }
    return files.get();
}

void convert(benchmark::State& state, const EraFiles& files) {
    Plexa::BundlePtr bundle = Bench::loadFile(files.Source, state);
    if (bundle && !Plexa::writeBundleFile(*bundle, files.Ours, defaultStorage()))
        state.SkipWithError("cannot save era40.qz");
}

void nccopy(benchmark::State& state, const EraFiles& files) {
    const std::string command =
        "nccopy -k nc4 -d4 -s '" + files.Source + "' '" + files.Theirs + "'";
    if (std::system(command.c_str()) != 0) state.SkipWithError("nccopy failed");
}

void BM_Era40LosslessSize(benchmark::State& state) {
    EraFiles* files = eraFiles(state);
    if (!files) return;
    for (auto _ : state) {
        convert(state, *files);
        nccopy(state, *files);
    }
    Bench::report(state, megabytes(files->Ours), megabytes(files->Theirs), 1.0, "MB");
}

void BM_Era40ConvertTime(benchmark::State& state) {
    EraFiles* files = eraFiles(state);
    if (!files) return;
    Bench::compare(
        state, 0.5, [&] { convert(state, *files); }, [&] { nccopy(state, *files); });
}

BENCHMARK(BM_AutzenLosslessSize)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Era40LosslessSize)->Unit(benchmark::kMillisecond)->Iterations(1);
IO_BENCHMARK(BM_Era40ConvertTime)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "lossless default storage of autzen_trim.las and a 40-step ERA-Interim "
                      "file (" +
                          sharedData("") + "); ours against the source and nccopy -k nc4 -d4 -s");
}
