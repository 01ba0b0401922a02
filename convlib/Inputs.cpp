#include "convlib/BasicConverterDefs.hpp"

#include <filesystem>
#include <sys/stat.h>

namespace ConvLib {

namespace {

namespace fs = std::filesystem;

using LoaderPtr = Quorix::StrongPtr<Quorix::LoaderParameters>;

bool statusKnown(const std::string& name, struct stat& status) {
    return ::stat(name.c_str(), &status) == 0;
}

std::string folderPrefix(const std::string& name) {
    std::string::size_type slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

LoaderPtr loaderFor(const std::string& name) {
    return LoaderPtr(new Quorix::LoaderParameters(std::list<std::string>{name}));
}

// One whole message for a failed load, with the data model's cause: the read type's text, which
// names a point cloud or a bundle, followed by the format's words where it does not name the
// format; a format of another kind is named by its own words ("Cannot load netCDF file: ").
std::string loadFailure(const char* designed, Plexa::InputKind designedKind,
                        const std::string& name, const Plexa::Bundle& bundle) {
    const Plexa::InputFormat* format = Plexa::formatOf(name);
    const std::string cause = ": " + bundle.lastCause();
    if (!format) return designed + name + cause;
    if (format->Kind == Plexa::InputKind::StructuredGrids)
        return std::string("Cannot load ") + format->Words + ": " + name + cause;
    const bool namesFormat =
        format->Kind == Plexa::InputKind::Bundle && designedKind == Plexa::InputKind::Bundle;
    return designed + name + (namesFormat ? "" : std::string(" (") + format->Words + ")") + cause;
}

bool loadBundles(BasicConverterDefs& converter, const Plexa::ReadOptions& options) {
    for (const std::string& name : *converter.InFiles) {
        LoaderPtr files = loaderFor(name);
        if (!files.valid()) {
            converter.ErrorMessages.push_back("Cannot load this file: " + name);
            return false;
        }
        bool success = false;
        converter.myBundle = Plexa::Bundle::load(success, files, converter.myBundle, options);
        if (!success) {
            converter.ErrorMessages.push_back(loadFailure(
                "Cannot load this bundle: ", Plexa::InputKind::Bundle, name, *converter.myBundle));
            return false;
        }
    }
    return true;
}

bool sameFile(const fs::path& first, const fs::path& second) {
    return fs::exists(fs::status(first)) && fs::exists(fs::status(second)) &&
           fs::equivalent(first, second);
}

bool bindPointCloud(BasicConverterDefs& converter, const Plexa::ReadOptions& options) {
    if (converter.InFiles->size() > 1) return false;
    const std::string& inputName = converter.InFiles->front();
    fs::path input = fs::u8path(inputName);
    if (converter.OutFile == "out.qz") converter.OutFile = input.u8string();
    fs::path output = fs::u8path(converter.OutFile);
    bool inPlace = sameFile(input, output);
    if (!output.has_extension()) {
        converter.ErrorMessages.push_back("Outfile has no extension: " + converter.OutFile);
        return false;
    }
    if (inPlace) {
        converter.myBundle->bindTo(converter.OutFile, converter.myStorage, nullptr);
        return true;
    }
    bool success = false;
    Plexa::Bundle::load(success, loaderFor(inputName), converter.myBundle, options);
    if (!success) {
        converter.ErrorMessages.push_back(
            loadFailure("Cannot load point cloud: ", Plexa::InputKind::PointCloud, inputName,
                        *converter.myBundle));
        return false;
    }
    Quorix::DynPtr<Plexa::StorageTransformations, Quorix::InterfaceBase> policy(
        converter.myStorage);
    converter.myBundle->bindToNew(converter.OutFile, policy);
    return true;
}

} // namespace

std::pair<std::string, std::set<std::string>>
BasicConverterDefs::expandFiles(const std::list<std::string>& names) {
    class DoebyFolder : public Quorix::Folder {
    public:
        bool entryFound(const char* entry) override {
            // the scanner delivers entries in byte order, which makes the hint exact
            Files.emplace_hint(Files.end(), Prefix + entry);
            return true;
        }
        std::set<std::string> Files;
        std::string Prefix;
    };

    DoebyFolder folder;
    for (const std::string& name : names) {
        folder.Prefix = folderPrefix(name);
        struct stat status;
        if (!statusKnown(name, status) || S_ISDIR(status.st_mode))
            folder.scan(name);
        else if (statusKnown(name, status))
            folder.Files.insert(name);
    }
    return {std::move(folder.Prefix), std::move(folder.Files)};
}

void BasicConverterDefs::readManyFiles() {
    if (!InFiles.valid()) return;
    auto expanded = expandFiles(*InFiles);
    InDirectory = std::move(expanded.first);
    InFiles = Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList);
    InFiles->insert(InFiles->end(), expanded.second.begin(), expanded.second.end());
}

bool BasicConverterDefs::loadFilesIntoBundle(myReadType type) {
    return loadFilesIntoBundle(type, Plexa::ReadOptions());
}

bool BasicConverterDefs::loadFilesIntoBundle(myReadType type, const Plexa::ReadOptions& options) {
    if (type == ReadNone) {
        myBundle = Plexa::BundlePtr(nullptr);
        return true;
    }
    if (!InFiles.valid() || InFiles->empty()) return true;
    myBundle = Plexa::BundlePtr(new Plexa::Bundle);
    if (type == ReadBundles) return loadBundles(*this, options);
    if (type == ReadPointCloud) return bindPointCloud(*this, options);
    ErrorMessages.push_back("ReadType is unknown");
    return false;
}

} // namespace ConvLib
