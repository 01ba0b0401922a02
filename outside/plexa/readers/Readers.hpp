// The input formats that the registry knows. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/BundleFormat.hpp"

#include <exception>
#include <stdexcept>

namespace Plexa::detail {

const Reader& bundleFileReader();
const Reader& textCloudReader();
const Reader& lasReader();

// What a reader's read() does around its format's own work: refuses what is no readable file,
// and turns a failure into a message printable on a terminal, since it may quote the file.
template <class Work>
bool readGuarded(const std::string& file, std::string& error, Work work) noexcept {
    try {
        if (std::string problem = fileProblem(file); !problem.empty())
            throw std::runtime_error(problem);
        work();
        return true;
    } catch (const std::exception& failure) {
        error = printableText(failure.what());
    }
    return false;
}

} // namespace Plexa::detail
