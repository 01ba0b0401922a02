// Writes a bundle into a bundle file under a storage policy; see docs/file-format.md.
#include "outside/Plexa.hpp"

#include "outside/plexa/detail/BundleFormat.hpp"
#include "outside/plexa/detail/Hdf5.hpp"
#include "outside/plexa/detail/Packing.hpp"
#include "outside/plexa/detail/ParallelChunks.hpp"
#include "outside/plexa/detail/ReplacementFile.hpp"

#include <H5DSpublic.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>

namespace Plexa {

namespace {

using namespace detail;
using Settings = StorageTransformations::FilterSettings;

// Compact data lives in the object header, whose messages must stay below 64 KiB with their own
// bookkeeping; this leaves room for it.
constexpr std::size_t CompactLimit = 63u * 1024u;

Handle createGroup(hid_t parent, const std::string& name, const Handle& creation) {
    return Handle(H5Gcreate2(parent, name.c_str(), H5P_DEFAULT, creation.get(), H5P_DEFAULT),
                  H5Gclose, "H5Gcreate");
}

template <class T>
void writeAttributeChunk(hid_t object, const std::string& name, const Quorix::Chunk<T>& values) {
    if constexpr (std::is_same_v<T, std::string>)
        writeTextAttribute(object, name, values, makeSpace(values.size()));
    else
        writeAttribute(object, name, nativeType(typeid(T)), makeSpace(values.size()),
                       values.data());
}

// The user's attributes of a grid (on its group) or of a field (on its dataset).
void writeUserAttributes(hid_t object, const Quorix::Attributes& attributes) {
    for (const auto& [key, value] : attributes.attributes())
        if (value)
            visitAttribute(*value, [&, name = attributeName(key)](const auto& values) {
                writeAttributeChunk(object, name, values);
            });
}

// An axis as a netCDF coordinate variable: its node coordinates, a dimension scale named like the
// dataset; a uniform axis keeps its origin and spacing, from which the loader restores it.
void writeAxisValues(hid_t group, const Axis& axis) {
    const std::string name = escapeName(axis.Name);
    std::vector<double> values(axis.Extent);
    for (std::size_t node = 0; node < axis.Extent; ++node)
        values[node] = axis.coordinate(node);
    const hsize_t extent = values.size();
    Handle space(H5Screate_simple(1, &extent, nullptr), H5Sclose, "H5Screate_simple");
    Handle dataset(H5Dcreate2(group, name.c_str(), H5T_NATIVE_DOUBLE, space.get(), H5P_DEFAULT,
                              H5P_DEFAULT, H5P_DEFAULT),
                   H5Dclose, "H5Dcreate");
    check(H5Dwrite(dataset.get(), H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()),
          "H5Dwrite");
    check(H5DSset_scale(dataset.get(), name.c_str()), "H5DSset_scale");
    if (!axis.isUniform()) return;
    writeAttribute(dataset.get(), OriginAttribute, H5T_NATIVE_DOUBLE, makeScalarSpace(),
                   &axis.Origin);
    writeAttribute(dataset.get(), SpacingAttribute, H5T_NATIVE_DOUBLE, makeScalarSpace(),
                   &axis.Spacing);
}

// The axes group of a structured grid, which describes the axes.
void writeAxesDescription(hid_t grid, const Topology& topology, const Handle& creation) {
    Handle axes = createGroup(grid, AxesGroup, creation);
    std::vector<std::uint64_t> extents;
    std::vector<std::string> names;
    std::vector<std::uint8_t> uniform;
    for (const Axis& axis : topology.Axes) {
        extents.push_back(axis.Extent);
        names.push_back(axis.Name);
        uniform.push_back(axis.isUniform() ? 1 : 0);
    }
    writeAttribute(axes.get(), ExtentAttribute, H5T_NATIVE_UINT64, makeSpace(extents.size()),
                   extents.data());
    writeTextAttribute(axes.get(), AxisNamesAttribute, names, makeSpace(names.size()));
    writeAttribute(axes.get(), UniformAttribute, H5T_NATIVE_UINT8, makeSpace(uniform.size()),
                   uniform.data());
}

// An axis is a dataset of its grid's group, so its escaped name may be neither another axis's nor
// a field's: such a grid is refused rather than stored with one of them lost.
void checkAxisNames(const Grid& grid, const std::string& where) {
    const std::vector<Axis>& axes = grid.topology().Axes;
    for (std::size_t i = 0; i < axes.size(); ++i) {
        const std::string link = escapeName(axes[i].Name);
        for (std::size_t j = 0; j < i; ++j)
            if (escapeName(axes[j].Name) == link)
                throw Failure(where + ": axes " + std::to_string(j) + " and " + std::to_string(i) +
                              " are both named \"" + printableText(axes[i].Name) +
                              "\", but each axis is stored under its name");
        for (const auto& [fieldName, field] : grid.fields())
            if (field.Data && escapeName(fieldName) == link)
                throw Failure(where + ": the field \"" + printableText(fieldName) +
                              "\" has the name of the axis \"" + printableText(axes[i].Name) +
                              "\", which is stored under its name; rename the field");
    }
}

// Every field of a structured grid holds one tuple per node, and no two of its axes and fields
// share a name; checked before anything is written.
void checkStructuredFields(const Bundle& bundle) {
    for (const auto& [time, slice] : bundle.slices())
        for (const auto& [name, grid] : slice->grids()) {
            const Topology& topology = grid->topology();
            if (!topology.isStructured()) continue;
            const std::string where =
                "grid \"" + printableText(name) + "\" at time " + numberText(time);
            checkAxisNames(*grid, where);
            for (const auto& [fieldName, field] : grid->fields())
                if (field.Data && field.Data->size() != topology.nodeCount())
                    throw Failure(where + ": field \"" + printableText(fieldName) + "\" holds " +
                                  std::to_string(field.Data->size()) + " tuples, but the " +
                                  topology.summary() + " grid has " +
                                  std::to_string(topology.nodeCount()) + " nodes");
        }
}

// Widens per-component ranges by the finite values of rows [first, first + rows). One component
// at a time, so that its bounds stay in registers and blocks on other threads share no writes.
template <class T>
void widenRanges(const MemBase& data, std::size_t first, std::size_t rows, double* low,
                 double* high) {
    const auto components = static_cast<std::size_t>(data.components());
    for (std::size_t c = 0; c < components; ++c) {
        double lowest = low[c];
        double highest = high[c];
        const T* values = static_cast<const T*>(data.rawData()) + first * components + c;
        for (std::size_t row = 0; row < rows; ++row, values += components) {
            const double value = *values;
            if (!std::isfinite(value)) continue;
            lowest = std::min(lowest, value);
            highest = std::max(highest, value);
        }
        low[c] = lowest;
        high[c] = highest;
    }
}

// Blocks of rows that the workers share when they are at hand.
constexpr std::size_t RangeBlocks = 16;

// Per component, the midpoint of the finite values' range; 0 for a component without any.
template <class T> std::vector<double> midpoints(const MemBase& data, ChunkWorkers* workers) {
    const auto components = static_cast<std::size_t>(data.components());
    const std::size_t blocks = workers ? std::clamp<std::size_t>(data.size(), 1, RangeBlocks) : 1;
    std::vector<double> low(blocks * components, std::numeric_limits<double>::infinity());
    std::vector<double> high(blocks * components, -std::numeric_limits<double>::infinity());
    const auto scan = [&](std::size_t block) {
        const std::size_t first = data.size() * block / blocks;
        widenRanges<T>(data, first, data.size() * (block + 1) / blocks - first,
                       &low[block * components], &high[block * components]);
    };
    if (workers)
        workers->forEach(blocks, scan);
    else
        scan(0);
    std::vector<double> shift(components, 0.0);
    for (std::size_t c = 0; c < components; ++c) {
        double lowest = low[c];
        double highest = high[c];
        for (std::size_t block = 1; block < blocks; ++block) {
            lowest = std::min(lowest, low[block * components + c]);
            highest = std::max(highest, high[block * components + c]);
        }
        if (lowest <= highest) shift[c] = lowest / 2 + highest / 2;
    }
    return shift;
}

// Double arrays at least this large share their checks with the workers.
constexpr std::size_t HelpedBytes = 1u << 20;

// How a field's values go to disk: as they are, as integers of an exact packing, as floats
// (exactly, or lossy with a shift when asked), or with their mantissas rounded when asked.
struct StoredForm {
    bool Single = false;       // doubles stored as float
    bool Lossy = false;        // and not exactly so
    std::vector<double> Shift; // per component, subtracted before the narrowing
    std::optional<IntegerForm> Integers;
    int KeptBits = 0;        // 0: every mantissa bit kept
    double MaximumError = 0; // of a lossy form
};

// Finite values stay finite: a value that float cannot hold is refused, never stored as inf.
[[noreturn]] void refuseNarrowing(const std::string& where, double value, const std::string& why) {
    throw Failure(where + ": the value " + numberText(value) + " " + why +
                  "; refused rather than stored as infinity");
}

// The largest error of storing the doubles as float less the shift, as readers add it back.
double singlePrecisionError(const MemBase& data, const std::vector<double>& shift,
                            const std::string& where) {
    const auto* values = static_cast<const double*>(data.rawData());
    const auto components = static_cast<std::size_t>(data.components());
    double largest = 0;
    for (std::size_t i = 0; i < data.elementCount(); ++i) {
        if (!std::isfinite(values[i])) continue;
        const double offset = shift.empty() ? 0.0 : shift[i % components];
        const auto stored = static_cast<float>(values[i] - offset);
        if (std::isinf(stored))
            refuseNarrowing(where, values[i],
                            offset == 0 ? "lies beyond float32's range"
                                        : "lies beyond float32's range from the shift " +
                                              numberText(offset));
        largest = std::max(largest, std::fabs(static_cast<double>(stored) + offset - values[i]));
    }
    return largest;
}

// The value with `bits` significant mantissa bits, rounded half away from zero as netCDF's
// BitRound does; values it cannot change come back as they are.
template <class T> T bitRound(T value, int bits) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    constexpr int mantissa = std::numeric_limits<T>::digits - 1;
    if (bits <= 0 || bits >= mantissa || !std::isfinite(value)) return value;
    Bits word;
    std::memcpy(&word, &value, sizeof word);
    const int dropped = mantissa - bits;
    word += Bits(1) << (dropped - 1);
    word &= ~((Bits(1) << dropped) - 1);
    std::memcpy(&value, &word, sizeof word);
    return value;
}

// The largest error of the rounding; throws when rounding up would make a value infinite.
template <class T> double roundingError(const MemBase& data, int bits, const std::string& where) {
    const T* values = static_cast<const T*>(data.rawData());
    double largest = 0;
    for (std::size_t i = 0; i < data.elementCount(); ++i) {
        if (!std::isfinite(values[i])) continue;
        const T rounded = bitRound(values[i], bits);
        if (std::isinf(rounded))
            refuseNarrowing(where, static_cast<double>(values[i]),
                            "rounds beyond its type's range with the kept bits");
        largest = std::max(
            largest, std::fabs(static_cast<double>(rounded) - static_cast<double>(values[i])));
    }
    return largest;
}

bool isFloating(const MemBase& data) {
    return data.elementType() == typeid(double) || data.elementType() == typeid(float);
}

// Lossy only when the settings or the kept bits ask; otherwise exact packing, exact floats, or the
// values as they are.
StoredForm storedForm(const MemBase& data, const Packing& hint, const Settings& settings,
                      int keptBits, ChunkWorkers* workers, const std::string& where) {
    StoredForm form;
    const bool isDouble = data.elementType() == typeid(double);
    if (settings.SinglePrecision && isDouble) {
        form.Single = form.Lossy = true;
        if (settings.NumericalShift) form.Shift = midpoints<double>(data, workers);
        form.MaximumError = singlePrecisionError(data, form.Shift, where);
        return form;
    }
    if (keptBits > 0 && isFloating(data) &&
        settings.automaticStrategy() == StorageTransformations::AutomaticFilters) {
        form.Lossy = true;
        form.KeptBits = keptBits;
        form.MaximumError = isDouble ? roundingError<double>(data, keptBits, where)
                                     : roundingError<float>(data, keptBits, where);
        return form;
    }
    if (!settings.NumericalShift || !isDouble) return form;
    form.Integers = exactIntegerForm(data, hint, workers);
    form.Single = !form.Integers && holdsFloatsOnly(data, workers);
    return form;
}

const std::type_info& storedElementType(const MemBase& data, const StoredForm& form) {
    if (form.Integers) return *form.Integers->Type;
    return form.Single ? typeid(float) : data.elementType();
}

// Rows converted and written at a time: about this many bytes of stored values, in whole chunks
// so that HDF5 never has to read a chunk back to complete it.
constexpr std::size_t BytesPerWrite = 1u << 20;

hsize_t rowsPerWrite(hsize_t rows, std::size_t rowBytes, hsize_t chunkRows) {
    const hsize_t unit = std::max<hsize_t>(chunkRows, 1);
    const hsize_t units = std::max<hsize_t>(BytesPerWrite / (unit * rowBytes), 1);
    return std::min(rows, unit * units);
}

// The stored value is the value less its component's shift, in the stored type, its mantissa
// rounded to the kept bits.
template <class Stored, class T>
void convertRows(const T* values, std::size_t rows, const std::vector<double>& shift, int keptBits,
                 unsigned char* stored) {
    const std::size_t components = shift.size();
    for (std::size_t row = 0; row < rows; ++row, values += components)
        for (std::size_t c = 0; c < components; ++c, stored += sizeof(Stored)) {
            const auto value =
                bitRound(static_cast<Stored>(static_cast<double>(values[c]) - shift[c]), keptBits);
            std::memcpy(stored, &value, sizeof value);
        }
}

template <class Stored, class T>
RowSource converter(const MemBase& data, std::vector<double> shift, int keptBits) {
    const T* values = static_cast<const T*>(data.rawData());
    return [values, shift = std::move(shift), keptBits](std::size_t first, std::size_t rows,
                                                        unsigned char* into) {
        convertRows<Stored>(values + first * shift.size(), rows, shift, keptBits, into);
    };
}

RowSource rawRows(const MemBase& data) {
    const auto* bytes = static_cast<const unsigned char*>(data.rawData());
    const std::size_t rowBytes = data.elementSize() * static_cast<std::size_t>(data.components());
    return [bytes, rowBytes](std::size_t first, std::size_t rows, unsigned char* into) {
        std::memcpy(into, bytes + first * rowBytes, rows * rowBytes);
    };
}

// What puts rows of the field at a place as they are stored; none when they are stored as they
// are in memory.
std::optional<RowSource> storedRows(const MemBase& data, const StoredForm& form) {
    if (form.Integers) return packedRows(data, *form.Integers, 0, data.components());
    if (!form.Single && form.KeptBits == 0) return std::nullopt;
    std::vector<double> offsets =
        form.Shift.empty() ? std::vector<double>(static_cast<std::size_t>(data.components()), 0.0)
                           : form.Shift;
    if (data.elementType() == typeid(float))
        return converter<float, float>(data, offsets, form.KeptBits);
    if (form.Single) return converter<float, double>(data, offsets, form.KeptBits);
    return converter<double, double>(data, offsets, form.KeptBits);
}

// A dataset's shape, and how many of its leading dimensions number the rows (a grid's nodes).
struct DatasetShape {
    std::vector<hsize_t> Extent;
    std::size_t RowDimensions = 1;
};

// (rows[, components]) on points, (the grid's extents[, components]) on a structured grid; a
// single component has no dimension of its own.
DatasetShape datasetShape(const MemBase& data, const Topology& topology, int components) {
    DatasetShape shape;
    for (const Axis& axis : topology.Axes)
        shape.Extent.push_back(axis.Extent);
    if (shape.Extent.empty()) shape.Extent.push_back(data.size());
    shape.RowDimensions = shape.Extent.size();
    if (components > 1) shape.Extent.push_back(static_cast<hsize_t>(components));
    return shape;
}

// Converts and writes whole slabs of the first dimension at a time through one buffer, so that
// saving a converted field never holds a second copy of it.
void writeConverted(hid_t dataset, hid_t storedType, const DatasetShape& shape,
                    const RowSource& fill, hsize_t chunkSlabs) {
    hsize_t slabElements = 1;
    hsize_t rowsPerSlab = 1;
    for (std::size_t i = 1; i < shape.Extent.size(); ++i) {
        slabElements *= shape.Extent[i];
        if (i < shape.RowDimensions) rowsPerSlab *= shape.Extent[i];
    }
    const std::size_t slabBytes = typeSize(storedType) * slabElements;
    const hsize_t slabs = shape.Extent[0];
    const hsize_t blockSlabs = rowsPerWrite(slabs, slabBytes, chunkSlabs);
    ByteBuffer buffer;
    buffer.resize(static_cast<std::size_t>(blockSlabs) * slabBytes);
    Handle fileSpace(H5Dget_space(dataset), H5Sclose, "H5Dget_space");
    const int rank = static_cast<int>(shape.Extent.size());
    std::vector<hsize_t> start(shape.Extent.size(), 0);
    std::vector<hsize_t> count = shape.Extent;
    for (hsize_t first = 0; first < slabs; first += blockSlabs) {
        start[0] = first;
        count[0] = std::min(blockSlabs, slabs - first);
        Handle memorySpace(H5Screate_simple(rank, count.data(), nullptr), H5Sclose,
                           "H5Screate_simple");
        check(H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start.data(), nullptr,
                                  count.data(), nullptr),
              "H5Sselect_hyperslab");
        fill(first * rowsPerSlab, count[0] * rowsPerSlab, buffer.data());
        check(H5Dwrite(dataset, storedType, memorySpace.get(), fileSpace.get(), H5P_DEFAULT,
                       buffer.data()),
              "H5Dwrite");
    }
}

