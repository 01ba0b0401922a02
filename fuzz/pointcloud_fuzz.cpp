// Point clouds from hostile bytes, read with the programs' reading options; the first byte picks
// the file type and the options. A loaded cloud keeps every column as a field of one length
// beside the three-component positions, and is saved.
#include "fuzz/FuzzFile.hpp"
#include "fuzz/FuzzLoad.hpp"
#include "outside/Plexa.hpp"

#include <cstdlib>
#include <iterator>

namespace {

using namespace ConvLibFuzz;

void checkCloud(const Plexa::Bundle& bundle) {
    require(bundle.slices().size() == 1, "a cloud is one slice");
    const Plexa::Slice& slice = *bundle.slices().begin()->second;
    require(slice.grids().size() == 1, "a cloud is one grid");
    const Plexa::Grid& grid = *slice.grids().begin()->second;
    const Plexa::Field* positions = grid.findField("Positions");
    require(positions && positions->Data->components() == 3, "positions have three components");
    for (const auto& [name, field] : grid.fields())
        require(field.Data->size() == positions->Data->size(), "every column has every point");
}

// The first byte picks the file type and the reading options the programs pass: the delimiter,
// the position columns, the grid's name and time.
Plexa::ReadOptions optionsFrom(std::uint8_t choice) {
    static const char delimiters[] = {0, ',', ';', '\t', ' '};
    Plexa::ReadOptions options;
    options.Text.Delimiter = delimiters[(choice / 4) % std::size(delimiters)];
    if ((choice / 20) % 2) options.Text.PositionColumns = {"col3", "col1", "col2"};
    if ((choice / 40) % 2) {
        options.GridName = "named";
        options.Time = -2.5;
    }
    return options;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const names[] = {"cloud.csv", "cloud.xyz", "cloud.las", "cloud.ply"};
    const std::string file = writeInput(names[data[0] % std::size(names)], data + 1, size - 1);
    // the fuzzer's inputs are small: the parallel text path is lowered to them for half of them
    if ((data[0] / 80) % 2)
        ::setenv("PLEXA_PARALLEL_TEXT_BYTES", "64", 1);
    else
        ::unsetenv("PLEXA_PARALLEL_TEXT_BYTES");
    bool success = false;
    Plexa::BundlePtr bundle = loadWithOptions(file, optionsFrom(data[0]), success);
    if (success) {
        checkCloud(*bundle);
        requireSaved(*bundle);
    } else {
        require(bundle->slices().empty() && printable(bundle->lastError()),
                "a failed load adds nothing and says why in one printable line");
    }
    return 0;
}
