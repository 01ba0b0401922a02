#include "converters/inspect/Report.hpp"

#include "converters/inspect/Values.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
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
// JSON, members in the order written

using Json = nlohmann::ordered_json;

// Whole numbers without a fraction, as the text shows them; inf and nan have no JSON form.
template <class T> Json jsonNumber(T value) {
    if constexpr (std::is_integral_v<T>) {
        return value;
    } else {
        constexpr double exactIntegers = 9007199254740992.0; // 2^53
        if (!std::isfinite(value)) return nullptr;
        if (value == std::trunc(value) && std::fabs(value) < exactIntegers)
            return static_cast<std::int64_t>(value);
        return static_cast<double>(value);
    }
}

template <class T> Json jsonNumbers(const std::vector<T>& values) {
    Json list = Json::array();
    for (const T& value : values)
        list.push_back(jsonNumber(value));
    return list;
}

void jsonStorage(const Plexa::StoredField& stored, Json& field) {
    field["path"] = stored.Path;
    field["storedType"] = stored.StoredType;
    field["shape"] = stored.Shape;
    field["layout"] = layoutName(stored);
    field["filters"] = filterNames(stored);
    field["deflateLevel"] = stored.DeflateLevel;
    field["shift"] = jsonNumbers(stored.Shift);
    field["scale"] = jsonNumbers(stored.Scale);
    field["offset"] = jsonNumbers(stored.Offset);
    field["splitComponents"] = stored.SplitComponents;
}

// Per component [least, greatest] of the values as loaded (shift added back), in double.
Json jsonRanges(const Plexa::MemBase& data) {
    Json ranges = Json::array();
    for (const ValueRange& range : componentRanges(data))
        ranges.push_back({jsonNumber(range.Low), jsonNumber(range.High)});
    return ranges;
}

Json jsonAttributes(const Quorix::Attributes& attributes) {
    Json members = Json::object();
    for (const auto& [key, chunk] : attributes.attributes())
        if (chunk)
            Plexa::visitAttribute(*chunk, [&, &key = key](const auto& values) {
                using Chunk = std::decay_t<decltype(values)>;
                if constexpr (std::is_same_v<Chunk, Quorix::Chunk<std::string>>)
                    members[key] = std::vector<std::string>(values.begin(), values.end());
                else
                    members[key] = jsonNumbers(values);
            });
    return members;
}

// Point fields and grids carry no more keys than before field attributes and structured grids.
Json jsonField(const Plexa::Field& field, const Plexa::StoredField* stored) {
    const Plexa::MemBase& data = *field.Data;
    Json json = {{"name", field.name()},      {"type", Plexa::elementTypeName(data.elementType())},
                 {"size", data.size()},       {"components", data.components()},
                 {"range", jsonRanges(data)}, {"stored", stored != nullptr}};
    if (stored) jsonStorage(*stored, json);
    if (!field.Attributes.attributes().empty())
        json["attributes"] = jsonAttributes(field.Attributes);
    return json;
}

Json jsonAxis(const Plexa::Axis& axis) {
    Json json = {{"name", axis.Name}, {"extent", axis.Extent}, {"uniform", axis.isUniform()}};
    if (axis.isUniform()) {
        json["origin"] = jsonNumber(axis.Origin);
        json["spacing"] = jsonNumber(axis.Spacing);
    } else {
        json["first"] = jsonNumber(axis.Coordinates.front());
        json["last"] = jsonNumber(axis.Coordinates.back());
    }
    return json;
}

Json jsonGrid(const Inspection& inspection, double time, const Plexa::Grid& grid) {
    Json json = {{"name", grid.name()}};
    if (grid.topology().isStructured()) {
        json["nodes"] = grid.topology().nodeCount();
        json["axes"] = Json::array();
        for (const Plexa::Axis& axis : grid.topology().Axes)
            json["axes"].push_back(jsonAxis(axis));
    }
    json["fields"] = Json::array();
    for (const auto& [name, field] : grid.fields())
        if (field.Data)
            json["fields"].push_back(jsonField(field, inspection.find(time, grid.name(), name)));
    json["attributes"] = jsonAttributes(grid);
    return json;
}

Json jsonTimeStep(const Inspection& inspection, const Plexa::Slice& slice) {
    Json grids = Json::array();
    for (const auto& [name, grid] : slice.grids())
        grids.push_back(jsonGrid(inspection, slice.time(), *grid));
    return {{"time", jsonNumber(slice.time())}, {"grids", grids}};
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
    Json steps = Json::array();
    for (const auto& [time, slice] : inspection.Bundle->slices())
        steps.push_back(jsonTimeStep(inspection, *slice));
    const Json description = {{"file", inspection.File}, {"timeSteps", steps}};
    // names are bytes: those that are no UTF-8 are shown with replacement characters
    return description.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace ConvLib::Inspect
