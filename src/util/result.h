// Error values for the core: a small Result<T, E> in the spirit of
// std::expected (which g++ 12 only offers in C++23 mode).
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace dagloom {

template <class E>
struct Err {
    E error;
};

template <class E>
Err<std::decay_t<E>> make_err(E&& e) {
    return Err<std::decay_t<E>>{std::forward<E>(e)};
}

// Holds either a value or an error. Callers must test ok() before reading.
template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class E2>
    Result(Err<E2> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return *std::get_if<0>(&v_); }
    const T& value() const& { assert(ok()); return *std::get_if<0>(&v_); }
    T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { assert(!ok()); return *std::get_if<1>(&v_); }
    const E& error() const& { assert(!ok()); return *std::get_if<1>(&v_); }

private:
    std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
struct Unit {};

template <class E>
using Status = Result<Unit, E>;

}  // namespace dagloom
