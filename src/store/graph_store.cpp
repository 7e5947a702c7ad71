#include "store/graph_store.h"

#include <algorithm>
#include <random>

namespace dagloom {

namespace {

uint64_t random_seed() {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

constexpr std::size_t kInitialSlots = 16;

}  // namespace

std::string BadNodeId::message() const { return "no node with id " + std::to_string(id); }

GraphStore::GraphStore() : mu_("dagloom-core store mutex poisoned"), seed_(random_seed()) {}

std::size_t GraphStore::find_slot(const NodeKey& key, uint64_t hash) const {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    while (true) {
        uint32_t s = slots_[i];
        if (s == 0) return i;
        std::size_t id = s - 1;
        if (hashes_[id] == hash && nodes_[id] == key) return i;
        i = (i + 1) & mask;
    }
}

void GraphStore::grow_index() {
    std::size_t cap = slots_.empty() ? kInitialSlots : slots_.size() * 2;
    std::vector<uint32_t> fresh(cap, 0);
    std::size_t mask = cap - 1;
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
        std::size_t i = static_cast<std::size_t>(hashes_[id]) & mask;
        while (fresh[i] != 0) i = (i + 1) & mask;
        fresh[i] = static_cast<uint32_t>(id + 1);
    }
    slots_ = std::move(fresh);
}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
    // The hash depends only on the key and the immutable seed: compute it
    // before taking the lock to keep the critical section short.
    const uint64_t hash = hash_key(key, seed_);
    auto guard = mu_.lock();
    const std::size_t n = nodes_.size();
    for (NodeId id : key.inputs())
        if (id >= n) return make_err(BadNodeId{id});
    if (!slots_.empty()) {
        std::size_t slot = find_slot(key, hash);
        if (slots_[slot] != 0) return NodeId{slots_[slot] - 1u};
    }
    if (n >= 0xfffffffeu) fail("dagloom-core store is full: more than 4294967294 nodes");
    // Allocate everything first, so running out of memory leaves the store as it was.
    if ((n + 1) * 10 > slots_.size() * 7) grow_index();
    if (nodes_.size() == nodes_.capacity()) nodes_.reserve(std::max<std::size_t>(16, 2 * n));
    if (hashes_.size() == hashes_.capacity()) hashes_.reserve(std::max<std::size_t>(16, 2 * n));
    std::size_t slot = find_slot(key, hash);
    nodes_.push_back(std::move(key));
    hashes_.push_back(hash);
    slots_[slot] = static_cast<uint32_t>(n + 1);
    return NodeId{n};
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
    auto guard = mu_.lock();
    if (id >= nodes_.size()) return make_err(BadNodeId{id});
    if (std::find(outputs_.begin(), outputs_.end(), id) == outputs_.end()) outputs_.push_back(id);
    return Unit{};
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
