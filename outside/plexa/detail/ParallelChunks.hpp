// Chunked, deflated fields written and read a chunk at a time through HDF5's direct chunk calls,
// with the filters run on worker threads: the file is the one HDF5's own filters would make, so
// any HDF5 reader reads it. Internal to Plexa.
#pragma once

#include "outside/plexa/detail/ChunkFilters.hpp"
#include "outside/plexa/detail/Hdf5.hpp"
#include "outside/plexa/detail/WorkerPool.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Plexa::detail {

// Chunks of whole rows, each `ChunkRows` rows of `RowBytes` bytes; the last one padded.
struct ChunkLayout {
    ChunkPipeline Pipeline;
    hsize_t Rows = 0;
    hsize_t ChunkRows = 0;
    std::size_t RowBytes = 0;
    hsize_t RowsPerSlab = 1; // rows in one index of the dataset's first dimension

    std::size_t count() const;
};

// The layout of a dataset whose chunks ChunkWorkers can write and read: chunks of whole slabs
// of the first dimension (at most as many as the dataset has, of a sane size), filters that
// ChunkCoder runs with deflate among them, and the stored type in this machine's byte order.
// A row is one index of the first `rowDimensions` dimensions (a grid's node), its bytes the
// rest. None for any other dataset, which HDF5 reads and writes itself.
std::optional<ChunkLayout> handledLayout(hid_t dataset, std::size_t rowDimensions = 1);

// The worker threads and job slots of one save or load, started on first use and joined by the
// destructor, so that they live no longer than that save or load.
class ChunkWorkers {
public:
    ChunkWorkers();
    ChunkWorkers(const ChunkWorkers&) = delete;
    ChunkWorkers& operator=(const ChunkWorkers&) = delete;
    ~ChunkWorkers();

    // Runs job(0) to job(count - 1) on the workers and waits for them.
    void forEach(std::size_t count, const std::function<void(std::size_t)>& job);
    // Encodes every chunk of the dataset on the workers, which take its rows, as stored, from
    // `fill`, and writes them in order. Chunks of the datasets queued before may still be under
    // way, so that the workers stay busy over many datasets of one chunk each; the dataset stays
    // open and the rows must stay until finishWrites().
    void queueWrite(hid_t dataset, const ChunkLayout& layout, RowSource fill);
    // Writes every chunk still under way.
    void finishWrites();
    // Reads every chunk and decodes them on the workers, which hand the dataset's rows, as
    // stored, to `take`; throws when a chunk is larger than the
    // file or damaged. False, having read nothing, when some chunks are not stored: HDF5 then
    // fills them in.
    bool read(hid_t dataset, const ChunkLayout& layout, const RowSink& take);

private:
    struct QueuedDataset {
        Handle Dataset;
        ChunkLayout Layout;
        RowSource Fill;
        std::size_t Rank = 0;
    };
    // A chunk under way, the dataset kept open by the calling thread, never by a worker.
    struct QueuedChunk {
        std::shared_ptr<const QueuedDataset> Dataset;
        std::size_t Chunk = 0;
        ByteBuffer Stored;
    };

    JobRing& ring();
    JobRing& writeRing();
    void writeQueued(std::size_t slot);

    ChunkCoder& coder() { return *Coders[WorkerPool::workerIndex()]; }

    // in this order, so that the ring waits for its jobs before their buffers and pool go
    std::unique_ptr<WorkerPool> Pool;
    std::vector<std::unique_ptr<ChunkCoder>> Coders; // per worker
    std::vector<ByteBuffer> Stored;                  // per slot: a chunk as the file keeps it
    std::vector<std::uint32_t> SkippedFilters;       // per slot
    std::vector<QueuedChunk> Queued;                 // per slot of the write ring
    std::size_t QueuedCount = 0;                     // chunks queued so far
    std::unique_ptr<JobRing> Ring;
    std::unique_ptr<JobRing> WriteRing;
};

} // namespace Plexa::detail
