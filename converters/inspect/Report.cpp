#include "converters/inspect/Report.hpp"

#include "converters/inspect/Values.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <type_traits>

namespace ConvLib::Inspect {

namespace {

// An attribute's values, each as text: a string value as it is, numbers in shortest form.
struct AttributeValues {
    bool IsText = false;
    std::vector<std::string> Values;
};

// False for chunk types that bundle files do not keep.
bool attributeValues(const Quorix::ChunkBase& chunk, AttributeValues& out) {
    return Plexa::visitAttribute(chunk, [&](const auto& values) {
        if constexpr (std::is_same_v<std::decay_t<decltype(values)>, Quorix::Chunk<std::string>>) {
            out.IsText = true;
            out.Values.assign(values.begin(), values.end());
        } else {
            for (auto value : values)
                out.Values.push_back(formatNumber(value));
        }
    });
}

std::vector<std::string> filterNames(const Plexa::StoredField& stored) {
    std::vector<std::string> names;
    if (stored.Deflate) names.push_back("deflate");
    if (stored.Shuffle) names.push_back("shuffle");
    if (stored.Fletcher32) names.push_back("fletcher32");
    return names;
}

// ------------------------------------------------------------------------------------------
// For a person

std::string indentLines(const std::string& text, const std::string& indent) {
    std::string result = indent;
    for (std::size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == '\n' && i + 1 < text.size()) result += indent;
    }
    return result;
}

std::string storageText(const Plexa::StoredField* stored) {
    if (!stored) return ", not in the file";
    std::string text = ", stored " + stored->StoredType + ", " + layoutName(*stored);
    for (const std::string& filter : filterNames(*stored)) {
        text += ", " + filter;
        // the level belongs to deflate, not to whichever filter happens to come last
        if (filter == "deflate") text += " level " + formatNumber(stored->DeflateLevel);
    }
    if (!stored->Shift.empty()) text += ", shift (" + Tools::joinValues(stored->Shift, ", ") + ")";
    if (!stored->Scale.empty())
        text += ", packed: integer * scale (" + Tools::joinValues(stored->Scale, ", ") +
                ") + offset (" + Tools::joinValues(stored->Offset, ", ") + ")" +
                (stored->SplitComponents ? ", one dataset per component" : "");
    return text;
}

std::string attributeText(const std::string& key, const Quorix::ChunkBase& chunk,
                          const std::string& indent) {
    AttributeValues values;
    if (!attributeValues(chunk, values)) return "";
    std::string text = indent + "Attribute " + key + ":\n";
    for (const std::string& value : values.Values)
        text += indentLines(value, indent + "  | ") + "\n";
    return text;
}

std::string attributesText(const Quorix::Attributes& attributes, const std::string& indent) {
    std::string text;
    for (const auto& [key, chunk] : attributes.attributes())
        if (chunk) text += attributeText(key, *chunk, indent);
    return text;
}

std::string fieldText(const Plexa::Field& field, const Plexa::StoredField* stored) {
    const Plexa::MemBase& data = *field.Data;
    return "    Field " + field.name() + ": " + Plexa::elementTypeName(data.elementType()) + ", " +
           formatNumber(data.size()) + " x " + formatNumber(data.components()) + " component(s)" +
           storageText(stored) + "\n" + attributesText(field.Attributes, "      ");
}

std::string axisText(const Plexa::Axis& axis) {
    const std::string placing = axis.isUniform()
                                    ? "uniform, origin " + formatNumber(axis.Origin) +
                                          ", spacing " + formatNumber(axis.Spacing)
                                    : "rectilinear, " + formatNumber(axis.Coordinates.front()) +
                                          " .. " + formatNumber(axis.Coordinates.back());
    return "    Axis " + Plexa::printable(axis.Name) + ": " + formatNumber(axis.Extent) +
           " node(s), " + placing + "\n";
}

// Nothing for points, which is all that grids were before there were structured ones.
std::string topologyText(const Plexa::Topology& topology) {
    if (!topology.isStructured()) return "";
    std::vector<std::string> extents;
    for (const Plexa::Axis& axis : topology.Axes)
        extents.push_back(formatNumber(axis.Extent));
    const std::string product = extents.size() > 1 ? Tools::join(extents, " x ") + " = " : "";
    std::string text = "    Structured grid: " + product + formatNumber(topology.nodeCount()) +
                       " nodes, last axis fastest\n";
    for (const Plexa::Axis& axis : topology.Axes)
        text += axisText(axis);
    return text;
}

std::string gridText(const Inspection& inspection, double time, const Plexa::Grid& grid) {
    std::string text = "  Grid " + grid.name() + "\n" + topologyText(grid.topology());
    for (const auto& [name, field] : grid.fields())
        if (field.Data) text += fieldText(field, inspection.find(time, grid.name(), name));
    return text + attributesText(grid, "    ");
}

// ------------------------------------------------------------------------------------------
// JSON

std::string jsonString(const std::string& text) {
    std::string result = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            result += "\\\"";
            break;
        case '\\':
            result += "\\\\";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                result += escaped;
            } else {
                result += static_cast<char>(c);
            }
        }
    }
    return result + "\"";
}

std::string jsonNumber(double value) {
    return std::isfinite(value) ? formatNumber(value) : "null";
}

// An attribute number as formatted above; "inf", "-inf" and "nan" have no JSON form.
std::string jsonNumberText(const std::string& text) {
    return text.find_first_of("in") == std::string::npos ? text : "null";
}

std::string jsonList(const std::vector<std::string>& items) {
    return "[" + Tools::join(items, ",") + "]";
}

