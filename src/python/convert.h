// Conversions between Python values and core values, one job each. They
// raise plain messages; the "argument '<name>': " prefix is the binder's
// business (argument_error), applied by the caller that knows the name.
#pragma once

#include "python/compat.h"

#include <string>
#include <string_view>
#include <vector>

#include "graph/node_key.h"
#include "graph/param.h"
#include "python/pyref.h"
#include "util/small_vector.h"

namespace dagloom::py {

// Node ids read from a Python sequence, kept inline when there are few (the
// usual one or two inputs of a node) so building a node allocates nothing
// for them.
using IdBuffer = SmallVector<NodeId, 8>;

// A str (or subclass) as UTF-8; TypeError "'<type>' object is not an
// instance of 'str'" otherwise.
bool str_from_py(PyObject* obj, std::string& out);
// The same, borrowing the str's own UTF-8 (valid while obj lives).
bool str_view_from_py(PyObject* obj, std::string_view& out);

// A sequence of node ids (inputs, outputs): str refused, then the sequence
// protocol required, then each item an unsigned 64-bit int (OverflowError
// from the interpreter passes through).
bool inputs_from_py(PyObject* obj, std::vector<NodeId>& out);
bool inputs_from_py(PyObject* obj, IdBuffer& out);

// NULL or None: the empty map. Otherwise a dict of str keys and
// bool/int/float/str values. A dict mutated while it is read is an internal
// failure (thrown as InternalError).
bool params_from_py(PyObject* obj, ParamMap& out);

// A new dict in map order (a repeated key: the later entry wins).
PyObject* params_to_py(const ParamMap& params);

// A PayloadDescriptor instance (copied) or a dict with the six fields.
bool descriptor_from_py(PyObject* obj, PyTypeObject* descriptor_type, PayloadDescriptor& out);

// The maximal_fusion switch: exactly bool, or NumPy's bool scalar by its
// truth value. TypeError "'<type>' object is not an instance of 'bool'".
bool flag_from_py(PyObject* obj, bool& out);

// A new list of ints.
PyObject* ids_to_py(const std::vector<NodeId>& ids);

// A new list of item(0) ... item(n - 1), each a new reference, or NULL when
// one is NULL (with its error set).
template <class Item>
PyObject* list_to_py(std::size_t n, Item&& item) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* value = item(i);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

}  // namespace dagloom::py
