// Saving 10,000 small fields of 1,000 doubles through Plexa against a plain HDF5 loop over the
// same fields, and what each file spends beside the values, per field.
#include "bench/BenchSupport.hpp"
#include "bench/PlainBundle.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <string>

namespace {

constexpr std::size_t FieldCount = 10000;
constexpr std::size_t ValuesPerField = 1000;

const char* const PlainFile = "plain.h5";
const char* const PlexaFile = "plexa.qz";
const char* const PlexaPackedFile = "plexa-packed.qz";

struct Workspace {
    Bench::ScratchFolder Folder;
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

// Bytes beside the values, per field, for a file whose values take `valueBytes` each.
double overheadPerField(const char* name, std::size_t valueBytes) {
    const double payload = FieldCount * ValuesPerField * valueBytes;
    return (static_cast<double>(Bench::fileBytes(workspace().file(name))) - payload) / FieldCount;
}

void plexaSave(benchmark::State& state, const char* name, int compression) {
    Bench::saveThroughBinding(
        state, *workspace().Bundle, workspace().file(name),
        Plexa::StoragePtr(new ConvLib::MyStorage(compression, false, false, false)));
}

void BM_SaveSmallFields(benchmark::State& state) {
    Bench::compare(
        state, 1.05, [&] { plexaSave(state, PlexaFile, -1); },
        [] {
            Bench::replaceDurably(workspace().file(PlainFile), [](const std::string& temporary) {
                Bench::plainWrite(workspace().grid(), temporary, false);
            });
        });
    state.counters["ours_overhead_B"] = overheadPerField(PlexaFile, sizeof(double));
    state.counters["baseline_overhead_B"] = overheadPerField(PlainFile, sizeof(double));
}

// Compact single-precision fields with their shift and memory type, for the overhead only.
void BM_SaveSmallFieldsPacked(benchmark::State& state) {
    for (auto _ : state)
        plexaSave(state, PlexaPackedFile, 6);
    state.counters["ours_overhead_B"] = overheadPerField(PlexaPackedFile, sizeof(float));
}

IO_BENCHMARK(BM_SaveSmallFields);
IO_BENCHMARK(BM_SaveSmallFieldsPacked);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      std::to_string(FieldCount) + " fields of " + std::to_string(ValuesPerField) +
                          " doubles in " + workspace().Folder.path() +
                          "; overhead: (file size - value bytes) / fields, goal < 1024 B");
}
