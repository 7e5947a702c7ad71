#include "python/convert.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "python/binder.h"
#include "python/objects.h"
#include "python/pyref.h"
#include "util/internal_error.h"

namespace dagloom::py {
namespace {

// Runs f with obj's per-object lock held on free-threaded builds. A C++
// exception must not skip the end of the critical section, so it is carried
// out of it and rethrown afterwards.
template <class F>
auto in_critical_section(PyObject* obj, F&& f) -> decltype(f()) {
    (void)obj;  // unused where the interpreter lock already excludes other threads
    std::exception_ptr failure;
    decltype(f()) result{};
    Py_BEGIN_CRITICAL_SECTION(obj);
    try {
        result = f();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_CRITICAL_SECTION();
    if (failure) std::rethrow_exception(failure);
    return result;
}

bool id_from_py(PyObject* item, NodeId& out) {
    unsigned long long value;
    if (PyLong_CheckExact(item)) {
        value = PyLong_AsUnsignedLongLong(item);
    } else {
        PyRef index(PyNumber_Index(item));
        if (!index) return false;
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<NodeId>(value);
    return true;
}

// A generous first reservation for sequences whose length is only a hint
// (a user __len__ may claim anything).
constexpr Py_ssize_t kHintedReserveCap = 4096;

template <class Ids>
bool ids_from_iteration(PyObject* obj, Ids& out) {
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(hint, kHintedReserveCap)));
    }
    PyRef iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item{PyIter_Next(iter.get())}) {
        NodeId id;
        if (!id_from_py(item.get(), id)) return false;
        out.push_back(id);
    }
    return !PyErr_Occurred();
}

// Lists are read by index under their lock, re-reading the length each
// time, which is what iterating them would do.
template <class Ids>
bool ids_from_list(PyObject* list, Ids& out) {
    return in_critical_section(list, [&] {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
            NodeId id;
            if (!id_from_py(item.get(), id)) return false;
            out.push_back(id);
        }
        return true;
    });
}

bool int64_from_py(PyObject* obj, int64_t& out) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        if (!PyIndex_Check(obj)) return false;
        index = PyRef(PyNumber_Index(obj));
        if (!index) {
            PyErr_Clear();
            return false;
        }
        obj = index.get();
    }
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = value;
    return true;
}

bool double_from_py(PyObject* obj, double& out) {
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = value;
    return true;
}

// First match wins: exact bool, then a signed 64-bit int, then a double,
// then str. Failed numeric attempts are not errors, only "no match".
bool param_value_from_py(PyObject* obj, ParamValue& out) {
    auto str_value = [&] {
        std::string s;
        if (!str_from_py(obj, s)) return false;
        out = ParamValue::Str(std::move(s));
        return true;
    };
    if (Py_IS_TYPE(obj, &PyBool_Type)) {
        out = ParamValue::Bool(obj == Py_True);
        return true;
    }
    // Exact floats and strs have neither __index__ nor (for str) __float__,
    // so they can skip the failed attempts, which cost an exception each.
    if (PyFloat_CheckExact(obj)) {
        out = ParamValue::Float(PyFloat_AS_DOUBLE(obj));
        return true;
    }
    if (PyUnicode_CheckExact(obj)) return str_value();
    int64_t i;
    if (int64_from_py(obj, i)) {
        out = ParamValue::Int(i);
        return true;
    }
    double d;
    if (double_from_py(obj, d)) {
        out = ParamValue::Float(d);
        return true;
    }
    if (PyUnicode_Check(obj)) return str_value();
    PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
    return false;
}

PyObject* param_value_to_py(const ParamValue& value) {
    switch (value.tag()) {
        case ParamValue::Tag::Int: return PyLong_FromLongLong(value.as_int());
        case ParamValue::Tag::Float: return PyFloat_FromDouble(value.as_float());
        case ParamValue::Tag::Bool: return Py_NewRef(value.as_bool() ? Py_True : Py_False);
        case ParamValue::Tag::Str: return str_to_py(value.as_str());
    }
    fail("unknown parameter value tag");
}

enum class DictRead { Ok, Failed, SizeChanged, KeysChanged };

bool required_field(PyObject* dict, const char* key, std::string& out) {
    PyObject* raw = nullptr;
    int found = PyDict_GetItemStringRef(dict, key, &raw);
    PyRef value(raw);
    if (found < 0) return false;
    if (found == 0) {
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", key);
        return false;
    }
    return str_from_py(value.get(), out);
}

bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef name(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_EqualToUTF8AndSize(name.get(), "bool_", 5) && !PyUnicode_EqualToUTF8AndSize(name.get(), "bool", 4)) {
        return false;
    }
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5);
}

}  // namespace

bool str_view_from_py(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_not_instance(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool str_from_py(PyObject* obj, std::string& out) {
    std::string_view view;
    if (!str_view_from_py(obj, view)) return false;
    out.assign(view);
    return true;
}

namespace {

template <class Ids>
bool ids_from_py(PyObject* obj, Ids& out) {
    out.clear();
    // A str is a sequence of str, never of ids; refusing it up front keeps
    // "01" from being read as two nodes.
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_not_instance(obj, "Sequence");
        return false;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            NodeId id;
            if (!id_from_py(PyTuple_GET_ITEM(obj, i), id)) return false;
            out.push_back(id);
        }
        return true;
    }
    if (PyList_CheckExact(obj)) return ids_from_list(obj, out);
    return ids_from_iteration(obj, out);
}

}  // namespace

bool inputs_from_py(PyObject* obj, std::vector<NodeId>& out) { return ids_from_py(obj, out); }
bool inputs_from_py(PyObject* obj, IdBuffer& out) { return ids_from_py(obj, out); }

bool params_from_py(PyObject* obj, ParamMap& out) {
    if (obj == nullptr || obj == Py_None) {
        out = ParamMap();
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
        return false;
    }
    std::vector<ParamMap::Entry> entries;
    // Converting a value may run Python code (__index__, __float__) that
    // mutates the dict; the reads below notice that instead of trusting a
    // stale picture.
    DictRead outcome = in_critical_section(obj, [&] {
        const Py_ssize_t expected = PyDict_GET_SIZE(obj);
        entries.reserve(static_cast<std::size_t>(expected));
        Py_ssize_t pos = 0;
        Py_ssize_t seen = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            if (PyDict_GET_SIZE(obj) != expected) return DictRead::SizeChanged;
            if (++seen > expected) return DictRead::KeysChanged;
            PyRef key = PyRef::borrow(k);
            PyRef value = PyRef::borrow(v);
            std::string name;
            if (!str_from_py(key.get(), name)) return DictRead::Failed;
            ParamValue pv = ParamValue::Int(0);
            if (!param_value_from_py(value.get(), pv)) return DictRead::Failed;
            entries.emplace_back(std::move(name), std::move(pv));
        }
        if (PyDict_GET_SIZE(obj) != expected) return DictRead::SizeChanged;
        if (seen != expected) return DictRead::KeysChanged;
        return DictRead::Ok;
    });
    switch (outcome) {
        case DictRead::Ok: break;
        case DictRead::Failed: return false;
        case DictRead::SizeChanged: fail("dictionary changed size during iteration");
        case DictRead::KeysChanged: fail("dictionary keys changed during iteration");
    }
    out = ParamMap::make(std::move(entries));
    return true;
}

PyObject* params_to_py(const ParamMap& params) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, value] : params) {
        PyRef k(str_to_py(key));
        if (!k) return nullptr;
        PyRef v(param_value_to_py(value));
        if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

bool descriptor_from_py(PyObject* obj, PyTypeObject* descriptor_type, PayloadDescriptor& out) {
    if (PyObject_TypeCheck(obj, descriptor_type)) {
        out = reinterpret_cast<PyPayloadDescriptor*>(obj)->value;
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
        return false;
    }
    PayloadDescriptor d;
    // The optional field is read first, so its type error wins over a
    // missing required field.
    PyObject* raw = nullptr;
    int found = PyDict_GetItemStringRef(obj, "preprocessing_ref", &raw);
    PyRef pre(raw);
    if (found < 0) return false;
    if (found == 1 && pre.get() != Py_None) {
        std::string s;
        if (!str_from_py(pre.get(), s)) return false;
        d.preprocessing_ref = std::move(s);
    }
    for (std::size_t k = 0; k < d.required().size(); ++k)
        if (!required_field(obj, PayloadDescriptor::kRequiredNames[k], *d.required()[k])) return false;
    out = std::move(d);
    return true;
}

bool flag_from_py(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool_type(Py_TYPE(obj))) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_not_instance(obj, "bool");
    return false;
}

PyObject* ids_to_py(const std::vector<NodeId>& ids) {
    return list_to_py(ids.size(), [&](std::size_t i) { return PyLong_FromUnsignedLongLong(ids[i]); });
}

}  // namespace dagloom::py
