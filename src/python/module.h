// Module state, the entry guard every Python-facing function runs in, and
// the mapping of core error values to Python exceptions.
#pragma once

#include "python/compat.h"

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "store/graph_store.h"
#include "util/internal_error.h"

namespace dagloom::py {

// Strings used as dict keys and values by nodes(), interned once per module
// so that a large view does not build each of them a million times.
struct Names {
    PyObject* id;
    PyObject* output;
    PyObject* inputs;
    PyObject* kind;
    PyObject* name;
    PyObject* params;
    PyObject* descriptor;
    PyObject* n_members;
    PyObject* members;
    PyObject* content_hash;
    PyObject* framework;
    PyObject* version;
    PyObject* io_schema;
    PyObject* preprocessing_ref;
    PyObject* input;
    PyObject* member;
    PyObject* empty;
    PyObject* kinds[kNodeKindCount];  // "source" ... "exchange", in tag order
};

struct ModuleState {
    PyTypeObject* graph_store_type;
    PyTypeObject* payload_descriptor_type;
    PyTypeObject* incremental_reducer_type;
    PyTypeObject* origins_type;
    PyObject* panic_exception;  // BaseException subclass, deliberately not a module attribute
    Names names;
};

extern PyModuleDef module_def;

inline ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }
// For the module's own heap types (the defining class of a method).
inline ModuleState* state_of_type(PyTypeObject* type) { return static_cast<ModuleState*>(PyType_GetModuleState(type)); }

// Raises PanicException with the failure text; returns NULL.
PyObject* raise_panic(ModuleState* state, const char* text);

// BadNodeId -> ValueError "no node with id <id>"; returns NULL.
PyObject* map_err(const BadNodeId& error);

// Runs one entry point. Internal failures become PanicException and memory
// exhaustion MemoryError: no C++ exception reaches the interpreter.
template <class F>
PyObject* guarded(ModuleState* state, F&& body) noexcept {
    try {
        return body();
    } catch (const InternalError& e) {
        return raise_panic(state, e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise_panic(state, e.what());
    } catch (...) {
        return raise_panic(state, "unknown internal failure");
    }
}

// The signatures of the implementation functions behind each entry point.
using MethodImpl = PyObject* (*)(ModuleState*, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// Entry for an instance method (METH_METHOD | METH_FASTCALL | METH_KEYWORDS):
// the defining class gives the module state even when the receiver is not
// one of ours.
template <MethodImpl Impl>
PyObject* method_entry(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    ModuleState* state = state_of_type(defining_class);
    return guarded(state, [&] { return Impl(state, self, args, nargs, kwnames); });
}

// Entry for a static method: the interpreter passes the class as `self`.
template <MethodImpl Impl>
PyObject* static_entry(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    ModuleState* state = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
    return guarded(state, [&] { return Impl(state, nullptr, args, nargs, kwnames); });
}

// Entry for a constructor called through the type's vectorcall slot.
template <MethodImpl Impl>
PyObject* constructor_entry(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    ModuleState* state = state_of_type(reinterpret_cast<PyTypeObject*>(type));
    return guarded(state, [&] {
        return Impl(state, type, args, static_cast<Py_ssize_t>(nargsf), kwnames);
    });
}

// tp_new for `Type.__new__(Type, ...)`: the same binding as a plain call.
inline PyObject* new_via_vectorcall(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(reinterpret_cast<PyObject*>(type), args, kwargs);
}

// Casts for PyMethodDef::ml_meth.
template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// A new str from UTF-8 held by the core.
inline PyObject* str_to_py(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

}  // namespace dagloom::py
