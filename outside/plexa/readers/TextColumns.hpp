// The columns of a text cloud: their names, and which three hold the positions. Internal to Plexa.
#pragma once

#include "outside/plexa/readers/TextDialect.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace Plexa::detail::text {

struct Columns {
    std::vector<std::string> Names;
    std::array<std::size_t, 3> Axes{}; // the columns of x, y and z
    bool Header = false;               // the first line names the columns, else it is a row
};

// The columns that the first line holding data shows: a line with a value that is no number names
// them, any other is the first row of columns col1, col2, ... The positions come from the columns
// in `positionNames`, else from those named x, y and z in any letter case (col1 to col3 without
// a header). Refuses, naming `line`, whatever it cannot take for sure.
Columns columnsOf(const Words& firstLine, std::size_t line,
                  const std::vector<std::string>& positionNames);

} // namespace Plexa::detail::text
