// The interned, append-only, thread-safe node table of one graph.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "graph/node_key.h"
#include "graph/node_view.h"
#include "store/node_delta.h"
#include "store/node_table.h"
#include "util/poison_mutex.h"
#include "util/result.h"

namespace dagloom {

// The store's only error: an id that names no node.
struct BadNodeId {
    NodeId id;
    // "no node with id <id>"
    std::string message() const;
    friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

struct Snapshot {
    std::vector<NodeKey> nodes;
    std::vector<NodeId> outputs;
};

// Keys are interned: an equal key returns the id it already has, so ids are
// dense, stable, and a topological order. Every operation is one critical
// section under the store's own mutex; reads return copies.
class GraphStore {
public:
    GraphStore();
    // A store holding `nodes` (fully indexed) and no outputs.
    explicit GraphStore(NodeTable nodes);
    GraphStore(const GraphStore&) = delete;
    GraphStore& operator=(const GraphStore&) = delete;

    Result<NodeId, BadNodeId> intern(NodeKey key);
    // The same for a Source, Op, Reduction, Exchange or Stage given by its
    // parts, without building a key first.
    Result<NodeId, BadNodeId> intern(const NodeView& parts);
    Status<BadNodeId> mark_output(NodeId id);
    // mark_output for each id in turn, under one lock; the first id that
    // names no node fails before any is marked.
    Status<BadNodeId> mark_outputs(const std::vector<NodeId>& ids);
    // Makes room for `count` more nodes (a hint; nothing observable changes).
    void reserve(std::size_t count);

    std::size_t node_count() const;
    std::vector<NodeId> outputs() const;
    Snapshot snapshot() const;
    std::vector<NodeKey> snapshot_from(NodeId start) const;
    // The nodes from id `start` on, copied packed (see NodeDelta); the copy
    // costs what it holds, however large the store.
    NodeDelta delta_from(NodeId start) const;

    // Read-only view of the state, valid only inside with_locked.
    struct View {
        const NodeTable& nodes;
        const std::vector<NodeId>& outputs;
    };
    // Runs f(View) with the lock held for its whole duration (used where a
    // consistent picture must be rendered in one go, e.g. DOT text).
    template <class F>
    auto with_locked(F&& f) const {
        auto guard = mu_.lock();
        return f(View{table_, outputs_});
    }

private:
    // Both mark functions, with the lock held.
    Status<BadNodeId> mark_outputs_locked(std::span<const NodeId> ids);
    Result<NodeId, BadNodeId> intern_probe(const NodeTable::Probe& probe, NodeKey* whole);

    mutable PoisonMutex mu_;
    NodeTable table_;
    std::vector<NodeId> outputs_;
    std::unordered_set<NodeId> output_set_;  // makes "mark once" independent of the output count
};

// A store of keys a writer appended to a table with append_unchecked, in
// position order (inputs name earlier positions). Should a key repeat an
// earlier one, it becomes that earlier node and every later reference to its
// position follows it there.
struct AppendedStore {
    std::unique_ptr<GraphStore> store;
    std::vector<NodeId> id_of;  // each position's node; empty when every position is its own
    NodeId node_of(uint64_t pos) const { return id_of.empty() ? pos : id_of[pos]; }
};
AppendedStore from_appended(NodeTable nodes);

// One flag per node id below `count`: whether it is listed in `outputs`.
std::vector<bool> output_flags(std::size_t count, const std::vector<NodeId>& outputs);

// Graphviz digraph "dagloom" of the whole store, rendered under its lock.
std::string to_dot(const GraphStore& store);

}  // namespace dagloom
