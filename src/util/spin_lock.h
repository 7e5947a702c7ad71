// A mutex for short sections under contention: a thread that finds it taken
// watches it for a while before it sleeps, since a sleep and a wake cost far
// more than the section itself (a store appending one node). It watches by
// reading, so the holder keeps the lock word in its cache until it lets go.
#pragma once

#include <atomic>
#include <cstdint>

namespace dagloom {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

class SpinLock {
public:
    void lock() {
        for (int i = 0; i < kSpins; ++i) {
            uint32_t free = kFree;
            if (state_.load(std::memory_order_relaxed) == kFree &&
                state_.compare_exchange_weak(free, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
                return;
            cpu_relax();
        }
        // Asleep from here on: mark the lock as having sleepers, so that
        // unlock knows to wake one.
        while (state_.exchange(kHeldSleepers, std::memory_order_acquire) != kFree)
            state_.wait(kHeldSleepers, std::memory_order_relaxed);
    }
    bool try_lock() {
        uint32_t free = kFree;
        return state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() {
        if (state_.exchange(kFree, std::memory_order_release) == kHeldSleepers) state_.notify_one();
    }

private:
    static constexpr uint32_t kFree = 0, kHeld = 1, kHeldSleepers = 2;
    static constexpr int kSpins = 256;
    std::atomic<uint32_t> state_{kFree};
};

}  // namespace dagloom
