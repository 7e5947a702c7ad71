#include "reference/reference.h"

#include <utility>

#include "util/internal_error.h"

namespace dagloom {

TokenTable build_token_table(const std::vector<NodeKey>& keys) {
    TokenTable table;
    for (const NodeKey& key : keys) table.try_emplace(key.token(), key);
    return table;
}

EngineGraph to_engine_graph(const std::vector<NodeKey>& keys, const std::vector<uint64_t>& outputs) {
    EngineGraph graph;
    for (const NodeKey& key : keys) graph.nodes.push_back({key.token(), key.inputs(), key.kind() != NodeKind::Op});
    graph.outputs = outputs;
    return graph;
}

EngineInput to_distinct_engine_graph(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    PackedInputBuilder builder(keys.size(), 0, std::move(outputs));
    for (const NodeKey& key : keys) builder.add(view_of(key));
    PackedInput in = std::move(builder).finish();
    EngineInput out;
    out.graph = to_engine_graph(in.graph);
    for (uint32_t t = 0; t < in.graph.texts.size(); ++t)
        if (const NodeKey* key = in.rebuild.find(t)) out.rebuild.emplace(in.graph.texts.at(t), *key);
    return out;
}

// The stack walk from the outputs, then a renumbering in id order.
KeptGraph dead_code_elimination(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs) {
    std::vector<bool> live(nodes.size(), false);
    std::vector<NodeId> stack(outputs.begin(), outputs.end());
    while (!stack.empty()) {
        const NodeId id = stack.back();
        stack.pop_back();
        check_index(id, nodes.size());
        if (live[id]) continue;
        live[id] = true;
        for (NodeId in : nodes[id].inputs()) {
            if (in >= id) fail("node inputs precede their node");
            stack.push_back(in);
        }
    }
    std::vector<uint64_t> index(nodes.size());
    KeptGraph kept;
    for (std::size_t id = 0; id < nodes.size(); ++id) {
        if (!live[id]) continue;
        index[id] = kept.nodes.size();
        kept.nodes.push_back(nodes[id]);
        kept.nodes.back().map_inputs([&](NodeId in) { return index[in]; });
    }
    for (NodeId o : outputs) kept.outputs.push_back(index[o]);
    return kept;
}

EngineGraph cse(const EngineGraph& graph) {
    PackedGraph packed = to_packed(graph);
    cse_packed(packed);
    return to_engine_graph(packed);
}

FusionResult stage_fusion(const EngineGraph& graph, const std::vector<uint64_t>& outputs, const TokenTable& table,
                          bool maximal_fusion) {
    PackedGraph packed = to_packed(graph);
    packed.outputs = outputs;
    RebuildTable rebuild;
    rebuild.index_of.assign(packed.texts.size(), RebuildTable::kNone);
    for (uint32_t t = 0; t < packed.texts.size(); ++t) {
        auto it = table.find(packed.texts.at(t));
        if (it == table.end()) continue;
        rebuild.index_of[t] = static_cast<uint32_t>(rebuild.keys.size());
        rebuild.keys.push_back(it->second);
    }
    return stage_fusion(packed, rebuild, maximal_fusion);
}

}  // namespace dagloom
