#include "outside/plexa/detail/BundleFormat.hpp"

#include <charconv>
#include <cstdio>
#include <filesystem>

namespace Plexa::detail {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

void appendHex(std::string& text, const char* lead, char c) {
    static const char digits[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    text += lead;
    text += digits[byte >> 4];
    text += digits[byte & 0xf];
}

} // namespace

std::string escapeName(const std::string& name) {
    // HDF5 refuses an empty link name; a lone '%' is never produced otherwise.
    if (name.empty()) return "%";
    std::string escaped;
    escaped.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '%' || c == '/' || (c == '.' && i == 0) || isControl(c))
            appendHex(escaped, "%", c);
        else
            escaped += c;
    }
    return escaped;
}

bool isReservedAttribute(const std::string& storedName, bool currentFormat) {
    if (storedName == ShiftAttribute || storedName == MemoryTypeAttribute) return true;
    if (!currentFormat) return false;
    for (const char* ours : {ScaleAttribute, OffsetAttribute, FillAttribute, LossAttribute,
                             ErrorAttribute, KeptBitsAttribute, DimensionsAttribute})
        if (storedName == ours) return true;
    return false;
}

std::string attributeName(const std::string& key) {
    std::string name = escapeName(key);
    if (!isReservedAttribute(name, true)) return name;
    std::string escaped;
    appendHex(escaped, "%", name.front());
    return escaped + name.substr(1);
}

std::string printableText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        if (isControl(c))
            appendHex(shown, "\\x", c);
        else
            shown += c;
    }
    return shown;
}

std::string unescapeName(const std::string& name) {
    if (name == "%") return std::string();
    std::string text;
    text.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        bool escape = name[i] == '%' && i + 2 < name.size() && hexDigit(name[i + 1]) >= 0 &&
                      hexDigit(name[i + 2]) >= 0;
        if (!escape) {
            text += name[i];
            continue;
        }
        text += static_cast<char>(hexDigit(name[i + 1]) * 16 + hexDigit(name[i + 2]));
        i += 2;
    }
    return text;
}

std::string numberText(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string sliceGroupName(std::size_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "%06zu", index);
    return name;
}

std::string fileProblem(const std::string& name) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(name, error);
    if (!std::filesystem::exists(status)) return "no such file";
    if (!std::filesystem::is_regular_file(status)) return "not a regular file";
    return std::string();
}

} // namespace Plexa::detail

namespace Plexa {

std::string printable(const std::string& text) {
    return detail::printableText(text);
}

} // namespace Plexa
