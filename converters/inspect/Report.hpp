// What the inspector knows of one bundle file, and its two renderings: for a person and as JSON.
#pragma once

#include "outside/Plexa.hpp"

#include <charconv>
#include <string>
#include <type_traits>
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

// Every number that stands for data is written this way: the shortest text that reads back as
// the same value (doubles keep all their digits, integers are never rounded through a double).
template <class T> std::string formatNumber(T value) {
    static_assert(std::is_arithmetic_v<T>, "numbers only");
    char text[32]; // room for the longest double (24 characters) and any 64-bit integer
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// "contiguous", "chunked" or "compact".
std::string layoutName(const Plexa::StoredField& stored);

} // namespace ConvLib::Inspect
