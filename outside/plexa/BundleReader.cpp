// Reads bundle files back into bundles, and describes how their fields are stored.
#include "outside/Plexa.hpp"

#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/detail/Hdf5.hpp"
#include "outside/plexa/detail/Packing.hpp"
#include "outside/plexa/readers/Readers.hpp"
#include "outside/plexa/detail/ParallelChunks.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <set>

namespace Plexa {

namespace {

using namespace detail;

// An open bundle file, and whether it is of the current format.
struct BundleFile {
    Handle File;
    bool Current = false;
};

// Opens a bundle file for reading, or says why the file is none.
BundleFile openBundleFile(const std::string& name) {
    if (std::string problem = fileProblem(name); !problem.empty()) throw Failure(problem);
    if (std::filesystem::file_size(name) == 0) throw Failure("empty file");
    if (check(H5Fis_hdf5(name.c_str()), "H5Fis_hdf5") == 0) throw Failure("not an HDF5 file");
    Handle file(H5Fopen(name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose, "H5Fopen");
    if (!hasAttribute(file.get(), FormatAttribute))
        throw Failure("an HDF5 file but no bundle file (no " + std::string(FormatAttribute) +
                      " attribute)");
    const std::string format = readText(file.get(), FormatAttribute);
    if (format != FormatVersion && format != StructuredFormatVersion &&
        format != CurrentFormatVersion)
        throw Failure("unsupported bundle format \"" + format + "\"");
    return {std::move(file), format == CurrentFormatVersion};
}

// A failure that names the object it happened at already.
class LocatedError : public Failure {
public:
    using Failure::Failure;
};

// Runs `action`, naming the innermost object at `path` in any failure it reports.
template <class Action> void at(const std::string& path, Action&& action) {
    try {
        action();
    } catch (const LocatedError&) {
        throw;
    } catch (const std::exception& error) {
        throw LocatedError(path + ": " + error.what());
    }
}

// Deflate turns one stored byte into at most 1032, so a filtered field holds no more than this.
constexpr hsize_t MaxExpansion = 1032;

const char* linkKind(H5L_type_t type) {
    switch (type) {
    case H5L_TYPE_SOFT:
        return "a soft link";
    case H5L_TYPE_EXTERNAL:
        return "an external link";
    default:
        return "a user-defined link";
    }
}

// Names reach messages and terminals, so a control byte in one is refused, shown escaped.
void checkName(const std::string& name) {
    const std::string shown = printableText(name);
    if (shown != name) throw Failure("a name with control bytes: " + shown);
}

// The group's links; any but a hard link could lead out of the file or in circles.
std::vector<std::string> hardLinks(hid_t group) {
    std::vector<std::string> names = linkNames(group);
    for (const std::string& name : names) {
        checkName(name);
        H5L_info_t info;
        check(H5Lget_info(group, name.c_str(), &info, H5P_DEFAULT), "H5Lget_info");
        if (info.type != H5L_TYPE_HARD)
            throw Failure(name + ": " + linkKind(info.type) + ", which is not followed");
    }
    return names;
}

using GridVisitor =
    std::function<void(double time, const std::string& path, const std::string& link, hid_t group)>;

void forEachGrid(hid_t file, const GridVisitor& visit) {
    for (const std::string& sliceLink : hardLinks(file)) {
        at("/" + sliceLink, [&] {
            Handle slice = openGroup(file, sliceLink);
            const std::vector<double> time = readDoubles(slice.get(), TimeAttribute);
            if (time.size() != 1) throw Failure("the Time attribute holds no single value");
            if (std::isnan(time.front())) throw Failure("the Time attribute is not a number");
            for (const std::string& gridLink : hardLinks(slice.get())) {
                const std::string path = "/" + sliceLink + "/" + gridLink;
                at(path, [&] {
                    visit(time.front(), path, gridLink, openGroup(slice.get(), gridLink).get());
                });
            }
        });
    }
}

template <class T>
void assignChunk(Quorix::Attributes& into, const std::string& key, std::vector<T> values) {
    Quorix::StrongPtr<Quorix::Chunk<T>> chunk(new Quorix::Chunk<T>);
    static_cast<std::vector<T>&>(*chunk) = std::move(values);
    chunk->recount();
    into.setAttribute(key, chunk);
}

void readUserAttribute(hid_t object, const std::string& name, Quorix::Attributes& into) {
    Handle attribute = openAttribute(object, name);
    Handle type(H5Aget_type(attribute.get()), H5Tclose, "H5Aget_type");
    const std::string key = unescapeName(name);
    switch (check(H5Tget_class(type.get()), "H5Tget_class")) {
    case H5T_STRING:
        return assignChunk(into, key, readTexts(attribute.get()));
    case H5T_FLOAT:
        return assignChunk(into, key, readNumbers<double>(attribute.get()));
    case H5T_INTEGER:
        if (typeSize(type.get()) > 4)
            return assignChunk(into, key, readNumbers<std::int64_t>(attribute.get()));
        return assignChunk(into, key, readNumbers<std::int32_t>(attribute.get()));
    default:
        return; // other kinds of attribute have no chunk to become
    }
}

// The user's attributes of a grid's group or a field's dataset; a dataset's own attributes
// (Shift, MemoryType) are ours and left out.
void readUserAttributes(hid_t object, bool isDataset, bool currentFormat,
                        Quorix::Attributes& into) {
    for (const std::string& name : attributeNames(object)) {
        checkName(name);
        if (!(isDataset && isReservedAttribute(name, currentFormat)))
            readUserAttribute(object, name, into);
    }
}

// A field's dataset: its rows over the leading `RowDimensions` dimensions (the axes of a current
// file's structured grid, one otherwise), then its components when it has more than one.
struct FieldShape {
    std::vector<hsize_t> Stored;
    std::size_t RowDimensions = 1;
    hsize_t Rows = 1;
    hsize_t Components = 1;
};

std::string extentsText(const std::vector<hsize_t>& extents) {
    std::string text;
    for (const hsize_t extent : extents)
        text += (text.empty() ? "" : " x ") + std::to_string(extent);
    return text;
}

// `axes`: the extents a structured grid's field has in a current file; empty for one row
// dimension of any length.
FieldShape shapeOf(hid_t dataset, const std::vector<hsize_t>& axes) {
    FieldShape shape;
    shape.RowDimensions = std::max<std::size_t>(axes.size(), 1);
    Handle space(H5Dget_space(dataset), H5Sclose, "H5Dget_space");
    const int rank = check(H5Sget_simple_extent_ndims(space.get()), "H5Sget_simple_extent_ndims");
    const auto rows = static_cast<int>(shape.RowDimensions);
    if (rank < rows || rank > rows + 1)
        throw Failure("a field of this grid has " + std::to_string(rows) + " or " +
                      std::to_string(rows + 1) + " dimensions, not " + std::to_string(rank));
    shape.Stored.resize(static_cast<std::size_t>(rank));
    check(H5Sget_simple_extent_dims(space.get(), shape.Stored.data(), nullptr),
          "H5Sget_simple_extent_dims");
    const auto leading = shape.Stored.begin() + rows;
    if (!axes.empty() && !std::equal(shape.Stored.begin(), leading, axes.begin()))
        throw Failure("a field of " + extentsText({shape.Stored.begin(), leading}) +
                      " values on axes of " + extentsText(axes));
    for (auto extent = shape.Stored.begin(); extent != leading; ++extent)
        shape.Rows *= *extent; // the node count, or a single extent
    if (rank == rows) return shape;
    shape.Components = shape.Stored.back();
    if (shape.Components == 0) throw Failure("a field without components");
    if (shape.Components > INT_MAX)
        throw Failure("a field with " + std::to_string(shape.Components) + " components");
    return shape;
}

// Raw data elsewhere (external files, virtual sources) would read other files than this one.
void checkLayout(hid_t properties) {
    const H5D_layout_t layout = check(H5Pget_layout(properties), "H5Pget_layout");
    if (layout != H5D_COMPACT && layout != H5D_CONTIGUOUS && layout != H5D_CHUNKED)
        throw Failure("a field stored in other files");
    if (check(H5Pget_external_count(properties), "H5Pget_external_count") > 0)
        throw Failure("a field stored in other files");
}

const std::type_info& storedTypeOf(hid_t dataset) {
    Handle type(H5Dget_type(dataset), H5Tclose, "H5Dget_type");
    const std::type_info* stored = elementTypeOf(type.get());
    if (!stored) throw Failure("unsupported element type");
    return *stored;
}

// Before anything is allocated: the stored bytes fit in the file, and the values in what the
// stored bytes can hold.
void checkFieldSize(hid_t dataset, const FieldShape& shape) {
    Handle properties(H5Dget_create_plist(dataset), H5Pclose, "H5Dget_create_plist");
    checkLayout(properties.get());
    const hsize_t elementSize = typeSize(nativeType(storedTypeOf(dataset)));
    const hsize_t components = shape.Components;
    const hsize_t stored = storageSize(dataset);
    const hsize_t fileSize = fileSizeOf(dataset);
    if (stored > fileSize)
        throw Failure("a field of " + std::to_string(stored) + " stored bytes in a file of " +
                      std::to_string(fileSize));
    const bool filtered = check(H5Pget_nfilters(properties.get()), "H5Pget_nfilters") > 0;
    const hsize_t capacity = (filtered ? stored * MaxExpansion : stored) / elementSize;
    if (shape.Rows > capacity / components)
        throw Failure("a field of " + std::to_string(shape.Rows) + " x " +
                      std::to_string(components) + " values in " + std::to_string(stored) +
                      " stored bytes");
}

const std::type_info& memoryTypeOf(hid_t dataset) {
    if (!hasAttribute(dataset, MemoryTypeAttribute)) return storedTypeOf(dataset);
    const std::string name = readText(dataset, MemoryTypeAttribute);
    const std::type_info* memory = elementTypeNamed(name);
    if (!memory) throw Failure("unknown memory type \"" + name + "\"");
    return *memory;
}

std::vector<double> shiftOf(hid_t dataset, std::size_t components) {
    if (!hasAttribute(dataset, ShiftAttribute)) return {};
    std::vector<double> shift = readDoubles(dataset, ShiftAttribute);
    if (shift.size() != components)
        throw Failure("the Shift attribute does not match the components");
    return shift;
}

template <class T> void addShift(MemBase& data, const std::vector<double>& shift) {
    T* values = static_cast<T*>(data.rawData());
    for (std::size_t i = 0; i < data.elementCount(); ++i)
        values[i] = static_cast<T>(static_cast<double>(values[i]) + shift[i % shift.size()]);
}

void applyShift(MemBase& data, const std::vector<double>& shift) {
    if (shift.empty()) return;
    if (data.elementType() == typeid(float)) addShift<float>(data, shift);
    if (data.elementType() == typeid(double)) addShift<double>(data, shift);
}

// Stored rows into the array's rows, in the array's type, plus the shift as applyShift adds it.
template <class Stored, class T> RowSink shiftedRows(MemBase& data, std::vector<double> shift) {
    T* values = static_cast<T*>(data.rawData());
    return [values, shift = std::move(shift)](std::size_t first, std::size_t rows,
                                              const unsigned char* from) {
        const std::size_t components = shift.size();
        T* into = values + first * components;
        for (std::size_t row = 0; row < rows; ++row, into += components)
            for (std::size_t c = 0; c < components; ++c, from += sizeof(Stored)) {
                Stored stored;
                std::memcpy(&stored, from, sizeof stored);
                into[c] = static_cast<T>(static_cast<double>(stored) + shift[c]);
            }
    };
}

// How stored rows become the array's rows; none for type changes other than float to double,
// which HDF5 converts itself.
std::optional<RowSink> rowTaker(MemBase& data, const std::type_info& stored,
                                const std::vector<double>& shift) {
    const std::type_info& memory = data.elementType();
    const bool floating = memory == typeid(float) || memory == typeid(double);
    if (stored == memory && (shift.empty() || !floating)) {
        auto* bytes = static_cast<unsigned char*>(data.rawData());
        const std::size_t rowBytes =
            data.elementSize() * static_cast<std::size_t>(data.components());
        return [bytes, rowBytes](std::size_t first, std::size_t rows, const unsigned char* from) {
            std::memcpy(bytes + first * rowBytes, from, rows * rowBytes);
        };
    }
    std::vector<double> offsets =
        shift.empty() ? std::vector<double>(static_cast<std::size_t>(data.components()), 0.0)
                      : shift;
    if (stored == typeid(float) && memory == typeid(float))
        return shiftedRows<float, float>(data, offsets);
    if (stored == typeid(float) && memory == typeid(double))
        return shiftedRows<float, double>(data, offsets);
    if (stored == typeid(double) && memory == typeid(double))
        return shiftedRows<double, double>(data, offsets);
    return std::nullopt;
}

// Deflated chunks decoded on the worker threads; false when HDF5 is to read the field.
bool readChunks(hid_t dataset, const FieldShape& shape, MemBase& data,
                const std::vector<double>& shift, ChunkWorkers& workers) {
    const std::optional<ChunkLayout> layout = handledLayout(dataset, shape.RowDimensions);
    if (!layout) return false;
    const std::optional<RowSink> take = rowTaker(data, storedTypeOf(dataset), shift);
    return take && workers.read(dataset, *layout, *take);
}

// How a dataset of a current file packs its values (CF scale_factor, add_offset and _FillValue);
// not packed when it has no scale_factor, and in older files, whose attributes of those names
// were the user's.
struct StoredPacking {
    bool Packed = false;
    double Scale = 1;
    double Offset = 0;
    std::optional<std::int64_t> Fill;
};

double scalarDouble(hid_t dataset, const char* name) {
    const std::vector<double> values = readDoubles(dataset, name);
    if (values.size() != 1)
        throw Failure(std::string("the ") + name + " attribute holds " +
                      std::to_string(values.size()) + " values, not one");
    return values.front();
}

StoredPacking packingOf(hid_t dataset, bool currentFormat) {
    StoredPacking packing;
    if (!currentFormat || !hasAttribute(dataset, ScaleAttribute)) return packing;
    packing.Packed = true;
    packing.Scale = scalarDouble(dataset, ScaleAttribute);
    // CF: no add_offset adds nothing
    if (hasAttribute(dataset, OffsetAttribute))
        packing.Offset = scalarDouble(dataset, OffsetAttribute);
    if (hasAttribute(dataset, FillAttribute)) {
        const std::vector<std::int64_t> fill =
            readNumbers<std::int64_t>(openAttribute(dataset, FillAttribute).get());
        if (fill.size() != 1) throw Failure("the _FillValue attribute holds no single value");
        packing.Fill = fill.front();
    }
    if (memoryTypeOf(dataset) != typeid(double))
        throw Failure("packed values whose memory type is not float64");
    return packing;
}

// The packed integers of the dataset into components [first, first + count) of the doubles.
void readPacked(hid_t dataset, const FieldShape& shape, MemBase& data, int first, int count,
                const StoredPacking& packing, ChunkWorkers& workers) {
    const std::type_info& stored = storedTypeOf(dataset);
    const std::optional<RowSink> take =
        unpackedRows(data, stored, first, count, packing.Scale, packing.Offset, packing.Fill);
    if (!take)
        throw Failure(std::string("packed values of type ") + elementTypeName(stored) +
                      ", not integers");
    if (data.elementCount() == 0) return;
    if (const std::optional<ChunkLayout> layout = handledLayout(dataset, shape.RowDimensions))
        if (workers.read(dataset, *layout, *take)) return;
    const hid_t type = nativeType(stored);
    std::vector<unsigned char> buffer(data.size() * static_cast<std::size_t>(count) *
                                      typeSize(type));
    check(H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer.data()), "H5Dread");
    (*take)(0, data.size(), buffer.data());
}

// A field as the file holds it: its values, and how they were packed.
struct LoadedField {
    MemPtr Data;
    Packing Packed;
};

void addComponentPacking(Packing& into, const StoredPacking& packing, int count) {
    into.Scale.insert(into.Scale.end(), static_cast<std::size_t>(count), packing.Scale);
    into.Offset.insert(into.Offset.end(), static_cast<std::size_t>(count), packing.Offset);
    if (packing.Fill) into.Fill = packing.Fill;
}

LoadedField readField(hid_t dataset, bool currentFormat, const std::vector<hsize_t>& axes,
                      ChunkWorkers& workers) {
    const FieldShape shape = shapeOf(dataset, axes);
    const auto components = static_cast<int>(shape.Components);
    const std::type_info& type = memoryTypeOf(dataset);
    checkFieldSize(dataset, shape);
    LoadedField field;
    field.Data = makeArray(type, shape.Rows, components);
    const StoredPacking packing = packingOf(dataset, currentFormat);
    if (packing.Packed) {
        readPacked(dataset, shape, *field.Data, 0, components, packing, workers);
        addComponentPacking(field.Packed, packing, components);
        return field;
    }
    const std::vector<double> shift = shiftOf(dataset, static_cast<std::size_t>(components));
    if (field.Data->elementCount() == 0 || readChunks(dataset, shape, *field.Data, shift, workers))
        return field;
    check(H5Dread(dataset, nativeType(type), H5S_ALL, H5S_ALL, H5P_DEFAULT, field.Data->rawData()),
          "H5Dread");
    applyShift(*field.Data, shift);
    return field;
}

// A field stored one dataset per component: every one packed, one-dimensional, of one length,
// their indices 0 to n - 1.
LoadedField readComponents(hid_t group, const std::string& path,
                           const std::map<int, std::string>& links,
                           const std::vector<hsize_t>& axes, ChunkWorkers& workers) {
    const int components = static_cast<int>(links.size());
    if (links.rbegin()->first != components - 1)
        throw Failure("components numbered up to " + std::to_string(links.rbegin()->first) +
                      " of " + std::to_string(components));
    LoadedField field;
    for (const auto& [index, link] : links)
        at(path + "/" + link, [&, index = index, &link = link] {
            Handle dataset = openDataset(group, link);
            const FieldShape shape = shapeOf(dataset.get(), axes);
            if (shape.Stored.size() != shape.RowDimensions)
                throw Failure("a component with components of its own");
            checkFieldSize(dataset.get(), shape);
            const StoredPacking packing = packingOf(dataset.get(), true);
            if (!packing.Packed) throw Failure("a component without scale_factor");
            if (!field.Data)
                field.Data = makeArray(typeid(double), shape.Rows, components);
            else if (field.Data->size() != shape.Rows)
                throw Failure(std::to_string(shape.Rows) + " values where component 0 has " +
                              std::to_string(field.Data->size()));
            readPacked(dataset.get(), shape, *field.Data, index, 1, packing, workers);
            addComponentPacking(field.Packed, packing, 1);
        });
    return field;
}

// The links of a grid's group that hold its fields (none of those starting with '.': axes and
// dimensions): one dataset per field, or in a current file one per component of a split field.
struct FieldLinks {
    std::vector<std::string> Whole;
    std::map<std::string, std::map<int, std::string>> Split; // by the field's escaped name
};

// The component index after the mark: 1 to 9 digits.
int componentIndex(const std::string& link, std::size_t mark) {
    const std::string digits = link.substr(mark + std::strlen(ComponentMark));
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw Failure(link + ": a component without an index");
    return std::stoi(digits);
}

// In a current file a structured grid's axes are datasets of its group as well, never fields.
FieldLinks fieldLinks(hid_t group, bool currentFormat, const Topology& topology) {
    std::vector<std::string> axes;
    if (currentFormat)
        for (const Axis& axis : topology.Axes)
            axes.push_back(escapeName(axis.Name));
    FieldLinks links;
    for (std::string& link : hardLinks(group)) {
        // the axes' description and the dimensions, never a field
        if (link.front() == '.' || std::find(axes.begin(), axes.end(), link) != axes.end())
            continue;
        const std::size_t mark = currentFormat ? link.rfind(ComponentMark) : std::string::npos;
        if (mark == std::string::npos)
            links.Whole.push_back(std::move(link));
        else
            links.Split[link.substr(0, mark)][componentIndex(link, mark)] = link;
    }
    for (const auto& [name, components] : links.Split)
        if (std::find(links.Whole.begin(), links.Whole.end(), name) != links.Whole.end())
            throw Failure(name + ": a field stored both whole and by component");
    return links;
}

// An axis dataset's values: double, one-dimensional, of the expected length, and no more stored
// values than its file holds before any memory is taken for them.
std::vector<double> readAxisValues(hid_t parent, const std::string& link, std::size_t index,
                                   hsize_t expected) {
    Handle dataset = openDataset(parent, link);
    if (storedTypeOf(dataset.get()) != typeid(double))
        throw Failure("axis " + std::to_string(index) + ": values of type " +
                      elementTypeName(storedTypeOf(dataset.get())) + ", not float64");
    Handle space(H5Dget_space(dataset.get()), H5Sclose, "H5Dget_space");
    const int rank = check(H5Sget_simple_extent_ndims(space.get()), "H5Sget_simple_extent_ndims");
    hsize_t length = 0;
    if (rank == 1)
        check(H5Sget_simple_extent_dims(space.get(), &length, nullptr),
              "H5Sget_simple_extent_dims");
    if (rank != 1 || length != expected)
        throw Failure("axis " + std::to_string(index) + ": " +
                      (rank == 1 ? std::to_string(length) + " values"
                                 : std::to_string(rank) + " dimensions") +
                      " where " + std::to_string(expected) + " belong");
    FieldShape shape;
    shape.Rows = length;
    checkFieldSize(dataset.get(), shape);
    std::vector<double> values(static_cast<std::size_t>(length));
    check(H5Dread(dataset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()),
          "H5Dread");
    return values;
}

// A current file's axis: a coordinate variable of the grid's group, one coordinate per node; a
// uniform axis by the origin and spacing it keeps beside them.
void readAxis(hid_t group, std::size_t index, bool uniform, Axis& axis) {
    const std::string link = escapeName(axis.Name);
    const std::string which = "axis " + std::to_string(index) + " (\"" + link + "\")";
    if (check(H5Lexists(group, link.c_str(), H5P_DEFAULT), "H5Lexists") == 0)
        throw Failure(which + ": no coordinate variable");
    std::vector<double> coordinates = readAxisValues(group, link, index, axis.Extent);
    if (!uniform) {
        axis.Coordinates = std::move(coordinates);
        return;
    }
    Handle dataset = openDataset(group, link);
    if (!hasAttribute(dataset.get(), OriginAttribute) ||
        !hasAttribute(dataset.get(), SpacingAttribute))
        throw Failure(which + ": a uniform axis without Origin and Spacing");
    axis.Origin = scalarDouble(dataset.get(), OriginAttribute);
    axis.Spacing = scalarDouble(dataset.get(), SpacingAttribute);
}

// An older file's axis: dataset "<index>" of the axes group, [origin, spacing] when uniform.
void readOlderAxis(hid_t axes, std::size_t index, bool uniform, Axis& axis) {
    std::vector<double> values =
        readAxisValues(axes, std::to_string(index), index, uniform ? 2 : axis.Extent);
    if (uniform) {
        axis.Origin = values[0];
        axis.Spacing = values[1];
    } else {
        axis.Coordinates = std::move(values);
    }
}

// The grid's topology: points when it has no axes group. The description is checked as a whole
// (axis count, extents and their product) before any axis dataset is read.
Topology readTopology(hid_t group, bool currentFormat) {
    if (check(H5Lexists(group, AxesGroup, H5P_DEFAULT), "H5Lexists") == 0) return {};
    Handle axes = openGroup(group, AxesGroup);
    const std::vector<std::uint64_t> extents =
        readNumbers<std::uint64_t>(openAttribute(axes.get(), ExtentAttribute).get());
    const std::vector<std::string> names =
        readTexts(openAttribute(axes.get(), AxisNamesAttribute).get());
    const std::vector<std::int32_t> uniform =
        readNumbers<std::int32_t>(openAttribute(axes.get(), UniformAttribute).get());
    if (extents.empty() || names.size() != extents.size() || uniform.size() != extents.size())
        throw Failure("the axes are described by " + std::to_string(extents.size()) + " extents, " +
                      std::to_string(names.size()) + " names and " +
                      std::to_string(uniform.size()) + " uniform flags");
    Topology topology;
    for (std::size_t i = 0; i < extents.size(); ++i) {
        Axis& axis = topology.Axes.emplace_back();
        axis.Name = names[i];
        axis.Extent = static_cast<std::size_t>(extents[i]);
    }
    if (std::string problem = topology.problem(); !problem.empty()) throw Failure(problem);
    for (std::size_t i = 0; i < extents.size(); ++i) {
        if (uniform[i] != 0 && uniform[i] != 1)
            throw Failure("axis " + std::to_string(i) + ": a uniform flag of " +
                          std::to_string(uniform[i]));
        if (currentFormat)
            readAxis(group, i, uniform[i] == 1, topology.Axes[i]);
        else
            readOlderAxis(axes.get(), i, uniform[i] == 1, topology.Axes[i]);
    }
    if (std::string problem = topology.problem(); !problem.empty()) throw Failure(problem);
    return topology;
}

// A grid's topology and the extents its fields have in the file: the axes' in a current file,
// none (one row dimension) otherwise.
struct GridLayout {
    Topology Layout;
    std::vector<hsize_t> FieldAxes;
};

GridLayout readLayout(hid_t group, const std::string& path, bool currentFormat) {
    GridLayout layout;
    at(path + "/" + AxesGroup, [&] { layout.Layout = readTopology(group, currentFormat); });
    if (currentFormat)
        for (const Axis& axis : layout.Layout.Axes)
            layout.FieldAxes.push_back(axis.Extent);
    return layout;
}

void checkNodeCount(const Topology& topology, const MemBase& data) {
    if (topology.isStructured() && data.size() != topology.nodeCount())
        throw Failure(std::to_string(data.size()) + " tuples on a " + topology.summary() +
                      " grid of " + std::to_string(topology.nodeCount()) + " nodes");
}

void addLoadedField(Grid& grid, const std::string& link, LoadedField loaded, hid_t attributes,
                    bool currentFormat) {
    checkNodeCount(grid.topology(), *loaded.Data);
    Field& field = grid.addField(unescapeName(link), loaded.Data);
    field.Packed = std::move(loaded.Packed);
    readUserAttributes(attributes, true, currentFormat, field.Attributes);
}

void readGrid(double time, const std::string& path, const std::string& link, hid_t group,
              bool currentFormat, Bundle& into, ChunkWorkers& workers) {
    GridLayout layout = readLayout(group, path, currentFormat);
    const std::vector<hsize_t>& axes = layout.FieldAxes;
    const FieldLinks links = fieldLinks(group, currentFormat, layout.Layout);
    GridPtr grid = into.addSlice(time)->addGrid(unescapeName(link));
    std::string error;
    grid->setTopology(std::move(layout.Layout), error); // checked as it was read
    readUserAttributes(group, false, currentFormat, *grid);
    for (const std::string& name : links.Whole)
        at(path + "/" + name, [&] {
            Handle dataset = openDataset(group, name);
            addLoadedField(*grid, name, readField(dataset.get(), currentFormat, axes, workers),
                           dataset.get(), currentFormat);
        });
    for (const auto& split : links.Split) {
        const std::string& name = split.first;
        const std::map<int, std::string>& components = split.second;
        LoadedField loaded;
        at(path + "/" + name,
           [&] { loaded = readComponents(group, path, components, axes, workers); });
        at(path + "/" + components.begin()->second, [&] {
            addLoadedField(*grid, name, std::move(loaded),
                           openDataset(group, components.begin()->second).get(), true);
        });
    }
}

void describeFilters(hid_t dataset, StoredField& field) {
    Handle properties(H5Dget_create_plist(dataset), H5Pclose, "H5Dget_create_plist");
    const H5D_layout_t layout = check(H5Pget_layout(properties.get()), "H5Pget_layout");
    field.Chunked = layout == H5D_CHUNKED;
    field.Compact = layout == H5D_COMPACT;
    const int filters = check(H5Pget_nfilters(properties.get()), "H5Pget_nfilters");
    for (int i = 0; i < filters; ++i) {
        unsigned flags = 0;
        unsigned values[8] = {};
        std::size_t count = 8;
        const H5Z_filter_t filter =
            check(H5Pget_filter2(properties.get(), static_cast<unsigned>(i), &flags, &count, values,
                                 0, nullptr, nullptr),
                  "H5Pget_filter");
        field.Deflate = field.Deflate || filter == H5Z_FILTER_DEFLATE;
        field.DeflateLevel = filter == H5Z_FILTER_DEFLATE && count > 0 ? static_cast<int>(values[0])
                                                                       : field.DeflateLevel;
        field.Shuffle = field.Shuffle || filter == H5Z_FILTER_SHUFFLE;
        field.Fletcher32 = field.Fletcher32 || filter == H5Z_FILTER_FLETCHER32;
    }
}

StoredField describeField(double time, const std::string& gridLink, const std::string& path,
                          const std::string& link, hid_t dataset, bool currentFormat,
                          const std::vector<hsize_t>& axes) {
    StoredField field;
    field.Time = time;
    field.Grid = unescapeName(gridLink);
    field.Field = unescapeName(link);
    field.Path = path;
    field.StoredType = elementTypeName(storedTypeOf(dataset));
    field.MemoryType = elementTypeName(memoryTypeOf(dataset));
    const FieldShape shape = shapeOf(dataset, axes);
    field.Shape.assign(shape.Stored.begin(), shape.Stored.end());
    field.RowDimensions = shape.RowDimensions;
    describeFilters(dataset, field);
    const auto components = static_cast<std::size_t>(shape.Components);
    field.Shift = shiftOf(dataset, components);
    const StoredPacking packing = packingOf(dataset, currentFormat);
    if (packing.Packed) {
        field.Scale.assign(components, packing.Scale);
        field.Offset.assign(components, packing.Offset);
    }
    return field;
}

// A field stored by component as one: the first component's dataset, the field's shape and the
// packing of every component.
template <class Describe>
StoredField describeComponents(const std::map<int, std::string>& links, Describe&& describe) {
    StoredField whole = describe(links.begin()->second);
    whole.SplitComponents = true;
    whole.Scale.clear();
    whole.Offset.clear();
    for (const auto& [index, link] : links) {
        const StoredField component = describe(link);
        whole.Scale.insert(whole.Scale.end(), component.Scale.begin(), component.Scale.end());
        whole.Offset.insert(whole.Offset.end(), component.Offset.begin(), component.Offset.end());
    }
    whole.Shape.push_back(links.size());
    return whole;
}

} // namespace

namespace detail {

namespace {

// Bundle files carry their own times and grid names, so of the read options only the selection
// of times applies.
class BundleFileReader final : public Reader {
public:
    void read(const std::string& file, const ReadOptions& options, Bundle& staging) const override {
        const QuietHdf5 quiet;
        const std::set<double> selected(options.Times.begin(), options.Times.end());
        const BundleFile bundle = openBundleFile(file);
        ChunkWorkers workers; // threads start with the first deflated field
        forEachGrid(bundle.File.get(), [&](double time, const std::string& path,
                                           const std::string& link, hid_t group) {
            if (selected.empty() || selected.count(time))
                readGrid(time, path, link, group, bundle.Current, staging, workers);
        });
    }
};

} // namespace

const Reader& bundleFileReader() {
    static const BundleFileReader reader;
    return reader;
}

} // namespace detail

namespace {

// The names of a grid's fields as the file holds them, split fields once.
std::vector<std::string> fieldNames(const FieldLinks& links) {
    std::vector<std::string> names;
    for (const std::string& link : links.Whole)
        names.push_back(unescapeName(link));
    for (const auto& [name, components] : links.Split)
        names.push_back(unescapeName(name));
    return names;
}

void listGrids(const Bundle& bundle, FileSteps::Contents& contents) {
    for (const auto& [time, slice] : bundle.slices())
        for (const auto& [name, grid] : slice->grids())
            for (const auto& [field, unused] : grid->fields())
                contents[time][name].push_back(field);
}

} // namespace

// A bundle file and where each grid lies in it, opened anew for each grid so that a merge of
// thousands of files keeps no more of them open than one; or another format's file and, while
// some of its grids are still to be taken, what it holds.
struct FileSteps::Source {
    std::string File;
    bool Current = false; // a bundle file of the current format
    std::map<std::pair<double, std::string>, std::string> Paths; // (time, grid) -> group path
    const Reader* Other = nullptr;
    ReadOptions Options;
    BundlePtr Loaded;

