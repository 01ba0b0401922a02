// Loading and saving as the converter programs do, for the fuzz targets of the readers.
#pragma once

#include "convlib/MyStorage.hpp"
#include "fuzz/FuzzFile.hpp"
#include "outside/Plexa.hpp"

namespace ConvLibFuzz {

// Loads the file under the reading options, as the programs' loads run.
inline Plexa::BundlePtr loadWithOptions(const std::string& file, const Plexa::ReadOptions& options,
                                        bool& success) {
    return Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr(nullptr), options);
}

// What a load gave is saved as the programs save it, compressed and shifted; that must succeed,
// since a program would otherwise lose an input it read.
inline void requireSaved(const Plexa::Bundle& bundle) {
    const Plexa::StoragePtr policy(new ConvLib::MyStorage(4, false, false, false));
    const Plexa::BindResult saved =
        Plexa::writeBundleFile(bundle, scratchFolder() + "/saved.qz", policy);
    require(static_cast<bool>(saved), "what was loaded is saved", saved.Text);
}

} // namespace ConvLibFuzz
