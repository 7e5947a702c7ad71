// The compact form the reduction phases hand each other: every distinct op
// text is stored once and named by a 32-bit id, and the children of all
// nodes sit in one flat array. A node then costs a few bytes in a handful of
// large arrays instead of a string and a vector of its own, so a phase reads
// it without chasing pointers and the graph is freed in a few blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/flat_index.h"
#include "optimizer/trace.h"
#include "util/memory.h"

namespace dagloom {

// Distinct texts, each with a dense id in order of first appearance.
class TextTable {
public:
    static constexpr uint32_t kNone = egraph::FlatIndex::kNone;

    std::size_t size() const { return texts_.size(); }
    const std::string& at(uint32_t id) const { return texts_[id]; }
    // The id of `text`, added when new.
    uint32_t intern(std::string_view text);
    // The id of `text`, or kNone.
    uint32_t find(std::string_view text) const;

private:
    static uint64_t hash(std::string_view text);

    std::vector<std::string> texts_;
    egraph::FlatIndex index_;
};

// A node rebuilt from a key of its own (`key`, an index into the rebuild
// keys) instead of its text's. Tokens fold every NaN into one, so nodes
// that share a token may still hold NaNs of other payloads than the node
// their text is rebuilt from; each of those names the key with its own bits.
struct OwnKey {
    uint32_t node;
    uint32_t key;
    friend bool operator==(const OwnKey&, const OwnKey&) = default;
};

struct PackedGraph {
    TextTable texts;
    ScratchVector<uint32_t> op;           // per node, a text id
    ScratchVector<uint8_t> opaque;        // per node, 1 unless the node is an operation
    ScratchVector<uint64_t> child_start;  // node i's children: children[child_start[i], child_start[i + 1])
    ScratchVector<uint32_t> children;     // earlier positions, in input order
    std::vector<uint64_t> outputs;
    // Ascending by node, and empty unless some node holds other NaN bits
    // than its text's first node. A phase that merges nodes keeps the entry
    // of the node that represents the merged ones and drops the others.
    std::vector<OwnKey> own_keys;
    // Set only by a producer that knows no two nodes share op and children:
    // nodes read from an interned store (an engine may then add them without
    // looking each up first), or an engine's congruence-closed result (cse
    // would leave it as it is).
    bool distinct = false;
    // Set only by a producer that knows that no node of a commutative
    // operator (rule_set.h) with two children has its mirror, the same
    // operator over the two swapped, elsewhere in the graph: the incremental
    // reducer's canonical form. The engine then need not look for them.
    bool mirrors_merged = false;

    PackedGraph() : child_start{0} {}

    std::size_t size() const { return op.size(); }
    std::span<const uint32_t> children_of(std::size_t i) const {
        return {children.data() + child_start[i], children.data() + child_start[i + 1]};
    }
    void reserve(std::size_t nodes, std::size_t edges);
    // Appends a node; `kids` must name earlier positions.
    template <class Kids>
    void add(uint32_t text, bool is_opaque, const Kids& kids) {
        op.push_back(text);
        opaque.push_back(is_opaque ? 1 : 0);
        for (auto c : kids) children.push_back(static_cast<uint32_t>(c));
        child_start.push_back(children.size());
    }
};

// Reads a graph's own keys alongside a walk over its nodes in ascending
// order, at the cost of one comparison per node asked about while no key
// is near.
class OwnKeyCursor {
public:
    static constexpr uint32_t kNone = TextTable::kNone;

    explicit OwnKeyCursor(const std::vector<OwnKey>& keys) : keys_(keys), next_(keys.empty() ? kNone : keys[0].node) {}

    // The own key of node `i`, or kNone; the keys of nodes below `i` are
    // passed over, so no node below it may be asked about after it.
    uint32_t key_of(std::size_t i) { return i < next_ ? kNone : advance(i); }

private:
    uint32_t advance(std::size_t i) {
        while (at_ < keys_.size() && keys_[at_].node < i) ++at_;
        const uint32_t key = at_ < keys_.size() && keys_[at_].node == i ? keys_[at_++].key : kNone;
        next_ = at_ < keys_.size() ? keys_[at_].node : kNone;
        return key;
    }

    const std::vector<OwnKey>& keys_;
    std::size_t at_ = 0;
    uint32_t next_;  // the node of keys_[at_], kNone past the end
};

// Merges nodes with equal op text and equal (already merged) children; the
// opaque flag is not part of the identity, and the first node of each group
// keeps its own, as it keeps its own key. Works in place: merged nodes only
// ever move down. A trace of positions in the graph follows the merges.
void cse_packed(PackedGraph& graph, EngineTrace* trace = nullptr);

}  // namespace dagloom
