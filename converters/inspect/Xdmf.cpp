#include "converters/inspect/Xdmf.hpp"

#include <algorithm>
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

// The item reads the dataset as stored; `shape` (the mesh's nodes, slowest axis first, then the
// components) shows a structured grid's flat field in the mesh's dimensions, which readers
// require of node-centred values on a mesh, while the file holds the same values in C order.
std::string dataItem(const Plexa::StoredField& stored, const std::string& dataFile,
                     const std::vector<unsigned long long>& shape = {}) {
    return "<DataItem Dimensions=\"" + dimensions(shape.empty() ? stored.Shape : shape) + "\" " +
           numberType(stored.StoredType) + " Format=\"HDF\">" +
           xmlEscape(dataFile + ":" + stored.Path) + "</DataItem>";
}

bool isPointCloud(const Plexa::StoredField* positions) {
    return positions && positions->Shape.size() == 2 && positions->Shape[1] == 3;
}

// The grid's axes as the mesh has them: always three, leading axes of one node at 0 added. ParaView
// puts a 2-D mesh in the y-z plane (its fastest axis along y) and its legacy reader cannot read
// vectors on one, while a 3-D mesh of one layer lies in the x-y plane like a map.
std::vector<Plexa::Axis> meshAxes(const Plexa::Topology& topology) {
    std::vector<Plexa::Axis> axes = topology.Axes;
    Plexa::Axis layer;
    layer.Extent = 1;
    axes.insert(axes.begin(), 3 - axes.size(), layer);
    return axes;
}

// The topology of a structured grid at that time and name, or null for points.
const Plexa::Topology* structuredTopology(const Inspection& inspection, double time,
                                          const std::string& grid) {
    const Plexa::SlicePtr slice = inspection.Bundle->findSlice(time);
    const Plexa::GridPtr found = slice ? slice->findGrid(grid) : Plexa::GridPtr();
    return found && found->topology().isStructured() ? &found->topology() : nullptr;
}

bool sameRows(const Plexa::StoredField& stored, double time, const std::string& grid,
              unsigned long long rows) {
    return stored.Time == time && stored.Grid == grid && stored.rows() == rows;
}

// The fields of a grid that the description shows: of a structured grid, every field; of
// points, Positions first and every field with one tuple per point of a three-component
// Positions, none when the grid has no such Positions.
std::vector<const Plexa::StoredField*> shownFields(const Inspection& inspection, double time,
                                                   const std::string& grid) {
    std::vector<const Plexa::StoredField*> shown;
    if (const Plexa::Topology* topology = structuredTopology(inspection, time, grid)) {
        for (const Plexa::StoredField& stored : inspection.Stored)
            if (sameRows(stored, time, grid, topology->nodeCount())) shown.push_back(&stored);
        return shown;
    }
    const Plexa::StoredField* positions = inspection.find(time, grid, Plexa::PositionsField);
    if (!isPointCloud(positions)) return {};
    shown.push_back(positions);
    for (const Plexa::StoredField& stored : inspection.Stored)
        if (stored.Field != Plexa::PositionsField &&
            sameRows(stored, time, grid, positions->Shape[0]))
            shown.push_back(&stored);
    return shown;
}

// Values stored relative to a shift or packed into integers are not what a viewer reads.
bool readsAsStored(const Plexa::StoredField& stored) {
    return stored.Shift.empty() && stored.Scale.empty();
}

// Where the viewer reads each field: straight from the bundle file, or, for values stored relative
// to a shift or packed, from the sidecar that holds them as loaded, in their memory type.
// Readers either keep a function's result in single precision or do not evaluate functions, so
// the shift cannot be added in the description itself.
struct DataSources {
    std::string BundleFile;
    Inspection Sidecar;
    std::string SidecarFile;

    std::string item(const Plexa::StoredField& stored,
                     const std::vector<unsigned long long>& shape = {}) const {
        if (readsAsStored(stored)) return dataItem(stored, BundleFile, shape);
        const Plexa::StoredField* unshifted = Sidecar.find(stored.Time, stored.Grid, stored.Field);
        return unshifted ? dataItem(*unshifted, SidecarFile, shape) : "";
    }
};

// ParaView's older XDMF reader reads a "Vector" of more than three components as three.
const char* attributeType(unsigned long long components) {
    return components == 1 ? "Scalar" : components <= 3 ? "Vector" : "Matrix";
}

