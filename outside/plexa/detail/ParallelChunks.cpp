#include "outside/plexa/detail/ParallelChunks.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace Plexa::detail {

namespace {

// Larger chunks are left to HDF5, so that a hostile file cannot make every worker claim a lot.
constexpr std::size_t MaxChunkBytes = 64u << 20;

// Jobs under way per worker: enough that a slow chunk does not leave a worker waiting.
constexpr std::size_t SlotsPerWorker = 2;

// The filter as ChunkCoder knows it; none for a filter it does not run.
std::optional<ChunkFilter> knownFilter(H5Z_filter_t filter) {
    switch (filter) {
    case H5Z_FILTER_SHUFFLE:
        return ChunkFilter::Shuffle;
    case H5Z_FILTER_DEFLATE:
        return ChunkFilter::Deflate;
    case H5Z_FILTER_FLETCHER32:
        return ChunkFilter::Fletcher32;
    default:
        return std::nullopt;
    }
}

// The pipeline when every filter in it is one that ChunkCoder runs, once, and deflate is one.
std::optional<ChunkPipeline> handledPipeline(hid_t properties, std::size_t elementBytes) {
    ChunkPipeline pipeline;
    pipeline.ElementBytes = elementBytes;
    const int filters = check(H5Pget_nfilters(properties), "H5Pget_nfilters");
    for (int i = 0; i < filters; ++i) {
        unsigned flags = 0;
        unsigned values[8] = {};
        std::size_t count = 8;
        const std::optional<ChunkFilter> filter =
            knownFilter(check(H5Pget_filter2(properties, static_cast<unsigned>(i), &flags, &count,
                                             values, 0, nullptr, nullptr),
                              "H5Pget_filter"));
        if (!filter || std::count(pipeline.Filters.begin(), pipeline.Filters.end(), *filter) > 0)
            return std::nullopt;
        // the shuffle's element size and the deflate level, as HDF5 stores them
        if (*filter == ChunkFilter::Shuffle && count > 0 && values[0] != elementBytes)
            return std::nullopt;
        if (*filter == ChunkFilter::Deflate) pipeline.DeflateLevel = count > 0 ? values[0] : 6;
        pipeline.Filters.push_back(*filter);
    }
    if (std::count(pipeline.Filters.begin(), pipeline.Filters.end(), ChunkFilter::Deflate) == 0)
        return std::nullopt;
    pipeline.DeflateLevel = std::clamp(pipeline.DeflateLevel, 0, 9);
    return pipeline;
}

// The stored type's size when it is a number type in this machine's byte order; 0 otherwise.
std::size_t nativeElementBytes(hid_t dataset) {
    Handle type(H5Dget_type(dataset), H5Tclose, "H5Dget_type");
    const std::type_info* element = elementTypeOf(type.get());
    if (!element) return 0;
    const hid_t native = nativeType(*element);
    return check(H5Tequal(type.get(), native), "H5Tequal") > 0 ? H5Tget_size(native) : 0;
}

std::vector<hsize_t> extentOf(hid_t dataset) {
    Handle space(H5Dget_space(dataset), H5Sclose, "H5Dget_space");
    const int rank = check(H5Sget_simple_extent_ndims(space.get()), "H5Sget_simple_extent_ndims");
    std::vector<hsize_t> extent(static_cast<std::size_t>(std::max(rank, 0)));
    check(H5Sget_simple_extent_dims(space.get(), extent.data(), nullptr),
          "H5Sget_simple_extent_dims");
    return extent;
}

// The chunk's first element, as HDF5's direct chunk calls name it.
std::vector<hsize_t> chunkOffset(const ChunkLayout& layout, std::size_t rank, std::size_t chunk) {
    std::vector<hsize_t> offset(rank, 0);
    offset[0] = static_cast<hsize_t>(chunk) * (layout.ChunkRows / layout.RowsPerSlab);
    return offset;
}

std::string chunkName(std::size_t chunk, const ChunkLayout& layout) {
    return "chunk " + std::to_string(chunk + 1) + " of " + std::to_string(layout.count());
}

} // namespace

