// Writes a bundle into a bundle file under a storage policy; see docs/file-format.md.
#include "outside/Plexa.hpp"

#include "outside/detail/BundleFormat.hpp"
#include "outside/detail/Hdf5.hpp"
#include "outside/detail/ReplacementFile.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>

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
bool writeNumberChunk(hid_t object, const std::string& name, const Quorix::ChunkBase& chunk) {
    auto* values = dynamic_cast<const Quorix::Chunk<T>*>(&chunk);
    if (!values) return false;
    writeAttribute(object, name, nativeType(typeid(T)), makeSpace(values->size()), values->data());
    return true;
}

void writeGridAttributes(hid_t group, const Quorix::Attributes& attributes) {
    for (const auto& [key, value] : attributes.attributes()) {
        if (!value) continue;
        const std::string name = escapeName(key);
        if (auto* texts = dynamic_cast<const Quorix::Chunk<std::string>*>(value.rawptr())) {
            writeTextAttribute(group, name, *texts, makeSpace(texts->size()));
            continue;
        }
        // Chunks of other element types have no place in the file and are left out.
        writeNumberChunk<double>(group, name, *value) ||
            writeNumberChunk<std::int64_t>(group, name, *value) ||
            writeNumberChunk<std::int32_t>(group, name, *value);
    }
}

// Per component, the midpoint of the finite values' range; 0 for a component without any.
template <class T> std::vector<double> midpoints(const MemBase& data) {
    const auto components = static_cast<std::size_t>(data.components());
    std::vector<double> low(components, std::numeric_limits<double>::infinity());
    std::vector<double> high(components, -std::numeric_limits<double>::infinity());
    const T* values = static_cast<const T*>(data.rawData());
    for (std::size_t i = 0; i < data.elementCount(); ++i) {
        const double value = values[i];
        if (!std::isfinite(value)) continue;
        low[i % components] = std::min(low[i % components], value);
        high[i % components] = std::max(high[i % components], value);
    }
    std::vector<double> shift(components, 0.0);
    for (std::size_t c = 0; c < components; ++c)
        if (low[c] <= high[c]) shift[c] = low[c] / 2 + high[c] / 2;
    return shift;
}

// The shift the settings ask for; empty for arrays that are not floating point.
std::vector<double> shiftFor(const MemBase& data, const Settings& settings) {
    if (!settings.NumericalShift) return {};
    if (data.elementType() == typeid(float)) return midpoints<float>(data);
    if (data.elementType() == typeid(double)) return midpoints<double>(data);
    return {};
}

bool storesSingle(const MemBase& data, const Settings& settings) {
    return settings.SinglePrecision && data.elementType() == typeid(double);
}

void writeValues(hid_t dataset, hid_t memoryType, const void* values, std::size_t count) {
    if (count > 0)
        check(H5Dwrite(dataset, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values), "H5Dwrite");
}

template <class Stored, class T>
void writeShifted(hid_t dataset, const MemBase& data, const std::vector<double>& shift) {
    std::vector<Stored> stored(data.elementCount());
    const T* values = static_cast<const T*>(data.rawData());
    for (std::size_t i = 0; i < stored.size(); ++i)
        stored[i] = static_cast<Stored>(static_cast<double>(values[i]) - shift[i % shift.size()]);
    writeValues(dataset, nativeType(typeid(Stored)), stored.data(), stored.size());
}

void writeData(hid_t dataset, const MemBase& data, bool single, const std::vector<double>& shift) {
    // Without a shift HDF5 narrows doubles to float itself, a buffer at a time.
    if (shift.empty())
        return writeValues(dataset, nativeType(data.elementType()), data.rawData(),
                           data.elementCount());
    if (data.elementType() == typeid(float))
        return writeShifted<float, float>(dataset, data, shift);
    if (single) return writeShifted<float, double>(dataset, data, shift);
    writeShifted<double, double>(dataset, data, shift);
}

std::vector<hsize_t> shapeOf(const MemBase& data) {
    if (data.components() == 1) return {data.size()};
    return {data.size(), static_cast<hsize_t>(data.components())};
}

void addFilters(hid_t properties, const std::vector<hsize_t>& shape, std::size_t elementBytes,
                const Settings& settings, StorageTransformations& policy) {
    std::string description;
    DynamicSize chunk = policy.computeChunkSize(
        DynamicSize{std::vector<unsigned long long>(shape.begin(), shape.end())}, elementBytes,
        description);
    if (chunk.Extent.size() != shape.size() ||
        std::count(chunk.Extent.begin(), chunk.Extent.end(), 0ull) > 0)
        throw Hdf5Error("the storage policy gave unusable chunk extents (" + description + ")");
    std::vector<hsize_t> extent(chunk.Extent.begin(), chunk.Extent.end());
    check(H5Pset_chunk(properties, static_cast<int>(extent.size()), extent.data()), "H5Pset_chunk");
    if (policy.ShuffleFields) check(H5Pset_shuffle(properties), "H5Pset_shuffle");
    if (policy.DeflateFields)
        check(H5Pset_deflate(properties,
                             static_cast<unsigned>(std::clamp(settings.DeflateLevel, 0, 9))),
              "H5Pset_deflate");
    if (settings.ExtraFilter) check(H5Pset_fletcher32(properties), "H5Pset_fletcher32");
}

// Made once per save, since a creation list made per field costs a tenth of writing a small one.
Handle compactLayout() {
    Handle properties = createProperties(H5P_DATASET_CREATE);
    check(H5Pset_layout(properties.get(), H5D_COMPACT), "H5Pset_layout");
    return properties;
}

