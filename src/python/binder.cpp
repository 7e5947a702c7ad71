#include "python/binder.h"

#include <string>
#include <vector>

#include "python/pyref.h"

namespace dagloom::py {
namespace {

std::string call_name(const SignatureView& sig) { return std::string(sig.full_name) + "()"; }

PyObject* raise_text(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return nullptr;
}

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

bool report_missing(const SignatureView& sig, PyObject** out, bool keyword_only) {
    std::vector<const char*> missing;  // allocates only once one is missing
    for (std::size_t i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        if (p.keyword_only == keyword_only && p.required && out[i] == nullptr) missing.push_back(p.name);
    }
    if (missing.empty()) return false;
    raise_text(call_name(sig) + " missing " + std::to_string(missing.size()) + " required " +
               (keyword_only ? "keyword" : "positional") + " " +
               (missing.size() == 1 ? "argument" : "arguments") + ": " + name_list(missing));
    return true;
}

}  // namespace

bool bind_view(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const std::size_t n_positional = sig.positional;
    const std::size_t n_required_positional = sig.required_positional;
    const std::size_t given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    // The common call: positional arguments only, as many as fit.
    if (kwnames == nullptr && !sig.required_keyword && given >= n_required_positional && given <= n_positional) {
        for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
        return true;
    }
    for (std::size_t i = 0; i < given && i < n_positional; ++i) out[i] = args[i];

    // Keywords are matched before the positional count is judged, as a
    // Python function does.
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        std::size_t found = sig.count;
        for (std::size_t i = 0; i < sig.count; ++i) {
            const char* name = sig.params[i].name;
            if (PyUnicode_EqualToUTF8AndSize(kw, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name)))) {
                found = i;
                break;
            }
        }
        if (found == sig.count) {
            PyRef msg(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", sig.full_name, kw));
            if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
            return false;
        }
        if (out[found] != nullptr) {
            raise_text(call_name(sig) + " got multiple values for argument '" + sig.params[found].name + "'");
            return false;
        }
        out[found] = args[nargs + k];
    }

    if (given > n_positional) {
        std::string text = call_name(sig) + " takes ";
        if (n_required_positional < n_positional) {
            text += "from " + std::to_string(n_required_positional) + " to ";
        }
        text += std::to_string(n_positional) + " positional arguments but " + std::to_string(given) +
                (given == 1 ? " was" : " were") + " given";
        raise_text(text);
        return false;
    }
    if (report_missing(sig, out, false)) return false;
    if (report_missing(sig, out, true)) return false;
    return true;
}

PyObject* argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyRef original(PyErr_GetRaisedException());
    PyRef text(PyObject_Str(original.get()));
    if (!text) return nullptr;
    PyRef msg(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
    return nullptr;
}

PyObject* raise_not_instance(PyObject* obj, const char* target) {
    PyRef name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return nullptr;
    PyRef msg(PyUnicode_FromFormat("'%U' object is not an instance of '%s'", name.get(), target));
    if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
    return nullptr;
}

}  // namespace dagloom::py
