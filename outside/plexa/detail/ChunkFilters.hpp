// HDF5's standard chunk filters (shuffle, deflate in the zlib format, Fletcher-32), done by
// Plexa itself so that chunks are encoded and decoded on worker threads, byte for byte as HDF5's
// own filters store them. Internal to Plexa; no HDF5 call here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace Plexa::detail {

enum class ChunkFilter { Shuffle, Deflate, Fletcher32 };

// A filter pipeline in the order HDF5 applies it when writing; each filter at most once.
struct ChunkPipeline {
    std::vector<ChunkFilter> Filters;
    int DeflateLevel = 6;
    std::size_t ElementBytes = 1; // what the shuffle regroups by
};

// The checksum of HDF5's Fletcher-32 filter: sums of big-endian 16-bit words, an odd last byte
// counting as a word's high half.
std::uint32_t fletcher32(const unsigned char* data, std::size_t size);

// HDF5's shuffle: byte k of every element, for each k in turn; a tail shorter than an element
// stays where it is.
void shuffle(const unsigned char* in, std::size_t size, std::size_t elementBytes,
             unsigned char* out);
void unshuffle(const unsigned char* in, std::size_t size, std::size_t elementBytes,
               unsigned char* out);

// Bytes without the zero-fill of std::vector, for buffers that are written before being read.
class ByteBuffer {
public:
    unsigned char* data() noexcept { return Bytes.get(); }
    const unsigned char* data() const noexcept { return Bytes.get(); }
    std::size_t size() const noexcept { return Size; }
    // Like std::vector::resize, except that new bytes are left as they are.
    unsigned char* resize(std::size_t size);

private:
    std::unique_ptr<unsigned char[]> Bytes;
    std::size_t Capacity = 0;
    std::size_t Size = 0;
};

// Puts rows [first, first + rows) at `into`.
using RowSource = std::function<void(std::size_t first, std::size_t rows, unsigned char* into)>;
// Takes rows [first, first + rows) from `from`.
using RowSink = std::function<void(std::size_t first, std::size_t rows, const unsigned char* from)>;

// Encodes or decodes one chunk at a time, with deflate state and buffers of its own: one per
// worker thread.
class ChunkCoder {
public:
    ChunkCoder();
    ChunkCoder(const ChunkCoder&) = delete;
    ChunkCoder& operator=(const ChunkCoder&) = delete;
    ~ChunkCoder();

    // Encodes a chunk of `rows` rows of `rowBytes`, which `source` makes a piece at a time, into
    // `stored`, the chunk's bytes as the file keeps them.
    void encode(const ChunkPipeline& pipeline, std::size_t rows, std::size_t rowBytes,
                const RowSource& source, ByteBuffer& stored);
    // Undoes the filters that `skipped` (HDF5's filter mask) does not name on `stored`, which it
    // may change, and hands the first `keptRows` of the chunk's `rows` rows to `sink` a piece at
    // a time; throws when the stored bytes are damaged.
    void decode(const ChunkPipeline& pipeline, std::uint32_t skipped, ByteBuffer& stored,
                std::size_t rows, std::size_t rowBytes, std::size_t keptRows, const RowSink& sink);

private:
    // Makes the chunk in Chunk, or shuffled in Scratch when the pipeline starts with the shuffle;
    // the number of filters that leaves applied.
    std::size_t makeChunk(const ChunkPipeline& pipeline, std::size_t rows, std::size_t rowBytes,
                          const RowSource& source);
    ByteBuffer& spareFor(const ByteBuffer* current);
    void deflate(ByteBuffer& from, ByteBuffer& to, int level);
    void inflate(const ByteBuffer& from, ByteBuffer& to, std::size_t expected);

    ByteBuffer Chunk;
    ByteBuffer Scratch;
    libdeflate_compressor* Compressor = nullptr;
    int CompressorLevel = -1;
    libdeflate_decompressor* Decompressor = nullptr;
};

} // namespace Plexa::detail
