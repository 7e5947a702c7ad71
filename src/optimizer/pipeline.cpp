#include "optimizer/pipeline.h"

#include <limits>
#include <utility>

#include "graph/hash.h"
#include "optimizer/stage_fusion.h"
#include "util/internal_error.h"

namespace dagloom {

namespace {

constexpr uint64_t kDead = std::numeric_limits<uint64_t>::max();

// The new index of every node the outputs reach, kDead for the others;
// inputs_of(id) gives a node's inputs. Inputs lie below their node, so one
// descending sweep settles liveness: a node's users have all been visited
// before it is.
template <class InputsOf>
std::vector<uint64_t> live_indices(std::size_t n, InputsOf&& inputs_of, const std::vector<NodeId>& outputs,
                                   std::size_t& count) {
    constexpr uint64_t kLive = 0;
    std::vector<uint64_t> index(n, kDead);
    for (NodeId o : outputs) {
        check_index(o, n);
        index[o] = kLive;
    }
    for (std::size_t id = n; id-- > 0;) {
        if (index[id] == kDead) continue;
        for (NodeId in : inputs_of(id)) {
            if (in >= id) {
                check_index(in, n);
                fail("node inputs precede their node");
            }
            index[in] = kLive;
        }
    }
    count = 0;
    for (uint64_t& x : index)
        if (x != kDead) x = count++;
    return index;
}

std::vector<uint64_t> live_indices(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs,
                                   std::size_t& count) {
    return live_indices(nodes.size(), [&](std::size_t id) -> const std::vector<NodeId>& { return nodes[id].inputs(); },
                        outputs, count);
}

std::vector<uint64_t> kept_outputs(const std::vector<uint64_t>& index, const std::vector<NodeId>& outputs) {
    std::vector<uint64_t> kept;
    kept.reserve(outputs.size());
    for (NodeId o : outputs) kept.push_back(index[o]);
    return kept;
}

}  // namespace

KeptGraph dead_code_elimination(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs) {
    std::size_t count = 0;
    const std::vector<uint64_t> index = live_indices(nodes, outputs, count);
    KeptGraph kept;
    kept.nodes.reserve(count);
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        if (index[id] == kDead) continue;
        kept.nodes.push_back(nodes[id]);
        kept.nodes.back().map_inputs([&](NodeId in) { return index[in]; });
    }
    kept.outputs = kept_outputs(index, outputs);
    return kept;
}

KeptGraph dead_code_elimination(std::vector<NodeKey>&& nodes, const std::vector<NodeId>& outputs) {
    std::size_t count = 0;
    const std::vector<uint64_t> index = live_indices(nodes, outputs, count);
    KeptGraph kept;
    kept.nodes.reserve(count);
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        if (index[id] == kDead) continue;
        NodeKey& key = nodes[id];
        key.map_inputs([&](NodeId in) { return index[in]; });
        kept.nodes.push_back(std::move(key));
    }
    std::vector<NodeKey>().swap(nodes);  // dead keys and moved-from shells
    kept.outputs = kept_outputs(index, outputs);
    return kept;
}

namespace {

uint64_t cse_hash(const EngineNode& node) {
    Hasher h(0);
    h.add_bytes(node.op);
    for (uint64_t c : node.children) h.add(c);
    return h.finish();
}

}  // namespace

EngineGraph cse(EngineGraph graph) {
    const std::size_t n = graph.nodes.size();
    EngineGraph result;
    result.nodes.reserve(n);
    std::vector<uint64_t> index(n);

    // Open-addressing set of result positions (position + 1, 0 = empty),
    // at most half full; sized once, since the result never exceeds n.
    std::size_t capacity = 2;
    while (capacity < 2 * n) capacity *= 2;
    std::vector<uint64_t> slots(capacity, 0);
    std::vector<uint64_t> hashes;
    hashes.reserve(n);
    const std::size_t mask = capacity - 1;

    for (std::size_t i = 0; i < n; ++i) {
        EngineNode& node = graph.nodes[i];
        for (uint64_t& c : node.children) {
            check_index(c, n);
            if (c >= i) fail("canonical graph children precede their node");
            c = index[c];
        }
        const uint64_t h = cse_hash(node);
        std::size_t slot = static_cast<std::size_t>(h) & mask;
        for (; slots[slot] != 0; slot = (slot + 1) & mask) {
            const uint64_t p = slots[slot] - 1;
            const EngineNode& other = result.nodes[p];
            if (hashes[p] == h && other.op == node.op && other.children == node.children) break;
        }
        if (slots[slot] != 0) {
            index[i] = slots[slot] - 1;
            continue;
        }
        index[i] = result.nodes.size();
        slots[slot] = index[i] + 1;
        hashes.push_back(h);
        result.nodes.push_back(std::move(node));
    }
    result.outputs.reserve(graph.outputs.size());
    for (uint64_t o : graph.outputs) {
        check_index(o, n);
        result.outputs.push_back(index[o]);
    }
    return result;
}

