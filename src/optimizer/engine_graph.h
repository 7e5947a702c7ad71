// The engine-neutral graph form handed to a rewrite engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/node_key.h"
#include "graph/node_view.h"
#include "optimizer/packed_graph.h"
#include "optimizer/trace.h"

namespace dagloom {

struct EngineNode {
    std::string op;                  // the key's token; inputs are never part of it
    std::vector<uint64_t> children;  // earlier positions, in input order
    bool opaque = true;              // false only for Op nodes
    friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

struct EngineGraph {
    std::vector<EngineNode> nodes;
    std::vector<uint64_t> outputs;
    friend bool operator==(const EngineGraph&, const EngineGraph&) = default;
};

// True when `op` begins with "op|": the only non-opaque node texts.
bool is_op_text(const std::string& op);

// The one operation every rewrite engine offers. The result's children
// precede their nodes, its ops are ops of the input, opaque == !is_op_text(op),
// and its outputs correspond one to one, in order, to the input's.
class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual EngineGraph canonicalize(const EngineGraph& graph) const = 0;
    // The same over the packed form the reduction pipeline works on. The
    // result keeps the input's text table: a text the input has keeps its
    // id, a new one gets the next free id. The result's `distinct` may be
    // set only when no two of its nodes share op and children (reduction
    // then skips cse). A result node that stands for input nodes carries
    // the own key of the one it keeps (see PackedGraph::own_keys). By
    // default the graph goes through canonicalize as an EngineGraph, which
    // does not say where a node comes from: the result then has no own
    // keys, and its opaque nodes are rebuilt from their texts' first nodes.
    // Given a trace, the engine fills it with the result position of the
    // node that computes each input node's value; the default cannot tell
    // and refuses (an internal failure). An override repeats the default
    // argument, so that a call reads the same through either type.
    virtual PackedGraph canonicalize_packed(PackedGraph graph, EngineTrace* trace = nullptr) const;
};

// Conversions between the two forms; to_packed interns the op texts into
// `texts`, which keeps the ids it already has.
EngineGraph to_engine_graph(const PackedGraph& graph);
PackedGraph to_packed(const EngineGraph& graph, TextTable texts = {});

// What the reduction pipeline hands its engine (a packed graph), and the
// keys it rebuilds opaque nodes from.
//
// Tokens are not injective for every kind: a Stage token names only its
// member count, and External descriptor fields are written unescaped (an
// absent preprocessing_ref reads like "-"). An engine that merges by op text
// and children, and a rebuild keyed by token, would then merge different
// stages or externals, or give one another's members. So here every opaque
// key that differs from the token's first node in anything but its inputs
// gets an op text of its own: the token followed by kVariantMark and a
// counter, never equal to any real token or other variant. Ops keep their
// token (Op tokens are injective and never looked up in the table).
//
// Without such collisions each node's op text is its key's token, and the
// rebuild keys are the first opaque key of each token.
//
// A token writes every NaN alike, so an opaque node may hold a NaN of
// another payload than its text's rebuild key does. It keeps its text (it
// is the same key) and is rebuilt from a key of its own, which the graph's
// own_keys name; nodes with the same text and bits share one.

// Cannot occur in UTF-8 text, so a variant text is normally free at once;
// uniqueness is still checked, since the core accepts arbitrary bytes.
inline constexpr char kVariantMark = '\xff';

// The keys opaque nodes are rebuilt from, by text id (a node the graph's
// own_keys name is rebuilt from the key given there).
struct RebuildTable {
    static constexpr uint32_t kNone = TextTable::kNone;
    std::vector<uint32_t> index_of;  // per text id, an index into keys or kNone
    std::vector<NodeKey> keys;

    const NodeKey* find(uint32_t text) const {
        return text < index_of.size() && index_of[text] != kNone ? &keys[index_of[text]] : nullptr;
    }
    // The index of the key a node of text `text` is rebuilt from: `own_key`
    // unless that is kNone, else its text's; kNone when there is none.
    uint32_t key_index(uint32_t text, uint32_t own_key) const {
        if (own_key != kNone) return own_key < keys.size() ? own_key : kNone;
        return text < index_of.size() ? index_of[text] : kNone;
    }
};

struct PackedInput {
    PackedGraph graph;
    RebuildTable rebuild;
};

// Builds a PackedInput one node view at a time, so a caller holding nodes
// in another form (a store's packed table) converts them without building
// a key or a string per node.
class PackedInputBuilder {
public:
    PackedInputBuilder(std::size_t count, std::size_t edges, std::vector<uint64_t> outputs);
    ~PackedInputBuilder();
    PackedInputBuilder(const PackedInputBuilder&) = delete;
    PackedInputBuilder& operator=(const PackedInputBuilder&) = delete;

    // The next node; its inputs are positions of nodes added before it.
    void add(const NodeView& node);
    PackedInput finish() &&;

private:
    class TokenMemo;
    // The key, added when new, that a node of text `text` with other bits
    // than its rebuild key is rebuilt from.
    uint32_t own_key(uint32_t text, const NodeView& node);

    std::unique_ptr<TokenMemo> memo_;
    PackedInput in_;
    // Per text id: the memo entry of the node its rebuild key came from, so
    // a later node from the same entry needs no comparison.
    std::vector<uint32_t> rebuild_entry_;
    // Per text id: the parameter list the node its rebuild key came from
    // was read with. A packed table hands out one list per distinct bits,
    // so a node read with the same one has the same bits.
    std::vector<const ParamMap*> rebuild_params_;
    // The own keys so far by a hash of their text and float bits.
    struct OwnEntry {
        uint32_t text;
        uint32_t key;
    };
    std::unordered_multimap<uint64_t, OwnEntry> own_index_;
    // Nodes that differ from their text's first node in more than their
    // inputs, with their keys: finish gives them variant texts.
    std::vector<std::pair<std::size_t, NodeKey>> clashing_;
};

// True when the keys are equal in every field but their inputs.
bool same_apart_from_inputs(const NodeKey& a, const NodeView& b);

}  // namespace dagloom
