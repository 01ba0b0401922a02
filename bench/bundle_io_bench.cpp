// Saving and loading a large bundle through Plexa against the same arrays written and read with
// plain HDF5 calls: uncompressed, in single precision with a numerical shift and compression, and
// the lossless default of integer-packed doubles against plain HDF5 writing those integers.
// CONVLIB_BENCH_MIB sets the size (default 64 MiB of doubles); PLEXA_BENCH_DIR the folder.
#include "bench/BenchSupport.hpp"
#include "bench/PlainBundle.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <hdf5.h>

#include <cmath>
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
    Quorix::StrongPtr<ConvLib::MyStorage> storage(new ConvLib::MyStorage(6, false, false, false));
    storage->Precision.askSinglePrecision({});
    return storage;
}

// The lossless default: fields of integers * scale + offset are stored as those integers.
Plexa::StoragePtr lossless() {
    return Plexa::StoragePtr(new ConvLib::MyStorage(6, false, false, false));
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
        Bench::plainWrite(*grid, file(PlainFile), false);
        if (!Plexa::writeBundleFile(*Bundle, file(PlexaFile), uncompressed()) ||
            !Plexa::writeBundleFile(*Bundle, file(PlexaPackedFile), packed()))
            std::abort();
    }
    std::string file(const char* name) const { return Folder.file(name); }
    const Plexa::Grid& grid() const { return *Bundle->findSlice(0.0)->findGrid("Grid"); }
};

Workspace& workspace() {
    static Workspace instance;
    return instance;
}

// Each value plus its component's Shift.
void addShift(hid_t dataset, std::vector<double>& values) {
    hid_t attribute = H5Aopen(dataset, "Shift", H5P_DEFAULT);
    hid_t space = H5Aget_space(attribute);
    std::vector<double> shift(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    H5Aread(attribute, H5T_NATIVE_DOUBLE, shift.data());
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] += shift[i % shift.size()];
    H5Sclose(space);
    H5Aclose(attribute);
}

void plainSave(const char* name, bool pack) {
    Bench::replaceDurably(workspace().file(name), [pack](const std::string& temporary) {
        Bench::plainWrite(workspace().grid(), temporary, pack);
    });
}

void BM_Save(benchmark::State& state) {
    Bench::compare(
        state, 1.05,
        [&] {
            Bench::saveThroughBinding(state, *workspace().Bundle, workspace().file(PlexaFile),
                                      uncompressed());
        },
        [] { plainSave(PlainFile, false); });
}

void BM_SavePacked(benchmark::State& state) {
    Bench::compare(
        state, 0.33,
        [&] {
            Bench::saveThroughBinding(state, *workspace().Bundle, workspace().file(PlexaPackedFile),
                                      packed());
        },
        [] { plainSave(PlainPackedFile, true); });
}

// The fields of the group as doubles; with `shifted`, plus each component's Shift, as a load of
// a packed bundle gives them.
void plainLoad(const char* name, const char* groupPath, bool shifted) {
    hid_t file = H5Fopen(workspace().file(name).c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t group = H5Gopen2(file, groupPath, H5P_DEFAULT);
    std::vector<std::vector<double>> arrays;
    for (const auto& [fieldName, field] : workspace().grid().fields()) {
        hid_t dataset = H5Dopen2(group, fieldName.c_str(), H5P_DEFAULT);
        hid_t space = H5Dget_space(dataset);
        arrays.emplace_back(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
        H5Dread(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, arrays.back().data());
        if (shifted) addShift(dataset, arrays.back());
        H5Sclose(space);
        H5Dclose(dataset);
    }
    benchmark::DoNotOptimize(arrays.data());
    H5Gclose(group);
    H5Fclose(file);
}

void plexaLoad(benchmark::State& state, const char* name) {
    Quorix::StrongPtr<Quorix::LoaderParameters> files(
        new Quorix::LoaderParameters(workspace().file(name)));
    bool success = false;
    Plexa::BundlePtr loaded = Plexa::Bundle::load(success, files, Plexa::BundlePtr());
    if (!success) state.SkipWithError(loaded->lastError().c_str());
    benchmark::DoNotOptimize(loaded.rawptr());
}

void BM_Load(benchmark::State& state) {
    Bench::compare(
        state, 1.05, [&] { plexaLoad(state, PlexaFile); },
        [] { plainLoad(PlainFile, "Grid", false); });
}

// Our file, read by both: HDF5's own filters against ours on every core.
void BM_LoadPacked(benchmark::State& state) {
    Bench::compare(
        state, 0.5, [&] { plexaLoad(state, PlexaPackedFile); },
        [] { plainLoad(PlexaPackedFile, "000000/Grid", true); });
}

// Doubles made of int32 * scale + offset with the packing hint (the first field's components each
// with an offset of their own, as LAS positions), and the integers they were made of.
struct IntegerWorkspace {
    Plexa::BundlePtr Bundle{new Plexa::Bundle};
    Plexa::BundlePtr IntegerBundle{new Plexa::Bundle};
    Plexa::GridPtr Integers = IntegerBundle->addSlice(0.0)->addGrid("Grid");

    IntegerWorkspace() {
        Plexa::GridPtr grid = Bundle->addSlice(0.0)->addGrid("Grid");
        const std::size_t bytes = workspace().Bytes / FieldCount;
        for (std::size_t f = 0; f < FieldCount; ++f) {
            const int components = f == 0 ? CoordinateComponents : 1;
            const Plexa::MemArrayPtr<double> smooth = makeValues(bytes, components, 0.0);
            auto values = Plexa::makeArray<double>(smooth->size(), components);
            auto integers = Plexa::makeArray<std::int32_t>(smooth->size(), components);
            Plexa::Packing packing;
            for (int c = 0; c < components; ++c) {
                packing.Scale.push_back(0.001);
                packing.Offset.push_back(6.0e5 * static_cast<double>(f + c));
            }
            for (std::size_t i = 0; i < smooth->elementCount(); ++i) {
                const std::size_t c = i % static_cast<std::size_t>(components);
                integers->data()[i] =
                    static_cast<std::int32_t>(std::lround(smooth->data()[i] * 1e3));
                values->data()[i] = integers->data()[i] * packing.Scale[c] + packing.Offset[c];
            }
            const std::string name = "Field" + std::to_string(f);
            grid->addField(name, values).Packed = packing;
            Integers->addField(name, integers);
        }
    }
};

IntegerWorkspace& integerWorkspace() {
    static IntegerWorkspace instance;
    return instance;
}

void BM_SaveIntegers(benchmark::State& state) {
    Bench::compare(
        state, 0.4,
        [&] {
            Bench::saveThroughBinding(state, *integerWorkspace().Bundle,
                                      workspace().file("plexa-integers.qz"), lossless());
        },
        [] {
            Bench::replaceDurably(
                workspace().file("plain-integers.h5"), [](const std::string& temporary) {
                    Bench::plainWriteIntegers(*integerWorkspace().Integers, temporary);
                });
        });
}

IO_BENCHMARK(BM_Save);
IO_BENCHMARK(BM_SavePacked);
IO_BENCHMARK(BM_SaveIntegers);
IO_BENCHMARK(BM_Load);
IO_BENCHMARK(BM_LoadPacked);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      std::to_string(workspace().Bytes >> 20) + " MiB of doubles in " +
                          workspace().Folder.path() +
                          "; ours against plain HDF5, fastest of five turns each");
}
