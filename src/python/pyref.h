// Owning holder for one Python reference, so that every early return of a
// binding function releases what it created.
#pragma once

#include "python/compat.h"

namespace dagloom::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (NULL allowed: an empty holder).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    ~PyRef() { Py_XDECREF(p_); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }

    // A new holder sharing a borrowed reference.
    static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning it to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace dagloom::py
