// Counted pointers and global counters shared by converters on several threads at once.
#include "convlib/MyStorage.hpp"
#include "outside/Quorix.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int Threads = 8;
constexpr int Rounds = 4000;
constexpr std::size_t ChunkValues = 16;

using Quorix::StrongPtr;
using StoragePtr = StrongPtr<Quorix::InterfaceBase>;
using ListPtr = StrongPtr<Quorix::StringList>;
using ChunkPtr = StrongPtr<Quorix::ChunkBase>;

// What one thread keeps between rounds: its converter, its newest chunk and every age it took.
struct Worker {
    ConvLibTest::TestConverter Converter;
    ChunkPtr Kept;
    Quorix::Ageable Clock;
    std::vector<std::uint64_t> Ages;
};

// Every way of taking and releasing a reference, once, through the worker's own converter.
void oneRound(Worker& worker) {
    ConvLib::BasicConverterDefs& converter = worker.Converter;
    StoragePtr copy(converter.myStorage);
    StoragePtr moved(std::move(copy));
    Quorix::WeakPtr<Quorix::StringList> weak(converter.InFiles);
    ListPtr locked = weak.lock();
    Quorix::DynPtr<ConvLib::MyStorage, Quorix::InterfaceBase> policy(moved);
    ASSERT_TRUE(locked.valid() && policy.valid());
    converter.InFiles = locked;
    worker.Kept = ChunkPtr(new Quorix::Chunk<double>(ChunkValues));
    worker.Ages.push_back(worker.Clock.touch());
}

struct Counters {
    std::uint64_t Serials = Quorix::PointerID.load();
    std::uint64_t Chunks = Quorix::ReferenceBase<Quorix::ChunkBase>::MaxObjectCountID.load();
    std::uint64_t Time = Quorix::Ageable::GlobalTime.load();
    std::int64_t Memsize = Quorix::ChunkBase::TotalMemsize.load();
};

TEST(Concurrency, ConvertersOnManyThreadsLeaveExactCountsAndCounters) {
    ConvLibTest::SpeakRecorder recorder;
    StoragePtr storage(new ConvLib::MyStorage(0, false, false, false));
    ListPtr files(new Quorix::StringList{"a.csv", "b.xyz"});
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < Threads; ++i) {
        workers.push_back(std::make_unique<Worker>());
        workers.back()->Converter.myStorage = storage;
        workers.back()->Converter.InFiles = files;
    }
    // the cost of one round in serials, measured where nothing else runs
    const Counters beforeProbe;
    oneRound(*workers[0]);
    const std::uint64_t serialsPerRound = Quorix::PointerID.load() - beforeProbe.Serials;
    workers[0]->Kept.release();
    workers[0]->Ages.clear();

    const Counters before;
    std::vector<std::thread> threads;
    for (auto& worker : workers)
        threads.emplace_back([&worker] {
            for (int round = 0; round < Rounds; ++round)
                oneRound(*worker);
        });
    for (std::thread& thread : threads)
        thread.join();

    const std::uint64_t rounds = std::uint64_t{Threads} * Rounds;
    EXPECT_EQ(Quorix::PointerID.load() - before.Serials, rounds * serialsPerRound);
    EXPECT_EQ(Quorix::ReferenceBase<Quorix::ChunkBase>::MaxObjectCountID.load() - before.Chunks,
              rounds);
    EXPECT_EQ(Quorix::Ageable::GlobalTime.load() - before.Time, rounds);
    std::set<std::uint64_t> ages;
    for (const auto& worker : workers)
        ages.insert(worker->Ages.begin(), worker->Ages.end());
    EXPECT_EQ(ages.size(), rounds) << "two changes took the same age";
    EXPECT_EQ(*ages.rbegin(), Quorix::Ageable::GlobalTime.load());
    EXPECT_EQ(Quorix::ChunkBase::TotalMemsize.load() - before.Memsize,
              static_cast<std::int64_t>(Threads * ChunkValues * sizeof(double)));

    // the object holds one weak reference of its own, every strong pointer another
    EXPECT_EQ(storage->strongCount(), 1 + Threads);
    EXPECT_EQ(storage->weakCount(), 2 + Threads);
    EXPECT_EQ(files->strongCount(), 1 + Threads);
    EXPECT_EQ(files->weakCount(), 2 + Threads);
    ConvLibTest::captureStdout([&] { workers.clear(); }); // run summaries
    EXPECT_EQ(storage->strongCount(), 1);
    EXPECT_EQ(storage->weakCount(), 2);
    EXPECT_EQ(files->strongCount(), 1);
    EXPECT_EQ(Quorix::ChunkBase::TotalMemsize.load(), before.Memsize);
    EXPECT_EQ(recorder.reports().size(), 0u);
}

std::atomic<int> livePieces{0};
std::atomic<int> piecesStarted{0};

struct Piece : Quorix::ReferenceBase<Piece> {
    Piece() { ++livePieces; }
    ~Piece() override { --livePieces; }
    int Value = 42;
};

} // namespace

template <> struct Quorix::DeferredInitializationTrait<Piece> {
    static void call(Piece*) { ++piecesStarted; }
};

namespace {

// Threads copy and lock weak pointers while the owner lets go of the last strong one: each lock
// gives a live object or nothing, and an object that started to die stays dead.
TEST(Concurrency, WeakPointerLockNeverRevivesADyingObject) {
    constexpr int Objects = 200;
    constexpr int Lockers = 4;
    ConvLibTest::SpeakRecorder recorder;
    piecesStarted = 0;
    for (int object = 0; object < Objects; ++object) {
        StrongPtr<Piece> owner(new Piece);
        Quorix::WeakPtr<Piece> watch(owner);
        std::atomic<int> locking{0};
        std::atomic<int> wrongValues{0};
        std::atomic<int> revived{0};
        std::vector<std::thread> lockers;
        for (int i = 0; i < Lockers; ++i)
            lockers.emplace_back([&, watch] {
                for (int lock = 0; lock < 100; ++lock) {
                    const Quorix::WeakPtr<Piece> copy(watch);
                    StrongPtr<Piece> locked = copy.lock();
                    if (!locked) {
                        if (watch.lock()) ++revived;
                        break;
                    }
                    if (locked->Value != 42) ++wrongValues;
                    if (lock == 0) ++locking;
                }
            });
        while (locking.load() < Lockers)
            std::this_thread::yield();
        owner.release();
        for (std::thread& thread : lockers)
            thread.join();
        ASSERT_EQ(livePieces.load(), 0) << "object " << object;
        ASSERT_EQ(wrongValues.load() + revived.load(), 0) << "object " << object;
    }
    EXPECT_EQ(piecesStarted.load(), Objects);
    EXPECT_EQ(recorder.count(Quorix::SpeakPtr::DestructionCancelled), 0u);
    EXPECT_EQ(recorder.count(Quorix::SpeakPtr::DynPtrInvalid), 0u);
}

} // namespace
