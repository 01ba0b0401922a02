// Which reader reads which file, and what the file holds: one table, so adding a format is a
// reader and one line here.
#include "outside/Plexa.hpp"

#include "outside/plexa/readers/Readers.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

namespace Plexa {

namespace {

struct Registration {
    InputFormat Format;
    const detail::Reader& (*reader)();
};

const Registration Registrations[] = {
    {{".qz", InputKind::Bundle, "bundle file"}, detail::bundleFileReader},
    {{".csv", InputKind::PointCloud, "text cloud"}, detail::textCloudReader},
    {{".xyz", InputKind::PointCloud, "text cloud"}, detail::textCloudReader},
    {{".las", InputKind::PointCloud, "LAS file"}, detail::lasReader},
    // refused with the advice to decompress it
    {{".laz", InputKind::PointCloud, "compressed LAS file", true}, detail::lasReader},
    {{".ply", InputKind::PointCloud, "PLY file"}, detail::plyReader},
    {{".nc", InputKind::StructuredGrids, "netCDF file"}, detail::netcdfReader},
    {{".nc4", InputKind::StructuredGrids, "netCDF file"}, detail::netcdfReader},
};

const Registration* registrationFor(const std::string& file) {
    const std::string extension = extensionOf(file);
    for (const Registration& entry : Registrations)
        if (extension == entry.Format.Extension) return &entry;
    return nullptr;
}

} // namespace

namespace detail {

Reader::~Reader() = default;

const Reader* findReader(const std::string& file) {
    const Registration* entry = registrationFor(file);
    return entry ? &entry->reader() : nullptr;
}

} // namespace detail

const char* kindName(InputKind kind) {
    switch (kind) {
    case InputKind::PointCloud:
        return "point cloud";
    case InputKind::StructuredGrids:
        return "structured grids";
    case InputKind::Bundle:
        return "bundle";
    }
    return "";
}

std::string extensionOf(const std::string& file) {
    std::string extension = std::filesystem::path(file).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

const InputFormat* formatOf(const std::string& file) {
    const Registration* entry = registrationFor(file);
    return entry ? &entry->Format : nullptr;
}

// Only bundle files: a bundle written over any other input destroys the original.
bool isBindableFormat(const std::string& file) {
    const InputFormat* format = formatOf(file);
    return format && format->Kind == InputKind::Bundle;
}

bool isRefusedFormat(const std::string& file) {
    const InputFormat* format = formatOf(file);
    return format && format->Refused;
}

std::string knownExtensions(const std::vector<InputKind>& kinds) {
    std::vector<std::string> extensions;
    for (const Registration& entry : Registrations)
        if (kinds.empty() ||
            std::find(kinds.begin(), kinds.end(), entry.Format.Kind) != kinds.end())
            extensions.emplace_back(entry.Format.Extension);
    std::sort(extensions.begin(), extensions.end());
    std::string text;
    for (const std::string& extension : extensions)
        text += (text.empty() ? "" : ", ") + extension;
    return text;
}

} // namespace Plexa
