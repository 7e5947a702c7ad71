// The GraphStore class: construction, building, inspection, reduction and
// persistence methods. Each method binds, converts every argument before the
// store is touched, makes one call into the core, and converts the result.

#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "blob/blob.h"
#include "graph/token.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "python/binder.h"
#include "python/convert.h"
#include "python/objects.h"
#include "python/pyref.h"
#include "python/without_gil.h"

namespace dagloom::py {
namespace {

PyGraphStore* as_py_store(PyObject* obj) { return reinterpret_cast<PyGraphStore*>(obj); }

PyObject* id_to_py(NodeId id) { return PyLong_FromUnsignedLongLong(id); }

// The id object of a node the call is about to add is made before the node
// is: building the result cannot then fail with MemoryError after the store
// grew. A node that exists (nothing changed) or that another thread added
// first gets its own.
template <class Intern>
PyObject* interned_to_py(const GraphStore& store, Intern&& intern) {
    const std::size_t next = store.node_count();
    PyRef next_id(id_to_py(next));
    if (!next_id) return nullptr;
    auto result = intern();
    if (!result.ok()) return map_err(result.error());
    if (*result == next) return next_id.release();
    return id_to_py(*result);
}

// `outputs=` of serialize and the reductions: converted like `inputs`.
bool outputs_from_py(PyObject* obj, std::vector<NodeId>& out) {
    if (!inputs_from_py(obj, out)) {
        argument_error("outputs");
        return false;
    }
    return true;
}

// ---- construction ------------------------------------------------------

constexpr auto kNew = signature("GraphStore.__new__");

PyObject* gs_new_impl(ModuleState* st, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<0> a;
    if (!bind(kNew, args, nargs, kwnames, a)) return nullptr;
    return wrap_store(st, std::make_unique<GraphStore>());
}

// ---- building methods (bind, name, inputs, params, then intern) --------

constexpr auto kAddSource = signature("GraphStore.add_source", positional("name"), positional_opt("params"));
constexpr auto kAddOp = signature("GraphStore.add_op", positional("name"), positional("inputs"), positional_opt("params"));
constexpr auto kAddReduction =
    signature("GraphStore.add_reduction", positional("name"), positional("inputs"), positional_opt("params"));
constexpr auto kAddExternal =
    signature("GraphStore.add_external", positional("descriptor"), positional("inputs"), positional_opt("params"));
constexpr auto kAddExchange = signature("GraphStore.add_exchange", positional("inputs"), positional_opt("params"));

// Building a node of every kind but External reads its parts straight from
// the arguments (the name's UTF-8 in place, a few ids inline) and never
// builds a key of its own. The arguments are a name (but for an Exchange),
// inputs (but for a Source) and params, in that order.
template <NodeKind Kind, std::size_t N>
PyObject* add_parts(ModuleState*, GraphStore& store, const Bound<N>& a) {
    std::size_t slot = 0;
    std::string_view name;
    if (Kind != NodeKind::Exchange && !str_view_from_py(a[slot++], name)) return argument_error("name");
    IdBuffer inputs;
    if (Kind != NodeKind::Source && !inputs_from_py(a[slot++], inputs)) return argument_error("inputs");
    ParamMap params;
    if (!params_from_py(a[slot], params)) return nullptr;
    const NodeView parts{Kind, name, &params, {inputs.begin(), inputs.end()}, nullptr, {}};
    return interned_to_py(store, [&] { return store.intern(parts); });
}

PyObject* add_external(ModuleState* st, GraphStore& store, const Bound<3>& a) {
    std::vector<NodeId> inputs;
    if (!inputs_from_py(a[1], inputs)) return argument_error("inputs");
    PayloadDescriptor descriptor;
    if (!descriptor_from_py(a[0], st->payload_descriptor_type, descriptor)) return nullptr;
    ParamMap params;
    if (!params_from_py(a[2], params)) return nullptr;
    NodeKey key = NodeKey::external(std::move(descriptor), std::move(params), std::move(inputs));
    return interned_to_py(store, [&] { return store.intern(std::move(key)); });
}

// ---- inspection ----------------------------------------------------------

constexpr auto kNodeCount = signature("GraphStore.node_count");
constexpr auto kToDot = signature("GraphStore.to_dot");
constexpr auto kNodes = signature("GraphStore.nodes");
constexpr auto kOutputs = signature("GraphStore.outputs");

PyObject* node_count(ModuleState*, GraphStore& store, const Bound<0>&) { return PyLong_FromSize_t(store.node_count()); }
PyObject* dot_text(ModuleState*, GraphStore& store, const Bound<0>&) { return str_to_py(to_dot(store)); }
PyObject* marked_outputs(ModuleState*, GraphStore& store, const Bound<0>&) { return ids_to_py(store.outputs()); }

bool set_item(PyObject* dict, PyObject* key, PyRef value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

PyObject* descriptor_to_py(const Names& n, const PayloadDescriptor& d) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    PyRef pre(d.preprocessing_ref ? str_to_py(*d.preprocessing_ref) : Py_NewRef(Py_None));
    if (!set_item(dict.get(), n.kind, PyRef(str_to_py(d.kind))) ||
        !set_item(dict.get(), n.content_hash, PyRef(str_to_py(d.content_hash))) ||
        !set_item(dict.get(), n.framework, PyRef(str_to_py(d.framework))) ||
        !set_item(dict.get(), n.version, PyRef(str_to_py(d.version))) ||
        !set_item(dict.get(), n.io_schema, PyRef(str_to_py(d.io_schema))) ||
        !set_item(dict.get(), n.preprocessing_ref, std::move(pre))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* ref_to_py(const Names& n, const StageRef& ref) {
    PyRef index(PyLong_FromUnsignedLongLong(ref.index));
    if (!index) return nullptr;
    return PyTuple_Pack(2, ref.tag == StageRef::Tag::Input ? n.input : n.member, index.get());
}

PyObject* member_to_py(const Names& n, const StageOp& member) {
    auto parts = parse_op_token(member.op);
    if (!parts) {
        std::string text = "unparseable stage member token " + display_string(member.op);
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return nullptr;
    }
    PyRef refs(list_to_py(member.inputs.size(), [&](std::size_t i) { return ref_to_py(n, member.inputs[i]); }));
    if (!refs) return nullptr;
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), n.kind, PyRef(str_to_py(parts->kind))) ||
        !set_item(dict.get(), n.name, PyRef(str_to_py(parts->name))) ||
        !set_item(dict.get(), n.params, PyRef(params_to_py(parts->params))) ||
        !set_item(dict.get(), n.inputs, std::move(refs))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* node_to_py(const Names& n, NodeId id, const NodeKey& key, bool is_output) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const NodeKind kind = key.kind();
    const bool named = kind == NodeKind::Source || kind == NodeKind::Op || kind == NodeKind::Reduction;
    PyRef params(kind == NodeKind::Stage ? PyDict_New() : params_to_py(key.params()));
    if (!set_item(dict.get(), n.id, PyRef(id_to_py(id))) ||
        !set_item(dict.get(), n.output, PyRef::borrow(is_output ? Py_True : Py_False)) ||
        !set_item(dict.get(), n.inputs, PyRef(ids_to_py(key.inputs()))) ||
        !set_item(dict.get(), n.kind, PyRef::borrow(n.kinds[static_cast<int>(kind)])) ||
        !set_item(dict.get(), n.name, named ? PyRef(str_to_py(key.name())) : PyRef::borrow(n.empty)) ||
        !set_item(dict.get(), n.params, std::move(params))) {
        return nullptr;
    }
    if (kind == NodeKind::External) {
        if (!set_item(dict.get(), n.descriptor, PyRef(descriptor_to_py(n, key.descriptor())))) return nullptr;
    } else if (kind == NodeKind::Stage) {
        const auto& members = key.members();
        if (!set_item(dict.get(), n.n_members, PyRef(PyLong_FromSize_t(members.size()))) ||
            !set_item(dict.get(), n.members,
                      PyRef(list_to_py(members.size(), [&](std::size_t i) { return member_to_py(n, members[i]); })))) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* nodes(ModuleState* st, GraphStore& store, const Bound<0>&) {
    // The count and outputs of one instant. Nodes below that count never
    // change, so they are copied a block at a time, each under the read
    // lock, and their Python objects built without it: a whole copy first
    // would hold a second store in memory beside the list being built.
    constexpr std::size_t kBlock = 4096;
    std::size_t count = 0;
    const std::vector<bool> is_output = store.with_locked([&](const GraphStore::View& v) {
        count = v.nodes.size();
        return output_flags(count, v.outputs);
    });
    std::vector<NodeKey> block;
    return list_to_py(count, [&](std::size_t i) {
        if (i % kBlock == 0) {
            block.clear();
            const std::size_t end = std::min(i + kBlock, count);
            store.with_locked([&](const GraphStore::View& v) { v.nodes.copy_keys(i, end, block); });
        }
        return node_to_py(st->names, i, block[i % kBlock], is_output[i]);
    });
}

// ---- persistence -----------------------------------------------------------

constexpr auto kSerialize = signature("GraphStore.serialize", positional_opt("outputs"));
constexpr auto kDeserialize = signature("GraphStore.deserialize", positional("data"));

PyObject* serialize(ModuleState*, GraphStore& store, const Bound<1>& a) {
    std::vector<NodeId> outputs;
    if (!checked_outputs_from_py(store, a[0], outputs)) return nullptr;
    // Measured first, the blob is then written straight into the bytes
    // object, instead of into a buffer of our own that would be copied.
    auto plan = without_gil([&] { return plan_blob(store, outputs); });
    if (!plan.ok()) {
        PyErr_SetString(PyExc_OverflowError, plan.error().message.c_str());
        return nullptr;
    }
    if (plan->size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan->size)));
    if (!bytes) return nullptr;
    // Nothing else holds the new object yet, so its buffer may be written
    // without the interpreter.
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    without_gil([&] { write_planned(store, *plan, outputs, out); });
    return bytes.release();
}

PyObject* deserialize_impl(ModuleState* st, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<1> a;
    if (!bind(kDeserialize, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    // bytes only: its buffer cannot change under the reader, unlike a
    // bytearray or a writable memoryview.
    if (!PyBytes_Check(data)) {
        raise_not_instance(data, "bytes");
        return argument_error("data");
    }
    std::span<const uint8_t> view(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    auto store = without_gil([&] { return deserialize(view); });
    if (!store.ok()) {
        PyErr_SetString(PyExc_ValueError, store.error().message().c_str());
        return nullptr;
    }
    return wrap_store(st, std::move(*store));
}

// ---- reduction -----------------------------------------------------------

constexpr auto kReduce = signature("GraphStore.reduce", keyword_opt("maximal_fusion"), keyword_opt("outputs"));
constexpr auto kReduceTraced =
    signature("GraphStore.reduce_traced", keyword_opt("maximal_fusion"), keyword_opt("outputs"));
constexpr auto kReduceIncremental = signature("GraphStore.reduce_incremental", keyword_opt("outputs"));
constexpr auto kReductionReport = signature("GraphStore.reduction_report", keyword_opt("outputs"));

// nullopt with a Python error set when the explicit outputs name no node.
std::optional<ReducedStore> run_reduction(const GraphStore& store, const std::vector<NodeId>* outputs,
                                          bool maximal_fusion) {
    const SaturationEngine engine;
    if (outputs == nullptr) return without_gil([&] { return reduce_with(store, engine, maximal_fusion); });
    auto result = without_gil([&] { return reduce_with_outputs(store, *outputs, engine, maximal_fusion); });
    if (!result.ok()) {
        map_err(result.error());
        return std::nullopt;
    }
    return std::move(*result);
}

enum class ReduceResult { StoreAndReport, ReportOnly, Traced };

template <ReduceResult Shape, std::size_t N>
PyObject* reduction(ModuleState* st, GraphStore& store, const Bound<N>& a) {
    constexpr bool kHasFusion = N == 2;
    constexpr std::size_t kOutputsSlot = kHasFusion ? 1 : 0;
    bool maximal_fusion = false;
    if constexpr (kHasFusion) {
        if (a[0] != nullptr && !flag_from_py(a[0], maximal_fusion)) return argument_error("maximal_fusion");
    }
    std::vector<NodeId> outputs;
    const bool explicit_outputs = a.given(kOutputsSlot);
    if (explicit_outputs && !outputs_from_py(a[kOutputsSlot], outputs)) return nullptr;
    const std::vector<NodeId>* requested = explicit_outputs ? &outputs : nullptr;
    if constexpr (Shape == ReduceResult::Traced) {
        const SaturationEngine engine;
        auto traced = without_gil([&] { return reduce_traced(store, requested, engine, maximal_fusion); });
        if (!traced.ok()) return map_err(traced.error());
        return traced_to_py(st, std::move(*traced));
    } else {
        auto reduced = run_reduction(store, requested, maximal_fusion);
        if (!reduced) return nullptr;
        if constexpr (Shape == ReduceResult::ReportOnly) {
            return report_to_py(reduced->report);
        } else {
            return reduced_to_py(st, std::move(*reduced));
        }
    }
}

// ---- the type ----------------------------------------------------------------

// The interpreter's method descriptors already refuse foreign receivers
// with their own message; the receiver check keeps each entry point safe on
// its own.
#define DAGLOOM_METHOD(name, sig, body, doc)                                                            \
    {name, as_cfunction(&method_entry<bound_method<sig, store_from_py, body>>),                                \
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc}

constexpr const char* kDeserializeDoc =
    "deserialize(data)\n--\n\n"
    "Rebuild a store from canonical bytes. A round trip reproduces the same node ids, so\n"
    "`serialize` of the result is byte-identical to the input (plan M8 determinism gate).";

// The entry in tp_methods only fixes the method's place in the class; the
// interpreter hides `self` from METH_STATIC functions, so the callable put in
// its place is this plain function bound to the class (see below).
PyMethodDef kDeserializeDef = {"deserialize", as_cfunction(&static_entry<deserialize_impl>),
                               METH_STATIC | METH_FASTCALL | METH_KEYWORDS, kDeserializeDoc};
PyMethodDef kDeserializeBoundDef = {"deserialize", as_cfunction(&static_entry<deserialize_impl>),
                                    METH_FASTCALL | METH_KEYWORDS, kDeserializeDoc};

PyMethodDef gs_methods[] = {
    DAGLOOM_METHOD("add_source", kAddSource, (add_parts<NodeKind::Source, 2>),
                   "add_source($self, name, params=None)\n--\n\n"),
    DAGLOOM_METHOD("add_op", kAddOp, (add_parts<NodeKind::Op, 3>), "add_op($self, name, inputs, params=None)\n--\n\n"),
    DAGLOOM_METHOD("add_reduction", kAddReduction, (add_parts<NodeKind::Reduction, 3>),
                   "add_reduction($self, name, inputs, params=None)\n--\n\n"),
    DAGLOOM_METHOD("add_external", kAddExternal, add_external,
                   "add_external($self, descriptor, inputs, params=None)\n--\n\n"),
    DAGLOOM_METHOD("add_exchange", kAddExchange, (add_parts<NodeKind::Exchange, 2>),
                   "add_exchange($self, inputs, params=None)\n--\n\n"
                   "Record an `Exchange` boundary (plan M39 §2.1). No `name` — an Exchange's identity is its\n"
                   "`scheme` ParamMap (`params`) + its one logical input; `nodes()[i][\"kind\"] == \"exchange\"`."),
    DAGLOOM_METHOD("node_count", kNodeCount, node_count, "node_count($self)\n--\n\n"),
    DAGLOOM_METHOD("to_dot", kToDot, dot_text, "to_dot($self)\n--\n\n"),
    DAGLOOM_METHOD("serialize", kSerialize, serialize,
                   "serialize($self, outputs=None)\n--\n\n"
                   "Serialize the IR to the canonical, versioned, byte-identical durable form (plan M8 / A.3.1:\n"
                   "the serializable IR — not cloudpickle — is the canonical durable representation). With\n"
                   "`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: outputs are a\n"
                   "property of the compile request); the default keeps the marks-based behavior."),
    kDeserializeDef,
    DAGLOOM_METHOD("nodes", kNodes, nodes,
                   "nodes($self)\n--\n\n"
                   "Structured, read-only view of every node in id order (plan M9: `inspect` renders the IR and\n"
                   "`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
                   "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
                   "`descriptor` dict for external nodes and `n_members` for stage nodes."),
    DAGLOOM_METHOD("outputs", kOutputs, marked_outputs,
                   "outputs($self)\n--\n\n"
                   "The marked output node ids, in mark order (what an IR evaluator returns, in order)."),
    DAGLOOM_METHOD("reduce", kReduce, (reduction<ReduceResult::StoreAndReport, 2>),
                   "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
                   "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
                   "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
                   "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
                   "pinned by the frozen M4 suite)."),
    DAGLOOM_METHOD("reduce_incremental", kReduceIncremental, (reduction<ReduceResult::StoreAndReport, 1>),
                   "reduce_incremental($self, *, outputs=None)\n--\n\n"
                   "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
                   "step-by-step reduction while building, use `IncrementalReducer`."),
    DAGLOOM_METHOD("reduction_report", kReductionReport, (reduction<ReduceResult::ReportOnly, 1>),
                   "reduction_report($self, *, outputs=None)\n--\n\n"
                   "The reduction report for the current graph, without keeping the reduced store."),
    DAGLOOM_METHOD("reduce_traced", kReduceTraced, (reduction<ReduceResult::Traced, 2>),
                   "reduce_traced($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
                   "The reduction `reduce` makes with the same arguments (the same store and report), and an\n"
                   "`Origins` saying where in the reduced store each recorded node's value is."),
    {nullptr, nullptr, 0, nullptr},
};

#undef DAGLOOM_METHOD

}  // namespace

PyTypeObject* create_graph_store_type(PyObject* module) {
    auto* tp = new_type<PyGraphStore>(
        module, "dagloom_core.GraphStore",
        {{Py_tp_doc, const_cast<char*>(
                         "GraphStore()\n--\n\n"
                         "Thread-safe interned graph store (frozen class: interior mutability via a Mutex, safe to\n"
                         "share across threads under the GIL and free-threaded 3.14t).")},
         {Py_tp_methods, gs_methods}},
        constructor_entry<gs_new_impl>);
    PyRef type(reinterpret_cast<PyObject*>(tp));
    if (!type) return nullptr;
    // Replacing the value keeps the key's place in the class order.
    PyRef function(PyCMethod_New(&kDeserializeBoundDef, type.get(), nullptr, nullptr));
    if (!function) return nullptr;
    PyRef method(PyStaticMethod_New(function.get()));
    if (!method || PyDict_SetItemString(tp->tp_dict, "deserialize", method.get()) < 0) return nullptr;
    PyType_Modified(tp);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyObject* wrap_store(ModuleState* st, std::unique_ptr<GraphStore> store) {
    PyTypeObject* type = st->graph_store_type;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    new (&as_py_store(obj)->store) std::unique_ptr<GraphStore>(std::move(store));
    return obj;
}

bool checked_outputs_from_py(const GraphStore& store, PyObject* obj, std::vector<NodeId>& out) {
    if (obj == nullptr || obj == Py_None) {
        out = store.outputs();
        return true;
    }
    if (!outputs_from_py(obj, out)) return false;
    // Ids are only ever added, so ids below this count stay valid for the
    // snapshot the call takes next.
    const std::size_t count = store.node_count();
    for (NodeId id : out)
        if (id >= count) {
            map_err(BadNodeId{id});
            return false;
        }
    return true;
}

GraphStore* store_from_py(ModuleState* st, PyObject* obj) {
    if (!PyObject_TypeCheck(obj, st->graph_store_type)) {
        raise_not_instance(obj, "GraphStore");
        return nullptr;
    }
    return as_py_store(obj)->store.get();
}

PyObject* report_to_py(const ReductionReport& report) {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, count] : report_to_map(report)) {
        PyRef value(PyLong_FromSize_t(count));
        if (!value || PyDict_SetItemString(dict.get(), key.c_str(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* reduced_to_py(ModuleState* st, ReducedStore reduced, PyObject* origins) {
    PyRef report(report_to_py(reduced.report));
    if (!report) return nullptr;
    PyRef store(wrap_store(st, std::move(reduced.store)));
    if (!store) return nullptr;
    if (origins != nullptr) return PyTuple_Pack(3, store.get(), report.get(), origins);
    return PyTuple_Pack(2, store.get(), report.get());
}

}  // namespace dagloom::py
