// The argument binder every entry point uses. A method describes its
// parameters once, statically; `bind` maps a vectorcall
// (args, nargs, kwnames) onto one borrowed slot per parameter and raises
// the module's binding TypeErrors, so no method parses arguments by hand.
#pragma once

#include "python/compat.h"

#include <array>
#include <cstddef>

namespace dagloom::py {

struct Param {
    const char* name;
    bool keyword_only;
    bool required;
};

constexpr Param positional(const char* name) { return {name, false, true}; }
constexpr Param positional_opt(const char* name) { return {name, false, false}; }
constexpr Param keyword(const char* name) { return {name, true, true}; }
constexpr Param keyword_opt(const char* name) { return {name, true, false}; }

// The untyped view `bind` works on.
struct SignatureView {
    const char* full_name;  // "GraphStore.add_op"; messages append "()"
    const Param* params;
    std::size_t count;
    std::size_t positional;           // how many may be given by position
    std::size_t required_positional;  // how many of those must be
    bool required_keyword;            // whether a keyword-only one must be given
};

template <std::size_t N>
struct Signature {
    const char* full_name;
    std::array<Param, N> params;

    std::size_t positional = 0;
    std::size_t required_positional = 0;
    bool required_keyword = false;

    consteval Signature(const char* name, std::array<Param, N> ps) : full_name(name), params(ps) {
        // Python's own rules for a parameter list: positional ones first,
        // and no required positional after an optional one.
        bool seen_keyword_only = false;
        bool seen_optional_positional = false;
        for (const Param& p : ps) {
            if (p.keyword_only) {
                seen_keyword_only = true;
                if (p.required) required_keyword = true;
            } else {
                if (seen_keyword_only) throw "positional parameter after a keyword-only one";
                if (p.required && seen_optional_positional) throw "required parameter after an optional one";
                if (!p.required) seen_optional_positional = true;
                ++positional;
                if (p.required) ++required_positional;
            }
        }
    }
    SignatureView view() const {
        return {full_name, params.data(), N, positional, required_positional, required_keyword};
    }
};

// static constexpr auto kSig = signature("GraphStore.add_op", positional("name"), ...);
template <class... P>
consteval auto signature(const char* full_name, P... params) {
    return Signature<sizeof...(P)>(full_name, std::array<Param, sizeof...(P)>{params...});
}

// One borrowed object per parameter, NULL where the caller gave nothing.
template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> slot{};
    PyObject* operator[](std::size_t i) const { return slot[i]; }
    // An omitted argument and an explicit None mean the same thing.
    bool given(std::size_t i) const { return slot[i] != nullptr && slot[i] != Py_None; }
};

// False with a TypeError set when the call does not fit the signature.
bool bind_view(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** out);

template <std::size_t N>
bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Bound<N>& out) {
    return bind_view(sig.view(), args, nargsf, kwnames, out.slot.data());
}

struct ModuleState;

// A method as the module's entry points call it: binds the call to `Sig`,
// then checks the receiver (Receive gives the object behind `self`, or NULL
// with TypeError), then runs Body(state, receiver, arguments).
template <const auto& Sig, auto Receive, auto Body>
PyObject* bound_method(ModuleState* st, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<Sig.params.size()> a;
    if (!bind(Sig, args, nargs, kwnames, a)) return nullptr;
    auto* receiver = Receive(st, self);
    return receiver == nullptr ? nullptr : Body(st, *receiver, a);
}

// Re-raises a pending TypeError as "argument '<name>': <message>"; any other
// pending exception passes unchanged. Always returns NULL, for tail calls.
PyObject* argument_error(const char* name);

// Raises TypeError "'<type of obj>' object is not an instance of '<target>'".
PyObject* raise_not_instance(PyObject* obj, const char* target);

}  // namespace dagloom::py
