// Deflated fields, whose chunks Plexa filters on worker threads: plain HDF5 reads what a save
// writes, value for value, and a load reads files that plain HDF5 wrote, whatever their filters;
// every pipeline our encoder makes decodes in HDF5's own filters.
#include "outside/Plexa.hpp"
#include "outside/plexa/detail/ChunkFilters.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>

namespace {

using ConvLibTest::TempDir;

constexpr hsize_t ChunkRows = 4000; // several pieces of a chunk for the wider fields
// Eleven chunks, the last one holding 7 rows: more chunks than the workers have slots.
constexpr std::size_t Rows = 10 * ChunkRows + 7;

// Chunks of ChunkRows rows, so that small fields have many.
class SmallChunks : public ConvLibTest::TestStorage {
public:
    Plexa::DynamicSize computeChunkSize(const Plexa::DynamicSize& shape, unsigned long long,
                                        std::string& description) override {
        Plexa::DynamicSize chunk = shape;
        chunk.Extent[0] = std::min<unsigned long long>(ChunkRows, shape.Extent[0]);
        description = "small chunks";
        return chunk;
    }
};

template <class T> hid_t nativeOf() {
    if (std::is_same_v<T, double>) return H5T_NATIVE_DOUBLE;
    if (std::is_same_v<T, float>) return H5T_NATIVE_FLOAT;
    if (std::is_same_v<T, std::int64_t>) return H5T_NATIVE_INT64;
    if (std::is_same_v<T, std::int32_t>) return H5T_NATIVE_INT32;
    return H5T_NATIVE_UINT8;
}

template <class T> Plexa::MemArrayPtr<T> pattern(int components, double offset) {
    auto values = Plexa::makeArray<T>(Rows, components);
    for (std::size_t i = 0; i < values->elementCount(); ++i)
        values->data()[i] =
            static_cast<T>(offset + 100 * std::sin(static_cast<double>(i) * 0.01) + i % 7);
    return values;
}

Plexa::BundlePtr sampleFields() {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    Plexa::GridPtr grid = bundle->addSlice(0)->addGrid("Grid");
    grid->addField("Positions", pattern<double>(3, 6.0e5));
    grid->addField("Heights", pattern<float>(1, 300));
    grid->addField("Labels", pattern<std::int32_t>(2, 1000));
    grid->addField("Bytes", pattern<std::uint8_t>(1, 110));
    grid->addField("Wide", pattern<std::int64_t>(5, -1.0e9));
    return bundle;
}

struct Dataset {
    Dataset(const std::string& file, const std::string& path)
        : File(H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)),
          Id(H5Dopen2(File, path.c_str(), H5P_DEFAULT)) {}
    ~Dataset() {
        H5Dclose(Id);
        H5Fclose(File);
    }
    std::vector<double> shift(std::size_t components) const {
        std::vector<double> values(components, 0.0);
        if (H5Aexists(Id, "Shift") <= 0) return values;
        hid_t attribute = H5Aopen(Id, "Shift", H5P_DEFAULT);
        EXPECT_GE(H5Aread(attribute, H5T_NATIVE_DOUBLE, values.data()), 0);
        H5Aclose(attribute);
        return values;
    }
    template <class T> std::vector<T> read(std::size_t count) const {
        std::vector<T> values(count);
        EXPECT_GE(H5Dread(Id, nativeOf<T>(), H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
        return values;
    }
    std::vector<H5Z_filter_t> filters() const {
        hid_t properties = H5Dget_create_plist(Id);
        std::vector<H5Z_filter_t> found;
        for (int i = 0; i < H5Pget_nfilters(properties); ++i) {
            unsigned flags = 0;
            std::size_t count = 0;
            found.push_back(H5Pget_filter2(properties, static_cast<unsigned>(i), &flags, &count,
                                           nullptr, 0, nullptr, nullptr));
        }
        H5Pclose(properties);
        return found;
    }

    hid_t File;
    hid_t Id;
};

// Plain HDF5 reads each value less its component's shift in the stored type, and a load gives
// exactly what plain HDF5 reads in the memory type plus the shift.
template <class Stored, class T>
void expectReadableByHdf5(const std::string& file, const Plexa::Grid& original,
                          const Plexa::Grid& loaded, const std::string& name) {
    SCOPED_TRACE(name);
    const auto& values = dynamic_cast<const Plexa::MemArray<T>&>(*original.findField(name)->Data);
    const Dataset dataset(file, "000000/Grid/" + name);
    const std::size_t components = static_cast<std::size_t>(values.components());
    const std::vector<double> shift = dataset.shift(components);
    const std::vector<Stored> stored = dataset.template read<Stored>(values.elementCount());
    std::vector<Stored> expected(values.elementCount());
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] =
            static_cast<Stored>(static_cast<double>(values.data()[i]) - shift[i % components]);
    EXPECT_EQ(std::memcmp(stored.data(), expected.data(), stored.size() * sizeof(Stored)), 0);

    std::vector<T> plain = dataset.template read<T>(values.elementCount());
    if (std::is_floating_point_v<T>)
        for (std::size_t i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<T>(static_cast<double>(plain[i]) + shift[i % components]);
    const auto& ours = dynamic_cast<const Plexa::MemArray<T>&>(*loaded.findField(name)->Data);
    ASSERT_EQ(ours.elementCount(), plain.size());
    EXPECT_EQ(std::memcmp(ours.data(), plain.data(), plain.size() * sizeof(T)), 0);
}

struct Pipeline {
    const char* what;
    bool Shuffle;
    int Level;
    bool Checksum;
    bool Single;
    bool Shift;
};

TEST(ParallelChunks, EveryDeflatedFieldReadsBackThroughPlainHdf5) {
    const Pipeline pipelines[] = {
        {"deflate alone, values as they are", false, 1, false, false, false},
        {"shuffle and deflate, single precision less a shift", true, 6, false, true, true},
        {"shuffle, deflate and checksum, doubles less a shift", true, 9, true, false, true},
    };
    TempDir dir;
    const std::string file = dir / "chunks.qz";
    const Plexa::BundlePtr bundle = sampleFields();
    const Plexa::Grid& grid = *bundle->findSlice(0)->findGrid("Grid");
    for (const Pipeline& pipeline : pipelines) {
        SCOPED_TRACE(pipeline.what);
        Quorix::StrongPtr<SmallChunks, Quorix::InterfaceBase> storage(new SmallChunks);
        storage->Answer = ConvLibTest::automaticSettings(pipeline.Single, pipeline.Shift);
        storage->Answer.DeflateLevel = pipeline.Level;
        storage->Answer.ExtraFilter = pipeline.Checksum;
        storage->DeflateFields = true;
        storage->ShuffleFields = pipeline.Shuffle;
        const Plexa::BindResult saved = Plexa::writeBundleFile(*bundle, file, storage);
        ASSERT_TRUE(saved) << saved.Text;

        std::vector<H5Z_filter_t> filters{H5Z_FILTER_DEFLATE};
        if (pipeline.Shuffle) filters.insert(filters.begin(), H5Z_FILTER_SHUFFLE);
        if (pipeline.Checksum) filters.push_back(H5Z_FILTER_FLETCHER32);
        for (const auto& [name, field] : grid.fields()) {
            const Dataset dataset(file, "000000/Grid/" + name);
            EXPECT_EQ(dataset.filters(), filters) << name;
            hsize_t chunks = 0;
            hid_t space = H5Dget_space(dataset.Id);
            H5Dget_num_chunks(dataset.Id, space, &chunks);
            H5Sclose(space);
            EXPECT_EQ(chunks, 11u) << name;
        }
        const Plexa::BundlePtr loaded = ConvLibTest::loadBundle(file);
        const Plexa::Grid& back = *loaded->findSlice(0)->findGrid("Grid");
        if (pipeline.Single)
            expectReadableByHdf5<float, double>(file, grid, back, "Positions");
        else
            expectReadableByHdf5<double, double>(file, grid, back, "Positions");
        expectReadableByHdf5<float, float>(file, grid, back, "Heights");
        expectReadableByHdf5<std::int32_t, std::int32_t>(file, grid, back, "Labels");
        expectReadableByHdf5<std::uint8_t, std::uint8_t>(file, grid, back, "Bytes");
        expectReadableByHdf5<std::int64_t, std::int64_t>(file, grid, back, "Wide");
        ConvLibTest::expectSameBundles(*bundle, *loaded, pipeline.Shift ? 1e-6 : 0);
    }
}

// Writes `values` as one float field of a bundle file with plain HDF5 calls; `tune` sets the
// dataset's creation list, `write` writes the values (all of them when it is empty).
void writePlainBundle(const std::string& name, const std::vector<float>& values, hid_t fileType,
                      const std::function<void(hid_t properties)>& tune,
                      const std::function<void(hid_t dataset)>& write = {}) {
    hid_t file = H5Fcreate(name.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    hid_t text = H5Tcopy(H5T_C_S1);
    H5Tset_size(text, 8);
    hid_t scalar = H5Screate(H5S_SCALAR);
    hid_t format = H5Acreate2(file, "PlexaFormat", text, scalar, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(format, text, "bundle 1");
    hid_t slice = H5Gcreate2(file, "000000", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const double time = 0;
    hid_t timeAttribute =
        H5Acreate2(slice, "Time", H5T_NATIVE_DOUBLE, scalar, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(timeAttribute, H5T_NATIVE_DOUBLE, &time);
    hid_t grid = H5Gcreate2(slice, "Grid", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t extent = values.size();
    hid_t space = H5Screate_simple(1, &extent, nullptr);
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    tune(properties);
    hid_t dataset =
        H5Dcreate2(grid, "Field", fileType, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    if (write)
        write(dataset);
    else
        H5Dwrite(dataset, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Dclose(dataset);
    for (hid_t id : {properties})
        H5Pclose(id);
    H5Sclose(space);
    H5Gclose(grid);
    H5Aclose(timeAttribute);
    H5Gclose(slice);
    H5Aclose(format);
    H5Sclose(scalar);
    H5Tclose(text);
    H5Fclose(file);
}

void chunked(hid_t properties) {
    const hsize_t rows = ChunkRows;
    H5Pset_chunk(properties, 1, &rows);
}

// Writes only the first and the last chunk; the others are never stored.
void writeEnds(hid_t dataset, const std::vector<float>& values) {
    hid_t fileSpace = H5Dget_space(dataset);
    for (hsize_t first : {hsize_t(0), hsize_t(10 * ChunkRows)}) {
        const hsize_t count = std::min<hsize_t>(ChunkRows, values.size() - first);
        hid_t memory = H5Screate_simple(1, &count, nullptr);
        H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, &first, nullptr, &count, nullptr);
        H5Dwrite(dataset, H5T_NATIVE_FLOAT, memory, fileSpace, H5P_DEFAULT, values.data() + first);
        H5Sclose(memory);
    }
    H5Sclose(fileSpace);
}

// Files whose chunks plain HDF5 filtered, with zlib: those of the standard filters Plexa decodes
// itself, any others and chunks never stored HDF5 reads for it.
TEST(ParallelChunks, FilesThatPlainHdf5WroteLoadWithTheirValues) {
    std::vector<float> values(Rows);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<float>(std::cos(static_cast<double>(i) * 0.003) * 1e3);
    std::vector<float> ends(Rows, 0.0f);
    std::copy(values.begin(), values.begin() + ChunkRows, ends.begin());
    std::copy(values.begin() + 10 * ChunkRows, values.end(), ends.begin() + 10 * ChunkRows);
    struct Case {
        const char* what;
        hid_t type;
        std::function<void(hid_t)> tune;
        bool onlyEnds;
    };
    const Case cases[] = {
        {"fletcher32, shuffle and deflate", H5T_IEEE_F32LE,
         [](hid_t p) {
             chunked(p);
             H5Pset_fletcher32(p);
             H5Pset_shuffle(p);
             H5Pset_deflate(p, 4);
         },
         false},
        {"shuffle and deflate, big-endian", H5T_IEEE_F32BE,
         [](hid_t p) {
             chunked(p);
             H5Pset_shuffle(p);
             H5Pset_deflate(p, 6);
         },
         false},
        {"shuffle alone", H5T_IEEE_F32LE,
         [](hid_t p) {
             chunked(p);
             H5Pset_shuffle(p);
         },
         false},
        {"deflate and another filter", H5T_IEEE_F32LE,
         [](hid_t p) {
             chunked(p);
             H5Pset_deflate(p, 6);
             H5Pset_nbit(p);
         },
         false},
        {"deflate, chunks left out", H5T_IEEE_F32LE,
         [](hid_t p) {
             chunked(p);
             H5Pset_deflate(p, 6);
         },
         true},
    };
    TempDir dir;
    const std::string file = dir / "plain.qz";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writePlainBundle(file, values, c.type, c.tune,
                         c.onlyEnds ? [&](hid_t dataset) { writeEnds(dataset, values); }
                                    : std::function<void(hid_t)>());
        const Plexa::GridPtr grid = ConvLibTest::firstGrid(file, "Grid");
        ASSERT_TRUE(grid);
        const auto& loaded =
            dynamic_cast<const Plexa::MemArray<float>&>(*grid->findField("Field")->Data);
        const std::vector<float>& expected = c.onlyEnds ? ends : values;
        ASSERT_EQ(loaded.elementCount(), expected.size());
        EXPECT_EQ(std::memcmp(loaded.data(), expected.data(), expected.size() * sizeof(float)), 0);
    }
}

// HDF5's checksum filter stores its sum little-endian after the bytes; ours must be the same for
// every length, odd ones and those past a fold of the sums included.
TEST(ParallelChunks, ChecksumsAreHdf5sOwn) {
    TempDir dir;
    const std::string file = dir / "sums.h5";
    std::vector<std::uint8_t> bytes(5000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    for (hsize_t chunk : {1, 2, 7, 8, 719, 720, 721, 1441, 5000}) {
        SCOPED_TRACE(chunk);
        hid_t handle = H5Fcreate(file.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        const hsize_t extent = chunk;
        hid_t space = H5Screate_simple(1, &extent, nullptr);
        hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(properties, 1, &chunk);
        H5Pset_fletcher32(properties);
        hid_t dataset = H5Dcreate2(handle, "sums", H5T_NATIVE_UINT8, space, H5P_DEFAULT, properties,
                                   H5P_DEFAULT);
        H5Dwrite(dataset, H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data());
        const hsize_t origin = 0;
        std::vector<unsigned char> stored(chunk + 4);
        std::uint32_t skipped = 0;
        ASSERT_GE(H5Dread_chunk(dataset, H5P_DEFAULT, &origin, &skipped, stored.data()), 0);
        const std::uint32_t sum = Plexa::detail::fletcher32(bytes.data(), chunk);
        const unsigned char expected[4] = {
            static_cast<unsigned char>(sum), static_cast<unsigned char>(sum >> 8),
            static_cast<unsigned char>(sum >> 16), static_cast<unsigned char>(sum >> 24)};
        EXPECT_EQ(std::memcmp(stored.data() + chunk, expected, 4), 0);
        H5Dclose(dataset);
        H5Pclose(properties);
        H5Sclose(space);
        H5Fclose(handle);
    }
}

hid_t unsignedOfSize(std::size_t bytes) {
    switch (bytes) {
    case 1:
        return H5T_NATIVE_UINT8;
    case 2:
        return H5T_NATIVE_UINT16;
    case 4:
        return H5T_NATIVE_UINT32;
    default:
        return H5T_NATIVE_UINT64;
    }
}

struct Combination {
    bool Shuffle;
    int Level;
    bool Checksum;
    std::size_t ElementBytes;
    hsize_t Components;
};

Plexa::detail::ChunkPipeline pipelineOf(const Combination& c) {
    using Plexa::detail::ChunkFilter;
    Plexa::detail::ChunkPipeline pipeline;
    if (c.Shuffle) pipeline.Filters.push_back(ChunkFilter::Shuffle);
    pipeline.Filters.push_back(ChunkFilter::Deflate);
    if (c.Checksum) pipeline.Filters.push_back(ChunkFilter::Fletcher32);
    pipeline.DeflateLevel = c.Level;
    pipeline.ElementBytes = c.ElementBytes;
    return pipeline;
}

// A dataset of `rows` rows whose filters HDF5 knows as c's, its chunks encoded by ChunkCoder and
// stored as they are; rows past the end of the last chunk hold zero, HDF5's fill value.
void writeThroughOurEncoder(const std::string& file, const Combination& c, hsize_t rows,
                            hsize_t chunkRows, const std::vector<unsigned char>& bytes) {
    hid_t handle = H5Fcreate(file.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hsize_t extent[2] = {rows, c.Components};
    const hsize_t chunk[2] = {chunkRows, c.Components};
    hid_t space = H5Screate_simple(2, extent, nullptr);
    hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(properties, 2, chunk);
    if (c.Shuffle) H5Pset_shuffle(properties);
    H5Pset_deflate(properties, static_cast<unsigned>(c.Level));
    if (c.Checksum) H5Pset_fletcher32(properties);
    hid_t dataset = H5Dcreate2(handle, "values", unsignedOfSize(c.ElementBytes), space, H5P_DEFAULT,
                               properties, H5P_DEFAULT);
    const std::size_t rowBytes = c.ElementBytes * c.Components;
    Plexa::detail::ChunkCoder coder;
    Plexa::detail::ByteBuffer stored;
    for (hsize_t chunkFirst = 0; chunkFirst < rows; chunkFirst += chunkRows) {
        const auto source = [&](std::size_t first, std::size_t count, unsigned char* into) {
            const std::size_t row = chunkFirst + first;
            const std::size_t real = row < rows ? std::min<std::size_t>(count, rows - row) : 0;
            std::memcpy(into, bytes.data() + row * rowBytes, real * rowBytes);
            std::memset(into + real * rowBytes, 0, (count - real) * rowBytes);
        };
        coder.encode(pipelineOf(c), chunkRows, rowBytes, source, stored);
        const hsize_t offset[2] = {chunkFirst, 0};
        EXPECT_GE(H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, offset, stored.size(), stored.data()), 0);
    }
    H5Dclose(dataset);
    H5Pclose(properties);
    H5Sclose(space);
    H5Fclose(handle);
}

std::vector<unsigned char> readThroughHdf5(const std::string& file, std::size_t elementBytes,
                                           std::size_t count) {
    std::vector<unsigned char> values(count);
    const Dataset dataset(file, "values");
    EXPECT_GE(H5Dread(dataset.Id, unsignedOfSize(elementBytes), H5S_ALL, H5S_ALL, H5P_DEFAULT,
                      values.data()),
              0);
    return values;
}

// Every pipeline the writer may ask for, encoded by us, decodes in HDF5's own filters bit for bit.
TEST(ChunkCoder, EveryPipelineDecodesBitForBitThroughHdf5sOwnFilters) {
    constexpr hsize_t ChunkRowsHere = 1000, RowsHere = 2 * ChunkRowsHere + 321; // a partial last
    TempDir dir;
    const std::string file = dir / "pipeline.h5";
    for (const bool shuffle : {false, true})
        for (const int level : {1, 4, 9})
            for (const bool checksum : {false, true})
                for (const std::size_t elementBytes : {1, 2, 4, 8})
                    for (const hsize_t components : {1, 3}) {
                        const Combination c{shuffle, level, checksum, elementBytes, components};
                        SCOPED_TRACE(testing::Message()
                                     << "shuffle " << shuffle << ", deflate " << level
                                     << ", checksum " << checksum << ", " << elementBytes
                                     << "-byte elements, " << components << " components");
                        // smooth runs with noise in the low bytes: what the shuffle is for
                        std::vector<unsigned char> bytes(RowsHere * components * elementBytes);
                        for (std::size_t i = 0; i < bytes.size(); ++i)
                            bytes[i] = static_cast<unsigned char>(
                                i % elementBytes == 0 ? (i * 2654435761u) >> 24 : i / 997);
                        writeThroughOurEncoder(file, c, RowsHere, ChunkRowsHere, bytes);
                        EXPECT_EQ(readThroughHdf5(file, elementBytes, bytes.size()), bytes);
                    }
}

} // namespace
