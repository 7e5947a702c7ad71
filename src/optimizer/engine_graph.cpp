#include "optimizer/engine_graph.h"

#include <string>
#include <utility>

namespace dagloom {

bool is_op_text(const std::string& op) { return op.size() >= 3 && op.compare(0, 3, "op|") == 0; }

bool same_apart_from_inputs(const NodeKey& a, const NodeKey& b) {
    if (a.kind() != b.kind() || a.name() != b.name() || !(a.params() == b.params()) || a.members() != b.members())
        return false;
    return a.kind() != NodeKind::External || a.descriptor() == b.descriptor();
}

TokenTable build_token_table(const std::vector<NodeKey>& keys) {
    TokenTable table;
    for (const NodeKey& key : keys) table.try_emplace(key.token(), key);
    return table;
}

EngineGraph to_engine_graph(const std::vector<NodeKey>& keys, const std::vector<uint64_t>& outputs) {
    EngineGraph graph;
    graph.nodes.reserve(keys.size());
    for (const NodeKey& key : keys) graph.nodes.push_back({key.token(), key.inputs(), key.kind() != NodeKind::Op});
    graph.outputs = outputs;
    return graph;
}

namespace {

struct BareKeyHash {
    std::size_t operator()(const NodeKey& key) const { return static_cast<std::size_t>(hash_key(key, 0)); }
};

}  // namespace

EngineInput to_distinct_engine_graph(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    EngineInput in;
    in.graph.nodes.reserve(keys.size());
    in.graph.outputs = std::move(outputs);

    // First pass: every real token enters the table with its first node, so
    // the variant texts of the second pass can be checked against all of them.
    std::vector<std::size_t> clashing;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const NodeKey& key = keys[i];
        EngineNode node{key.token(), key.inputs(), key.kind() != NodeKind::Op};
        if (node.opaque) {
            auto [it, inserted] = in.rebuild.try_emplace(node.op, key);
            if (!inserted && !same_apart_from_inputs(it->second, key)) clashing.push_back(i);
        }
        in.graph.nodes.push_back(std::move(node));
    }
    if (clashing.empty()) return in;

    // Keys equal apart from their inputs share one variant text; the engine
    // tells them apart by their children, as it does for real tokens.
    std::unordered_map<NodeKey, std::string, BareKeyHash> variants;
    uint64_t counter = 0;
    for (std::size_t i : clashing) {
        NodeKey bare = keys[i].with_inputs({});
        std::string& op = in.graph.nodes[i].op;
        if (auto it = variants.find(bare); it != variants.end()) {
            op = it->second;
            continue;
        }
        std::string text;
        do {
            text = op;
            text += kVariantMark;
            text += std::to_string(counter++);
        } while (in.rebuild.contains(text));
        in.rebuild.emplace(text, keys[i]);
        variants.emplace(std::move(bare), text);
        op = std::move(text);
    }
    return in;
}

}  // namespace dagloom