// Sets the chunk size and filters; the rows in each chunk.
hsize_t addFilters(hid_t properties, const std::vector<hsize_t>& shape, std::size_t elementBytes,
                   const Settings& settings, StorageTransformations& policy) {
    std::string description;
    DynamicSize chunk = policy.computeChunkSize(
        DynamicSize{std::vector<unsigned long long>(shape.begin(), shape.end())}, elementBytes,
        description);
    if (chunk.Extent.size() != shape.size() ||
        std::count(chunk.Extent.begin(), chunk.Extent.end(), 0ull) > 0)
        throw Failure("the storage policy gave unusable chunk extents (" + description + ")");
    std::vector<hsize_t> extent(chunk.Extent.begin(), chunk.Extent.end());
    check(H5Pset_chunk(properties, static_cast<int>(extent.size()), extent.data()), "H5Pset_chunk");
    if (policy.ShuffleFields) check(H5Pset_shuffle(properties), "H5Pset_shuffle");
    if (policy.DeflateFields)
        check(H5Pset_deflate(properties,
                             static_cast<unsigned>(std::clamp(settings.DeflateLevel, 0, 9))),
              "H5Pset_deflate");
    if (settings.ExtraFilter) check(H5Pset_fletcher32(properties), "H5Pset_fletcher32");
    return extent[0];
}

