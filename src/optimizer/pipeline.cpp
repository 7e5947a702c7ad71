#include "optimizer/pipeline.h"

#include <limits>
#include <utility>

#include "optimizer/stage_fusion.h"
#include "util/internal_error.h"
#include "util/memory.h"

namespace dagloom {

namespace {

// New indices fit 32 bits, as positions do in the packed graph they feed:
// half the memory of the one array as large as the whole input.
using LiveIndex = uint32_t;
constexpr LiveIndex kDead = std::numeric_limits<LiveIndex>::max();

// The new index of every node the outputs reach, kDead for the others;
// inputs_of(id) gives a node's inputs, `count` and `edges` receive how many
// nodes and inputs are kept. Inputs lie below their node, so one
// descending sweep settles liveness: a node's users have all been visited
// before it is.
template <class InputsOf>
ScratchVector<LiveIndex> live_indices(std::size_t n, InputsOf&& inputs_of, const std::vector<NodeId>& outputs,
                                      std::size_t& count, std::size_t& edges) {
    constexpr LiveIndex kLive = 0;
    if (n >= kDead) fail("dagloom-core reduces at most 4294967294 nodes");
    ScratchVector<LiveIndex> index(n, kDead);
    for (NodeId o : outputs) {
        check_index(o, n);
        index[o] = kLive;
    }
    edges = 0;
    for (std::size_t id = n; id-- > 0;) {
        if (index[id] == kDead) continue;
        const auto inputs = inputs_of(id);
        edges += inputs.size();
        for (NodeId in : inputs) {
            if (in >= id) {
                check_index(in, n);
                fail("node inputs precede their node");
            }
            index[in] = kLive;
        }
    }
    count = 0;
    for (LiveIndex& x : index)
        if (x != kDead) x = static_cast<LiveIndex>(count++);
    return index;
}

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

CanonicalForm canonical_form(std::size_t input_nodes, PackedInput in, const RewriteEngine& engine) {
    CanonicalForm form;
    form.report.input_nodes = input_nodes;
    form.report.reachable_nodes = in.graph.size();
    const std::size_t output_count = in.graph.outputs.size();
    form.graph = engine.canonicalize_packed(std::move(in.graph));
    if (form.graph.outputs.size() != output_count) fail("rewrite engine returns one output per output it was given");
    if (form.graph.distinct) {
        for (uint64_t o : form.graph.outputs) check_index(o, form.graph.size());
    } else {
        cse_packed(form.graph);
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
// reducing a packed table costs no key per node.
template <class InputsOf, class ViewAt>
PackedInput kept_packed_input(std::size_t n, InputsOf&& inputs_of, ViewAt&& view_at, const std::vector<NodeId>& outputs) {
    std::size_t count = 0;
    std::size_t edges = 0;
    const ScratchVector<LiveIndex> index = live_indices(n, inputs_of, outputs, count, edges);
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
    return std::move(builder).finish();
}

PackedInput kept_packed_input(const NodeTable& nodes, const std::vector<NodeId>& outputs) {
    return kept_packed_input(
        nodes.size(), [&](std::size_t id) { return nodes.inputs(id); }, [&](std::size_t id) { return nodes.view(id); },
        outputs);
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
// reduced nodes go straight into the new store's table.
ReducedStore reduce_distinct(std::size_t input_nodes, PackedInput in, const RewriteEngine& engine,
                             bool maximal_fusion) {
    in.graph.distinct = true;
    CanonicalForm form = canonical_form(input_nodes, std::move(in), engine);
    NodeTable table;
    TableFusion fused = stage_fusion_into(form.graph, form.rebuild, maximal_fusion, table);
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
    return {std::move(built.store), report};
}

// Dead-code elimination reads the store's table in place, under its lock:
// nodes never change once added, so the kept nodes come out as they would
// from a copy, and no copy of the whole table (nor of its index, which the
// reduction never searches) is made. The lock is held for this sweep
// alone; the engine and fusion, the costly phases, run without it.
// Against `outputs`, or with none the store's marked ones as of that sweep.
Result<ReducedStore, BadNodeId> reduce_store(const GraphStore& store, const std::vector<NodeId>* outputs,
                                             const RewriteEngine& engine, bool maximal_fusion) {
    std::size_t input_nodes = 0;
    auto in = store.with_locked([&](const GraphStore::View& view) -> Result<PackedInput, BadNodeId> {
        input_nodes = view.nodes.size();
        const std::vector<NodeId>& kept = outputs != nullptr ? *outputs : view.outputs;
        for (NodeId o : kept)
            if (o >= input_nodes) return make_err(BadNodeId{o});
        return kept_packed_input(view.nodes, kept);
    });
    if (!in) return make_err(in.error());
    return reduce_distinct(input_nodes, std::move(*in), engine, maximal_fusion);
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
                          bool maximal_fusion, bool mirrors_merged) {
    PackedInput in = kept_packed_input(nodes, outputs);
    in.graph.mirrors_merged = mirrors_merged;  // kept nodes are a part of the table
    return reduce_distinct(nodes.size(), std::move(in), engine, maximal_fusion);
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

std::vector<std::pair<std::string, std::size_t>> report_to_map(const ReductionReport& report) {
    return {{"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
            {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
            {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes}};
}

}  // namespace dagloom
