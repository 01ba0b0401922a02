// Hostile bundle files, made with plain HDF5 calls: each is refused with a message that names the
// cause, and nothing of it reaches the bundle.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>

namespace {

void writeAttribute(hid_t object, const char* name, hid_t type, const void* value) {
    hid_t space = H5Screate(H5S_SCALAR);
    hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    ASSERT_GE(attribute, 0) << name;
    H5Awrite(attribute, type, value);
    H5Aclose(attribute);
    H5Sclose(space);
}

void writeText(hid_t object, const char* name, const char* text) {
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, std::strlen(text));
    writeAttribute(object, name, type, text);
    H5Tclose(type);
}

// Variable-length text lives in HDF5's global heap, which HDF5 trusts blindly when it reads.
void writeVariableText(hid_t object, const char* name, const char* text) {
    hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    writeAttribute(object, name, type, &text);
    H5Tclose(type);
}

hid_t makeSlice(hid_t file, const char* name, double time) {
    hid_t slice = H5Gcreate2(file, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    writeAttribute(slice, "Time", H5T_NATIVE_DOUBLE, &time);
    return slice;
}

// A dataset of `type` with the given extent, chunked so that it may hold no stored bytes at all.
void makeField(hid_t grid, const char* name, hid_t type, std::vector<hsize_t> extent,
               hid_t properties = H5P_DEFAULT) {
    hid_t space = H5Screate_simple(static_cast<int>(extent.size()), extent.data(), nullptr);
    hid_t dataset = H5Dcreate2(grid, name, type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    ASSERT_GE(dataset, 0) << name;
    H5Dclose(dataset);
    H5Sclose(space);
}

// A field whose stored bytes (zeros) are in the file.
void makeStoredField(hid_t grid, const char* name, hid_t type, std::vector<hsize_t> extent) {
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_alloc_time(properties, H5D_ALLOC_TIME_EARLY);
    makeField(grid, name, type, extent, properties);
    H5Pclose(properties);
}

void makeEmptyChunkedField(hid_t grid, const char* name, std::vector<hsize_t> extent) {
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    std::vector<hsize_t> chunk(extent.size(), 1);
    H5Pset_chunk(properties, static_cast<int>(chunk.size()), chunk.data());
    H5Pset_deflate(properties, 6);
    H5Pset_fill_time(properties, H5D_FILL_TIME_NEVER);
    makeField(grid, name, H5T_NATIVE_DOUBLE, extent, properties);
    H5Pclose(properties);
}

void setMemoryType(hid_t grid, const char* field, const char* type) {
    hid_t dataset = H5Dopen2(grid, field, H5P_DEFAULT);
    writeText(dataset, "MemoryType", type);
    H5Dclose(dataset);
}

// A deflated field of `rows` doubles in one chunk, with or without a checksum.
hid_t makeDeflatedField(hid_t grid, const char* name, hsize_t rows, bool checksum) {
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(properties, 1, &rows);
    H5Pset_deflate(properties, 6);
    if (checksum) H5Pset_fletcher32(properties);
    hid_t space = H5Screate_simple(1, &rows, nullptr);
    hid_t dataset =
        H5Dcreate2(grid, name, H5T_NATIVE_DOUBLE, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    H5Sclose(space);
    H5Pclose(properties);
    return dataset;
}

// The stored bytes that HDF5's own filters make of `rows` doubles.
std::vector<unsigned char> deflatedChunk(hid_t grid, hsize_t rows, bool checksum) {
    hid_t dataset = makeDeflatedField(grid, "source", rows, checksum);
    const std::vector<double> values(rows, 1.5);
    H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    const hsize_t origin = 0;
    hsize_t size = 0;
    H5Dget_chunk_storage_size(dataset, &origin, &size);
    std::vector<unsigned char> stored(size);
    std::uint32_t skipped = 0;
    H5Dread_chunk(dataset, H5P_DEFAULT, &origin, &skipped, stored.data());
    H5Dclose(dataset);
    H5Ldelete(grid, "source", H5P_DEFAULT);
    return stored;
}

// A field of `rows` doubles whose only chunk holds `stored` as it is.
void makeRawChunkField(hid_t grid, hsize_t rows, bool checksum,
                       const std::vector<unsigned char>& stored) {
    hid_t dataset = makeDeflatedField(grid, "raw", rows, checksum);
    const hsize_t origin = 0;
    H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, &origin, stored.size(), stored.data());
    H5Dclose(dataset);
}

void writeNumbers(hid_t object, const char* name, hid_t type, std::vector<hsize_t> values) {
    hsize_t count = values.size();
    hid_t space = H5Screate_simple(1, &count, nullptr);
    hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attribute, H5T_NATIVE_HSIZE, values.data());
    H5Aclose(attribute);
    H5Sclose(space);
}

void writeDoubles(hid_t group, const char* name, const std::vector<double>& values) {
    makeStoredField(group, name, H5T_NATIVE_DOUBLE, {values.size()});
    hid_t dataset = H5Dopen2(group, name, H5P_DEFAULT);
    H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Dclose(dataset);
}

// The axes group of a structured grid as its description says, each axis named "x"; `datasets`
// adds the axis datasets (none: uniform ones of origin 0, spacing 1 where the flags say so).
void makeAxes(hid_t grid, std::vector<hsize_t> extents, std::vector<hsize_t> uniform,
              const std::function<void(hid_t axes)>& datasets = {}) {
    hid_t axes = H5Gcreate2(grid, ".axes", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    writeNumbers(axes, "Extent", H5T_STD_U64LE, extents);
    writeNumbers(axes, "Uniform", H5T_STD_U8LE, uniform);
    hsize_t count = extents.size();
    hid_t space = H5Screate_simple(1, &count, nullptr);
    hid_t type = H5Tcopy(H5T_C_S1);
    hid_t names = H5Acreate2(axes, "Names", type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(names, type, std::string(extents.size(), 'x').data());
    H5Aclose(names);
    H5Tclose(type);
    H5Sclose(space);
    if (datasets)
        datasets(axes);
    else
        for (std::size_t i = 0; i < extents.size(); ++i)
            writeDoubles(axes, std::to_string(i).c_str(), {0.0, 1.0});
    H5Gclose(axes);
}

// Files of the current format keep a structured grid's axes as coordinate variables.
void markCurrentFormat(hid_t file) {
    H5Adelete(file, "PlexaFormat");
    writeText(file, "PlexaFormat", "bundle 3");
}

using Craft = std::function<void(hid_t file, hid_t slice, hid_t grid)>;

// A good first slice, then a second slice whose grid `craft` spoils.
void writeHostileFile(const std::string& name, const Craft& craft) {
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    writeText(file, "PlexaFormat", "bundle 1");
    hid_t good = makeSlice(file, "000000", 0.0);
    hid_t goodGrid = H5Gcreate2(good, "grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    makeStoredField(goodGrid, "f", H5T_NATIVE_INT32, {3});
    hid_t slice = makeSlice(file, "000001", 1.0);
    hid_t grid = H5Gcreate2(slice, "grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    craft(file, slice, grid);
    for (hid_t group : {grid, slice, goodGrid, good})
        H5Gclose(group);
    H5Fclose(file);
}

struct Hostile {
    const char* what;
    Craft craft;
    const char* message;
};

const std::vector<Hostile>& hostileFiles() {
    static const std::vector<Hostile> cases{
        {"absurd extent without stored bytes",
         [](hid_t, hid_t, hid_t grid) { makeEmptyChunkedField(grid, "huge", {hsize_t(1) << 40}); },
         "/000001/grid/huge: a field of 1099511627776 x 1 values in 0 stored bytes"},
        {"absurd component count",
         [](hid_t, hid_t, hid_t grid) {
             makeEmptyChunkedField(grid, "wide", {1, hsize_t(1) << 40});
         },
         "/000001/grid/wide: a field with 1099511627776 components"},
        {"raw data in another file",
         [](hid_t, hid_t, hid_t grid) {
             hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
             H5Pset_external(properties, "/etc/passwd", 0, 64);
             makeField(grid, "outside", H5T_NATIVE_UINT8, {64}, properties);
             H5Pclose(properties);
         },
         "/000001/grid/outside: a field stored in other files"},
        {"soft link",
         [](hid_t, hid_t, hid_t grid) { H5Lcreate_soft("/000000/grid/f", grid, "alias", 0, 0); },
         "/000001/grid: alias: a soft link, which is not followed"},
        {"external link",
         [](hid_t, hid_t slice, hid_t) { H5Lcreate_external("other.qz", "/", slice, "ext", 0, 0); },
         "/000001: ext: an external link, which is not followed"},
        {"hard link back to the root",
         [](hid_t file, hid_t, hid_t grid) { H5Lcreate_hard(file, "/", grid, "loop", 0, 0); },
         "/000001/grid/loop: H5Dopen failed"},
        {"control bytes in a field name",
         [](hid_t, hid_t, hid_t grid) { makeStoredField(grid, "a\x1b[2Jb", H5T_NATIVE_INT8, {1}); },
         "/000001/grid: a name with control bytes: a\\x1B[2Jb"},
        {"control bytes in an attribute name",
         [](hid_t, hid_t, hid_t grid) { writeText(grid, "bell\a", "ding"); },
         "/000001/grid: a name with control bytes: bell\\x07"},
        {"control bytes in a stored text",
         [](hid_t, hid_t, hid_t grid) {
             makeStoredField(grid, "typed", H5T_NATIVE_INT8, {1});
             setMemoryType(grid, "typed", "fl\033at64");
         },
         "/000001/grid/typed: unknown memory type \"fl\\x1Bat64\""},
        {"text of variable length",
         [](hid_t, hid_t, hid_t grid) { writeVariableText(grid, "note", "in the heap"); },
         "/000001/grid: note: a text of variable length, which bundle files do not store"},
        {"compound element type",
         [](hid_t, hid_t, hid_t grid) {
             hid_t type = H5Tcreate(H5T_COMPOUND, 8);
             H5Tinsert(type, "a", 0, H5T_NATIVE_INT32);
             H5Tinsert(type, "b", 4, H5T_NATIVE_INT32);
             makeStoredField(grid, "pair", type, {2});
             H5Tclose(type);
             setMemoryType(grid, "pair", "float64"); // claims a type the data is not
         },
         "/000001/grid/pair: unsupported element type"},
        {"chunk that inflates to too few bytes",
         [](hid_t, hid_t, hid_t grid) {
             makeRawChunkField(grid, 20, false, deflatedChunk(grid, 10, false));
         },
         "/000001/grid/raw: chunk 1 of 1 is damaged: it inflates to 80 bytes instead of 160"},
        {"chunk that inflates to too many bytes",
         [](hid_t, hid_t, hid_t grid) {
             makeRawChunkField(grid, 10, false, deflatedChunk(grid, 20, false));
         },
         "/000001/grid/raw: chunk 1 of 1 is damaged: it inflates to more than 80 bytes"},
        {"chunk that holds no deflate data",
         [](hid_t, hid_t, hid_t grid) {
             makeRawChunkField(grid, 10, false, std::vector<unsigned char>(16, 0xff));
         },
         "/000001/grid/raw: chunk 1 of 1 is damaged: it holds no valid deflate data"},
        {"chunk whose checksum does not match",
         [](hid_t, hid_t, hid_t grid) {
             std::vector<unsigned char> stored = deflatedChunk(grid, 10, true);
             stored.back() ^= 0x5a;
             makeRawChunkField(grid, 10, true, stored);
         },
         "/000001/grid/raw: chunk 1 of 1 is damaged: its checksum does not match"},
        {"structured grid whose node count overflows",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {hsize_t(1) << 30, hsize_t(1) << 30, hsize_t(1) << 30}, {1, 1, 1});
         },
         "/000001/grid/.axes: axis \"x\" makes more nodes than memory can address"},
        {"structured grid of four axes",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {2, 2, 2, 2}, {1, 1, 1, 1});
         },
         "/000001/grid/.axes: a structured grid has 1 to 3 axes, not 4"},
        {"axes whose description disagrees",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {2, 2}, {1});
         },
         "/000001/grid/.axes: the axes are described by 2 extents, 2 names and 1 uniform flags"},
        {"uniform flag that is no flag", [](hid_t, hid_t, hid_t grid) { makeAxes(grid, {2}, {7}); },
         "/000001/grid/.axes: axis 0: a uniform flag of 7"},
        {"coordinates of the wrong length",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {5}, {0}, [](hid_t axes) { writeDoubles(axes, "0", {1, 2, 3, 4}); });
         },
         "/000001/grid/.axes: axis 0: 4 values where 5 belong"},
        {"coordinates of the wrong type",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {3}, {0},
                      [](hid_t axes) { makeStoredField(axes, "0", H5T_NATIVE_INT32, {3}); });
         },
         "/000001/grid/.axes: axis 0: values of type int32, not float64"},
        {"coordinate that is no finite number",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {3}, {0}, [](hid_t axes) {
                 writeDoubles(axes, "0", {1, INFINITY, 3});
             });
         },
         "/000001/grid/.axes: axis \"x\" has a coordinate that is not a finite number"},
        {"spacing that is no number",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {3}, {1}, [](hid_t axes) { writeDoubles(axes, "0", {0, NAN}); });
         },
         "/000001/grid/.axes: axis \"x\" has an origin or spacing that is not a finite number"},
        {"coordinates of an absurd extent without stored bytes",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {hsize_t(1) << 40}, {0},
                      [](hid_t axes) { makeEmptyChunkedField(axes, "0", {hsize_t(1) << 40}); });
         },
         "/000001/grid/.axes: a field of 1099511627776 x 1 values in 0 stored bytes"},
        {"axes that are no group",
         [](hid_t, hid_t, hid_t grid) { makeStoredField(grid, ".axes", H5T_NATIVE_DOUBLE, {2}); },
         "/000001/grid/.axes: H5Gopen failed"},
        {"field that does not match the extent",
         [](hid_t, hid_t, hid_t grid) {
             makeAxes(grid, {2, 3}, {1, 1});
             makeStoredField(grid, "f", H5T_NATIVE_FLOAT, {5, 2});
         },
         "/000001/grid/f: 5 tuples on a structured 2 x 3 (x, x) grid of 6 nodes"},
        {"current axis without its coordinate variable",
         [](hid_t file, hid_t, hid_t grid) {
             markCurrentFormat(file);
             makeAxes(grid, {3}, {0}, [](hid_t) {});
         },
         "/000001/grid/.axes: axis 0 (\"x\"): no coordinate variable"},
        {"current uniform axis without origin and spacing",
         [](hid_t file, hid_t, hid_t grid) {
             markCurrentFormat(file);
             makeAxes(grid, {3}, {1}, [](hid_t) {});
             writeDoubles(grid, "x", {0, 1, 2});
         },
         "/000001/grid/.axes: axis 0 (\"x\"): a uniform axis without Origin and Spacing"},
        {"current field whose dimensions are not the axes'",
         [](hid_t file, hid_t, hid_t grid) {
             markCurrentFormat(file);
             makeAxes(grid, {3}, {0}, [](hid_t) {});
             writeDoubles(grid, "x", {1, 2, 3});
             makeStoredField(grid, "f", H5T_NATIVE_FLOAT, {4});
         },
         "/000001/grid/f: a field of 4 values on axes of 3"},
        {"time that is no number",
         [](hid_t, hid_t slice, hid_t) {
             const double nan = std::nan("");
             H5Adelete(slice, "Time");
             writeAttribute(slice, "Time", H5T_NATIVE_DOUBLE, &nan);
         },
         "/000001: the Time attribute is not a number"},
    };
    return cases;
}

