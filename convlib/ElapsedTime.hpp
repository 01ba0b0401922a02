// The figure and unit of the run summary's execution time; internal to the library, exported for
// the tests only.
#pragma once

#include "convlib/BasicConverterDefs.hpp"

#include <chrono>
#include <string>

namespace ConvLib::detail {

// Seconds with two decimals and "[s]" below one hour, else hours with two decimals and "[h]".
// The hour form uses the second, later clock reading.
CONVLIB_API std::string elapsedTimeText(std::chrono::nanoseconds first,
                                        std::chrono::nanoseconds second);

} // namespace ConvLib::detail
