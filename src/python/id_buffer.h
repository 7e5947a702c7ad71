// Node ids read from a Python sequence, kept inline when there are few
// (the usual one or two inputs of a node) so building a node allocates
// nothing for them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "graph/node_key.h"

namespace dagloom::py {

class IdBuffer {
public:
    void clear() {
        size_ = 0;
        heap_.clear();
    }
    void reserve(std::size_t n) {
        if (n > kInline) heap_.reserve(n);
    }
    void push_back(NodeId id) {
        if (size_ < kInline && heap_.empty()) {
            inline_[size_++] = id;
            return;
        }
        if (heap_.empty()) heap_.assign(inline_, inline_ + size_);
        heap_.push_back(id);
        ++size_;
    }
    std::span<const NodeId> span() const {
        return heap_.empty() ? std::span<const NodeId>(inline_, size_) : std::span<const NodeId>(heap_);
    }

private:
    static constexpr std::size_t kInline = 8;
    NodeId inline_[kInline];
    std::size_t size_ = 0;
    std::vector<NodeId> heap_;  // all ids once more than kInline arrive
};

}  // namespace dagloom::py
