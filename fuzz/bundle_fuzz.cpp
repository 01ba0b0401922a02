// Bundle files from hostile bytes: loading and describing never crash, a failed load adds
// nothing and says why in one printable line, and what loads is saved again.
#include "fuzz/FuzzFile.hpp"
#include "fuzz/FuzzLoad.hpp"
#include "outside/Plexa.hpp"

#include <hdf5.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ConvLibFuzz;
    const std::string file = writeInput("input.qz", data, size);

    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr(nullptr));
    require(bundle.valid(), "load returns a bundle");
    if (success) {
        requireSaved(*bundle);
    } else {
        require(bundle->slices().empty(), "a failed load adds nothing");
        require(!bundle->lastError().empty() && printable(bundle->lastError()),
                "a failed load says why in one printable line", bundle->lastError());
    }

    std::vector<Plexa::StoredField> fields;
    std::string error;
    if (!Plexa::describeFile(file, fields, error))
        require(!error.empty() && printable(error), "a failed description says why", error);
    // HDF5 leaks by itself on some broken files, so our handles are counted here instead.
    require(H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL) == 0, "every HDF5 object is closed");
    return 0;
}