Plexa::BundlePtr bundleWithOneSlice() {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    bundle->addSlice(42.0)->addGrid("kept");
    return bundle;
}

TEST(PlexaHostileTest, HostileFilesAreRefusedWithTheirCauseAndAddNothing) {
    ConvLibTest::TempDir dir;
    const std::string file = dir / "hostile.qz";
    writeHostileFile(file, [](hid_t, hid_t, hid_t) {});
    ASSERT_EQ(ConvLibTest::loadBundle(file)->slices().size(), 2u) << "the unspoiled file loads";
    for (const Hostile& hostile : hostileFiles()) {
        SCOPED_TRACE(hostile.what);
        writeHostileFile(file, hostile.craft);
        bool success = true;
        Plexa::BundlePtr bundle = Plexa::Bundle::load(
            success,
            Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
            bundleWithOneSlice());
        EXPECT_FALSE(success);
        EXPECT_NE(bundle->lastError().find(hostile.message), std::string::npos)
            << bundle->lastError();
        ASSERT_EQ(bundle->slices().size(), 1u);
        EXPECT_EQ(bundle->slices().begin()->first, 42.0);
    }
}

// The sound counterpart of the files above: older files keep a structured grid's axes in the axes
// group ([origin, spacing] when uniform) and its fields flat, one row per node.
TEST(PlexaHostileTest, OlderStructuredLayoutStillLoads) {
    ConvLibTest::TempDir dir;
    const std::string file = dir / "older.qz";
    writeHostileFile(file, [](hid_t file, hid_t, hid_t grid) {
        H5Adelete(file, "PlexaFormat");
        writeText(file, "PlexaFormat", "bundle 2");
        makeAxes(grid, {2, 3}, {1, 0}, [](hid_t axes) {
            writeDoubles(axes, "0", {5, 0.5});
            writeDoubles(axes, "1", {1, 2, 4});
        });
        writeDoubles(grid, "f", {0, 1, 2, 3, 4, 5});
    });
    const Plexa::BundlePtr bundle = ConvLibTest::loadBundle(file);
    const Plexa::GridPtr grid = bundle->findSlice(1.0)->findGrid("grid");
    ASSERT_TRUE(grid);
    const std::vector<Plexa::Axis>& axes = grid->topology().Axes;
    ASSERT_EQ(axes.size(), 2u);
    EXPECT_EQ(axes[0].Extent, 2u);
    EXPECT_EQ(axes[0].Origin, 5);
    EXPECT_EQ(axes[0].Spacing, 0.5);
    EXPECT_EQ(axes[1].Coordinates, (std::vector<double>{1, 2, 4}));
    const Plexa::MemPtr& values = grid->findField("f")->Data;
    ASSERT_EQ(values->size(), 6u);
    EXPECT_EQ(static_cast<const double*>(values->rawData())[5], 5);
}

TEST(PlexaHostileTest, ControlBytesInOurOwnNamesAreEscapedInTheFileAndComeBack) {
    ConvLibTest::TempDir dir;
    const std::string file = dir / "names.qz";
    Plexa::Bundle bundle;
    bundle.addSlice(0.0)->addGrid("a\nb")->addField("\033[2J", Plexa::makeArray<double>(2));
    ASSERT_TRUE(Plexa::writeBundleFile(bundle, file, ConvLibTest::makeTestStorage()));

    hid_t stored = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    EXPECT_GT(H5Lexists(stored, "000000/a%0Ab/%1B[2J", H5P_DEFAULT), 0);
    H5Fclose(stored);
    const Plexa::GridPtr grid = ConvLibTest::firstGrid(file, "a\nb");
    ASSERT_TRUE(grid);
    EXPECT_TRUE(grid->findField("\033[2J"));
}

} // namespace
