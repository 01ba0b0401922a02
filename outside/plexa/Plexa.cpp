#include "outside/Plexa.hpp"

#include "outside/plexa/detail/BlockCache.hpp"
#include "outside/plexa/detail/BundleFormat.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>

namespace Quorix {

void DeferredInitializationTrait<Plexa::BundleContainer>::call(Plexa::BundleContainer* bundle) {
    if (auto* plexaBundle = dynamic_cast<Plexa::Bundle*>(bundle)) plexaBundle->touch();
}

} // namespace Quorix

namespace Plexa {

// ---------------------------------------------------------------------------------------------
// Arrays

MemBase::~MemBase() = default;

namespace detail {

namespace {

constexpr std::size_t HugePage = std::size_t(2) << 20;

// Never destroyed: arrays in static objects may be released after it would have been.
BlockCache& bigBlocks() {
    static BlockCache* const blocks = new BlockCache;
    return *blocks;
}

} // namespace

void* allocateArray(std::size_t bytes, bool zeroed) {
    if (bytes >= HugePage) return bigBlocks().take(bytes, zeroed);
    void* values = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (!values && bytes > 0) throw std::bad_alloc();
    return values;
}

void releaseArray(void* values, std::size_t bytes) noexcept {
    if (bytes < HugePage) return std::free(values);
    bigBlocks().give(values);
}

void dropKeptArrays() noexcept {
    bigBlocks().drop();
}

} // namespace detail

namespace {

std::size_t bytesOf(std::size_t tuples, int components, std::size_t elementSize) {
    const auto elements = tuples * static_cast<std::size_t>(components);
    const bool overflows = components < 0 || (components > 0 && elements / components != tuples) ||
                           elements > std::numeric_limits<std::size_t>::max() / elementSize;
    if (overflows) throw std::bad_alloc();
    return elements * elementSize;
}

} // namespace

template <class T>
MemArray<T>::MemArray(std::size_t tuples, int components, bool zeroed)
    : MemBase(tuples, components),
      Values(
          static_cast<T*>(detail::allocateArray(bytesOf(tuples, components, sizeof(T)), zeroed))) {
    static_assert(std::is_trivially_default_constructible_v<T>, "arrays hold plain numbers");
}

template <class T>
MemArray<T>::MemArray(std::size_t tuples, int components) : MemArray(tuples, components, true) {}

template <class T>
MemArray<T>::MemArray(Uninitialized, std::size_t tuples, int components)
    : MemArray(tuples, components, false) {}

template <class T> MemArray<T>::~MemArray() {
    detail::releaseArray(Values, byteSize());
}

#define PLEXA_DEFINE_ARRAY(T, name) template class MemArray<T>;
PLEXA_ELEMENT_TYPES(PLEXA_DEFINE_ARRAY)
#undef PLEXA_DEFINE_ARRAY

namespace {

// Tag: nothing for zeroed values, Uninitialized for unset ones.
template <class... Tag>
MemPtr arrayOfType(const std::type_info& type, std::size_t tuples, int components, Tag... tag) {
    MemPtr result;
    visitElementType(type, [&](auto sample) {
        result = MemPtr(new MemArray<decltype(sample)>(tag..., tuples, components));
    });
    return result;
}

} // namespace

MemPtr makeArray(const std::type_info& type, std::size_t tuples, int components) {
    return arrayOfType(type, tuples, components);
}

MemPtr makeUninitializedArray(const std::type_info& type, std::size_t tuples, int components) {
    return arrayOfType(type, tuples, components, Uninitialized{});
}

const char* elementTypeName(const std::type_info& type) {
#define PLEXA_TYPE_NAME(T, name)                                                                   \
    if (type == typeid(T)) return name;
    PLEXA_ELEMENT_TYPES(PLEXA_TYPE_NAME)
#undef PLEXA_TYPE_NAME
    return "";
}

// ---------------------------------------------------------------------------------------------
// Grids and slices

Grid::Grid(std::string name) : Name(std::move(name)) {
    touch();
}

Grid::~Grid() = default;

Field& Grid::addField(const std::string& name, MemPtr data) {
    touch();
    Field& field = Fields[name];
    field = Field(name, std::move(data));
    return field;
}

Field* Grid::findField(const std::string& name) {
    auto found = Fields.find(name);
    return found == Fields.end() ? nullptr : &found->second;
}

const Field* Grid::findField(const std::string& name) const {
    auto found = Fields.find(name);
    return found == Fields.end() ? nullptr : &found->second;
}

bool Grid::removeField(const std::string& name) {
    if (Fields.erase(name) == 0) return false;
    touch();
    return true;
}

bool Grid::setTopology(Topology topology, std::string& error) {
    error = topology.problem();
    if (!error.empty()) return false;
    touch();
    Layout = std::move(topology);
    return true;
}

std::size_t Topology::nodeCount() const noexcept {
    if (Axes.empty()) return 0;
    std::size_t nodes = 1;
    for (const Axis& axis : Axes)
        nodes *= axis.Extent;
    return nodes;
}

std::string Topology::problem() const {
    if (Axes.size() > 3)
        return "a structured grid has 1 to 3 axes, not " + std::to_string(Axes.size());
    std::size_t nodes = 1;
    for (const Axis& axis : Axes) {
        const std::string which = "axis \"" + detail::printableText(axis.Name) + "\"";
        if (axis.Extent == 0) return which + " has no nodes";
        if (nodes > std::numeric_limits<std::size_t>::max() / axis.Extent)
            return which + " makes more nodes than memory can address";
        nodes *= axis.Extent;
        if (axis.isUniform()) {
            if (!std::isfinite(axis.Origin) || !std::isfinite(axis.Spacing))
                return which + " has an origin or spacing that is not a finite number";
            continue;
        }
        if (axis.Coordinates.size() != axis.Extent)
            return which + " has " + std::to_string(axis.Coordinates.size()) + " coordinates for " +
                   std::to_string(axis.Extent) + " nodes";
        for (double value : axis.Coordinates)
            if (!std::isfinite(value))
                return which + " has a coordinate that is not a finite number";
    }
    return {};
}

std::string Topology::summary() const {
    if (Axes.empty()) return "points";
    std::string extents;
    std::string names;
    for (const Axis& axis : Axes) {
        extents += (extents.empty() ? "" : " x ") + std::to_string(axis.Extent);
        names += (names.empty() ? "" : ", ") + detail::printableText(axis.Name);
    }
    return "structured " + extents + " (" + names + ")";
}

bool Topology::operator==(const Topology& other) const {
    return std::equal(
        Axes.begin(), Axes.end(), other.Axes.begin(), other.Axes.end(),
        [](const Axis& a, const Axis& b) {
            return a.Name == b.Name && a.Extent == b.Extent && a.Coordinates == b.Coordinates &&
                   (!a.isUniform() || (a.Origin == b.Origin && a.Spacing == b.Spacing));
        });
}

Slice::~Slice() = default;

GridPtr Slice::addGrid(const std::string& name) {
    GridPtr& grid = Grids[name];
    if (!grid) {
        grid = GridPtr(new Grid(name));
        touch();
    }
    return grid;
}

void Slice::insertGrid(const GridPtr& grid) {
    if (!grid) return;
    Grids[grid->name()] = grid;
    touch();
}

GridPtr Slice::findGrid(const std::string& name) const {
    auto found = Grids.find(name);
    return found == Grids.end() ? GridPtr() : found->second;
}

bool Slice::removeGrid(const std::string& name) {
    if (Grids.erase(name) == 0) return false;
    touch();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Storage policy defaults

bool PrecisionTransformation::Choice::covers(const std::string& field) const {
    return Asked &&
           (Fields.empty() || std::find(Fields.begin(), Fields.end(), field) != Fields.end());
}

void PrecisionTransformation::askSinglePrecision(std::vector<std::string> fields) {
    Single = {true, std::move(fields)};
}

void PrecisionTransformation::askKeptBits(int bits, std::vector<std::string> fields) {
    Rounded = {true, std::move(fields)};
    Bits = bits;
}

bool PrecisionTransformation::WriteAsSinglePrecision(const std::string& field,
                                                     const std::type_info& type) const {
    return type == typeid(double) && Single.covers(field);
}

bool PrecisionTransformation::EnableNumericalShift(const std::string&,
                                                   const std::type_info& type) const {
    return type == typeid(double);
}

int PrecisionTransformation::KeptBits(const std::string& field, const std::type_info& type) const {
    const bool floating = type == typeid(double) || type == typeid(float);
    return floating && Rounded.covers(field) ? Bits : 0;
}

void StorageTransformations::FilterSettings::setAutomaticStrategy(int strategy) {
    Strategy = strategy == 1 ? AutomaticFilters : NoAutomaticFilters;
}

StorageTransformations::StorageTransformations(bool trackCreationOrder)
    : TrackCreationOrder(trackCreationOrder) {}

StorageTransformations::~StorageTransformations() = default;

bool StorageTransformations::SkipStorage(double, const std::string&, const GridWeakPtr&,
                                         const SkeletonID&, const std::string&, const Field&,
                                         const std::string&, CreativeArrayBase&,
                                         const Quorix::StrongPtr<FragmentID>&) const {
    return false;
}

StorageTransformations::FilterSettings StorageTransformations::getFilterSettings(
    double, const std::string&, const GridWeakPtr&, const SkeletonID&, const std::string&,
    const Field&, const std::string&, CreativeArrayBase&, const Quorix::StrongPtr<FragmentID>&,
    const MemPtr&) const {
    return FilterSettings();
}

bool StorageTransformations::isSaveableTime(double) const {
    return true;
}

std::string StorageTransformations::getExternalLocation(double, const std::string&,
                                                        const SkeletonID&, const std::string&,
                                                        const std::string&) const {
    return std::string();
}

std::string StorageTransformations::getExternalLocationPrefix(double, const std::string&,
                                                              const SkeletonID&, const std::string&,
                                                              const std::string&) const {
    return std::string();
}

bool StorageTransformations::setFieldPacking(double, const std::string&, const GridWeakPtr&,
                                             const SkeletonID&, const std::string&, const Field&,
                                             const std::string&, CreativeArrayBase&,
                                             const Quorix::StrongPtr<FragmentID>&) const {
    return false;
}

std::string StorageTransformations::getExternalFileReference(const std::string&,
                                                             const std::string&) {
    return std::string();
}

std::string StorageTransformations::getExternalLinkFilename(const std::string&,
                                                            const std::string&) const {
    return std::string();
}

DynamicSize StorageTransformations::computeChunkSize(const DynamicSize& shape,
                                                     unsigned long long elementBytes,
                                                     std::string& description) {
    constexpr unsigned long long targetBytes = 1ull << 20;
    DynamicSize chunk = shape;
    if (chunk.Extent.empty()) return chunk;
    unsigned long long rowBytes = std::max<unsigned long long>(elementBytes, 1);
    for (std::size_t i = 1; i < chunk.Extent.size(); ++i)
        rowBytes *= std::max(chunk.Extent[i], 1ull);
    chunk.Extent[0] =
        std::clamp<unsigned long long>(targetBytes / rowBytes, 1, std::max(shape.Extent[0], 1ull));
    description = "rows of about 1 MiB";
    return chunk;
}

bool StorageTransformations::isSaveableField(const FieldID&, const Field&, const GridWeakPtr&,
                                             const std::string&, double, const std::string&,
                                             const SkeletonID&) {
    return true;
}

bool StorageTransformations::isSaveableFragment(
    const Quorix::StrongPtr<FragmentID>&,
    const Quorix::StrongPtr<CreativeArrayBase, Quorix::Creature>&, const FieldID&, const Field&,
    const GridWeakPtr&, const std::string&, double, const std::string&, const SkeletonID&) {
    return true;
}

bool StorageTransformations::isSaved(const Quorix::StrongPtr<CreativeArrayBase, Quorix::Creature>&,
                                     const Quorix::StrongPtr<FragmentID>&, const FieldID&,
                                     const Field&, const GridWeakPtr&, const std::string&, double,
                                     const std::string&, const SkeletonID&) {
    return false;
}

// ---------------------------------------------------------------------------------------------
// Bundles

Bundle::Bundle() = default;

Bundle::~Bundle() = default;

SlicePtr Bundle::addSlice(double time) {
    SlicePtr& slice = Slices[time];
    if (!slice) {
        slice = SlicePtr(new Slice(time));
        touch();
    }
    return slice;
}

SlicePtr Bundle::findSlice(double time) const {
    auto found = Slices.find(time);
    return found == Slices.end() ? SlicePtr() : found->second;
}

bool Bundle::removeSlice(double time) {
    if (Slices.erase(time) == 0) return false;
    touch();
    return true;
}

bool Bundle::isModified() const {
    if (age() > SavedAt) return true;
    for (const auto& [time, slice] : Slices) {
        if (slice->age() > SavedAt) return true;
        for (const auto& [name, grid] : slice->grids())
            if (grid->age() > SavedAt) return true;
    }
    return false;
}

void Bundle::unbind() {
    BoundFile.clear();
    Policy.release();
}

void Bundle::extremeUnction() {
    if (!isBound() || !isModified()) return;
    // Saving is the owner's decision: a write nobody asked for could replace a good file with a
    // half-done one, so the loss is only reported.
    std::fprintf(stderr, "Plexa::Bundle: %s was changed but never saved; nothing was written\n",
                 detail::printableText(BoundFile).c_str());
}

} // namespace Plexa
