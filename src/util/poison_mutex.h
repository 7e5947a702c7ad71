// A mutex that becomes permanently unusable when a critical section
// unwinds with an exception: the state it guarded may be half-updated,
// so every later lock attempt fails with an internal error instead.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "util/internal_error.h"

namespace dagloom {

class PoisonMutex {
public:
    // `what` names the guarded object in the failure text, e.g.
    // "dagloom-core store mutex poisoned".
    explicit PoisonMutex(std::string poisoned_text) : poisoned_text_(std::move(poisoned_text)) {}
    PoisonMutex(const PoisonMutex&) = delete;
    PoisonMutex& operator=(const PoisonMutex&) = delete;

    bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

    class Guard {
    public:
        explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
            m_.mu_.lock();
            if (m_.poisoned()) {
                m_.mu_.unlock();
                fail(m_.poisoned_text_ + ": poisoned lock: another task failed inside");
            }
        }
        ~Guard() {
            if (std::uncaught_exceptions() > exceptions_) m_.poisoned_.store(true, std::memory_order_release);
            m_.mu_.unlock();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        PoisonMutex& m_;
        int exceptions_;
    };

    Guard lock() { return Guard(*this); }

private:
    std::mutex mu_;
    std::atomic<bool> poisoned_{false};
    std::string poisoned_text_;
};

}  // namespace dagloom
