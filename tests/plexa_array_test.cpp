// Data arrays: zero unless asked otherwise at every size (small ones from the heap, large ones
// from the kernel), every value kept, and sizes beyond memory refused rather than wrapped; big
// blocks kept for the next arrays they fit, never beyond the peak in use, never lent twice. Runs
// under the thread sanitizer.
#include "outside/Plexa.hpp"
#include "outside/plexa/detail/BlockCache.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <vector>

namespace {

TEST(ArrayTest, MadeArraysAreZeroAndKeepEveryValueAtEverySize) {
    // small, between the heap's own mapping threshold and 2 MiB, and huge-page sized
    for (const std::size_t tuples : {0ul, 7ul, 100000ul, 1ul << 20, (3ul << 20) / 8 + 3}) {
        {
            // written in full, then freed: memory the next array may well be given again
            const auto unset = Plexa::makeUninitializedArray<double>(tuples, 3);
            ASSERT_EQ(unset->elementCount(), tuples * 3);
            std::fill(unset->data(), unset->data() + unset->elementCount(), -1.0);
            EXPECT_TRUE(tuples == 0 || (*unset)(tuples - 1, 2) == -1.0);
        }
        const auto zeroed = Plexa::makeArray<double>(tuples, 3);
        const double* values = zeroed->data();
        EXPECT_TRUE(std::all_of(values, values + zeroed->elementCount(),
                                [](double value) { return value == 0; }))
            << tuples << " tuples";
    }
}

TEST(ArrayTest, SizesBeyondMemoryAreRefusedNotWrapped) {
    const std::size_t most = std::numeric_limits<std::size_t>::max();
    EXPECT_THROW(Plexa::makeArray<double>(most / 4, 3), std::bad_alloc);
    EXPECT_THROW(Plexa::makeUninitializedArray<std::int8_t>(most / 2, 3), std::bad_alloc);
    EXPECT_THROW(Plexa::makeArray(typeid(float), most / 2, 1), std::bad_alloc);
    EXPECT_FALSE(Plexa::makeArray(typeid(char), 10, 1)) << "no arrays of unsupported types";
}

using Plexa::detail::BlockCache;

constexpr std::size_t MiB = std::size_t(1) << 20;

bool holdsOnly(const void* block, std::size_t bytes, unsigned char value) {
    const auto* bytesOf = static_cast<const unsigned char*>(block);
    return std::all_of(bytesOf, bytesOf + bytes, [value](unsigned char b) { return b == value; });
}

TEST(BlockCacheTest, AKeptBlockServesRequestsOfAtLeastHalfItsSizeAndReadsZeroWhenAsked) {
    BlockCache blocks;
    void* const first = blocks.take(6 * MiB, false);
    std::memset(first, 0xff, 6 * MiB);
    blocks.give(first);
    EXPECT_EQ(blocks.usage().Kept, 6 * MiB);

    void* const zeroed = blocks.take(5 * MiB, true);
    EXPECT_EQ(zeroed, first);
    EXPECT_TRUE(holdsOnly(zeroed, 5 * MiB, 0));
    blocks.give(zeroed);
    void* const half = blocks.take(3 * MiB, false);
    EXPECT_EQ(half, first);
    EXPECT_EQ(blocks.usage().Reused, 2u);
    blocks.give(half);

    // more than the kept block holds, then less than half of what is kept
    blocks.give(blocks.take(6 * MiB + 1, false));
    blocks.give(blocks.take(3 * MiB - 1, false));
    EXPECT_EQ(blocks.usage().Reused, 2u);

    blocks.drop();
    EXPECT_EQ(blocks.usage().Kept, 0u);
    EXPECT_THROW(blocks.take(std::numeric_limits<std::size_t>::max() - MiB, false), std::bad_alloc);
    int notABlock = 0;
    blocks.give(&notABlock); // ignored rather than unmapped
    EXPECT_EQ(blocks.usage().InUse, 0u);
}

TEST(BlockCacheTest, BlocksInUseAndKeptNeverHoldMoreThanThePeakInUse) {
    BlockCache blocks;
    const auto withinPeak = [&] {
        const BlockCache::Usage usage = blocks.usage();
        return usage.InUse + usage.Kept <= usage.Peak;
    };
    void* const a = blocks.take(4 * MiB, false);
    void* const b = blocks.take(4 * MiB, false);
    blocks.give(a);
    blocks.give(b);
    EXPECT_EQ(blocks.usage().Kept, 8 * MiB);
    void* const reused = blocks.take(3 * MiB, false);
    EXPECT_TRUE(reused == a || reused == b);
    EXPECT_TRUE(withinPeak());
    // a new peak: the other kept block goes rather than sit beside it
    void* const big = blocks.take(12 * MiB, false);
    EXPECT_EQ(blocks.usage().Kept, 0u);
    EXPECT_TRUE(withinPeak());
    blocks.give(reused);
    blocks.give(big);
    EXPECT_EQ(blocks.usage().Kept, 16 * MiB);
    EXPECT_TRUE(withinPeak());
}

// Each thread marks every page of the blocks it holds and finds its marks still there: a block
// lent twice would show another thread's.
TEST(BlockCacheTest, ThreadsTakingAndGivingNeverShareABlock) {
    BlockCache blocks(3); // fewer than the threads hold, so that old blocks make way too
    constexpr std::size_t Page = 4096;
    const auto work = [&blocks](unsigned char mark) {
        for (std::size_t round = 0; round < 30; ++round) {
            const std::size_t bytes = (2 + (round + mark) % 3) * MiB;
            auto* const block = static_cast<unsigned char*>(blocks.take(bytes, round % 2 == 0));
            for (std::size_t page = 0; page < bytes; page += Page)
                block[page] = mark;
            std::this_thread::yield();
            for (std::size_t page = 0; page < bytes; page += Page)
                if (block[page] != mark) return false;
            blocks.give(block);
        }
        return true;
    };
    std::vector<char> clean(4);
    std::vector<std::thread> threads;
    for (unsigned char mark = 1; mark <= clean.size(); ++mark)
        threads.emplace_back([&, mark] { clean[mark - 1] = work(mark); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_TRUE(std::all_of(clean.begin(), clean.end(), [](char c) { return c; }));
    EXPECT_EQ(blocks.usage().InUse, 0u);
    EXPECT_LE(blocks.usage().Kept, blocks.usage().Peak);
}

} // namespace
