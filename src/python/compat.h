// The one place that includes Python.h. The binding is written against the
// 3.13 C API; this header supplies the few pieces 3.11 and 3.12 lack, with
// the same contracts, so the rest of src/python/ has no version checks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#if PY_VERSION_HEX < 0x030B0000
#error "dagloom_core needs CPython 3.11 or newer"
#endif

#if PY_VERSION_HEX < 0x030C0000

// The pending exception as one normalized object (new reference), or NULL.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

#endif

#if PY_VERSION_HEX < 0x030D0000

// 1 and a new reference when found, 0 and NULL when missing, -1 on error.
static inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
    *result = nullptr;
    PyObject* key_obj = PyUnicode_FromString(key);
    if (key_obj == nullptr) return -1;
    PyObject* item = PyDict_GetItemWithError(dict, key_obj);
    if (item != nullptr) *result = Py_NewRef(item);
    Py_DECREF(key_obj);
    return item != nullptr ? 1 : PyErr_Occurred() ? -1 : 0;
}

// Never raises: a string that cannot be encoded simply compares unequal.
static inline int PyUnicode_EqualToUTF8AndSize(PyObject* unicode, const char* str, Py_ssize_t size) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(unicode, &len);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return 0;
    }
    return len == size && std::memcmp(utf8, str, static_cast<size_t>(size)) == 0;
}

// With a global interpreter lock, holding it already excludes every other
// thread, so a per-object critical section is just a block.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }

#endif