// Made once per save, since a creation list made per field costs a tenth of writing a small one.
Handle compactLayout() {
    Handle properties = createProperties(H5P_DATASET_CREATE);
    check(H5Pset_layout(properties.get(), H5D_COMPACT), "H5Pset_layout");
    return properties;
}

Handle creationProperties(hid_t propertyClass, bool trackCreationOrder) {
    Handle properties = createProperties(propertyClass);
    if (trackCreationOrder)
        check(H5Pset_link_creation_order(properties.get(), H5P_CRT_ORDER_TRACKED),
              "H5Pset_link_creation_order");
    return properties;
}

// A dataset's creation list, and the rows in each of its chunks (0 when it has none).
struct Layout {
    hid_t Properties = H5P_DEFAULT;
    hsize_t ChunkRows = 0;
    Handle Chunked; // owns Properties when the layout is chunked
};

// Contiguous (HDF5's default, which writes no fill values), the shared compact layout, or chunks
// with filters.
Layout datasetLayout(const std::vector<hsize_t>& shape, std::size_t count, std::size_t elementBytes,
                     const Settings& settings, StorageTransformations& policy,
                     const Handle& compact) {
    Layout layout;
    if (settings.automaticStrategy() != StorageTransformations::AutomaticFilters || count == 0)
        return layout;
    if (policy.CompactSmallFields && count * elementBytes < CompactLimit) {
        layout.Properties = compact.get();
        return layout;
    }
    layout.Chunked = createProperties(H5P_DATASET_CREATE);
    layout.Properties = layout.Chunked.get();
    layout.ChunkRows = addFilters(layout.Properties, shape, elementBytes, settings, policy);
    return layout;
}

