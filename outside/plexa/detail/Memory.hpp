// What readers may allocate: a file larger than memory is refused before its arrays are made.
// Internal to Plexa.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>

namespace Plexa::detail {

// "37.3 GiB": bytes in GiB, MiB or KiB, with one decimal.
std::string memoryText(std::uint64_t bytes);

// The bytes of one element of a supported array element type; 0 for others.
std::size_t elementSizeOf(const std::type_info& type);

// Throws, before anything is allocated, when `bytes` for `points` points are more than the
// process may take: "needs 37.3 GiB for 5000000000 points; 12.1 GiB available".
void refuseBeyondMemory(std::uint64_t bytes, std::uint64_t points);

} // namespace Plexa::detail
