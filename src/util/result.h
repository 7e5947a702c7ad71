// Error values for the core: a small Result<T, E> in the spirit of
// std::expected (which g++ 12 only offers in C++23 mode).
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "util/internal_error.h"

namespace dagloom {

// Reading the side a Result does not hold is a broken invariant in every
// build type, never undefined behaviour. Out of line and cold, so the
// check costs the callers one test and branch.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail_result_access(bool wanted_value) {
    fail(wanted_value ? "called `Result::value()` on an error" : "called `Result::error()` on a value");
}

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> make_err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

// Holds either a value or an error. Callers must test ok() before reading;
// reading the other side is an internal failure (InternalError).
template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class E2>
    Result(Err<E2> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return *held<0>(*this); }
    const T& value() const& { return *held<0>(*this); }
    T&& value() && { return std::move(*held<0>(*this)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return *held<1>(*this); }
    const E& error() const& { return *held<1>(*this); }

private:
    // The held alternative I of `self` (const or not).
    template <std::size_t I, class Self>
    static auto* held(Self& self) {
        auto* p = std::get_if<I>(&self.v_);
        if (p == nullptr) [[unlikely]]
            fail_result_access(I == 0);
        return p;
    }

    std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
struct Unit {};

template <class E>
using Status = Result<Unit, E>;

}  // namespace dagloom
