// Bundles and their files: loading by file type, binding to an output file and saving to it.
#include "outside/Plexa.hpp"

#include "outside/plexa/detail/BundleFormat.hpp"

#include <exception>
#include <filesystem>

namespace Plexa {

namespace {

// A bundle written over another format's input would destroy the user's original; names of
// types no reader knows are free for bundles.
bool holdsOtherFormat(const std::string& file) {
    return findReader(file) && !isBindableFormat(file);
}

std::string otherFormatRefusal(const std::string& file) {
    return file + ": a " + findReader(file)->formatName() +
           " is never overwritten by a bundle; bind a .qz file";
}

bool readByType(const std::string& file, Bundle& into, std::string& error) {
    const Reader* reader = findReader(file);
    if (reader) return reader->read(file, ReadOptionsScope::current(), into, error);
    const std::string extension = extensionOf(file);
    error = (extension.empty() ? std::string("no file type (an extension)")
                               : "unknown file type \"" + extension + "\"") +
            " (known: " + knownExtensions() + ")";
    return false;
}

// Loading lets later files win for fields of one name; grids of different layouts mean different
// things per tuple, so a file whose grid has another layout is refused whole, naming both sides.
const MergeOptions LoadRule{true, false, false};

std::string layoutRefusal(const MergeConflict& conflict) {
    return "grid \"" + detail::printableText(conflict.Grid) + "\" at time " +
           detail::numberText(conflict.Time) + " is " + conflict.Incoming + " here but " +
           conflict.Existing +
           " in the bundle it is loaded into; grids of different layouts do not merge";
}

// Adds what the file holds to `into`, or nothing when it cannot be read completely.
bool absorbFile(const std::string& file, Bundle& into, std::string& error) noexcept {
    try {
        Bundle staging;
        if (!readByType(file, staging, error)) return false;
        for (const MergeConflict& conflict : mergeBundle(into, staging, LoadRule))
            if (LoadRule.refuses(conflict.What)) {
                error = layoutRefusal(conflict);
                return false;
            }
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    return false;
}

} // namespace

BundlePtr Bundle::load(bool& success, const Quorix::StrongPtr<Quorix::LoaderParameters>& files,
                       const BundlePtr& into) {
    BundlePtr bundle = into ? into : BundlePtr(new Bundle);
    success = false;
    if (!files) {
        bundle->LastError = "no files to load";
        return bundle;
    }
    for (const std::string& file : files->Files) {
        std::string error;
        if (!absorbFile(file, *bundle, error)) {
            bundle->LastError = file + ": " + error;
            return bundle;
        }
        bundle->SavedAt = Quorix::Ageable::GlobalTime.load();
    }
    bundle->LastError.clear();
    success = true;
    return bundle;
}

BindResult Bundle::bindTo(const std::string& file,
                          const Quorix::StrongPtr<Quorix::InterfaceBase>& policy,
                          const Quorix::StrongPtr<Quorix::InterfaceBase>&) {
    StoragePtr storage(policy ? dynamic_cast<StorageTransformations*>(policy.rawptr())
                              : new StorageTransformations(false));
    if (!storage) return failure(file + ": the storage policy is no Plexa::StorageTransformations");
    if (holdsOtherFormat(file)) return failure(otherFormatRefusal(file));
    std::string error;
    if (!absorbFile(file, *this, error)) return failure(file + ": " + error);
    BoundFile = file;
    Policy = storage;
    SavedAt = Quorix::Ageable::GlobalTime.load();
    return {true, "bound to " + file};
}

BindResult Bundle::bindToNew(const std::string& file, const StoragePtr& policy) {
    if (file.empty()) return failure("no file name to bind to");
    if (holdsOtherFormat(file)) return failure(otherFormatRefusal(file));
    BoundFile = file;
    Policy = policy ? policy : StoragePtr(new StorageTransformations(false));
    // The new file holds nothing yet, so everything in the bundle waits to be saved.
    SavedAt = 0;
    return {true, "bound to new file " + file};
}

BindResult Bundle::save() {
    if (!isBound()) return failure("the bundle is bound to no file");
    const std::uint64_t now = Quorix::Ageable::GlobalTime.load();
    BindResult result = writeBundleFile(*this, BoundFile, Policy);
    if (!result) return failure(result.Text);
    SavedAt = now;
    return result;
}

BindResult Bundle::failure(std::string text) {
    LastError = std::move(text);
    return {false, LastError};
}

} // namespace Plexa