// `mesh`: the node extents of a structured mesh, empty for points.
std::string attributeXml(const Plexa::StoredField& stored, const DataSources& sources,
                         std::vector<unsigned long long> mesh = {}) {
    const unsigned long long components = stored.components();
    if (!mesh.empty() && components > 1) mesh.push_back(components);
    return "        <Attribute Name=\"" + xmlEscape(stored.Field) + "\" AttributeType=\"" +
           attributeType(components) + "\" Center=\"Node\">" + sources.item(stored, mesh) +
           "</Attribute>\n";
}

std::string inlineItem(const std::vector<double>& values) {
    return "<DataItem Dimensions=\"" + formatNumber(values.size()) +
           "\" NumberType=\"Float\" Precision=\"8\" Format=\"XML\">" +
           Tools::joinValues(values, " ") + "</DataItem>";
}

// Uniform axes only: a CoRectMesh of origins and spacings, slowest axis first as its dimensions.
// Otherwise a RectMesh whose coordinate lists go fastest axis first (VX is the last axis).
std::string meshXml(const std::vector<Plexa::Axis>& axes,
                    const std::vector<unsigned long long>& extents) {
    const bool uniform = std::all_of(axes.begin(), axes.end(),
                                     [](const Plexa::Axis& axis) { return axis.isUniform(); });
    std::string xml = "        <Topology TopologyType=\"" +
                      std::string(uniform ? "3DCoRectMesh" : "3DRectMesh") + "\" Dimensions=\"" +
                      dimensions(extents) + "\"/>\n";
    if (uniform) {
        std::vector<double> origins, spacings;
        for (const Plexa::Axis& axis : axes) {
            origins.push_back(axis.Origin);
            spacings.push_back(axis.Spacing);
        }
        return xml + "        <Geometry GeometryType=\"ORIGIN_DXDYDZ\">" + inlineItem(origins) +
               inlineItem(spacings) + "</Geometry>\n";
    }
    xml += "        <Geometry GeometryType=\"VXVYVZ\">";
    for (auto axis = axes.rbegin(); axis != axes.rend(); ++axis) {
        std::vector<double> coordinates;
        for (std::size_t node = 0; node < axis->Extent; ++node)
            coordinates.push_back(axis->coordinate(node));
        xml += inlineItem(coordinates);
    }
    return xml + "</Geometry>\n";
}

std::string structuredGridXml(const std::string& grid, const Plexa::Topology& topology,
                              const std::vector<const Plexa::StoredField*>& shown,
                              const DataSources& sources) {
    const std::vector<Plexa::Axis> axes = meshAxes(topology);
    std::vector<unsigned long long> mesh;
    for (const Plexa::Axis& axis : axes)
        mesh.push_back(axis.Extent);
    std::string xml = "      <Grid Name=\"" + xmlEscape(grid) + "\" GridType=\"Uniform\">\n" +
                      meshXml(axes, mesh);
    for (const Plexa::StoredField* stored : shown)
        xml += attributeXml(*stored, sources, mesh);
    return xml + "      </Grid>\n";
}

std::string gridXml(const Inspection& inspection, double time, const std::string& grid,
                    const DataSources& sources) {
    const std::vector<const Plexa::StoredField*> shown = shownFields(inspection, time, grid);
    if (const Plexa::Topology* topology = structuredTopology(inspection, time, grid))
        return structuredGridXml(grid, *topology, shown, sources);
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

// The shown fields stored relative to a shift or packed, as loaded, in a bundle of
// their own; counts them in `fields`.
Plexa::BundlePtr unshiftedFields(const Inspection& inspection, std::size_t& fields) {
    Plexa::BundlePtr sidecar(new Plexa::Bundle);
    fields = 0;
    for (const auto& [time, slice] : inspection.Bundle->slices())
        for (const auto& [name, grid] : slice->grids())
            for (const Plexa::StoredField* stored : shownFields(inspection, time, name)) {
                const Plexa::Field* field = grid->findField(stored->Field);
                if (readsAsStored(*stored) || !field || !field->Data) continue;
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
    // written as every bundle file is, through the frame's save; unbound, so nothing is left to
    // write at its release should the save fail
    Plexa::BindResult written = unshifted->bindToNew(sources.Sidecar.File, Plexa::StoragePtr());
    if (written) written = unshifted->save();
    unshifted->unbind();
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
