#include "converters/inspect/Xdmf.hpp"

#include <filesystem>
#include <fstream>

namespace ConvLib::Inspect {

namespace {

std::string xmlEscape(const std::string& text) {
    std::string result;
    for (char c : text) {
        switch (c) {
        case '&':
            result += "&amp;";
            break;
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '"':
            result += "&quot;";
            break;
        case '\'':
            result += "&apos;";
            break;
        default:
            result += c;
        }
    }
    return result;
}

std::string dimensions(const std::vector<unsigned long long>& shape) {
    return Tools::joinValues(shape, " ");
}

// "float32" -> Float/4, "uint8" -> UChar/1, "int64" -> Int/8, ...
std::string numberType(const std::string& storedType) {
    const bool isFloat = storedType.rfind("float", 0) == 0;
    const bool isUnsigned = storedType.rfind("uint", 0) == 0;
    const std::size_t digits = storedType.find_first_of("0123456789");
    const std::string bits = digits == std::string::npos ? "64" : storedType.substr(digits);
    const std::string precision = formatNumber(std::stoi(bits) / 8);
    std::string type = isFloat ? "Float" : isUnsigned ? "UInt" : "Int";
    if (bits == "8") type = isUnsigned ? "UChar" : "Char";
    return "NumberType=\"" + type + "\" Precision=\"" + precision + "\"";
}

std::string rawItem(const Plexa::StoredField& stored, const std::string& dataFile) {
    return "<DataItem Dimensions=\"" + dimensions(stored.Shape) + "\" " +
           numberType(stored.StoredType) + " Format=\"HDF\">" +
           xmlEscape(dataFile + ":" + stored.Path) + "</DataItem>";
}

std::string plusConstant(const std::string& operand, double value) {
    return value < 0 ? operand + " - " + formatNumber(-value)
                     : operand + " + " + formatNumber(value);
}

// One column of a two-dimensional dataset.
std::string columnItem(const Plexa::StoredField& stored, const std::string& dataFile,
                       std::size_t column) {
    const std::string rows = formatNumber(stored.Shape[0]);
    return "<DataItem ItemType=\"HyperSlab\" Dimensions=\"" + rows +
           " 1\"><DataItem Dimensions=\"3 2\" Format=\"XML\">0 " + formatNumber(column) + " 1 1 " +
           rows + " 1</DataItem>" + rawItem(stored, dataFile) + "</DataItem>";
}

std::string shiftedItem(const std::string& rows, double shift, const std::string& operand) {
    return "<DataItem ItemType=\"Function\" Dimensions=\"" + rows + "\" Function=\"" +
           plusConstant("$0", shift) + "\">" + operand + "</DataItem>";
}

// One component as its own array, with its shift added back when it has one.
std::string componentItem(const Plexa::StoredField& stored, const std::string& dataFile,
                          std::size_t column) {
    const std::string item = columnItem(stored, dataFile, column);
    if (stored.Shift.empty()) return item;
    return shiftedItem(formatNumber(stored.Shape[0]), stored.Shift[column], item);
}

// Readers evaluate a function over one array at a time (JOIN concatenates, it does not
// interleave), so shifted arrays of several components are described column by column.
bool byColumns(const Plexa::StoredField& stored) {
    return !stored.Shift.empty() && stored.Shape.size() == 2 && stored.Shape[1] > 1;
}

std::string scalarItem(const Plexa::StoredField& stored, const std::string& dataFile) {
    if (stored.Shift.empty()) return rawItem(stored, dataFile);
    return shiftedItem(dimensions(stored.Shape), stored.Shift[0], rawItem(stored, dataFile));
}

std::string attributeXml(const std::string& name, bool scalar, const std::string& item) {
    return "        <Attribute Name=\"" + xmlEscape(name) + "\" AttributeType=\"" +
           (scalar ? "Scalar" : "Vector") + "\" Center=\"Node\">" + item + "</Attribute>\n";
}

std::string attributesXml(const Plexa::StoredField& stored, const std::string& dataFile) {
    if (!byColumns(stored))
        return attributeXml(stored.Field, stored.Shape.size() < 2 || stored.Shape[1] == 1,
                            scalarItem(stored, dataFile));
    std::string xml;
    for (std::size_t column = 0; column < stored.Shape[1]; ++column)
        xml += attributeXml(stored.Field + "_" + formatNumber(column), true,
                            componentItem(stored, dataFile, column));
    return xml;
}

std::string geometryXml(const Plexa::StoredField& positions, const std::string& dataFile) {
    if (!byColumns(positions))
        return "<Geometry GeometryType=\"XYZ\">" + rawItem(positions, dataFile) + "</Geometry>";
    std::string xml = "<Geometry GeometryType=\"X_Y_Z\">";
    for (std::size_t column = 0; column < 3; ++column)
        xml += componentItem(positions, dataFile, column);
    return xml + "</Geometry>";
}

bool isPointCloud(const Plexa::StoredField* positions) {
    return positions && positions->Shape.size() == 2 && positions->Shape[1] == 3;
}

std::string gridXml(const Inspection& inspection, double time, const std::string& grid,
                    const std::string& dataFile) {
    const Plexa::StoredField* positions = inspection.find(time, grid, "Positions");
    if (!isPointCloud(positions)) return ""; // without points there is nothing to show
    const unsigned long long points = positions->Shape[0];
    std::string xml = "      <Grid Name=\"" + xmlEscape(grid) +
                      "\" GridType=\"Uniform\">\n        <Topology TopologyType=\"Polyvertex\" "
                      "NumberOfElements=\"" +
                      formatNumber(points) + "\" NodesPerElement=\"1\"/>\n        " +
                      geometryXml(*positions, dataFile) + "\n";
    for (const Plexa::StoredField& stored : inspection.Stored)
        if (stored.Time == time && stored.Grid == grid && stored.Field != "Positions" &&
            !stored.Shape.empty() && stored.Shape[0] == points)
            xml += attributesXml(stored, dataFile);
    return xml + "      </Grid>\n";
}

std::string timeStepXml(const Inspection& inspection, const Plexa::Slice& slice,
                        const std::string& dataFile) {
    std::string xml = "    <Grid Name=\"Time " + formatNumber(slice.time()) +
                      "\" GridType=\"Collection\" CollectionType=\"Spatial\">\n      <Time "
                      "Value=\"" +
                      formatNumber(slice.time()) + "\"/>\n";
    for (const auto& [name, grid] : slice.grids())
        xml += gridXml(inspection, slice.time(), name, dataFile);
    return xml + "    </Grid>\n";
}

} // namespace

std::string xdmfText(const Inspection& inspection, const std::string& dataFileName) {
    std::string xml = "<?xml version=\"1.0\" ?>\n<Xdmf Version=\"3.0\">\n <Domain>\n  <Grid "
                      "Name=\"Bundle\" GridType=\"Collection\" CollectionType=\"Temporal\">\n";
    for (const auto& [time, slice] : inspection.Bundle->slices())
        xml += timeStepXml(inspection, *slice, dataFileName);
    return xml + "  </Grid>\n </Domain>\n</Xdmf>\n";
}

bool writeXdmf(const Inspection& inspection, const std::string& xmfFile, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::path folder = fs::absolute(xmfFile, ignored).parent_path();
    const fs::path data = fs::relative(fs::absolute(inspection.File, ignored), folder, ignored);
    std::ofstream out(xmfFile, std::ios::binary);
    out << xdmfText(inspection, data.empty() ? inspection.File : data.generic_string());
    out.close();
    if (out) return true;
    error = "cannot write " + xmfFile;
    return false;
}

} // namespace ConvLib::Inspect
