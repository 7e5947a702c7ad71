#include "optimizer/engine_graph.h"

#include <algorithm>
#include <bit>
#include <string>
#include <unordered_map>
#include <utility>

#include "graph/hash.h"
#include "util/internal_error.h"

namespace dagloom {

bool is_op_text(const std::string& op) { return op.size() >= 3 && op.compare(0, 3, "op|") == 0; }

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

// A hash of a text and the exact bits of the floats of a parameter list:
// what tells apart the keys of one text that differ in a NaN's payload.
uint64_t float_bits_hash(uint32_t text, const ParamMap& params) {
    Hasher h(text);
    for (const auto& [name, value] : params)
        if (value.tag() == ParamValue::Tag::Float) h.add(std::bit_cast<uint64_t>(value.as_float()));
    return h.finish();
}

}  // namespace

bool same_apart_from_inputs(const NodeKey& a, const NodeView& b) {
    if (a.kind() != b.kind || a.name() != b.name || !(a.params() == *b.params)) return false;
    switch (b.kind) {
        case NodeKind::External: return a.descriptor() == b.descriptor();
        case NodeKind::Stage: return StageMembers(a.members()) == b.members();
        default: return true;
    }
}

// A token depends on everything in a node but its inputs, and a graph
// repeats a few such bare nodes many times over, so each distinct one is
// written and interned once. Nodes equal apart from their inputs have equal
// tokens.
class PackedInputBuilder::TokenMemo {
public:
    static constexpr uint32_t kNone = TextTable::kNone;
    struct Token {
        uint32_t text;
        uint32_t entry;  // the bare node's memo entry, kNone when not remembered
    };

    Token token(const NodeView& node, TextTable& texts) {
        // Stage tokens name only the member count: cheaper to write than
        // to compare members.
        if (node.kind == NodeKind::Stage) return {texts.intern(token_of(node)), kNone};
        // A packed table hands out one pooled name and parameter list for
        // all its nodes that share them, so their addresses identify the
        // bare node without hashing its contents. Addresses stay put: the
        // nodes outlive the builder and do not change while it runs.
        Recent* recent = nullptr;
        if (node.full == nullptr) {
            recent = &recent_[recent_slot(node)];
            if (recent->name == node.name.data() && recent->size == node.name.size() && recent->params == node.params &&
                recent->kind == node.kind)
                return {texts_[recent->entry], recent->entry};
        }
        const Token token = lookup(node, texts);
        if (recent != nullptr && token.entry != kNone)
            *recent = Recent{node.name.data(), node.name.size(), node.params, node.kind, token.entry};
        return token;
    }

private:
    Token lookup(const NodeView& node, TextTable& texts) {
        const uint64_t h = bare_hash(node);
        std::size_t slot = bucket(h);
        for (; slots_[slot] != 0; slot = (slot + 1) & (slots_.size() - 1)) {
            const uint32_t p = slots_[slot] - 1;
            if (hashes_[p] == h && same_apart_from_inputs(bare_[p], node)) return {texts_[p], p};
        }
        if (bare_.size() >= kMaxEntries) return {texts.intern(token_of(node)), kNone};
        const uint32_t p = static_cast<uint32_t>(bare_.size());
        NodeView bare = node;
        bare.inputs = {};
        bare_.push_back(key_of(bare));
        texts_.push_back(texts.intern(token_of(node)));
        hashes_.push_back(h);
        slots_[slot] = p + 1;
        if (2 * bare_.size() > slots_.size()) grow();
        return {texts_[p], p};
    }

