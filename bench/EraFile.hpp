// Files of many time steps made from ../shared/data/eraint_uvz.nc (CONVLIB_SHARED_DATA sets the
// folder): z, u and v as packed shorts over 3 levels x 241 latitudes x 480 longitudes, step k
// holding month k mod 2 rolled east by 3k longitudes, over a time coordinate in days; classic
// 64-bit offset format, about 2 MB a step.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

namespace Bench {

// The file in the shared data folder.
std::string sharedData(const std::string& name);
// True when the file is there; else the state skips, naming it.
bool present(benchmark::State& state, const std::string& file);

// Writes the file of `steps` steps; throws when the source cannot be read.
void writeEraFile(const std::string& target, std::size_t steps);
// The bytes of one step's values as doubles.
constexpr std::size_t EraStepDoubles = 3 * 3 * 241 * 480;

} // namespace Bench
