// Worker threads for the chunk filters of saves and loads, and a ring of job slots that hands
// finished jobs back to the calling thread in order. No HDF5 call happens on a worker. Internal
// to Plexa.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Plexa::detail {

// A fixed set of threads that run posted jobs; the destructor runs what is queued, then joins.
class WorkerPool {
public:
    // One worker per processor when `workers` is 0. Threads the system refuses are done without;
    // with none at all, jobs run on the posting thread.
    explicit WorkerPool(unsigned workers = 0);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();

    std::size_t size() const noexcept { return Threads.size(); }
    // The calling thread's number among its pool's workers, from 0; 0 on any other thread.
    static std::size_t workerIndex() noexcept;
    // Jobs must not throw; one that does is ended there, so nothing escapes a worker.
    void post(std::function<void()> job);

private:
    void serve(std::size_t index) noexcept;

    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<std::function<void()>> Queue;
    bool Stopping = false;
    std::vector<std::thread> Threads;
};

// Slots for jobs under way on a pool, each with buffers of its own that the caller keeps. A job
// runs on a slot that is free; waiting for the slot hands back the job's failure, if any. The
// destructor waits for every job it started, so no job outlives the buffers it works on.
class JobRing {
public:
    JobRing(WorkerPool& pool, std::size_t slots);
    JobRing(const JobRing&) = delete;
    JobRing& operator=(const JobRing&) = delete;
    ~JobRing();

    std::size_t slots() const noexcept { return States.size(); }
    void start(std::size_t slot, std::function<void()> job);
    // Waits until the slot's job has ended and rethrows what it threw.
    void wait(std::size_t slot);
    // Waits until every job has ended, dropping their failures.
    void settle() noexcept;

private:
    struct State {
        bool Busy = false;
        std::exception_ptr Failure;
    };
    void finish(std::size_t slot, std::exception_ptr failure) noexcept;

    WorkerPool& Pool;
    std::mutex Lock;
    std::condition_variable Done;
    std::vector<State> States;
};

// Runs jobs 0 to count - 1 on the ring's slots, job j on slot j % slots: `before(j, slot)` on
// the calling thread, then `work(j, slot)` on a worker, then `after(j, slot)` on the calling
// thread in job order. The first failure stops the run and is rethrown once every job ended.
template <class Before, class Work, class After>
void runInOrder(JobRing& ring, std::size_t count, Before before, const Work& work, After after) {
    // jobs still under way when a step fails must end before the caller's buffers go
    struct Settle {
        JobRing& Ring;
        ~Settle() { Ring.settle(); }
    } settle{ring};
    const std::size_t slots = ring.slots();
    for (std::size_t job = 0; job < count + slots; ++job) {
        const std::size_t slot = job % slots;
        if (job >= slots) {
            ring.wait(slot);
            after(job - slots, slot);
        }
        if (job >= count) continue;
        before(job, slot);
        ring.start(slot, [&work, job, slot] { work(job, slot); });
    }
}

} // namespace Plexa::detail
