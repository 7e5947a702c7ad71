// Owning holder for one Python reference, so that every early return of a
// binding function releases what it created.
#pragma once

#include "python/compat.h"

#include <utility>

namespace dagloom::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (NULL allowed: an empty holder).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    ~PyRef() { Py_XDECREF(p_); }

    // Moves only (declaring them deletes the copies).
    PyRef(PyRef&& other) noexcept : p_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::exchange(p_, other.release()));
        return *this;
    }

    // A new holder sharing a borrowed reference.
    static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning it to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace dagloom::py
