#include "outside/plexa/detail/Packing.hpp"

#include "outside/plexa/detail/ParallelChunks.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

namespace Plexa::detail {

namespace {

// Integers up to 2^53 are doubles exactly, so the check below sees the very integer stored.
constexpr double LargestInteger = 9007199254740992.0;

// To the nearest integer without a library call: adding and taking away 1.5 * 2^52 leaves no
// fraction below 2^51.
double nearestInteger(double x) {
    constexpr double Magic = 0x1.8p52;
    return std::fabs(x) < 0x1p51 ? (x + Magic) - Magic : std::nearbyint(x);
}

// The integer the value packs to under the scale's inverse and the offset; the same expression
// writes and checks, and the check rejects any value it does not give back exactly.
double integerOf(double value, double inverse, double offset) {
    return nearestInteger((value - offset) * inverse);
}

std::vector<double> inverses(const std::vector<double>& scales) {
    std::vector<double> inverse;
    for (const double scale : scales)
        inverse.push_back(1 / scale);
    return inverse;
}

// Bit for bit, so that -0 is not taken for 0.
bool sameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct IntegerRange {
    double Low = std::numeric_limits<double>::infinity();
    double High = -std::numeric_limits<double>::infinity();
    bool Exact = true;
    bool Gaps = false; // NaN seen
};

// Blocks of rows that the workers share when they are at hand.
constexpr std::size_t CheckBlocks = 16;

std::size_t blocksFor(const MemBase& data, ChunkWorkers* workers) {
    return workers ? std::clamp<std::size_t>(data.size(), 1, CheckBlocks) : 1;
}

// Runs job(block, first, rows) over the rows in blocks, on the workers when given.
template <class Job> void forBlocks(const MemBase& data, ChunkWorkers* workers, Job&& job) {
    const std::size_t blocks = blocksFor(data, workers);
    const auto run = [&](std::size_t block) {
        const std::size_t first = data.size() * block / blocks;
        job(block, first, data.size() * (block + 1) / blocks - first);
    };
    if (workers)
        workers->forEach(blocks, run);
    else
        run(0);
}

IntegerRange checkRows(const double* values, std::size_t first, std::size_t rows,
                       const Packing& hint) {
    IntegerRange range;
    const std::size_t components = hint.Scale.size();
    const std::vector<double> inverse = inverses(hint.Scale);
    values += first * components;
    for (std::size_t row = 0; row < rows; ++row, values += components)
        for (std::size_t c = 0; c < components; ++c) {
            const double value = values[c];
            if (std::isnan(value)) {
                range.Exact = range.Exact && hint.Fill.has_value();
                range.Gaps = true;
                continue;
            }
            const double integer = integerOf(value, inverse[c], hint.Offset[c]);
            range.Exact = range.Exact && std::fabs(integer) <= LargestInteger &&
                          sameDouble(integer * hint.Scale[c] + hint.Offset[c], value);
            range.Low = std::min(range.Low, integer);
            range.High = std::max(range.High, integer);
        }
    return range;
}

template <class T> bool holdsRange(double low, double high) {
    return low >= static_cast<double>(std::numeric_limits<T>::min()) &&
           high <= static_cast<double>(std::numeric_limits<T>::max());
}

// The smallest integer type of all the values; int64 holds every integer the check lets by. With a
// fill, at least 32 bits: xarray masks smaller integers into float32 before it unpacks them.
const std::type_info& smallestIntegerType(double low, double high, bool filled) {
    if (!filled) {
        if (holdsRange<std::int8_t>(low, high)) return typeid(std::int8_t);
        if (holdsRange<std::uint8_t>(low, high)) return typeid(std::uint8_t);
        if (holdsRange<std::int16_t>(low, high)) return typeid(std::int16_t);
        if (holdsRange<std::uint16_t>(low, high)) return typeid(std::uint16_t);
    }
    if (holdsRange<std::int32_t>(low, high)) return typeid(std::int32_t);
    if (holdsRange<std::uint32_t>(low, high)) return typeid(std::uint32_t);
    return typeid(std::int64_t);
}

bool isUsable(const Packing& hint, const MemBase& data) {
    const auto components = static_cast<std::size_t>(data.components());
    if (hint.Scale.size() != components || hint.Offset.size() != components) return false;
    for (std::size_t c = 0; c < components; ++c)
        if (!std::isfinite(hint.Scale[c]) || hint.Scale[c] == 0 || !std::isfinite(hint.Offset[c]))
            return false;
    return true;
}

template <class Stored>
void packRows(const double* values, std::size_t rows, std::size_t stride, const IntegerForm& form,
              const std::vector<double>& inverse, int first, int count, unsigned char* into) {
    for (std::size_t row = 0; row < rows; ++row, values += stride)
        for (int c = first; c < first + count; ++c, into += sizeof(Stored)) {
            const double value = values[c];
            const auto integer =
                std::isnan(value)
                    ? static_cast<Stored>(*form.Fill)
                    : static_cast<Stored>(integerOf(value, inverse[c], form.Offset[c]));
            std::memcpy(into, &integer, sizeof integer);
        }
}

template <class Stored>
void unpackRows(const unsigned char* from, std::size_t rows, std::size_t stride, int first,
                int count, double scale, double offset, std::optional<std::int64_t> fill,
                double* into) {
    for (std::size_t row = 0; row < rows; ++row, into += stride)
        for (int c = first; c < first + count; ++c, from += sizeof(Stored)) {
            Stored integer;
            std::memcpy(&integer, from, sizeof integer);
            into[c] = fill && static_cast<std::int64_t>(integer) == *fill
                          ? std::numeric_limits<double>::quiet_NaN()
                          : static_cast<double>(integer) * scale + offset;
        }
}

template <class T> constexpr bool isInteger = std::is_integral_v<T>;

} // namespace

std::optional<IntegerForm> exactIntegerForm(const MemBase& data, const Packing& hint,
                                            ChunkWorkers* workers) {
    if (hint.empty() || data.elementType() != typeid(double) || data.elementCount() == 0 ||
        !isUsable(hint, data))
        return std::nullopt;
    const auto* values = static_cast<const double*>(data.rawData());
    std::vector<IntegerRange> ranges(blocksFor(data, workers));
    forBlocks(data, workers, [&](std::size_t block, std::size_t first, std::size_t rows) {
        ranges[block] = checkRows(values, first, rows, hint);
    });
    IntegerRange all;
    for (const IntegerRange& range : ranges) {
        all.Exact = all.Exact && range.Exact;
        all.Gaps = all.Gaps || range.Gaps;
        all.Low = std::min(all.Low, range.Low);
        all.High = std::max(all.High, range.High);
    }
    if (!all.Exact) return std::nullopt;
    IntegerForm form;
    if (all.Gaps) { // a fill only where it stands for something, since it costs width
        form.Fill = hint.Fill;
        all.Low = std::min(all.Low, static_cast<double>(*hint.Fill));
        all.High = std::max(all.High, static_cast<double>(*hint.Fill));
    }
    form.Type = &smallestIntegerType(all.Low, all.High, all.Gaps);
    form.Scale = hint.Scale;
    form.Offset = hint.Offset;
    return form;
}

bool holdsFloatsOnly(const MemBase& data, ChunkWorkers* workers) {
    if (data.elementType() != typeid(double)) return false;
    const auto* values = static_cast<const double*>(data.rawData());
    const auto components = static_cast<std::size_t>(data.components());
    std::atomic<bool> exact{true};
    forBlocks(data, workers, [&](std::size_t, std::size_t first, std::size_t rows) {
        bool blockExact = true;
        const double* value = values + first * components;
        for (std::size_t i = 0; i < rows * components && blockExact; ++i)
            blockExact = std::isnan(value[i]) ||
                         sameDouble(static_cast<double>(static_cast<float>(value[i])), value[i]);
        if (!blockExact) exact = false;
    });
    return exact;
}

RowSource packedRows(const MemBase& data, const IntegerForm& form, int first, int count) {
    const auto* values = static_cast<const double*>(data.rawData());
    const auto stride = static_cast<std::size_t>(data.components());
    RowSource source;
    visitElementType(*form.Type, [&](auto sample) {
        using Stored = decltype(sample);
        if constexpr (isInteger<Stored>)
            source = [values, stride, form, inverse = inverses(form.Scale), first,
                      count](std::size_t row, std::size_t rows, unsigned char* into) {
                packRows<Stored>(values + row * stride, rows, stride, form, inverse, first, count,
                                 into);
            };
    });
    return source;
}

std::optional<RowSink> unpackedRows(MemBase& data, const std::type_info& stored, int first,
                                    int count, double scale, double offset,
                                    std::optional<std::int64_t> fill) {
    auto* values = static_cast<double*>(data.rawData());
    const auto stride = static_cast<std::size_t>(data.components());
    std::optional<RowSink> sink;
    visitElementType(stored, [&](auto sample) {
        using Stored = decltype(sample);
        if constexpr (isInteger<Stored>)
            sink = [=](std::size_t row, std::size_t rows, const unsigned char* from) {
                unpackRows<Stored>(from, rows, stride, first, count, scale, offset, fill,
                                   values + row * stride);
            };
    });
    return sink;
}

} // namespace Plexa::detail
