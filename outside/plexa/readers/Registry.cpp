// Which reader reads which file: one table, so adding a format is a reader and one line here.
#include "outside/Plexa.hpp"

#include "outside/plexa/readers/Readers.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

namespace Plexa {

namespace {

struct Registration {
    const char* Extension; // lower case, with its dot
    const Reader& (*reader)();
    bool Bindable; // a bundle may be bound to such a file and written over it
};

// Only bundle files are bindable: a bundle written over any other input destroys the original.
const Registration Registrations[] = {
    {".qz", detail::bundleFileReader, true},  {".csv", detail::textCloudReader, false},
    {".xyz", detail::textCloudReader, false}, {".las", detail::lasReader, false},
    {".laz", detail::lasReader, false}, // refused with the advice to decompress it
    {".ply", detail::plyReader, false},       {".nc", detail::netcdfReader, false},
    {".nc4", detail::netcdfReader, false},
};

const Registration* registrationFor(const std::string& file) {
    const std::string extension = extensionOf(file);
    for (const Registration& entry : Registrations)
        if (extension == entry.Extension) return &entry;
    return nullptr;
}

} // namespace

Reader::~Reader() = default;

std::string extensionOf(const std::string& file) {
    std::string extension = std::filesystem::path(file).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

const Reader* findReader(const std::string& file) {
    const Registration* entry = registrationFor(file);
    return entry ? &entry->reader() : nullptr;
}

bool isBindableFormat(const std::string& file) {
    const Registration* entry = registrationFor(file);
    return entry && entry->Bindable;
}

std::string knownExtensions() {
    std::vector<std::string> extensions;
    for (const Registration& entry : Registrations)
        extensions.emplace_back(entry.Extension);
    std::sort(extensions.begin(), extensions.end());
    std::string text;
    for (const std::string& extension : extensions)
        text += (text.empty() ? "" : ", ") + extension;
    return text;
}

} // namespace Plexa
