// Saving and loading a large bundle through Plexa against the same arrays written and read with
// plain HDF5 calls: uncompressed, and in single precision with a numerical shift and compression.
// CONVLIB_BENCH_MIB sets the size (default 64 MiB of doubles); PLEXA_BENCH_DIR the folder.
#include "bench/BenchSupport.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::size_t FieldCount = 8;
// The first field holds three components, like coordinates; the others one.
constexpr int CoordinateComponents = 3;

const char* const PlainFile = "plain.h5";
const char* const PlexaFile = "plexa.qz";
const char* const PlainPackedFile = "plain-packed.h5";
const char* const PlexaPackedFile = "plexa-packed.qz";

Plexa::StoragePtr uncompressed() {
    return Plexa::StoragePtr(new ConvLib::MyStorage(-1, false, false, false));
}

// Single precision, numerical shift, shuffle and deflate for every field of doubles.
Plexa::StoragePtr packed() {
    return Plexa::StoragePtr(new ConvLib::MyStorage(6, false, false, false));
}

std::vector<hsize_t> shapeOf(const Plexa::MemBase& data) {
    if (data.components() == 1) return {data.size()};
    return {data.size(), static_cast<hsize_t>(data.components())};
}

// Per component, the middle of the values' range.
std::vector<double> plainShift(const Plexa::MemBase& data) {
    const auto components = static_cast<std::size_t>(data.components());
    const auto* values = static_cast<const double*>(data.rawData());
    std::vector<double> low(components, std::numeric_limits<double>::infinity());
    std::vector<double> high(components, -std::numeric_limits<double>::infinity());
    for (std::size_t i = 0; i < data.elementCount(); ++i) {
        low[i % components] = std::min(low[i % components], values[i]);
        high[i % components] = std::max(high[i % components], values[i]);
    }
    std::vector<double> shift(components);
    for (std::size_t c = 0; c < components; ++c)
        shift[c] = low[c] / 2 + high[c] / 2;
    return shift;
}

std::vector<float> plainConvert(const Plexa::MemBase& data, const std::vector<double>& shift) {
    const auto* values = static_cast<const double*>(data.rawData());
    std::vector<float> stored(data.elementCount());
    for (std::size_t i = 0; i < stored.size(); ++i)
        stored[i] = static_cast<float>(values[i] - shift[i % shift.size()]);
    return stored;
}

// Chunks of about 1 MiB of floats, shuffled and deflated at level 6.
hid_t packedProperties(const std::vector<hsize_t>& shape) {
    std::vector<hsize_t> chunk = shape;
    const hsize_t rowBytes = sizeof(float) * (shape.size() > 1 ? shape[1] : 1);
    chunk[0] = std::clamp<hsize_t>((1u << 20) / rowBytes, 1, shape[0]);
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(properties, static_cast<int>(chunk.size()), chunk.data());
    H5Pset_shuffle(properties);
    H5Pset_deflate(properties, 6);
    return properties;
}

void writeAttribute(hid_t dataset, const char* name, hid_t type, hid_t space, const void* value) {
    hid_t attribute = H5Acreate2(dataset, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attribute, type, value);
    H5Aclose(attribute);
}

// What a save with the packed policy stores beside the values.
void writePackedAttributes(hid_t dataset, const std::vector<double>& shift) {
    const hsize_t components = shift.size();
    hid_t space = H5Screate_simple(1, &components, nullptr);
    writeAttribute(dataset, "Shift", H5T_NATIVE_DOUBLE, space, shift.data());
    H5Sclose(space);
    const char memoryType[] = "float64";
    hid_t text = H5Tcopy(H5T_C_S1);
    H5Tset_size(text, sizeof memoryType - 1);
    H5Tset_strpad(text, H5T_STR_NULLPAD);
    H5Tset_cset(text, H5T_CSET_UTF8);
    space = H5Screate(H5S_SCALAR);
    writeAttribute(dataset, "MemoryType", text, space, memoryType);
    H5Sclose(space);
    H5Tclose(text);
}

void plainWriteField(hid_t group, const std::string& name, const Plexa::MemBase& data, bool pack) {
    const std::vector<hsize_t> shape = shapeOf(data);
    hid_t space = H5Screate_simple(static_cast<int>(shape.size()), shape.data(), nullptr);
    hid_t properties = pack ? packedProperties(shape) : H5Pcreate(H5P_DATASET_CREATE);
    hid_t dataset = H5Dcreate2(group, name.c_str(), pack ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE,
                               space, H5P_DEFAULT, properties, H5P_DEFAULT);
    if (pack) {
        const std::vector<double> shift = plainShift(data);
        const std::vector<float> stored = plainConvert(data, shift);
        H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, stored.data());
        writePackedAttributes(dataset, shift);
    } else {
        H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.rawData());
    }
    H5Dclose(dataset);
    H5Pclose(properties);
    H5Sclose(space);
}

