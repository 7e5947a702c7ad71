// A tiny logging facade for the equality-saturation engine.
//
// Records have a level (warn, info, debug, trace). Nothing is emitted unless
// a sink is installed AND the maximum level is raised; the module does
// neither, so in production every log statement costs one relaxed atomic
// load and a branch. The DAGLOOM_LOG macro tests the level before it
// evaluates or formats any of its arguments.
#pragma once

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace dagloom::log {

// Ordered by verbosity; a record is emitted when its level <= the maximum level.
enum class Level : int { Off = 0, Warn = 1, Info = 2, Debug = 3, Trace = 4 };

using Sink = std::function<void(Level, std::string_view message)>;

// Installs (or, with an empty function, removes) the process-wide sink.
void set_sink(Sink sink);
// The maximum level; defaults to Off.
void set_max_level(Level level);

namespace detail {
// max_level if a sink is installed, else Off: the one value the fast path reads.
extern std::atomic<int> g_effective_level;
void emit(Level level, std::string message);
}  // namespace detail

inline bool enabled(Level level) {
    return static_cast<int>(level) <= detail::g_effective_level.load(std::memory_order_relaxed);
}

// Concatenates the arguments with operator<<. Only called once the level
// test has passed.
template <class... Args>
std::string cat(const Args&... args) {
    std::ostringstream out;
    (out << ... << args);
    return std::move(out).str();
}

}  // namespace dagloom::log

// DAGLOOM_LOG(Info, "a", x, "b"): arguments are evaluated only when enabled.
#define DAGLOOM_LOG(LEVEL, ...)                                                         \
    do {                                                                                \
        if (::dagloom::log::enabled(::dagloom::log::Level::LEVEL))                      \
            ::dagloom::log::detail::emit(::dagloom::log::Level::LEVEL,                  \
                                         ::dagloom::log::cat(__VA_ARGS__));             \
    } while (0)
