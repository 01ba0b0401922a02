// A 5x7 bitmap font (8 rows with the descenders of g, j, p, q, y and the comma) of the printable
// ASCII characters, for the labels of the preview image.
#pragma once

#include <array>
#include <cstdint>

namespace ConvLib::Inspect {

constexpr int GlyphWidth = 5;
constexpr int GlyphHeight = 8;

// Five columns, left to right; bit k of a column is row k from the top. Characters outside
// the printable ASCII range get the glyph of '?'.
const std::array<std::uint8_t, GlyphWidth>& glyph(char character);

} // namespace ConvLib::Inspect
