// Data arrays: zero unless asked otherwise at every size (small ones from the heap, large ones
// from the kernel), every value kept, and sizes beyond memory refused rather than wrapped.
#include "outside/Plexa.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <new>

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

} // namespace