// What every group and field of one save shares.
struct SaveContext {
    explicit SaveContext(StorageTransformations& policy)
        : Policy(policy),
          GroupCreation(creationProperties(H5P_GROUP_CREATE, policy.TrackCreationOrder)) {}

    StorageTransformations& Policy;
    Handle GroupCreation;
    Handle CompactLayout = compactLayout();
    ChunkWorkers Workers; // threads start with the first deflated field
    // The axes groups written so far, by the layout they describe.
    std::vector<std::pair<Topology, std::string>> WrittenAxes;
};

// A layout written earlier in this save is linked rather than written again, so that a file of
// many time steps holds its coordinates once.
void writeAxes(hid_t group, const std::string& path, const Topology& topology, SaveContext& save) {
    if (!topology.isStructured()) return;
    for (const auto& [written, at] : save.WrittenAxes)
        if (written == topology) {
            const auto linkTo = [&, &from = at](const std::string& link) {
                check(H5Lcreate_hard(group, (from + "/" + link).c_str(), group, link.c_str(),
                                     H5P_DEFAULT, H5P_DEFAULT),
                      "H5Lcreate_hard");
            };
            linkTo(AxesGroup);
            for (const Axis& axis : topology.Axes)
                linkTo(escapeName(axis.Name));
            return;
        }
    writeAxesDescription(group, topology, save.GroupCreation);
    for (const Axis& axis : topology.Axes)
        writeAxisValues(group, axis);
    save.WrittenAxes.emplace_back(topology, path);
}

