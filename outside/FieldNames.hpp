// The names of the fields that readers, converters and the inspector share, in one place.
#pragma once

namespace Plexa {

// The field that holds a point grid's positions: x, y and z per point, as doubles.
inline constexpr const char* PositionsField = "Positions";
// The height of each point above its cloud's lowest point, which the converters add and their
// storage policy keeps in single precision.
inline constexpr const char* HeightField = "Height";

} // namespace Plexa
