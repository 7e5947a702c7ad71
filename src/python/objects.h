// The three Python object layouts and what the other binding files need to
// know about each of them.
#pragma once

#include "python/compat.h"

#include <memory>

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

// Type creation, called once each from the module's exec step.
PyTypeObject* create_graph_store_type(PyObject* module);
PyTypeObject* create_payload_descriptor_type(PyObject* module);
PyTypeObject* create_incremental_reducer_type(PyObject* module);

// A new Python GraphStore owning `store`.
PyObject* wrap_store(ModuleState* state, std::unique_ptr<GraphStore> store);

// The (GraphStore, report dict) pair every reduction returns.
PyObject* reduced_to_py(ModuleState* state, ReducedStore reduced);
PyObject* report_to_py(const ReductionReport& report);

// The store behind a GraphStore argument; NULL with TypeError
// "'<type>' object is not an instance of 'GraphStore'" otherwise.
GraphStore* store_from_py(ModuleState* state, PyObject* obj);

}  // namespace dagloom::py
