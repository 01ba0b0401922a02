// Saving 10,000 small fields of 1,000 doubles through Plexa against a plain HDF5 loop over the
// same fields, and what each file spends beside the values, per field.
#include "bench/io_bench_support.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <hdf5.h>

#include <cstdio>
#include <string>

namespace {

constexpr std::size_t FieldCount = 10000;
constexpr std::size_t ValuesPerField = 1000;

const char* const PlainFile = "plain.h5";
const char* const PlexaFile = "plexa.qz";
const char* const PlexaPackedFile = "plexa-packed.qz";

void plainWrite(const Plexa::Grid& grid, const std::string& name) {
    hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
    hid_t group = H5Gcreate2(file, "Grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t extent = ValuesPerField;
    for (const auto& [fieldName, field] : grid.fields()) {
        hid_t space = H5Screate_simple(1, &extent, nullptr);
        hid_t dataset = H5Dcreate2(group, fieldName.c_str(), H5T_NATIVE_DOUBLE, space, H5P_DEFAULT,
                                   H5P_DEFAULT, H5P_DEFAULT);
        H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, field.Data->rawData());
        H5Dclose(dataset);
        H5Sclose(space);
    }
    H5Gclose(group);
    H5Fclose(file);
    H5Pclose(access);
}

struct Workspace {
    IoBench::ScratchFolder Folder;
    Plexa::BundlePtr Bundle{new Plexa::Bundle};

    Workspace() {
        Plexa::GridPtr grid = Bundle->addSlice(0.0)->addGrid("Grid");
        for (std::size_t f = 0; f < FieldCount; ++f) {
            Plexa::MemArrayPtr<double> values = Plexa::makeArray<double>(ValuesPerField);
            for (std::size_t i = 0; i < ValuesPerField; ++i)
                (*values)(i) = static_cast<double>(f * ValuesPerField + i);
            grid->addField("Field" + std::to_string(f), values);
        }
    }
    std::string file(const char* name) const { return Folder.file(name); }
    const Plexa::Grid& grid() const { return *Bundle->findSlice(0.0)->findGrid("Grid"); }
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

// Bytes beside the values, per field; `valueBytes` is the size of one stored value.
void countOverhead(benchmark::State& state, const char* name, std::size_t valueBytes = 8) {
    const double payload = FieldCount * ValuesPerField * valueBytes;
    state.counters["OverheadBytesPerField"] =
        (static_cast<double>(IoBench::fileBytes(workspace().file(name))) - payload) / FieldCount;
}

void BM_PlainSaveSmallFields(benchmark::State& state) {
    for (auto _ : state)
        IoBench::replaceDurably(workspace().file(PlainFile), [](const std::string& temporary) {
            plainWrite(workspace().grid(), temporary);
        });
    countOverhead(state, PlainFile);
}

void plexaSave(benchmark::State& state, const char* name, int compression) {
    Plexa::Bundle& bundle = *workspace().Bundle;
    bundle.bindToNew(workspace().file(name),
                     Plexa::StoragePtr(new ConvLib::MyStorage(compression, false, false, false)));
    for (auto _ : state)
        if (!bundle.save()) state.SkipWithError(bundle.lastError().c_str());
    bundle.unbind();
}

void BM_PlexaSaveSmallFields(benchmark::State& state) {
    plexaSave(state, PlexaFile, -1);
    countOverhead(state, PlexaFile);
}

// Compact single-precision fields with their shift and memory type: for the overhead only.
void BM_PlexaSaveSmallFieldsPacked(benchmark::State& state) {
    plexaSave(state, PlexaPackedFile, 6);
    countOverhead(state, PlexaPackedFile, sizeof(float));
}

IO_BENCHMARK(BM_PlainSaveSmallFields, workspace);
IO_BENCHMARK(BM_PlexaSaveSmallFields, workspace);
IO_BENCHMARK(BM_PlexaSaveSmallFieldsPacked, workspace);

} // namespace

int main(int argc, char** argv) {
    std::printf("%zu fields of %zu doubles in %s\n", FieldCount, ValuesPerField,
                workspace().Folder.path().c_str());
    return IoBench::runBenchmarks(argc, argv, [](const IoBench::RatioReporter& reporter) {
        reporter.printRatio("BM_PlexaSaveSmallFields", "BM_PlainSaveSmallFields",
                            "goal <= 1.10; overhead goal < 1024 bytes per field");
    });
}
