#include "outside/plexa/detail/ChunkFilters.hpp"
#include "outside/plexa/detail/Failure.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace Plexa::detail {

namespace {

constexpr std::size_t ChecksumBytes = 4;
// A chunk is made and shuffled this much at a time, so that it is never whole before the shuffle.
constexpr std::size_t PieceBytes = 64u << 10;
// Words summed before the sums are folded, so that neither overflows 32 bits.
constexpr std::size_t WordsPerFold = 360;

std::uint32_t fold(std::uint32_t sum) {
    return (sum & 0xffff) + (sum >> 16);
}

// Files written before HDF5 1.6.3 hold the checksum with the bytes of each half swapped, and
// HDF5 accepts both.
std::uint32_t swappedHalves(std::uint32_t sum) {
    return ((sum & 0x00ff00ffu) << 8) | ((sum & 0xff00ff00u) >> 8);
}

void storeLittleEndian(std::uint32_t value, unsigned char* out) {
    for (std::size_t i = 0; i < ChecksumBytes; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t loadLittleEndian(const unsigned char* in) {
    std::uint32_t value = 0;
    for (std::size_t i = ChecksumBytes; i-- > 0;)
        value = (value << 8) | in[i];
    return value;
}

// Elements [first, first + count) of a chunk of `total`, between plain order (a piece holding
// just them) and grouped order (the whole chunk, byte k of every element together).
template <bool Forward, class Size>
void regroupElements(const unsigned char* in, std::size_t count, Size elementBytes,
                     std::size_t total, std::size_t first, unsigned char* out) {
    for (std::size_t e = 0; e < count; ++e)
        for (std::size_t b = 0; b < elementBytes; ++b) {
            const std::size_t grouped = b * total + first + e;
            const std::size_t plain = e * elementBytes + b;
            out[Forward ? grouped : plain] = in[Forward ? plain : grouped];
        }
}

// The same, with the common element sizes known to the compiler.
template <bool Forward>
void regroupPiece(const unsigned char* in, std::size_t count, std::size_t elementBytes,
                  std::size_t total, std::size_t first, unsigned char* out) {
    using Two = std::integral_constant<std::size_t, 2>;
    using Four = std::integral_constant<std::size_t, 4>;
    using Eight = std::integral_constant<std::size_t, 8>;
    switch (elementBytes) {
    case 2:
        return regroupElements<Forward>(in, count, Two(), total, first, out);
    case 4:
        return regroupElements<Forward>(in, count, Four(), total, first, out);
    case 8:
        return regroupElements<Forward>(in, count, Eight(), total, first, out);
    default:
        return regroupElements<Forward>(in, count, elementBytes, total, first, out);
    }
}

std::size_t shuffledElements(std::size_t size, std::size_t elementBytes) {
    return elementBytes > 1 ? size / elementBytes : 0;
}

// Regroups a whole chunk one way or the other; a tail shorter than an element is copied.
template <bool Forward>
void regroup(const unsigned char* in, std::size_t size, std::size_t elementBytes,
             unsigned char* out) {
    const std::size_t elements = shuffledElements(size, elementBytes);
    if (elements <= 1) {
        std::memcpy(out, in, size);
        return;
    }
    regroupPiece<Forward>(in, elements, elementBytes, elements, 0, out);
    const std::size_t whole = elements * elementBytes;
    std::memcpy(out + whole, in + whole, size - whole);
}

// Whether the pipeline starts with a shuffle of many elements that pieces of whole rows can do.
bool shufflesByPieces(const ChunkPipeline& pipeline, std::size_t chunkBytes, std::size_t rowBytes) {
    return !pipeline.Filters.empty() && pipeline.Filters.front() == ChunkFilter::Shuffle &&
           shuffledElements(chunkBytes, pipeline.ElementBytes) > 1 &&
           rowBytes % pipeline.ElementBytes == 0;
}

// The chunk's size where the deflate filter met it on writing: checksums before it add theirs.
std::size_t sizeBeforeDeflate(const ChunkPipeline& pipeline, std::uint32_t skipped,
                              std::size_t chunkBytes) {
    std::size_t size = chunkBytes;
    for (std::size_t i = 0; i < pipeline.Filters.size(); ++i) {
        if (skipped >> i & 1u) continue;
        if (pipeline.Filters[i] == ChunkFilter::Deflate) break;
        if (pipeline.Filters[i] == ChunkFilter::Fletcher32) size += ChecksumBytes;
    }
    return size;
}

} // namespace

std::uint32_t fletcher32(const unsigned char* data, std::size_t size) {
    std::uint32_t sum1 = 0;
    std::uint32_t sum2 = 0;
    for (std::size_t words = size / 2; words > 0;) {
        const std::size_t block = std::min(words, WordsPerFold);
        words -= block;
        for (std::size_t i = 0; i < block; ++i, data += 2) {
            sum1 += static_cast<std::uint32_t>(data[0]) << 8 | data[1];
            sum2 += sum1;
        }
        sum1 = fold(sum1);
        sum2 = fold(sum2);
    }
    if (size % 2) {
        sum1 += static_cast<std::uint32_t>(*data) << 8;
        sum2 += sum1;
        sum1 = fold(sum1);
        sum2 = fold(sum2);
    }
    return fold(sum2) << 16 | fold(sum1);
}

void shuffle(const unsigned char* in, std::size_t size, std::size_t elementBytes,
             unsigned char* out) {
    regroup<true>(in, size, elementBytes, out);
}

void unshuffle(const unsigned char* in, std::size_t size, std::size_t elementBytes,
               unsigned char* out) {
    regroup<false>(in, size, elementBytes, out);
}

unsigned char* ByteBuffer::resize(std::size_t size) {
    if (size > Capacity) {
        std::unique_ptr<unsigned char[]> grown(new unsigned char[size]);
        if (Size > 0) std::memcpy(grown.get(), Bytes.get(), Size);
        Bytes = std::move(grown);
        Capacity = size;
    }
    Size = size;
    return Bytes.get();
}

ChunkCoder::ChunkCoder() = default;

ChunkCoder::~ChunkCoder() {
    libdeflate_free_compressor(Compressor);
    libdeflate_free_decompressor(Decompressor);
}

ByteBuffer& ChunkCoder::spareFor(const ByteBuffer* current) {
    return current == &Chunk ? Scratch : Chunk;
}

void ChunkCoder::deflate(ByteBuffer& from, ByteBuffer& to, int level) {
    if (!Compressor || CompressorLevel != level) {
        libdeflate_free_compressor(Compressor);
        Compressor = libdeflate_alloc_compressor(level);
        CompressorLevel = level;
        if (!Compressor) throw std::bad_alloc();
    }
    const std::size_t bound = libdeflate_zlib_compress_bound(Compressor, from.size());
    // room for a checksum after it, so that one appends in place
    to.resize(bound + ChecksumBytes);
    const std::size_t size =
        libdeflate_zlib_compress(Compressor, from.data(), from.size(), to.data(), bound);
    if (size == 0) throw Failure("deflate found no room within its own bound");
    to.resize(size);
}

void ChunkCoder::inflate(const ByteBuffer& from, ByteBuffer& to, std::size_t expected) {
    if (!Decompressor && !(Decompressor = libdeflate_alloc_decompressor())) throw std::bad_alloc();
    std::size_t inflated = 0;
    switch (libdeflate_zlib_decompress(Decompressor, from.data(), from.size(), to.resize(expected),
                                       expected, &inflated)) {
    case LIBDEFLATE_SUCCESS:
        if (inflated == expected) return;
        throw Failure("it inflates to " + std::to_string(inflated) + " bytes instead of " +
                      std::to_string(expected));
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        throw Failure("it inflates to more than " + std::to_string(expected) + " bytes");
    default:
        throw Failure("it holds no valid deflate data");
    }
}

std::size_t ChunkCoder::makeChunk(const ChunkPipeline& pipeline, std::size_t rows,
                                  std::size_t rowBytes, const RowSource& source) {
    const std::size_t chunkBytes = rows * rowBytes;
    const std::size_t elementBytes = pipeline.ElementBytes;
    if (!shufflesByPieces(pipeline, chunkBytes, rowBytes)) {
        source(0, rows, Chunk.resize(chunkBytes));
        return 0;
    }
    const std::size_t elements = chunkBytes / elementBytes;
    const std::size_t pieceRows = std::clamp<std::size_t>(PieceBytes / rowBytes, 1, rows);
    unsigned char* piece = Chunk.resize(pieceRows * rowBytes);
    unsigned char* shuffled = Scratch.resize(chunkBytes);
    for (std::size_t first = 0; first < rows; first += pieceRows) {
        const std::size_t count = std::min(pieceRows, rows - first);
        source(first, count, piece);
        regroupPiece<true>(piece, count * rowBytes / elementBytes, elementBytes, elements,
                           first * rowBytes / elementBytes, shuffled);
    }
    return 1;
}

void ChunkCoder::encode(const ChunkPipeline& pipeline, std::size_t rows, std::size_t rowBytes,
                        const RowSource& source, ByteBuffer& stored) {
    const std::size_t applied = makeChunk(pipeline, rows, rowBytes, source);
    ByteBuffer* current = applied > 0 ? &Scratch : &Chunk;
    for (std::size_t i = applied; i < pipeline.Filters.size(); ++i) {
        switch (pipeline.Filters[i]) {
        case ChunkFilter::Shuffle: {
            ByteBuffer& next = spareFor(current);
            shuffle(current->data(), current->size(), pipeline.ElementBytes,
                    next.resize(current->size()));
            current = &next;
            break;
        }
        case ChunkFilter::Deflate: {
            ByteBuffer& next = current == &stored ? spareFor(current) : stored;
            deflate(*current, next, pipeline.DeflateLevel);
            current = &next;
            break;
        }
        case ChunkFilter::Fletcher32: {
            const std::size_t size = current->size();
            const std::uint32_t sum = fletcher32(current->data(), size);
            storeLittleEndian(sum, current->resize(size + ChecksumBytes) + size);
            break;
        }
        }
    }
    if (current != &stored)
        std::memcpy(stored.resize(current->size()), current->data(), current->size());
}

void ChunkCoder::decode(const ChunkPipeline& pipeline, std::uint32_t skipped, ByteBuffer& stored,
                        std::size_t rows, std::size_t rowBytes, std::size_t keptRows,
                        const RowSink& sink) {
    const std::size_t chunkBytes = rows * rowBytes;
    const bool byPieces = shufflesByPieces(pipeline, chunkBytes, rowBytes) && !(skipped & 1u);
    ByteBuffer* current = &stored;
    for (std::size_t i = pipeline.Filters.size(); i-- > (byPieces ? 1 : 0);) {
        if (skipped >> i & 1u) continue;
        ByteBuffer& next = spareFor(current);
        switch (pipeline.Filters[i]) {
        case ChunkFilter::Shuffle:
            unshuffle(current->data(), current->size(), pipeline.ElementBytes,
                      next.resize(current->size()));
            current = &next;
            break;
        case ChunkFilter::Deflate:
            inflate(*current, next, sizeBeforeDeflate(pipeline, skipped, chunkBytes));
            current = &next;
            break;
        case ChunkFilter::Fletcher32: {
            if (current->size() < ChecksumBytes) throw Failure("it is too short for its checksum");
            const std::size_t size = current->size() - ChecksumBytes;
            const std::uint32_t sum = fletcher32(current->data(), size);
            const std::uint32_t kept = loadLittleEndian(current->data() + size);
            if (kept != sum && kept != swappedHalves(sum))
                throw Failure("its checksum does not match");
            current->resize(size);
            break;
        }
        }
    }
    if (current->size() != chunkBytes)
        throw Failure("it holds " + std::to_string(current->size()) + " bytes instead of " +
                      std::to_string(chunkBytes));
    if (!byPieces) return sink(0, keptRows, current->data());
    const std::size_t elementBytes = pipeline.ElementBytes;
    const std::size_t pieceRows = std::clamp<std::size_t>(PieceBytes / rowBytes, 1, rows);
    unsigned char* piece = spareFor(current).resize(pieceRows * rowBytes);
    for (std::size_t first = 0; first < keptRows; first += pieceRows) {
        const std::size_t count = std::min(pieceRows, keptRows - first);
        regroupPiece<false>(current->data(), count * rowBytes / elementBytes, elementBytes,
                            chunkBytes / elementBytes, first * rowBytes / elementBytes, piece);
        sink(first, count, piece);
    }
}

} // namespace Plexa::detail
