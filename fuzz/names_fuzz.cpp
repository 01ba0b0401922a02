// Input names against a small fixed folder tree: expansion and the folder scanner never crash,
// and bundle name escaping survives a round trip through a real HDF5 file.
#include "fuzz/FuzzFile.hpp"
#include "convlib/BasicConverterDefs.hpp"
#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/detail/Hdf5.hpp"

#include <algorithm>
#include <list>

namespace {

using namespace ConvLibFuzz;
namespace fs = std::filesystem;

constexpr std::size_t MaxNames = 8;

const std::string& treeRoot() {
    // one tree per process: fork-mode jobs share the scratch folder
    static const std::string root = scratchFolder() + "/tree-" + std::to_string(::getpid()) + "/";
    return root;
}

void makeTree() {
    const fs::path root = treeRoot();
    for (const char* folder : {"a/sub", "b", "c d"})
        fs::create_directories(root / folder);
    for (const char* file : {"a/x.csv", "a/y.xyz", "a/.hidden", "a/sub/deep.qz", "b/f10", "b/f2",
                             "b/B.txt", "b/a.txt", "b/back\\slash", "c d/*", "top.qz"})
        std::ofstream(root / file) << "1 2 3\n";
    fs::create_symlink("a/x.csv", root / "file-link");
    fs::create_symlink("missing", root / "dangling");
}

std::list<std::string> namesOf(const std::string& text) {
    std::list<std::string> names;
    std::size_t start = 0;
    while (start <= text.size() && names.size() < MaxNames) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        // names stay inside the tree: no way up
        std::string name = text.substr(start, end - start);
        if (name.find("..") == std::string::npos) names.push_back(treeRoot() + name);
        start = end + 1;
    }
    return names;
}

std::string prefixOf(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

void checkExpansion(const std::list<std::string>& names) {
    const auto [prefix, files] = ConvLib::BasicConverterDefs::expandFiles(names);
    require(prefix == (names.empty() ? std::string() : prefixOf(names.back())),
            "the prefix is the last name's");
    for (const std::string& file : files)
        require(std::any_of(names.begin(), names.end(),
                            [&](const std::string& name) {
                                return file == name || file.rfind(prefixOf(name), 0) == 0;
                            }),
                "every file comes from a name");
}

void checkEscaping(const std::string& name) {
    using namespace Plexa::detail;
    const std::string escaped = escapeName(name);
    require(unescapeName(escaped) == name, "escaping round-trips");
    require(!escaped.empty() && escaped.find('/') == std::string::npos && escaped.front() != '.',
            "an escaped name is a valid link name");
    require(printable(escaped), "an escaped name shows no control bytes");

    Handle properties = createProperties(H5P_FILE_ACCESS);
    check(H5Pset_fapl_core(properties.get(), 1 << 16, false), "H5Pset_fapl_core");
    Handle file(H5Fcreate("names.qz", H5F_ACC_TRUNC, H5P_DEFAULT, properties.get()), H5Fclose,
                "H5Fcreate");
    Handle group(H5Gcreate2(file.get(), escaped.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                 H5Gclose, "H5Gcreate");
    const std::vector<std::string> stored = linkNames(file.get());
    require(stored.size() == 1 && unescapeName(stored.front()) == name,
            "the name comes back from the file");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // the fuzzer checks every failure itself
    makeTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkExpansion(namesOf(text));
    checkEscaping(text);
    return 0;
}
