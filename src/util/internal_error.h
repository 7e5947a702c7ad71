// Internal failures: broken invariants and "cannot happen" conditions.
// They unwind as one exception type carrying a fixed text; the Python
// layer turns it into PanicException. Bad input never takes this path.
#pragma once

#include <stdexcept>
#include <string>

namespace dagloom {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] inline void fail(const std::string& text) { throw InternalError(text); }

// Checked index for internal tables: an out-of-range index is a broken
// invariant, reported with the text Rust-flavoured callers expect. Cold and
// out of line, so a check costs its callers one test and branch.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail_index(std::size_t index, std::size_t len) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

inline void check_index(std::size_t index, std::size_t len) {
    if (index >= len) fail_index(index, len);
}

}  // namespace dagloom
