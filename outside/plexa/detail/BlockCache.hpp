// Big blocks of array memory straight from the kernel, and the released ones kept for the arrays
// that follow: a batch's next file then writes into memory that is faulted in already. Internal
// to Plexa.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Plexa::detail {

// Thread-safe. Blocks are 2 MiB-aligned, so that the kernel can back them with huge pages. A kept
// block serves a request that needs at least half of it. Blocks are kept only while those in use
// and those kept together stay within the most that were ever in use at once, so keeping never
// raises the peak of the process's array memory.
class BlockCache {
public:
    explicit BlockCache(std::size_t keptBlocksAtMost = 16);
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // At least `bytes`, zero when `zeroed` and unset otherwise; throws std::bad_alloc.
    void* take(std::size_t bytes, bool zeroed);
    // A block that take() gave, to keep or to unmap.
    void give(void* block) noexcept;
    // Unmaps every kept block.
    void drop() noexcept;

    struct Usage {
        std::size_t InUse = 0, Kept = 0, Peak = 0; // bytes
        std::size_t Reused = 0;                    // requests served by a kept block
    };
    Usage usage() const;

private:
    struct Block {
        void* Start;
        std::size_t Length;
    };
    // The smallest kept block that fits, or the end.
    std::vector<Block>::iterator bestFit(std::size_t length);
    // Takes the kept blocks that must go before `length` more are mapped, and counts those in use.
    std::vector<Block> makeRoomFor(std::size_t length);

    const std::size_t KeptAtMost;
    mutable std::mutex Lock;
    std::vector<Block> Kept; // oldest first
    std::unordered_map<void*, std::size_t> Lent;
    Usage Bytes;
};

} // namespace Plexa::detail