namespace {

// Every phase after dead-code elimination; each consumes what the one
// before produced, so no phase holds a second copy of the graph.
Reduced reduce_engine_input(std::size_t input_nodes, EngineInput in, const RewriteEngine& engine,
                            bool maximal_fusion) {
    Reduced reduced;
    reduced.report.input_nodes = input_nodes;
    reduced.report.reachable_nodes = in.graph.nodes.size();

    const std::size_t output_count = in.graph.outputs.size();
    EngineGraph canonical = engine.canonicalize_owned(std::move(in.graph));
    if (canonical.outputs.size() != output_count) fail("rewrite engine returns one output per output it was given");

    canonical = cse(std::move(canonical));
    reduced.report.canonical_nodes = canonical.nodes.size();

    // The rebuild table holds all that fusion needs of the keys.
    std::vector<uint64_t> canonical_outputs = std::move(canonical.outputs);
    FusionResult fused = stage_fusion(std::move(canonical), canonical_outputs, in.rebuild, maximal_fusion);

    reduced.nodes = std::move(fused.nodes);
    reduced.outputs = std::move(fused.outputs);
    reduced.report.stages = fused.stages;
    reduced.report.boundary_nodes = fused.boundary_nodes;
    reduced.report.reduced_nodes = reduced.nodes.size();
    return reduced;
}

// Dead-code elimination straight into the engine graph: the kept nodes are
// read as views (view_at(id)) and never copied as keys, so reducing a packed
// table costs no key per node.
template <class ViewAt>
EngineInput kept_engine_input(std::size_t n, ViewAt&& view_at, const std::vector<NodeId>& outputs) {
    std::size_t count = 0;
    const std::vector<uint64_t> index =
        live_indices(n, [&](std::size_t id) { return view_at(id).inputs; }, outputs, count);
    EngineInputBuilder builder(count, kept_outputs(index, outputs));
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

EngineInput kept_engine_input(const NodeTable& nodes, const std::vector<NodeId>& outputs) {
    return kept_engine_input(
        nodes.size(), [&](std::size_t id) { return nodes.view(id); }, outputs);
}

// A store's copy is released as soon as the engine graph is built, so it is
// not held through saturation, the phase that needs the most memory.
ReducedStore reduce_copy(PackedSnapshot snap, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                         bool maximal_fusion) {
    const std::size_t input_nodes = snap.nodes.size();
    EngineInput in = kept_engine_input(snap.nodes, outputs);
    snap = PackedSnapshot{};
    return from_reduced(reduce_engine_input(input_nodes, std::move(in), engine, maximal_fusion));
}

}  // namespace

Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs,
                         const RewriteEngine& engine, bool maximal_fusion) {
    EngineInput in = kept_engine_input(
        nodes.size(), [&](std::size_t id) { return view_of(nodes[id]); }, outputs);
    return reduce_engine_input(nodes.size(), std::move(in), engine, maximal_fusion);
}

Reduced reduce_with_mode(const NodeTable& nodes, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                         bool maximal_fusion) {
    return reduce_engine_input(nodes.size(), kept_engine_input(nodes, outputs), engine, maximal_fusion);
}

ReducedStore from_reduced(Reduced reduced) {
    const std::size_t positions = reduced.nodes.size();
    NodeTable table;
    table.reserve(positions);
    for (std::size_t pos = 0; pos < positions; ++pos) {
        NodeKey& key = reduced.nodes[pos];
        for (NodeId p : key.inputs()) check_index(p, pos);
        table.append_unchecked(table.probe(view_of(key)), &key);
    }
    reduced.nodes = {};
    // Equal keys, should the phases leave any, become one node, and the
    // positions reading them follow it.
    AppendedStore built = from_appended(std::move(table));
    for (uint64_t p : reduced.outputs) {
        check_index(p, positions);
        if (!built.store->mark_output(built.node_of(p)).ok()) fail("reduced output is valid");
    }
    return {std::move(built.store), reduced.report};
}

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion) {
    PackedSnapshot snap = store.packed_snapshot();
    const std::vector<NodeId> outputs = std::move(snap.outputs);
    return reduce_copy(std::move(snap), outputs, engine, maximal_fusion);
}

Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, const std::vector<NodeId>& outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion) {
    PackedSnapshot snap = store.packed_snapshot(false);
    for (NodeId o : outputs)
        if (o >= snap.nodes.size()) return make_err(BadNodeId{o});
    return reduce_copy(std::move(snap), outputs, engine, maximal_fusion);
}

std::vector<std::pair<std::string, std::size_t>> report_to_map(const ReductionReport& report) {
    return {{"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
            {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
            {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes}};
}

}  // namespace dagloom
