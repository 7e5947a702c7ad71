#include "egraph/log.h"

#include <memory>
#include <mutex>

namespace dagloom::log {

namespace detail {
std::atomic<int> g_effective_level{0};
}  // namespace detail

namespace {

struct LogState {
    std::mutex mu;
    std::shared_ptr<const Sink> sink;
    Level max = Level::Off;
};

LogState& state() {
    static LogState* s = new LogState();  // never destroyed: usable during exit
    return *s;
}

void refresh_locked(LogState& s) {
    int level = s.sink ? static_cast<int>(s.max) : 0;
    detail::g_effective_level.store(level, std::memory_order_relaxed);
}

}  // namespace

void set_sink(Sink sink) {
    LogState& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    if (sink) s.sink = std::make_shared<const Sink>(std::move(sink));
    else s.sink.reset();
    refresh_locked(s);
}

void set_max_level(Level level) {
    LogState& s = state();
    std::lock_guard<std::mutex> g(s.mu);
    s.max = level;
    refresh_locked(s);
}

namespace detail {

void emit(Level level, std::string message) {
    std::shared_ptr<const Sink> sink;
    {
        LogState& s = state();
        std::lock_guard<std::mutex> g(s.mu);
        if (static_cast<int>(level) > static_cast<int>(s.max)) return;
        sink = s.sink;
    }
    // Called outside the lock so that a sink may log or reconfigure.
    if (sink) (*sink)(level, message);
}

}  // namespace detail
}  // namespace dagloom::log
