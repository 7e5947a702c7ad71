#include "optimizer/engine_graph.h"

#include <string>
#include <utility>

#include "graph/hash.h"

namespace dagloom {

bool is_op_text(const std::string& op) { return op.size() >= 3 && op.compare(0, 3, "op|") == 0; }

bool same_apart_from_inputs(const NodeKey& a, const NodeKey& b) { return same_apart_from_inputs(a, view_of(b)); }

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

// A hash of everything a token is made of: a node apart from its inputs.
uint64_t bare_hash(const NodeView& node) {
    Hasher h(0);
    h.add(static_cast<uint64_t>(node.kind));
    h.add_bytes(node.name);
    h.add(hash_params(*node.params, 0));
    if (node.kind == NodeKind::External) {
        const PayloadDescriptor& d = node.descriptor();
        for (const std::string* f : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema}) h.add_bytes(*f);
        h.add(d.preprocessing_ref.has_value());
        if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
    }
    return h.finish();
}

NodeKey key_with_children(const NodeView& node) {
    if (node.full == nullptr) return key_of(node);
    return node.full->with_inputs(std::vector<NodeId>(node.inputs.begin(), node.inputs.end()));
}

}  // namespace

bool same_apart_from_inputs(const NodeKey& a, const NodeView& b) {
    if (a.kind() != b.kind || a.name() != b.name || !(a.params() == *b.params)) return false;
    switch (b.kind) {
        case NodeKind::External: return a.descriptor() == b.descriptor();
        case NodeKind::Stage: return a.members() == b.members();
        default: return true;
    }
}

// A token depends on everything in a node but its inputs, and a graph
// repeats a few such bare nodes many times over, so each distinct one is
// written once. Nodes equal apart from their inputs have equal tokens.
class EngineInputBuilder::TokenMemo {
public:
    const std::string& token(const NodeView& node) {
        // Stage tokens name only the member count: cheaper to write than
        // to compare members.
        if (node.kind == NodeKind::Stage) return scratch_ = token_of(node);
        // A packed table hands out one pooled name and parameter list for
        // all its nodes that share them, so their addresses identify the
        // bare node without hashing its contents. Addresses stay put: the
        // nodes outlive the builder and do not change while it runs.
        Recent* recent = nullptr;
        if (node.full == nullptr) {
            recent = &recent_[recent_slot(node)];
            if (recent->name == node.name.data() && recent->size == node.name.size() && recent->params == node.params &&
                recent->kind == node.kind)
                return tokens_[recent->token];
        }
        const std::string& token = lookup(node);
        if (recent != nullptr && &token != &scratch_)
            *recent = Recent{node.name.data(), node.name.size(), node.params, node.kind,
                             static_cast<uint32_t>(&token - tokens_.data())};
        return token;
    }

private:
    const std::string& lookup(const NodeView& node) {
        const uint64_t h = bare_hash(node);
        std::size_t slot = bucket(h);
        for (; slots_[slot] != 0; slot = (slot + 1) & (slots_.size() - 1)) {
            const uint32_t p = slots_[slot] - 1;
            if (hashes_[p] == h && same_apart_from_inputs(bare_[p], node)) return tokens_[p];
        }
        if (bare_.size() >= kMaxEntries) return scratch_ = token_of(node);
        const uint32_t p = static_cast<uint32_t>(bare_.size());
        NodeView bare = node;
        bare.inputs = {};
        bare_.push_back(key_of(bare));
        tokens_.push_back(token_of(node));
        hashes_.push_back(h);
        slots_[slot] = p + 1;
        if (2 * bare_.size() > slots_.size()) grow();
        return tokens_[p];
    }

    struct Recent {
        const char* name = nullptr;
        std::size_t size = 0;
        const ParamMap* params = nullptr;
        NodeKind kind = NodeKind::Source;
        uint32_t token = 0;
    };
    static constexpr std::size_t kRecentSlots = 1024;

    static std::size_t recent_slot(const NodeView& node) {
        const uint64_t a = reinterpret_cast<uintptr_t>(node.name.data()) ^ (node.name.size() << 1);
        const uint64_t b = reinterpret_cast<uintptr_t>(node.params) + static_cast<uint64_t>(node.kind);
        return static_cast<std::size_t>(((a * 0x9e3779b97f4a7c15ULL) ^ b) * 0xff51afd7ed558ccdULL >> 54);
    }

    // Graphs whose bare nodes are nearly all distinct gain nothing from
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
    std::vector<Recent> recent_ = std::vector<Recent>(kRecentSlots);
};

EngineInputBuilder::EngineInputBuilder(std::size_t count, std::vector<uint64_t> outputs)
    : memo_(std::make_unique<TokenMemo>()) {
    in_.graph.nodes.reserve(count);
    in_.graph.outputs = std::move(outputs);
}

EngineInputBuilder::~EngineInputBuilder() = default;

void EngineInputBuilder::add(const NodeView& node) {
    // Every real token enters the table with its first node, so the variant
    // texts of finish can be checked against all of them.
    EngineNode engine_node{memo_->token(node), std::vector<uint64_t>(node.inputs.begin(), node.inputs.end()),
                           node.kind != NodeKind::Op};
    if (engine_node.opaque) {
        auto it = in_.rebuild.find(engine_node.op);
        if (it == in_.rebuild.end()) {
            in_.rebuild.emplace(engine_node.op, key_with_children(node));
        } else if (!same_apart_from_inputs(it->second, node)) {
            clashing_.emplace_back(in_.graph.nodes.size(), key_with_children(node));
        }
    }
    in_.graph.nodes.push_back(std::move(engine_node));
}

EngineInput EngineInputBuilder::finish() && {
    // Keys equal apart from their inputs share one variant text; the engine
    // tells them apart by their children, as it does for real tokens.
    std::unordered_map<NodeKey, std::string, BareKeyHash> variants;
    uint64_t counter = 0;
    for (auto& [i, key] : clashing_) {
        NodeKey bare = key.with_inputs({});
        std::string& op = in_.graph.nodes[i].op;
        if (auto it = variants.find(bare); it != variants.end()) {
            op = it->second;
            continue;
        }
        std::string text;
        do {
            text = op;
            text += kVariantMark;
            text += std::to_string(counter++);
        } while (in_.rebuild.contains(text));
        in_.rebuild.emplace(text, std::move(key));
        variants.emplace(std::move(bare), text);
        op = std::move(text);
    }
    clashing_.clear();
    return std::move(in_);
}

EngineInput to_distinct_engine_graph(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    EngineInputBuilder builder(keys.size(), std::move(outputs));
    for (const NodeKey& key : keys) builder.add(view_of(key));
    return std::move(builder).finish();
}

}  // namespace dagloom
