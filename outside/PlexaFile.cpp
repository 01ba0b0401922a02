#include "outside/Plexa.hpp"

// Placeholder until the HDF5 layer lands: every file operation reports that it cannot work yet.
namespace Plexa {

namespace {
const char* const notYet = "bundle files are not supported yet";
}

BundlePtr Bundle::load(bool& success, const Quorix::StrongPtr<Quorix::LoaderParameters>&,
                       const BundlePtr& into) {
    BundlePtr bundle = into ? into : BundlePtr(new Bundle);
    bundle->LastError = notYet;
    success = false;
    return bundle;
}

BindResult Bundle::bindTo(const std::string&, const Quorix::StrongPtr<Quorix::InterfaceBase>&,
                          const Quorix::StrongPtr<Quorix::InterfaceBase>&) {
    return {false, notYet};
}

BindResult Bundle::bindToNew(const std::string&, const StoragePtr&) {
    return {false, notYet};
}

BindResult Bundle::save() {
    return {false, notYet};
}

BindResult writeBundleFile(const Bundle&, const std::string&, const StoragePtr&) {
    return {false, notYet};
}

bool describeFile(const std::string&, std::vector<StoredField>&, std::string& error) {
    error = notYet;
    return false;
}

} // namespace Plexa
