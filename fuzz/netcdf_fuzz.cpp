// netCDF files from hostile bytes, classic headers mostly (the seeds). A loaded file gives
// structured grids whose every field holds one value per node.
#include "fuzz/FuzzFile.hpp"
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
    const std::string file = writeInput("grid.nc", data, size);
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr(nullptr));
    if (success)
        checkGrids(*bundle);
    else
        require(bundle->slices().empty() && printable(bundle->lastError()),
                "a failed load adds nothing and says why in one printable line",
                bundle->lastError());
    return 0;
}
