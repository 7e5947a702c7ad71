// A borrowed look at one node's parts, whoever owns them: a NodeKey or a
// store's packed tables. Writers (blob, DOT, conversions) take this instead
// of a NodeKey so a store can hand out its nodes without rebuilding keys.
#pragma once

#include <cstddef>
#include <iterator>
#include <span>
#include <vector>
#include <string_view>

#include "graph/node_key.h"

namespace dagloom {

// A member's references, read from a key's own list or from a table's
// packed words (index << 1 | tag, half a StageRef's size).
class StageRefs {
public:
    static constexpr uint64_t kMaxPackedIndex = (uint64_t{1} << 63) - 1;
    static uint64_t pack(const StageRef& r) { return r.index << 1 | static_cast<uint64_t>(r.tag); }
    static StageRef unpack(uint64_t word) { return StageRef{static_cast<StageRef::Tag>(word & 1), word >> 1}; }

    StageRefs() = default;
    explicit StageRefs(std::span<const StageRef> refs) : plain_(refs.data()), size_(refs.size()) {}
    StageRefs(const uint64_t* words, std::size_t size) : words_(words), size_(size) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    StageRef operator[](std::size_t i) const { return words_ != nullptr ? unpack(words_[i]) : plain_[i]; }

    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = StageRef;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = StageRef;
        iterator() = default;
        iterator(const StageRefs* refs, std::size_t i) : refs_(refs), i_(i) {}
        StageRef operator*() const { return (*refs_)[i_]; }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++i_;
            return old;
        }
        friend bool operator==(const iterator& a, const iterator& b) { return a.i_ == b.i_; }

    private:
        const StageRefs* refs_ = nullptr;
        std::size_t i_ = 0;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, size_); }

    friend bool operator==(const StageRefs& a, const StageRefs& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!(a[i] == b[i])) return false;
        return true;
    }

private:
    const StageRef* plain_ = nullptr;
    const uint64_t* words_ = nullptr;
    std::size_t size_ = 0;
};

// A stage's members, read from a key's member list or from a table's packed
// columns, where a member is an operation text id and a run of references.
class StageMembers {
public:
    // The packed form's operation texts: text_of(owner, id).
    using TextOf = std::string_view (*)(const void* owner, uint32_t id);

    StageMembers() = default;
    explicit StageMembers(const std::vector<StageOp>& ops) : ops_(ops.data()), count_(ops.size()) {}
    // Member k: operation text text_of(owner, op_ids[k]), references
    // packed in refs[ref_start[k], ref_start[k + 1]).
    StageMembers(const void* owner, TextOf text_of, std::span<const uint32_t> op_ids, const uint64_t* ref_start,
                 const uint64_t* refs)
        : owner_(owner), text_of_(text_of), op_ids_(op_ids.data()), ref_start_(ref_start), refs_(refs),
          count_(op_ids.size()) {}

    std::size_t size() const { return count_; }
    std::string_view op(std::size_t k) const { return ops_ ? std::string_view(ops_[k].op) : text_of_(owner_, op_ids_[k]); }
    StageRefs inputs(std::size_t k) const {
        if (ops_) return StageRefs(std::span<const StageRef>(ops_[k].inputs.begin(), ops_[k].inputs.end()));
        return StageRefs(refs_ + ref_start_[k], ref_start_[k + 1] - ref_start_[k]);
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
    const uint64_t* refs_ = nullptr;
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
