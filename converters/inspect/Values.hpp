// A field's numbers as doubles, whatever its element type: for ranges, colours and positions.
#pragma once

#include "outside/Plexa.hpp"

#include <vector>

namespace ConvLib::Inspect {

// Every element, tuple after tuple; empty for an element type that bundles do not hold.
std::vector<double> asDoubles(const Plexa::MemBase& data);

struct ValueRange {
    double Low;
    double High;
};
// The least and greatest value of each component, NaN left out (a component of NaN only, or of
// no tuples, gets Low = +infinity and High = -infinity).
std::vector<ValueRange> componentRanges(const Plexa::MemBase& data);

} // namespace ConvLib::Inspect
