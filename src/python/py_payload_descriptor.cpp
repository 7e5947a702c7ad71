// The PayloadDescriptor class: an immutable holder of one descriptor, with
// read-only properties.

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "python/binder.h"
#include "python/convert.h"
#include "python/objects.h"

namespace dagloom::py {
namespace {

PyPayloadDescriptor* as_py_descriptor(PyObject* obj) { return reinterpret_cast<PyPayloadDescriptor*>(obj); }

constexpr auto kNew = signature("PayloadDescriptor.__new__", keyword("kind"), keyword("content_hash"),
                                keyword("framework"), keyword("version"), keyword("io_schema"),
                                keyword_opt("preprocessing_ref"));

PyObject* pd_new_impl(ModuleState*, PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<6> a;
    if (!bind(kNew, args, nargs, kwnames, a)) return nullptr;
    PayloadDescriptor d;
    for (std::size_t i = 0; i < d.required().size(); ++i)
        if (!str_from_py(a[i], *d.required()[i])) return argument_error(kNew.params[i].name);
    if (a.given(5)) {
        std::string pre;
        if (!str_from_py(a[5], pre)) return argument_error("preprocessing_ref");
        d.preprocessing_ref = std::move(pre);
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* obj = tp->tp_alloc(tp, 0);
    if (obj == nullptr) return nullptr;
    new (&as_py_descriptor(obj)->value) PayloadDescriptor(std::move(d));
    return obj;
}

// Getters only allocate; a failure there is MemoryError, already set.
template <std::string PayloadDescriptor::*Field>
PyObject* get_field(PyObject* self, void*) {
    return str_to_py(as_py_descriptor(self)->value.*Field);
}

PyObject* get_preprocessing_ref(PyObject* self, void*) {
    const auto& pre = as_py_descriptor(self)->value.preprocessing_ref;
    return pre ? str_to_py(*pre) : Py_NewRef(Py_None);
}

PyGetSetDef pd_getset[] = {
    {"kind", get_field<&PayloadDescriptor::kind>, nullptr, "", nullptr},
    {"content_hash", get_field<&PayloadDescriptor::content_hash>, nullptr, "", nullptr},
    {"framework", get_field<&PayloadDescriptor::framework>, nullptr, "", nullptr},
    {"version", get_field<&PayloadDescriptor::version>, nullptr, "", nullptr},
    {"io_schema", get_field<&PayloadDescriptor::io_schema>, nullptr, "", nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_payload_descriptor_type(PyObject* module) {
    return new_type<PyPayloadDescriptor>(
        module, "dagloom_core.PayloadDescriptor",
        {{Py_tp_doc, const_cast<char*>(
                         "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n"
                         "--\n\n"
                         "Reproducibility metadata an External node carries (participates in the structural hash).")},
         {Py_tp_getset, pd_getset}},
        constructor_entry<pd_new_impl>);
}

}  // namespace dagloom::py
