// The store's two locks: the spinning mutex its writers take, and the
// reader-writer lock that keeps readers out while a table moves.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "util/internal_error.h"
#include "util/poison_mutex.h"
#include "util/rw_lock.h"
#include "util/spin_lock.h"

namespace dagloom {
namespace {

using namespace std::chrono_literals;

// Waits (bounded) until `done` holds; false if it never did.
template <class Pred>
bool eventually(Pred done) {
    for (int i = 0; i < 4000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// A plain counter bumped under the lock by several threads: any lost
// update means two threads were inside at once. Some of them sleep inside,
// so that waiters go to sleep too and have to be woken.
template <class Lock>
void hammer(Lock& lock, void (*take)(Lock&), void (*give)(Lock&)) {
    constexpr int kThreads = 4, kRounds = 20000;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                take(lock);
                const long seen = counter;
                if ((i + t) % 4096 == 0) std::this_thread::sleep_for(50us);
                counter = seen + 1;
                give(lock);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(Locks, SpinLockExcludes) {
    SpinLock lock;
    hammer<SpinLock>(lock, [](SpinLock& l) { l.lock(); }, [](SpinLock& l) { l.unlock(); });
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
}

TEST(Locks, RwLockWritersExcludeEachOther) {
    RwLock lock;
    hammer<RwLock>(lock, [](RwLock& l) { l.lock(); }, [](RwLock& l) { l.unlock(); });
}

TEST(Locks, RwLockReadersShareAndWritersWaitForThem) {
    RwLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> release{false}, written{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            const std::size_t slot = lock.lock_shared();
            ++inside;
            while (!release) std::this_thread::yield();
            lock.unlock_shared(slot);
        });
    // Three readers inside together.
    ASSERT_TRUE(eventually([&] { return inside == 3; }));
    std::thread writer([&] {
        lock.lock();
        written = true;
        lock.unlock();
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(written) << "a writer got in while readers held the lock";
    release = true;
    for (auto& th : readers) th.join();
    writer.join();
    EXPECT_TRUE(written);
}

TEST(Locks, RwLockWaitingWriterGoesBeforeLaterReaders) {
    RwLock lock;
    const std::size_t early = lock.lock_shared();  // an early, long reader
    std::atomic<bool> writer_in{false}, late_reader_in{false};
    std::atomic<bool> writer_saw_late_reader{false};
    std::thread writer([&] {
        lock.lock();
        writer_in = true;
        writer_saw_late_reader = late_reader_in.load();
        std::this_thread::sleep_for(5ms);
        lock.unlock();
    });
    std::this_thread::sleep_for(20ms);  // the writer is waiting now
    std::thread late([&] {
        const std::size_t slot = lock.lock_shared();  // must wait behind the writer (it sleeps after spinning)
        late_reader_in = true;
        lock.unlock_shared(slot);
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(late_reader_in) << "a reader overtook a waiting writer";
    EXPECT_FALSE(writer_in);
    lock.unlock_shared(early);
    writer.join();
    late.join();
    EXPECT_TRUE(writer_in);
    EXPECT_TRUE(late_reader_in);
    EXPECT_FALSE(writer_saw_late_reader);
}

TEST(Locks, PoisonMutexSparesOutOfMemoryAndPoisonsOtherFailures) {
    PoisonMutex mu("test lock poisoned");
    EXPECT_THROW(mu.locked([]() -> int { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_FALSE(mu.poisoned());
    EXPECT_EQ(mu.locked([] { return 7; }), 7);
    EXPECT_THROW(mu.locked([]() -> int { throw std::runtime_error("half done"); }), std::runtime_error);
    EXPECT_TRUE(mu.poisoned());
    try {
        mu.locked([] { return 0; });
        FAIL() << "a poisoned lock was taken";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "test lock poisoned: poisoned lock: another task failed inside");
    }
}

}  // namespace
}  // namespace dagloom
