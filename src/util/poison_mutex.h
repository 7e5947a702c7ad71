// A mutex that becomes permanently unusable when a critical section fails
// in a way that may have left the state it guards half-updated: every later
// lock attempt then fails with an internal error instead.
//
// Running out of memory is not such a failure where the code under the lock
// takes its memory before it changes anything: such a section says so with
// Guard::spare_on_bad_alloc (or runs through locked()), and a std::bad_alloc
// unwinding through it leaves the lock usable.
#pragma once

#include <atomic>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "util/internal_error.h"
#include "util/spin_lock.h"

namespace dagloom {

class PoisonMutex {
public:
    // `poisoned_text` names the guarded object in the failure text, e.g.
    // "dagloom-core store mutex poisoned".
    explicit PoisonMutex(std::string poisoned_text) : poisoned_text_(std::move(poisoned_text)) {}
    PoisonMutex(const PoisonMutex&) = delete;
    PoisonMutex& operator=(const PoisonMutex&) = delete;

    bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
    // Fails with the poisoned text if the lock is poisoned (for readers that
    // do not take this lock but must not read what it guards once broken).
    void check() const {
        if (poisoned()) fail_poisoned();
    }
    [[noreturn]] void fail_poisoned() const { fail(poisoned_text_ + ": poisoned lock: another task failed inside"); }

    class Guard {
    public:
        explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) { m_.acquire(); }
        ~Guard() {
            if (!spared_ && std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true, std::memory_order_release);
            m_.mu_.unlock();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        // The exception now unwinding left the guarded state as it was.
        void spare() { spared_ = true; }

    private:
        PoisonMutex& m_;
        int exceptions_;
        bool spared_ = false;
    };

    Guard lock() { return Guard(*this); }

    // f() under the lock. f must change nothing before it has all the memory
    // it needs: a std::bad_alloc from it then leaves the lock usable, while
    // any other failure poisons it.
    // (Built on try/catch rather than Guard: asking the runtime for the
    // count of uncaught exceptions on entry and exit costs more than the
    // short sections a store's writers run through here.)
    template <class F>
    decltype(auto) locked(F&& f) {
        acquire();
        struct Unlock {
            SpinLock& mu;
            ~Unlock() { mu.unlock(); }
        } unlock{mu_};
        try {
            return f();
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            // Set before the unlock that unwinding runs: no other writer
            // may enter what this one left half-updated.
            poisoned_.store(true, std::memory_order_release);
            throw;
        }
    }

private:
    // Takes the lock, or fails with the poisoned text and leaves it free.
    void acquire() {
        mu_.lock();
        if (poisoned()) {
            mu_.unlock();
            fail_poisoned();
        }
    }

    SpinLock mu_;
    // Keeps the flag, which readers check while writers take the lock, off
    // the lock's cache line (padding rather than alignment, since Python
    // objects that hold one are only 16-byte aligned).
    [[maybe_unused]] char apart_[64];
    std::atomic<bool> poisoned_{false};
    std::string poisoned_text_;
};

}  // namespace dagloom
