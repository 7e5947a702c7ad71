// The IncrementalReducer class. The reducer sits behind the object's own
// mutex; when the store is needed too, the reducer mutex is taken first and
// the store lock (inside the store's calls) second. Nothing under either
// lock calls into Python: arguments are converted before, results after.

#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "optimizer/saturation_engine.h"
#include "python/binder.h"
#include "python/convert.h"
#include "python/objects.h"
#include "python/pyref.h"
#include "python/without_gil.h"

namespace dagloom::py {
namespace {

constexpr const char* kPoisonedText = "incremental reducer poisoned";

PyIncrementalReducer* as_py_reducer(PyObject* obj) { return reinterpret_cast<PyIncrementalReducer*>(obj); }

PyIncrementalReducer* receiver(ModuleState* st, PyObject* self) {
    if (!PyObject_TypeCheck(self, st->incremental_reducer_type)) {
        raise_not_instance(self, "IncrementalReducer");
        return nullptr;
    }
    return as_py_reducer(self);
}

// Feeds the reducer what the store recorded since its watermark. The caller
// holds the reducer mutex; delta_from takes the store lock inside, only for
// the copy, and the step runs on the copy after it is released.
Result<uint64_t, BadNodeId> consume_delta(IncrementalReducer& reducer, const GraphStore& store) {
    return reducer.step(store.delta_from(reducer.watermark()));
}

// A call that stepped the reducer and then failed to build its Python
// result (MemoryError) takes the step back, so that a failed call leaves
// the reducer as it found it; unless another call changed it meanwhile,
// which has then seen the step.
void undo_step(PyIncrementalReducer* r, const IncrementalReducer::Checkpoint& mark, uint64_t stamp) {
    without_gil([&] {
        r->mutex.locked([&] {
            if (r->changes != stamp) return;
            r->reducer.roll_back(mark);
            ++r->changes;
        });
    });
}

// ---- construction ------------------------------------------------------

constexpr auto kNew = signature("IncrementalReducer.__new__");

PyObject* ir_new_impl(ModuleState*, PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<0> a;
    if (!bind(kNew, args, nargs, kwnames, a)) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyRef obj(tp->tp_alloc(tp, 0));
    if (!obj) return nullptr;
    PyIncrementalReducer* r = as_py_reducer(obj.get());
    new (&r->mutex) PoisonMutex(kPoisonedText);
    r->changes = 0;
    try {
        new (&r->reducer) IncrementalReducer();
    } catch (...) {
        // Not yet a complete object: undo by hand instead of via dealloc.
        r->mutex.~PoisonMutex();
        PyObject* raw = obj.release();
        tp->tp_free(raw);
        Py_DECREF(tp);
        throw;
    }
    return obj.release();
}

// ---- step / finalize -------------------------------------------------------

constexpr auto kStep = signature("IncrementalReducer.step", positional("store"));
constexpr auto kFinalize = signature("IncrementalReducer.finalize", positional("store"), keyword_opt("maximal_fusion"),
                                     keyword_opt("outputs"));
constexpr auto kFinalizeTraced = signature("IncrementalReducer.finalize_traced", positional("store"),
                                           keyword_opt("maximal_fusion"), keyword_opt("outputs"));

PyObject* step(ModuleState* st, PyIncrementalReducer& r, const Bound<1>& a) {
    GraphStore* store = store_from_py(st, a[0]);
    if (store == nullptr) return argument_error("store");
    IncrementalReducer::Checkpoint mark;
    uint64_t stamp = 0;
    // A step that runs out of memory undoes itself: the mutex stays usable.
    auto processed = without_gil([&] {
        return r.mutex.locked([&] {
            mark = r.reducer.checkpoint();
            auto result = consume_delta(r.reducer, *store);
            stamp = ++r.changes;
            return result;
        });
    });
    if (!processed.ok()) return map_err(processed.error());
    PyObject* count = PyLong_FromUnsignedLongLong(*processed);
    if (count == nullptr) undo_step(&r, mark, stamp);
    return count;
}

// finalize, and with Traced finalize_traced: one binding, one order of
// checks and locks, the reduction alone told apart.
template <bool Traced>
PyObject* finalize(ModuleState* st, PyIncrementalReducer& r, const Bound<3>& a) {
    GraphStore* store = store_from_py(st, a[0]);
    if (store == nullptr) return argument_error("store");
    bool maximal_fusion = false;
    if (a[1] != nullptr && !flag_from_py(a[1], maximal_fusion)) return argument_error("maximal_fusion");
    // Outputs are read and checked against the store before the reducer
    // mutex is taken.
    std::vector<NodeId> outputs;
    if (!checked_outputs_from_py(*store, a[2], outputs)) return nullptr;
    const SaturationEngine engine;
    std::optional<BadNodeId> bad;
    std::optional<std::conditional_t<Traced, TracedStore, ReducedStore>> built;
    IncrementalReducer::Checkpoint mark;
    uint64_t stamp = 0;
    without_gil([&] {
        r.mutex.locked([&] {
            mark = r.reducer.checkpoint();
            auto stepped = consume_delta(r.reducer, *store);
            stamp = ++r.changes;
            if (!stepped.ok()) {
                bad = stepped.error();
                return;
            }
            try {
                auto result = [&] {
                    if constexpr (Traced) return r.reducer.finalize_traced(*store, outputs, engine, maximal_fusion);
                    else return r.reducer.finalize_store(outputs, engine, maximal_fusion);
                }();
                if (result.ok()) {
                    built = std::move(*result);
                } else {
                    bad = result.error();
                }
            } catch (const std::bad_alloc&) {
                // Reducing changes nothing; the step before it is undone.
                r.reducer.roll_back(mark);
                throw;
            }
        });
    });
    if (bad) return map_err(*bad);
    PyObject* result = nullptr;
    if constexpr (Traced) result = traced_to_py(st, std::move(*built));
    else result = reduced_to_py(st, std::move(*built));
    if (result == nullptr) undo_step(&r, mark, stamp);
    return result;
}

// ---- accessors ----------------------------------------------------------------

constexpr auto kWatermark = signature("IncrementalReducer.watermark");
constexpr auto kTotalWork = signature("IncrementalReducer.total_work");
constexpr auto kCanonicalCount = signature("IncrementalReducer.canonical_count");

template <uint64_t (IncrementalReducer::*Read)() const>
PyObject* accessor(ModuleState*, PyIncrementalReducer& r, const Bound<0>&) {
    uint64_t value = [&] {
        auto guard = r.mutex.lock();
        return (r.reducer.*Read)();
    }();
    return PyLong_FromUnsignedLongLong(value);
}

// ---- the type ----------------------------------------------------------------

#define DAGLOOM_METHOD(name, sig, body, doc)                                                            \
    {name, as_cfunction(&method_entry<bound_method<sig, receiver, body>>),                                     \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef ir_methods[] = {
    DAGLOOM_METHOD("step", kStep, step,
                   "step($self, store)\n--\n\n"
                   "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
                   "(the delta size). The reducer must always be fed the same store."),
    DAGLOOM_METHOD("finalize", kFinalize, finalize<false>,
                   "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
                   "Finish: consume any remaining delta, then reduce the maintained canonical form against the\n"
                   "store's marked outputs — or, with `outputs=`, against EXACTLY that set (M22: stored marks\n"
                   "ignored). Returns the reduced store + report, exactly like `GraphStore.reduce`."),
    DAGLOOM_METHOD("watermark", kWatermark, accessor<&IncrementalReducer::watermark>,
                   "watermark($self)\n--\n\nHow many of the store's nodes have been consumed so far."),
    DAGLOOM_METHOD("total_work", kTotalWork, accessor<&IncrementalReducer::total_work>,
                   "total_work($self)\n--\n\n"
                   "Cumulative nodes processed across all steps (== watermark: each node touched once)."),
    DAGLOOM_METHOD("canonical_count", kCanonicalCount, accessor<&IncrementalReducer::canonical_count>,
                   "canonical_count($self)\n--\n\nSize of the maintained canonical form."),
    DAGLOOM_METHOD("finalize_traced", kFinalizeTraced, finalize<true>,
                   "finalize_traced($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
                   "What `finalize` returns with the same arguments, and an `Origins` over the nodes of `store`\n"
                   "consumed so far: where in the reduced store each one's value is."),
    {nullptr, nullptr, 0, nullptr},
};

#undef DAGLOOM_METHOD

}  // namespace

PyTypeObject* create_incremental_reducer_type(PyObject* module) {
    return new_type<PyIncrementalReducer>(
        module, "dagloom_core.IncrementalReducer",
        {{Py_tp_doc,
          const_cast<char*>(
              "IncrementalReducer()\n--\n\n"
              "Genuinely incremental reduction (plan §A.1): feed it a store as the graph is being built; each\n"
              "`step` canonicalizes ONLY the nodes recorded since the last step (identity elimination,\n"
              "commutativity dedup, hash-consing — the same sound rules the SaturationEngine runs), so a concise\n"
              "canonical form is maintained while building and `finalize` does one linear pass instead of a\n"
              "whole-history optimization. `total_work()` counts nodes processed across all steps — it equals\n"
              "the node count of the store, no matter how many steps fed it (the incrementality witness).")},
         {Py_tp_methods, ir_methods}},
        constructor_entry<ir_new_impl>);
}

}  // namespace dagloom::py
