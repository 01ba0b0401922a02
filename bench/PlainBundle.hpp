// The baselines of the bundle file benchmarks: a grid's fields written with plain HDF5 calls,
// and saving the same bundle through a binding, as a converter does.
#pragma once

#include "outside/Plexa.hpp"

#include <benchmark/benchmark.h>

#include <string>

namespace Bench {

// One group "Grid" with a dataset per field, its dimensions named as netCDF readers need them
// (bundle saves name them too); packed: single precision less each component's midpoint, chunks
// of about 1 MiB, shuffle and deflate 6, with the Shift and MemoryType attributes a packed bundle
// save stores.
void plainWrite(const Plexa::Grid& grid, const std::string& file, bool pack);

// One group "Grid" with a dataset per component of each field of int32, as they are, in chunks of
// about 1 MiB, shuffled and deflated at level 6.
void plainWriteIntegers(const Plexa::Grid& grid, const std::string& file);

// Binds the bundle to a new file under the policy, saves it and unbinds it.
void saveThroughBinding(benchmark::State& state, Plexa::Bundle& bundle, const std::string& file,
                        const Plexa::StoragePtr& policy);

} // namespace Bench
