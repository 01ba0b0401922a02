// Numbers and lists as the converter programs write them for people and for other programs.
#pragma once

#include <charconv>
#include <string>
#include <type_traits>
#include <vector>

namespace ConvLib::Tools {

// Every number that stands for data is written this way: the shortest text that reads back as
// the same value (doubles keep all their digits, integers are never rounded through a double).
template <class T> std::string formatNumber(T value) {
    static_assert(std::is_arithmetic_v<T>, "numbers only");
    char text[32]; // room for the longest double (24 characters) and any 64-bit integer
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Reads "<whole number><separator><whole number>", e.g. "2/8" or "800x600", and nothing else.
inline bool parseNumberPair(const std::string& text, char separator, int& first, int& second) {
    const char* end = text.data() + text.size();
    const auto [firstEnd, firstStatus] = std::from_chars(text.data(), end, first);
    if (firstStatus != std::errc() || firstEnd == end || *firstEnd != separator) return false;
    const auto [secondEnd, secondStatus] = std::from_chars(firstEnd + 1, end, second);
    return secondStatus == std::errc() && secondEnd == end;
}

// The texts with the separator between them.
inline std::string join(const std::vector<std::string>& texts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < texts.size(); ++i)
        text += (i ? separator : "") + texts[i];
    return text;
}

// A value as lists show it: names as they are, numbers in their shortest form.
inline const std::string& textOf(const std::string& text) {
    return text;
}
template <class T> std::string textOf(T value) {
    return formatNumber(value);
}

// The values as lists show them, with the separator between them.
template <class Values> std::string joinValues(const Values& values, const std::string& separator) {
    std::vector<std::string> texts;
    for (const auto& value : values)
        texts.push_back(textOf(value));
    return join(texts, separator);
}

} // namespace ConvLib::Tools
