// Exact integer packing of double fields in the CF way (value = integer * scale + offset, in
// double), checked value for value before a field is stored so. Internal to Plexa.
#pragma once

#include "outside/Plexa.hpp"
#include "outside/plexa/detail/ChunkFilters.hpp"

#include <cstdint>
#include <optional>
#include <typeinfo>
#include <vector>

namespace Plexa::detail {

class ChunkWorkers;

// How a field's values are stored as integers: per component scale and offset, the one integer
// type that holds every integer and the fill, and the integer that stands for NaN (none when no
// value is NaN).
struct IntegerForm {
    const std::type_info* Type = nullptr;
    std::vector<double> Scale;
    std::vector<double> Offset;
    std::optional<std::int64_t> Fill;
};

// The integer form of a double field when the hint makes every value bit for bit; none for a
// stale or absent hint, a value no 64-bit integer makes, or NaN without a fill. Workers, when
// given, share the check.
std::optional<IntegerForm> exactIntegerForm(const MemBase& data, const Packing& hint,
                                            ChunkWorkers* workers);

// Whether every value of a double array is a float exactly (NaN included).
bool holdsFloatsOnly(const MemBase& data, ChunkWorkers* workers);

// Components [first, first + count) of the field's rows as the integers of the form.
RowSource packedRows(const MemBase& data, const IntegerForm& form, int first, int count);

// Rows of `count` stored integers of type `stored` into components [first, first + count) of a
// double array: integer * scale + offset, NaN for the fill. None for a type that is no integer.
std::optional<RowSink> unpackedRows(MemBase& data, const std::type_info& stored, int first,
                                    int count, double scale, double offset,
                                    std::optional<std::int64_t> fill);

} // namespace Plexa::detail
