// The worker threads of saves and loads: jobs handed back in order, failures carried to the
// caller, and no job outliving the run that started it. Runs under the thread sanitizer.
#include "outside/plexa/detail/WorkerPool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Plexa::detail::JobRing;
using Plexa::detail::runInOrder;
using Plexa::detail::WorkerPool;

// Uneven job lengths, so that later jobs often end before earlier ones.
void pause(std::size_t job) {
    std::this_thread::sleep_for(std::chrono::microseconds((job * 7919) % 5 * 50));
}

TEST(WorkerPool, JobsComeBackInOrderWithTheirSlotsResults) {
    for (unsigned workers : {1u, 2u, 4u}) {
        SCOPED_TRACE(workers);
        WorkerPool pool(workers);
        ASSERT_EQ(pool.size(), workers);
        JobRing ring(pool, 2 * workers);
        std::vector<std::size_t> slotValues(ring.slots());
        std::vector<std::size_t> prepared(ring.slots());
        std::vector<std::size_t> order;
        constexpr std::size_t Jobs = 200;
        runInOrder(
            ring, Jobs, [&](std::size_t job, std::size_t slot) { prepared[slot] = job; },
            [&](std::size_t job, std::size_t slot) {
                pause(job);
                slotValues[slot] = prepared[slot] * prepared[slot];
            },
            [&](std::size_t job, std::size_t slot) {
                EXPECT_EQ(slotValues[slot], job * job);
                order.push_back(job);
            });
        ASSERT_EQ(order.size(), Jobs);
        for (std::size_t i = 0; i < Jobs; ++i)
            EXPECT_EQ(order[i], i);
    }
}

TEST(WorkerPool, FewerJobsThanSlotsAndNoJobsAtAll) {
    WorkerPool pool(2);
    JobRing ring(pool, 8);
    for (std::size_t jobs : {0u, 1u, 3u}) {
        std::atomic<std::size_t> done{0};
        std::size_t handed = 0;
        runInOrder(
            ring, jobs, [](std::size_t, std::size_t) {}, [&](std::size_t, std::size_t) { ++done; },
            [&](std::size_t job, std::size_t) { EXPECT_EQ(job, handed++); });
        EXPECT_EQ(done.load(), jobs);
        EXPECT_EQ(handed, jobs);
    }
}

// A failure on a worker or on the calling thread stops the run; every job that started has ended
// when the failure reaches the caller, and the ring serves the next run.
TEST(WorkerPool, FailuresReachTheCallerAfterEveryStartedJobEnded) {
    enum Where { Worker, Before, After };
    for (Where where : {Worker, Before, After}) {
        SCOPED_TRACE(where);
        WorkerPool pool(2);
        JobRing ring(pool, 4);
        std::atomic<int> running{0};
        std::atomic<int> started{0};
        auto fail = [](Where at, Where here, std::size_t job) {
            if (at == here && job == 10) throw std::runtime_error("job 10 failed");
        };
        try {
            runInOrder(
                ring, 100, [&](std::size_t job, std::size_t) { fail(where, Before, job); },
                [&](std::size_t job, std::size_t) {
                    ++running;
                    ++started;
                    pause(job);
                    --running;
                    fail(where, Worker, job);
                },
                [&](std::size_t job, std::size_t) { fail(where, After, job); });
            ADD_FAILURE() << "no failure reached the caller";
        } catch (const std::runtime_error& failure) {
            EXPECT_STREQ(failure.what(), "job 10 failed");
        }
        EXPECT_EQ(running.load(), 0);
        EXPECT_LT(started.load(), 20) << "the run went on after the failure";
        std::size_t handed = 0;
        runInOrder(
            ring, 5, [](std::size_t, std::size_t) {}, [](std::size_t, std::size_t) {},
            [&](std::size_t, std::size_t) { ++handed; });
        EXPECT_EQ(handed, 5u);
    }
}

TEST(WorkerPool, JobsRunOffTheCallerAndTheDestructorRunsWhatIsQueued) {
    std::atomic<int> ran{0};
    std::vector<std::thread::id> where(50);
    std::vector<std::size_t> index(50);
    {
        WorkerPool pool(2);
        pool.post([] { throw std::runtime_error("ends here, not the worker"); });
        for (std::size_t i = 0; i < where.size(); ++i)
            pool.post([&, i] {
                where[i] = std::this_thread::get_id();
                index[i] = WorkerPool::workerIndex();
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 50);
    for (std::size_t i = 0; i < where.size(); ++i) {
        EXPECT_NE(where[i], std::this_thread::get_id());
        EXPECT_LT(index[i], 2u);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_EQ(where[i] == where[j], index[i] == index[j]) << "one number per worker";
    }
}

} // namespace
