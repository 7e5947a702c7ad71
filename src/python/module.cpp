// Module definition and initialisation: multi-phase, one exec step that
// creates the heap types and PanicException into the module state and adds
// the public names in their fixed order.

#include <string>
#include <tuple>
#include <utility>

#include "python/binder.h"
#include "python/module.h"
#include "python/objects.h"
#include "python/pyref.h"

namespace dagloom::py {

PyObject* raise_panic(ModuleState* state, const char* text) {
    PyErr_SetString(state->panic_exception, text);
    return nullptr;
}

PyObject* map_err(const BadNodeId& error) {
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
    return nullptr;
}

namespace {

constexpr auto kVersion = signature("version");

PyObject* version_impl(ModuleState*, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<0> a;
    if (!bind(kVersion, args, nargs, kwnames, a)) return nullptr;
    return PyUnicode_FromString("0.0.1");
}

PyObject* version_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    ModuleState* state = state_of_module(module);
    return guarded(state, [&] { return version_impl(state, module, args, nargs, kwnames); });
}

// Added by the exec step itself, after the classes: functions listed in
// m_methods would be added before exec runs and so come first.
PyMethodDef version_def = {"version", as_cfunction(&version_entry), METH_FASTCALL | METH_KEYWORDS,
                           "version()\n--\n\n"};

// The interned strings other than the kind names, with their texts.
constexpr std::pair<PyObject* Names::*, const char*> kNameTexts[] = {
    {&Names::id, "id"}, {&Names::output, "output"}, {&Names::inputs, "inputs"}, {&Names::kind, "kind"},
    {&Names::name, "name"}, {&Names::params, "params"}, {&Names::descriptor, "descriptor"},
    {&Names::n_members, "n_members"}, {&Names::members, "members"}, {&Names::content_hash, "content_hash"},
    {&Names::framework, "framework"}, {&Names::version, "version"}, {&Names::io_schema, "io_schema"},
    {&Names::preprocessing_ref, "preprocessing_ref"}, {&Names::input, "input"}, {&Names::member, "member"},
    {&Names::empty, ""}};

// Every reference the state owns, for traverse/clear (f takes any T*&).
template <class F>
void for_each_ref(ModuleState* s, F&& f) {
    f(s->graph_store_type);
    f(s->payload_descriptor_type);
    f(s->incremental_reducer_type);
    f(s->origins_type);
    f(s->panic_exception);
    for (const auto& [field, text] : kNameTexts) f(s->names.*field);
    for (PyObject*& p : s->names.kinds) f(p);
}

bool intern_names(Names& n) {
    for (const auto& [field, text] : kNameTexts)
        if ((n.*field = PyUnicode_InternFromString(text)) == nullptr) return false;
    for (int k = 0; k < kNodeKindCount; ++k)
        if ((n.kinds[k] = PyUnicode_InternFromString(kind_name(static_cast<NodeKind>(k)))) == nullptr) return false;
    return true;
}

int module_exec_impl(PyObject* module) {
    ModuleState* st = state_of_module(module);
    if (!intern_names(st->names)) return -1;
    st->panic_exception = PyErr_NewExceptionWithDoc(
        "dagloom_core.PanicException",
        "An internal failure of dagloom_core (a broken invariant or a poisoned lock). Derives from\n"
        "BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    if (st->panic_exception == nullptr) return -1;

    const std::tuple<PyTypeObject**, const char*, PyTypeObject* (*)(PyObject*)> types[] = {
        {&st->graph_store_type, "GraphStore", create_graph_store_type},
        {&st->payload_descriptor_type, "PayloadDescriptor", create_payload_descriptor_type},
        {&st->incremental_reducer_type, "IncrementalReducer", create_incremental_reducer_type}};
    for (auto [slot, name, create] : types) {
        *slot = create(module);
        if (*slot == nullptr || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(*slot)) < 0) return -1;
    }

    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef version(PyCFunction_NewEx(&version_def, module, module_name.get()));
    if (!version || PyModule_AddObjectRef(module, "version", version.get()) < 0) return -1;
    // Origins comes last, so that the names before it keep their order.
    st->origins_type = create_origins_type(module);
    if (st->origins_type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "Origins", reinterpret_cast<PyObject*>(st->origins_type));
}

int module_exec(PyObject* module) noexcept {
    try {
        return module_exec_impl(module);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return -1;
    }
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of_module(module);
    if (st == nullptr) return 0;
    int result = 0;
    for_each_ref(st, [&](auto*& p) {
        if (result == 0 && p != nullptr) result = visit(reinterpret_cast<PyObject*>(p), arg);
    });
    return result;
}

int module_clear(PyObject* module) {
    ModuleState* st = state_of_module(module);
    if (st != nullptr) for_each_ref(st, [](auto*& p) { Py_CLEAR(p); });
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    // Every shared structure has its own lock, so free-threaded builds can
    // keep the interpreter lock off.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "dagloom_core",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace dagloom::py

PyMODINIT_FUNC PyInit_dagloom_core(void) { return PyModuleDef_Init(&dagloom::py::module_def); }
