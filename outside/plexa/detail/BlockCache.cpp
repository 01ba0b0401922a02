#include "outside/plexa/detail/BlockCache.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define PLEXA_POISON(start, length) ASAN_POISON_MEMORY_REGION(start, length)
#define PLEXA_UNPOISON(start, length) ASAN_UNPOISON_MEMORY_REGION(start, length)
#else
#define PLEXA_POISON(start, length) ((void)(start), (void)(length))
#define PLEXA_UNPOISON(start, length) ((void)(start), (void)(length))
#endif

namespace Plexa::detail {

namespace {

constexpr std::size_t HugePage = std::size_t(2) << 20;

std::size_t roundedUp(std::size_t bytes, std::size_t to) {
    return (bytes + to - 1) / to * to;
}

// Mapped one huge page larger, then trimmed to start at a huge page's edge; the end stays at the
// next small page, since a partial huge page at the end would only be backed by small ones.
void* mapAligned(std::size_t length) {
    void* mapped = ::mmap(nullptr, length + HugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    auto* const start = static_cast<char*>(mapped);
    auto* const aligned =
        reinterpret_cast<char*>(roundedUp(reinterpret_cast<std::uintptr_t>(start), HugePage));
    if (aligned != start) ::munmap(start, static_cast<std::size_t>(aligned - start));
    if (const std::size_t tail = HugePage - static_cast<std::size_t>(aligned - start))
        ::munmap(aligned + length, tail);
    // only advice: without transparent huge pages the memory works the same in small pages
    ::madvise(aligned, length, MADV_HUGEPAGE);
    return aligned;
}

void unmap(void* start, std::size_t length) noexcept {
    PLEXA_UNPOISON(start, length); // the next mapping there may be an array's
    ::munmap(start, length);
}

} // namespace

BlockCache::BlockCache(std::size_t keptBlocksAtMost) : KeptAtMost(keptBlocksAtMost) {
    Kept.reserve(KeptAtMost); // so that keeping a block never allocates
}

BlockCache::~BlockCache() {
    drop();
}

std::vector<BlockCache::Block>::iterator BlockCache::bestFit(std::size_t length) {
    auto best = Kept.end();
    for (auto block = Kept.begin(); block != Kept.end(); ++block)
        if (block->Length >= length && block->Length / 2 <= length &&
            (best == Kept.end() || block->Length < best->Length))
            best = block;
    return best;
}

std::vector<BlockCache::Block> BlockCache::makeRoomFor(std::size_t length) {
    const std::size_t peak = std::max(Bytes.Peak, Bytes.InUse + length);
    std::size_t held = Bytes.InUse + Bytes.Kept + length;
    auto kept = Kept.begin();
    for (; kept != Kept.end() && held > peak; ++kept)
        held -= kept->Length;
    std::vector<Block> leaving(Kept.begin(), kept); // may throw: nothing changed yet
    Kept.erase(Kept.begin(), kept);
    Bytes.Kept = held - Bytes.InUse - length;
    // counted in use already, so that other threads make room for it too
    Bytes.InUse += length;
    Bytes.Peak = peak;
    return leaving;
}

void* BlockCache::take(std::size_t bytes, bool zeroed) {
    if (bytes > std::numeric_limits<std::size_t>::max() / 2)
        throw std::bad_alloc(); // no rounding over
    const std::size_t length =
        roundedUp(std::max<std::size_t>(bytes, 1), static_cast<std::size_t>(::getpagesize()));
    std::unique_lock<std::mutex> guard(Lock);
    if (const auto found = bestFit(length); found != Kept.end()) {
        const Block block = *found;
        Lent.emplace(block.Start, block.Length); // first, since it may throw
        Kept.erase(found);
        Bytes.Kept -= block.Length;
        Bytes.InUse += block.Length;
        ++Bytes.Reused;
        guard.unlock();
        PLEXA_UNPOISON(block.Start, block.Length);
        if (zeroed) std::memset(block.Start, 0, bytes);
        return block.Start;
    }
    const std::vector<Block> leaving = makeRoomFor(length);
    guard.unlock();
    for (const Block& block : leaving)
        unmap(block.Start, block.Length);
    void* start = nullptr;
    try {
        start = mapAligned(length); // the kernel's pages come zeroed
        guard.lock();
        Lent.emplace(start, length);
    } catch (...) {
        if (!guard.owns_lock()) guard.lock();
        Bytes.InUse -= length;
        guard.unlock();
        if (start) unmap(start, length);
        throw;
    }
    return start;
}

void BlockCache::give(void* start) noexcept {
    std::unique_lock<std::mutex> guard(Lock);
    const auto lent = Lent.find(start);
    if (lent == Lent.end()) return; // no block of ours: unmapping a guessed length would be worse
    const Block block{start, lent->second};
    Lent.erase(lent);
    Bytes.InUse -= block.Length;
    Block leaving = block;
    if (KeptAtMost > 0) {
        leaving = Block{nullptr, 0};
        if (Kept.size() == KeptAtMost) { // the oldest makes way
            leaving = Kept.front();
            Kept.erase(Kept.begin());
            Bytes.Kept -= leaving.Length;
        }
        PLEXA_POISON(block.Start, block.Length); // before another thread can take it
        Kept.push_back(block);
        Bytes.Kept += block.Length;
    }
    guard.unlock();
    if (leaving.Start) unmap(leaving.Start, leaving.Length);
}

void BlockCache::drop() noexcept {
    std::lock_guard<std::mutex> guard(Lock); // rare: unmapping under the lock costs nothing much
    for (const Block& block : Kept)
        unmap(block.Start, block.Length);
    Kept.clear(); // keeps its room, so that keeping still never allocates
    Bytes.Kept = 0;
}

BlockCache::Usage BlockCache::usage() const {
    std::lock_guard<std::mutex> guard(Lock);
    return Bytes;
}

} // namespace Plexa::detail
