// Names of the bundle file layout and the helpers its reader and writer share. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"

#include <cstddef>
#include <string>

namespace Plexa::detail {

inline constexpr const char* FormatAttribute = "PlexaFormat";
inline constexpr const char* FormatVersion = "bundle 1";
inline constexpr const char* TimeAttribute = "Time";
inline constexpr const char* ShiftAttribute = "Shift";
inline constexpr const char* MemoryTypeAttribute = "MemoryType";

// Makes any text a valid HDF5 link or attribute name: '%' -> "%25", '/' -> "%2F", a leading
// '.' -> "%2E", control bytes -> "%1B" and so on, the empty name -> "%".
std::string escapeName(const std::string& name);
std::string unescapeName(const std::string& name);
// The text with control bytes shown as "\x1B", safe to print on a terminal.
std::string printableText(const std::string& text);
// "000000", "000001", ...: a slice's group, by its index in time order.
std::string sliceGroupName(std::size_t index);

// Why `name` cannot be read as a file ("no such file", ...); empty when it can.
std::string fileProblem(const std::string& name);

} // namespace Plexa::detail
