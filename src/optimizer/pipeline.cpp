#include "optimizer/pipeline.h"

#include <utility>

#include "optimizer/liveness.h"
#include "optimizer/stage_fusion.h"
#include "util/internal_error.h"
#include "util/memory.h"

namespace dagloom {

namespace {

std::vector<uint64_t> kept_outputs(const ScratchVector<LiveIndex>& index, const std::vector<NodeId>& outputs) {
    std::vector<uint64_t> kept;
    kept.reserve(outputs.size());
    for (NodeId o : outputs) kept.push_back(index[o]);
    return kept;
}

// The phases up to fusion; each consumes what the one before produced, so
// no phase holds a second copy of the graph.
struct CanonicalForm {
    PackedGraph graph;  // after saturation and cse (skipped for a distinct result)
    RebuildTable rebuild;
    ReductionReport report;
};

// A trace, when given, receives where each kept node went.
CanonicalForm canonical_form(std::size_t input_nodes, PackedInput in, const RewriteEngine& engine,
                             EngineTrace* trace = nullptr) {
    CanonicalForm form;
    form.report.input_nodes = input_nodes;
    form.report.reachable_nodes = in.graph.size();
    const std::size_t kept = in.graph.size();
    const std::size_t output_count = in.graph.outputs.size();
    form.graph = engine.canonicalize_packed(std::move(in.graph), trace);
    if (form.graph.outputs.size() != output_count) fail("rewrite engine returns one output per output it was given");
    if (trace != nullptr && trace->size() != kept) fail("rewrite engine traces every node it was given");
    if (form.graph.distinct) {
        for (uint64_t o : form.graph.outputs) check_index(o, form.graph.size());
    } else {
        cse_packed(form.graph, trace);
    }
    form.report.canonical_nodes = form.graph.size();
    form.rebuild = std::move(in.rebuild);
    return form;
}

Reduced reduce_packed_input(std::size_t input_nodes, PackedInput in, const RewriteEngine& engine,
                            bool maximal_fusion) {
    CanonicalForm form = canonical_form(input_nodes, std::move(in), engine);
    FusionResult fused = stage_fusion(form.graph, form.rebuild, maximal_fusion);
    Reduced reduced;
    reduced.report = form.report;
    reduced.nodes = std::move(fused.nodes);
    reduced.outputs = std::move(fused.outputs);
    reduced.report.stages = fused.stages;
    reduced.report.boundary_nodes = fused.boundary_nodes;
    reduced.report.reduced_nodes = reduced.nodes.size();
    return reduced;
}

// Dead-code elimination straight into the packed engine graph: the kept
// nodes are read as views (view_at(id)) and never copied as keys, so
// reducing a packed table costs no key per node. A trace receives the kept
// positions and the outputs.
template <class InputsOf, class ViewAt>
PackedInput kept_packed_input(std::size_t n, InputsOf&& inputs_of, ViewAt&& view_at, const std::vector<NodeId>& outputs,
                              ReductionTrace* trace = nullptr) {
    std::size_t count = 0;
    std::size_t edges = 0;
    ScratchVector<LiveIndex> index = live_indices(n, inputs_of, outputs, count, edges);
    PackedInputBuilder builder(count, edges, kept_outputs(index, outputs));
    std::vector<NodeId> inputs;
    for (std::size_t id = 0; id < n; ++id) {
        if (index[id] == kDead) continue;
        NodeView node = view_at(id);
        inputs.assign(node.inputs.begin(), node.inputs.end());
        for (NodeId& in : inputs) in = index[in];
        node.inputs = inputs;
        builder.add(node);
    }
    if (trace != nullptr) {
        trace->outputs = outputs;
        trace->kept = IdMap<space::Recorded, space::Kept>(std::move(index));
    }
    return std::move(builder).finish();
}

PackedInput kept_packed_input(const NodeTable& nodes, const std::vector<NodeId>& outputs,
                              ReductionTrace* trace = nullptr) {
    return kept_packed_input(
        nodes.size(), [&](std::size_t id) { return nodes.inputs(id); }, [&](std::size_t id) { return nodes.view(id); },
        outputs, trace);
}

// Marks the reduced outputs (positions in the table `built` was made from).
void mark_reduced_outputs(const AppendedStore& built, const std::vector<uint64_t>& outputs, std::size_t positions) {
    std::vector<NodeId> ids;
    ids.reserve(outputs.size());
    for (uint64_t p : outputs) {
        check_index(p, positions);
        ids.push_back(built.node_of(p));
    }
    if (!built.store->mark_outputs(ids).ok()) fail("reduced output is valid");
}

// The phases after dead-code elimination for the kept nodes of an interned
// table (a store's or the incremental reducer's canonical one). Such a
// table holds no two equal keys; renumbering keeps them apart, and nodes
// that share an op text are equal apart from their inputs, so they differ
// in their children: the engine may add them without a lookup each. The
// reduced nodes go straight into the new store's table. A trace, holding
// what dead-code elimination decided, receives what every later phase does.
ReducedStore reduce_distinct(std::size_t input_nodes, PackedInput in, const RewriteEngine& engine,
                             bool maximal_fusion, ReductionTrace* trace) {
    in.graph.distinct = true;
    CanonicalForm form = canonical_form(input_nodes, std::move(in), engine, trace ? &trace->canonical : nullptr);
    NodeTable table;
    TableFusion fused =
        stage_fusion_into(form.graph, form.rebuild, maximal_fusion, table, trace ? &trace->fused : nullptr);
    ReductionReport report = form.report;
    form = CanonicalForm{};
    report.stages = fused.stages;
    report.boundary_nodes = fused.boundary_nodes;
    report.reduced_nodes = table.size();
    const std::size_t positions = table.size();
    // Equal nodes, should the phases leave any, become one node, and the
    // positions reading them follow it.
    AppendedStore built = from_appended(std::move(table));
    mark_reduced_outputs(built, fused.outputs, positions);
    if (trace != nullptr) trace->interned = std::move(built.id_of);
    return {std::move(built.store), report};
}

// Dead-code elimination reads the store's table in place, under its lock:
// nodes never change once added, so the kept nodes come out as they would
// from a copy, and no copy of the whole table (nor of its index, which the
// reduction never searches) is made. The lock is held for this sweep
// alone; the engine and fusion, the costly phases, run without it.
// Against `outputs`, or with none the store's marked ones as of that sweep.
Result<ReducedStore, BadNodeId> reduce_store(const GraphStore& store, const std::vector<NodeId>* outputs,
                                             const RewriteEngine& engine, bool maximal_fusion,
                                             ReductionTrace* trace = nullptr) {
    std::size_t input_nodes = 0;
    auto in = store.with_locked([&](const GraphStore::View& view) -> Result<PackedInput, BadNodeId> {
        input_nodes = view.nodes.size();
        const std::vector<NodeId>& kept = outputs != nullptr ? *outputs : view.outputs;
        for (NodeId o : kept)
            if (o >= input_nodes) return make_err(BadNodeId{o});
        return kept_packed_input(view.nodes, kept, trace);
    });
    if (!in) return make_err(in.error());
    return reduce_distinct(input_nodes, std::move(*in), engine, maximal_fusion, trace);
}

}  // namespace

Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
    PackedInput in = kept_packed_input(
        nodes.size(), [&](std::size_t id) -> const std::vector<NodeId>& { return nodes[id].inputs(); },
        [&](std::size_t id) { return view_of(nodes[id]); }, outputs);
    return reduce_packed_input(nodes.size(), std::move(in), engine, maximal_fusion);
}

