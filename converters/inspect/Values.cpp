#include "converters/inspect/Values.hpp"

#include <limits>

namespace ConvLib::Inspect {

std::vector<double> asDoubles(const Plexa::MemBase& data) {
    std::vector<double> values;
    Plexa::visitArray(data, [&](const auto& array) {
        values.assign(array.data(), array.data() + array.elementCount());
    });
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
