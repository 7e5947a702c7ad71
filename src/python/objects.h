// The Python object layouts and what the other binding files need to know
// about each of them.
#pragma once

#include "python/compat.h"

#include <initializer_list>
#include <memory>
#include <vector>

#include "graph/node_key.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "python/module.h"
#include "store/graph_store.h"
#include "util/poison_mutex.h"

namespace dagloom::py {

// GraphStore: owns one store for its whole life; the pointer never changes
// after construction, so it is read without any lock of our own.
struct PyGraphStore {
    PyObject_HEAD
    std::unique_ptr<GraphStore> store;
};

// PayloadDescriptor: immutable after construction.
struct PyPayloadDescriptor {
    PyObject_HEAD
    PayloadDescriptor value;
};

// IncrementalReducer: the reducer lives behind the object's own mutex.
struct PyIncrementalReducer {
    PyObject_HEAD
    PoisonMutex mutex;  // placement-constructed by tp_new with "incremental reducer poisoned"
    IncrementalReducer reducer;
    // Counts the calls that changed the reducer (under the mutex): a call
    // whose result cannot be built undoes its step only if no other call
    // has changed the reducer since.
    uint64_t changes;
};

// Origins: immutable; its buffer is the two int64 columns, node then member.
struct PyOrigins {
    PyObject_HEAD
    Origins value;
    Py_ssize_t length;  // items in the buffer (its shape): twice the input nodes
};

// tp_dealloc of the module's classes: the C++ members tp_new constructed in
// place are destroyed, then the object is freed.
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(reinterpret_cast<T*>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// A class of the module with object layout T: immutable, called through
// `constructor` (vectorcall; `T.__new__(T, ...)` binds the same way), with
// `slots` for its doc, methods and properties. Without a constructor
// Python cannot make one: its objects come from the module's calls alone.
template <class T>
PyTypeObject* new_type(PyObject* module, const char* name, std::initializer_list<PyType_Slot> slots,
                       vectorcallfunc constructor) {
    std::vector<PyType_Slot> all(slots);
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (constructor != nullptr) all.push_back({Py_tp_new, reinterpret_cast<void*>(new_via_vectorcall)});
    else flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)});
    all.push_back({0, nullptr});
    PyType_Spec layout = {name, sizeof(T), 0, static_cast<unsigned int>(flags), all.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &layout, nullptr));
    if (type != nullptr && constructor != nullptr) type->tp_vectorcall = constructor;
    return type;
}

// Type creation, called once each from the module's exec step.
PyTypeObject* create_graph_store_type(PyObject* module);
PyTypeObject* create_payload_descriptor_type(PyObject* module);
PyTypeObject* create_incremental_reducer_type(PyObject* module);
PyTypeObject* create_origins_type(PyObject* module);

// A new Python GraphStore owning `store`.
PyObject* wrap_store(ModuleState* state, std::unique_ptr<GraphStore> store);

// The (GraphStore, report dict) pair every reduction returns, or with
// `origins` the triple a traced one does.
PyObject* reduced_to_py(ModuleState* state, ReducedStore reduced, PyObject* origins = nullptr);
PyObject* traced_to_py(ModuleState* state, TracedStore traced);
PyObject* report_to_py(const ReductionReport& report);

// The store behind a GraphStore argument; NULL with TypeError
// "'<type>' object is not an instance of 'GraphStore'" otherwise.
GraphStore* store_from_py(ModuleState* state, PyObject* obj);

// An `outputs=` argument: the ids given (converted like inputs), each
// naming a node of `store`, or its marked outputs when none are given.
// False with ValueError "no node with id <id>" or the conversion's error.
bool checked_outputs_from_py(const GraphStore& store, PyObject* obj, std::vector<NodeId>& out);

}  // namespace dagloom::py
