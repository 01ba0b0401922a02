// Names of the bundle file layout and the helpers its reader and writer share. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <cstddef>
#include <string>

namespace Plexa::detail {

inline constexpr const char* FormatAttribute = "PlexaFormat";
inline constexpr const char* FormatVersion = "bundle 1";
// Files with a structured grid: readers that know only points refuse them by this version.
inline constexpr const char* StructuredFormatVersion = "bundle 2";
// Files written now: fields may be packed into integers and split into components, and readers
// of the versions above would misread them, so every file carries it.
inline constexpr const char* CurrentFormatVersion = "bundle 3";
inline constexpr const char* TimeAttribute = "Time";
inline constexpr const char* ShiftAttribute = "Shift";
inline constexpr const char* MemoryTypeAttribute = "MemoryType";
// The CF names of an exact integer packing (value = integer * scale + offset, NaN for the fill).
inline constexpr const char* ScaleAttribute = "scale_factor";
inline constexpr const char* OffsetAttribute = "add_offset";
inline constexpr const char* FillAttribute = "_FillValue";
// What a lossy storage did and its largest absolute error; the kept bits by netCDF's name.
inline constexpr const char* LossAttribute = "LossyStorage";
inline constexpr const char* ErrorAttribute = "MaximumAbsoluteError";
inline constexpr const char* KeptBitsAttribute = "_QuantizeBitRoundNumberOfSignificantBits";
// HDF5's list of a dataset's dimension scales.
inline constexpr const char* DimensionsAttribute = "DIMENSION_LIST";
// A packed field of several components is stored one dataset per component, named by the field's
// escaped name, this mark and the component's index; escaping never makes a '%' followed by '#'.
inline constexpr const char* ComponentMark = "%#";

// A structured grid's axes: a group in the grid's group, whose leading '.' no escaped field name
// has. Its attributes describe the axes, slowest first. Each axis is a coordinate variable of the
// grid's group named by its escaped name, one coordinate per node; a uniform one also keeps its
// origin and spacing as attributes, so that it reads back exactly as it was.
inline constexpr const char* AxesGroup = ".axes";
inline constexpr const char* ExtentAttribute = "Extent";
inline constexpr const char* AxisNamesAttribute = "Names";
inline constexpr const char* OriginAttribute = "Origin";
inline constexpr const char* SpacingAttribute = "Spacing";
inline constexpr const char* UniformAttribute = "Uniform";

// The name a user attribute of a grid or field is stored under: escaped, and with its first
// character escaped as well when it would read as one of ours ("Shift" -> "%53hift"), so that it
// comes back under its own name and never clashes.
std::string attributeName(const std::string& key);
// Whether a dataset attribute of this stored name is one of ours rather than the user's, in a
// file of the current format or of an older one.
bool isReservedAttribute(const std::string& storedName, bool currentFormat);

// Makes any text a valid HDF5 link or attribute name: '%' -> "%25", '/' -> "%2F", a leading
// '.' -> "%2E", control bytes -> "%1B" and so on, the empty name -> "%".
std::string escapeName(const std::string& name);
std::string unescapeName(const std::string& name);
// The text with control bytes shown as "\x1B", safe to print on a terminal.
std::string printableText(const std::string& text);
// The shortest text that reads back as the same double.
std::string numberText(double value);
// "000000", "000001", ...: a slice's group, by its index in time order.
std::string sliceGroupName(std::size_t index);

// Why `name` cannot be read as a file ("no such file", ...); empty when it can.
std::string fileProblem(const std::string& name);

// Writes the bundle to the file under the policy (empty: defaults), through a temporary file
// beside it; false with the failure when it cannot.
bool writeBundle(const Bundle& bundle, const std::string& file, const StoragePtr& policy,
                 FailureText& failure) noexcept;

} // namespace Plexa::detail