// One dataset of stored values in its layout, filled from `rows` (none: the array as it is).
Handle writeValues(hid_t group, const std::string& link, const std::type_info& stored,
                   const DatasetShape& shape, const MemBase& data,
                   const std::optional<RowSource>& rows, const Settings& settings,
                   SaveContext& save) {
    const hid_t storedType = nativeType(stored);
    Handle space(
        H5Screate_simple(static_cast<int>(shape.Extent.size()), shape.Extent.data(), nullptr),
        H5Sclose, "H5Screate_simple");
    std::size_t count = 1;
    for (const hsize_t extent : shape.Extent)
        count *= static_cast<std::size_t>(extent);
    const Layout layout = datasetLayout(shape.Extent, count, typeSize(storedType), settings,
                                        save.Policy, save.CompactLayout);
    Handle dataset(H5Dcreate2(group, link.c_str(), storedType, space.get(), H5P_DEFAULT,
                              layout.Properties, H5P_DEFAULT),
                   H5Dclose, "H5Dcreate");
    if (count == 0) return dataset;
    // deflated chunks of whole rows are encoded on the workers, HDF5 writes anything else
    if (std::optional<ChunkLayout> chunks =
            layout.ChunkRows > 0 ? handledLayout(dataset.get(), shape.RowDimensions) : std::nullopt)
        save.Workers.queueWrite(dataset.get(), *chunks, rows ? *rows : rawRows(data));
    else if (rows)
        writeConverted(dataset.get(), storedType, shape, *rows, layout.ChunkRows);
    else
        check(H5Dwrite(dataset.get(), storedType, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.rawData()),
              "H5Dwrite");
    return dataset;
}

// The dimensions of a grid's datasets as HDF5 dimension scales, so that netCDF readers name them:
// a structured grid's axes, a point grid's rows (".points", ".rows<n>" for a second row count)
// and the components (".components<n>"). The scales of points and components have no values and
// are marked as netCDF marks a dimension that is no variable; no escaped field name starts with
// '.', so they never clash with a field.
class GridDimensions {
public:
    GridDimensions(hid_t group, const Topology& topology) : Group(group) {
        for (const Axis& axis : topology.Axes)
            AxisLinks.push_back(escapeName(axis.Name));
    }

    void attach(hid_t dataset, const DatasetShape& shape) {
        std::vector<hid_t> scales;
        for (std::size_t d = 0; d < shape.RowDimensions; ++d)
            scales.push_back(rowScale(d, shape.Extent[d]));
        if (shape.Extent.size() > shape.RowDimensions) {
            const hsize_t components = shape.Extent.back();
            scales.push_back(scale(".components" + std::to_string(components), components));
        }
        attachAll(dataset, scales);
    }

    // Writes each scale's list of the datasets attached to it, once for the grid: attaching one
    // at a time would rewrite that list for every field, which grows with the square of the
    // fields of a grid.
    void finish() {
        for (auto& [scale, users] : Users)
            appendReferenceList(scale, users);
        Users.clear();
    }

private:
    // One entry of a scale's REFERENCE_LIST, laid out as HDF5's dimension scale API reads it.
    struct ScaleUser {
        hobj_ref_t Dataset;
        unsigned Dimension;
    };

