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

bool readByType(const std::string& file, const ReadOptions& options, Bundle& into,
                std::string& error) {
    const Reader* reader = findReader(file);
    if (reader) return reader->read(file, options, into, error);
    const std::string extension = extensionOf(file);
    error = (extension.empty() ? std::string("no file type (an extension)")
                               : "unknown file type \"" + extension + "\"") +
            " (known: " + knownExtensions() + ")";
    return false;
}

// Fields of grids of different layouts mean different things per tuple, so such grids never mix;
// the reason names both sides.
std::string layoutConflict(const Bundle& into, const Bundle& staging) {
    for (const auto& [time, slice] : staging.slices()) {
        const SlicePtr existing = into.findSlice(time);
        if (!existing) continue;
        for (const auto& [name, grid] : slice->grids()) {
            const GridPtr other = existing->findGrid(name);
            if (other && other->topology() != grid->topology())
                return "grid \"" + detail::printableText(name) + "\" at time " +
                       detail::numberText(time) + " is " + grid->topology().summary() +
                       " here but " + other->topology().summary() +
                       " in the bundle it is loaded into; grids of different layouts do not merge";
        }
    }
    return {};
}

void mergeGrid(Slice& into, const GridPtr& grid) {
    GridPtr existing = into.findGrid(grid->name());
    if (!existing) return into.insertGrid(grid);
    for (const auto& [name, field] : grid->fields())
        existing->addField(name, field.Data) = field; // attributes and packing too
    for (const auto& [key, value] : grid->attributes())
        existing->setAttribute(key, value);
    existing->touch();
}

// Adds what the file holds to `into`, or nothing when it cannot be read completely.
bool absorbFile(const std::string& file, const ReadOptions& options, Bundle& into,
                std::string& error) noexcept {
    try {
        Bundle staging;
        if (!readByType(file, options, staging, error)) return false;
        error = layoutConflict(into, staging);
        if (!error.empty()) return false;
        for (const auto& [time, slice] : staging.slices())
            for (const auto& [name, grid] : slice->grids())
                mergeGrid(*into.addSlice(time), grid);
        return true;
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    return false;
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
        bundle->LastError = "no files to load";
        return bundle;
    }
    for (const std::string& file : files->Files) {
        std::string error;
        if (!absorbFile(file, options, *bundle, error)) {
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
    if (!absorbFile(file, ReadOptions(), *this, error)) return failure(file + ": " + error);
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
