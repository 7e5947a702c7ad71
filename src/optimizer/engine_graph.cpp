#include "optimizer/engine_graph.h"

#include <string>
#include <utility>

#include "graph/hash.h"

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

// A hash of everything a token is made of: a key apart from its inputs.
uint64_t bare_hash(const NodeKey& key) {
    Hasher h(0);
    h.add(static_cast<uint64_t>(key.kind()));
    h.add_bytes(key.name());
    h.add(hash_params(key.params(), 0));
    if (key.kind() == NodeKind::External) {
        const PayloadDescriptor& d = key.descriptor();
        for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) h.add_bytes(*f);
        h.add(d.preprocessing_ref.has_value());
        if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
    }
    return h.finish();
}

// A token depends on everything in a key but its inputs, and a graph
// repeats a few such bare keys many times over, so each distinct one is
// written once. Keys equal apart from their inputs have equal tokens.
class TokenMemo {
public:
    const std::string& token(const NodeKey& key) {
        // Stage tokens name only the member count: cheaper to write than
        // to compare members.
        if (key.kind() == NodeKind::Stage) return scratch_ = key.token();
        const uint64_t h = bare_hash(key);
        std::size_t slot = bucket(h);
        for (; slots_[slot] != 0; slot = (slot + 1) & (slots_.size() - 1)) {
            const uint32_t p = slots_[slot] - 1;
            if (hashes_[p] == h && same_apart_from_inputs(bare_[p], key)) return tokens_[p];
        }
        if (bare_.size() >= kMaxEntries) return scratch_ = key.token();
        const uint32_t p = static_cast<uint32_t>(bare_.size());
        bare_.push_back(key.with_inputs({}));
        tokens_.push_back(key.token());
        hashes_.push_back(h);
        slots_[slot] = p + 1;
        if (2 * bare_.size() > slots_.size()) grow();
        return tokens_[p];
    }

private:
    // Graphs whose bare keys are nearly all distinct gain nothing from
    // remembering them; past this many, tokens are written each time.
    static constexpr std::size_t kMaxEntries = std::size_t{1} << 16;

    std::size_t bucket(uint64_t h) const { return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1); }

    void grow() {
        slots_.assign(slots_.size() * 2, 0);
        for (uint32_t p = 0; p < bare_.size(); ++p) {
            std::size_t slot = bucket(hashes_[p]);
            while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
            slots_[slot] = p + 1;
        }
    }

    std::vector<NodeKey> bare_;
    std::vector<std::string> tokens_;
    std::vector<uint64_t> hashes_;
    std::vector<uint32_t> slots_ = std::vector<uint32_t>(64, 0);  // position + 1; 0 is empty
    std::string scratch_;
};

}  // namespace

EngineInput to_distinct_engine_graph(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    return to_distinct_engine_graph(std::vector<NodeKey>(keys), std::move(outputs));
}

EngineInput to_distinct_engine_graph(std::vector<NodeKey>&& keys, std::vector<uint64_t> outputs) {
    EngineInput in;
    in.graph.nodes.reserve(keys.size());
    in.graph.outputs = std::move(outputs);

    // First pass: every real token enters the table with its first node, so
    // the variant texts of the second pass can be checked against all of them.
    // A key is released once it is converted, unless the second pass needs it.
    TokenMemo memo;
    std::vector<std::size_t> clashing;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        NodeKey& key = keys[i];
        EngineNode node{memo.token(key), key.inputs(), key.kind() != NodeKind::Op};
        bool moved = false;
        if (node.opaque) {
            auto [it, inserted] = in.rebuild.try_emplace(node.op, std::move(key));
            moved = inserted;
            if (!inserted && !same_apart_from_inputs(it->second, key)) {
                clashing.push_back(i);
                moved = true;  // kept for the second pass
            }
        }
        if (!moved) NodeKey released = std::move(key);
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
        in.rebuild.emplace(text, std::move(keys[i]));
        variants.emplace(std::move(bare), text);
        op = std::move(text);
    }
    return in;
}

}  // namespace dagloom
