// The interned, append-only, thread-safe node table of one graph.
#pragma once

#include <atomic>
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
#include "util/memory.h"
#include "util/poison_mutex.h"
#include "util/rw_lock.h"
#include "util/result.h"

namespace dagloom {

// The store's only error: an id that names no node.
struct BadNodeId {
    NodeId id;
    // "no node with id <id>"
    std::string message() const;
    friend bool operator==(const BadNodeId&, const BadNodeId&) = default;
};

// Keys are interned: an equal key returns the id it already has, so ids are
// dense, stable, and a topological order.
//
// Nodes never change once added, so readers need not exclude each other or
// the writer: a read works on a consistent prefix, the nodes below the count
// it read and the outputs marked by then. Two locks make that so:
// - writers (adding a node, marking outputs) take the write lock, one at a
//   time, and only once they know the key is new: hashing, validating the
//   inputs and finding a key that exists happen before it;
// - readers, and searches for an existing key, hold the room lock shared
//   while they read the tables in place; a writer takes it exclusively only
//   when an add has to grow (and so move) a table, or to mark outputs.
// Every add takes its memory before it changes anything, so running out of
// memory leaves the store as it was and usable; only an internal failure
// in the middle of a change poisons it, and then every operation fails.
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
    // The nodes from id `start` on, copied packed (see NodeDelta); the copy
    // costs what it holds, however large the store.
    NodeDelta delta_from(NodeId start) const;

    // Read-only view of a consistent prefix, valid only inside with_locked:
    // the first `nodes.size()` nodes as read on entry (a writer may add
    // more meanwhile, which a caller that reads the count again also sees
    // in full) and the outputs, which cannot change while it runs.
    struct View {
        const NodeTable& nodes;
        const std::vector<NodeId>& outputs;
    };
    // Runs f(View) as a reader: other readers and a writer adding nodes
    // run alongside (used where a consistent picture must be rendered in
    // one go, e.g. DOT text).
    template <class F>
    auto with_locked(F&& f) const {
        ReadGuard guard(*this);
        return f(View{table_, outputs_});
    }

private:
    // The room lock held shared, after checking the store is not poisoned.
    class ReadGuard {
    public:
        explicit ReadGuard(const GraphStore& s) : room_(s.room_) {
            s.write_mu_.check();
            slot_ = room_.lock_shared();
        }
        ~ReadGuard() { room_.unlock_shared(slot_); }
        ReadGuard(const ReadGuard&) = delete;
        ReadGuard& operator=(const ReadGuard&) = delete;

    private:
        RwLock& room_;
        std::size_t slot_;
    };

    // Both mark functions, with the lock held.
    Status<BadNodeId> mark_outputs_locked(std::span<const NodeId> ids);
    Result<NodeId, BadNodeId> intern_probe(const NodeTable::Probe& probe, NodeKey* whole);

    mutable PoisonMutex write_mu_;
    mutable RwLock room_;
    // How many keys are in the index, published by the writer after it
    // indexed them (the table's own count is published before). It starts
    // the cache line the table's count is on: every add reads both and the
    // writer writes both, so threads sharing the store pass one line
    // between them rather than two.
    alignas(64) std::atomic<std::size_t> indexed_{0};
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

// Text held in blocks the memory module keeps between calls: a DOT text runs
// to tens of megabytes, and fresh memory for it would be faulted in page by
// page on every call.
using KeptText = std::basic_string<char, std::char_traits<char>, ScratchAllocator<char>>;

// Graphviz digraph "dagloom" of the whole store, rendered under its lock.
KeptText to_dot(const GraphStore& store);

}  // namespace dagloom