std::size_t ChunkLayout::count() const {
    return static_cast<std::size_t>((Rows + ChunkRows - 1) / ChunkRows);
}

std::optional<ChunkLayout> handledLayout(hid_t dataset, std::size_t rowDimensions) {
    Handle properties(H5Dget_create_plist(dataset), H5Pclose, "H5Dget_create_plist");
    if (check(H5Pget_layout(properties.get()), "H5Pget_layout") != H5D_CHUNKED) return std::nullopt;
    const std::size_t elementBytes = nativeElementBytes(dataset);
    const std::vector<hsize_t> extent = extentOf(dataset);
    if (elementBytes == 0 || extent.size() < rowDimensions || rowDimensions == 0)
        return std::nullopt;
    std::vector<hsize_t> chunk(extent.size());
    if (check(H5Pget_chunk(properties.get(), static_cast<int>(chunk.size()), chunk.data()),
              "H5Pget_chunk") != static_cast<int>(extent.size()) ||
        !std::equal(chunk.begin() + 1, chunk.end(), extent.begin() + 1))
        return std::nullopt;
    // the slab of one first index in elements, and its rows; products checked against the limit
    hsize_t slab = 1;
    hsize_t rowsPerSlab = 1;
    for (std::size_t i = 1; i < extent.size(); ++i) {
        if (extent[i] == 0 || slab > MaxChunkBytes / elementBytes / extent[i]) return std::nullopt;
        slab *= extent[i];
        if (i < rowDimensions) rowsPerSlab *= extent[i];
    }
    if (chunk[0] == 0 || chunk[0] > extent[0] || chunk[0] > MaxChunkBytes / (slab * elementBytes) ||
        extent[0] > std::numeric_limits<hsize_t>::max() / rowsPerSlab)
        return std::nullopt;
    std::optional<ChunkPipeline> pipeline = handledPipeline(properties.get(), elementBytes);
    if (!pipeline) return std::nullopt;
    return ChunkLayout{*pipeline, extent[0] * rowsPerSlab, chunk[0] * rowsPerSlab,
                       static_cast<std::size_t>(slab / rowsPerSlab) * elementBytes, rowsPerSlab};
}

ChunkWorkers::ChunkWorkers() = default;

ChunkWorkers::~ChunkWorkers() = default;

JobRing& ChunkWorkers::ring() {
    if (Ring) return *Ring;
    Pool = std::make_unique<WorkerPool>();
    const std::size_t workers = std::max<std::size_t>(Pool->size(), 1);
    for (std::size_t i = 0; i < workers; ++i)
        Coders.push_back(std::make_unique<ChunkCoder>());
    const std::size_t slots = workers * SlotsPerWorker;
    Stored.resize(slots);
    SkippedFilters.assign(slots, 0);
    Ring = std::make_unique<JobRing>(*Pool, slots);
    return *Ring;
}

void ChunkWorkers::forEach(std::size_t count, const std::function<void(std::size_t)>& job) {
    runInOrder(
        ring(), count, [](std::size_t, std::size_t) {},
        [&job](std::size_t index, std::size_t) { job(index); }, [](std::size_t, std::size_t) {});
}

JobRing& ChunkWorkers::writeRing() {
    if (WriteRing) return *WriteRing;
    const std::size_t slots = ring().slots();
    Queued.resize(slots);
    WriteRing = std::make_unique<JobRing>(*Pool, slots);
    return *WriteRing;
}