// The newest file format, as a bundle save writes it.
void plainWrite(const Plexa::Grid& grid, const std::string& name, bool pack) {
    hid_t access = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access);
    hid_t group = H5Gcreate2(file, "Grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    for (const auto& [fieldName, field] : grid.fields())
        plainWriteField(group, fieldName, *field.Data, pack);
    H5Gclose(group);
    H5Fclose(file);
    H5Pclose(access);
}

// Smooth values with a little noise, so that compression has work that resembles real data.
Plexa::MemArrayPtr<double> makeValues(std::size_t bytes, int components, double offset) {
    const std::size_t tuples = bytes / sizeof(double) / static_cast<std::size_t>(components);
    Plexa::MemArrayPtr<double> values = Plexa::makeArray<double>(tuples, components);
    double* out = values->data();
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < values->elementCount(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        out[i] = offset + 100.0 * std::sin(static_cast<double>(i) * 1e-4) + (noise >> 8) * 1e-9;
    }
    return values;
}

// The bundle, and files of every kind from the start, so loads need no save before them.
struct Workspace {
    Bench::ScratchFolder Folder;
    Plexa::BundlePtr Bundle{new Plexa::Bundle};
    std::size_t Bytes = Bench::sizeFromEnvironment("CONVLIB_BENCH_MIB", 64) << 20;

    Workspace() {
        Plexa::GridPtr grid = Bundle->addSlice(0.0)->addGrid("Grid");
        for (std::size_t f = 0; f < FieldCount; ++f)
            grid->addField("Field" + std::to_string(f),
                           makeValues(Bytes / FieldCount, f == 0 ? CoordinateComponents : 1,
                                      6.0e5 * static_cast<double>(f)));
        plainWrite(*grid, file(PlainFile), false);
        if (!Plexa::writeBundleFile(*Bundle, file(PlexaFile), uncompressed())) std::abort();
    }
    std::string file(const char* name) const { return Folder.file(name); }
    const Plexa::Grid& grid() const { return *Bundle->findSlice(0.0)->findGrid("Grid"); }
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

void plainSave(const char* name, bool pack) {
    Bench::replaceDurably(workspace().file(name), [pack](const std::string& temporary) {
        plainWrite(workspace().grid(), temporary, pack);
    });
}

// Saves through a binding, as a converter does.
void plexaSave(benchmark::State& state, const char* name, const Plexa::StoragePtr& policy) {
    Plexa::Bundle& bundle = *workspace().Bundle;
    bundle.bindToNew(workspace().file(name), policy);
    if (!bundle.save()) state.SkipWithError(bundle.lastError().c_str());
    bundle.unbind();
}

void BM_Save(benchmark::State& state) {
    Bench::compare(
        state, 1.1, [&] { plexaSave(state, PlexaFile, uncompressed()); },
        [] { plainSave(PlainFile, false); });
}

void BM_SavePacked(benchmark::State& state) {
    Bench::compare(
        state, 1.1, [&] { plexaSave(state, PlexaPackedFile, packed()); },
        [] { plainSave(PlainPackedFile, true); });
}

void plainLoad() {
    hid_t file = H5Fopen(workspace().file(PlainFile).c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t group = H5Gopen2(file, "Grid", H5P_DEFAULT);
    std::vector<std::vector<double>> arrays;
    for (const auto& [fieldName, field] : workspace().grid().fields()) {
        hid_t dataset = H5Dopen2(group, fieldName.c_str(), H5P_DEFAULT);
        hid_t space = H5Dget_space(dataset);
        arrays.emplace_back(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
        H5Dread(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, arrays.back().data());
        H5Sclose(space);
        H5Dclose(dataset);
    }
    benchmark::DoNotOptimize(arrays.data());
    H5Gclose(group);
    H5Fclose(file);
}

void plexaLoad(benchmark::State& state) {
    Quorix::StrongPtr<Quorix::LoaderParameters> files(
        new Quorix::LoaderParameters(workspace().file(PlexaFile)));
    bool success = false;
    Plexa::BundlePtr loaded = Plexa::Bundle::load(success, files, Plexa::BundlePtr());
    if (!success) state.SkipWithError(loaded->lastError().c_str());
    benchmark::DoNotOptimize(loaded.rawptr());
}

void BM_Load(benchmark::State& state) {
    Bench::compare(
        state, 1.1, [&] { plexaLoad(state); }, plainLoad);
}

IO_BENCHMARK(BM_Save);
IO_BENCHMARK(BM_SavePacked);
IO_BENCHMARK(BM_Load);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      std::to_string(workspace().Bytes >> 20) + " MiB of doubles in " +
                          workspace().Folder.path() +
                          "; ours against plain HDF5, fastest of five turns each");
}
