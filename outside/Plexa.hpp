// Plexa: the data model. Bundles of time steps (slices), grids by name and fields by name with
// typed data arrays, read from and written to bundle files (HDF5) under a storage policy.
#pragma once

#include "outside/FieldNames.hpp"
#include "outside/PlexaExport.hpp"
#include "outside/Quorix.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace Plexa {

struct ChildrenProperties {};
class BaseSpace;
class Slice;
class Bundle;
class Grid;

// A shared object that owns children of type Child.
template <class Child, class Properties> struct Ownable {
    class PLEXA_API Container : public Quorix::ReferenceBase<Container> {};
};

using BundleContainer = Ownable<Slice, ChildrenProperties>::Container;
using GridContainer = Ownable<BaseSpace, ChildrenProperties>::Container;

} // namespace Plexa

namespace Quorix {

// A bundle gains its first strong reference: its age starts then.
template <> struct PLEXA_API DeferredInitializationTrait<Plexa::BundleContainer> {
    static void call(Plexa::BundleContainer* bundle);
};

} // namespace Quorix

namespace Plexa {

using BundlePtr = Quorix::StrongPtr<Bundle, BundleContainer>;
using GridPtr = Quorix::StrongPtr<Grid, GridContainer>;
using GridWeakPtr = Quorix::WeakPtr<Grid, GridContainer>;
using SlicePtr = Quorix::StrongPtr<Slice>;

// ---------------------------------------------------------------------------------------------
// Data arrays: n tuples of a fixed number of components, stored tuple after tuple.

class PLEXA_API MemBase : public Quorix::Cacheable {
public:
    ~MemBase() override;
    virtual const std::type_info& elementType() const = 0;
    virtual std::size_t elementSize() const = 0;
    virtual const void* rawData() const = 0;
    virtual void* rawData() = 0;