void ChunkWorkers::queueWrite(hid_t dataset, const ChunkLayout& layout, RowSource fill) {
    JobRing& jobs = writeRing();
    check(H5Iinc_ref(dataset), "H5Iinc_ref");
    Handle held(dataset, H5Idec_ref, "H5Iinc_ref");
    const std::size_t rank = extentOf(dataset).size();
    const auto queued = std::make_shared<const QueuedDataset>(
        QueuedDataset{std::move(held), layout, std::move(fill), rank});
    for (std::size_t chunk = 0; chunk < layout.count(); ++chunk) {
        const std::size_t slot = QueuedCount++ % jobs.slots();
        if (Queued[slot].Dataset) writeQueued(slot);
        Queued[slot].Dataset = queued;
        Queued[slot].Chunk = chunk;
        jobs.start(slot, [this, slot, target = queued.get(), chunk] {
            const std::size_t chunkFirst = chunk * target->Layout.ChunkRows;
            const ChunkLayout& layout = target->Layout;
            // rows past the dataset's end, in the last chunk, hold HDF5's fill value, zero
            const auto source = [&](std::size_t first, std::size_t rows, unsigned char* into) {
                const std::size_t row = chunkFirst + first;
                const std::size_t real =
                    row < layout.Rows ? std::min<std::size_t>(rows, layout.Rows - row) : 0;
                if (real > 0) target->Fill(row, real, into);
                std::memset(into + real * layout.RowBytes, 0, (rows - real) * layout.RowBytes);
            };
            coder().encode(layout.Pipeline, layout.ChunkRows, layout.RowBytes, source,
                           Queued[slot].Stored);
        });
    }
}

void ChunkWorkers::finishWrites() {
    for (std::size_t i = 0; i < Queued.size(); ++i) {
        const std::size_t slot = (QueuedCount + i) % Queued.size(); // the oldest first
        if (Queued[slot].Dataset) writeQueued(slot);
    }
}

void ChunkWorkers::writeQueued(std::size_t slot) {
    QueuedChunk& queued = Queued[slot];
    // the dataset closes here, on this thread, however the chunk ended
    const std::shared_ptr<const QueuedDataset> target = std::move(queued.Dataset);
    WriteRing->wait(slot);
    check(H5Dwrite_chunk(target->Dataset.get(), H5P_DEFAULT, 0,
                         chunkOffset(target->Layout, target->Rank, queued.Chunk).data(),
                         queued.Stored.size(), queued.Stored.data()),
          "H5Dwrite_chunk");
}

bool ChunkWorkers::read(hid_t dataset, const ChunkLayout& layout, const RowSink& take) {
    hsize_t stored = 0;
    Handle space(H5Dget_space(dataset), H5Sclose, "H5Dget_space");
    check(H5Dget_num_chunks(dataset, space.get(), &stored), "H5Dget_num_chunks");
    if (stored != layout.count()) return false;
    const std::size_t rank = extentOf(dataset).size();
    const hsize_t fileSize = fileSizeOf(dataset);
    runInOrder(
        ring(), layout.count(),
        [&](std::size_t chunk, std::size_t slot) {
            const std::vector<hsize_t> offset = chunkOffset(layout, rank, chunk);
            hsize_t size = 0;
            check(H5Dget_chunk_storage_size(dataset, offset.data(), &size),
                  "H5Dget_chunk_storage_size");
            if (size == 0) throw Failure(chunkName(chunk, layout) + " is missing");
            if (size > fileSize)
                throw Failure(chunkName(chunk, layout) + " of " + std::to_string(size) +
                              " stored bytes in a file of " + std::to_string(fileSize));
            ByteBuffer& stored = Stored[slot];
            check(H5Dread_chunk(dataset, H5P_DEFAULT, offset.data(), &SkippedFilters[slot],
                                stored.resize(static_cast<std::size_t>(size))),
                  "H5Dread_chunk");
        },
        [&](std::size_t chunk, std::size_t slot) {
            const std::size_t chunkFirst = chunk * layout.ChunkRows;
            const std::size_t rows =
                std::min<std::size_t>(layout.ChunkRows, layout.Rows - chunkFirst);
            const auto sink = [&](std::size_t first, std::size_t count, const unsigned char* from) {
                take(chunkFirst + first, count, from);
            };
            try {
                coder().decode(layout.Pipeline, SkippedFilters[slot], Stored[slot],
                               layout.ChunkRows, layout.RowBytes, rows, sink);
            } catch (const Failure& failure) {
                throw Failure(chunkName(chunk, layout) + " is damaged: " + failure.what());
            }
        },
        [](std::size_t, std::size_t) {});
    return true;
}

} // namespace Plexa::detail