template <class T, class F> std::string jsonListOf(const std::vector<T>& values, F&& render) {
    std::vector<std::string> items;
    for (const T& value : values)
        items.push_back(render(value));
    return jsonList(items);
}

std::string jsonStorage(const Plexa::StoredField& stored) {
    return ",\"path\":" + jsonString(stored.Path) +
           ",\"storedType\":" + jsonString(stored.StoredType) +
           ",\"shape\":" + jsonListOf(stored.Shape, formatNumber<unsigned long long>) +
           ",\"layout\":" + jsonString(layoutName(stored)) +
           ",\"filters\":" + jsonListOf(filterNames(stored), jsonString) +
           ",\"deflateLevel\":" + formatNumber(stored.DeflateLevel) +
           ",\"shift\":" + jsonListOf(stored.Shift, jsonNumber) +
           ",\"scale\":" + jsonListOf(stored.Scale, jsonNumber) +
           ",\"offset\":" + jsonListOf(stored.Offset, jsonNumber) +
           ",\"splitComponents\":" + (stored.SplitComponents ? "true" : "false");
}

// Per component [least, greatest] of the values as loaded (shift added back), in double.
std::string jsonRanges(const Plexa::MemBase& data) {
    return jsonListOf(componentRanges(data), [](const ValueRange& range) {
        return "[" + jsonNumber(range.Low) + "," + jsonNumber(range.High) + "]";
    });
}

std::string jsonAttributes(const Quorix::Attributes& attributes) {
    std::vector<std::string> members;
    for (const auto& [key, chunk] : attributes.attributes()) {
        AttributeValues values;
        if (!chunk || !attributeValues(*chunk, values)) continue;
        members.push_back(jsonString(key) + ":" +
                          jsonListOf(values.Values, values.IsText ? jsonString : jsonNumberText));
    }
    return "{" + Tools::join(members, ",") + "}";
}

// Point fields and grids carry no more keys than before field attributes and structured grids.
std::string jsonField(const Plexa::Field& field, const Plexa::StoredField* stored) {
    const Plexa::MemBase& data = *field.Data;
    const bool attributed = !field.Attributes.attributes().empty();
    return "{\"name\":" + jsonString(field.name()) +
           ",\"type\":" + jsonString(Plexa::elementTypeName(data.elementType())) +
           ",\"size\":" + formatNumber(data.size()) +
           ",\"components\":" + formatNumber(data.components()) + ",\"range\":" + jsonRanges(data) +
           ",\"stored\":" + (stored ? "true" : "false") + (stored ? jsonStorage(*stored) : "") +
           (attributed ? ",\"attributes\":" + jsonAttributes(field.Attributes) : "") + "}";
}

std::string jsonAxis(const Plexa::Axis& axis) {
    const std::string placing =
        axis.isUniform() ? ",\"uniform\":true,\"origin\":" + jsonNumber(axis.Origin) +
                               ",\"spacing\":" + jsonNumber(axis.Spacing)
                         : ",\"uniform\":false,\"first\":" + jsonNumber(axis.Coordinates.front()) +
                               ",\"last\":" + jsonNumber(axis.Coordinates.back());
    return "{\"name\":" + jsonString(axis.Name) + ",\"extent\":" + formatNumber(axis.Extent) +
           placing + "}";
}

std::string jsonTopology(const Plexa::Topology& topology) {
    if (!topology.isStructured()) return "";
    return ",\"nodes\":" + formatNumber(topology.nodeCount()) +
           ",\"axes\":" + jsonListOf(topology.Axes, jsonAxis);
}

std::string jsonGrid(const Inspection& inspection, double time, const Plexa::Grid& grid) {
    std::vector<std::string> fields;
    for (const auto& [name, field] : grid.fields())
        if (field.Data)
            fields.push_back(jsonField(field, inspection.find(time, grid.name(), name)));
    return "{\"name\":" + jsonString(grid.name()) + jsonTopology(grid.topology()) +
           ",\"fields\":" + jsonList(fields) + ",\"attributes\":" + jsonAttributes(grid) + "}";
}

std::string jsonTimeStep(const Inspection& inspection, const Plexa::Slice& slice) {
    std::vector<std::string> grids;
    for (const auto& [name, grid] : slice.grids())
        grids.push_back(jsonGrid(inspection, slice.time(), *grid));
    return "{\"time\":" + jsonNumber(slice.time()) + ",\"grids\":" + jsonList(grids) + "}";
}

} // namespace

const Plexa::StoredField* Inspection::find(double time, const std::string& grid,
                                           const std::string& field) const {
    for (const Plexa::StoredField& stored : Stored)
        if (stored.Time == time && stored.Grid == grid && stored.Field == field) return &stored;
    return nullptr;
}

std::string layoutName(const Plexa::StoredField& stored) {
    return stored.Chunked ? "chunked" : stored.Compact ? "compact" : "contiguous";
}

std::string describeAsText(const Inspection& inspection) {
    std::string text = "Bundle file " + inspection.File + "\n";
    for (const auto& [time, slice] : inspection.Bundle->slices()) {
        text += "Time step " + formatNumber(time) + "\n";
        for (const auto& [name, grid] : slice->grids())
            text += gridText(inspection, time, *grid);
    }
    return text;
}

std::string describeAsJson(const Inspection& inspection) {
    std::vector<std::string> steps;
    for (const auto& [time, slice] : inspection.Bundle->slices())
        steps.push_back(jsonTimeStep(inspection, *slice));
    return "{\"file\":" + jsonString(inspection.File) + ",\"timeSteps\":" + jsonList(steps) + "}\n";
}

} // namespace ConvLib::Inspect
