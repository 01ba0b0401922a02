// The input formats that the registry knows. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <filesystem>
#include <string>

namespace Plexa::detail {

// One input format: reads a whole file into a staging bundle, or throws a Failure with the cause
// (without the file's name); the load that called it keeps nothing of a failed read.
class Reader {
public:
    virtual ~Reader();
    virtual void read(const std::string& file, const ReadOptions& options,
                      Bundle& staging) const = 0;
};

const Reader& bundleFileReader();
const Reader& textCloudReader();
const Reader& lasReader();
const Reader& plyReader();
const Reader& netcdfReader();

// The reader for the file's extension, in any letter case; null for an unknown one.
const Reader* findReader(const std::string& file);

// What every point-cloud reader does around its work: refuses a file that cannot be read and
// names the grid (the options' name, else the file's stem) for `read(gridName)`.
template <class Read>
void readCloudFile(const std::string& file, const ReadOptions& options, Read&& read) {
    if (std::string problem = fileProblem(file); !problem.empty()) throw Failure(problem);
    read(options.GridName.empty() ? std::filesystem::path(file).stem().string() : options.GridName);
}

} // namespace Plexa::detail