    static Handle referenceListType() {
        Handle type(H5Tcreate(H5T_COMPOUND, sizeof(ScaleUser)), H5Tclose, "H5Tcreate");
        check(H5Tinsert(type.get(), "dataset", HOFFSET(ScaleUser, Dataset), H5T_STD_REF_OBJ),
              "H5Tinsert");
        check(H5Tinsert(type.get(), "dimension", HOFFSET(ScaleUser, Dimension), H5T_NATIVE_INT),
              "H5Tinsert");
        return type;
    }

    static hobj_ref_t referenceTo(hid_t object) {
        hobj_ref_t reference{};
        check(H5Rcreate(&reference, object, ".", H5R_OBJECT, -1), "H5Rcreate");
        return reference;
    }

    // The dataset's DIMENSION_LIST: one scale per dimension, as H5DSattach_scale would make it.
    void attachAll(hid_t dataset, const std::vector<hid_t>& scales) {
        std::vector<hobj_ref_t> references;
        for (hid_t scale : scales)
            references.push_back(referenceTo(scale));
        std::vector<hvl_t> lists(scales.size());
        for (std::size_t d = 0; d < scales.size(); ++d)
            lists[d] = hvl_t{1, &references[d]};
        Handle type(H5Tvlen_create(H5T_STD_REF_OBJ), H5Tclose, "H5Tvlen_create");
        writeAttribute(dataset, "DIMENSION_LIST", type.get(), makeSpace(lists.size()),
                       lists.data());
        const hobj_ref_t self = referenceTo(dataset);
        for (std::size_t d = 0; d < scales.size(); ++d)
            Users[scales[d]].push_back({self, static_cast<unsigned>(d)});
    }

    // A scale that earlier time steps share through a link has users of theirs already.
    static void appendReferenceList(hid_t scale, std::vector<ScaleUser> users) {
        const Handle type = referenceListType();
        if (check(H5Aexists(scale, "REFERENCE_LIST"), "H5Aexists") > 0) {
            Handle old(H5Aopen(scale, "REFERENCE_LIST", H5P_DEFAULT), H5Aclose, "H5Aopen");
            Handle space(H5Aget_space(old.get()), H5Sclose, "H5Aget_space");
            std::vector<ScaleUser> earlier(static_cast<std::size_t>(
                check(H5Sget_simple_extent_npoints(space.get()), "H5Sget_simple_extent_npoints")));
            check(H5Aread(old.get(), type.get(), earlier.data()), "H5Aread");
            old.close("H5Aclose");
            check(H5Adelete(scale, "REFERENCE_LIST"), "H5Adelete");
            users.insert(users.begin(), earlier.begin(), earlier.end());
        }
        writeAttribute(scale, "REFERENCE_LIST", type.get(), makeSpace(users.size()), users.data());
    }

    hid_t rowScale(std::size_t dimension, hsize_t extent) {
        if (!AxisLinks.empty()) return axis(AxisLinks[dimension]);
        if (!Rows) Rows = extent;
        return scale(extent == *Rows ? ".points" : ".rows" + std::to_string(extent), extent);
    }

    // the axis dataset that writeAxes made or linked
    hid_t axis(const std::string& link) {
        Handle& scale = Scales[link];
        if (scale.get() == H5I_INVALID_HID) scale = openDataset(Group, link);
        return scale.get();
    }

    hid_t scale(const std::string& name, hsize_t extent) {
        Handle& scale = Scales[name];
        if (scale.get() != H5I_INVALID_HID) return scale.get();
        Handle space(H5Screate_simple(1, &extent, nullptr), H5Sclose, "H5Screate_simple");
        scale = Handle(H5Dcreate2(Group, name.c_str(), H5T_NATIVE_INT32, space.get(), H5P_DEFAULT,
                                  H5P_DEFAULT, H5P_DEFAULT),
                       H5Dclose, "H5Dcreate");
        char mark[80];
        std::snprintf(mark, sizeof mark,
                      "This is a netCDF dimension but not a netCDF variable.%10llu",
                      static_cast<unsigned long long>(extent));
        check(H5DSset_scale(scale.get(), mark), "H5DSset_scale");
        return scale.get();
    }

    hid_t Group;
    std::vector<std::string> AxisLinks;
    std::optional<hsize_t> Rows;
    std::map<std::string, Handle> Scales;
    std::map<hid_t, std::vector<ScaleUser>> Users; // per scale, in the order of attachment
};

void writeDouble(hid_t dataset, const char* name, double value) {
    writeAttribute(dataset, name, H5T_NATIVE_DOUBLE, makeScalarSpace(), &value);
}

