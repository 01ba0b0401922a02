// What the inspector knows of one bundle file, and its two renderings: for a person and as JSON.
#pragma once

#include "convlib/Numbers.hpp"
#include "outside/Plexa.hpp"

#include <string>
#include <vector>

namespace ConvLib::Inspect {

struct Inspection {
    std::string File;
    Plexa::BundlePtr Bundle;
    std::vector<Plexa::StoredField> Stored;

    // How the field is stored, or null when the file does not hold it.
    const Plexa::StoredField* find(double time, const std::string& grid,
                                   const std::string& field) const;
};

std::string describeAsText(const Inspection& inspection);
std::string describeAsJson(const Inspection& inspection);

using Tools::formatNumber;

// "contiguous", "chunked" or "compact".
std::string layoutName(const Plexa::StoredField& stored);

} // namespace ConvLib::Inspect
