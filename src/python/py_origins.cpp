// The Origins class: what a traced reduction says about where each recorded
// node's value went. Its two columns stay in the memory the reduction wrote
// them to; Python reads them through the buffer protocol, never as one
// object per node.

#include <new>
#include <span>
#include <utility>

#include "python/convert.h"
#include "python/objects.h"
#include "python/pyref.h"

namespace dagloom::py {
namespace {

static_assert(sizeof(long long) == sizeof(int64_t), "the columns are handed out as format 'q'");

PyOrigins* as_py_origins(PyObject* obj) { return reinterpret_cast<PyOrigins*>(obj); }

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Origins is read-only");
        view->obj = nullptr;
        return -1;
    }
    PyOrigins* o = as_py_origins(self);
    const std::span<const int64_t> columns = o->value.columns();
    // An empty column still needs an address.
    static const int64_t kNothing = 0;
    view->buf = const_cast<int64_t*>(columns.empty() ? &kNothing : columns.data());
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(columns.size_bytes());
    view->readonly = 1;
    view->itemsize = sizeof(int64_t);
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("q") : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &o->length : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &view->itemsize : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

// Items [start, stop) of the object's own buffer, as a read-only memoryview
// that keeps the object alive.
PyObject* column(PyObject* self, Py_ssize_t start, Py_ssize_t stop) {
    PyRef whole(PyMemoryView_FromObject(self));
    if (!whole) return nullptr;
    return PySequence_GetSlice(whole.get(), start, stop);
}

Py_ssize_t input_nodes(PyObject* self) { return static_cast<Py_ssize_t>(as_py_origins(self)->value.input_nodes()); }

PyObject* get_node(PyObject* self, void*) { return column(self, 0, input_nodes(self)); }
PyObject* get_member(PyObject* self, void*) { return column(self, input_nodes(self), 2 * input_nodes(self)); }
PyObject* get_outputs(PyObject* self, void*) { return ids_to_py(as_py_origins(self)->value.outputs()); }
PyObject* get_input_nodes(PyObject* self, void*) { return PyLong_FromSsize_t(input_nodes(self)); }

PyObject* repr(PyObject* self) {
    const Origins& o = as_py_origins(self)->value;
    const std::size_t nodes = o.input_nodes(), outputs = o.outputs().size();
    return PyUnicode_FromFormat("<Origins of %zu node%s, %zu output%s>", nodes, nodes == 1 ? "" : "s", outputs,
                                outputs == 1 ? "" : "s");
}

PyGetSetDef origins_getset[] = {
    {"outputs", get_outputs, nullptr, "The reduced id of each requested output, in request order.", nullptr},
    {"node", get_node, nullptr, "Per recorded node, the reduced id whose computation yields its value, or -1.",
     nullptr},
    {"member", get_member, nullptr, "Per recorded node, its member inside that node when it is a stage, or -1.",
     nullptr},
    {"input_nodes", get_input_nodes, nullptr, "How many recorded nodes the columns cover.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_origins_type(PyObject* module) {
    return new_type<PyOrigins>(
        module, "dagloom_core.Origins",
        {{Py_tp_doc,
          const_cast<char*>(
              "Where a traced reduction put each recorded node's value (GraphStore.reduce_traced,\n"
              "IncrementalReducer.finalize_traced). `node[i]` is the id, in the reduced store, of the node whose\n"
              "computation yields recorded node i's value; when that node is a stage, `member[i]` is the member\n"
              "holding it (a stage computes members 0..k to reach member k), else -1. Both are -1 for a node\n"
              "the outputs do not need. `outputs` holds one reduced id per requested output, in request order.\n"
              "`node` and `member` are read-only memoryviews of int64 (format 'q'); the object's own buffer is\n"
              "`node` followed by `member`.")},
         {Py_tp_getset, origins_getset},
         {Py_tp_repr, reinterpret_cast<void*>(repr)},
         {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)}},
        nullptr);
}

PyObject* traced_to_py(ModuleState* st, TracedStore traced) {
    PyTypeObject* type = st->origins_type;
    PyRef obj(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    PyOrigins* o = as_py_origins(obj.get());
    new (&o->value) Origins(std::move(traced.origins));
    o->length = static_cast<Py_ssize_t>(o->value.columns().size());
    return reduced_to_py(st, std::move(traced.reduced), obj.get());
}

}  // namespace dagloom::py
