#include "outside/plexa/detail/ChunkFilters.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace Plexa::detail {

namespace {

constexpr std::size_t ChecksumBytes = 4;
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

template <std::size_t Bytes>
void shuffleFixed(const unsigned char* in, std::size_t elements, unsigned char* out) {
    for (std::size_t e = 0; e < elements; ++e, in += Bytes)
        for (std::size_t b = 0; b < Bytes; ++b)
            out[b * elements + e] = in[b];
}

template <std::size_t Bytes>
void unshuffleFixed(const unsigned char* in, std::size_t elements, unsigned char* out) {
    for (std::size_t e = 0; e < elements; ++e, out += Bytes)
        for (std::size_t b = 0; b < Bytes; ++b)
            out[b] = in[b * elements + e];
}

// Regroups whole elements one way or the other; the tail is copied as it is.
template <bool Forward>
void regroup(const unsigned char* in, std::size_t size, std::size_t elementBytes,
             unsigned char* out) {
    const std::size_t elements = elementBytes > 1 ? size / elementBytes : 0;
    if (elements <= 1) {
        std::memcpy(out, in, size);
        return;
    }
    switch (elementBytes) {
    case 2:
        Forward ? shuffleFixed<2>(in, elements, out) : unshuffleFixed<2>(in, elements, out);
        break;
    case 4:
        Forward ? shuffleFixed<4>(in, elements, out) : unshuffleFixed<4>(in, elements, out);
        break;
    case 8:
        Forward ? shuffleFixed<8>(in, elements, out) : unshuffleFixed<8>(in, elements, out);
        break;
    default:
        for (std::size_t e = 0; e < elements; ++e)
            for (std::size_t b = 0; b < elementBytes; ++b) {
                const std::size_t grouped = b * elements + e;
                const std::size_t plain = e * elementBytes + b;
                out[Forward ? grouped : plain] = in[Forward ? plain : grouped];
            }
    }
    const std::size_t whole = elements * elementBytes;
    std::memcpy(out + whole, in + whole, size - whole);
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

ByteBuffer& ChunkCoder::spareFor(const ByteBuffer& current) {
    return &current == &Scratch ? Chunk : Scratch;
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
    if (size == 0) throw std::runtime_error("deflate found no room within its own bound");
    to.resize(size);
}

void ChunkCoder::inflate(const ByteBuffer& from, ByteBuffer& to, std::size_t expected) {
    if (!Decompressor && !(Decompressor = libdeflate_alloc_decompressor())) throw std::bad_alloc();
    std::size_t inflated = 0;
    switch (libdeflate_zlib_decompress(Decompressor, from.data(), from.size(), to.resize(expected),
                                       expected, &inflated)) {
    case LIBDEFLATE_SUCCESS:
        if (inflated == expected) return;
        throw std::runtime_error("it inflates to " + std::to_string(inflated) +
                                 " bytes instead of " + std::to_string(expected));
    case LIBDEFLATE_INSUFFICIENT_SPACE:
        throw std::runtime_error("it inflates to more than " + std::to_string(expected) + " bytes");
    default:
        throw std::runtime_error("it holds no valid deflate data");
    }
}

void ChunkCoder::encode(const ChunkPipeline& pipeline) {
    ByteBuffer* current = &Chunk;
    for (const ChunkFilter filter : pipeline.Filters) {
        ByteBuffer& next = spareFor(*current);
        switch (filter) {
        case ChunkFilter::Shuffle:
            shuffle(current->data(), current->size(), pipeline.ElementBytes,
                    next.resize(current->size()));
            current = &next;
            break;
        case ChunkFilter::Deflate:
            deflate(*current, next, pipeline.DeflateLevel);
            current = &next;
            break;
        case ChunkFilter::Fletcher32: {
            const std::size_t size = current->size();
            const std::uint32_t sum = fletcher32(current->data(), size);
            storeLittleEndian(sum, current->resize(size + ChecksumBytes) + size);
            break;
        }
        }
    }
    // the result moves to Stored by swapping, which keeps every buffer for the next chunk
    if (current != &Stored) std::swap(*current, Stored);
}

const unsigned char* ChunkCoder::decode(const ChunkPipeline& pipeline, std::uint32_t skipped,
                                        std::size_t chunkBytes) {
    ByteBuffer* current = &Stored;
    for (std::size_t i = pipeline.Filters.size(); i-- > 0;) {
        if (skipped >> i & 1u) continue;
        ByteBuffer& next = current == &Chunk ? Scratch : Chunk;
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
            if (current->size() < ChecksumBytes)
                throw std::runtime_error("it is too short for its checksum");
            const std::size_t size = current->size() - ChecksumBytes;
            const std::uint32_t stored = loadLittleEndian(current->data() + size);
            const std::uint32_t sum = fletcher32(current->data(), size);
            if (stored != sum && stored != swappedHalves(sum))
                throw std::runtime_error("its checksum does not match");
            current->resize(size);
            break;
        }
        }
    }
    if (current->size() != chunkBytes)
        throw std::runtime_error("it holds " + std::to_string(current->size()) +
                                 " bytes instead of " + std::to_string(chunkBytes));
    return current->data();
}

} // namespace Plexa::detail