    std::size_t size() const noexcept { return Tuples; }
    int components() const noexcept { return Components; }
    std::size_t elementCount() const noexcept {
        return Tuples * static_cast<std::size_t>(Components);
    }
    std::size_t byteSize() const { return elementCount() * elementSize(); }

protected:
    MemBase(std::size_t tuples, int components) : Tuples(tuples), Components(components) {}

private:
    std::size_t Tuples;
    int Components;
};

using MemPtr = Quorix::StrongPtr<MemBase, Quorix::Cacheable>;

// Asks for an array whose values are left unset, for a reader that writes every one of them next.
struct Uninitialized {};

namespace detail {

// The memory of arrays: from 2 MiB up straight from the kernel, 2 MiB-aligned so that it can be
// backed by huge pages, with released blocks kept for the next arrays of about their size (a
// batch's next file); smaller ones from the heap. Throws std::bad_alloc.
PLEXA_API void* allocateArray(std::size_t bytes, bool zeroed);
PLEXA_API void releaseArray(void* values, std::size_t bytes) noexcept;
// Gives the kept blocks back to the kernel, as before a measure of peak memory.
PLEXA_API void dropKeptArrays() noexcept;

} // namespace detail

// The element types arrays support, each with its short name in messages and files: the one list
// that the array instantiations, the type names, the HDF5 types and the visitors below follow.
#define PLEXA_ELEMENT_TYPES(X)                                                                     \
    X(std::int8_t, "int8")                                                                         \
    X(std::uint8_t, "uint8")                                                                       \
    X(std::int16_t, "int16")                                                                       \
    X(std::uint16_t, "uint16")                                                                     \
    X(std::int32_t, "int32")                                                                       \
    X(std::uint32_t, "uint32")                                                                     \
    X(std::int64_t, "int64")                                                                       \
    X(std::uint64_t, "uint64")                                                                     \
    X(float, "float32")                                                                            \
    X(double, "float64")

template <class T> class PLEXA_API MemArray : public MemBase {
public:
    // Values zero.
    explicit MemArray(std::size_t tuples, int components = 1);
    MemArray(Uninitialized, std::size_t tuples, int components = 1);
    ~MemArray() override;
    MemArray(const MemArray&) = delete;
    MemArray& operator=(const MemArray&) = delete;

    const std::type_info& elementType() const override { return typeid(T); }
    std::size_t elementSize() const override { return sizeof(T); }
    const void* rawData() const override { return Values; }
    void* rawData() override { return Values; }

    T* data() noexcept { return Values; }
    const T* data() const noexcept { return Values; }
    T& operator()(std::size_t tuple, int component = 0) {
        return Values[tuple * static_cast<std::size_t>(components()) + component];
    }
    const T& operator()(std::size_t tuple, int component = 0) const {
        return Values[tuple * static_cast<std::size_t>(components()) + component];
    }

private:
    MemArray(std::size_t tuples, int components, bool zeroed);

    T* Values;
};

template <class T> using MemArrayPtr = Quorix::StrongPtr<MemArray<T>, Quorix::Cacheable>;

#define PLEXA_DECLARE_ARRAY(T, name) extern template class MemArray<T>;
PLEXA_ELEMENT_TYPES(PLEXA_DECLARE_ARRAY)
#undef PLEXA_DECLARE_ARRAY

// Calls f(T{}) with the element type T that `type` names; false for a type arrays do not support.
template <class F> bool visitElementType(const std::type_info& type, F&& f) {
    bool found = false;
#define PLEXA_VISIT_TYPE(T, name)                                                                  \
    if (!found && type == typeid(T)) found = (f(T{}), true);
    PLEXA_ELEMENT_TYPES(PLEXA_VISIT_TYPE)
#undef PLEXA_VISIT_TYPE
    return found;
}

// Calls f(array) with the array as the MemArray<T> it is; false for arrays of other classes.
template <class F> bool visitArray(const MemBase& data, F&& f) {
    bool visited = false;
    visitElementType(data.elementType(), [&](auto sample) {
        if (const auto* array = dynamic_cast<const MemArray<decltype(sample)>*>(&data))
            visited = (f(*array), true);
    });
    return visited;
}

// Makes a strong pointer to a new array, filled with zeros.
template <class T> MemArrayPtr<T> makeArray(std::size_t tuples, int components = 1) {
    return MemArrayPtr<T>(new MemArray<T>(tuples, components));
}

// Makes a strong pointer to a new array whose values are unset, for code that writes every one of
// them next: it saves a pass over the memory.
template <class T> MemArrayPtr<T> makeUninitializedArray(std::size_t tuples, int components = 1) {
    return MemArrayPtr<T>(new MemArray<T>(Uninitialized{}, tuples, components));
}

// Makes an array of the given element type; empty for a type that arrays do not support.
PLEXA_API MemPtr makeArray(const std::type_info& type, std::size_t tuples, int components);
PLEXA_API MemPtr makeUninitializedArray(const std::type_info& type, std::size_t tuples,
                                        int components);

// The short name of a supported element type ("float64", "int32", ...), or "" for others.
PLEXA_API const char* elementTypeName(const std::type_info& type);

// ---------------------------------------------------------------------------------------------
// Fields and grids

struct PLEXA_API FieldID {
    std::string Name;
};

// The layout a field lives on; bundles here know one: the grid's points.
struct PLEXA_API SkeletonID {
    std::string Name = "Points";
};

// A piece of a field's array; fields here are written in one fragment.
class PLEXA_API FragmentID : public Quorix::ReferenceBase<FragmentID> {
public:
    std::size_t Index = 0;
};

// The array a field is written from, as the storage hooks see it.
class PLEXA_API CreativeArrayBase : public Quorix::Creature {
public:
    explicit CreativeArrayBase(MemPtr data) : Data(std::move(data)) {}
    MemPtr Data;
};

class PLEXA_API SaveableAttributes : public Quorix::Attributes {};

namespace detail {

template <class... T, class F> bool visitChunkOf(const Quorix::ChunkBase& chunk, F&& f) {
    const auto visit = [&](const auto* typed) { return typed && (f(*typed), true); };
    return (visit(dynamic_cast<const Quorix::Chunk<T>*>(&chunk)) || ...);
}

} // namespace detail

// Calls f(chunk) with the chunk as the Quorix::Chunk<T> it is, for the types that bundle files
// keep as attributes (texts, double, int64, int32); false for others, which files leave out.
template <class F> bool visitAttribute(const Quorix::ChunkBase& chunk, F&& f) {
    return detail::visitChunkOf<std::string, double, std::int64_t, std::int32_t>(chunk, f);
}

// How a source made a field's values from integers: value = integer * Scale + Offset, per
// component, computed in double as written (the CF rule of scale_factor and add_offset). A NaN
// value stands for the integer Fill where the source names one. The writer stores the integers when
// every value is exactly so, and every reader that applies the rule gets the very same values back.
struct PLEXA_API Packing {
    std::vector<double> Scale;  // one per component
    std::vector<double> Offset; // one per component
    std::optional<std::int64_t> Fill;

