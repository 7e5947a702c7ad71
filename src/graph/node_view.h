// A borrowed look at one node's parts, whoever owns them: a NodeKey or a
// store's packed tables. Writers (blob, DOT, conversions) take this instead
// of a NodeKey so a store can hand out its nodes without rebuilding keys.
#pragma once

#include <span>
#include <vector>
#include <string_view>

#include "graph/node_key.h"

namespace dagloom {

// A stage's members, read from a key's member list or from a table's packed
// columns, where a member is an operation text id and a run of references.
class StageMembers {
public:
    // The packed form's operation texts: text_of(owner, id).
    using TextOf = std::string_view (*)(const void* owner, uint32_t id);

    StageMembers() = default;
    explicit StageMembers(const std::vector<StageOp>& ops) : ops_(ops.data()), count_(ops.size()) {}
    // Member k: operation text text_of(owner, op_ids[k]), references
    // refs[ref_start[k], ref_start[k + 1]).
    StageMembers(const void* owner, TextOf text_of, std::span<const uint32_t> op_ids, const uint64_t* ref_start,
                 const StageRef* refs)
        : owner_(owner), text_of_(text_of), op_ids_(op_ids.data()), ref_start_(ref_start), refs_(refs),
          count_(op_ids.size()) {}

    std::size_t size() const { return count_; }
    std::string_view op(std::size_t k) const { return ops_ ? std::string_view(ops_[k].op) : text_of_(owner_, op_ids_[k]); }
    std::span<const StageRef> inputs(std::size_t k) const {
        if (ops_) return {ops_[k].inputs.begin(), ops_[k].inputs.end()};
        return {refs_ + ref_start_[k], refs_ + ref_start_[k + 1]};
    }
    std::vector<StageOp> to_vector() const;
    // The packed form's text ids when `owner` gives its texts, else null.
    const uint32_t* op_ids_of(const void* owner) const { return ops_ == nullptr && owner_ == owner ? op_ids_ : nullptr; }

    friend bool operator==(const StageMembers& a, const StageMembers& b);

private:
    const StageOp* ops_ = nullptr;  // the key form
    const void* owner_ = nullptr;
    TextOf text_of_ = nullptr;
    const uint32_t* op_ids_ = nullptr;
    const uint64_t* ref_start_ = nullptr;
    const StageRef* refs_ = nullptr;
    std::size_t count_ = 0;
};

struct NodeView {
    NodeKind kind = NodeKind::Source;
    std::string_view name;         // Source, Op, Reduction
    const ParamMap* params;        // never null; an Exchange's scheme
    std::span<const NodeId> inputs;
    // The whole key for the kinds that carry more than the parts above
    // (External: descriptor, Stage: members) when the view is of a key; a
    // table's stage has none and reads its members from `stage` instead.
    const NodeKey* full = nullptr;
    StageMembers stage;

    const PayloadDescriptor& descriptor() const { return full->descriptor(); }
    StageMembers members() const { return full != nullptr ? StageMembers(full->members()) : stage; }
};

// Whether a kind carries more than a name, parameters and inputs.
inline bool carries_extra(NodeKind kind) { return kind == NodeKind::External || kind == NodeKind::Stage; }

inline NodeView view_of(const NodeKey& key) {
    return NodeView{key.kind(), key.name(), &key.params(), key.inputs(), carries_extra(key.kind()) ? &key : nullptr, {}};
}

// A key with the view's parts (a deep copy).
NodeKey key_of(const NodeView& view);

// The view's key token, as NodeKey::token() writes it.
std::string token_of(const NodeView& view);

}  // namespace dagloom
