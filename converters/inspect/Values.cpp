#include "converters/inspect/Values.hpp"

#include <cstdint>
#include <limits>

namespace ConvLib::Inspect {

namespace {

template <class T> bool appendAs(const Plexa::MemBase& data, std::vector<double>& values) {
    const auto* array = dynamic_cast<const Plexa::MemArray<T>*>(&data);
    if (!array) return false;
    values.assign(array->data(), array->data() + array->elementCount());
    return true;
}

} // namespace

std::vector<double> asDoubles(const Plexa::MemBase& data) {
    std::vector<double> values;
    appendAs<double>(data, values) || appendAs<float>(data, values) ||
        appendAs<std::int8_t>(data, values) || appendAs<std::uint8_t>(data, values) ||
        appendAs<std::int16_t>(data, values) || appendAs<std::uint16_t>(data, values) ||
        appendAs<std::int32_t>(data, values) || appendAs<std::uint32_t>(data, values) ||
        appendAs<std::int64_t>(data, values) || appendAs<std::uint64_t>(data, values);
    return values;
}

std::vector<ValueRange> componentRanges(const Plexa::MemBase& data) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const std::size_t components = static_cast<std::size_t>(data.components());
    std::vector<ValueRange> ranges(components, ValueRange{infinity, -infinity});
    const std::vector<double> values = asDoubles(data);
    for (std::size_t i = 0; i < values.size(); ++i) {
        ValueRange& range = ranges[i % components];
        if (values[i] < range.Low) range.Low = values[i];
        if (values[i] > range.High) range.High = values[i];
    }
    return ranges;
}

} // namespace ConvLib::Inspect