    bool empty() const noexcept { return Scale.empty(); }
};

class PLEXA_API Field {
public:
    Field() = default;
    Field(std::string name, MemPtr data) : ID{std::move(name)}, Data(std::move(data)) {}
    const std::string& name() const noexcept { return ID.Name; }

    FieldID ID;
    MemPtr Data;
    // Saved with the field's dataset (units, long names, ...), of the types grid attributes take.
    SaveableAttributes Attributes;
    // How the source packed the values; empty when it did not.
    Packing Packed;
};

// One axis of a structured grid. Uniform when it has no coordinates of its own (node i sits at
// Origin + i * Spacing), rectilinear otherwise (one coordinate per node, in order).
struct PLEXA_API Axis {
    std::string Name;
    std::size_t Extent = 0;
    double Origin = 0;
    double Spacing = 1;
    std::vector<double> Coordinates;

    bool isUniform() const noexcept { return Coordinates.empty(); }
    double coordinate(std::size_t node) const noexcept {
        return isUniform() ? Origin + static_cast<double>(node) * Spacing : Coordinates[node];
    }
};

// How a grid's nodes are laid out: points (no axes; positions are a field like any other) or a
// structured grid of 1 to 3 axes whose nodes are numbered in C order, the last axis fastest.
// Every field of a structured grid holds one value (or tuple) per node.
struct PLEXA_API Topology {
    std::vector<Axis> Axes;

    bool isStructured() const noexcept { return !Axes.empty(); }
    // The product of the extents; 0 for points.
    std::size_t nodeCount() const noexcept;
    // Why the axes make no structured grid (too many, an empty axis, coordinates that do not
    // match the extent or are not finite, ...); empty when they do.
    std::string problem() const;
    // "points", or the extents and axis names: "structured 3 x 241 x 480 (level, latitude,
    // longitude)", for messages.
    std::string summary() const;

    // Same axes: names, extents and coordinates (uniform ones by origin and spacing).
    bool operator==(const Topology& other) const;
    bool operator!=(const Topology& other) const { return !(*this == other); }
};

class PLEXA_API Grid : public GridContainer, public SaveableAttributes, public Quorix::Ageable {
public:
    explicit Grid(std::string name);
    ~Grid() override;

    const std::string& name() const noexcept { return Name; }

    // Adds or replaces the field under name and returns it.
    Field& addField(const std::string& name, MemPtr data);
    Field* findField(const std::string& name);
    const Field* findField(const std::string& name) const;
    bool removeField(const std::string& name);
    const std::map<std::string, Field>& fields() const noexcept { return Fields; }

    const Topology& topology() const noexcept { return Layout; }
    // Makes the grid structured (or points again, with no axes); false with the cause in error,
    // the grid unchanged, when topology.problem() names one.
    bool setTopology(Topology topology, std::string& error);

private:
    std::string Name;
    std::map<std::string, Field> Fields;
    Topology Layout;
};

// One time step: grids by name.
class PLEXA_API Slice : public Quorix::ReferenceBase<Slice>, public Quorix::Ageable {
public:
    explicit Slice(double time) : Time(time) {}
    ~Slice() override;

    double time() const noexcept { return Time; }
    // The grid under name, made empty if there is none yet.
    GridPtr addGrid(const std::string& name);
    // Puts the grid in under its own name, replacing one of the same name.
    void insertGrid(const GridPtr& grid);
    GridPtr findGrid(const std::string& name) const;
    bool removeGrid(const std::string& name);
    const std::map<std::string, GridPtr>& grids() const noexcept { return Grids; }

private:
    double Time;
    std::map<std::string, GridPtr> Grids;
};

// ---------------------------------------------------------------------------------------------
// Storage policy

// Shape of a dataset, outermost extent first.
struct PLEXA_API DynamicSize {
    std::vector<unsigned long long> Extent;
};

// Which arrays lose precision on the way to disk: none unless asked. By default double arrays
// get the numerical shift, which the writer makes an exact integer packing where the values are
// integers * scale + offset (the field's Packed hint), floats where every value is one, and their
// own precision otherwise. Asked for, single precision stores doubles as float relative to a
// per-component shift (the midpoint of their range), and kept bits round floating point mantissas
// to that many significant bits; the file records what each did and its largest error.
class PLEXA_API PrecisionTransformation {
public:
    // The named fields, or every field when none is named.
    void askSinglePrecision(std::vector<std::string> fields);
    // bits from 1 to 52 (23 and more leave floats as they are); the named fields or every field.
    void askKeptBits(int bits, std::vector<std::string> fields);

