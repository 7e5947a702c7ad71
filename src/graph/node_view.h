// A borrowed look at one node's parts, whoever owns them: a NodeKey or a
// store's packed tables. Writers (blob, DOT, conversions) take this instead
// of a NodeKey so a store can hand out its nodes without rebuilding keys.
#pragma once

#include <span>
#include <string_view>

#include "graph/node_key.h"

namespace dagloom {

struct NodeView {
    NodeKind kind = NodeKind::Source;
    std::string_view name;         // Source, Op, Reduction
    const ParamMap* params;        // never null; an Exchange's scheme
    std::span<const NodeId> inputs;
    // The whole key for the kinds that carry more than the parts above
    // (External: descriptor, Stage: members); null for the others.
    const NodeKey* full = nullptr;

    const PayloadDescriptor& descriptor() const { return full->descriptor(); }
    const std::vector<StageOp>& members() const { return full->members(); }
};

// Whether a kind's key is stored whole rather than as parts.
inline bool carries_extra(NodeKind kind) { return kind == NodeKind::External || kind == NodeKind::Stage; }

inline NodeView view_of(const NodeKey& key) {
    return NodeView{key.kind(), key.name(), &key.params(), key.inputs(), carries_extra(key.kind()) ? &key : nullptr};
}

// A key with the view's parts (a deep copy).
NodeKey key_of(const NodeView& view);

// The view's key token, as NodeKey::token() writes it.
std::string token_of(const NodeView& view);

}  // namespace dagloom