    struct Recent {
        const char* name = nullptr;
        std::size_t size = 0;
        const ParamMap* params = nullptr;
        NodeKind kind = NodeKind::Source;
        uint32_t entry = 0;
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
    std::vector<uint32_t> texts_;  // per entry, its token's text id
    std::vector<uint64_t> hashes_;
    std::vector<uint32_t> slots_ = std::vector<uint32_t>(64, 0);  // position + 1; 0 is empty
    std::vector<Recent> recent_ = std::vector<Recent>(kRecentSlots);
};

PackedInputBuilder::PackedInputBuilder(std::size_t count, std::size_t edges, std::vector<uint64_t> outputs)
    : memo_(std::make_unique<TokenMemo>()) {
    in_.graph.reserve(count, edges);
    in_.graph.outputs = std::move(outputs);
}

PackedInputBuilder::~PackedInputBuilder() = default;

void PackedInputBuilder::add(const NodeView& node) {
    // Every real token enters the text table with its first node, so the
    // variant texts of finish can be checked against all of them.
    const TokenMemo::Token token = memo_->token(node, in_.graph.texts);
    const bool opaque = node.kind != NodeKind::Op;
    if (opaque) {
        if (in_.rebuild.index_of.size() <= token.text) {
            in_.rebuild.index_of.resize(token.text + 1, RebuildTable::kNone);
            rebuild_entry_.resize(token.text + 1, RebuildTable::kNone);
            rebuild_params_.resize(token.text + 1, nullptr);
        }
        const uint32_t r = in_.rebuild.index_of[token.text];
        if (r == RebuildTable::kNone) {
            in_.rebuild.index_of[token.text] = static_cast<uint32_t>(in_.rebuild.keys.size());
            in_.rebuild.keys.push_back(key_with_children(node));
            rebuild_entry_[token.text] = token.entry;
            rebuild_params_[token.text] = node.params;
        } else if ((token.entry == TokenMemo::kNone || token.entry != rebuild_entry_[token.text]) &&
                   !same_apart_from_inputs(in_.rebuild.keys[r], node)) {
            clashing_.emplace_back(in_.graph.size(), key_with_children(node));
        } else if (node.params != rebuild_params_[token.text] && !same_bits(in_.rebuild.keys[r].params(), *node.params)) {
            const uint32_t key = own_key(token.text, node);
            in_.graph.own_keys.push_back(OwnKey{static_cast<uint32_t>(in_.graph.size()), key});
        }
    }
    in_.graph.add(token.text, opaque, node.inputs);
}

uint32_t PackedInputBuilder::own_key(uint32_t text, const NodeView& node) {
    const uint64_t h = float_bits_hash(text, *node.params);
    for (auto [it, end] = own_index_.equal_range(h); it != end; ++it)
        if (it->second.text == text && same_bits(in_.rebuild.keys[it->second.key].params(), *node.params))
            return it->second.key;
    const auto key = static_cast<uint32_t>(in_.rebuild.keys.size());
    in_.rebuild.keys.push_back(key_with_children(node));
    own_index_.emplace(h, OwnEntry{text, key});
    return key;
}

PackedInput PackedInputBuilder::finish() && {
    // Keys equal apart from their inputs share one variant text; the engine
    // tells them apart by their children, as it does for real tokens.
    std::unordered_map<NodeKey, uint32_t, BareKeyHash> variants;
    TextTable& texts = in_.graph.texts;
    uint64_t counter = 0;
    std::vector<OwnKey>& own = in_.graph.own_keys;
    const std::size_t own_before = own.size();
    for (auto& [i, key] : clashing_) {
        NodeKey bare = key.with_inputs({});
        uint32_t& op = in_.graph.op[i];
        if (auto it = variants.find(bare); it != variants.end()) {
            op = it->second;
            // A variant equal to its text's first one but for a NaN's payload.
            if (!same_bits(in_.rebuild.keys[in_.rebuild.index_of[op]].params(), key.params()))
                own.push_back(OwnKey{static_cast<uint32_t>(i), own_key(op, view_of(key))});
            continue;
        }
        std::string text;
        do {
            text = texts.at(op);
            text += kVariantMark;
            text += std::to_string(counter++);
        } while (texts.find(text) != TextTable::kNone);
        op = texts.intern(text);
        in_.rebuild.index_of.resize(texts.size(), RebuildTable::kNone);
        in_.rebuild.index_of[op] = static_cast<uint32_t>(in_.rebuild.keys.size());
        in_.rebuild.keys.push_back(std::move(key));
        variants.emplace(std::move(bare), op);
    }
    clashing_.clear();
    in_.rebuild.index_of.resize(texts.size(), RebuildTable::kNone);
    // Variants came after the others, each run ascending.
    if (own.size() != own_before) {
        const auto middle = own.begin() + static_cast<std::ptrdiff_t>(own_before);
        std::inplace_merge(own.begin(), middle, own.end(),
                           [](const OwnKey& a, const OwnKey& b) { return a.node < b.node; });
    }
    return std::move(in_);
}

EngineGraph to_engine_graph(const PackedGraph& graph) {
    EngineGraph out;
    out.nodes.reserve(graph.size());
    for (std::size_t i = 0; i < graph.size(); ++i) {
        const auto kids = graph.children_of(i);
        out.nodes.push_back(
            EngineNode{graph.texts.at(graph.op[i]), std::vector<uint64_t>(kids.begin(), kids.end()), graph.opaque[i] != 0});
    }
    out.outputs = graph.outputs;
    return out;
}

PackedGraph to_packed(const EngineGraph& graph, TextTable texts) {
    PackedGraph out;
    out.texts = std::move(texts);
    std::size_t edges = 0;
    for (const EngineNode& node : graph.nodes) edges += node.children.size();
    out.reserve(graph.nodes.size(), edges);
    const std::size_t n = graph.nodes.size();
    for (const EngineNode& node : graph.nodes) {
        // Positions past the graph are refused where they are read; here
        // they must only survive the narrowing unchanged.
        for (uint64_t c : node.children)
            if (c > 0xffffffffULL) fail_index(c, n);
        out.add(out.texts.intern(node.op), node.opaque, node.children);
    }
    out.outputs = graph.outputs;
    return out;
}

PackedGraph RewriteEngine::canonicalize_packed(PackedGraph graph, EngineTrace* trace) const {
    // The plain form says where outputs went, not where every node did.
    if (trace != nullptr) fail("this rewrite engine cannot say where each node went");
    EngineGraph plain = to_engine_graph(graph);
    TextTable texts = std::move(graph.texts);
    graph = PackedGraph{};
    return to_packed(canonicalize(plain), std::move(texts));
}

}  // namespace dagloom