    bool WriteAsSinglePrecision(const std::string& field, const std::type_info& type) const;
    bool EnableNumericalShift(const std::string& field, const std::type_info& type) const;
    // The significant bits a floating point field keeps; 0 keeps them all.
    int KeptBits(const std::string& field, const std::type_info& type) const;

private:
    struct PLEXA_API Choice {
        bool Asked = false;
        std::vector<std::string> Fields; // empty: every field
        bool covers(const std::string& field) const;
    };
    Choice Single;
    Choice Rounded;
    int Bits = 0;
};

class PLEXA_API StorageTransformations : public Quorix::Interface<StorageTransformations>,
                                         public Quorix::typemap<Quorix::TypeInfo> {
public:
    // 0: contiguous, unfiltered datasets. 1: chunked datasets with the filters that the
    // compression switches allow.
    enum AutoSettingStrategy { NoAutomaticFilters = 0, AutomaticFilters = 1 };

    struct PLEXA_API FilterSettings {
        // Unknown values count as 0.
        void setAutomaticStrategy(int strategy);
        AutoSettingStrategy automaticStrategy() const noexcept { return Strategy; }

        AutoSettingStrategy Strategy = NoAutomaticFilters;
        bool SinglePrecision = false;
        bool NumericalShift = false;
        // A checksum (Fletcher-32) on the field's chunks.
        bool ExtraFilter = false;
        int DeflateLevel = 6;
    };

    explicit StorageTransformations(bool trackCreationOrder);
    ~StorageTransformations() override;

    PrecisionTransformation Precision;
    // The three compression switches; strategy 1 applies those that are on.
    bool DeflateFields = false;
    bool ShuffleFields = false;
    bool CompactSmallFields = false;
    // The extra switch: groups remember the order in which their members were created.
    bool TrackCreationOrder = false;

    // Hooks asked while a bound bundle is written, in this order of slots.
    virtual bool SkipStorage(double time, const std::string& gridName, const GridWeakPtr& grid,
                             const SkeletonID& skeleton, const std::string& skeletonName,
                             const Field& field, const std::string& fieldName,
                             CreativeArrayBase& array,
                             const Quorix::StrongPtr<FragmentID>& fragment) const;
    virtual FilterSettings getFilterSettings(double time, const std::string& gridName,
                                             const GridWeakPtr& grid, const SkeletonID& skeleton,
                                             const std::string& skeletonName, const Field& field,
                                             const std::string& fieldName, CreativeArrayBase& array,
                                             const Quorix::StrongPtr<FragmentID>& fragment,
                                             const MemPtr& data) const;
    virtual bool isSaveableTime(double time) const;
    virtual std::string getExternalLocation(double time, const std::string& gridName,
                                            const SkeletonID& skeleton,
                                            const std::string& skeletonName,
                                            const std::string& fieldName) const;
    virtual std::string getExternalLocationPrefix(double time, const std::string& gridName,
                                                  const SkeletonID& skeleton,
                                                  const std::string& skeletonName,
                                                  const std::string& fieldName) const;
    virtual bool setFieldPacking(double time, const std::string& gridName, const GridWeakPtr& grid,
                                 const SkeletonID& skeleton, const std::string& skeletonName,
                                 const Field& field, const std::string& fieldName,
                                 CreativeArrayBase& array,
                                 const Quorix::StrongPtr<FragmentID>& fragment) const;
    virtual std::string getExternalFileReference(const std::string& file,
                                                 const std::string& object);
    virtual std::string getExternalLinkFilename(const std::string& file,
                                                const std::string& object) const;
    // Chunk extents for a dataset of the given shape and element size, about 1 MiB a chunk.
    virtual DynamicSize computeChunkSize(const DynamicSize& shape, unsigned long long elementBytes,
                                         std::string& description);
    virtual bool isSaveableField(const FieldID& id, const Field& field, const GridWeakPtr& grid,
                                 const std::string& gridName, double time,
                                 const std::string& skeletonName, const SkeletonID& skeleton);
    virtual bool
    isSaveableFragment(const Quorix::StrongPtr<FragmentID>& fragment,
                       const Quorix::StrongPtr<CreativeArrayBase, Quorix::Creature>& array,
                       const FieldID& id, const Field& field, const GridWeakPtr& grid,
                       const std::string& gridName, double time, const std::string& skeletonName,
                       const SkeletonID& skeleton);
    // True when the fragment is in the file already and need not be written again.
    virtual bool isSaved(const Quorix::StrongPtr<CreativeArrayBase, Quorix::Creature>& array,
                         const Quorix::StrongPtr<FragmentID>& fragment, const FieldID& id,
                         const Field& field, const GridWeakPtr& grid, const std::string& gridName,
                         double time, const std::string& skeletonName, const SkeletonID& skeleton);
};

using StoragePtr = Quorix::StrongPtr<StorageTransformations, Quorix::InterfaceBase>;

// ---------------------------------------------------------------------------------------------
// Read options

// What the text cloud reader is told: the column delimiter (',', ';', '\t' or ' ' for runs of
// blanks; 0 detects it) and the columns that hold x, y and z (empty: the columns named x, y, z).
struct PLEXA_API TextCloudOptions {
    char Delimiter = 0;
    std::vector<std::string> PositionColumns;
};

// What the netCDF reader is told: only the variables and the grids (by the names the file gives)
// named here, when they name any of the file's (empty: all); what they leave out is never refused.
struct PLEXA_API NetcdfOptions {
    std::vector<std::string> Fields;
    std::vector<std::string> Grids;
};

// What readers may be told beyond the file's name, passed with each load: where the data goes,
// for every format that does not name its grids and times itself, which of its time steps a file
// of several is read at, and each reader's own knobs.
struct PLEXA_API ReadOptions {
    std::string GridName; // empty: the file's stem
    double Time = 0;      // the time step of formats that carry none
    // netCDF and bundle files: only the time steps at these values (empty: every step), so that
    // a file larger than memory is read a few steps at a time.
    std::vector<double> Times;
    TextCloudOptions Text;
    NetcdfOptions Netcdf;
};

// ---------------------------------------------------------------------------------------------
// Bundles

// What binding and saving answer: success and a text that says what happened or went wrong.
struct PLEXA_API BindResult {
    bool Ok = false;
    std::string Text;
    explicit operator bool() const noexcept { return Ok; }
};

class PLEXA_API Bundle : public BundleContainer, public Quorix::Ageable {
public:
    Bundle();
    ~Bundle() override;

