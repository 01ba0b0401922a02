#include "outside/plexa/detail/WorkerPool.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace Plexa::detail {

namespace {

thread_local std::size_t CurrentWorker = 0;

} // namespace

WorkerPool::WorkerPool(unsigned workers) {
    if (workers == 0) workers = std::max(std::thread::hardware_concurrency(), 1u);
    Threads.reserve(workers);
    try {
        for (unsigned i = 0; i < workers; ++i)
            Threads.emplace_back([this, i] { serve(i); });
    } catch (const std::system_error&) {
        // fewer threads only make the work slower
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Stopping = true;
    }
    Wake.notify_all();
    for (std::thread& thread : Threads)
        thread.join();
}

void WorkerPool::post(std::function<void()> job) {
    if (Threads.empty()) {
        job();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(Lock);
        Queue.push_back(std::move(job));
    }
    Wake.notify_one();
}

std::size_t WorkerPool::workerIndex() noexcept {
    return CurrentWorker;
}

void WorkerPool::serve(std::size_t index) noexcept {
    CurrentWorker = index;
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> guard(Lock);
            Wake.wait(guard, [this] { return Stopping || !Queue.empty(); });
            if (Queue.empty()) return;
            job = std::move(Queue.front());
            Queue.pop_front();
        }
        try {
            job();
        } catch (...) {
            // jobs report their own failures; this only keeps the worker alive
        }
    }
}

JobRing::JobRing(WorkerPool& pool, std::size_t slots)
    : Pool(pool), States(std::max<std::size_t>(slots, 1)) {}

JobRing::~JobRing() {
    settle();
}

void JobRing::settle() noexcept {
    std::unique_lock<std::mutex> guard(Lock);
    for (State& state : States) {
        Done.wait(guard, [&state] { return !state.Busy; });
        state.Failure = nullptr;
    }
}

void JobRing::start(std::size_t slot, std::function<void()> job) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        States[slot].Busy = true;
        States[slot].Failure = nullptr;
    }
    try {
        Pool.post([this, slot, job = std::move(job)]() mutable {
            std::exception_ptr failure;
            try {
                job();
            } catch (...) {
                failure = std::current_exception();
            }
            job = nullptr; // whatever it holds goes before the caller may leave
            finish(slot, failure);
        });
    } catch (...) {
        finish(slot, nullptr); // never queued
        throw;
    }
}

void JobRing::finish(std::size_t slot, std::exception_ptr failure) noexcept {
    // Notified under the lock: the ring may be gone as soon as the waiter sees the slot free.
    std::lock_guard<std::mutex> guard(Lock);
    States[slot].Busy = false;
    States[slot].Failure = std::move(failure);
    Done.notify_all();
}

void JobRing::wait(std::size_t slot) {
    std::exception_ptr failure;
    {
        std::unique_lock<std::mutex> guard(Lock);
        Done.wait(guard, [this, slot] { return !States[slot].Busy; });
        failure = std::exchange(States[slot].Failure, nullptr);
    }
    if (failure) std::rethrow_exception(failure);
}

} // namespace Plexa::detail
