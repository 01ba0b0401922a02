#include "converters/inspect/Xdmf.hpp"

#include <filesystem>
#include <fstream>
#include <utility>

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

std::string dataItem(const Plexa::StoredField& stored, const std::string& dataFile) {
    return "<DataItem Dimensions=\"" + dimensions(stored.Shape) + "\" " +
           numberType(stored.StoredType) + " Format=\"HDF\">" +
           xmlEscape(dataFile + ":" + stored.Path) + "</DataItem>";
}

bool isPointCloud(const Plexa::StoredField* positions) {
    return positions && positions->Shape.size() == 2 && positions->Shape[1] == 3;
}

// The fields of a grid that the description shows, Positions first: every field with one tuple
// per point of a three-component Positions; none when the grid has no such Positions.
std::vector<const Plexa::StoredField*> shownFields(const Inspection& inspection, double time,
                                                   const std::string& grid) {
    const Plexa::StoredField* positions = inspection.find(time, grid, Plexa::PositionsField);
    if (!isPointCloud(positions)) return {};
    std::vector<const Plexa::StoredField*> shown{positions};
    for (const Plexa::StoredField& stored : inspection.Stored)
        if (stored.Time == time && stored.Grid == grid && stored.Field != Plexa::PositionsField &&
            !stored.Shape.empty() && stored.Shape[0] == positions->Shape[0])
            shown.push_back(&stored);
    return shown;
}

// Where the viewer reads each field: straight from the bundle file, or, for values stored relative
// to a shift, from the sidecar that holds them with the shift added back, in their memory type.
// Readers either keep a function's result in single precision or do not evaluate functions, so
// the shift cannot be added in the description itself.
struct DataSources {
    std::string BundleFile;
    Inspection Sidecar;
    std::string SidecarFile;

    std::string item(const Plexa::StoredField& stored) const {
        if (stored.Shift.empty()) return dataItem(stored, BundleFile);
        const Plexa::StoredField* unshifted = Sidecar.find(stored.Time, stored.Grid, stored.Field);
        return unshifted ? dataItem(*unshifted, SidecarFile) : "";
    }
};

std::string attributeXml(const Plexa::StoredField& stored, const DataSources& sources) {
    const bool scalar = stored.Shape.size() < 2 || stored.Shape[1] == 1;
    return "        <Attribute Name=\"" + xmlEscape(stored.Field) + "\" AttributeType=\"" +
           (scalar ? "Scalar" : "Vector") + "\" Center=\"Node\">" + sources.item(stored) +
           "</Attribute>\n";
}

std::string gridXml(const Inspection& inspection, double time, const std::string& grid,
                    const DataSources& sources) {
    const std::vector<const Plexa::StoredField*> shown = shownFields(inspection, time, grid);
    if (shown.empty()) return ""; // without points there is nothing to show
    std::string xml = "      <Grid Name=\"" + xmlEscape(grid) +
                      "\" GridType=\"Uniform\">\n        <Topology TopologyType=\"Polyvertex\" "
                      "NumberOfElements=\"" +
                      formatNumber(shown.front()->Shape[0]) +
                      "\" NodesPerElement=\"1\"/>\n        <Geometry GeometryType=\"XYZ\">" +
                      sources.item(*shown.front()) + "</Geometry>\n";
    for (std::size_t i = 1; i < shown.size(); ++i)
        xml += attributeXml(*shown[i], sources);
    return xml + "      </Grid>\n";
}

std::string timeStepXml(const Inspection& inspection, const Plexa::Slice& slice,
                        const DataSources& sources) {
    std::string xml = "    <Grid Name=\"Time " + formatNumber(slice.time()) +
                      "\" GridType=\"Collection\" CollectionType=\"Spatial\">\n      <Time "
                      "Value=\"" +
                      formatNumber(slice.time()) + "\"/>\n";
    for (const auto& [name, grid] : slice.grids())
        xml += gridXml(inspection, slice.time(), name, sources);
    return xml + "    </Grid>\n";
}

std::string xdmfText(const Inspection& inspection, const DataSources& sources) {
    std::string xml = "<?xml version=\"1.0\" ?>\n<Xdmf Version=\"3.0\">\n <Domain>\n  <Grid "
                      "Name=\"Bundle\" GridType=\"Collection\" CollectionType=\"Temporal\">\n";
    for (const auto& [time, slice] : inspection.Bundle->slices())
        xml += timeStepXml(inspection, *slice, sources);
    return xml + "  </Grid>\n </Domain>\n</Xdmf>\n";
}

// The shown fields stored relative to a shift, as loaded (shift added back), in a bundle of
// their own; counts them in `fields`.
Plexa::BundlePtr unshiftedFields(const Inspection& inspection, std::size_t& fields) {
    Plexa::BundlePtr sidecar(new Plexa::Bundle);
    fields = 0;
    for (const auto& [time, slice] : inspection.Bundle->slices())
        for (const auto& [name, grid] : slice->grids())
            for (const Plexa::StoredField* stored : shownFields(inspection, time, name)) {
                const Plexa::Field* field = grid->findField(stored->Field);
                if (stored->Shift.empty() || !field || !field->Data) continue;
                sidecar->addSlice(time)->addGrid(name)->addField(field->name(), field->Data);
                ++fields;
            }
    return sidecar;
}

// Writes the sidecar in full precision (the default policy) when there is anything to put in it.
bool writeSidecar(const Inspection& inspection, DataSources& sources, std::string& error) {
    std::size_t fields = 0;
    const Plexa::BundlePtr unshifted = unshiftedFields(inspection, fields);
    if (fields == 0) return true;
    const Plexa::BindResult written =
        Plexa::writeBundleFile(*unshifted, sources.Sidecar.File, Plexa::StoragePtr());
    if (!written) {
        error = "cannot write the sidecar " + written.Text;
        return false;
    }
    if (!Plexa::describeFile(sources.Sidecar.File, sources.Sidecar.Stored, error)) return false;
    if (sources.Sidecar.Stored.size() == fields) return true;
    error = "the sidecar " + sources.Sidecar.File + " holds " +
            formatNumber(sources.Sidecar.Stored.size()) + " of its " + formatNumber(fields) +
            " fields";
    return false;
}

// The file's name as seen from the folder of the XDMF file.
std::string relativeTo(const std::filesystem::path& folder, const std::string& file) {
    std::error_code ignored;
    const std::filesystem::path relative =
        std::filesystem::relative(std::filesystem::absolute(file, ignored), folder, ignored);
    return relative.empty() ? file : relative.generic_string();
}

} // namespace

std::string sidecarName(const std::string& xmfFile) {
    return xmfFile + ".h5";
}

bool writeXdmf(const Inspection& inspection, const std::string& xmfFile, std::string& error) {
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::absolute(xmfFile, ignored).parent_path();
    DataSources sources{relativeTo(folder, inspection.File), {}, {}};
    sources.Sidecar.File = sidecarName(xmfFile);
    sources.SidecarFile = relativeTo(folder, sources.Sidecar.File);
    if (!writeSidecar(inspection, sources, error)) return false;
    std::ofstream out(xmfFile, std::ios::binary);
    out << xdmfText(inspection, sources);
    out.close();
    if (out) return true;
    error = "cannot write " + xmfFile;
    return false;
}

} // namespace ConvLib::Inspect