    // The slice at time, made empty if there is none yet.
    SlicePtr addSlice(double time);
    SlicePtr findSlice(double time) const;
    bool removeSlice(double time);
    const std::map<double, SlicePtr>& slices() const noexcept { return Slices; }

    // Loads the named files into `into` (a new bundle when it is empty), each through the reader
    // for its extension with the read options, and merged by mergeBundle: later files win for
    // fields of one name, and a file whose grid has another layout than the grid of its name and
    // time in the bundle is refused whole. On failure the flag is false and lastError() of the
    // returned bundle names the file and the cause.
    static BundlePtr load(bool& success, const Quorix::StrongPtr<Quorix::LoaderParameters>& files,
                          const BundlePtr& into, const ReadOptions& options);
    // The same with the default read options.
    static BundlePtr load(bool& success, const Quorix::StrongPtr<Quorix::LoaderParameters>& files,
                          const BundlePtr& into);
    const std::string& lastError() const noexcept { return LastError; }
    // The cause alone, without the file, for messages that name the file themselves.
    const std::string& lastCause() const noexcept { return LastCause; }

    // Binds to an existing bundle file and loads what it holds, so a converter extends it in
    // place. The policy must be a StorageTransformations or empty (then the defaults apply).
    BindResult bindTo(const std::string& file,
                      const Quorix::StrongPtr<Quorix::InterfaceBase>& policy,
                      const Quorix::StrongPtr<Quorix::InterfaceBase>& extra);
    // Binds to a file that is made anew on the next save.
    BindResult bindToNew(const std::string& file, const StoragePtr& policy);
    void unbind();
    bool isBound() const noexcept { return !BoundFile.empty(); }
    const std::string& boundFile() const noexcept { return BoundFile; }

    // Writes the bundle to its bound file now; the old file stays intact if the write fails.
    BindResult save();
    // True when a slice, grid or field changed since the last load or save.
    bool isModified() const;

