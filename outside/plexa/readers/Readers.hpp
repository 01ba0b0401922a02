// The input formats that the registry knows. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/BundleFormat.hpp"

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace Plexa::detail {

const Reader& bundleFileReader();
const Reader& textCloudReader();
const Reader& lasReader();
const Reader& plyReader();
const Reader& netcdfReader();

// What every point-cloud reader does around its work: refuses a file that cannot be read, names
// the grid (the options' name, else the file's stem) and turns a failure into one printable
// message, since words from the file reach terminals. `read(gridName)` throws the cause.
template <class Read>
bool readCloudFile(const std::string& file, const ReadOptions& options, std::string& error,
                   Read&& read) noexcept {
    try {
        if (std::string problem = fileProblem(file); !problem.empty())
            throw std::runtime_error(problem);
        read(options.GridName.empty() ? std::filesystem::path(file).stem().string()
                                      : options.GridName);
        return true;
    } catch (const std::exception& failure) {
        error = printableText(failure.what());
    }
    return false;
}

} // namespace Plexa::detail