// What the readers need beyond the stored values: the CF packing of component `first` (every
// component of the dataset shares it), the shift, the type in memory and what a loss cost.
void writeFormAttributes(hid_t dataset, const MemBase& data, const StoredForm& form,
                         std::size_t first) {
    if (form.Integers) {
        writeDouble(dataset, ScaleAttribute, form.Integers->Scale[first]);
        writeDouble(dataset, OffsetAttribute, form.Integers->Offset[first]);
        if (const std::optional<std::int64_t> fill = form.Integers->Fill) {
            const hid_t type = nativeType(*form.Integers->Type);
            std::vector<unsigned char> value(typeSize(type));
            visitElementType(*form.Integers->Type, [&](auto sample) {
                const auto typed = static_cast<decltype(sample)>(*fill);
                std::memcpy(value.data(), &typed, sizeof typed);
            });
            writeAttribute(dataset, FillAttribute, type, makeScalarSpace(), value.data());
        }
    }
    if (!form.Shift.empty())
        writeAttribute(dataset, ShiftAttribute, H5T_NATIVE_DOUBLE, makeSpace(form.Shift.size()),
                       form.Shift.data());
    if (&storedElementType(data, form) != &data.elementType())
        writeTextAttribute(dataset, MemoryTypeAttribute, {elementTypeName(data.elementType())},
                           makeScalarSpace());
    if (!form.Lossy) return;
    writeTextAttribute(dataset, LossAttribute,
                       {form.KeptBits > 0 ? "BitRound" : "single precision"}, makeScalarSpace());
    writeDouble(dataset, ErrorAttribute, form.MaximumError);
    if (form.KeptBits > 0)
        writeAttribute(dataset, KeptBitsAttribute, H5T_NATIVE_INT32, makeScalarSpace(),
                       &form.KeptBits);
}

void writeField(hid_t group, const std::string& name, const Field& field, const Settings& settings,
                const std::string& where, const Topology& topology, GridDimensions& dimensions,
                SaveContext& save) {
    const MemBase& data = *field.Data;
    ChunkWorkers* workers = data.byteSize() >= HelpedBytes ? &save.Workers : nullptr;
    const StoredForm form =
        storedForm(data, field.Packed, settings,
                   save.Policy.Precision.KeptBits(name, data.elementType()), workers, where);
    const std::type_info& stored = storedElementType(data, form);
    // each component on its own shuffles and deflates better, and takes a scale and offset of its
    // own
    if (form.Integers && data.components() > 1) {
        const DatasetShape shape = datasetShape(data, topology, 1);
        for (int c = 0; c < data.components(); ++c) {
            Handle dataset =
                writeValues(group, escapeName(name) + ComponentMark + std::to_string(c), stored,
                            shape, data, packedRows(data, *form.Integers, c, 1), settings, save);
            writeFormAttributes(dataset.get(), data, form, static_cast<std::size_t>(c));
            dimensions.attach(dataset.get(), shape);
            writeUserAttributes(dataset.get(), field.Attributes);
        }
        return;
    }
    const DatasetShape shape = datasetShape(data, topology, data.components());
    Handle dataset = writeValues(group, escapeName(name), stored, shape, data,
                                 storedRows(data, form), settings, save);
    writeFormAttributes(dataset.get(), data, form, 0);
    dimensions.attach(dataset.get(), shape);
    writeUserAttributes(dataset.get(), field.Attributes);
}

// Asks the policy about one field, in the order of its hooks; the filter settings when the field
// is to be written now.
std::optional<Settings> consultPolicy(StorageTransformations& policy, double time,
                                      const std::string& gridName, const GridWeakPtr& grid,
                                      const Field& field) {
    const SkeletonID skeleton;
    const std::string& skeletonName = skeleton.Name;
    if (!policy.isSaveableField(field.ID, field, grid, gridName, time, skeletonName, skeleton))
        return std::nullopt;
    Quorix::StrongPtr<CreativeArrayBase, Quorix::Creature> array(new CreativeArrayBase(field.Data));
    Quorix::StrongPtr<FragmentID> fragment(new FragmentID);
    if (policy.SkipStorage(time, gridName, grid, skeleton, skeletonName, field, field.name(),
                           *array, fragment) ||
        !policy.isSaveableFragment(fragment, array, field.ID, field, grid, gridName, time,
                                   skeletonName, skeleton) ||
        policy.isSaved(array, fragment, field.ID, field, grid, gridName, time, skeletonName,
                       skeleton))
        return std::nullopt;
    policy.setFieldPacking(time, gridName, grid, skeleton, skeletonName, field, field.name(),
                           *array, fragment);
    return policy.getFilterSettings(time, gridName, grid, skeleton, skeletonName, field,
                                    field.name(), *array, fragment, field.Data);
}

void writeGrid(hid_t slice, const std::string& slicePath, double time, const GridPtr& grid,
               SaveContext& save) {
    Handle group = createGroup(slice, escapeName(grid->name()), save.GroupCreation);
    writeUserAttributes(group.get(), *grid);
    writeAxes(group.get(), slicePath + "/" + escapeName(grid->name()), grid->topology(), save);
    const GridWeakPtr weak(grid);
    GridDimensions dimensions(group.get(), grid->topology());
    for (const auto& [name, field] : grid->fields()) {
        if (!field.Data) continue; // nothing to store
        if (std::optional<Settings> settings =
                consultPolicy(save.Policy, time, grid->name(), weak, field))
            writeField(group.get(), name, field, *settings,
                       "grid \"" + printableText(grid->name()) + "\" at time " + numberText(time) +
                           ": field \"" + printableText(name) + "\"",
                       grid->topology(), dimensions, save);
    }
    dimensions.finish();
}

// HDF5's metadata cache keeps what a save writes until the cache is full (2 MiB by default), and
// its objects take many times that in memory: a fixed small cache keeps a file written in many
// parts at the memory of its first parts.
constexpr std::size_t MetadataCacheBytes = 256u * 1024u;

