// A reader-writer lock for data read far more often than it is moved.
//
// Readers do not share a lock word: each counts itself in one of several
// slots, a cache line each, chosen per thread, so two threads reading side
// by side do not pass a line back and forth on every read. A writer raises
// its flag, which turns new readers away, and waits for the slots to drain;
// a waiting writer thus goes before readers that come after it (readers of a
// store hold the lock for the length of a long read, a blob or a DOT text,
// and a writer that must move the store's tables would otherwise wait for
// as long as readers keep overlapping).
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "util/spin_lock.h"

namespace dagloom {

class RwLock {
public:
    RwLock() = default;
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;

    // Readers never take it twice on one thread: a second shared lock
    // behind a waiting writer would never be granted. The slot a reader
    // counted itself in is handed back to unlock_shared.
    std::size_t lock_shared() {
        const std::size_t slot = slot_of_this_thread();
        std::atomic<uint32_t>& readers = slots_[slot].readers;
        for (;;) {
            // The increment and the flag's read are each sequentially
            // consistent: either this reader sees the flag, or the writer
            // sees this reader.
            readers.fetch_add(1, std::memory_order_seq_cst);
            if (writer_.load(std::memory_order_seq_cst) == kNoWriter) return slot;
            readers.fetch_sub(1, std::memory_order_release);
            wait_for_writer();
        }
    }
    void unlock_shared(std::size_t slot) { slots_[slot].readers.fetch_sub(1, std::memory_order_release); }

    void lock() {
        writers_.lock();
        writer_.store(kWriter, std::memory_order_seq_cst);
        for (Slot& s : slots_) wait_until_empty(s.readers);
    }
    void unlock() {
        // A wake costs a system call: only for readers that went to sleep.
        if (writer_.exchange(kNoWriter, std::memory_order_release) == kWriterSleepers) writer_.notify_all();
        writers_.unlock();
    }

private:
    static constexpr std::size_t kSlots = 16;
    static constexpr uint32_t kNoWriter = 0, kWriter = 1, kWriterSleepers = 2;
    struct alignas(64) Slot {
        std::atomic<uint32_t> readers{0};
    };

    // A thread's slot comes from its thread handle, which the C library
    // keeps at hand (a thread-local variable would cost a lookup per read
    // in a shared library). Handles are addresses far apart: mixed, their
    // bits spread threads over the slots.
    static std::size_t slot_of_this_thread() {
        const uint64_t handle = static_cast<uint64_t>(pthread_self());
        return static_cast<std::size_t>(((handle >> 12) * 0x9e3779b97f4a7c15ULL) >> 60) % kSlots;
    }

    // A writer's section is short (it moves a table): a reader watches the
    // flag for a while before it sleeps, and says so before sleeping.
    void wait_for_writer() {
        for (int i = 0; i < 1024; ++i) {
            if (writer_.load(std::memory_order_acquire) == kNoWriter) return;
            cpu_relax();
        }
        uint32_t seen = kWriter;
        if (writer_.compare_exchange_strong(seen, kWriterSleepers, std::memory_order_acquire) || seen == kWriterSleepers)
            writer_.wait(kWriterSleepers, std::memory_order_acquire);
    }

    // Readers leave without a word to the writer: it looks again, briefly
    // at first, then backing off to sleeps (a long read may be under way).
    static void wait_until_empty(const std::atomic<uint32_t>& readers) {
        auto pause = std::chrono::microseconds(1);
        for (int spins = 0; readers.load(std::memory_order_acquire) != 0; ++spins) {
            if (spins < 1000) {
                cpu_relax();
                continue;
            }
            std::this_thread::sleep_for(pause);
            if (pause < std::chrono::microseconds(500)) pause *= 2;
        }
    }

    std::array<Slot, kSlots> slots_;
    alignas(64) std::atomic<uint32_t> writer_{kNoWriter};
    SpinLock writers_;  // one writer at a time
};

}  // namespace dagloom