Reduced reduce_with_mode(const NodeTable& nodes, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                         bool maximal_fusion) {
    return reduce_packed_input(nodes.size(), kept_packed_input(nodes, outputs), engine, maximal_fusion);
}

ReducedStore reduce_table(const NodeTable& nodes, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                          bool maximal_fusion, bool mirrors_merged, ReductionTrace* trace) {
    PackedInput in = kept_packed_input(nodes, outputs, trace);
    in.graph.mirrors_merged = mirrors_merged;  // kept nodes are a part of the table
    return reduce_distinct(nodes.size(), std::move(in), engine, maximal_fusion, trace);
}

ReducedStore from_reduced(Reduced reduced) {
    const std::size_t positions = reduced.nodes.size();
    NodeTable table;
    table.reserve(positions);
    for (std::size_t pos = 0; pos < positions; ++pos) {
        NodeKey& key = reduced.nodes[pos];
        for (NodeId p : key.inputs()) check_index(p, pos);
        const NodeTable::Probe probe = table.probe(view_of(key));
        if (carries_extra(key.kind())) table.append_whole_unchecked(probe, std::move(key));
        else table.append_unchecked(probe, &key);
    }
    reduced.nodes = {};
    // Equal keys, should the phases leave any, become one node, and the
    // positions reading them follow it.
    AppendedStore built = from_appended(std::move(table));
    mark_reduced_outputs(built, reduced.outputs, positions);
    return {std::move(built.store), reduced.report};
}

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion) {
    auto reduced = reduce_store(store, nullptr, engine, maximal_fusion);
    if (!reduced) fail("store outputs name its nodes");
    return std::move(*reduced);
}

Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, const std::vector<NodeId>& outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion) {
    return reduce_store(store, &outputs, engine, maximal_fusion);
}

Result<TracedStore, BadNodeId> reduce_traced(const GraphStore& store, const std::vector<NodeId>* outputs,
                                             const RewriteEngine& engine, bool maximal_fusion) {
    ReductionTrace trace;
    auto reduced = reduce_store(store, outputs, engine, maximal_fusion, &trace);
    if (!reduced) {
        if (outputs == nullptr) fail("store outputs name its nodes");
        return make_err(reduced.error());
    }
    Origins origins = origins_of(trace);
    return TracedStore{std::move(*reduced), std::move(origins)};
}

std::vector<std::pair<std::string, std::size_t>> report_to_map(const ReductionReport& report) {
    return {{"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
            {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
            {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes}};
}

}  // namespace dagloom