void boundMetadataCache(hid_t access) {
    H5AC_cache_config_t cache{};
    cache.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    check(H5Pget_mdc_config(access, &cache), "H5Pget_mdc_config");
    cache.set_initial_size = true;
    cache.initial_size = cache.min_size = cache.max_size = MetadataCacheBytes;
    cache.incr_mode = H5C_incr__off;
    cache.flash_incr_mode = H5C_flash_incr__off;
    cache.decr_mode = H5C_decr__off;
    check(H5Pset_mdc_config(access, &cache), "H5Pset_mdc_config");
}

// A save's place in its file: what every part shares, and where the next slice goes.
struct SaveTarget {
    SaveTarget(const std::string& file, StorageTransformations& policy)
        : Target(file), File(createFile(Target.path(), policy)), Save(policy) {}

    ReplacementFile Target;
    Handle File;
    SaveContext Save;
    std::size_t NextSlice = 0;
    std::optional<double> LastTime;

private:
    static Handle createFile(const std::string& name, StorageTransformations& policy) {
        Handle creation = creationProperties(H5P_FILE_CREATE, policy.TrackCreationOrder);
        Handle access = createProperties(H5P_FILE_ACCESS);
        check(H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST),
              "H5Pset_libver_bounds");
        // Closing then fails while anything inside is still open, so no file goes out
        // half-flushed.
        check(H5Pset_fclose_degree(access.get(), H5F_CLOSE_SEMI), "H5Pset_fclose_degree");
        boundMetadataCache(access.get());
        Handle file(H5Fcreate(name.c_str(), H5F_ACC_EXCL, creation.get(), access.get()), H5Fclose,
                    "H5Fcreate");
        writeTextAttribute(file.get(), FormatAttribute, {CurrentFormatVersion}, makeScalarSpace());
        return file;
    }
};

// Slice groups are numbered in time order, so a part must begin after the parts before it, or
// continue the last one.
void checkFollows(const SaveTarget& target, const Bundle& part) {
    if (part.slices().empty() || !target.LastTime) return;
    const double first = part.slices().begin()->first;
    if (first < *target.LastTime)
        throw Failure("a part beginning at time " + numberText(first) +
                      " does not follow the time " + numberText(*target.LastTime) +
                      " written before it");
}

void writeSlices(SaveTarget& target, const Bundle& bundle) {
    checkFollows(target, bundle);
    for (const auto& [time, slice] : bundle.slices()) {
        if (!target.Save.Policy.isSaveableTime(time)) continue;
        const bool continues = target.LastTime == time;
        const std::string sliceName =
            sliceGroupName(continues ? target.NextSlice - 1 : target.NextSlice++);
        Handle group = continues
                           ? openGroup(target.File.get(), sliceName)
                           : createGroup(target.File.get(), sliceName, target.Save.GroupCreation);
        if (!continues)
            writeAttribute(group.get(), TimeAttribute, H5T_NATIVE_DOUBLE, makeScalarSpace(), &time);
        for (const auto& [name, grid] : slice->grids())
            writeGrid(group.get(), "/" + sliceName, time, grid, target.Save);
        target.LastTime = time;
    }
    target.Save.Workers.finishWrites();
}

} // namespace

namespace detail {

bool writeBundle(const Bundle& bundle, const std::string& file, const StoragePtr& policy,
                 FailureText& failure) noexcept {
    BundleFileParts parts(file, policy);
    if (parts.append(bundle) && parts.commit()) return true;
    failure = {file, parts.cause()};
    return false;
}

} // namespace detail

struct BundleFileParts::Open : SaveTarget {
    using SaveTarget::SaveTarget;
};

BundleFileParts::BundleFileParts(std::string file, StoragePtr policy)
    : File(std::move(file)),
      Policy(policy ? std::move(policy) : StoragePtr(new StorageTransformations(false))) {}

BundleFileParts::~BundleFileParts() {
    const QuietHdf5 quiet;
    Writing.reset();
}

BindResult BundleFileParts::failure(std::string cause) {
    Writing.reset();
    Cause = std::move(cause);
    Failed = FailureText{File, Cause}.message();
    return {false, Failed};
}

BindResult BundleFileParts::append(const Bundle& part) {
    if (!Failed.empty()) return {false, Failed};
    const QuietHdf5 quiet;
    FailureText failed;
    if (attempt(File, failed, [&] {
            checkStructuredFields(part);
            if (!Writing) Writing = std::make_unique<Open>(File, *Policy);
            writeSlices(*Writing, part);
        }))
        return {true, "written into " + File};
    return failure(failed.Cause);
}

BindResult BundleFileParts::commit() {
    if (!Failed.empty()) return {false, Failed};
    const QuietHdf5 quiet;
    FailureText failed;
    if (attempt(File, failed, [&] {
            if (!Writing) Writing = std::make_unique<Open>(File, *Policy);
            Writing->File.close("H5Fclose");
            Writing->Target.commit();
            Writing.reset();
        }))
        return {true, "saved " + File};
    return failure(failed.Cause);
}

BindResult writeBundleFile(const Bundle& bundle, const std::string& file,
                           const StoragePtr& policy) {
    FailureText failure;
    if (writeBundle(bundle, file, policy, failure)) return {true, "saved " + file};
    return {false, failure.message()};
}

} // namespace Plexa
