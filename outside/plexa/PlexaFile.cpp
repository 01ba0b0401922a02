// Bundles and their files: loading by file type, binding to an output file and saving to it.
#include "outside/Plexa.hpp"

#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/readers/Readers.hpp"

namespace Plexa {

namespace {

using detail::FailureText;

// A bundle written over another format's input would destroy the user's original; names of
// types no reader knows are free for bundles.
bool holdsOtherFormat(const std::string& file) {
    return formatOf(file) && !isBindableFormat(file);
}

std::string otherFormatRefusal(const std::string& file) {
    return std::string("a ") + formatOf(file)->Words +
           " is never overwritten by a bundle; bind a .qz file";
}

const detail::Reader& readerFor(const std::string& file) {
    if (const detail::Reader* reader = detail::findReader(file)) return *reader;
    const std::string extension = extensionOf(file);
    throw detail::Failure((extension.empty() ? std::string("no file type (an extension)")
                                             : "unknown file type \"" + extension + "\"") +
                          " (known: " + knownExtensions() + ")");
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
bool absorbFile(const std::string& file, const ReadOptions& options, Bundle& into,
                FailureText& failure) noexcept {
    return detail::attempt(file, failure, [&] {
        Bundle staging;
        readerFor(file).read(file, options, staging);
        for (const MergeConflict& conflict : mergeBundle(into, staging, LoadRule))
            if (LoadRule.refuses(conflict.What)) throw detail::Failure(layoutRefusal(conflict));
    });
}

} // namespace

BundlePtr Bundle::load(bool& success, const Quorix::StrongPtr<Quorix::LoaderParameters>& files,
                       const BundlePtr& into) {
    return load(success, files, into, ReadOptions());
}

BundlePtr Bundle::load(bool& success, const Quorix::StrongPtr<Quorix::LoaderParameters>& files,
                       const BundlePtr& into, const ReadOptions& options) {
    BundlePtr bundle = into ? into : BundlePtr(new Bundle);
    success = false;
    if (!files) {
        bundle->failure("", "no files to load");
        return bundle;
    }
    for (const std::string& file : files->Files) {
        FailureText failed;
        if (!absorbFile(file, options, *bundle, failed)) {
            bundle->failure(failed.File, failed.Cause);
            return bundle;
        }
        bundle->SavedAt = Quorix::Ageable::GlobalTime.load();
    }
    bundle->LastError.clear();
    bundle->LastCause.clear();
    success = true;
    return bundle;
}

BindResult Bundle::bindTo(const std::string& file,
                          const Quorix::StrongPtr<Quorix::InterfaceBase>& policy,
                          const Quorix::StrongPtr<Quorix::InterfaceBase>&) {
    StoragePtr storage(policy ? dynamic_cast<StorageTransformations*>(policy.rawptr())
                              : new StorageTransformations(false));
    if (!storage) return failure(file, "the storage policy is no Plexa::StorageTransformations");
    if (holdsOtherFormat(file)) return failure(file, otherFormatRefusal(file));
    FailureText failed;
    if (!absorbFile(file, ReadOptions(), *this, failed)) return failure(failed.File, failed.Cause);
    BoundFile = file;
    Policy = storage;
    SavedAt = Quorix::Ageable::GlobalTime.load();
    return {true, "bound to " + file};
}

BindResult Bundle::bindToNew(const std::string& file, const StoragePtr& policy) {
    if (file.empty()) return failure("", "no file name to bind to");
    if (holdsOtherFormat(file)) return failure(file, otherFormatRefusal(file));
    BoundFile = file;
    Policy = policy ? policy : StoragePtr(new StorageTransformations(false));
    // The new file holds nothing yet, so everything in the bundle waits to be saved.
    SavedAt = 0;
    return {true, "bound to new file " + file};
}

BindResult Bundle::save() {
    if (!isBound()) return failure("", "the bundle is bound to no file");
    const std::uint64_t now = Quorix::Ageable::GlobalTime.load();
    FailureText failed;
    if (!detail::writeBundle(*this, BoundFile, Policy, failed))
        return failure(failed.File, failed.Cause);
    SavedAt = now;
    return {true, "saved " + BoundFile};
}

BindResult Bundle::failure(const std::string& file, const std::string& cause) {
    LastCause = cause;
    LastError = FailureText{file, cause}.message();
    return {false, LastError};
}

} // namespace Plexa
