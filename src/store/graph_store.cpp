#include "store/graph_store.h"

#include <algorithm>
#include <random>

namespace dagloom {

std::string BadNodeId::message() const { return "no node with id " + std::to_string(id); }

GraphStore::GraphStore() : mu_("dagloom-core store mutex poisoned") {}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
    // The hash depends only on the key and the immutable seed: compute it
    // before taking the lock to keep the critical section short.
    const uint64_t hash = index_.hash(key);
    auto guard = mu_.lock();
    const std::size_t n = nodes_.size();
    for (NodeId id : key.inputs())
        if (id >= n) return make_err(BadNodeId{id});
    if (auto found = index_.find(nodes_, key, hash)) return *found;
    // Allocate everything first, so running out of memory leaves the store as it was.
    index_.reserve_one();
    if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::max<std::size_t>(16, 2 * n));
    nodes_.push_back(std::move(key));
    index_.insert(n, hash);
    return NodeId{n};
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
    auto guard = mu_.lock();
    if (id >= nodes_.size()) return make_err(BadNodeId{id});
    if (output_set_.insert(id).second) {
        try {
            outputs_.push_back(id);
        } catch (...) {
            output_set_.erase(id);
            throw;
        }
    }
    return Unit{};
}

std::vector<bool> output_flags(std::size_t count, const std::vector<NodeId>& outputs) {
    std::vector<bool> flags(count, false);
    for (NodeId o : outputs)
        if (o < count) flags[o] = true;
    return flags;
}

std::size_t GraphStore::node_count() const {
    auto guard = mu_.lock();
    return nodes_.size();
}

std::vector<NodeId> GraphStore::outputs() const {
    auto guard = mu_.lock();
    return outputs_;
}

Snapshot GraphStore::snapshot() const {
    auto guard = mu_.lock();
    return Snapshot{nodes_, outputs_};
}

std::vector<NodeKey> GraphStore::snapshot_from(NodeId start) const {
    auto guard = mu_.lock();
    if (start >= nodes_.size()) return {};
    return std::vector<NodeKey>(nodes_.begin() + static_cast<std::ptrdiff_t>(start), nodes_.end());
}

}  // namespace dagloom