    // Only save() writes: a bound bundle released with unsaved changes is reported on the
    // standard error stream, and its file stays as it was.
    void extremeUnction() override;

private:
    // Every failed load, bind or save leaves its reason in lastError() ("<file>: <cause>") as
    // well as in its result.
    BindResult failure(const std::string& file, const std::string& cause);

    std::map<double, SlicePtr> Slices;
    std::string BoundFile;
    StoragePtr Policy;
    std::uint64_t SavedAt = 0;
    std::string LastError;
    std::string LastCause;
};

// ---------------------------------------------------------------------------------------------
// Merging: the one rule by which grids of one bundle join those of another

// What clashed when a grid met the grid of its name and time in the bundle it is merged into.
struct PLEXA_API MergeConflict {
    enum class Kind {
        Layout, // points against a structured grid, or other axes
        Points, // point grids of different point counts
        Values  // a field of one name with other values (type, components, size or bits)
    };
    Kind What = Kind::Values;
    double Time = 0;
    std::string Grid;
    std::string Field; // Values: the field that differs; else empty
    // What the merged grid and the grid it meets have: their layouts' summaries, or their point
    // counts; empty for Values.
    std::string Incoming;
    std::string Existing;
};

// What a conflict does: a refused kind leaves the grid out (the bundle as it was); the other
// kinds merge, the incoming fields replacing those of the same name.
struct PLEXA_API MergeOptions {
    bool RefuseLayouts = true;
    bool RefusePoints = false;
    bool RefuseValues = false;

    bool refuses(MergeConflict::Kind kind) const noexcept;
};

// The conflicts of merging the grid into the slice at its time; fields are compared only where
// layouts and point counts agree.
PLEXA_API std::vector<MergeConflict> mergeConflicts(const Slice& into, const Grid& grid);
// Merges the grid into the slice: as it is when the slice has no grid of its name, else its
// fields (sharing their arrays, with attributes and packing) and its attributes join those of
// the grid there. Nothing changes when a conflict is of a kind the options refuse. Returns every
// conflict found.
PLEXA_API std::vector<MergeConflict> mergeGrid(Slice& into, const GridPtr& grid,
                                               const MergeOptions& options);
// Merges every grid of `from` into `into` by time and name, or nothing at all when any conflict
// is of a refused kind. Returns every conflict found.
PLEXA_API std::vector<MergeConflict> mergeBundle(Bundle& into, const Bundle& from,
                                                 const MergeOptions& options);

// ---------------------------------------------------------------------------------------------
// Input formats

// What an input file holds, as the programs that take it know it.
enum class InputKind { PointCloud, StructuredGrids, Bundle };
// "point cloud", "structured grids", "bundle".
PLEXA_API const char* kindName(InputKind kind);

// A file type that a reader reads: what it holds, and its words in messages ("LAS file").
struct PLEXA_API InputFormat {
    const char* Extension; // lower case, with its dot
    InputKind Kind;
    const char* Words;
    bool Refused = false; // known only so that its reader refuses it with advice (".laz")
};

// The file's extension in lower case, with its dot: ".las"; empty when it has none.
PLEXA_API std::string extensionOf(const std::string& file);
// The format of the file's extension, in any letter case; null for an unknown one.
PLEXA_API const InputFormat* formatOf(const std::string& file);
// Whether a bundle may be bound to the file to extend it in place: only bundle files.
PLEXA_API bool isBindableFormat(const std::string& file);
// Whether the file's format is known only to be refused, so that nothing is ever made of it.
PLEXA_API bool isRefusedFormat(const std::string& file);
// The extensions of the formats of these kinds (none named: of every kind), for messages:
// ".csv, .las, ...".
PLEXA_API std::string knownExtensions(const std::vector<InputKind>& kinds = {});

// Writes a bundle to a file under a policy (empty: defaults), through a temporary file beside it.
PLEXA_API BindResult writeBundleFile(const Bundle& bundle, const std::string& file,
                                     const StoragePtr& policy);

// Writes one bundle file in parts, e.g. a file larger than memory a few time steps at a time:
// each part's slices follow those of the parts before, written as writeBundleFile writes a whole
// bundle, into a temporary file beside the target that commit() puts in its place. A part may
// continue the time step written last with grids of other names, so that a step need not be in
// memory whole. Until commit() the target stays as it was; a writer let go without commit()
// removes its temporary file.
class PLEXA_API BundleFileParts {
public:
    BundleFileParts(std::string file, StoragePtr policy);
    ~BundleFileParts();
    BundleFileParts(const BundleFileParts&) = delete;
    BundleFileParts& operator=(const BundleFileParts&) = delete;

