// netCDF files from hostile bytes, classic headers mostly (the seeds). A loaded file gives
// structured grids whose every field holds one value per node, and is saved.
#include "fuzz/FuzzFile.hpp"
#include "fuzz/FuzzLoad.hpp"
#include "outside/Plexa.hpp"

namespace {

using namespace ConvLibFuzz;

void checkGrids(const Plexa::Bundle& bundle) {
    require(!bundle.slices().empty(), "a loaded file has a time step");
    for (const auto& [time, slice] : bundle.slices())
        for (const auto& [name, grid] : slice->grids()) {
            const Plexa::Topology& layout = grid->topology();
            require(layout.isStructured() && layout.problem().empty(), "grids are structured");
            for (const auto& [fieldName, field] : grid->fields())
                require(field.Data->size() == layout.nodeCount(), "a value per node",
                        name + "/" + fieldName);
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // libnetcdf keeps a file that failed to open half open, and opening it again in the same
    // process crashes inside HDF5: each input gets a name of its own, as each program input does
    static unsigned long inputs = 0;
    const std::string file = writeInput("grid-" + std::to_string(++inputs) + ".nc", data, size);
    bool success = false;
    Plexa::BundlePtr bundle = loadWithOptions(file, Plexa::ReadOptions(), success);
    std::remove(file.c_str());
    if (success) {
        checkGrids(*bundle);
        requireSaved(*bundle);
    } else {
        require(bundle->slices().empty() && printable(bundle->lastError()),
                "a failed load adds nothing and says why in one printable line",
                bundle->lastError());
    }
    return 0;
}
