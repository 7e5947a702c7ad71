#include "store/graph_store.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <random>

#include "util/internal_error.h"

namespace dagloom {

std::string BadNodeId::message() const { return "no node with id " + std::to_string(id); }

GraphStore::GraphStore() : write_mu_("dagloom-core store mutex poisoned") {}

GraphStore::GraphStore(NodeTable nodes)
    : write_mu_("dagloom-core store mutex poisoned"), indexed_(nodes.size()), table_(std::move(nodes)) {}

AppendedStore from_appended(NodeTable nodes) {
    // The usual case, no repeats, costs one indexing sweep over the table.
    if (nodes.index_pending_distinct()) return {std::make_unique<GraphStore>(std::move(nodes)), {}};
    // Otherwise the keys are interned one by one from the table, whose
    // records are intact even though its index is not.
    auto store = std::make_unique<GraphStore>();
    std::vector<NodeId> id_of;
    store->reserve(nodes.size());
    id_of.reserve(nodes.size());
    std::vector<NodeId> inputs;
    for (std::size_t pos = 0; pos < nodes.size(); ++pos) {
        NodeView view = nodes.view(pos);
        inputs.assign(view.inputs.begin(), view.inputs.end());
        for (NodeId& p : inputs) {
            if (p >= id_of.size()) fail("appended key reads a later position");
            p = id_of[p];
        }
        NodeView remapped = view;
        remapped.inputs = inputs;
        auto id = view.kind == NodeKind::External ? store->intern(view.full->with_inputs(inputs)) : store->intern(remapped);
        if (!id) fail("appended key reads a node the store does not have");
        id_of.push_back(*id);
    }
    return {std::move(store), std::move(id_of)};
}

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
    // Hashing needs only the key and the table's fixed seed: it happens
    // before taking any lock.
    const NodeTable::Probe probe = table_.probe(view_of(key));
    return intern_probe(probe, &key);
}

Result<NodeId, BadNodeId> GraphStore::intern(const NodeView& parts) {
    if (parts.kind == NodeKind::External && parts.full == nullptr) fail("an external interned without its key");
    return intern_probe(table_.probe(parts), nullptr);
}

Result<NodeId, BadNodeId> GraphStore::intern_probe(const NodeTable::Probe& probe, NodeKey* whole) {
    // Validation comes before the lookup. Counts only grow, so inputs valid
    // now stay valid for the rest of the call.
    write_mu_.check();
    const std::size_t n = table_.size();
    for (NodeId id : probe.parts.inputs)
        if (id >= n) return make_err(BadNodeId{id});
    const bool parts = !carries_extra(probe.parts.kind);
    NodeTable::PoolIds ids;
    std::size_t searched = 0;
    {
        // A key that exists is found as a reader, alongside other readers
        // and the writer. Every key below `searched` was indexed before the
        // search began.
        ReadGuard guard(*this);
        searched = indexed_.load(std::memory_order_acquire);
        if (parts) ids = table_.pool_ids(probe);
        if (auto pos = table_.find(probe, ids)) return NodeId{*pos};
    }
    return write_mu_.locked([&]() -> Result<NodeId, BadNodeId> {
        table_.prefetch_add(probe);
        // Only a key added since the search can be the one sought; pool ids
        // once given never change, missing ones may have appeared since.
        if (table_.size() != searched) {
            if (parts && (!ids.name || !ids.params)) ids = table_.pool_ids(probe);
            if (auto pos = table_.find(probe, ids)) return NodeId{*pos};
        }
        uint64_t pos;
        if (table_.has_room(probe, ids)) {
            pos = table_.add(probe, ids, whole);
        } else {
            // Growing moves tables that readers read in place.
            std::unique_lock grow(room_);
            pos = table_.add(probe, ids, whole);
        }
        indexed_.store(table_.size(), std::memory_order_release);
        return NodeId{pos};
    });
}

void GraphStore::reserve(std::size_t count) {
    write_mu_.locked([&] {
        std::unique_lock grow(room_);
        table_.reserve(count);
    });
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
    return write_mu_.locked([&] {
        std::unique_lock exclusive(room_);
        return mark_outputs_locked(std::span<const NodeId>(&id, 1));
    });
}

Status<BadNodeId> GraphStore::mark_outputs(const std::vector<NodeId>& ids) {
    return write_mu_.locked([&] {
        std::unique_lock exclusive(room_);
        return mark_outputs_locked(ids);
    });
}

Status<BadNodeId> GraphStore::mark_outputs_locked(std::span<const NodeId> ids) {
    for (NodeId id : ids)
        if (id >= table_.size()) return make_err(BadNodeId{id});
    // Room for all of them first, so that no id is left in the set without
    // its place in the list. A reduced store marks a large share of its
    // nodes, and growing the set one rehash at a time costs more than
    // marking them; single marks grow the list geometrically.
    if (ids.size() > 1) output_set_.reserve(output_set_.size() + ids.size());
    reserve_more(outputs_, ids.size());
    // The set allocates an entry per id: should one fail, the ids this
    // call marked are taken out again and the marks are as they were.
    const std::size_t before = outputs_.size();
    try {
        for (NodeId id : ids)
            if (output_set_.insert(id).second) outputs_.push_back(id);
    } catch (const std::bad_alloc&) {
        for (std::size_t i = before; i < outputs_.size(); ++i) output_set_.erase(outputs_[i]);
        outputs_.resize(before);
        throw;
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
    // The count alone needs no lock: it is published after its nodes.
    write_mu_.check();
    return table_.size();
}

std::vector<NodeId> GraphStore::outputs() const {
    ReadGuard guard(*this);
    return outputs_;
}

NodeDelta GraphStore::delta_from(NodeId start) const {
    ReadGuard guard(*this);
    return NodeDelta::copy_of(table_, static_cast<std::size_t>(std::min<NodeId>(start, table_.size())));
}

}  // namespace dagloom