    GridPtr readBundleGrid(double time, const std::string& name) {
        const auto where = Paths.find({time, name});
        if (where == Paths.end()) throw Failure(noGrid(time, name));
        const std::string& path = where->second;
        const BundleFile open = openBundleFile(File);
        ChunkWorkers workers; // threads start with the first deflated field
        Bundle staging;
        at(path, [&] {
            readGrid(time, path, path.substr(path.rfind('/') + 1),
                     openGroup(open.File.get(), path).get(), Current, staging, workers);
        });
        return staging.findSlice(time)->findGrid(name);
    }

    GridPtr takeOtherGrid(double time, const std::string& name) {
        if (!Loaded) {
            BundlePtr whole(new Bundle);
            Other->read(File, Options, *whole);
            Loaded = whole;
        }
        const SlicePtr slice = Loaded->findSlice(time);
        GridPtr grid = slice ? slice->findGrid(name) : GridPtr();
        if (!grid) throw Failure(noGrid(time, name));
        slice->removeGrid(name);
        if (slice->grids().empty()) Loaded->removeSlice(time);
        if (Loaded->slices().empty()) Loaded.reset(); // every grid was taken
        return grid;
    }

    void open(const ReadOptions& options, Contents& held) {
        const Reader* reader = findReader(File);
        if (!reader)
            throw Failure("no reader knows this type of file (known: " + knownExtensions() + ")");
        if (reader != &detail::bundleFileReader()) {
            Other = reader;
            Options = options;
            Bundle whole; // read to learn what it holds, and let go until its grids are taken
            reader->read(File, options, whole);
            listGrids(whole, held);
            return;
        }
        const BundleFile open = openBundleFile(File);
        Current = open.Current;
        forEachGrid(open.File.get(), [&](double time, const std::string& path,
                                         const std::string& link, hid_t group) {
            const GridLayout layout = readLayout(group, path, open.Current);
            const std::string grid = unescapeName(link);
            held[time][grid] = fieldNames(fieldLinks(group, open.Current, layout.Layout));
            Paths[{time, grid}] = path;
        });
    }

