// Numbers as the converter programs write them for people and for other programs.
#pragma once

#include <charconv>
#include <string>
#include <type_traits>

namespace ConvLib::Tools {

// Every number that stands for data is written this way: the shortest text that reads back as
// the same value (doubles keep all their digits, integers are never rounded through a double).
template <class T> std::string formatNumber(T value) {
    static_assert(std::is_arithmetic_v<T>, "numbers only");
    char text[32]; // room for the longest double (24 characters) and any 64-bit integer
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

} // namespace ConvLib::Tools