    // Writes the part's slices; their times must follow the times written before, or continue
    // the last one. After a failure the writer refuses everything, and the target stays as it was.
    BindResult append(const Bundle& part);
    // Puts the file written so far in place of the target.
    BindResult commit();
    const std::string& file() const noexcept { return File; }
    // Why the writer refuses, without the file's name; empty while it does not.
    const std::string& cause() const noexcept { return Cause; }

private:
    struct Open;
    BindResult failure(std::string cause);

    std::string File;
    StoragePtr Policy;
    std::unique_ptr<Open> Writing; // from the first part on
    std::string Failed;            // why the writer refuses: "<file>: <cause>"
    std::string Cause;
};

// The time steps of a netCDF file as its reader reads them under the options (their values; the
// options' time when the file has no time dimension), and the bytes one step of the selected
// fields takes in memory. False with the cause in error when the reader would refuse the file.
struct PLEXA_API TimeSteps {
    std::vector<double> Times;
    std::uint64_t StepBytes = 0;
};
PLEXA_API bool readTimeSteps(const std::string& file, const ReadOptions& options, TimeSteps& steps,
                             std::string& error);

// The memory this process may still take, in bytes: the machine's available memory
// (MemAvailable), less when a data segment limit leaves less room.
PLEXA_API std::uint64_t availableMemory();

// A file read one grid of one time step at a time, so that memory holds what is read and no more.
// A bundle file is read where it lies; a file of another format is read whole at the first grid
// asked for and let go once every grid was taken.
class PLEXA_API FileSteps {
public:
    // time -> grid -> names of its fields
    using Contents = std::map<double, std::map<std::string, std::vector<std::string>>>;

    FileSteps();
    ~FileSteps();
    FileSteps(const FileSteps&) = delete;
    FileSteps& operator=(const FileSteps&) = delete;

    // Reads what the file holds, without values (another format is read to find out); false
    // with the file and the cause in error.
    bool open(const std::string& file, const ReadOptions& options, std::string& error);
    const Contents& contents() const noexcept { return Held; }
    // The grid of that time and name with its values; empty, with the file and the cause in
    // error, when it cannot be read.
    GridPtr takeGrid(double time, const std::string& grid, std::string& error);

private:
    struct Source;
    std::unique_ptr<Source> From;
    Contents Held;
};

// Failures inside HDF5 read as their cause in words ("truncated: holds 3000 of 4593 bytes");
// detailed, they also carry HDF5's own account of the calls that failed. Process-wide.
PLEXA_API void setDetailedErrors(bool detailed) noexcept;

// The text with control bytes (NUL included) shown as "\x1B", safe to print on a terminal.
PLEXA_API std::string printable(const std::string& text);

// How a field is stored in a bundle file, for inspection.
struct PLEXA_API StoredField {
    double Time = 0;
    std::string Grid;
    std::string Field;
    std::string Path;       // the dataset's HDF5 path
    std::string StoredType; // element type on disk, e.g. "float32"
    std::string MemoryType; // element type after loading, e.g. "float64"
    std::vector<unsigned long long> Shape;
    // The leading dimensions of Shape that number the rows: a structured grid's axes, or one.
    std::size_t RowDimensions = 1;
    bool Chunked = false;
    bool Compact = false; // kept in the object header, unfiltered
    bool Deflate = false;
    int DeflateLevel = 0;
    bool Shuffle = false;
    bool Fletcher32 = false;
    std::vector<double> Shift; // empty when stored without a numerical shift
    // Stored one dataset per component (Path names the first), whose packings differ.
    bool SplitComponents = false;
    // Packed integers: value = integer * Scale + Offset, per component; empty when not packed.
    std::vector<double> Scale;
    std::vector<double> Offset;

    // The tuples (a structured grid's nodes) and the components of each.
    unsigned long long rows() const;
    unsigned long long components() const;
};

// Lists the stored fields of a bundle file; false with a reason in error when it cannot.
PLEXA_API bool describeFile(const std::string& file, std::vector<StoredField>& fields,
                            std::string& error);

} // namespace Plexa