// The creation list for the field: contiguous (HDF5's default, which writes no fill values),
// the shared compact one, or `chunked`, made here with the chunk size and filters.
hid_t datasetProperties(const std::vector<hsize_t>& shape, std::size_t count,
                        std::size_t elementBytes, const Settings& settings,
                        StorageTransformations& policy, const Handle& compact, Handle& chunked) {
    if (settings.automaticStrategy() != StorageTransformations::AutomaticFilters || count == 0)
        return H5P_DEFAULT;
    if (policy.CompactSmallFields && count * elementBytes < CompactLimit) return compact.get();
    chunked = createProperties(H5P_DATASET_CREATE);
    addFilters(chunked.get(), shape, elementBytes, settings, policy);
    return chunked.get();
}

void writeField(hid_t group, const std::string& name, const MemBase& data, const Settings& settings,
                StorageTransformations& policy, const Handle& compactLayout) {
    const bool single = storesSingle(data, settings);
    const std::vector<double> shift = shiftFor(data, settings);
    const hid_t storedType = single ? H5T_NATIVE_FLOAT : nativeType(data.elementType());
    const std::vector<hsize_t> shape = shapeOf(data);
    Handle space(H5Screate_simple(static_cast<int>(shape.size()), shape.data(), nullptr), H5Sclose,
                 "H5Screate_simple");
    Handle chunked;
    const hid_t properties = datasetProperties(shape, data.elementCount(), H5Tget_size(storedType),
                                               settings, policy, compactLayout, chunked);
    Handle dataset(H5Dcreate2(group, escapeName(name).c_str(), storedType, space.get(), H5P_DEFAULT,
                              properties, H5P_DEFAULT),
                   H5Dclose, "H5Dcreate");
    writeData(dataset.get(), data, single, shift);
    if (!shift.empty())
        writeAttribute(dataset.get(), ShiftAttribute, H5T_NATIVE_DOUBLE, makeSpace(shift.size()),
                       shift.data());
    if (single)
        writeTextAttribute(dataset.get(), MemoryTypeAttribute,
                           {elementTypeName(data.elementType())}, makeScalarSpace());
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

Handle creationProperties(hid_t propertyClass, bool trackCreationOrder) {
    Handle properties = createProperties(propertyClass);
    if (trackCreationOrder)
        check(H5Pset_link_creation_order(properties.get(), H5P_CRT_ORDER_TRACKED),
              "H5Pset_link_creation_order");
    return properties;
}

// What every group and field of one save shares.
struct SaveContext {
    explicit SaveContext(StorageTransformations& policy)
        : Policy(policy),
          GroupCreation(creationProperties(H5P_GROUP_CREATE, policy.TrackCreationOrder)) {}

    StorageTransformations& Policy;
    Handle GroupCreation;
    Handle CompactLayout = compactLayout();
};

void writeGrid(hid_t slice, double time, const GridPtr& grid, SaveContext& save) {
    Handle group = createGroup(slice, escapeName(grid->name()), save.GroupCreation);
    writeGridAttributes(group.get(), *grid);
    const GridWeakPtr weak(grid);
    for (const auto& [name, field] : grid->fields()) {
        if (!field.Data) continue; // nothing to store
        if (std::optional<Settings> settings =
                consultPolicy(save.Policy, time, grid->name(), weak, field))
            writeField(group.get(), name, *field.Data, *settings, save.Policy, save.CompactLayout);
    }
}

void writeSlices(hid_t file, const Bundle& bundle, StorageTransformations& policy) {
    SaveContext save{policy};
    std::size_t index = 0;
    for (const auto& [time, slice] : bundle.slices()) {
        if (!policy.isSaveableTime(time)) continue;
        Handle group = createGroup(file, sliceGroupName(index++), save.GroupCreation);
        writeAttribute(group.get(), TimeAttribute, H5T_NATIVE_DOUBLE, makeScalarSpace(), &time);
        for (const auto& [name, grid] : slice->grids())
            writeGrid(group.get(), time, grid, save);
    }
}

void writeFile(const std::string& name, const Bundle& bundle, StorageTransformations& policy) {
    Handle creation = creationProperties(H5P_FILE_CREATE, policy.TrackCreationOrder);
    Handle access = createProperties(H5P_FILE_ACCESS);
    check(H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST),
          "H5Pset_libver_bounds");
    // Closing then fails while anything inside is still open, so no file goes out half-flushed.
    check(H5Pset_fclose_degree(access.get(), H5F_CLOSE_SEMI), "H5Pset_fclose_degree");
    Handle file(H5Fcreate(name.c_str(), H5F_ACC_EXCL, creation.get(), access.get()), H5Fclose,
                "H5Fcreate");
    writeTextAttribute(file.get(), FormatAttribute, {FormatVersion}, makeScalarSpace());
    writeSlices(file.get(), bundle, policy);
    file.close("H5Fclose");
}

} // namespace

BindResult writeBundleFile(const Bundle& bundle, const std::string& file,
                           const StoragePtr& policy) {
    quietHdf5();
    try {
        StoragePtr used = policy ? policy : StoragePtr(new StorageTransformations(false));
        ReplacementFile target(file);
        writeFile(target.path(), bundle, *used);
        target.commit();
        return {true, "saved " + file};
    } catch (const std::exception& error) {
        return {false, file + ": " + error.what()};
    } catch (...) {
        return {false, file + ": the storage policy failed"};
    }
}

} // namespace Plexa