    static std::string noGrid(double time, const std::string& name) {
        return "no grid \"" + printableText(name) + "\" at time " + numberText(time);
    }
};

FileSteps::FileSteps() = default;
FileSteps::~FileSteps() = default;

bool FileSteps::open(const std::string& file, const ReadOptions& options, std::string& error) {
    From = std::make_unique<Source>();
    From->File = file;
    Held.clear();
    const QuietHdf5 quiet;
    FailureText failure;
    if (attempt(file, failure, [&] { From->open(options, Held); })) return true;
    error = failure.message();
    Held.clear();
    From->Paths.clear();
    return false;
}

GridPtr FileSteps::takeGrid(double time, const std::string& grid, std::string& error) {
    if (!From) {
        error = "no file is open";
        return GridPtr();
    }
    const QuietHdf5 quiet;
    GridPtr taken;
    FailureText failure;
    if (attempt(From->File, failure, [&] {
            taken =
                From->Other ? From->takeOtherGrid(time, grid) : From->readBundleGrid(time, grid);
        }))
        return taken;
    error = failure.message();
    return GridPtr();
}

unsigned long long StoredField::rows() const {
    const auto leading =
        Shape.begin() + static_cast<std::ptrdiff_t>(std::min(RowDimensions, Shape.size()));
    return std::accumulate(Shape.begin(), leading, 1ull, std::multiplies<>());
}

unsigned long long StoredField::components() const {
    return Shape.size() > RowDimensions ? Shape.back() : 1;
}

bool describeFile(const std::string& file, std::vector<StoredField>& fields, std::string& error) {
    const QuietHdf5 quiet;
    fields.clear();
    FailureText failure;
    if (attempt(file, failure, [&] {
            const BundleFile bundle = openBundleFile(file);
            forEachGrid(bundle.File.get(), [&](double time, const std::string& path,
                                               const std::string& gridLink, hid_t group) {
                const GridLayout layout = readLayout(group, path, bundle.Current);
                const auto describe = [&](const std::string& name, const std::string& link) {
                    const std::string fieldPath = path + "/" + link;
                    StoredField field;
                    at(fieldPath, [&] {
                        field = describeField(time, gridLink, fieldPath, name,
                                              openDataset(group, link).get(), bundle.Current,
                                              layout.FieldAxes);
                    });
                    return field;
                };
                const FieldLinks links = fieldLinks(group, bundle.Current, layout.Layout);
                for (const std::string& link : links.Whole)
                    fields.push_back(describe(link, link));
                for (const auto& [name, components] : links.Split)
                    fields.push_back(
                        describeComponents(components, [&, &name = name](const std::string& link) {
                            return describe(name, link);
                        }));
            });
        }))
        return true;
    error = failure.message();
    return false;
}

} // namespace Plexa
